# 64-bit ARM (Debian arm64):
#   cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MOTORBUS_TRIPLET aarch64-linux-gnu)
set(MOTORBUS_DEB_ARCH arm64)
set(MOTORBUS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)

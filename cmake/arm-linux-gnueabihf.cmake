# 32-bit ARM, hard float (Debian armhf):
#   cmake -S . -B build-armhf --toolchain cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(MOTORBUS_TRIPLET arm-linux-gnueabihf)
set(MOTORBUS_DEB_ARCH armhf)
set(MOTORBUS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
# g++ notes every std::vector iterator passed by value that its 32-bit ARM
# ABI changed in GCC 7.1; nothing here links code built before that.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

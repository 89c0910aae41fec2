# Shared by the cross toolchain files: Debian's cross compiler for
# MOTORBUS_TRIPLET, its libraries in /usr/<triplet>, and the user-mode
# emulator that runs the target's programs on this machine (tests, test
# discovery, the package check).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${MOTORBUS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MOTORBUS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${MOTORBUS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the target's dynamic loader and C library come from the cross sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR ${MOTORBUS_QEMU} -L /usr/${MOTORBUS_TRIPLET})

# The package is labelled with the target's architecture, not this machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MOTORBUS_DEB_ARCH})

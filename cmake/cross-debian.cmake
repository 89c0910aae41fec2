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

# The target's programs run on one build of the target's C library. Where
# it is installed through multiarch (nettle-dev for the target brings it,
# for motorbus), that one serves, loader and all: the cross sysroot's copy
# is another build, and its loader would find the multiarch libc.so.6
# first on its search path; the two mixed hang in fork. Otherwise (-L) the
# loader and C library come from the cross sysroot.
if(EXISTS /lib/${MOTORBUS_TRIPLET}/libc.so.6)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MOTORBUS_QEMU})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MOTORBUS_QEMU} -L /usr/${MOTORBUS_TRIPLET})
endif()

# The package is labelled with the target's architecture, not this machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MOTORBUS_DEB_ARCH})

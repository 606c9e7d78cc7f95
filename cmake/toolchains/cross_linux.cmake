# Shared part of the cross toolchain files: Debian's cross compiler for
# INSTALLER_CROSS_TRIPLET, libraries from a sysroot and/or a prefix of cross-built
# libraries, and programs run at build and test time through qemu-user.
#
#   -DINSTALLER_SYSROOT=<dir>       a Debian tree of the target's -dev packages
#                                   (mmdebstrap --variant=extract); without it the cross
#                                   compiler's own C library in /usr/<triplet> serves
#   -DINSTALLER_CROSS_PREFIX=<dir>  libraries cross-built into a prefix (zlib, libcrypto,
#                                   GoogleTest), searched before the sysroot
#   -DINSTALLER_QEMU=<program>      the emulator, qemu-<cpu> from qemu-user by default

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${INSTALLER_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${INSTALLER_CROSS_TRIPLET}-g++)

# try_compile re-reads this file in a fresh project that sees only these variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES INSTALLER_SYSROOT INSTALLER_CROSS_PREFIX)

if(INSTALLER_CROSS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH "${INSTALLER_CROSS_PREFIX}")
endif()
if(INSTALLER_SYSROOT)
  set(CMAKE_SYSROOT "${INSTALLER_SYSROOT}")
  set(target_libraries "${INSTALLER_SYSROOT}")
else()
  set(target_libraries "/usr/${INSTALLER_CROSS_TRIPLET}")
  list(APPEND CMAKE_FIND_ROOT_PATH "${target_libraries}")
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT INSTALLER_QEMU)
  set(INSTALLER_QEMU "qemu-${INSTALLER_QEMU_CPU}")
endif()
# -L lets qemu find the target's dynamic loader and shared libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR "${INSTALLER_QEMU};-L;${target_libraries}")

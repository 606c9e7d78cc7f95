# 32-bit big-endian PowerPC, the routers' own processor.
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(INSTALLER_CROSS_TRIPLET powerpc-linux-gnu)
set(INSTALLER_QEMU_CPU ppc)
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux.cmake)
# A static libcrypto built with threads needs the 64-bit atomics that 32-bit PowerPC takes
# from libatomic.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")

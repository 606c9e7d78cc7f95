# i386: little-endian and 32-bit, to find word-size faults on a host that hides them.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(INSTALLER_CROSS_TRIPLET i686-linux-gnu)
set(INSTALLER_QEMU_CPU i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux.cmake)

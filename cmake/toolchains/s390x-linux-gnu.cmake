# s390x: big-endian and 64-bit, to find byte-order faults on a host that hides them.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(INSTALLER_CROSS_TRIPLET s390x-linux-gnu)
set(INSTALLER_QEMU_CPU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross_linux.cmake)

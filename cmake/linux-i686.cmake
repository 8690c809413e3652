# Linux on i686, run under qemu-i386.
set(CROSS_ARCH i686)
set(CROSS_QEMU qemu-i386)
set(CROSS_DEBIAN_ARCH i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

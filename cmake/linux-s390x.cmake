# Linux on s390x, run under qemu-s390x.
set(CROSS_ARCH s390x)
set(CROSS_QEMU qemu-s390x)
set(CROSS_DEBIAN_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

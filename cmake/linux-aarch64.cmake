# Linux on aarch64, run under qemu-aarch64.
set(CROSS_ARCH aarch64)
set(CROSS_QEMU qemu-aarch64)
set(CROSS_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

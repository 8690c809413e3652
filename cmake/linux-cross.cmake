# Cross build for Linux with Debian's g++-ARCH-linux-gnu, the programs and
# tests run under qemu-user with the target's libraries. Included by the
# per-target files, which set CROSS_ARCH, CROSS_QEMU and CROSS_DEBIAN_ARCH
# (the architecture of the Debian packages linked, see CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_ARCH})
set(CMAKE_C_COMPILER ${CROSS_ARCH}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_ARCH}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_ARCH}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The target's C library first: through the host's ld.so.cache the loader
# would otherwise take a host multilib copy (libc6-i386's /lib32/libc.so.6,
# another build than the cross loader's), and mixing the two hangs
# pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${CROSS_QEMU};-L;/usr/${CROSS_ARCH}-linux-gnu;-E;LD_LIBRARY_PATH=/usr/${CROSS_ARCH}-linux-gnu/lib)

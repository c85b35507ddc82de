# Big-endian 32-bit MIPS with Debian's cross compiler; programs built here
# run on the host under qemu-user with the cross sysroot.
set(KESTRAD_CROSS_TRIPLET mips-linux-gnu)
set(KESTRAD_CROSS_QEMU qemu-mips-static)
set(CMAKE_SYSTEM_PROCESSOR mips)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)

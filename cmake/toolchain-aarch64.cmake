# 64-bit ARM with Debian's cross compiler; programs built here run on the
# host under qemu-user with the cross sysroot.
set(KESTRAD_CROSS_TRIPLET aarch64-linux-gnu)
set(KESTRAD_CROSS_QEMU qemu-aarch64-static)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)

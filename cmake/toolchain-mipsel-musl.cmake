# Little-endian MIPS32r2, soft-float, musl: the ramips targets. Programs
# run here under qemu-user.
set(KESTRAD_MUSL_TARGET mipsel-linux-musl)
set(KESTRAD_MUSL_QEMU qemu-mipsel-static)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

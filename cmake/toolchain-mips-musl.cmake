# Big-endian MIPS32r2, soft-float, musl: the ath79 targets. Programs run
# here under qemu-user.
set(KESTRAD_MUSL_TARGET mips-linux-musl)
set(KESTRAD_MUSL_QEMU qemu-mips-static)
set(CMAKE_SYSTEM_PROCESSOR mips)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

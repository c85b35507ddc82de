# 64-bit ARM (Cortex-A53), musl: the mediatek filogic and qualcommax
# targets. Programs run here under qemu-user.
set(KESTRAD_MUSL_TARGET aarch64-linux-musl)
set(KESTRAD_MUSL_QEMU qemu-aarch64-static)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

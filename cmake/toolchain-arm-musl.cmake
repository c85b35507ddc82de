# 32-bit ARMv7-A hard-float, musl: the ipq40xx (Cortex-A7) and mvebu
# (Cortex-A9, some without NEON) targets, so VFPv3-D16 and no NEON. Programs
# run here under qemu-user.
set(KESTRAD_MUSL_TARGET arm-linux-musleabihf)
set(KESTRAD_MUSL_QEMU qemu-arm-static)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

# x86_64 with musl, the device's libc: the whole suite runs on the host.
set(KESTRAD_MUSL_TARGET x86_64-linux-musl)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/musl-common.cmake)

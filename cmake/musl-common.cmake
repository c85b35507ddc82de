# Shared by the musl toolchain files: the Zig compiler's clang and its
# bundled musl (scripts/lib.sh install_musl_toolchain puts them, with one
# compiler wrapper per target, under KESTRAD_MUSL_TOOLCHAIN). Programs are
# linked statically, so the emulator needs no sysroot; the device layout,
# with shared libraries, is what scripts/bench measures.
set(CMAKE_SYSTEM_NAME Linux)
if(DEFINED ENV{KESTRAD_MUSL_TOOLCHAIN})
  set(KESTRAD_MUSL_TOOLCHAIN $ENV{KESTRAD_MUSL_TOOLCHAIN})
else()
  set(KESTRAD_MUSL_TOOLCHAIN /var/tmp/kestrad-musl)
endif()
set(kestrad_musl_bin ${KESTRAD_MUSL_TOOLCHAIN}/bin/${KESTRAD_MUSL_TARGET})
if(NOT EXISTS ${kestrad_musl_bin}-cc)
  message(FATAL_ERROR "no musl toolchain in ${KESTRAD_MUSL_TOOLCHAIN}: scripts/cross installs it")
endif()
set(CMAKE_C_COMPILER ${kestrad_musl_bin}-cc)
set(CMAKE_CXX_COMPILER ${kestrad_musl_bin}-c++)
set(CMAKE_AR ${kestrad_musl_bin}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${kestrad_musl_bin}-ranlib CACHE FILEPATH "")

# Nothing of the host's libraries or headers.
set(CMAKE_FIND_ROOT_PATH ${KESTRAD_MUSL_TOOLCHAIN}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(KESTRAD_MUSL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRAD_MUSL_QEMU})
else()
  # The host runs these itself, at its own speed.
  set(KESTRAD_CROSS_TIME_SCALE 1 CACHE STRING "KESTRAD_TIME_SCALE of the tests")
endif()

# A device's flash is small: size before speed, and no code that nothing
# calls.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_RELWITHDEBINFO "-Os -g -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-Os -g -DNDEBUG" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")

# Shared by the toolchain files: KESTRAD_CROSS_TRIPLET names Debian's cross
# compiler and sysroot, KESTRAD_CROSS_QEMU the user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KESTRAD_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KESTRAD_CROSS_TRIPLET}-g++)

set(KESTRAD_CROSS_SYSROOT /usr/${KESTRAD_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${KESTRAD_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest starts each test binary through this; without binfmt_misc the
# kernel cannot run a foreign binary itself.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRAD_CROSS_QEMU} -L ${KESTRAD_CROSS_SYSROOT})

# A device's flash is small: size before speed, and no code that nothing
# calls. Flags of the target only; host builds keep theirs.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_RELWITHDEBINFO "-Os -g -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-Os -g -DNDEBUG" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")

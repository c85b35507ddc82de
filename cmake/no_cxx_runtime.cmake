# The daemon carries no C++ runtime onto the device: neither libstdc++ nor
# libgcc_s, which a firmware image does not have. Its code and the platform
# code it links build without exceptions or RTTI, and kestrad is linked by
# the C compiler driver, so a standard type that allocates or throws, or an
# operator new, fails the link of kestrad here rather than the device's
# package check later. The host tools and the tests keep the runtime.

# Compile options of every target whose objects end up in kestrad.
set(KESTRAD_NO_RUNTIME_FLAGS -fno-exceptions -fno-rtti)

function(kestrad_no_cxx_runtime target)
  target_compile_options(${target} PRIVATE ${KESTRAD_NO_RUNTIME_FLAGS})
endfunction()

# Links TARGET, an executable, with the C driver. CMake would add the C++
# runtime libraries to a link of C++ objects by the C driver; it reads them
# for the directory the target is defined in, so they are cleared for that
# directory (src/, where nothing else links).
macro(kestrad_link_without_cxx_runtime target)
  kestrad_no_cxx_runtime(${target})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")
endmacro()

# After each link of TARGET, the objects it was linked from (its own, those
# of the daemon's library and of the platform's, when built here) may leave
# no symbol of the C++ runtime undefined (cmake/check-no-cxx-runtime.sh).
function(kestrad_check_no_cxx_runtime target)
  set(files $<TARGET_OBJECTS:${target}> ${ARGN})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-no-cxx-runtime.sh ${CMAKE_NM} $<TARGET_FILE:${target}> ${files}
    COMMAND_EXPAND_LISTS VERBATIM)
endfunction()

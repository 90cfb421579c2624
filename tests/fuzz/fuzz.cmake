# libFuzzer targets (clang, configured by scripts/fuzz.sh with
# -DLUMENO_FUZZ=ON). Every library is built with the sanitizers and the
# fuzzer's coverage instrumentation through CMAKE_CXX_FLAGS; each target
# links the fuzzer's main. One executable per tests/fuzz/fuzz_<name>.cpp.
set(LUMENO_FUZZ_DIR ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz)

# The sanitizer runtimes live in the executable: the plug-in resolves their
# symbols when it is loaded, so it cannot be linked with --no-undefined here.
set_property(TARGET lumenoraw PROPERTY LINK_OPTIONS "")
# Warnings of another compiler are not what this build looks for.
foreach(target lumenoraw lumenohost lumenotestsupport lumenocli)
  if(TARGET ${target})
    target_compile_options(${target} PRIVATE -Wno-error)
  endif()
endforeach()

file(GLOB LUMENO_FUZZ_TARGETS CONFIGURE_DEPENDS ${LUMENO_FUZZ_DIR}/fuzz_*.cpp)
foreach(source ${LUMENO_FUZZ_TARGETS})
  get_filename_component(name ${source} NAME_WE)
  if(name STREQUAL "fuzz_image_readers" AND NOT TARGET lumenocli)
    continue()
  endif()
  add_executable(${name} ${source})
  target_compile_definitions(${name} PRIVATE LUMENO_LIBFUZZER)
  target_link_libraries(${name} PRIVATE lumenotestsupport)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(name STREQUAL "fuzz_effects")
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests/stress/stress_driver.cpp)
  elseif(name STREQUAL "fuzz_image_readers")
    target_link_libraries(${name} PRIVATE lumenocli)
  endif()
  list(APPEND LUMENO_FUZZ_EXECUTABLES ${name})
endforeach()
add_custom_target(fuzz_all DEPENDS ${LUMENO_FUZZ_EXECUTABLES})

# The large blends again with the wider instruction levels turned off, so
# that the rows the processor's vector code would take run through the
# portable code as well (not under ThreadSanitizer, where the bands are the
# same at every level).
if(NOT LUMENO_SANITIZE STREQUAL "thread")
  add_test(NAME ${name}_baseline COMMAND test_${name} --gtest_filter=*Large*:*Random*)
  set_tests_properties(${name}_baseline PROPERTIES ENVIRONMENT "LUMENO_CPU_DISABLE=avx512,avx2"
                       TIMEOUT 900)
endif()

# The HLS lanes of the AVX2 rows against the scalar pair they copy.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/tests/blend/hls_lanes_avx2.cpp
                              PROPERTIES COMPILE_OPTIONS "-mavx2")
  target_sources(test_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/colormath/color_hls_int.cpp
                                      ${CMAKE_CURRENT_SOURCE_DIR}/effects/blend_hls_corrections.cpp)
  target_compile_definitions(test_${name} PRIVATE LUMENO_TEST_HLS_LANES=1)
endif()

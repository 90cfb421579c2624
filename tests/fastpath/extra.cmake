# The workers with vector code again with the wider instruction levels
# turned off (LUMENO_CPU_DISABLE), so that every level this machine has is
# checked against the plain reference, not only the widest: without AVX-512
# the table look-ups take their AVX2 form; without AVX2 as well, the table
# look-ups, the saturating operations, the blend rows and the luminance rows
# take their portable forms. Under ThreadSanitizer the bands and their
# hand-over are the same at every level, so only the widest runs there.
if(NOT LUMENO_SANITIZE STREQUAL "thread")
  add_test(NAME ${name}_without_avx512 COMMAND test_${name} --gtest_filter=*contrast*:*map*)
  set_tests_properties(${name}_without_avx512 PROPERTIES
                       ENVIRONMENT "LUMENO_CPU_DISABLE=avx512" TIMEOUT 900)
  add_test(NAME ${name}_baseline
           COMMAND test_${name} --gtest_filter=*brightness*:*invert*:*contrast*:*map*:*blend*:*sepia*:*grayscale*:*VectorEnds*:*Large*)
  set_tests_properties(${name}_baseline PROPERTIES
                       ENVIRONMENT "LUMENO_CPU_DISABLE=avx512,avx2" TIMEOUT 900)
endif()

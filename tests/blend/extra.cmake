# The large blends again with the wider instruction levels turned off, so
# that the rows the processor's vector code would take run through the
# portable code as well (not under ThreadSanitizer, where the bands are the
# same at every level).
if(NOT LUMENO_SANITIZE STREQUAL "thread")
  add_test(NAME ${name}_baseline COMMAND test_${name} --gtest_filter=*Large*:*Random*)
  set_tests_properties(${name}_baseline PROPERTIES ENVIRONMENT "LUMENO_CPU_DISABLE=avx512,avx2"
                       TIMEOUT 900)
endif()

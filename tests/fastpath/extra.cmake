# The table effects and the blend again with the wider instruction levels
# turned off in turn (LUMENO_CPU_DISABLE), so that every level this machine
# has is checked against the plain reference, not only the widest.
foreach(disabled avx512 avx512,avx2)
  string(REPLACE "," "_" suffix ${disabled})
  add_test(NAME ${name}_without_${suffix}
           COMMAND test_${name} --gtest_filter=*contrast*:*map*:*blend*)
  set_tests_properties(${name}_without_${suffix} PROPERTIES
                       ENVIRONMENT "LUMENO_CPU_DISABLE=${disabled}" TIMEOUT 900)
endforeach()

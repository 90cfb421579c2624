# The short random run of the normal suite: 20,000 operations in a plain
# build, fewer under the sanitizers (which run the same code several times
# slower). LUMENO_STRESS_OPS in the environment overrides either.
if(LUMENO_SANITIZE)
  target_compile_definitions(test_stress PRIVATE LUMENO_STRESS_DEFAULT_OPS=10000)
else()
  target_compile_definitions(test_stress PRIVATE LUMENO_STRESS_DEFAULT_OPS=20000)
endif()
# The fuzz targets are plain functions: the suite replays their checked-in
# corpus (stress_test.cpp) without libFuzzer.
target_sources(test_stress PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/fuzz_blend.cpp
               ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/fuzz_effects.cpp)
target_compile_definitions(test_stress PRIVATE LUMENO_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
# The image-reader target needs the tool's library (libpng, libjpeg, libtiff);
# the tool's tests replay its corpus, so this program does not depend on the
# tool's build.

# The tool's tests run the built executable and also link its library for
# the image files and the in-process checks.
target_link_libraries(test_${name} PRIVATE lumenocli)
target_compile_definitions(test_${name} PRIVATE LUMENO_TOOL_PATH="$<TARGET_FILE:lumeno>"
                           LUMENO_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
add_dependencies(test_${name} lumeno)
# The image-reader fuzz target is a plain function; the suite replays its
# checked-in corpus (reader_corpus_test.cpp).
target_sources(test_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/fuzz_image_readers.cpp)

# The shell tests load private copies of the plug-in by path (never linking
# it, so each copy keeps its own caches) and check the record copy helpers
# directly.
target_sources(test_shell PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/shell/bitmap_copy.cpp)
target_link_libraries(test_shell PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(test_shell lumenoraw)

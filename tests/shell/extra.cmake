# The shell tests load private copies of the plug-in by path (never linking
# it, so each copy keeps its own caches).
target_link_libraries(test_shell PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(test_shell lumenoraw)

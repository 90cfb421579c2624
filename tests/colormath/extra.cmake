# The colour functions are exported by the plug-in library itself: link it.
target_link_libraries(test_colormath PRIVATE lumenoraw)

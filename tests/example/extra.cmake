# The example plug-in built in the tree; scripts/check-install.sh runs this
# program again with a copy built against the installed package.
add_dependencies(test_example example_map_plugin)
target_compile_definitions(test_example PRIVATE
  LUMENO_EXAMPLE_PLUGIN_PATH="$<TARGET_FILE:example_map_plugin>")

# A minimal plug-in that the host's loading tests load, copy and reload.
add_library(lumeno_sample_plugin SHARED ${dir}/plugin/sample_plugin.cpp)
target_include_directories(lumeno_sample_plugin PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_compile_options(lumeno_sample_plugin PRIVATE ${LUMENO_WARNINGS} -fvisibility=hidden
                       $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
add_dependencies(test_${name} lumeno_sample_plugin)
target_compile_definitions(test_${name} PRIVATE
  LUMENO_SAMPLE_PLUGIN_PATH="$<TARGET_FILE:lumeno_sample_plugin>")

# The run policies and the processor level are pure functions inside the
# plug-in (not exported): build their sources into the test as well.
target_sources(test_engine PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/engine/run_policy.cpp
                                   ${CMAKE_CURRENT_SOURCE_DIR}/engine/cpu_level.cpp)

# The run policies are pure functions inside the plug-in (not exported):
# build their source into the test as well.
target_sources(test_engine PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/engine/run_policy.cpp)

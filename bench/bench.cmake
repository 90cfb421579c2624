# The benchmark suite: drives the plug-in through the project's host, like a
# script would, and compares every effect with the memory-bound limits
# (memcpy into touched and into fresh memory) and, when OpenCV is installed,
# with OpenCV's nearest operation. scripts/bench.sh runs it.
find_package(benchmark QUIET)
if(NOT benchmark_FOUND)
  message(STATUS "Google Benchmark not found: the benchmark suite is not built")
  return()
endif()
find_package(OpenCV QUIET COMPONENTS core imgproc)

add_executable(lumeno_bench ${LUMENO_BENCH_SOURCES})
target_link_libraries(lumeno_bench PRIVATE lumenohost lumenotestsupport benchmark::benchmark
                      Threads::Threads)
target_compile_options(lumeno_bench PRIVATE ${LUMENO_WARNINGS})
if(OpenCV_FOUND)
  target_compile_definitions(lumeno_bench PRIVATE LUMENO_BENCH_OPENCV=1)
  target_include_directories(lumeno_bench SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
  target_link_libraries(lumeno_bench PRIVATE ${OpenCV_LIBS})
endif()

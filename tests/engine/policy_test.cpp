// The run policies as pure functions: thread count and bands (the core
// count is the base class's CPUCoreCount); the processor level's switch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "engine/cpu_level.h"
#include "engine/filter_base.h"

namespace {

TEST(ThreadCount, Table) {
  struct Case {
    int32_t height, hint, automatic;
    int64_t machine, maximum;
    int32_t expected;
  };
  const Case cases[] = {
      {15, 4, 2, 16, 8, 1},  // fewer than 16 rows are never split
      {0, 8, 2, 16, 8, 1},   {15, -1, 2, 16, 8, 1},
      {16, 9, 2, 16, 8, 8},  // the hint is capped at 8
      {100, 3, 2, 1, 8, 3},  // a positive hint ignores the machine
      {16, 1, 2, 16, 8, 1},  {16, 8, 2, 2, 8, 8},
      {16, -1, 2, 6, 8, 6},  {16, -5, 2, 6, 8, 6},  // any negative hint is the machine count
      {16, -1, 2, 64, 8, 8}, {16, -1, 2, 8, 8, 8},
      {16, -1, 2, 7, 8, 7},  {16, 0, 2, 1, 8, 1},
      {16, 0, 2, 16, 8, 2},  {16, 0, 3, 16, 8, 3},
      {16, 0, 3, 2, 8, 2},   {16, 0, 2, 2, 8, 2},
      {16, 0, 2, 0, 8, 1},   {16, -1, 2, 0, 8, 1},  // no core count: one band
      {16, 8, 2, 16, 4, 4},  {16, -1, 2, 16, 3, 3},
      {16, 0, 3, 16, 2, 2},  // maximumCPUCores
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ThreadCountFor(c.height, c.hint, c.automatic, c.machine, c.maximum), c.expected)
        << "height " << c.height << " hint " << c.hint << " automatic " << c.automatic
        << " machine " << c.machine << " maximum " << c.maximum;
  }
}

TEST(Bands, Table) {
  struct Case {
    int32_t height, count;
    std::vector<std::pair<int32_t, int32_t>> bands;
  };
  const Case cases[] = {
      {100, 3, {{0, 33}, {33, 66}, {66, 100}}},
      {16, 8, {{0, 2}, {2, 4}, {4, 6}, {6, 8}, {8, 10}, {10, 12}, {12, 14}, {14, 16}}},
      {23, 8, {{0, 2}, {2, 4}, {4, 6}, {6, 8}, {8, 10}, {10, 12}, {12, 14}, {14, 23}}},
      {10, 1, {{0, 10}}},
      {0, 1, {{0, 0}}},
      {3, 4, {{0, 0}, {0, 0}, {0, 0}, {0, 3}}},
  };
  for (const Case& c : cases) {
    FilterJob jobs[kMaxFilterThreads];
    for (FilterJob& j : jobs) j = {-7, -7, true, nullptr};
    GenericMPParams params{};
    CutBands(c.height, c.count, jobs, &params);
    for (int32_t i = 0; i < c.count; ++i) {
      SCOPED_TRACE(::testing::Message()
                   << c.height << " rows, " << c.count << " bands, band " << i);
      EXPECT_EQ(jobs[i].firstRow, c.bands[i].first);
      EXPECT_EQ(jobs[i].endRow, c.bands[i].second);
      EXPECT_FALSE(jobs[i].done);
      EXPECT_EQ(jobs[i].params, &params);
    }
    if (c.count < kMaxFilterThreads) {
      EXPECT_EQ(jobs[c.count].firstRow, -7) << "job past the count";
    }
  }
}

// LUMENO_CPU_DISABLE names whole levels, one or several, comma-separated.
// The level is decided once per process, so each list is read in a child
// started afresh (not forked from this process and its threads).
TEST(CpuLevel, DisableListNamesWholeLevels) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vbmi");
  const bool avx2 = __builtin_cpu_supports("avx2");
  struct Case {
    const char* list;
    bool off512, off2;
  };
  const Case cases[] = {{"avx512,avx2", true, true}, {"avx2", false, true},
                        {"avx512", true, false},     {"sse,avx2,", false, true},
                        {"avx,avx22,xavx2", false, false}};
  for (const Case& c : cases) {
    const int expected = avx512 && !c.off512 ? 2 : (avx2 && !c.off2 ? 1 : 0);
    EXPECT_EXIT(
        {
          setenv("LUMENO_CPU_DISABLE", c.list, 1);
          std::exit(static_cast<int>(lumeno::ActiveCpuLevel()));
        },
        ::testing::ExitedWithCode(expected), "")
        << c.list;
  }
}

}  // namespace

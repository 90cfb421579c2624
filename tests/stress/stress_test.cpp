// The seeded random stress run and the replay of the checked-in fuzz
// corpora.
//
// LUMENO_STRESS_OPS sets the number of random operations (default: a short
// run, shorter in sanitizer builds), LUMENO_STRESS_SEED the seed.
// scripts/stress-long.sh runs a long one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fuzz/corpus_replay.h"
#include "stress/stress_driver.h"
#include "support/plugin_fixture.h"

#ifndef LUMENO_STRESS_DEFAULT_OPS
#define LUMENO_STRESS_DEFAULT_OPS 20000
#endif

namespace lumeno::stress {
namespace {

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text == nullptr || *text == '\0' ? fallback : std::strtoull(text, nullptr, 0);
}

class StressTest : public testing::PluginTest {};

TEST_F(StressTest, RandomScriptKeepsEveryPromise) {
  const uint64_t ops = EnvNumber("LUMENO_STRESS_OPS", LUMENO_STRESS_DEFAULT_OPS);
  const uint64_t seed = EnvNumber("LUMENO_STRESS_SEED", 20261205);
  unsigned long long failures = 0;  // the first 20 are reported
  DriverOptions options;
  options.fail = [&](const std::string& message) {
    if (++failures <= 20) ADD_FAILURE() << message;
  };
  RandomChooser chooser(seed);
  const Counts n = RunScript(host(), chooser, options, ops);
  std::printf("stress seed %llu: %llu error-code checks, %llu completions, %llu failures\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(n.codeChecks),
              static_cast<unsigned long long>(n.completions), failures);
  EXPECT_GT(n.codeChecks, 0u);
  EXPECT_GT(n.completions, 0u);
  EXPECT_EQ(host().LiveObjects(), 0u) << "seed " << seed;
}

TEST_F(StressTest, ReplayFuzzCorpora) {
  fuzz::ReplayCorpus("blend",
                     [&](const uint8_t* d, size_t n) { return fuzz::FuzzBlend(host(), d, n); });
  fuzz::ReplayCorpus("effects",
                     [&](const uint8_t* d, size_t n) { return fuzz::FuzzEffects(host(), d, n); });
}

}  // namespace
}  // namespace lumeno::stress

// The plug-in's fuzz corpora, replayed by the normal suite.
#include "fuzz/corpus_replay.h"

#include "support/plugin_fixture.h"

namespace lumeno::fuzz {
namespace {

class CorpusReplay : public testing::PluginTest {};

TEST_F(CorpusReplay, Blend) {
  ReplayCorpus("blend", [&](const uint8_t* d, size_t n) { return FuzzBlend(host(), d, n); });
}

TEST_F(CorpusReplay, Effects) {
  ReplayCorpus("effects", [&](const uint8_t* d, size_t n) { return FuzzEffects(host(), d, n); });
}

TEST_F(CorpusReplay, ColorMath) { ReplayCorpus("colormath", FuzzColorMath); }

}  // namespace
}  // namespace lumeno::fuzz

// Replays the checked-in fuzz corpus (tests/fuzz/corpus/<target>/) through
// the same target functions that the libFuzzer build runs, so every input
// that once found a fault, and the inputs that cover the targets, stay
// regression cases of the normal suite.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "support/plugin_fixture.h"

namespace lumeno::fuzz {
namespace {

namespace fs = std::filesystem;

class CorpusReplay : public testing::PluginTest {};

void Replay(const std::string& target, const std::function<int(const uint8_t*, size_t)>& run) {
  const fs::path dir = fs::path(LUMENO_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / target;
  if (!fs::is_directory(dir)) return;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::ifstream stream(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                     std::istreambuf_iterator<char>());
    FailureHandler() = [&](const std::string& message) {
      ADD_FAILURE() << target << "/" << file.filename().string() << ": " << message;
    };
    run(bytes.data(), bytes.size());
  }
}

TEST_F(CorpusReplay, Blend) {
  Replay("blend", [&](const uint8_t* d, size_t n) { return FuzzBlend(host(), d, n); });
}

TEST_F(CorpusReplay, Effects) {
  Replay("effects", [&](const uint8_t* d, size_t n) { return FuzzEffects(host(), d, n); });
}

TEST_F(CorpusReplay, ColorMath) { Replay("colormath", FuzzColorMath); }

}  // namespace
}  // namespace lumeno::fuzz

// Replays a checked-in fuzz corpus (tests/fuzz/corpus/<target>/) through the
// same target function that the libFuzzer build runs, so every input that
// once found a fault, and the inputs that cover the target, stay regression
// cases of the normal suite. A broken promise becomes a test failure naming
// the input.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace lumeno::fuzz {

inline void ReplayCorpus(const std::string& target,
                         const std::function<int(const uint8_t*, size_t)>& run) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(LUMENO_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / target;
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  EXPECT_FALSE(files.empty()) << dir;
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

}  // namespace lumeno::fuzz

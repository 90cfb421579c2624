// Helpers of the tool's tests: running the built lumeno executable, a private
// temporary folder per test, and seeded test images.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/image_io.h"

namespace lumeno::clitest {

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  long peakKb = 0;  // the child's largest resident size (it includes the test's own at the start)
};

// Parts of `text` between the `at` characters.
std::vector<std::string> Split(const std::string& text, char at);

// Starts the tool with these arguments, its output streams on the given
// descriptors, and files limited to `fileSizeLimit` bytes when given
// (RLIMIT_FSIZE); returns the child's process id.
int StartTool(const std::vector<std::string>& args, int outFd, int errFd, long fileSizeLimit = 0);

// Runs the tool with these arguments (no shell), capturing both streams.
ToolResult RunTool(const std::vector<std::string>& args, long fileSizeLimit = 0);

// A seeded image whose samples cover the whole range of the depth.
cli::Image PatternImage(int64_t width, int64_t height, cli::ColorModel model, bool alpha, int bits,
                        uint64_t seed = 7);
// A smooth image (JPEG keeps it within a few units).
cli::Image SmoothImage(int64_t width, int64_t height, cli::ColorModel model);

// Writes `image` (its size, depth, colour model and alpha) as TIFF in 16 x 16
// tiles or one strip per plane, samples interleaved or `planar`; page i of
// `pages` holds the image with every sample raised by 10 * i.
void WriteTiff(const std::string& path, const cli::Image& image, bool tiled, bool planar,
               int pages = 1);
// Runs the tool band by band, 5 rows a band; the progress line of that path
// has no decoding step of its own.
ToolResult RunInBands(std::vector<std::string> args);

// Each test gets a fresh folder, removed afterwards.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Arguments split at spaces; "@x" stands for the file x in the folder.
  std::vector<std::string> Args(const std::string& text) const;
  // Writes an image with the tool's own writer (PNG level 6, TIFF, JPEG q95).
  std::string Write(const std::string& name, const cli::Image& image);
  cli::Image Read(const std::string& name);
  bool Exists(const std::string& name) const;
  // Names in the folder (temporary files of failed writes included).
  std::vector<std::string> Entries() const;
  std::string FileBytes(const std::string& name) const;

  std::string dir_;
};

}  // namespace lumeno::clitest

// lumeno demo writes the contact sheet and the galleries of blend modes and
// grayscale methods, every tile with its caption drawn into the caption strip
// below it; without a font the sheets keep their layout, unlabelled.
#include <algorithm>
#include <cstdlib>
#include <set>

#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

struct SheetCase {
  const char* file;
  int columns;
  int64_t thumbWidth, thumbHeight, strip;  // caption strip: lines x 16 + 2 x 4
  int tiles;                               // 0: as many as the tool lists
  int64_t width, height;
};

const SheetCase kSheets[] = {
    {"contact-sheet.png", 4, 256, 192, 72, 0, 1064, 1368},  // 19 tiles, 5 rows
    {"blend-gallery.png", 6, 192, 144, 24, 26, 1208, 888},  // source, fill, 24 modes
    {"grayscale-gallery.png", 5, 192, 144, 24, 5, 1008, 184},
};

// The RGB pixels of tile n's caption strip, and how many colours they have.
std::vector<uint64_t> Strip(const cli::Image& sheet, const SheetCase& s, int n, size_t* colours) {
  const int64_t left = 8 + (n % s.columns) * (s.thumbWidth + 8);
  const int64_t top = 8 + (n / s.columns) * (s.thumbHeight + s.strip + 8) + s.thumbHeight;
  std::vector<uint64_t> pixels;
  for (int64_t y = top; y < top + s.strip; ++y) {
    for (int64_t x = left; x < left + s.thumbWidth; ++x) {
      pixels.push_back(uint64_t{sheet.Sample16(x, y, 0)} << 32 | sheet.Sample16(x, y, 1) << 16 |
                       sheet.Sample16(x, y, 2));
    }
  }
  *colours = std::set<uint64_t>(pixels.begin(), pixels.end()).size();
  return pixels;
}

class DemoTest : public ToolTest {
 protected:
  // Runs the demo; checks every sheet's size and each caption strip.
  void CheckSheets(bool labelled) {
    const ToolResult r = RunTool({"demo", dir_});
    ASSERT_EQ(r.status, 0) << r.err;
    if (labelled && r.err.find("no captions") != std::string::npos) GTEST_SKIP() << r.err;
    EXPECT_EQ(r.err.find("no captions") == std::string::npos, labelled) << r.err;
    const std::string listed = r.out.substr(r.out.find("bottom:") + 7);
    for (const SheetCase& s : kSheets) {
      SCOPED_TRACE(s.file);
      const cli::Image sheet = Read(s.file);
      ASSERT_EQ(sheet.width, s.width);
      ASSERT_EQ(sheet.height, s.height);
      const int tiles =
          s.tiles > 0 ? s.tiles : static_cast<int>(std::count(listed.begin(), listed.end(), ' '));
      std::vector<uint64_t> previous;
      for (int n = 0; n < tiles; ++n) {
        size_t colours = 0;
        std::vector<uint64_t> strip = Strip(sheet, s, n, &colours);
        // Antialiased text gives many shades; a plain strip has one.
        if (labelled) {
          EXPECT_GT(colours, 8u) << "tile " << n;
          EXPECT_NE(strip, previous) << "tile " << n << " has the caption before it";
        } else {
          EXPECT_EQ(colours, 1u) << "tile " << n;
        }
        previous = std::move(strip);
      }
    }
  }
};

TEST_F(DemoTest, EveryTileCarriesItsCaption) { CheckSheets(true); }

TEST_F(DemoTest, WithoutAFontTheSheetsAreWrittenUnlabelled) {
  ::setenv("LUMENO_FONT", "/nonexistent/font.ttf", 1);
  CheckSheets(false);
  ::unsetenv("LUMENO_FONT");
}

}  // namespace
}  // namespace lumeno::clitest

// Image files through the tool: every supported file layout keeps its depth
// and channels, maps to the expected RawBitmap format, and survives the
// bitmap round trip sample for sample (checked with the invert effect, whose
// result is the complement of every non-alpha sample), whole and band by band.
#include <cstring>

#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

struct FormatCase {
  const char* ext;
  ColorModel model;
  bool alpha;
  int bits;
  int rawFormat;  // RawBitmap.RawBitmapFormat value
  const char* channelsText;
  bool tiled = false, planar = false;  // TIFF in 16 x 16 tiles, planes apart
};

const FormatCase kCases[] = {
    {"png", ColorModel::kGray, false, 8, 0, "1 (gray)"},
    {"png", ColorModel::kGray, true, 8, 1, "2 (gray + alpha)"},
    {"png", ColorModel::kRGB, false, 8, 3, "3 (RGB)"},
    {"png", ColorModel::kRGB, true, 8, 5, "4 (RGB + alpha)"},
    {"png", ColorModel::kGray, false, 16, 22, "1 (gray)"},
    {"png", ColorModel::kGray, true, 16, 23, "2 (gray + alpha)"},
    {"png", ColorModel::kRGB, false, 16, 20, "3 (RGB)"},
    {"png", ColorModel::kRGB, true, 16, 21, "4 (RGB + alpha)"},
    {"tif", ColorModel::kGray, false, 8, 0, "1 (gray)"},
    {"tif", ColorModel::kRGB, true, 8, 5, "4 (RGB + alpha)"},
    {"tif", ColorModel::kRGB, false, 16, 20, "3 (RGB)"},
    {"tif", ColorModel::kGray, true, 16, 23, "2 (gray + alpha)"},
    {"tif", ColorModel::kCMYK, false, 8, 13, "4 (CMYK)"},
    {"tif", ColorModel::kCMYK, true, 8, 14, "5 (CMYK + alpha)"},
    {"tif", ColorModel::kCMYK, false, 16, 15, "4 (CMYK)"},
    {"tiff", ColorModel::kCMYK, true, 16, 16, "5 (CMYK + alpha)"},
    {"tif", ColorModel::kRGB, false, 8, 3, "3 (RGB)", true},
    {"tif", ColorModel::kRGB, true, 16, 21, "4 (RGB + alpha)", true},
    {"tif", ColorModel::kRGB, true, 8, 5, "4 (RGB + alpha)", false, true},
    {"tif", ColorModel::kRGB, false, 16, 20, "3 (RGB)", false, true},
    {"tif", ColorModel::kRGB, false, 16, 20, "3 (RGB)", true, true},
    {"tif", ColorModel::kGray, true, 8, 1, "2 (gray + alpha)", true, true},
    {"tif", ColorModel::kCMYK, false, 16, 15, "4 (CMYK)", true},
    {"tif", ColorModel::kCMYK, true, 8, 14, "5 (CMYK + alpha)", false, true},
};

class FormatTest : public ToolTest {};

TEST_F(FormatTest, LosslessFilesRoundTripThroughTheTool) {
  for (const FormatCase& c : kCases) {
    SCOPED_TRACE(std::string(cli::ColorModelName(c.model)) + (c.alpha ? "A" : "") +
                 std::to_string(c.bits) + "." + c.ext + (c.tiled ? " tiled" : "") +
                 (c.planar ? " planar" : ""));
    const cli::Image original = PatternImage(23, 17, c.model, c.alpha, c.bits);
    const std::string name = std::string("in.") + c.ext, in = Path(name);
    c.tiled || c.planar ? WriteTiff(in, original, c.tiled, c.planar) : void(Write(name, original));

    // The file reader gives back exactly what was written.
    const cli::Image reread = Read(name);
    EXPECT_EQ(reread.model, c.model);
    EXPECT_EQ(reread.alpha, c.alpha);
    EXPECT_EQ(reread.bits, c.bits);
    EXPECT_TRUE(reread.data == original.data);

    const ToolResult info = RunTool({"info", in});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const std::string& line : {"depth:            " + std::to_string(c.bits) + " bits",
                                    std::string("channels:         ") + c.channelsText,
                                    "RawBitmap format: " + std::to_string(c.rawFormat) + " ("}) {
      EXPECT_NE(info.out.find(line), std::string::npos) << line << " not in:\n" << info.out;
    }

    const std::string once = Path(std::string("once.") + c.ext);
    ToolResult r = RunTool({"apply", "invert", "--quiet", in, once});
    ASSERT_EQ(r.status, 0) << r.err;
    const cli::Image inverted = Read(std::string("once.") + c.ext);
    ASSERT_EQ(inverted.model, c.model);
    ASSERT_EQ(inverted.alpha, c.alpha);
    ASSERT_EQ(inverted.bits, c.bits);
    // Every colour sample is its complement, alpha stays; inverted twice,
    // the original samples come back.
    const int maxValue = c.bits == 8 ? 255 : 65535;
    for (int ch = 0; ch < original.Channels(); ++ch) {
      const int o = original.Sample16(22, 16, ch);
      EXPECT_EQ(inverted.Sample16(22, 16, ch), ch < original.ColorChannels() ? maxValue - o : o);
    }
    // Band by band (bands that start and end inside a row of tiles) the same.
    const std::string bands = std::string("bands.") + c.ext;
    ASSERT_EQ(RunInBands({"apply", "invert", in, Path(bands)}).status, 0);
    EXPECT_TRUE(Read(bands).data == inverted.data);
    r = RunTool({"apply", "invert", "--quiet", once, Path(std::string("twice.") + c.ext)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Read(std::string("twice.") + c.ext).data == original.data);
  }
}

TEST_F(FormatTest, JpegKeepsItsChannelsAndStaysClose) {
  for (const ColorModel model : {ColorModel::kGray, ColorModel::kRGB, ColorModel::kCMYK}) {
    SCOPED_TRACE(cli::ColorModelName(model));
    const cli::Image original = SmoothImage(40, 24, model);
    const std::string in = Write("in.jpg", original);
    const cli::Image reread = Read("in.jpg");
    ASSERT_EQ(reread.model, model);
    ASSERT_FALSE(reread.alpha);
    ASSERT_EQ(reread.bits, 8);
    int worst = 0;
    for (size_t i = 0; i < original.data.size(); ++i) {
      worst = std::max(worst, std::abs(int(original.data[i]) - int(reread.data[i])));
    }
    EXPECT_LE(worst, 12);

    const ToolResult r = RunTool({"apply", "invert", "--quiet", in, Path("out.jpg")});
    ASSERT_EQ(r.status, 0) << r.err;
    const cli::Image out = Read("out.jpg");
    EXPECT_EQ(out.model, model);
    // The inverse of a pixel near the middle, within JPEG's loss.
    const size_t mid = reread.data.size() / 2;
    EXPECT_NEAR(out.data[mid], 255 - reread.data[mid], 16);
  }
}

TEST_F(FormatTest, CompressionLevelChangesOnlyTheFileSize) {
  const std::string in = Write("in.png", SmoothImage(64, 64, ColorModel::kRGB));
  ASSERT_EQ(RunTool({"apply", "invert", "--compression", "0", in, Path("c0.png")}).status, 0);
  ASSERT_EQ(RunTool({"apply", "invert", "--compression=9", in, Path("c9.png")}).status, 0);
  EXPECT_GT(FileBytes("c0.png").size(), FileBytes("c9.png").size());
  EXPECT_TRUE(Read("c0.png").data == Read("c9.png").data);
}

}  // namespace
}  // namespace lumeno::clitest

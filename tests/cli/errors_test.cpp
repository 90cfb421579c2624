// Every way lumeno apply can fail: the message names what was wrong (and,
// for names, what is accepted), the exit status tells the kind of failure,
// no output or temporary file is left, and the input is untouched.
#include <zlib.h>

#include <fstream>

#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

struct ErrorCase {
  const char* name;
  std::vector<std::string> args;  // "@x" stands for the file x in the test folder
  int status;
  std::vector<std::string> messages;  // each must appear on standard error
};

const std::vector<ErrorCase>& Cases() {
  static const std::vector<ErrorCase> cases = {
      {"unknown command", {"frobnicate"}, 2, {"unknown command 'frobnicate'", "apply"}},
      {"no arguments", {"apply"}, 2, {"needs an effect name"}},
      {"missing output", {"apply", "invert", "@in.png"}, 2, {"INPUT and OUTPUT"}},
      {"unknown effect",
       {"apply", "brightnes", "@in.png", "@out.png"},
       2,
       {"unknown effect 'brightnes'", "brightness, brightness-contrast", "tint-temperature"}},
      {"unknown property",
       {"apply", "brightness", "Brightness=0.2", "@in.png", "@out.png"},
       2,
       {"has no property 'Brightness'", "BrightnessValue (Single)"}},
      {"read-only property",
       {"apply", "invert", "ErrorCode=0", "@in.png", "@out.png"},
       2,
       {"read-only property 'ErrorCode'"}},
      {"unsettable type",
       {"apply", "invert", "ProgressHandler=x", "@in.png", "@out.png"},
       2,
       {"ProgressHandler (IProgressHandlerV2) cannot be set"}},
      {"bad number",
       {"apply", "brightness", "BrightnessValue=bright", "@in.png", "@out.png"},
       2,
       {"bad value 'bright' for BrightnessValue (Single)"}},
      {"bad enumeration name",
       {"apply", "blend", "BlendMode=GLOW", "@in.png", "@out.png"},
       2,
       {"bad value 'GLOW' for BlendMode", "NORMAL, MULTIPLY", "ADD"}},
      {"bad boolean",
       {"apply", "grayscale", "UseOriginalColorSpace=perhaps", "@in.png", "@out.png"},
       2,
       {"UseOriginalColorSpace (Boolean)", "true or false"}},
      {"bad constant",
       {"apply", "grayscale", "GrayscaleType=SOFT", "@in.png", "@out.png"},
       2,
       {"GrayscaleType (Integer)", "NTSC_PAL", "WEIGHTEDAVERAGE"}},
      {"bad point",
       {"apply", "blend", "Location=3", "@in.png", "@out.png"},
       2,
       {"Location (PointF)", "x,y"}},
      {"bad threads",
       {"apply", "invert", "--threads", "9", "@in.png", "@out.png"},
       2,
       {"--threads", "1 to 8, auto or all"}},
      {"bad compression",
       {"apply", "invert", "--compression", "12", "@in.png", "@out.png"},
       2,
       {"--compression", "0 to 9"}},
      {"unknown option",
       {"apply", "invert", "--fast", "@in.png", "@out.png"},
       2,
       {"unknown option '--fast'"}},
      {"unknown output type",
       {"apply", "invert", "@in.png", "@out.bmp"},
       2,
       {"out.bmp", "unknown output type"}},
      {"missing input",
       {"apply", "invert", "@missing.png", "@out.png"},
       3,
       {"cannot open", "missing.png", "No such file"}},
      {"input not an image",
       {"apply", "invert", "@text.png", "@out.png"},
       3,
       {"text.png", "not a PNG, JPEG or TIFF file"}},
      {"damaged PNG",
       {"apply", "invert", "@cut.png", "@out.png"},
       3,
       {"cut.png", "not a readable PNG file"}},
      {"damaged JPEG",
       {"apply", "invert", "@cut.jpg", "@out.png"},
       3,
       {"cut.jpg", "ends before the last row", "truncated"}},
      // Sizes a header declares are refused before any pixel memory is taken.
      {"JPEG header beyond the pixel limit",
       {"apply", "invert", "@huge.jpg", "@out.png"},
       3,
       {"huge.jpg", "declares 60000 x 60000 pixels (3600.0 megapixels)", "1073.7 megapixels",
        "--max-pixels"}},
      {"PNG header beyond its data",
       {"apply", "invert", "--max-pixels", "0", "@huge.png", "@out.png"},
       3,
       {"huge.png", "declares 40000 x 40000 pixels", "truncated or damaged"}},
      {"lowered pixel limit",
       {"apply", "invert", "--max-pixels=319", "@in.png", "@out.png"},
       3,
       {"declares 20 x 16 pixels", "limit of 0.0 megapixels"}},
      {"fill beyond the pixel limit",
       {"apply", "blend", "--max-pixels", "319", "FillBitmap=@in.png", "@small.png", "@out.png"},
       3,
       {"FillBitmap"}},
      {"bad pixel limit",
       {"apply", "invert", "--max-pixels", "-1", "@in.png", "@out.png"},
       2,
       {"bad --max-pixels value '-1'"}},
      {"output folder missing", {"apply", "invert", "@in.png", "@nowhere/out.png"}, 3, {"nowhere"}},
      {"CMYK into PNG", {"apply", "invert", "@cmyk.tif", "@out.png"}, 3, {"PNG cannot store CMYK"}},
      {"fill file missing",
       {"apply", "blend", "FillBitmap=@nofill.png", "@in.png", "@out.png"},
       3,
       {"FillBitmap", "nofill.png"}},
      {"mask size",
       {"apply", "invert", "--mask", "@small.png", "@in.png", "@out.png"},
       2,
       {"the mask is 5x4 but", "is 20x16"}},
      {"mask channel",
       {"apply", "invert", "--mask", "@in.png:black", "@in.png", "@out.png"},
       2,
       {"has no channel 'black'"}},
      {"mask without Mask property",
       {"apply", "blend", "--mask", "@in.png", "@in.png", "@out.png"},
       2,
       {"BlendEffectRaw has no Mask property"}},
      {"no in-place form",
       {"apply", "blend", "--in-place", "@in.png", "@out.png"},
       2,
       {"BlendEffectRaw cannot work in place"}},
      {"plug-in missing",
       {"apply", "invert", "--plugin", "@none.so", "@in.png", "@out.png"},
       4,
       {"cannot load the plug-in", "none.so"}},
      // Failures the plug-in reports, by their LumenoRawError names.
      {"value out of range",
       {"apply", "brightness", "BrightnessValue=1.5", "@in.png", "@out.png"},
       1,
       {"BrightnessEffectRaw failed: ILLEGAL_INPUT_PARAMETER (4)", "range"}},
      {"CMYK brightness",
       {"apply", "brightness", "@cmyk.tif", "@out.tif"},
       1,
       {"NOT_SUPPORTED_COLOR_SPACE (5)"}},
      {"16-bit blend",
       {"apply", "blend", "FillBitmap=@wide.png", "@wide.png", "@out.png"},
       1,
       {"NOT_SUPPORTED_DEPTH (6)"}},
      {"depths differ",
       {"apply", "blend", "FillBitmap=@wide.png", "@in.png", "@out.png"},
       1,
       {"DEPTH_NOT_MATCHING (7)"}},
      {"channels differ",
       {"apply", "blend", "FillBitmap=@gray.png", "@in.png", "@out.png"},
       1,
       {"CHANNEL_STRUCTURE_NOT_MATCHING (8)"}},
      {"mode needs colour",
       {"apply", "blend", "BlendMode=HUE", "FillBitmap=@gray.png", "@gray.png", "@out.png"},
       1,
       {"PARAMETER_NOT_SUPPORTED_ON_COLOR_SPACE (9)"}},
      {"in-place on gray",
       {"apply", "color-filter", "--in-place", "@gray.png", "@out.png"},
       1,
       {"ILLEGAL_INPUT_PARAMETER (4)"}},
      {"background run refused",
       {"apply", "sepia", "SepiaValue=-1", "--async", "@in.png", "@out.png"},
       1,
       {"ILLEGAL_INPUT_PARAMETER (4)"}},
  };
  return cases;
}

class ErrorTest : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    Write("in.png", PatternImage(20, 16, ColorModel::kRGB, true, 8));
    Write("gray.png", PatternImage(20, 16, ColorModel::kGray, false, 8));
    Write("wide.png", PatternImage(20, 16, ColorModel::kRGB, true, 16));
    Write("small.png", PatternImage(5, 4, ColorModel::kGray, false, 8));
    Write("cmyk.tif", PatternImage(20, 16, ColorModel::kCMYK, false, 8));
    std::ofstream(Path("text.png")) << "hello";
    const std::string png = FileBytes("in.png");
    std::ofstream(Path("cut.png"), std::ios::binary) << png.substr(0, png.size() / 2);
    // The same PNG claiming 40000 x 40000 pixels: IHDR's data starts at 16,
    // its CRC (over type and data) follows the 13 data bytes.
    std::string huge = png;
    PutBigEndian(&huge, 16, 40000, 4);
    PutBigEndian(&huge, 20, 40000, 4);
    PutBigEndian(&huge, 29,
                 crc32(0, reinterpret_cast<const Bytef*>(huge.data() + 12), 17), 4);
    std::ofstream(Path("huge.png"), std::ios::binary) << huge;
    // A JPEG large enough that half of it ends inside the coded rows, and the
    // same file with 60000 x 60000 in its frame header (after the FFC0
    // marker: length, precision, height, width).
    Write("photo.jpg", PatternImage(200, 160, ColorModel::kRGB, false, 8));
    std::string jpeg = FileBytes("photo.jpg");
    std::ofstream(Path("cut.jpg"), std::ios::binary) << jpeg.substr(0, jpeg.size() / 2);
    const size_t frame = jpeg.find("\xFF\xC0", 0, 2);
    ASSERT_NE(frame, std::string::npos);
    PutBigEndian(&jpeg, frame + 5, 60000, 2);
    PutBigEndian(&jpeg, frame + 7, 60000, 2);
    std::ofstream(Path("huge.jpg"), std::ios::binary) << jpeg;
  }

  static void PutBigEndian(std::string* bytes, size_t at, uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      (*bytes)[at + i] = static_cast<char>(value >> (8 * (count - 1 - i)));
    }
  }
};

TEST_F(ErrorTest, EachFailureIsNamedAndLeavesNoOutput) {
  for (const ErrorCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> before = Entries();
    const std::string input = FileBytes("in.png");
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
      std::string arg = a;
      const size_t at = arg.find('@');
      if (at != std::string::npos) arg.replace(at, 1, dir_ + "/");
      args.push_back(arg);
    }
    const ToolResult r = RunTool(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string& m : c.messages) {
      EXPECT_NE(r.err.find(m), std::string::npos) << "missing '" << m << "' in: " << r.err;
    }
    EXPECT_EQ(r.err.rfind("lumeno: ", 0), 0u) << r.err;
    EXPECT_EQ(Entries(), before) << "a file was left behind";
    EXPECT_EQ(FileBytes("in.png"), input);
  }
}

TEST_F(ErrorTest, InfoReportsUnreadableFiles) {
  const ToolResult r = RunTool({"info", Path("in.png"), Path("text.png"), Path("huge.jpg")});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("RawBitmap format: 5 (RGBA8)"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("text.png: not a PNG, JPEG or TIFF file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("huge.jpg: the JPEG header declares 60000 x 60000"), std::string::npos)
      << r.err;
}

TEST_F(ErrorTest, InfoTakesThePixelLimit) {
  const ToolResult low = RunTool({"info", "--max-pixels", "319", Path("in.png")});
  EXPECT_EQ(low.status, 3);
  EXPECT_NE(low.err.find("more than the limit"), std::string::npos) << low.err;
  const ToolResult exact = RunTool({"info", "--max-pixels=320", Path("in.png")});
  EXPECT_EQ(exact.status, 0) << exact.err;
  EXPECT_NE(exact.out.find("20 x 16"), std::string::npos) << exact.out;
}

}  // namespace
}  // namespace lumeno::clitest

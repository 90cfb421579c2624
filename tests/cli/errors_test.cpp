// Every way lumeno apply can fail: the message names what was wrong (and,
// for names, what is accepted), the exit status tells the kind of failure,
// no output or temporary file is left, and the input is untouched.
#include <sys/stat.h>
#include <zlib.h>

#include <fstream>

#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

struct ErrorCase {
  const char* args;  // split at spaces; "@x" stands for the file x in the test folder
  int status;
  const char* messages;            // split at '|'; each must appear on standard error
  long fileSizeLimit = 0;          // bytes a file may take (RLIMIT_FSIZE); 0: no limit
  const char* bandRows = nullptr;  // rows per band, to run band by band
};

constexpr ErrorCase kCases[] = {
    {"frobnicate", 2, "unknown command 'frobnicate'|apply"},
    {"aply", 2, "(did you mean apply?)"},
    {"apply", 2, "needs an effect name"},
    {"apply invert @in.png", 2, "INPUT and OUTPUT"},
    {"apply invert grayscale @in.png @out.png", 2, "given 3 files|--out-dir|'+' between"},
    {"apply invert +", 2, "'+' needs an effect after it"},
    {"apply invert @in.png @out.png +", 2, "'+' goes between two effects"},
    {"apply brightnes @in.png @out.png", 2,
     "unknown effect 'brightnes' (did you mean brightness?)|brightness-contrast|tint-temperature"},
    {"apply invert + greyscale @in.png @out.png", 2, "(did you mean grayscale?)"},
    {"apply SepiaValue=1 @in.png @out.png", 2, "a setting; the effect's name comes first"},
    {"apply brightness Brightness=0.2 @in.png @out.png", 2,
     "no property 'Brightness' (did you mean BrightnessValue?)|BrightnessValue (Single)"},
    {"apply invert ErrorCode=0 @in.png @out.png", 2, "read-only property 'ErrorCode'"},
    {"apply invert ProgressHandler=x @in.png @out.png", 2,
     "ProgressHandler (IProgressHandlerV2) cannot be set"},
    {"apply brightness BrightnessValue=bright @in.png @out.png", 2,
     "bad value 'bright' for BrightnessValue (Single)"},
    // Values are checked before any file is read: finite, within the range.
    {"apply contrast ContrastValue=nan @in.png @out.png", 2,
     "bad value 'nan' for ContrastValue|from -1 to 1"},
    {"apply blend FillBitmap=@in.png Opacity=inf @in.png @out.png", 2,
     "bad value 'inf' for Opacity|from 0 to 1"},
    {"apply brightness BrightnessValue=1.0001 @in.png @out.png", 2, "'1.0001' for BrightnessValue"},
    {"apply sepia SepiaValue=-0.01 @in.png @out.png", 2, "'-0.01' for SepiaValue|from 0 to 1"},
    {"apply tint-temperature Tint=5 @in.png @out.png", 2, "'5' for Tint|from -1 to 1"},
    {"apply blend FillBitmap=@in.png Opacity=1 Location=nan,1 @in.png @out.png", 2, "Location"},
    {"apply brightness @in.png @out.png", 2, "brightness needs a value for BrightnessValue"},
    {"apply color-filter @in.png @out.png", 2, "Red (-1 to 1) or Green (-1 to 1) or Blue"},
    {"apply blend BlendMode=SCREEN Opacity=1 @in.png @out.png", 2, "needs a value for FillBitmap"},
    {"apply blend BlendMode=MULTIPLYY @in.png @out.png", 2,
     "bad value 'MULTIPLYY' for BlendMode|NORMAL, MULTIPLY|ADD|(did you mean MULTIPLY?)"},
    {"apply blend BlendMode=24 @in.png @out.png", 2, "bad value '24' for BlendMode"},
    {"apply grayscale UseOriginalColorSpace=perhaps @in.png @out.png", 2,
     "UseOriginalColorSpace (Boolean)|true or false"},
    // An Integer property takes only the constants of the class declaring it.
    {"apply grayscale GrayscaleType=SOFT @in.png @out.png", 2,
     "GrayscaleType (Integer)|NTSC_PAL|WEIGHTEDAVERAGE"},
    {"apply grayscale GrayscaleType=CPU_USE_4_CORES @in.png @out.png", 2, "'CPU_USE_4_CORES'"},
    {"apply grayscale GrayscaleType=4 @in.png @out.png", 2, "bad value '4' for GrayscaleType"},
    {"apply invert MultiprocessingHint=9 @in.png @out.png", 2, "CPU_USE_8_CORES"},
    {"apply blend FillBitmap=@in.png Opacity=1 Location=3 @in.png @out.png", 2,
     "Location (PointF)|x,y"},
    {"apply blend FillBitmap=@in.png Opacity=1 Size=3;4 @in.png @out.png", 2, "Size (SizeF)"},
    {"apply brightness BrightnessValue=0.1 Mask=@gray.png:purple @in.png @out.png", 2,
     "no channel 'purple'"},
    {"apply invert --threads 9 @in.png @out.png", 2, "--threads|1 to 8, auto or all"},
    {"apply invert --compression 12 @in.png @out.png", 2, "--compression|0 to 9"},
    {"apply invert --fast @in.png @out.png", 2, "unknown option '--fast'"},
    {"apply invert --auto-orien @in.png @out.png", 2, "(did you mean --auto-orient?)"},
    {"apply invert --thread=2 @in.png @out.png", 2, "'--thread=2'|(did you mean --threads?)"},
    {"apply invert --shard 3/2 --out-dir @o @in.png", 2, "bad --shard value '3/2'"},
    {"apply invert --shard 1/2 @in.png @out.png", 2, "--shard|--out-dir"},
    {"list --markdwn", 2, "(did you mean --markdown?)"},
    {"help glow", 2, "no help on 'glow'"},
    {"apply invert @in.png @out.bmp", 2, "out.bmp|unknown output type"},
    {"info @in.png @text.png @huge.jpg", 3,
     "text.png: not a PNG, JPEG|huge.jpg: the JPEG header declares 60000 x 60000"},
    {"info --max-pixels 319 @in.png", 3, "more than the limit"},
    {"apply invert @missing.png @out.png", 3, "cannot open|missing.png|No such file"},
    {"apply invert -- k=v.png @out.png", 3, "cannot open k=v.png"},
    {"apply invert @text.png @out.png", 3, "text.png|not a PNG, JPEG or TIFF file"},
    {"apply invert @cut.png @out.png", 3, "cut.png|not a readable PNG file"},
    // Decoded band by band ahead of the effect: the decoder's failure stops the run.
    {"apply invert + grayscale @cut.png @out.png", 3, "cut.png|not a readable PNG file", 0, "3"},
    {"apply invert @cut.jpg @out.png", 3, "cut.jpg|ends before the last row|truncated"},
    // Sizes a header declares are refused before any pixel memory is taken.
    {"apply invert @huge.jpg @out.png", 3,
     "huge.jpg|declares 60000 x 60000 pixels (3600.0 megapixels)|1073.7 megapixels|--max-pixels"},
    {"apply invert --max-pixels 0 @huge.png @out.png", 3,
     "huge.png|declares 40000 x 40000 pixels|truncated or damaged"},
    {"apply invert --max-pixels=319 @in.png @out.png", 3,
     "declares 20 x 16 pixels|limit of 0.0 megapixels"},
    {"apply blend --max-pixels 319 FillBitmap=@in.png Opacity=1 @small.png @out.png", 3,
     "FillBitmap"},
    {"apply invert --max-pixels -1 @in.png @out.png", 2, "bad --max-pixels value '-1'"},
    {"apply invert @in.png @nowhere/out.png", 3, "nowhere"},
    {"apply invert @cmyk.tif @out.png", 3, "PNG cannot store CMYK"},
    // A file that outgrows the size limit (or the disk): nothing left, the old file intact.
    {"apply invert @in.png @gray.png", 3, "cannot write|gray.png: File too large", 400},
    {"apply invert @in.png @out.tif", 3, "out.tif: TIFF writing failed: File too large", 400},
    {"apply invert @in.png @out.jpg", 3, "out.jpg: JPEG writing failed", 400},
    {"apply blend FillBitmap=@nofill.png Opacity=1 @in.png @out.png", 3, "FillBitmap|nofill.png"},
    {"apply invert --mask @small.png @in.png @out.png", 2, "the mask is 5x4 but|is 20x16"},
    {"apply invert --mask @in.png:black @in.png @out.png", 2, "has no channel 'black'"},
    {"apply blend FillBitmap=@in.png Opacity=1 --mask @in.png @in.png @out.png", 2,
     "BlendEffectRaw has no Mask property"},
    {"apply blend FillBitmap=@in.png Opacity=1 --in-place @in.png @out.png", 2,
     "BlendEffectRaw cannot work in place"},
    {"apply invert --plugin @none.so @in.png @out.png", 4, "cannot load the plug-in|none.so"},
    // Existing files are kept: --no-clobber, and two inputs with one output.
    {"apply invert --no-clobber @in.png @gray.png", 3, "gray.png exists; not replaced"},
    {"apply invert -n --out-dir @ @sub/in.png", 3, "in.png exists; not replaced|1 of 1 files"},
    {"apply invert --out-dir @ @in.png", 2, "in.png would replace its input|1 of 1 files failed"},
    {"apply invert --out-dir @o @in.png @sub/in.png", 2,
     "in.png and|sub/in.png would both be written to|o/in.png; nothing done"},
    {"apply invert --format webp --out-dir @o @in.png @in.jpg", 2,
     "in.png and|in.jpg would both be written to|o/in.webp; nothing done"},
    // Failures the plug-in reports, by their LumenoRawError names.
    {"apply brightness BrightnessValue=0.5 @cmyk.tif @out.tif", 1,
     "BrightnessEffectRaw failed: NOT_SUPPORTED_COLOR_SPACE (5)"},
    {"apply blend FillBitmap=@wide.png Opacity=1 @wide.png @out.png", 1, "NOT_SUPPORTED_DEPTH (6)"},
    {"apply blend FillBitmap=@wide.png Opacity=1 @in.png @out.png", 1, "DEPTH_NOT_MATCHING (7)"},
    {"apply blend FillBitmap=@gray.png Opacity=1 @in.png @out.png", 1,
     "CHANNEL_STRUCTURE_NOT_MATCHING (8)"},
    {"apply blend BlendMode=HUE FillBitmap=@gray.png Opacity=1 @gray.png @out.png", 1,
     "PARAMETER_NOT_SUPPORTED_ON_COLOR_SPACE (9)"},
    {"apply color-filter Red=0.1 --in-place @gray.png @out.png", 1,
     "ILLEGAL_INPUT_PARAMETER (4)|outside the range"},
    {"apply sepia --async @cmyk.tif @out.tif", 1, "NOT_SUPPORTED_COLOR_SPACE (5)"},
    // A failing second effect of a chain writes nothing either.
    {"apply invert + brightness BrightnessValue=0.1 @cmyk.tif @out.tif", 1,
     "NOT_SUPPORTED_COLOR_SPACE (5)"},
    {"apply invert + grayscale @cmyk.tif @out.tif", 1, "cmyk.tif|CMYK"},
};

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
    PutBigEndian(&huge, 29, crc32(0, reinterpret_cast<const Bytef*>(huge.data() + 12), 17), 4);
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
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  Write("sub/in.png", PatternImage(4, 4, ColorModel::kGray, false, 8));
  for (const ErrorCase& c : kCases) {
    SCOPED_TRACE(c.args);
    const std::vector<std::string> before = Entries();
    const std::string input = FileBytes("in.png");
    const std::string gray = FileBytes("gray.png");
    if (c.bandRows != nullptr) setenv("LUMENO_BAND_ROWS", c.bandRows, 1);
    const ToolResult r = RunTool(Args(c.args), c.fileSizeLimit);
    unsetenv("LUMENO_BAND_ROWS");
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string& m : Split(c.messages, '|')) {
      EXPECT_NE(r.err.find(m), std::string::npos) << "missing '" << m << "' in: " << r.err;
    }
    EXPECT_EQ(r.err.rfind("lumeno: ", 0), 0u) << r.err;
    EXPECT_EQ(Entries(), before) << "a file was left behind";
    EXPECT_EQ(FileBytes("in.png"), input);
    EXPECT_EQ(FileBytes("gray.png"), gray);
  }
}

TEST_F(ErrorTest, InfoTakesThePixelLimitItself) {
  const ToolResult exact = RunTool({"info", "--max-pixels=320", Path("in.png")});
  EXPECT_EQ(exact.status, 0) << exact.err;
  EXPECT_NE(exact.out.find("20 x 16"), std::string::npos) << exact.out;
}

}  // namespace
}  // namespace lumeno::clitest

// TIFF pages, WebP, standard input/output, progress and band-by-band runs
// through the tool.
#include <sys/wait.h>
#include <unistd.h>
#include <webp/encode.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

class CodecTest : public ToolTest {};

TEST_F(CodecTest, MultiPageTiffIsProcessedPageByPage) {
  cli::Image low = PatternImage(20, 18, ColorModel::kGray, false, 8);
  for (uint8_t& v : low.data) v = static_cast<uint8_t>(v % 200);  // room for + 10 * page
  WriteTiff(Path("in.tif"), low, false, false, 3);
  ASSERT_EQ(RunTool({"apply", "invert", "--quiet", Path("in.tif"), Path("out.tif")}).status, 0);
  // A chain runs whole on every page: inverted twice, each page is as read.
  ASSERT_EQ(
      RunTool({"apply", "invert", "+", "invert", "-q", Path("in.tif"), Path("twice.tif")}).status,
      0);
  for (int page = 0; page < 3; ++page) {
    cli::Image out, twice;
    std::string error;
    cli::ReadLimits limits;
    limits.page = page;
    ASSERT_TRUE(cli::ReadImage(Path("out.tif"), &out, &error, {}, limits)) << error;
    EXPECT_EQ(out.meta.pageCount, 3);
    EXPECT_EQ(out.data[5], 255 - (low.data[5] + 10 * page)) << page;
    ASSERT_TRUE(cli::ReadImage(Path("twice.tif"), &twice, &error, {}, limits)) << error;
    EXPECT_EQ(twice.meta.pageCount, 3);
    EXPECT_EQ(twice.data[5], low.data[5] + 10 * page) << page;
  }
  // One page only on request; a single-page type refuses the other pages.
  ASSERT_EQ(RunTool({"apply", "invert", "--page", "2", Path("in.tif"), Path("p2.png")}).status, 0);
  EXPECT_EQ(Read("p2.png").data[5], 255 - (low.data[5] + 10));
  const ToolResult r = RunTool({"apply", "invert", Path("in.tif"), Path("all.png")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("3 pages"), std::string::npos) << r.err;
  EXPECT_EQ(RunTool({"apply", "invert", "--page", "4", Path("in.tif"), Path("p4.png")}).status, 3);
}

TEST_F(CodecTest, WebpReadAndWritten) {
  // A lossless RGBA file from libwebp (no pixel fully transparent, whose
  // colour the encoder may drop): read exactly.
  cli::Image rgba = PatternImage(19, 11, ColorModel::kRGB, true, 8);
  for (size_t i = 3; i < rgba.data.size(); i += 4) rgba.data[i] |= 1;
  uint8_t* encoded = nullptr;
  const size_t size = WebPEncodeLosslessRGBA(rgba.data.data(), 19, 11, 19 * 4, &encoded);
  FILE* f = std::fopen(Path("in.webp").c_str(), "wb");
  std::fwrite(encoded, 1, size, f);
  std::fclose(f);
  WebPFree(encoded);
  const cli::Image read = Read("in.webp");
  ASSERT_TRUE(read.alpha);
  ASSERT_TRUE(read.data == rgba.data);
  // Quality 100 writes lossless WebP; gray 16-bit input is stored as RGB with a note.
  for (const auto& [from, to] : {std::pair{"in.webp", "o.webp"}, {"o.webp", "t.webp"}}) {
    ASSERT_EQ(RunTool({"apply", "invert", "--quality", "100", Path(from), Path(to)}).status, 0);
  }
  EXPECT_FALSE(Read("o.webp").data == rgba.data);
  EXPECT_TRUE(Read("t.webp").data == rgba.data);
  // What WebP and JPEG cannot hold is converted, with a note.
  for (const auto& [from, to, note] :
       {std::tuple{PatternImage(6, 5, ColorModel::kGray, false, 16), "g.webp",
                   "16 bits reduced to 8, gray stored as RGB"},
        {PatternImage(8, 8, ColorModel::kRGB, true, 16), "a.jpg",
         "alpha dropped, 16 bits reduced to 8"}}) {
    const ToolResult r = RunTool({"apply", "invert", Write("in.png", from), Path(to)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(note), std::string::npos) << r.err;
    const cli::Image out = Read(to);
    EXPECT_TRUE(out.model == ColorModel::kRGB && out.bits == 8 && !out.alpha) << to;
  }
}

TEST_F(CodecTest, StandardInputAndOutput) {
  const cli::Image original = PatternImage(9, 7, ColorModel::kRGB, false, 16);
  const std::string in = Write("in.tif", original);
  const std::string tool = LUMENO_TOOL_PATH;
  // The input's type is sniffed; the output's is named or else the input's.
  for (const char* format : {"--format=png", ""}) {
    const std::string command = tool + " apply invert " + format + " - - < " + in + " > " +
                                Path("out") + " 2> " + Path("err");
    ASSERT_EQ(std::system(command.c_str()), 0) << FileBytes("err");
    const cli::Image out = Read("out");
    EXPECT_EQ(out.meta.sourceType, *format ? cli::FileType::kPNG : cli::FileType::kTIFF);
    ASSERT_EQ(out.bits, 16);
    EXPECT_EQ(out.Sample16(8, 6, 2), 65535 - original.Sample16(8, 6, 2));
  }
}

TEST_F(CodecTest, ProgressLineNamesDecodingEffectAndEncoding) {
  const std::string in = Write("in.png", PatternImage(64, 64, ColorModel::kRGB, false, 8));
  const ToolResult r = RunTool({"apply", "invert", "--progress", in, Path("o.png")});
  for (const char* step : {"33.3% decoding 100%", "% effect ", "100.0% encoding 100%"}) {
    EXPECT_NE(r.err.find(step), std::string::npos) << step << "\n" << r.err;
  }
}

// Band by band gives the whole picture's pixels and text for each input that
// streams, each output, chains, a mask read alongside and the blend placed
// per band.
TEST_F(CodecTest, BandsGiveTheWholePicturePixels) {
  cli::Image source = PatternImage(23, 41, ColorModel::kRGB, true, 16);
  source.meta.text = {{"Author", "me"}};
  Write("in.png", source);
  Write("in.jpg", SmoothImage(23, 41, ColorModel::kRGB));
  Write("in.tif", PatternImage(23, 41, ColorModel::kCMYK, false, 8));
  Write("mask.tif", PatternImage(23, 41, ColorModel::kGray, true, 16));
  Write("fill.png", PatternImage(9, 7, ColorModel::kRGB, false, 8));
  for (const char* run :
       {"invert @in.png @o.tif", "grayscale @in.png @o.png", "sepia SepiaValue=0.3 @in.png @o.jpg",
        "invert + sepia SepiaValue=0.4 @in.jpg @o.png", "invert @in.tif @o.jpg",
        "brightness BrightnessValue=0.2 + invert --mask @mask.tif:alpha @in.jpg @o.jpg",
        "blend FillBitmap=@fill.png Opacity=0.6 Location=4,17 Size=9,6 @in.jpg @o.tif"}) {
    SCOPED_TRACE(run);
    const std::vector<std::string> args = Args(std::string("apply ") + run);
    ASSERT_EQ(RunTool(args).status, 0);
    const std::string out = args.back().substr(dir_.size() + 1);
    const cli::Image whole = Read(out);
    ASSERT_EQ(RunInBands(args).status, 0);
    const cli::Image bands = Read(out);
    EXPECT_TRUE(bands.data == whole.data);
    EXPECT_EQ(bands.meta.text, whole.meta.text);
  }
}

// The peak memory of a run band by band stays below the picture's decoded
// size, which the whole-picture path holds at least twice (source and
// result). The tool's peak counts this process's size when it starts, so the
// inputs are written by a child.
TEST_F(CodecTest, BandsKeepPeakMemoryBelowThePicture) {
#ifdef LUMENO_SANITIZER_BUILD
  GTEST_SKIP() << "the sanitizer runtimes' own memory would be counted";
#endif
  constexpr long kWidth = 4096, kHeight = 3072;
  const char* const kNames[] = {"big.png", "big.jpg", "big.tif"};
  if (fork() == 0) {
    for (const char* name : kNames) Write(name, SmoothImage(kWidth, kHeight, ColorModel::kRGB));
    _exit(0);
  }
  wait(nullptr);
  setenv("LUMENO_BAND_ROWS", "400", 1);  // 4.7 MiB bands
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    const ToolResult r = RunTool(Args(std::string("apply invert + sepia SepiaValue=0.5 -q @") +
                                      name + " @out" + std::strchr(name, '.')));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.peakKb, kWidth * kHeight * 3 / 1024);
  }
  unsetenv("LUMENO_BAND_ROWS");
}

}  // namespace
}  // namespace lumeno::clitest

// TIFF layouts, pages and CMYK, WebP, and standard input/output through the
// tool. Source files are made here with libtiff and libwebp themselves.
#include <tiffio.h>
#include <webp/encode.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

struct TiffLayout {
  bool tiled;
  bool planar;
  int bits;
  uint16_t photometric;
  int samples;  // colour channels and alpha
};

// Writes `image` in the given layout (16 x 16 tiles, or one strip per plane);
// page i of `pages` holds the image with every sample raised by 10 * i.
void WriteTiff(const std::string& path, const cli::Image& image, const TiffLayout& l,
               int pages = 1) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  const auto bw = static_cast<uint32_t>(l.tiled ? 16 : image.width);
  const auto bh = static_cast<uint32_t>(l.tiled ? 16 : image.height);
  const int bytes = l.bits / 8, planes = l.planar ? l.samples : 1, per = l.samples / planes;
  for (int page = 0; page < pages; ++page) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.samples);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    if (image.alpha) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    TIFFSetField(t, l.tiled ? TIFFTAG_TILEWIDTH : TIFFTAG_ROWSPERSTRIP, l.tiled ? bw : bh);
    if (l.tiled) TIFFSetField(t, TIFFTAG_TILELENGTH, bh);
    std::vector<uint8_t> block(size_t{bw} * bh * per * bytes);
    for (uint16_t p = 0; p < planes; ++p) {
      for (uint32_t by = 0; by < image.height; by += bh) {
        for (uint32_t bx = 0; bx < image.width; bx += bw) {
          std::fill(block.begin(), block.end(), 0);
          for (uint32_t r = 0; r < bh && by + r < image.height; ++r) {
            for (uint32_t x = 0; x < bw && bx + x < image.width; ++x) {
              for (int s = 0; s < per; ++s) {
                const auto v =
                    static_cast<uint16_t>(image.Sample16(bx + x, by + r, p * per + s) + 10 * page);
                uint8_t* at = &block[((size_t{r} * bw + x) * per + s) * bytes];
                bytes == 1 ? void(*at = static_cast<uint8_t>(v)) : void(std::memcpy(at, &v, 2));
              }
            }
          }
          if (l.tiled) {
            TIFFWriteEncodedTile(t, TIFFComputeTile(t, bx, by, 0, p), block.data(), -1);
          } else {
            TIFFWriteEncodedStrip(t, TIFFComputeStrip(t, by, p), block.data(),
                                  static_cast<tmsize_t>(block.size()));
          }
        }
      }
    }
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

class CodecTest : public ToolTest {};

TEST_F(CodecTest, EveryTiffLayoutKeepsDepthChannelsAndSamples) {
  const TiffLayout kLayouts[] = {
      {true, false, 8, PHOTOMETRIC_RGB, 3},        {true, false, 16, PHOTOMETRIC_RGB, 4},
      {false, true, 8, PHOTOMETRIC_RGB, 4},        {false, true, 16, PHOTOMETRIC_RGB, 3},
      {true, true, 16, PHOTOMETRIC_RGB, 3},        {true, true, 8, PHOTOMETRIC_MINISBLACK, 2},
      {true, false, 16, PHOTOMETRIC_SEPARATED, 4}, {false, true, 8, PHOTOMETRIC_SEPARATED, 5},
  };
  for (const TiffLayout& l : kLayouts) {
    const ColorModel model = l.photometric == PHOTOMETRIC_RGB         ? ColorModel::kRGB
                             : l.photometric == PHOTOMETRIC_SEPARATED ? ColorModel::kCMYK
                                                                      : ColorModel::kGray;
    const bool alpha = l.samples == (model == ColorModel::kGray  ? 2
                                     : model == ColorModel::kRGB ? 4
                                                                 : 5);
    SCOPED_TRACE(std::string(l.tiled ? "tiled " : "strips ") + (l.planar ? "planar " : "") +
                 std::to_string(l.bits) + " bits, " + std::to_string(l.samples) + " samples");
    // 37 x 21: tiles cut at both edges.
    const cli::Image original = PatternImage(37, 21, model, alpha, l.bits);
    WriteTiff(Path("in.tif"), original, l);
    const cli::Image read = Read("in.tif");
    EXPECT_EQ(read.bits, l.bits);
    EXPECT_EQ(read.model, model);
    EXPECT_EQ(read.alpha, alpha);
    EXPECT_TRUE(read.data == original.data);
    // Through the tool: inverted colour, alpha kept, nothing added.
    ASSERT_EQ(RunTool({"apply", "invert", "--quiet", Path("in.tif"), Path("out.tif")}).status, 0);
    const cli::Image out = Read("out.tif");
    ASSERT_EQ(out.Channels(), original.Channels());
    ASSERT_EQ(out.bits, l.bits);
    const int top = l.bits == 8 ? 255 : 65535;
    for (int ch = 0; ch < original.Channels(); ++ch) {
      const int o = original.Sample16(36, 20, ch);
      EXPECT_EQ(out.Sample16(36, 20, ch), ch < original.ColorChannels() ? top - o : o) << ch;
    }
  }
}

TEST_F(CodecTest, MultiPageTiffIsProcessedPageByPage) {
  cli::Image low = PatternImage(20, 18, ColorModel::kGray, false, 8);
  for (uint8_t& v : low.data) v = static_cast<uint8_t>(v % 200);  // room for + 10 * page
  WriteTiff(Path("in.tif"), low, {false, false, 8, PHOTOMETRIC_MINISBLACK, 1}, 3);
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
  const std::string gray = Write("g.png", PatternImage(6, 5, ColorModel::kGray, false, 16));
  const ToolResult r = RunTool({"apply", "invert", gray, Path("g.webp")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("16 bits reduced to 8, gray stored as RGB"), std::string::npos) << r.err;
  EXPECT_EQ(Read("g.webp").model, ColorModel::kRGB);
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

// Band by band (forced to 5 rows a band) gives the whole-picture pixels and
// keeps text that follows the pixels.
TEST_F(CodecTest, BandsGiveTheWholePicturePixels) {
  cli::Image source = PatternImage(23, 41, ColorModel::kRGB, true, 16);
  source.meta.text = {{"Author", "me"}};
  const std::string in = Write("in.png", source);
  for (const char* effect : {"invert", "grayscale", "sepia"}) {
    for (const char* ext : {".png", ".tif"}) {
      SCOPED_TRACE(std::string(effect) + ext);
      ASSERT_EQ(RunTool({"apply", effect, in, Path(std::string("whole") + ext)}).status, 0);
      setenv("LUMENO_BAND_ROWS", "5", 1);
      const ToolResult r = RunTool({"apply", effect, in, Path(std::string("bands") + ext)});
      unsetenv("LUMENO_BAND_ROWS");
      ASSERT_EQ(r.status, 0) << r.err;
      const cli::Image bands = Read(std::string("bands") + ext);
      EXPECT_TRUE(bands.data == Read(std::string("whole") + ext).data);
      EXPECT_EQ(bands.meta.text, source.meta.text);
    }
  }
}

}  // namespace
}  // namespace lumeno::clitest

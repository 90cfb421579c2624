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

// Writes `image` (packed like the tool's Image) in the given layout; each
// page i of `pages` holds the image with every sample raised by 10 * i.
void WriteTiff(const std::string& path, const cli::Image& image, const TiffLayout& l,
               int pages = 1) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  const int bytes = l.bits / 8;
  for (int page = 0; page < pages; ++page) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.samples);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    if (image.alpha) {
      uint16_t extra = EXTRASAMPLE_UNASSALPHA;
      TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    const uint32_t tile = 16;
    if (l.tiled) {
      TIFFSetField(t, TIFFTAG_TILEWIDTH, tile);
      TIFFSetField(t, TIFFTAG_TILELENGTH, tile);
    }
    // The whole page, one plane after the other when planar.
    auto sample = [&](int64_t x, int64_t y, int s) {
      return static_cast<uint16_t>(image.Sample16(x, y, s) + 10 * page);
    };
    const int planes = l.planar ? l.samples : 1;
    const int perPixel = l.planar ? 1 : l.samples;
    for (int p = 0; p < planes; ++p) {
      const int64_t w = l.tiled ? tile : image.width;
      std::vector<uint8_t> buf(static_cast<size_t>(w * (l.tiled ? tile : 1) * perPixel * bytes));
      auto fill = [&](int64_t x0, int64_t y0, int64_t rows) {
        std::fill(buf.begin(), buf.end(), 0);
        for (int64_t r = 0; r < rows; ++r) {
          for (int64_t x = 0; x < w && x0 + x < image.width && y0 + r < image.height; ++x) {
            for (int s = 0; s < perPixel; ++s) {
              const uint16_t v = sample(x0 + x, y0 + r, l.planar ? p : s);
              std::memcpy(&buf[static_cast<size_t>(((r * w + x) * perPixel + s) * bytes)],
                          bytes == 2 ? static_cast<const void*>(&v) : &v, bytes);
            }
          }
        }
      };
      for (int64_t y = 0; y < image.height; y += l.tiled ? tile : 1) {
        for (int64_t x = 0; x < (l.tiled ? image.width : 1); x += tile) {
          fill(x, y, l.tiled ? tile : 1);
          if (l.tiled) {
            TIFFWriteTile(t, buf.data(), static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0,
                          static_cast<uint16_t>(p));
          } else {
            TIFFWriteScanline(t, buf.data(), static_cast<uint32_t>(y), static_cast<uint16_t>(p));
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
  const cli::Image base = PatternImage(20, 18, ColorModel::kGray, false, 8);
  cli::Image low = base;
  for (uint8_t& v : low.data) v = static_cast<uint8_t>(v % 200);  // room for + 10 * page
  WriteTiff(Path("in.tif"), low, {false, false, 8, PHOTOMETRIC_MINISBLACK, 1}, 3);
  ASSERT_EQ(RunTool({"apply", "invert", "--quiet", Path("in.tif"), Path("out.tif")}).status, 0);
  for (int page = 0; page < 3; ++page) {
    cli::Image out;
    std::string error;
    cli::ReadLimits limits;
    limits.page = page;
    ASSERT_TRUE(cli::ReadImage(Path("out.tif"), &out, &error, {}, limits)) << error;
    EXPECT_EQ(out.meta.pageCount, 3);
    EXPECT_EQ(out.data[5], 255 - (low.data[5] + 10 * page)) << page;
  }
  // One page only on request; a single-page type refuses the other pages.
  ASSERT_EQ(RunTool({"apply", "invert", "--page", "2", Path("in.tif"), Path("p2.png")}).status, 0);
  EXPECT_EQ(Read("p2.png").data[5], 255 - (low.data[5] + 10));
  const ToolResult r = RunTool({"apply", "invert", Path("in.tif"), Path("all.png")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("3 pages"), std::string::npos) << r.err;
  EXPECT_EQ(RunTool({"apply", "invert", "--page", "4", Path("in.tif"), Path("p4.png")}).status, 3);
}

TEST_F(CodecTest, GrayscaleRefusesCmykInsteadOfWritingAnInvisibleFile) {
  WriteTiff(Path("cmyk.tif"), PatternImage(8, 8, ColorModel::kCMYK, false, 8),
            {false, false, 8, PHOTOMETRIC_SEPARATED, 4});
  const ToolResult r = RunTool({"apply", "grayscale", Path("cmyk.tif"), Path("g.tif")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("CMYK"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists("g.tif"));
}

TEST_F(CodecTest, WebpReadAndWritten) {
  // A lossless RGBA file from libwebp: read exactly.
  const cli::Image rgba = PatternImage(19, 11, ColorModel::kRGB, true, 8);
  uint8_t* encoded = nullptr;
  const size_t size = WebPEncodeLosslessRGBA(rgba.data.data(), 19, 11, 19 * 4, &encoded);
  ASSERT_GT(size, 0u);
  FILE* f = std::fopen(Path("in.webp").c_str(), "wb");
  std::fwrite(encoded, 1, size, f);
  std::fclose(f);
  WebPFree(encoded);
  const cli::Image read = Read("in.webp");
  ASSERT_TRUE(read.alpha);
  // Transparent pixels may lose their colour in lossless WebP; compare the rest.
  for (size_t i = 0; i < rgba.data.size(); i += 4) {
    if (rgba.data[i + 3] == 0) continue;
    ASSERT_EQ(std::memcmp(&read.data[i], &rgba.data[i], 4), 0) << i;
  }
  // Quality 100 writes lossless WebP; gray 16-bit input is stored as RGB with a note.
  for (const auto& [from, to] : {std::pair{"in.webp", "o.webp"}, {"o.webp", "t.webp"}}) {
    ASSERT_EQ(RunTool({"apply", "invert", "--quality", "100", Path(from), Path(to)}).status, 0);
  }
  EXPECT_FALSE(Read("o.webp").data == read.data);
  EXPECT_TRUE(Read("t.webp").data == read.data);
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

}  // namespace
}  // namespace lumeno::clitest

// Metadata through the tool: a JPEG made with libjpeg carrying an ICC
// profile, 300 dpi, EXIF (camera, exposure and GPS tags, Orientation 6), XMP
// and a comment keeps them in every output type that can hold them, also
// through a second conversion; pixels are turned only with --auto-orient;
// JPEG keeps full colour resolution from quality 90.
#include "cli/metadata.h"

#include <jpeglib.h>
#include <tiffio.h>

#include <cstdio>
#include <tuple>
#include <utility>

#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

// An ICC header for RGB data, an empty tag table and 468 bytes of filler
// (libpng refuses profiles that compress to almost nothing).
std::vector<uint8_t> TestProfile() {
  std::vector<uint8_t> p(600, 0);
  for (size_t i = 132; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i % 251);
  p[2] = 600 >> 8;
  p[3] = 600 & 255;
  for (const auto& [at, four] : {std::pair{12, "mntr"}, {16, "RGB "}, {20, "XYZ "}, {36, "acsp"}}) {
    std::copy(four, four + 4, p.begin() + at);
  }
  return p;
}

const char kXmp[] = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>";

// An EXIF entry; its value as big-endian bytes.
struct Entry {
  uint16_t tag, type;
  uint32_t count;
  std::vector<uint8_t> value;
};
Entry Numbers(uint16_t tag, uint16_t type, std::vector<uint32_t> numbers) {
  const int n = type == 1 ? 1 : type == 3 ? 2 : 4;
  Entry e{tag, type, static_cast<uint32_t>(numbers.size() / (type == 5 || type == 10 ? 2 : 1)), {}};
  for (const uint32_t v : numbers) {
    for (int i = n - 1; i >= 0; --i) e.value.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return e;
}
Entry Text(uint16_t tag, const std::string& s) {
  return {tag, 2, static_cast<uint32_t>(s.size() + 1),
          std::vector<uint8_t>(s.c_str(), s.c_str() + s.size() + 1)};
}

// A big-endian EXIF block: IFD0 (tags below 0x8769) pointing to the EXIF
// and the GPS directory where they have entries.
std::vector<uint8_t> BigEndianExif(std::vector<Entry> ifd0, const std::vector<Entry>& exif,
                                   const std::vector<Entry>& gps) {
  std::vector<uint8_t> b = {'M', 'M', 0, 42, 0, 0, 0, 8};
  const auto put = [&b](size_t at, size_t v, int n) {
    for (size_t i = 0; i < static_cast<size_t>(n); ++i)
      b[at + i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
  };
  if (!exif.empty()) ifd0.push_back({0x8769, 4, 1, {}});
  if (!gps.empty()) ifd0.push_back({0x8825, 4, 1, {}});
  for (const std::vector<Entry>* entries : {&std::as_const(ifd0), &exif, &gps}) {
    if (entries != &ifd0 && entries->empty()) continue;
    // The pointers' values (IFD0's last entries): where the directories go.
    if (entries != &ifd0) {
      put(18 + 12 * (ifd0.size() - (entries == &exif && !gps.empty() ? 2 : 1)), b.size(), 4);
    }
    const size_t start = b.size();
    b.resize(start + 6 + 12 * entries->size());
    put(start, entries->size(), 2);
    for (size_t i = 0; i < entries->size(); ++i) {
      const Entry& e = (*entries)[i];
      const size_t at = start + 2 + 12 * i;
      put(at, e.tag, 2), put(at + 2, e.type, 2), put(at + 4, e.count, 4);
      if (e.value.size() > 4) put(at + 8, b.size(), 4);
      if (e.value.size() > 4) b.resize(b.size() + e.value.size());
      const long size = static_cast<long>(e.value.size());
      std::copy(e.value.begin(), e.value.end(),
                size > 4 ? b.end() - size : b.begin() + static_cast<long>(at + 8));
    }
  }
  return b;
}

// Camera, exposure and GPS tags; the EXIF directory also holds four that
// libtiff does not take: ExposureProgram too large for its SHORT,
// SensitivityType with two values, BrightnessValue as a SHORT (libtiff:
// SRATIONAL) and an unknown tag (0xC0DE).
std::vector<uint8_t> CameraExif() {
  return BigEndianExif(
      {Text(0x010F, "Lumeno Cam"), Numbers(0x0112, 3, {6})},
      {Numbers(0x829A, 5, {1, 250}), Numbers(0x829D, 5, {14, 5}), Numbers(0x8822, 4, {70000}),
       Numbers(0x8827, 3, {400}), Numbers(0x8830, 3, {1, 2}), Text(0x9003, "2024:05:01 12:34:56"),
       Numbers(0x9201, 10, {8, 1}), Numbers(0x9203, 3, {5}), Numbers(0x9204, 10, {0xFFFFFFFF, 3}),
       Numbers(0xA002, 4, {16}), Numbers(0xC0DE, 4, {7})},
      {Numbers(0x0000, 1, {2, 3, 0, 0}), Text(0x0001, "N"),
       Numbers(0x0002, 5, {52, 1, 30, 1, 15, 2})});
}

// A block's entries as the tool's parser reads them, (directory, tag, type,
// count, value); `libtiffTakes`: without the four tags libtiff does
// not take. Fractions in lowest terms come back from a TIFF as they went in.
using Row = std::tuple<int, uint16_t, uint16_t, uint32_t, std::vector<uint8_t>>;
std::vector<Row> Rows(const std::vector<uint8_t>& b, bool libtiffTakes) {
  cli::ExifDirectories d;
  EXPECT_TRUE(cli::ParseExif(b, &d));
  std::vector<Row> rows;
  for (int n = 0; n < 3; ++n) {
    for (const cli::ExifEntry& e : n == 0 ? d.main : n == 1 ? d.exif : d.gps) {
      if (!libtiffTakes ||
          (e.tag != 0x8822 && e.tag != 0x8830 && e.tag != 0x9203 && e.tag != 0xC0DE)) {
        rows.emplace_back(n, e.tag, e.type, e.count, e.value);
      }
    }
  }
  return rows;
}

void WriteJpegWithMetadata(const std::string& path, const cli::Image& rgb,
                           const std::vector<uint8_t>& block = CameraExif()) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = static_cast<JDIMENSION>(rgb.width);
  c.image_height = static_cast<JDIMENSION>(rgb.height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  c.density_unit = 1;
  c.X_density = 300;
  c.Y_density = 300;
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> exif = {'E', 'x', 'i', 'f', 0, 0};
  exif.insert(exif.end(), block.begin(), block.end());
  jpeg_write_marker(&c, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
  const std::vector<uint8_t> icc = TestProfile();
  jpeg_write_icc_profile(&c, icc.data(), static_cast<unsigned>(icc.size()));
  std::string xmp = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + kXmp;
  jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(xmp.data()),
                    static_cast<unsigned>(xmp.size()));
  jpeg_write_marker(&c, JPEG_COM, reinterpret_cast<const JOCTET*>("a rose"), 6);
  for (int64_t y = 0; y < rgb.height; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb.Row(y));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::fclose(f);
}

class MetadataTest : public ToolTest {};

TEST_F(MetadataTest, EveryOutputTypeKeepsWhatItCanHold) {
  WriteJpegWithMetadata(Path("in.jpg"), SmoothImage(16, 12, ColorModel::kRGB));
  ASSERT_EQ(Rows(CameraExif(), true).size(), 12u);  // the parser reads every directory
  // `bands`: written (to a TIFF) or read (from one) band by band.
  const struct {
    const char* name;
    bool resolution, exif, xmp, comment, bands;
  } kCases[] = {
      {"out.png", true, true, true, true, false},   {"out.tif", true, true, true, false, true},
      {"out.jpg", true, true, true, true, false},   {"out.webp", false, true, true, false, false},
      {"png.tif", true, true, true, false, false},  {"tif.jpg", true, true, true, false, true},
      {"tif.png", true, true, true, false, false},  {"tif.tif", true, true, true, false, false},
      {"webp.png", false, true, true, false, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    // Names like "png.tif" are made from "out.png", the others from the JPEG.
    const std::string from =
        std::string(c.name).find("out.") == 0
            ? "in.jpg"
            : "out." + std::string(c.name).substr(0, std::string(c.name).find('.'));
    const std::vector<std::string> args = {"apply", "invert", Path(from), Path(c.name)};
    const ToolResult r = c.bands ? RunInBands(args) : RunTool(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const cli::Image out = Read(c.name);
    EXPECT_EQ(out.width, 16);  // not turned
    EXPECT_TRUE(out.meta.icc == TestProfile());
    EXPECT_EQ(out.meta.orientation, 6);  // the tag stays so that viewers turn it
    const bool viaTiff = std::string(c.name).find("tif") != std::string::npos;
    EXPECT_TRUE(!c.exif || (viaTiff ? Rows(out.meta.exif, false) == Rows(CameraExif(), true)
                                    : out.meta.exif == CameraExif()));
    EXPECT_EQ(out.meta.xmp == kXmp, c.xmp);
    EXPECT_EQ(out.meta.HasResolution(), c.resolution);
    if (c.resolution) {
      EXPECT_TRUE(out.meta.resolutionX == 300 && out.meta.resolutionY == 300);
      EXPECT_EQ(out.meta.resolutionUnit, cli::Metadata::Unit::kInch);
    }
    const bool comment = !out.meta.text.empty() && out.meta.text[0].second == "a rose";
    EXPECT_EQ(comment, c.comment);
  }
  // The TIFF's own directory has the camera tags, its EXIF directory the
  // others, as libtiff reads them.
  TIFF* t = TIFFOpen(Path("out.tif").c_str(), "r");
  ASSERT_NE(t, nullptr);
  char* text = nullptr;
  uint64_t at = 0;
  EXPECT_TRUE(TIFFGetField(t, TIFFTAG_MAKE, &text) && std::string(text) == "Lumeno Cam");
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_EXIFIFD, &at) && TIFFReadEXIFDirectory(t, at));
  const auto number = [t](uint32_t tag) {
    double d = 0;
    float f = 0;  // libtiff keeps some fractions as float
    const bool wide = TIFFFieldSetGetSize(TIFFFieldWithTag(t, tag)) == 8;
    return TIFFGetField(t, tag, wide ? static_cast<void*>(&d) : &f) ? (wide ? d : f) : 0.0;
  };
  EXPECT_NEAR(number(EXIFTAG_EXPOSURETIME), 0.004, 1e-7);
  EXPECT_NEAR(number(EXIFTAG_FNUMBER), 2.8, 1e-6);
  uint16_t count = 0, *iso = nullptr;
  EXPECT_TRUE(TIFFGetField(t, EXIFTAG_ISOSPEEDRATINGS, &count, &iso) && count == 1 && *iso == 400);
  EXPECT_TRUE(TIFFGetField(t, EXIFTAG_DATETIMEORIGINAL, &text) &&
              std::string(text) == "2024:05:01 12:34:56");
  EXPECT_NEAR(number(EXIFTAG_EXPOSUREBIASVALUE), -1.0 / 3, 1e-7);
  EXPECT_FALSE(TIFFGetField(t, EXIFTAG_BRIGHTNESSVALUE, &text));  // a SHORT in the block
  TIFFClose(t);
  // A damaged EXIF block (its first directory past the end) is left out of a
  // TIFF, with a note.
  WriteJpegWithMetadata(Path("bad.jpg"), SmoothImage(16, 12, ColorModel::kRGB),
                        {'M', 'M', 0, 42, 0, 0, 1, 0});
  const ToolResult bad = RunTool(Args("apply invert @bad.jpg @bad.tif"));
  ASSERT_EQ(bad.status, 0) << bad.err;
  EXPECT_NE(bad.err.find("TIFF output: the EXIF block is damaged; left out"), std::string::npos);
  EXPECT_TRUE(Read("bad.tif").meta.exif.empty());
  // A gray result cannot carry the RGB profile.
  ASSERT_EQ(RunTool({"apply", "grayscale", "--quiet", Path("in.jpg"), Path("g.tif")}).status, 0);
  EXPECT_TRUE(Read("g.tif").meta.icc.empty());
  const ToolResult info = RunTool({"info", Path("out.png")});
  for (const char* line :
       {"ICC profile:      600 bytes", "resolution:       300 x 300 pixels per inch",
        "orientation:      6", "XMP:              58 bytes"}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  }
}

// Each page of a multi-page TIFF keeps its own EXIF, and its own pixels
// after the EXIF directories are read.
TEST_F(MetadataTest, EveryTiffPageKeepsItsOwnExif) {
  cli::Image in = PatternImage(4, 3, ColorModel::kRGB, false, 8, 1);
  in.morePages = {PatternImage(4, 3, ColorModel::kRGB, false, 8, 2)};
  in.meta.exif = BigEndianExif({Text(0x010F, "One")}, {Numbers(0x829A, 5, {1, 60})}, {});
  in.morePages[0].meta.exif = BigEndianExif({Text(0x010F, "Two")}, {}, {});  // IFD0 alone
  Write("in.tif", in);
  ASSERT_EQ(RunTool(Args("apply invert --quiet @in.tif @both.tif")).status, 0);
  for (const cli::Image* page : {&in, &in.morePages[0]}) {
    const std::string n = page == &in ? "1" : "2";
    ASSERT_EQ(RunTool(Args("apply invert --quiet --page " + n + " @both.tif @p.png")).status, 0);
    EXPECT_TRUE(Read("p.png").data == page->data) << n;
    EXPECT_TRUE(Rows(Read("p.png").meta.exif, false) == Rows(page->meta.exif, false)) << n;
  }
}

// A 3x2 gray TIFF (values 10..60 row by row) with each Orientation tag, turned
// by --auto-orient and inverted: what a viewer shows, stored upright.
TEST_F(MetadataTest, AutoOrientTurnsPixelsAndResetsTheTag) {
  const struct {
    int orientation;
    int width;
    std::vector<int> shown;  // the viewer's rows, before inversion
  } kCases[] = {{1, 3, {10, 20, 30, 40, 50, 60}}, {2, 3, {30, 20, 10, 60, 50, 40}},
                {3, 3, {60, 50, 40, 30, 20, 10}}, {4, 3, {40, 50, 60, 10, 20, 30}},
                {5, 2, {10, 40, 20, 50, 30, 60}}, {6, 2, {40, 10, 50, 20, 60, 30}},
                {7, 2, {60, 30, 50, 20, 40, 10}}, {8, 2, {30, 60, 20, 50, 10, 40}}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.orientation);
    cli::Image in = PatternImage(3, 2, ColorModel::kGray, false, 8);
    in.data = {10, 20, 30, 40, 50, 60};
    in.meta.orientation = c.orientation;  // the TIFF writer stores it as a tag
    in.meta.text = {{"Software", "lumeno"}};
    Write("in.tif", in);
    EXPECT_TRUE(Read("in.tif").meta.exif.empty());  // no EXIF without camera tags

    for (const char* kept : {"kept.jpg", "kept.webp"}) {
      ASSERT_EQ(RunTool({"apply", "invert", "--quiet", Path("in.tif"), Path(kept)}).status, 0);
      EXPECT_EQ(Read(kept).width, 3);  // without the option nothing turns
      EXPECT_EQ(Read(kept).meta.orientation, c.orientation) << kept;
    }

    const ToolResult r =
        RunTool({"apply", "invert", "--auto-orient", "--quiet", Path("in.tif"), Path("o.png")});
    ASSERT_EQ(r.status, 0) << r.err;
    const cli::Image out = Read("o.png");
    ASSERT_EQ(out.width, c.width);
    ASSERT_EQ(out.width * out.height, 6);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(out.data[i], 255 - c.shown[i]) << i;
    EXPECT_EQ(out.meta.orientation, 1);
  }
}

int LumaSampling(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_stdio_src(&d, f);
  jpeg_read_header(&d, TRUE);
  const int h = d.comp_info[0].h_samp_factor * 10 + d.comp_info[0].v_samp_factor;
  jpeg_destroy_decompress(&d);
  std::fclose(f);
  return h;
}

TEST_F(MetadataTest, HighJpegQualitiesKeepFullColourResolution) {
  const std::string in = Write("in.png", SmoothImage(32, 32, ColorModel::kRGB));
  for (const auto& [quality, sampling] : {std::pair{"89", 22}, {"90", 11}, {"100", 11}}) {
    ASSERT_EQ(RunTool({"apply", "invert", "--quality", quality, in, Path("q.jpg")}).status, 0);
    EXPECT_EQ(LumaSampling(Path("q.jpg")), sampling) << quality;
  }
}

}  // namespace
}  // namespace lumeno::clitest

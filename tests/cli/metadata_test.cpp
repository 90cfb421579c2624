// Metadata through the tool: a JPEG made with libjpeg carrying an ICC
// profile, 300 dpi, EXIF Orientation 6, XMP and a comment keeps them in every
// output type that can hold them, also through a second conversion; pixels are
// turned only with --auto-orient; JPEG keeps full colour resolution from
// quality 90.
#include "cli/metadata.h"

#include <jpeglib.h>

#include <cstdio>

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

void WriteJpegWithMetadata(const std::string& path, const cli::Image& rgb) {
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
  // A big-endian EXIF block with one entry: Orientation (0x0112, SHORT) = 6.
  const uint8_t exif[] = {'E', 'x',  'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                          1,   0x12, 0,   3,   0, 0, 0,   1,   0, 6,  0, 0, 0, 0, 0, 0};
  jpeg_write_marker(&c, JPEG_APP0 + 1, exif, sizeof exif);
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
  WriteJpegWithMetadata(Path("in.jpg"), SmoothImage(16, 8, ColorModel::kRGB));
  const struct {
    const char* name;
    bool resolution, exif, xmp, comment;
  } kCases[] = {{"out.png", true, true, true, true},   {"out.tif", true, false, true, false},
                {"out.jpg", true, true, true, true},   {"out.webp", false, true, true, false},
                {"png.tif", true, false, true, false}, {"tif.jpg", true, false, true, false},
                {"webp.png", false, true, true, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    // Names like "png.tif" are made from "out.png", the others from the JPEG.
    const std::string from =
        std::string(c.name).find("out.") == 0
            ? "in.jpg"
            : "out." + std::string(c.name).substr(0, std::string(c.name).find('.'));
    const ToolResult r = RunTool({"apply", "invert", "--quiet", Path(from), Path(c.name)});
    ASSERT_EQ(r.status, 0) << r.err;
    const cli::Image out = Read(c.name);
    EXPECT_EQ(out.width, 16);  // not turned
    EXPECT_TRUE(out.meta.icc == TestProfile());
    EXPECT_EQ(out.meta.orientation, 6);  // the tag stays so that viewers turn it
    EXPECT_TRUE(!c.exif || cli::ExifOrientation(out.meta.exif) == 6);
    EXPECT_EQ(out.meta.xmp == kXmp, c.xmp);
    EXPECT_EQ(out.meta.HasResolution(), c.resolution);
    if (c.resolution) {
      EXPECT_TRUE(out.meta.resolutionX == 300 && out.meta.resolutionY == 300);
      EXPECT_EQ(out.meta.resolutionUnit, cli::Metadata::Unit::kInch);
    }
    const bool comment = !out.meta.text.empty() && out.meta.text[0].second == "a rose";
    EXPECT_EQ(comment, c.comment);
  }
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
    Write("in.tif", in);

    ASSERT_EQ(RunTool({"apply", "invert", "--quiet", Path("in.tif"), Path("kept.jpg")}).status, 0);
    EXPECT_EQ(Read("kept.jpg").width, 3);  // without the option nothing turns
    EXPECT_EQ(Read("kept.jpg").meta.orientation, c.orientation);

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

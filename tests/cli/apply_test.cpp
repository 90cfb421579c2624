// lumeno apply against the plug-in driven directly through the host: the
// same bitmap and the same property values must give the same pixels, and
// the background, threaded, in-place and batch forms must give the same
// files as the plain synchronous run.
#include <cstring>
#include <fstream>
#include <functional>

#include "cli/image_io.h"
#include "host/host.h"
#include "host/raw_bitmap_class.h"
#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;
using host::Host;
using host::Object;
using host::Ref;

// A host bitmap holding an RGBA8 or gray8 test image (the format's bytes are
// in channel order for these two formats).
Ref HostBitmap(Host& host, const cli::Image& image) {
  const int64_t format = image.model == ColorModel::kGray ? host::kGray8 : host::kRGBA8;
  Ref bitmap(host, host::CreateBitmap(host, image.width, image.height, format));
  EXPECT_TRUE(bitmap);
  if (bitmap) host::WritePixels(*host::BitmapRecord(host, bitmap.get()), image.data);
  return bitmap;
}

struct EffectCase {
  const char* name;
  std::vector<std::string> args;  // effect and assignments for the tool
  const char* className;
  // Sets the same values on the effect object in the host.
  std::function<void(Host&, Object, Object fill, Object mask)> setUp;
};

std::vector<EffectCase> Cases() {
  return {
      {"brightness",
       {"brightness", "BrightnessValue=0.3"},
       "BrightnessEffectRaw",
       [](Host& h, Object e, Object, Object) { h.SetProperty(e, "BrightnessValue", 0.3f); }},
      {"brightness-masked",
       {"brightness", "BrightnessValue=-0.45", "--mask", "@mask"},
       "BrightnessEffectRaw",
       [](Host& h, Object e, Object, Object m) {
         h.SetProperty(e, "BrightnessValue", -0.45f);
         h.SetProperty(e, "Mask", host::Value(std::in_place_type<Object>, m));
       }},
      {"contrast",
       {"ContrastEffectRaw", "ContrastValue=-0.4"},
       "ContrastEffectRaw",
       [](Host& h, Object e, Object, Object) { h.SetProperty(e, "ContrastValue", -0.4f); }},
      {"brightness-contrast",
       {"brightness-contrast", "BrightnessValue=0.1", "contrastvalue=0.6"},
       "BrightnessContrastEffectRaw",
       [](Host& h, Object e, Object, Object) {
         h.SetProperty(e, "BrightnessValue", 0.1f);
         h.SetProperty(e, "ContrastValue", 0.6f);
       }},
      {"sepia",
       {"sepia", "SepiaValue=0.7"},
       "SepiaEffectRaw",
       [](Host& h, Object e, Object, Object) { h.SetProperty(e, "SepiaValue", 0.7f); }},
      {"color-filter",
       {"color-filter", "Red=0.2", "Green=-0.1", "Blue=0.5"},
       "ColorFilterEffectRaw",
       [](Host& h, Object e, Object, Object) {
         h.SetProperty(e, "Red", 0.2f);
         h.SetProperty(e, "Green", -0.1f);
         h.SetProperty(e, "Blue", 0.5f);
       }},
      {"tint-temperature",
       {"tint-temperature", "Tint=0.3", "Temperature=-0.6"},
       "TintAndTemperatureEffectRaw",
       [](Host& h, Object e, Object, Object) {
         h.SetProperty(e, "Tint", 0.3f);
         h.SetProperty(e, "Temperature", -0.6f);
       }},
      {"grayscale",
       {"grayscale", "GrayscaleType=itu_r"},
       "GrayscaleEffectRaw",
       [](Host& h, Object e, Object, Object) { h.SetProperty(e, "GrayscaleType", int64_t{1}); }},
      {"grayscale-original",
       {"grayscale", "GrayscaleType=3", "UseOriginalColorSpace=yes"},
       "GrayscaleEffectRaw",
       [](Host& h, Object e, Object, Object) {
         h.SetProperty(e, "GrayscaleType", int64_t{3});
         h.SetProperty(e, "UseOriginalColorSpace", true);
       }},
      {"invert", {"invert"}, "InvertEffectRaw", [](Host&, Object, Object, Object) {}},
      {"blend",
       {"blend", "BlendMode=screen", "FillBitmap=@fill", "Opacity=0.6", "Location=5,-3",
        "Size=20,9"},
       "BlendEffectRaw",
       [](Host& h, Object e, Object fill, Object) {
         h.SetProperty(e, "BlendMode", int64_t{2});
         h.SetProperty(e, "FillBitmap", host::Value(std::in_place_type<Object>, fill));
         h.SetProperty(e, "Opacity", 0.6);
         Ref point(h, h.New("PointF"));
         h.SetProperty(point.get(), "x", 5.0f);
         h.SetProperty(point.get(), "y", -3.0f);
         h.SetProperty(e, "Location", host::Value(std::in_place_type<Object>, point.get()));
         Ref size(h, h.New("SizeF"));
         h.SetProperty(size.get(), "Width", 20.0f);
         h.SetProperty(size.get(), "Height", 9.0f);
         h.SetProperty(e, "Size", host::Value(std::in_place_type<Object>, size.get()));
       }},
  };
}

class ApplyTest : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    source_ = PatternImage(37, 41, ColorModel::kRGB, true, 8, 11);
    fill_ = PatternImage(25, 14, ColorModel::kRGB, true, 8, 12);
    mask_ = PatternImage(37, 41, ColorModel::kGray, false, 8, 13);
    Write("in.png", source_);
    Write("fill.png", fill_);
    Write("mask.png", mask_);
  }

  std::vector<std::string> ToolArgs(const EffectCase& c) const {
    std::vector<std::string> args = {"apply"};
    for (std::string a : c.args) {
      for (const char* key : {"@fill", "@mask"}) {
        const size_t at = a.find(key);
        if (at != std::string::npos) {
          a.replace(at, std::strlen(key), Path(std::string(key + 1) + ".png"));
        }
      }
      args.push_back(a);
    }
    args.push_back("--quiet");
    return args;
  }

  // The effect's result through the host, packed in the result's own layout.
  std::vector<uint8_t> DirectResult(const EffectCase& c, int64_t* format) {
    Host host;
    std::string error;
    EXPECT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error)) << error;
    Ref source = HostBitmap(host, source_);
    Ref fill = HostBitmap(host, fill_);
    Ref maskBitmap = HostBitmap(host, mask_);
    Ref mask(host, host::CreateMask(host, maskBitmap.get(), false, 0));
    Ref effect(host, host.New(c.className));
    EXPECT_TRUE(effect);
    if (!effect) return {};
    c.setUp(host, effect.get(), fill.get(), mask.get());
    Ref result(host, host.Call<Object>(effect.get(), "Apply(source as RawBitmap) as RawBitmap",
                                       source.get()));
    EXPECT_TRUE(result) << "ErrorCode " << host.GetInteger(effect.get(), "ErrorCode");
    if (!result) return {};
    const RawBitmap& record = *host::BitmapRecord(host, result.get());
    *format = record.imageFormat;
    return host::ReadPixels(record);
  }

  cli::Image source_, fill_, mask_;
};

TEST_F(ApplyTest, ToolGivesWhatThePluginGivesThroughTheHost) {
  for (const EffectCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = ToolArgs(c);
    args.push_back(Path("in.png"));
    args.push_back(Path("out.png"));
    const ToolResult r = RunTool(args);
    ASSERT_EQ(r.status, 0) << r.err;
    int64_t format = -1;
    const std::vector<uint8_t> expected = DirectResult(c, &format);
    const cli::Image out = Read("out.png");
    // The formats compared here store their channels in model order.
    ASSERT_TRUE(format == host::kRGBA8 || format == host::kGrayAlpha8) << format;
    EXPECT_EQ(out.model, format == host::kRGBA8 ? ColorModel::kRGB : ColorModel::kGray);
    EXPECT_TRUE(out.alpha);
    EXPECT_TRUE(out.data == expected);
  }
}

TEST_F(ApplyTest, BackgroundThreadedAndInPlaceRunsGiveTheSameFile) {
  for (const EffectCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = ToolArgs(c);
    args.push_back(Path("in.png"));
    auto run = [&](const std::vector<std::string>& extra, const std::string& out) {
      std::vector<std::string> a = args;
      a.insert(a.end() - 1, extra.begin(), extra.end());
      a.push_back(Path(out));
      return RunTool(a);
    };
    ToolResult r = run({}, "sync.png");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sync = FileBytes("sync.png");
    r = run({"--async"}, "async.png");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FileBytes("async.png"), sync);
    for (const char* threads : {"1", "3", "all"}) {
      r = run({"--threads", threads}, "threads.png");
      ASSERT_EQ(r.status, 0) << threads << ": " << r.err;
      EXPECT_EQ(FileBytes("threads.png"), sync) << threads;
    }
    // In place keeps the source's format; compare where the result has it too.
    if (std::string(c.className) != "BlendEffectRaw" &&
        std::string(c.className) != "GrayscaleEffectRaw") {
      r = run({"--in-place"}, "inplace.png");
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(FileBytes("inplace.png"), sync);
      r = run({"--in-place", "--async"}, "inplace-async.png");
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(FileBytes("inplace-async.png"), sync);
    }
  }
}

TEST_F(ApplyTest, InPlaceGrayscaleKeepsTheSourceFormat) {
  const ToolResult r =
      RunTool({"apply", "grayscale", "--in-place", "--quiet", Path("in.png"), Path("out.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  const cli::Image out = Read("out.png");
  EXPECT_EQ(out.model, ColorModel::kRGB);
  EXPECT_TRUE(out.alpha);
  // Gray: the three colour channels are equal, alpha is the source's.
  for (int64_t i = 0; i < out.width * out.height; ++i) {
    const uint8_t* p = &out.data[static_cast<size_t>(i * 4)];
    ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << i;
    ASSERT_EQ(p[3], source_.data[static_cast<size_t>(i * 4 + 3)]) << i;
  }
}

TEST_F(ApplyTest, BatchGoesOnAfterAFailureAndReportsIt) {
  Write("b.png", PatternImage(9, 12, ColorModel::kRGB, false, 8, 3));
  {
    std::ofstream bad(Path("bad.png"));
    bad << "not an image";
  }
  const std::string outDir = Path("out/nested");
  const ToolResult r = RunTool(
      {"apply", "invert", "--out-dir", outDir, Path("in.png"), Path("bad.png"), Path("b.png")});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("bad.png"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 of 3 files failed"), std::string::npos) << r.err;
  EXPECT_TRUE(Exists("out/nested/in.png"));
  EXPECT_TRUE(Exists("out/nested/b.png"));
  EXPECT_FALSE(Exists("out/nested/bad.png"));
  ASSERT_EQ(RunTool({"apply", "invert", Path("b.png"), Path("single.png")}).status, 0);
  EXPECT_EQ(FileBytes("out/nested/b.png"), FileBytes("single.png"));
  // The batch refuses to write over its own inputs.
  const ToolResult same = RunTool({"apply", "invert", "--out-dir", dir_, Path("b.png")});
  EXPECT_NE(same.status, 0);
  EXPECT_NE(same.err.find("would replace its input"), std::string::npos) << same.err;
}

TEST_F(ApplyTest, MaskChannelAndInversionAreHonoured) {
  // An RGBA mask file whose green channel is the gray mask: selecting green
  // gives the gray mask's result; ":inverted" gives the 255 - m result.
  cli::Image rgbaMask = PatternImage(37, 41, ColorModel::kRGB, true, 8, 99);
  cli::Image inverseMask = mask_;
  for (int64_t i = 0; i < mask_.width * mask_.height; ++i) {
    rgbaMask.data[static_cast<size_t>(i * 4 + 1)] = mask_.data[static_cast<size_t>(i)];
    inverseMask.data[static_cast<size_t>(i)] =
        static_cast<uint8_t>(255 - mask_.data[static_cast<size_t>(i)]);
  }
  Write("rgba-mask.png", rgbaMask);
  Write("inverse-mask.png", inverseMask);
  auto run = [&](const std::string& maskSpec, const std::string& out) {
    return RunTool(
               {"apply", "sepia", "SepiaValue=1", "--mask", maskSpec, Path("in.png"), Path(out)})
        .status;
  };
  ASSERT_EQ(run(Path("mask.png"), "gray.png"), 0);
  ASSERT_EQ(run(Path("rgba-mask.png") + ":green", "green.png"), 0);
  ASSERT_EQ(run(Path("rgba-mask.png") + ":1", "one.png"), 0);
  ASSERT_EQ(run(Path("inverse-mask.png") + ":gray:inverted", "twice.png"), 0);
  ASSERT_EQ(run(Path("inverse-mask.png"), "inverse.png"), 0);
  EXPECT_EQ(FileBytes("green.png"), FileBytes("gray.png"));
  EXPECT_EQ(FileBytes("one.png"), FileBytes("gray.png"));
  EXPECT_EQ(FileBytes("twice.png"), FileBytes("gray.png"));
  EXPECT_NE(FileBytes("inverse.png"), FileBytes("gray.png"));
}

}  // namespace
}  // namespace lumeno::clitest

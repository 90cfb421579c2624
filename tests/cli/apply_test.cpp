// lumeno apply against the plug-in driven directly through the host: the
// same bitmap and the same property values must give the same pixels, and
// the background, threaded, in-place and batch forms must give the same
// files as the plain synchronous run.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <variant>

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

// A value set through the host: a number, or "@fill" / "@mask" for the
// test's bitmaps, or "x,y" for a PointF or SizeF.
using Setting = std::pair<const char*, std::variant<float, double, int64_t, bool, const char*>>;

struct EffectCase {
  const char* args;  // effect and assignments for the tool, as ToolTest::Args
  const char* className;
  std::vector<Setting> settings;  // the same values for the effect object in the host
};

const std::vector<EffectCase>& Cases() {
  static const std::vector<EffectCase> cases = {
      {"brightness BrightnessValue=0.3", "BrightnessEffectRaw", {{"BrightnessValue", 0.3f}}},
      {"brightness BrightnessValue=-0.45 --mask @mask.png",
       "BrightnessEffectRaw",
       {{"BrightnessValue", -0.45f}, {"Mask", "@mask"}}},
      {"ContrastEffectRaw ContrastValue=-0.4", "ContrastEffectRaw", {{"ContrastValue", -0.4f}}},
      {"brightness-contrast BrightnessValue=0.1 contrastvalue=0.6",
       "BrightnessContrastEffectRaw",
       {{"BrightnessValue", 0.1f}, {"ContrastValue", 0.6f}}},
      {"sepia SepiaValue=0.7", "SepiaEffectRaw", {{"SepiaValue", 0.7f}}},
      {"color-filter Red=0.2 Green=-0.1 Blue=0.5",
       "ColorFilterEffectRaw",
       {{"Red", 0.2f}, {"Green", -0.1f}, {"Blue", 0.5f}}},
      {"tint-temperature Tint=0.3 Temperature=-0.6",
       "TintAndTemperatureEffectRaw",
       {{"Tint", 0.3f}, {"Temperature", -0.6f}}},
      {"grayscale GrayscaleType=itu_r", "GrayscaleEffectRaw", {{"GrayscaleType", int64_t{1}}}},
      {"grayscale GrayscaleType=3 UseOriginalColorSpace=yes",
       "GrayscaleEffectRaw",
       {{"GrayscaleType", int64_t{3}}, {"UseOriginalColorSpace", true}}},
      {"invert", "InvertEffectRaw", {}},
      {"blend BlendMode=screen FillBitmap=@fill.png Opacity=0.6 Location=5,-3 Size=20,9",
       "BlendEffectRaw",
       {{"BlendMode", int64_t{2}},
        {"FillBitmap", "@fill"},
        {"Opacity", 0.6},
        {"Location", "5,-3"},
        {"Size", "20,9"}}},
  };
  return cases;
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
    return Args(std::string("apply ") + c.args + " --quiet");
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
    std::vector<Ref> points;
    for (const Setting& setting : c.settings) {
      const char* name = setting.first;
      const auto& value = setting.second;
      const char* const* text = std::get_if<const char*>(&value);
      std::visit(
          [&](auto v) {
            if constexpr (!std::is_pointer_v<decltype(v)>) host.SetProperty(effect.get(), name, v);
          },
          value);
      if (text == nullptr) continue;
      Object object = std::string(*text) == "@fill" ? fill.get() : mask.get();
      if (**text != '@') {
        const bool point = std::string(name) == "Location";
        points.emplace_back(host, host.New(point ? "PointF" : "SizeF"));
        object = points.back().get();
        host.SetProperty(object, point ? "x" : "Width", std::stof(*text));
        host.SetProperty(object, point ? "y" : "Height", std::stof(std::strchr(*text, ',') + 1));
      }
      host.SetProperty(effect.get(), name, host::Value(std::in_place_type<Object>, object));
    }
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
    SCOPED_TRACE(c.args);
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
  const std::vector<std::vector<std::string>> forms = {
      {"--async"},       {"--threads", "1"}, {"--threads", "3"},
      {"--threads=all"}, {"--in-place"},     {"--in-place", "--async"}};
  for (const EffectCase& c : Cases()) {
    SCOPED_TRACE(c.args);
    std::vector<std::string> args = ToolArgs(c);
    args.insert(args.end(), {Path("in.png"), Path("sync.png")});
    ASSERT_EQ(RunTool(args).status, 0);
    // In place keeps the source's format; compare where the result has it too.
    const bool keepsFormat = std::string(c.className) != "BlendEffectRaw" &&
                             std::string(c.className) != "GrayscaleEffectRaw";
    for (const std::vector<std::string>& form : forms) {
      if (form.front() == "--in-place" && !keepsFormat) continue;
      SCOPED_TRACE(form.back());
      std::vector<std::string> a = args;
      a.back() = Path("other.png");
      a.insert(a.begin() + 2, form.begin(), form.end());
      const ToolResult r = RunTool(a);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(FileBytes("other.png"), FileBytes("sync.png"));
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
  std::ofstream(Path("bad.png")) << "not an image";
  const std::string outDir = Path("out/nested");
  const ToolResult r = RunTool(
      {"apply", "invert", "--out-dir", outDir, Path("in.png"), Path("bad.png"), Path("b.png")});
  EXPECT_EQ(r.status, 3);
  // The path once, then what is wrong with the file.
  EXPECT_NE(r.err.find("lumeno: " + Path("bad.png") + ": not a PNG"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 of 3 files failed"), std::string::npos) << r.err;
  EXPECT_TRUE(Exists("out/nested/in.png"));
  EXPECT_TRUE(Exists("out/nested/b.png"));
  EXPECT_FALSE(Exists("out/nested/bad.png"));
  ASSERT_EQ(RunTool({"apply", "invert", Path("b.png"), Path("single.png")}).status, 0);
  EXPECT_EQ(FileBytes("out/nested/b.png"), FileBytes("single.png"));
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
  const struct {
    std::string mask;
    bool same;  // as the gray mask's result
  } cases[] = {{"mask.png", true},
               {"rgba-mask.png:green", true},
               {"rgba-mask.png:1", true},
               {"inverse-mask.png:gray:inverted", true},
               {"inverse-mask.png", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    const std::string out = c.mask == "mask.png" ? "gray.png" : "out.png";
    ASSERT_EQ(
        RunTool(Args("apply sepia SepiaValue=1 --mask @" + c.mask + " @in.png @" + out)).status, 0);
    EXPECT_EQ(FileBytes(out) == FileBytes("gray.png"), c.same);
  }
}

// Effects joined by '+' give the file the same effects give one run after
// the other (PNG keeps every sample, so the files are equal).
TEST_F(ApplyTest, ChainsEqualRunsInTurn) {
  for (const auto& steps :
       {std::vector<std::string>{"brightness BrightnessValue=0.3", "contrast ContrastValue=-0.4"},
        {"sepia SepiaValue=0.7", "invert", "grayscale GrayscaleType=2"}}) {
    for (const std::string form : {"--quiet", "--in-place"}) {
      std::string chain, from = "in.png";
      for (const std::string& step : steps) {
        chain += (chain.empty() ? "" : " + ") + step;
        const std::string to = "step" + std::to_string(chain.size()) + ".png";
        ASSERT_EQ(RunTool(Args("apply " + form + " " + step + " @" + from + " @" + to)).status, 0);
        from = to;
      }
      SCOPED_TRACE(chain + " " + form);
      ASSERT_EQ(RunTool(Args("apply " + form + " " + chain + " @in.png @chain.png")).status, 0);
      EXPECT_EQ(FileBytes("chain.png"), FileBytes(from));
    }
  }
}

// A replaced output keeps its mode; a link as output is written through.
TEST_F(ApplyTest, ReplacedOutputsKeepModeAndLinks) {
  ASSERT_EQ(RunTool({"apply", "invert", Path("in.png"), Path("plain.png")}).status, 0);
  Write("target.png", fill_);
  ASSERT_EQ(chmod(Path("target.png").c_str(), 0640), 0);
  ASSERT_EQ(symlink("target.png", Path("link.png").c_str()), 0);
  const ToolResult r = RunTool({"apply", "invert", Path("in.png"), Path("link.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st;
  ASSERT_EQ(lstat(Path("link.png").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(Path("target.png").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(FileBytes("target.png"), FileBytes("plain.png"));
  EXPECT_EQ(Entries().size(), 6u);  // in, fill, mask, plain, target, link
}

// --shard K/N deals the sorted inputs out in turn; --skip-existing leaves
// written outputs alone; the progress line counts the files done.
TEST_F(ApplyTest, ShardsSkipsAndProgressInABatch) {
  std::vector<std::string> inputs;
  for (const char* name : {"e", "d", "c", "b", "a"}) {
    inputs.push_back(
        Write(std::string(name) + ".png", PatternImage(3, 2, ColorModel::kGray, 0, 8)));
  }
  auto batch = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"apply", "invert", "--out-dir", Path("out")});
    args.insert(args.end(), inputs.begin(), inputs.end());
    return RunTool(args);
  };
  const std::string o = Path("out/");
  EXPECT_EQ(batch({"--shard", "1/2"}).out, o + "a.png\n" + o + "c.png\n" + o + "e.png\n");
  EXPECT_EQ(batch({"--shard=2/2"}).out, o + "b.png\n" + o + "d.png\n");
  std::ofstream(Path("out/a.png")) << "kept";
  ASSERT_EQ(unlink(Path("out/c.png").c_str()), 0);
  const ToolResult resumed = batch({"--skip-existing"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.out, o + "c.png\n");
  EXPECT_NE(resumed.err.find("4 of 5 files skipped"), std::string::npos) << resumed.err;
  EXPECT_EQ(FileBytes("out/a.png"), "kept");
  const ToolResult shown = batch({"--progress", "--shard", "2/2"});
  EXPECT_NE(shown.err.find("0/2 files done, b.png ["), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find("1/2 files done, d.png ["), std::string::npos) << shown.err;
}

}  // namespace
}  // namespace lumeno::clitest

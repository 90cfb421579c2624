// BrightnessContrastEffectRaw through the host, as a script uses it.
#include <cstdint>
#include <limits>
#include <vector>

#include "support/plugin_fixture.h"
#include "tone/tone_harness.h"

namespace {

using lumeno::host::Object;
using lumeno::host::Ref;
using namespace tone_test;

constexpr const char* kApplyValues =
    "Apply(source as RawBitmap,brightnessValue as Single, contrastValue as Single) as RawBitmap";
constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyInPlace =
    "ApplyInPlace(source as RawBitmap, brightnessValue as Single, contrastValue as Single)";
constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
constexpr const char* kApplyInPlaceAsync =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

class BrightnessContrastTest : public lumeno::testing::PluginTest {
 protected:
  Ref NewEffect() {
    Ref effect(host(), host().New("BrightnessContrastEffectRaw"));
    EXPECT_TRUE(effect);
    return effect;
  }
  int64_t ErrorCode(const Ref& effect) { return host().GetInteger(effect.get(), "ErrorCode"); }
  Object Apply(const Ref& effect, Object source, float brightness, float contrast) {
    return host().Call<Object>(effect.get(), kApplyValues, source, brightness, contrast);
  }
  RawBitmap& Record(const Ref& bitmap) { return *lumeno::host::BitmapRecord(host(), bitmap.get()); }

  ToneRunner Runner(float brightness, float contrast) {
    const double factor = tone_ref::ContrastFactor(contrast);
    return {[this, brightness, contrast](Object fx, Object src) {
              return host().Call<Object>(fx, kApplyValues, src, brightness, contrast);
            },
            [this, brightness, contrast](Object fx, Object src) {
              host().Call<void>(fx, kApplyInPlace, src, brightness, contrast);
            },
            [factor, brightness](uint32_t o, int bits) {
              return tone_ref::BrightnessContrastSample(
                  factor, tone_ref::BrightnessLevel(brightness, bits), o, bits);
            }};
  }
};

// One RGBA pixel whose three colour samples hold `in`; alpha holds a marker.
Ref OnePixel(lumeno::host::Host& host, int bits, uint32_t in, uint32_t alpha) {
  Ref bitmap(host, lumeno::host::CreateBitmap(
                       host, 1, 1, bits == 16 ? lumeno::host::kRGBA16 : lumeno::host::kRGBA8));
  RawBitmap& r = *lumeno::host::BitmapRecord(host, bitmap.get());
  const int shift = bits == 16 ? 1 : 0;
  SetSample(r, 0, 0, r.redOffset >> shift, in);
  SetSample(r, 0, 0, r.greenOffset >> shift, in);
  SetSample(r, 0, 0, r.blueOffset >> shift, in);
  SetSample(r, 0, 0, r.alphaOffset >> shift, alpha);
  return bitmap;
}

struct SampleCase {
  float brightness;
  float contrast;
  int bits;
  uint32_t in;
  uint32_t out;
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST_F(BrightnessContrastTest, StatedSampleValues) {
  const SampleCase cases[] = {
      {0.0f, 0.0f, 8, 0, 0},
      {0.0f, 0.0f, 8, 77, 77},
      {0.0f, 0.0f, 8, 255, 255},
      {0.0f, 0.0f, 16, 12345, 12345},
      {0.0f, -1.0f, 8, 3, 128},
      {0.0f, -1.0f, 8, 250, 128},
      {0.0f, -1.0f, 16, 60000, 32768},
      {0.0f, 0.5f, 8, 200, 255},  // y = 290
      {0.0f, 0.5f, 8, 100, 65},
      {0.0f, 0.5f, 8, 128, 128},
      {0.1f, 0.5f, 8, 100, 90},        // level 25 after the stretch
      {0.0f, 0.1f, 16, 30000, 29418},  // factor 1.2100000000000002
      {1.0f, -1.0f, 8, 17, 255},       // 128 + 255, limited
      {-1.0f, -1.0f, 8, 17, 0},        // 128 - 255, limited
      {0.0f, kNaN, 8, 200, 0},         // NaN stretch gives 0
      {kNaN, 0.5f, 8, 129, 130},       // NaN brightness is level 0
      {-0.5f, 0.0f, 8, 100, 0},        // level -127
      {-0.5f, 0.0f, 8, 200, 73},
      {-0.5f, 0.0f, 16, 40000, 7233},             // level -32767
      {0.003f, 0.0f, 16, 1000, 1196},             // level 196
      {0.003f, 0.0f, 8, 1000 % 256, 1000 % 256},  // level 0 at 8 bits
      {0.0f, 1.0f, 8, 100, 16},
  };
  Ref effect = NewEffect();
  for (const SampleCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "b " << c.brightness << " c " << c.contrast << " at "
                                      << c.bits << " bits, " << c.in);
    const uint32_t alpha = c.bits == 16 ? 999 : 55;
    Ref source = OnePixel(host(), c.bits, c.in, alpha);
    Ref result(host(), Apply(effect, source.get(), c.brightness, c.contrast));
    ASSERT_TRUE(result);
    EXPECT_EQ(ErrorCode(effect), 0);
    const RawBitmap& r = Record(result);
    const int shift = c.bits == 16 ? 1 : 0;
    EXPECT_EQ(GetSample(r, 0, 0, r.redOffset >> shift), c.out);
    EXPECT_EQ(GetSample(r, 0, 0, r.greenOffset >> shift), c.out);
    EXPECT_EQ(GetSample(r, 0, 0, r.blueOffset >> shift), c.out);
    EXPECT_EQ(GetSample(r, 0, 0, r.alphaOffset >> shift), alpha);
  }
}

TEST_F(BrightnessContrastTest, MaskedSixteenBitBlend) {
  // Column 0: mask 0 (full effect); column 1: the mask's own 16-bit answer.
  Ref effect = NewEffect();
  Ref source(host(), lumeno::host::CreateBitmap(host(), 2, 1, lumeno::host::kRGB16));
  RawBitmap& r = Record(source);
  for (int x = 0; x < 2; ++x) {
    for (int i = 0; i < 3; ++i) SetSample(r, x, 0, i, 30000);
  }
  MaskPair mask = RandomMask(host(), 2, 1, 5);
  const std::vector<uint32_t> m = MaskValues(host(), mask.mask.get(), 2, 1, 16);
  host().SetProperty(effect.get(), "Mask", mask.mask.get());
  Ref result(host(), Apply(effect, source.get(), 0.0f, 0.1f));
  ASSERT_TRUE(result);
  EXPECT_EQ(GetSample(Record(result), 0, 0, 0), 29418u);
  const uint64_t mixed = (30000ull * m[1] + 29418ull * (65535 - m[1])) >> 16;
  EXPECT_EQ(GetSample(Record(result), 1, 0, 0), m[1] == 0 ? 29418u : mixed);
  host().SetProperty(effect.get(), "Mask", NoObject());
}

TEST_F(BrightnessContrastTest, RandomImagesMatchReferenceInEveryFormat) {
  Ref effect = NewEffect();
  const std::pair<float, float> values[] = {{0.2f, 0.37f}, {-0.6f, -0.4f}, {1.0f, 1.0f}};
  for (auto [brightness, contrast] : values) {
    SCOPED_TRACE(::testing::Message() << brightness << ", " << contrast);
    CompareAllFormats(host(), effect.get(), Runner(brightness, contrast), 500);
  }
}

TEST_F(BrightnessContrastTest, ResultsIndependentOfThreadCount) {
  Ref effect = NewEffect();
  CompareThreadCounts(host(), effect.get(), Runner(0.15f, 0.6f), lumeno::host::kBGRA8, 700);
  CompareThreadCounts(host(), effect.get(), Runner(-0.1f, 0.25f), lumeno::host::kRGB16, 800);
}

TEST_F(BrightnessContrastTest, StandardAccessorsAndStoredValues) {
  Ref effect = NewEffect();
  EXPECT_EQ(host().GetSingle(effect.get(), "BrightnessValue"), 0.0f);
  EXPECT_EQ(host().GetSingle(effect.get(), "ContrastValue"), 0.0f);
  host().SetProperty(effect.get(), "BrightnessValue", 0.1f);
  host().SetProperty(effect.get(), "ContrastValue", 0.5f);
  // The fields sit at offsets 0 and 4 of the class's own data.
  auto* data = static_cast<float*>(host().ClassData(effect.get(), "BrightnessContrastEffectRaw"));
  EXPECT_EQ(data[0], 0.1f);
  EXPECT_EQ(data[1], 0.5f);
  Ref source = OnePixel(host(), 8, 100, 1);
  Ref withValues(host(), Apply(effect, source.get(), 0.0f, 0.0f));
  EXPECT_EQ(GetSample(Record(withValues), 0, 0, Record(withValues).redOffset), 100u);
  EXPECT_EQ(host().GetSingle(effect.get(), "BrightnessValue"), 0.1f);
  EXPECT_EQ(host().GetSingle(effect.get(), "ContrastValue"), 0.5f);
  Ref stored(host(), host().Call<Object>(effect.get(), kApplyStored, source.get()));
  ASSERT_TRUE(stored);
  EXPECT_EQ(GetSample(Record(stored), 0, 0, Record(stored).redOffset), 90u);
}

TEST_F(BrightnessContrastTest, SynchronousFormsRefuseEitherValueOutOfRange) {
  struct Case {
    float brightness, contrast;
    bool withSource;
  };
  const Case cases[] = {{1.0000001f, 0.0f, true}, {-1.0000001f, 0.0f, true},
                        {0.0f, 1.0000001f, true}, {0.0f, -1.0000001f, true},
                        {0.0f, 1.5f, true},       {-3.0f, 3.0f, true},
                        {0.0f, 0.0f, false},      {0.5f, -0.5f, false}};
  Ref effect = NewEffect();
  Ref source = OnePixel(host(), 8, 100, 1);
  const std::vector<uint8_t> before = Snapshot(Record(source));
  const size_t live = host().LiveObjects();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.brightness << ", " << c.contrast << (c.withSource ? "" : ", no source"));
    Object src = c.withSource ? source.get() : nullptr;
    EXPECT_EQ(Apply(effect, src, c.brightness, c.contrast), nullptr);
    EXPECT_EQ(ErrorCode(effect), 4);
    host().Call<void>(effect.get(), kApplyInPlace, src, c.brightness, c.contrast);
    EXPECT_EQ(ErrorCode(effect), 4);
    host().SetProperty(effect.get(), "BrightnessValue", c.brightness);
    host().SetProperty(effect.get(), "ContrastValue", c.contrast);
    EXPECT_EQ(host().Call<Object>(effect.get(), kApplyStored, src), nullptr);
    EXPECT_EQ(ErrorCode(effect), 4);
    EXPECT_EQ(host().LiveObjects(), live);
    EXPECT_EQ(Snapshot(Record(source)), before);
  }
  for (float b : {-1.0f, 1.0f}) {
    for (float c : {-1.0f, 1.0f}) {
      Ref ok(host(), Apply(effect, source.get(), b, c));
      EXPECT_TRUE(ok);
      EXPECT_EQ(ErrorCode(effect), 0);
    }
  }
}

TEST_F(BrightnessContrastTest, AsynchronousFormsTestOnlyBrightnessAndSource) {
  Ref effect = NewEffect();
  Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
  const size_t live = host().LiveObjects();
  Completions() = {};
  // Refused: brightness out of range, or no source.
  for (const char* method : {kApplyAsync, kApplyInPlaceAsync}) {
    SCOPED_TRACE(method);
    Ref source = OnePixel(host(), 8, 100, 1);
    for (float brightness : {1.0000001f, -1.0000001f}) {
      host().SetProperty(effect.get(), "BrightnessValue", brightness);
      host().Call<void>(effect.get(), method, source.get(), target.get(), CompletionMethod());
      EXPECT_EQ(ErrorCode(effect), 4);
      EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
    }
    host().SetProperty(effect.get(), "BrightnessValue", 0.0f);
    host().Call<void>(effect.get(), method, static_cast<Object>(nullptr), target.get(),
                      CompletionMethod());
    EXPECT_EQ(ErrorCode(effect), 4);
    EXPECT_EQ(host().LiveObjects(), live + 1);
  }
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);

  // A contrast value of 1.5 runs with factor ((150 + 100) / 100)^2 = 6.25,
  // while the parameterless Apply refuses it.
  host().SetProperty(effect.get(), "BrightnessValue", 0.0f);
  host().SetProperty(effect.get(), "ContrastValue", 1.5f);
  for (const char* method : {kApplyAsync, kApplyInPlaceAsync}) {
    SCOPED_TRACE(method);
    Ref source(host(), lumeno::host::CreateBitmap(host(), 3, 1, lumeno::host::kRGB8));
    RawBitmap& r = Record(source);
    const uint32_t inputs[] = {130, 100, 160};
    const uint32_t outputs[] = {140, 0, 255};  // 140.5, -47, 328 before the limits
    for (int x = 0; x < 3; ++x) {
      for (int i = 0; i < 3; ++i) SetSample(r, x, 0, i, inputs[x]);
    }
    EXPECT_EQ(host().Call<Object>(effect.get(), kApplyStored, source.get()), nullptr);
    EXPECT_EQ(ErrorCode(effect), 4);
    Completions() = {};
    host().Call<void>(effect.get(), method, source.get(), target.get(), CompletionMethod());
    EXPECT_EQ(ErrorCode(effect), 0);
    ASSERT_TRUE(host().RunLoop([] { return Completions().calls > 0; }, 20.0));
    Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
    ASSERT_TRUE(result);
    for (int x = 0; x < 3; ++x) EXPECT_EQ(GetSample(Record(result), x, 0, 1), outputs[x]);
  }
}

TEST_F(BrightnessContrastTest, FourColourAndOddDepthRefused) {
  Ref effect = NewEffect();
  Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
  struct Case {
    int64_t format;
    uint8_t depth;  // 0: keep the format's own
    int64_t code;
  };
  const Case cases[] = {{lumeno::host::kCMYK8, 0, 5},
                        {lumeno::host::kCMYKA16, 0, 5},
                        {lumeno::host::kRGBA8, 4, 6},
                        {lumeno::host::kRGB16, 32, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << " depth " << int(c.depth));
    Ref source = RandomBitmap(host(), 5, 4, c.format, 9);
    RawBitmap& r = Record(source);
    const uint8_t ownDepth = r.bitsPerChannel;
    if (c.depth != 0) r.bitsPerChannel = c.depth;
    const std::vector<uint8_t> before = Snapshot(r);
    const size_t live = host().LiveObjects();
    EXPECT_EQ(Apply(effect, source.get(), 0.1f, 0.5f), nullptr);
    EXPECT_EQ(ErrorCode(effect), c.code);
    host().Call<void>(effect.get(), kApplyInPlace, source.get(), 0.1f, 0.5f);
    EXPECT_EQ(ErrorCode(effect), c.code);
    host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
    EXPECT_EQ(ErrorCode(effect), c.code);
    host().Call<void>(effect.get(), kApplyInPlaceAsync, source.get(), target.get(),
                      CompletionMethod());
    EXPECT_EQ(ErrorCode(effect), c.code);
    EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
    EXPECT_EQ(host().LiveObjects(), live);
    EXPECT_EQ(Snapshot(r), before);
    r.bitsPerChannel = ownDepth;
  }
}

TEST_F(BrightnessContrastTest, AsynchronousRunsMatchReferenceAndCancel) {
  Ref effect = NewEffect();
  Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
  host().SetProperty(effect.get(), "BrightnessValue", -0.2f);
  host().SetProperty(effect.get(), "ContrastValue", 0.3f);
  const double factor = tone_ref::ContrastFactor(0.3f);
  for (bool masked : {false, true}) {
    SCOPED_TRACE(masked ? "masked" : "plain");
    Ref source = RandomBitmap(host(), 33, 70, lumeno::host::kRGBA16, 21);
    RawBitmap& r = Record(source);
    MaskPair mask;
    std::vector<uint32_t> m;
    if (masked) {
      mask = RandomMask(host(), 33, 70, 22);
      m = MaskValues(host(), mask.mask.get(), 33, 70, 16);
      host().SetProperty(effect.get(), "Mask", mask.mask.get());
    }
    const int32_t level = tone_ref::BrightnessLevel(-0.2f, 16);
    const std::vector<uint8_t> expected = tone_ref::ApplyPerSample(
        r, Snapshot(r), masked ? &m : nullptr,
        [&](uint32_t o) { return tone_ref::BrightnessContrastSample(factor, level, o, 16); });
    host().SetProperty(effect.get(), "MultiprocessingHint", int64_t{masked ? 5 : 0});
    Completions() = {};
    host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
    ASSERT_TRUE(host().RunLoop([] { return Completions().calls > 0; }, 20.0));
    Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
    ASSERT_TRUE(result);
    EXPECT_EQ(Snapshot(Record(result)), expected);
    host().SetProperty(effect.get(), "Mask", NoObject());
  }
  // Cancelled right after the start: no completion call, Canceled reads true.
  Ref big = RandomBitmap(host(), 700, 700, lumeno::host::kRGBA8, 23);
  Completions() = {};
  host().Call<void>(effect.get(), kApplyInPlaceAsync, big.get(), target.get(), CompletionMethod());
  host().Call<void>(effect.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
  EXPECT_TRUE(host().GetBoolean(effect.get(), "Canceled"));
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
}

TEST_F(BrightnessContrastTest, ClassAsTheHostSeesIt) {
  const lumeno::host::ClassInfo* info = host().FindClass("BrightnessContrastEffectRaw");
  ASSERT_NE(info, nullptr);
  const ZARKclassDefinition& d = *info->definition;
  EXPECT_STREQ(d.superName, "MPImageFilterRaw");
  EXPECT_EQ(d.dataSize, 16);
  EXPECT_STREQ(d.interfaces, "IRawBitmapProcessor, IRawBitmapProcessorAsync");
  ASSERT_EQ(d.propertyCount, 3);
  EXPECT_STREQ(d.properties[0].name, "Mask");
  EXPECT_STREQ(d.properties[0].type, "RawBitmapMask");
  EXPECT_NE(d.properties[0].getter, ZARK_STANDARD_ACCESSOR);
  const char* names[] = {"BrightnessValue", "ContrastValue"};
  for (int i = 1; i < 3; ++i) {
    EXPECT_STREQ(d.properties[i].name, names[i - 1]);
    EXPECT_STREQ(d.properties[i].type, "Single");
    EXPECT_EQ(d.properties[i].getter, ZARK_STANDARD_ACCESSOR);
    EXPECT_EQ(d.properties[i].setter, ZARK_STANDARD_ACCESSOR);
    EXPECT_EQ(d.properties[i].parameter, 4 * (i - 1));
    EXPECT_EQ(d.properties[i].flags, 4);
  }
  const char* declarations[] = {kApplyValues, kApplyStored, kApplyInPlace, kApplyAsync,
                                kApplyInPlaceAsync};
  ASSERT_EQ(d.methodCount, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(d.methods[i].declaration, declarations[i]);
    EXPECT_EQ(d.methods[i].flags, 4);
  }
}

}  // namespace

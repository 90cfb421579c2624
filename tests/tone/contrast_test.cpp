// ContrastEffectRaw through the host, as a script uses it.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/plugin_fixture.h"
#include "tone/tone_harness.h"

namespace {

using lumeno::host::Object;
using lumeno::host::Ref;
using namespace tone_test;

constexpr const char* kApplyValue = "Apply(source as RawBitmap,value as Single) as RawBitmap";
constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyInPlace = "ApplyInPlace(source as RawBitmap, value as Single)";
constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
constexpr const char* kApplyInPlaceAsync =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

class ContrastTest : public lumeno::testing::PluginTest {
 protected:
  Ref NewEffect() {
    Ref effect(host(), host().New("ContrastEffectRaw"));
    EXPECT_TRUE(effect);
    return effect;
  }
  int64_t ErrorCode(const Ref& effect) { return host().GetInteger(effect.get(), "ErrorCode"); }
  Object Apply(const Ref& effect, Object source, float value) {
    return host().Call<Object>(effect.get(), kApplyValue, source, value);
  }
  RawBitmap& Record(const Ref& bitmap) { return *lumeno::host::BitmapRecord(host(), bitmap.get()); }

  ToneRunner Runner(float value) {
    const double factor = tone_ref::ContrastFactor(value);
    return {
        [this, value](Object fx, Object src) {
          return host().Call<Object>(fx, kApplyValue, src, value);
        },
        [this, value](Object fx, Object src) { host().Call<void>(fx, kApplyInPlace, src, value); },
        [factor](uint32_t o, int bits) { return tone_ref::ContrastSample(factor, o, bits); }};
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
  float value;
  int bits;
  uint32_t in;
  uint32_t out;
};

TEST_F(ContrastTest, StatedSampleValues) {
  const SampleCase cases[] = {
      {0.5f, 8, 129, 130},  // 130.25 truncated
      {0.5f, 8, 127, 125},  // 125.75 truncated, not rounded
      {0.5f, 8, 200, 255},  // 290 limited
      {0.5f, 8, 10, 0},     // -137.5 limited
      {1.0f, 8, 100, 16},        {1.0f, 8, 160, 255},
      {1.0f, 8, 0, 0},           {1.0f, 8, 128, 128},
      {-1.0f, 8, 0, 128},        {-1.0f, 8, 255, 128},
      {0.0f, 8, 0, 0},           {0.0f, 8, 77, 77},
      {0.0f, 8, 255, 255},       {-1.0f, 16, 0, 32768},
      {-1.0f, 16, 65535, 32768}, {0.0f, 16, 12345, 12345},
      {0.0f, 16, 65535, 65535},  {1.0f, 16, 40000, 61696},
      {0.5f, 16, 33000, 33290},  // 33290 exactly: 2.25 * 232
      {-0.5f, 8, 200, 146},      // factor 0.25: 72 * 0.25 + 128
  };
  Ref effect = NewEffect();
  for (const SampleCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.value << " at " << c.bits << " bits, " << c.in);
    const uint32_t alpha = c.bits == 16 ? 4321 : 77;
    Ref source = OnePixel(host(), c.bits, c.in, alpha);
    Ref result(host(), Apply(effect, source.get(), c.value));
    ASSERT_TRUE(result);
    const RawBitmap& r = Record(result);
    const int shift = c.bits == 16 ? 1 : 0;
    EXPECT_EQ(GetSample(r, 0, 0, r.redOffset >> shift), c.out);
    EXPECT_EQ(GetSample(r, 0, 0, r.greenOffset >> shift), c.out);
    EXPECT_EQ(GetSample(r, 0, 0, r.blueOffset >> shift), c.out);
    EXPECT_EQ(GetSample(r, 0, 0, r.alphaOffset >> shift), alpha);
  }
}

TEST_F(ContrastTest, MaskEndsMixBackTheSource) {
  // Column 0 has mask value 0 (full effect), column 1 has 255.
  Ref effect = NewEffect();
  Ref source(host(), lumeno::host::CreateBitmap(host(), 2, 1, lumeno::host::kRGB8));
  RawBitmap& r = Record(source);
  for (int x = 0; x < 2; ++x) {
    for (int i = 0; i < 3; ++i) SetSample(r, x, 0, i, 129);
  }
  MaskPair mask = RandomMask(host(), 2, 1, 5);
  host().SetProperty(effect.get(), "Mask", mask.mask.get());
  Ref result(host(), Apply(effect, source.get(), 0.5f));
  ASSERT_TRUE(result);
  EXPECT_EQ(GetSample(Record(result), 0, 0, 0), 130u);
  EXPECT_EQ(GetSample(Record(result), 1, 0, 0), 128u);  // (129 * 255) >> 8
  host().SetProperty(effect.get(), "Mask", NoObject());
}

TEST_F(ContrastTest, NaNPassesAndZeroesColour) {
  Ref effect = NewEffect();
  Ref source = OnePixel(host(), 8, 200, 90);
  Ref result(host(), Apply(effect, source.get(), std::numeric_limits<float>::quiet_NaN()));
  ASSERT_TRUE(result);
  EXPECT_EQ(ErrorCode(effect), 0);
  const RawBitmap& r = Record(result);
  EXPECT_EQ(GetSample(r, 0, 0, r.redOffset), 0u);
  EXPECT_EQ(GetSample(r, 0, 0, r.alphaOffset), 90u);
}

TEST_F(ContrastTest, RandomImagesMatchReferenceInEveryFormat) {
  Ref effect = NewEffect();
  for (float value : {0.37f, -0.81f, 1.0f}) {
    SCOPED_TRACE(value);
    CompareAllFormats(host(), effect.get(), Runner(value), 100);
  }
}

TEST_F(ContrastTest, ResultsIndependentOfThreadCount) {
  Ref effect = NewEffect();
  CompareThreadCounts(host(), effect.get(), Runner(0.6f), lumeno::host::kRGBA8, 300);
  CompareThreadCounts(host(), effect.get(), Runner(-0.3f), lumeno::host::kRGBA16, 400);
}

TEST_F(ContrastTest, StoredValueUsedOnlyByParameterlessForms) {
  Ref effect = NewEffect();
  EXPECT_EQ(host().GetSingle(effect.get(), "ContrastValue"), 0.0f);
  host().SetProperty(effect.get(), "ContrastValue", 0.5f);
  Ref source = OnePixel(host(), 8, 129, 1);
  Ref withValue(host(), Apply(effect, source.get(), 1.0f));
  EXPECT_EQ(host().GetSingle(effect.get(), "ContrastValue"), 0.5f);
  EXPECT_EQ(GetSample(Record(withValue), 0, 0, Record(withValue).redOffset), 132u);  // 4 * 1 + 128
  Ref stored(host(), host().Call<Object>(effect.get(), kApplyStored, source.get()));
  ASSERT_TRUE(stored);
  EXPECT_EQ(GetSample(Record(stored), 0, 0, Record(stored).redOffset), 130u);
  // Stored without a check; refused when a run uses it.
  host().SetProperty(effect.get(), "ContrastValue", 5.0f);
  EXPECT_EQ(host().GetSingle(effect.get(), "ContrastValue"), 5.0f);
  EXPECT_EQ(host().Call<Object>(effect.get(), kApplyStored, source.get()), nullptr);
  EXPECT_EQ(ErrorCode(effect), 4);
}

TEST_F(ContrastTest, IllegalValuesAndMissingSourceRefusedByEveryMethod) {
  const float refused[] = {1.0000001f,
                           -1.0000001f,
                           2.0f,
                           -7.0f,
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity()};
  Ref effect = NewEffect();
  Ref source = OnePixel(host(), 8, 100, 1);
  const std::vector<uint8_t> before = Snapshot(Record(source));
  Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
  Completions() = {};
  const size_t live = host().LiveObjects();
  auto expectRefused = [&](const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(ErrorCode(effect), 4);
    EXPECT_EQ(host().LiveObjects(), live);
    EXPECT_EQ(Snapshot(Record(source)), before);
    EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
    host().SetProperty(effect.get(), "ContrastValue", 0.0f);
    Ref ok(host(), Apply(effect, source.get(), 0.0f));  // resets ErrorCode to 0
    EXPECT_EQ(ErrorCode(effect), 0);
  };
  for (float value : refused) {
    SCOPED_TRACE(value);
    EXPECT_EQ(Apply(effect, source.get(), value), nullptr);
    expectRefused("Apply with value");
    host().Call<void>(effect.get(), kApplyInPlace, source.get(), value);
    expectRefused("ApplyInPlace");
    host().SetProperty(effect.get(), "ContrastValue", value);
    EXPECT_EQ(host().Call<Object>(effect.get(), kApplyStored, source.get()), nullptr);
    expectRefused("Apply stored");
    host().SetProperty(effect.get(), "ContrastValue", value);
    host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
    expectRefused("ApplyAsync");
    host().SetProperty(effect.get(), "ContrastValue", value);
    host().Call<void>(effect.get(), kApplyInPlaceAsync, source.get(), target.get(),
                      CompletionMethod());
    expectRefused("ApplyInPlaceAsync");
  }
  Object none = nullptr;
  EXPECT_EQ(Apply(effect, none, 0.0f), nullptr);
  expectRefused("no source");
  host().Call<void>(effect.get(), kApplyInPlace, none, 0.0f);
  expectRefused("no source in place");
  host().Call<void>(effect.get(), kApplyAsync, none, target.get(), CompletionMethod());
  expectRefused("no source async");
  host().Call<void>(effect.get(), kApplyInPlaceAsync, none, target.get(), CompletionMethod());
  expectRefused("no source in place async");
  // The bounds themselves are accepted.
  for (float value : {-1.0f, 1.0f}) {
    Ref ok(host(), Apply(effect, source.get(), value));
    EXPECT_TRUE(ok);
    EXPECT_EQ(ErrorCode(effect), 0);
  }
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
}

TEST_F(ContrastTest, FourColourAndOddDepthRefused) {
  Ref effect = NewEffect();
  Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
  struct Case {
    int64_t format;
    uint8_t depth;  // 0: keep the format's own
    int64_t code;
  };
  const Case cases[] = {{lumeno::host::kCMYK8, 0, 5},  {lumeno::host::kCMYKA8, 0, 5},
                        {lumeno::host::kCMYK16, 0, 5}, {lumeno::host::kCMYKA16, 0, 5},
                        {lumeno::host::kRGB8, 12, 6},  {lumeno::host::kRGBA16, 32, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << " depth " << int(c.depth));
    Ref source = RandomBitmap(host(), 5, 4, c.format, 9);
    RawBitmap& r = Record(source);
    const uint8_t ownDepth = r.bitsPerChannel;
    if (c.depth != 0) r.bitsPerChannel = c.depth;
    const std::vector<uint8_t> before = Snapshot(r);
    const size_t live = host().LiveObjects();
    EXPECT_EQ(Apply(effect, source.get(), 0.5f), nullptr);
    EXPECT_EQ(ErrorCode(effect), c.code);
    host().Call<void>(effect.get(), kApplyInPlace, source.get(), 0.5f);
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

TEST_F(ContrastTest, AsynchronousRunsCompleteWithReferenceResult) {
  Ref effect = NewEffect();
  Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
  const float value = 0.45f;
  host().SetProperty(effect.get(), "ContrastValue", value);
  const double factor = tone_ref::ContrastFactor(value);
  for (bool inPlace : {false, true}) {
    for (int64_t format : {lumeno::host::kRGBA8, lumeno::host::kRGB16}) {
      SCOPED_TRACE(::testing::Message() << "format " << format << (inPlace ? " in place" : ""));
      Ref source = RandomBitmap(host(), 40, 50, format, 77);
      RawBitmap& r = Record(source);
      const std::vector<uint8_t> expected = tone_ref::ApplyPerSample(
          r, Snapshot(r), nullptr,
          [&](uint32_t o) { return tone_ref::ContrastSample(factor, o, r.bitsPerChannel); });
      Completions() = {};
      host().Call<void>(effect.get(), inPlace ? kApplyInPlaceAsync : kApplyAsync, source.get(),
                        target.get(), CompletionMethod());
      EXPECT_EQ(ErrorCode(effect), 0);
      EXPECT_FALSE(host().GetBoolean(effect.get(), "AsyncCompleted"));
      // A second start while running is refused and leaves the run alone.
      host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
      EXPECT_EQ(ErrorCode(effect), 10);
      ASSERT_TRUE(host().RunLoop([] { return Completions().calls > 0; }, 20.0));
      EXPECT_EQ(Completions().calls, 1);
      EXPECT_EQ(Completions().target, target.get());
      EXPECT_EQ(Completions().filter, effect.get());
      EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
      EXPECT_FALSE(host().GetBoolean(effect.get(), "Canceled"));
      Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
      ASSERT_TRUE(result);
      if (inPlace) {
        EXPECT_EQ(result.get(), source.get());
      }
      EXPECT_EQ(Snapshot(Record(result)), expected);
    }
  }
}

TEST_F(ContrastTest, CancelledAsynchronousRunMakesNoCompletionCall) {
  Ref effect = NewEffect();
  Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
  host().SetProperty(effect.get(), "ContrastValue", 0.2f);
  Ref source = RandomBitmap(host(), 800, 600, lumeno::host::kRGBA8, 3);
  Completions() = {};
  host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
  host().Call<void>(effect.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
  EXPECT_TRUE(host().GetBoolean(effect.get(), "Canceled"));
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
  Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
  EXPECT_TRUE(result);
}

TEST_F(ContrastTest, DestroyingTheEffectEndsItsRun) {
  Ref source = RandomBitmap(host(), 800, 600, lumeno::host::kRGBA16, 4);
  Completions() = {};
  {
    Ref effect = NewEffect();
    host().Call<void>(effect.get(), kApplyInPlaceAsync, source.get(), static_cast<Object>(nullptr),
                      static_cast<void*>(nullptr));
    host().Call<void>(effect.get(), "Cancel()");
  }
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
}

TEST_F(ContrastTest, ProgressHandlerSeesTheWholeImage) {
  Ref effect = NewEffect();
  Ref handler = NewProgressHandler(host(), false);
  host().SetProperty(effect.get(), "ProgressHandler", handler.get());
  Ref source = RandomBitmap(host(), 10, 250, lumeno::host::kRGB8, 8);
  Ref result(host(), Apply(effect, source.get(), 0.3f));
  EXPECT_TRUE(result);
  EXPECT_GE(Progress().calls.load(), 1);
  EXPECT_EQ(Progress().lastValue.load(), 250u);
  EXPECT_EQ(Progress().lastTotal.load(), 250u);
  host().SetProperty(effect.get(), "ProgressHandler", NoObject());
}

TEST_F(ContrastTest, ClassAsTheHostSeesIt) {
  const lumeno::host::ClassInfo* info = host().FindClass("ContrastEffectRaw");
  ASSERT_NE(info, nullptr);
  const ZARKclassDefinition& d = *info->definition;
  EXPECT_STREQ(d.superName, "MPImageFilterRaw");
  EXPECT_EQ(d.dataSize, 16);
  EXPECT_STREQ(d.interfaces, "IRawBitmapProcessor, IRawBitmapProcessorAsync");
  ASSERT_EQ(d.propertyCount, 2);
  EXPECT_STREQ(d.properties[0].name, "Mask");
  EXPECT_STREQ(d.properties[0].type, "RawBitmapMask");
  EXPECT_STREQ(d.properties[1].name, "ContrastValue");
  EXPECT_STREQ(d.properties[1].type, "Single");
  const char* declarations[] = {kApplyValue, kApplyStored, kApplyInPlace, kApplyAsync,
                                kApplyInPlaceAsync};
  ASSERT_EQ(d.methodCount, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(d.methods[i].declaration, declarations[i]);
    EXPECT_EQ(d.methods[i].flags, 4);
  }
  EXPECT_EQ(d.properties[0].flags, 4);
  EXPECT_EQ(d.constantCount, 0);
  EXPECT_EQ(d.enumCount, 0);
}

TEST_F(ContrastTest, MaskPropertyHoldsItsObject) {
  Ref effect = NewEffect();
  MaskPair mask = RandomMask(host(), 4, 4, 1);
  const int64_t before = host().RefCount(mask.mask.get());
  host().SetProperty(effect.get(), "Mask", mask.mask.get());
  EXPECT_EQ(host().RefCount(mask.mask.get()), before + 1);
  {
    Ref read(host(), host().GetObject(effect.get(), "Mask"));
    EXPECT_EQ(read.get(), mask.mask.get());
  }
  // Destroying the effect drops its hold (the fixture catches a leak).
}

// A host whose bitmap instances cannot be created, with a plug-in copy whose
// entry caches start empty.
class ContrastNoBitmapsTest : public lumeno::testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string error;
    ASSERT_TRUE(host().LoadPlugin(LUMENO_PLUGIN_PATH, &error, true)) << error;
  }
};

TEST_F(ContrastNoBitmapsTest, DestinationFailureReportsCode3) {
  for (const char* name : {"ContrastEffectRaw", "BrightnessContrastEffectRaw"}) {
    SCOPED_TRACE(name);
    Ref effect(host(), host().New(name));
    ASSERT_TRUE(effect);
    Ref source(host(), lumeno::host::CreateBitmap(host(), 4, 4, lumeno::host::kRGB8));
    Ref target(host(), lumeno::host::CreateBitmap(host(), 1, 1, lumeno::host::kGray8));
    host().HideEntry("CreateInstance");
    const size_t live = host().LiveObjects();
    EXPECT_EQ(host().Call<Object>(effect.get(), kApplyStored, source.get()), nullptr);
    EXPECT_EQ(host().GetInteger(effect.get(), "ErrorCode"), 3);
    Completions() = {};
    host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
    EXPECT_EQ(host().GetInteger(effect.get(), "ErrorCode"), 3);
    EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
    EXPECT_EQ(host().LiveObjects(), live);
    host().ShowEntry("CreateInstance");
    host().PumpTasks();
    EXPECT_EQ(Completions().calls, 0);
  }
}

}  // namespace

// GrayscaleEffectRaw through the host, as a script uses it.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "grayscale/grayscale_reference.h"
#include "support/plugin_fixture.h"
#include "tone/tone_support.h"

namespace {

using lumeno::host::Object;
using lumeno::host::Ref;
using namespace tone_test;
namespace fmt = lumeno::host;

constexpr const char* kApplyMethod =
    "Apply(source as RawBitmap,grayscaleMethod as Integer) as RawBitmap";
constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyInPlace =
    "ApplyInPlace(source as RawBitmap, grayscaleTypeValue as Integer)";
constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
constexpr const char* kApplyInPlaceAsync =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

lumeno::host::Value NoObject() { return lumeno::host::Value(static_cast<Object>(nullptr)); }

class GrayscaleTest : public lumeno::testing::PluginTest {
 protected:
  Ref NewEffect() {
    Ref effect(host(), host().New("GrayscaleEffectRaw"));
    EXPECT_TRUE(effect);
    return effect;
  }
  int64_t ErrorCode(const Ref& effect) { return host().GetInteger(effect.get(), "ErrorCode"); }
  Object Apply(const Ref& effect, Object source, int64_t method) {
    return host().Call<Object>(effect.get(), kApplyMethod, source, method);
  }
  RawBitmap& Record(const Ref& bitmap) { return *fmt::BitmapRecord(host(), bitmap.get()); }
  Ref Target() { return Ref(host(), fmt::CreateBitmap(host(), 1, 1, fmt::kGray8)); }

  // A one-pixel source of the format with the given colour samples.
  Ref Pixel(int64_t format, uint32_t r, uint32_t g, uint32_t b) {
    Ref bitmap(host(), fmt::CreateBitmap(host(), 1, 1, format));
    RawBitmap& rec = Record(bitmap);
    const int shift = rec.bitsPerChannel == 16 ? 1 : 0;
    SetSample(rec, 0, 0, rec.redOffset >> shift, r);
    SetSample(rec, 0, 0, rec.greenOffset >> shift, g);
    SetSample(rec, 0, 0, rec.blueOffset >> shift, b);
    return bitmap;
  }
};

struct GrayCase {
  int64_t method;
  int bits;
  uint32_t r, g, b;
  uint32_t gray;
};

TEST_F(GrayscaleTest, StatedGrayValues) {
  const GrayCase cases[] = {
      {0, 8, 255, 255, 255, 255},
      {0, 8, 128, 128, 128, 127},  // the sum is just below 128
      {0, 8, 1, 1, 1, 0},
      {0, 8, 255, 0, 0, 76},
      {0, 8, 0, 255, 0, 149},
      {0, 8, 0, 0, 255, 29},
      {0, 16, 65535, 65535, 65535, 65534},
      {1, 8, 128, 128, 128, 128},
      {1, 8, 255, 0, 0, 54},
      {1, 8, 0, 255, 0, 182},
      {1, 8, 0, 0, 255, 18},
      {2, 8, 255, 0, 0, 85},
      {2, 8, 10, 20, 30, 20},
      {3, 8, 0, 255, 0, 113},
      {3, 8, 0, 0, 255, 56},
      {3, 8, 10, 20, 30, 18},
      {7, 8, 10, 20, 30, 18},
      {-1, 8, 0, 255, 0, 113},
      {std::numeric_limits<int64_t>::min(), 8, 10, 20, 30, 18},
      {2, 16, 65535, 65535, 65534, 65534},
      {3, 16, 0, 65535, 0, 29126},  // 262140 / 9
  };
  Ref effect = NewEffect();
  for (const GrayCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "method " << c.method << " at " << c.bits << " bits ("
                                      << c.r << ", " << c.g << ", " << c.b << ")");
    Ref source = Pixel(c.bits == 16 ? fmt::kRGB16 : fmt::kRGB8, c.r, c.g, c.b);
    Ref result(host(), Apply(effect, source.get(), c.method));
    ASSERT_TRUE(result);
    const RawBitmap& out = Record(result);
    EXPECT_EQ(out.imageFormat, c.bits == 16 ? fmt::kGray16 : fmt::kGray8);
    EXPECT_EQ(GetSample(out, 0, 0, 0), c.gray);
  }
  EXPECT_EQ(host().GetInteger(effect.get(), "GrayscaleType"), 0);
}

TEST_F(GrayscaleTest, DestinationFormat) {
  struct Case {
    int64_t source;
    bool useOriginal;
    bool masked;
    int64_t expected;
  };
  const Case cases[] = {
      {fmt::kRGB8, false, false, fmt::kGray8},
      {fmt::kBGR8, false, false, fmt::kGray8},
      {fmt::kRGBA8, false, false, fmt::kGrayAlpha8},
      {fmt::kARGB8, false, false, fmt::kGrayAlpha8},
      {fmt::kCMYK8, false, false, fmt::kGrayAlpha8},
      {fmt::kRGB16, false, false, fmt::kGray16},
      {fmt::kRGBA16, false, false, fmt::kGrayAlpha16},
      {fmt::kCMYKA16, false, false, fmt::kGrayAlpha16},
      {fmt::kRGB8, true, false, fmt::kRGB8},
      {fmt::kRGBA16, true, false, fmt::kRGBA16},
      {fmt::kBGRA8, false, true, fmt::kBGRA8},
      {fmt::kRGB16, false, true, fmt::kRGB16},
      {fmt::kCMYK8, true, true, fmt::kCMYK8},
  };
  Ref effect = NewEffect();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "source format " << c.source);
    Ref source = RandomBitmap(host(), 6, 5, c.source, 3);
    Record(source).metadata1 = 0x1122334455667788ull;
    Record(source).metadata2 = 42;
    MaskPair mask;
    if (c.masked) {
      mask = RandomMask(host(), 6, 5, 4);
      host().SetProperty(effect.get(), "Mask", mask.mask.get());
    }
    host().SetProperty(effect.get(), "UseOriginalColorSpace", c.useOriginal);
    Ref result(host(), Apply(effect, source.get(), 0));
    ASSERT_TRUE(result);
    EXPECT_EQ(Record(result).imageFormat, c.expected);
    EXPECT_EQ(Record(result).metadata1, 0x1122334455667788ull);
    EXPECT_EQ(Record(result).metadata2, 42u);
    host().SetProperty(effect.get(), "Mask", NoObject());
  }
}

// How one run is made.
enum class Mode { kGray, kSameFormat, kMaskedNew, kInPlace, kMaskedInPlace };

struct RunCase {
  int64_t format;
  Mode mode;
  int64_t method;
};

// Runs the effect once on a random source and compares the destination's
// whole memory (padding and slack included) with the reference.
void CompareRun(lumeno::host::Host& host, Object effect, const RunCase& run, uint32_t seed,
                int64_t width = 19, int64_t height = 33) {
  SCOPED_TRACE(::testing::Message() << "format " << run.format << " mode "
                                    << static_cast<int>(run.mode) << " method " << run.method);
  Ref source = RandomBitmap(host, width, height, run.format, seed);
  ASSERT_TRUE(source);
  RawBitmap& rec = *fmt::BitmapRecord(host, source.get());
  const bool masked = run.mode == Mode::kMaskedNew || run.mode == Mode::kMaskedInPlace;
  const bool inPlace = run.mode == Mode::kInPlace || run.mode == Mode::kMaskedInPlace;
  MaskPair mask;
  std::vector<uint32_t> maskValues;
  if (masked) {
    mask = RandomMask(host, width, height, seed + 7);
    host.SetProperty(effect, "Mask", mask.mask.get());
    maskValues = MaskValues(host, mask.mask.get(), width, height, rec.bitsPerChannel);
  } else {
    host.SetProperty(effect, "Mask", NoObject());
  }
  host.SetProperty(effect, "UseOriginalColorSpace", run.mode == Mode::kSameFormat);
  const std::vector<uint8_t> sourceRaw = RawMemory(rec);
  const std::vector<uint32_t>* m = masked ? &maskValues : nullptr;
  if (inPlace) {
    host.Call<void>(effect, kApplyInPlace, source.get(), run.method);
    std::vector<uint8_t> expected = sourceRaw;
    gray_ref::Run(rec, sourceRaw,
                  {rec.rowBytes, rec.bytesPerPixel, rec.redOffset, rec.greenOffset, rec.blueOffset,
                   rec.alphaOffset},
                  expected, run.method, m);
    EXPECT_EQ(RawMemory(rec), expected);
    return;
  }
  Ref result(host, host.Call<Object>(effect, kApplyMethod, source.get(), run.method));
  ASSERT_TRUE(result);
  EXPECT_EQ(RawMemory(rec), sourceRaw) << "the source changed";
  const RawBitmap& out = *fmt::BitmapRecord(host, result.get());
  gray_ref::Target target{out.rowBytes,    out.bytesPerPixel, rec.redOffset,
                          rec.greenOffset, rec.blueOffset,    out.alphaOffset};
  if (run.mode == Mode::kGray) {
    // Every colour channel lands where the source keeps red.
    target.greenAt = rec.redOffset;
    target.blueAt = rec.redOffset;
  }
  std::vector<uint8_t> expected(RawMemory(out).size(), 0);  // new bitmaps start zeroed
  gray_ref::Run(rec, sourceRaw, target, expected, run.method, m);
  EXPECT_EQ(RawMemory(out), expected);
}

TEST_F(GrayscaleTest, FreshBitmapsStartZeroed) {
  // The comparisons below expect unwritten destination bytes to be zero.
  for (int64_t format : {fmt::kGray8, fmt::kGrayAlpha8, fmt::kGray16, fmt::kGrayAlpha16}) {
    Ref b(host(), fmt::CreateBitmap(host(), 19, 33, format));
    ASSERT_TRUE(b);
    const std::vector<uint8_t> raw = RawMemory(Record(b));
    EXPECT_EQ(raw, std::vector<uint8_t>(raw.size(), 0)) << "format " << format;
  }
}

TEST_F(GrayscaleTest, RandomImagesMatchReference) {
  const int64_t formats[] = {fmt::kRGB8,  fmt::kBGR8,   fmt::kRGBA8,  fmt::kARGB8,
                             fmt::kBGRA8, fmt::kRGBX8,  fmt::kXBGR8,  fmt::kCMYK8,
                             fmt::kRGB16, fmt::kRGBA16, fmt::kCMYKA16};
  const Mode modes[] = {Mode::kGray, Mode::kSameFormat, Mode::kMaskedNew, Mode::kInPlace,
                        Mode::kMaskedInPlace};
  Ref effect = NewEffect();
  uint32_t seed = 1000;
  int64_t method = 0;
  for (int64_t format : formats) {
    for (Mode mode : modes) {
      CompareRun(host(), effect.get(), {format, mode, method}, seed++);
      method = (method + 1) % 5;  // 4 means the weighted average as well
    }
  }
  host().SetProperty(effect.get(), "Mask", NoObject());
}

TEST_F(GrayscaleTest, ResultsIndependentOfThreadCount) {
  Ref effect = NewEffect();
  uint32_t seed = 2000;
  for (int64_t hint : {1, 2, 3, 4, 5, 6, 7, 8, -1}) {
    SCOPED_TRACE(::testing::Message() << "MultiprocessingHint " << hint);
    host().SetProperty(effect.get(), "MultiprocessingHint", hint);
    const Mode mode =
        hint % 2 == 0 ? Mode::kMaskedNew : (hint % 3 == 0 ? Mode::kInPlace : Mode::kGray);
    CompareRun(host(), effect.get(), {fmt::kRGBA8, mode, hint & 3}, seed++, 29, 71);
    CompareRun(host(), effect.get(), {fmt::kRGBA16, mode, (hint + 1) & 3}, seed++, 29, 71);
  }
  host().SetProperty(effect.get(), "MultiprocessingHint", int64_t{1});
  host().SetProperty(effect.get(), "ForceThreads", true);
  CompareRun(host(), effect.get(), {fmt::kRGB8, Mode::kGray, 0}, seed++, 29, 71);
  host().SetProperty(effect.get(), "Mask", NoObject());
}

TEST_F(GrayscaleTest, MaskEndsMixBackEachChannel) {
  // Column 0 has mask value 0 (fully gray), column 1 has 255.
  Ref effect = NewEffect();
  Ref source(host(), fmt::CreateBitmap(host(), 2, 1, fmt::kRGB8));
  RawBitmap& r = Record(source);
  for (int x = 0; x < 2; ++x) {
    SetSample(r, x, 0, r.redOffset, 10);
    SetSample(r, x, 0, r.greenOffset, 20);
    SetSample(r, x, 0, r.blueOffset, 30);
  }
  MaskPair mask = RandomMask(host(), 2, 1, 6);
  host().SetProperty(effect.get(), "Mask", mask.mask.get());
  Ref result(host(), Apply(effect, source.get(), 3));
  ASSERT_TRUE(result);
  const RawBitmap& out = Record(result);
  EXPECT_EQ(out.imageFormat, fmt::kRGB8);
  EXPECT_EQ(GetSample(out, 0, 0, out.redOffset), 18u);
  EXPECT_EQ(GetSample(out, 0, 0, out.greenOffset), 18u);
  EXPECT_EQ(GetSample(out, 0, 0, out.blueOffset), 18u);
  EXPECT_EQ(GetSample(out, 1, 0, out.redOffset), 9u);     // (10 * 255) >> 8
  EXPECT_EQ(GetSample(out, 1, 0, out.greenOffset), 19u);  // (20 * 255) >> 8
  EXPECT_EQ(GetSample(out, 1, 0, out.blueOffset), 29u);   // (30 * 255) >> 8
  host().SetProperty(effect.get(), "Mask", NoObject());
}

TEST_F(GrayscaleTest, GraySourcesAreReturnedAsTheyAre) {
  Ref target = Target();
  for (int64_t format : {fmt::kGray8, fmt::kGrayAlpha8, fmt::kGray16, fmt::kGrayAlpha16}) {
    SCOPED_TRACE(::testing::Message() << "format " << format);
    Ref effect = NewEffect();
    Ref source = RandomBitmap(host(), 7, 20, format, 5);
    const std::vector<uint8_t> before = Snapshot(Record(source));
    const size_t live = host().LiveObjects();
    const int64_t refs = host().RefCount(source.get());
    {
      Ref same(host(), Apply(effect, source.get(), 1));
      EXPECT_EQ(same.get(), source.get());
      EXPECT_EQ(host().RefCount(source.get()), refs + 1);
      Ref stored(host(), host().Call<Object>(effect.get(), kApplyStored, source.get()));
      EXPECT_EQ(stored.get(), source.get());
    }
    host().Call<void>(effect.get(), kApplyInPlace, source.get(), int64_t{2});
    EXPECT_EQ(Snapshot(Record(source)), before);
    for (const char* method : {kApplyAsync, kApplyInPlaceAsync}) {
      Completions() = {};
      host().Call<void>(effect.get(), method, source.get(), target.get(), CompletionMethod());
      // Completed before the call returned, on this thread.
      EXPECT_EQ(Completions().calls, 1);
      EXPECT_EQ(Completions().target, target.get());
      EXPECT_EQ(Completions().filter, effect.get());
      EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
      Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
      EXPECT_EQ(result.get(), source.get());
      // Without a target nothing is called, but the result is still set.
      Completions() = {};
      host().Call<void>(effect.get(), method, source.get(), static_cast<Object>(nullptr),
                        CompletionMethod());
      EXPECT_EQ(Completions().calls, 0);
    }
    EXPECT_EQ(Snapshot(Record(source)), before);
    EXPECT_EQ(host().LiveObjects(), live);
    EXPECT_EQ(ErrorCode(effect), 0);
  }
}

TEST_F(GrayscaleTest, ErrorCodeIsNeverReset) {
  Ref effect = NewEffect();
  Ref target = Target();
  Object none = nullptr;
  EXPECT_EQ(Apply(effect, none, 0), nullptr);
  EXPECT_EQ(ErrorCode(effect), 4);
  Ref source = RandomBitmap(host(), 4, 4, fmt::kRGB8, 1);
  Ref ok(host(), Apply(effect, source.get(), 0));
  EXPECT_TRUE(ok);
  EXPECT_EQ(ErrorCode(effect), 4);
  const size_t live = host().LiveObjects();
  host().Call<void>(effect.get(), kApplyInPlace, none, int64_t{0});
  EXPECT_EQ(ErrorCode(effect), 4);
  EXPECT_EQ(host().Call<Object>(effect.get(), kApplyStored, none), nullptr);
  host().Call<void>(effect.get(), kApplyAsync, none, target.get(), CompletionMethod());
  EXPECT_EQ(ErrorCode(effect), 4);
  host().Call<void>(effect.get(), kApplyInPlaceAsync, none, target.get(), CompletionMethod());
  EXPECT_EQ(ErrorCode(effect), 4);
  EXPECT_EQ(host().LiveObjects(), live);
}

TEST_F(GrayscaleTest, OddDepthRefusedWithoutCreatingAnything) {
  Ref effect = NewEffect();
  Ref target = Target();
  Ref source = RandomBitmap(host(), 5, 20, fmt::kRGBA8, 2);
  RawBitmap& r = Record(source);
  const std::vector<uint8_t> before = Snapshot(r);
  r.bitsPerChannel = 32;
  const size_t live = host().LiveObjects();
  Completions() = {};
  for (bool masked : {false, true}) {
    MaskPair mask;
    if (masked) {
      mask = RandomMask(host(), 5, 20, 3);
      host().SetProperty(effect.get(), "Mask", mask.mask.get());
    }
    const size_t liveNow = host().LiveObjects();
    EXPECT_EQ(Apply(effect, source.get(), 0), nullptr);
    EXPECT_EQ(ErrorCode(effect), 6);
    host().Call<void>(effect.get(), kApplyInPlace, source.get(), int64_t{1});
    EXPECT_EQ(ErrorCode(effect), 6);
    host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
    EXPECT_EQ(ErrorCode(effect), 6);
    host().Call<void>(effect.get(), kApplyInPlaceAsync, source.get(), target.get(),
                      CompletionMethod());
    EXPECT_EQ(ErrorCode(effect), 6);
    EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
    EXPECT_EQ(host().LiveObjects(), liveNow);
    Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
    EXPECT_FALSE(result);
    host().SetProperty(effect.get(), "Mask", NoObject());
  }
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
  EXPECT_EQ(host().LiveObjects(), live);
  r.bitsPerChannel = 8;
  EXPECT_EQ(Snapshot(r), before);
}

TEST_F(GrayscaleTest, AsynchronousRunsMatchReference) {
  Ref effect = NewEffect();
  Ref target = Target();
  struct Case {
    int64_t format;
    bool inPlace;
    bool masked;
    int64_t method;
  };
  const Case cases[] = {{fmt::kRGBA8, false, false, 0},
                        {fmt::kBGR8, false, true, 1},
                        {fmt::kRGB16, true, false, 2},
                        {fmt::kRGBA16, true, true, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format);
    Ref source = RandomBitmap(host(), 45, 50, c.format, 31);
    RawBitmap& rec = Record(source);
    MaskPair mask;
    std::vector<uint32_t> m;
    if (c.masked) {
      mask = RandomMask(host(), 45, 50, 32);
      m = MaskValues(host(), mask.mask.get(), 45, 50, rec.bitsPerChannel);
      host().SetProperty(effect.get(), "Mask", mask.mask.get());
    }
    host().SetProperty(effect.get(), "GrayscaleType", c.method);
    const std::vector<uint8_t> sourceRaw = RawMemory(rec);
    Completions() = {};
    host().Call<void>(effect.get(), c.inPlace ? kApplyInPlaceAsync : kApplyAsync, source.get(),
                      target.get(), CompletionMethod());
    EXPECT_FALSE(host().GetBoolean(effect.get(), "AsyncCompleted"));
    host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
    EXPECT_EQ(ErrorCode(effect), 10);
    ASSERT_TRUE(host().RunLoop([] { return Completions().calls > 0; }, 20.0));
    EXPECT_EQ(Completions().calls, 1);
    EXPECT_EQ(Completions().target, target.get());
    EXPECT_EQ(Completions().filter, effect.get());
    Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
    ASSERT_TRUE(result);
    const RawBitmap& out = Record(result);
    const bool sameFormat = c.masked || c.inPlace;
    gray_ref::Target t{out.rowBytes,
                       out.bytesPerPixel,
                       rec.redOffset,
                       sameFormat ? rec.greenOffset : rec.redOffset,
                       sameFormat ? rec.blueOffset : rec.redOffset,
                       out.alphaOffset};
    std::vector<uint8_t> expected =
        c.inPlace ? sourceRaw : std::vector<uint8_t>(RawMemory(out).size(), 0);
    gray_ref::Run(rec, sourceRaw, t, expected, c.method, c.masked ? &m : nullptr);
    if (c.inPlace) {
      EXPECT_EQ(result.get(), source.get());
    }
    EXPECT_EQ(RawMemory(out), expected);
    host().SetProperty(effect.get(), "Mask", NoObject());
  }
}

TEST_F(GrayscaleTest, CancelledRunMakesNoCompletionCall) {
  Ref effect = NewEffect();
  Ref target = Target();
  Ref source = RandomBitmap(host(), 900, 700, fmt::kRGBA8, 41);
  Completions() = {};
  host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
  host().Call<void>(effect.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
  EXPECT_TRUE(host().GetBoolean(effect.get(), "Canceled"));
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
  Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
  ASSERT_TRUE(result);
  EXPECT_EQ(Record(result).imageFormat, fmt::kGrayAlpha8);
}

TEST_F(GrayscaleTest, RunAfterCancelStartsUncancelled) {
  // Cancel() leaves Canceled true; the next asynchronous start clears it, so
  // that run completes and makes its completion call.
  Ref effect = NewEffect();
  Ref target = Target();
  Ref source = RandomBitmap(host(), 64, 48, fmt::kRGB8, 43);
  host().Call<void>(effect.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(effect.get(), "Canceled"));
  Completions() = {};
  host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
  EXPECT_FALSE(host().GetBoolean(effect.get(), "Canceled"));
  ASSERT_TRUE(host().RunLoop([] { return Completions().calls > 0; }, 20.0));
  EXPECT_EQ(Completions().calls, 1);
}

TEST_F(GrayscaleTest, DestroyedDuringRun) {
  Ref source = RandomBitmap(host(), 900, 700, fmt::kRGB16, 42);
  Ref target = Target();
  Completions() = {};
  {
    Ref effect = NewEffect();
    host().Call<void>(effect.get(), kApplyInPlaceAsync, source.get(), target.get(),
                      CompletionMethod());
    host().Call<void>(effect.get(), "Cancel()");
  }
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
}

TEST_F(GrayscaleTest, MaskOutlivesTheRunThatReadsIt) {
  // The script drops the mask during a masked run; the run keeps using it.
  Ref effect = NewEffect();
  Ref target = Target();
  Ref source = RandomBitmap(host(), 600, 400, fmt::kRGBA8, 51);
  {
    MaskPair mask = RandomMask(host(), 600, 400, 52);
    host().SetProperty(effect.get(), "Mask", mask.mask.get());
  }
  Completions() = {};
  host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
  host().SetProperty(effect.get(), "Mask", NoObject());
  ASSERT_TRUE(host().RunLoop([] { return Completions().calls > 0; }, 20.0));
  // The script lets go of effect and mask during a masked in-place run: the
  // run keeps both alive and still completes.
  Completions() = {};
  {
    MaskPair mask = RandomMask(host(), 600, 400, 53);
    Ref second = NewEffect();
    host().SetProperty(second.get(), "Mask", mask.mask.get());
    host().Call<void>(second.get(), kApplyInPlaceAsync, source.get(), target.get(),
                      CompletionMethod());
  }
  ASSERT_TRUE(host().RunLoop([] { return Completions().calls > 0; }, 20.0));
  EXPECT_EQ(Completions().calls, 1);
}

TEST_F(GrayscaleTest, ClassAsTheHostSeesIt) {
  const lumeno::host::ClassInfo* info = host().FindClass("GrayscaleEffectRaw");
  ASSERT_NE(info, nullptr);
  const ZARKclassDefinition& d = *info->definition;
  EXPECT_STREQ(d.superName, "MPImageFilterRaw");
  EXPECT_EQ(d.dataSize, 24);
  EXPECT_STREQ(d.interfaces, "IRawBitmapProcessor, IRawBitmapProcessorAsync");
  ASSERT_EQ(d.propertyCount, 3);
  EXPECT_STREQ(d.properties[0].name, "Mask");
  EXPECT_STREQ(d.properties[0].type, "RawBitmapMask");
  EXPECT_STREQ(d.properties[1].name, "GrayscaleType");
  EXPECT_STREQ(d.properties[1].type, "Integer");
  EXPECT_EQ(d.properties[1].getter, ZARK_STANDARD_ACCESSOR);
  EXPECT_EQ(d.properties[1].setter, ZARK_STANDARD_ACCESSOR);
  EXPECT_EQ(d.properties[1].parameter, 0);
  EXPECT_STREQ(d.properties[2].name, "UseOriginalColorSpace");
  EXPECT_STREQ(d.properties[2].type, "Boolean");
  EXPECT_EQ(d.properties[2].getter, ZARK_STANDARD_ACCESSOR);
  EXPECT_EQ(d.properties[2].parameter, 16);
  const char* declarations[] = {kApplyMethod, kApplyStored, kApplyInPlace, kApplyAsync,
                                kApplyInPlaceAsync};
  ASSERT_EQ(d.methodCount, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(d.methods[i].declaration, declarations[i]);
    EXPECT_EQ(d.methods[i].flags, 4);
  }
  const char* constants[] = {"NTSC_PAL = 0", "ITU_R = 1", "AVERAGE = 2", "WEIGHTEDAVERAGE = 3"};
  ASSERT_EQ(d.constantCount, 4);
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(d.constants[i].declaration, constants[i]);
  Ref effect = NewEffect();
  EXPECT_EQ(host().GetInteger(effect.get(), "GrayscaleType"), 0);
  EXPECT_FALSE(host().GetBoolean(effect.get(), "UseOriginalColorSpace"));
}

// A host whose bitmap instances cannot be created, with a plug-in copy whose
// entry caches start empty.
class GrayscaleNoBitmapsTest : public lumeno::testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string error;
    ASSERT_TRUE(host().LoadPlugin(LUMENO_PLUGIN_PATH, &error, true)) << error;
  }
};

TEST_F(GrayscaleNoBitmapsTest, DestinationFailureReportsCode3) {
  Ref effect(host(), host().New("GrayscaleEffectRaw"));
  ASSERT_TRUE(effect);
  Ref source(host(), fmt::CreateBitmap(host(), 4, 4, fmt::kRGB8));
  Ref target(host(), fmt::CreateBitmap(host(), 1, 1, fmt::kGray8));
  host().HideEntry("CreateInstance");
  const size_t live = host().LiveObjects();
  EXPECT_EQ(host().Call<Object>(effect.get(), kApplyMethod, source.get(), int64_t{0}), nullptr);
  EXPECT_EQ(host().GetInteger(effect.get(), "ErrorCode"), 3);
  Completions() = {};
  host().Call<void>(effect.get(), kApplyAsync, source.get(), target.get(), CompletionMethod());
  EXPECT_EQ(host().GetInteger(effect.get(), "ErrorCode"), 3);
  EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
  EXPECT_EQ(host().LiveObjects(), live);
  // In place needs no new bitmap.
  host().Call<void>(effect.get(), kApplyInPlace, source.get(), int64_t{0});
  host().ShowEntry("CreateInstance");
  host().PumpTasks();
  EXPECT_EQ(Completions().calls, 0);
}

}  // namespace

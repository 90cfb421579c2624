// InvertEffectRaw driven through the host like a script: the worked values,
// four-colour images, a plain reference on random images of every format and
// depth, masks, thread counts, refusals and asynchronous runs.
#include <cstring>
#include <string>
#include <vector>

#include "support/effect_checks.h"
#include "support/images.h"
#include "support/plugin_fixture.h"
#include "support/progress.h"

namespace {

using lumeno::host::Ref;
using Object = ZARKobjectStruct*;
namespace host = lumeno::host;
namespace t = lumeno::testing;
using t::ExpectRecord;
using t::MemberText;
using t::Pixels;
using t::PixelsOf;
using t::ZeroPixelsLike;

constexpr const char* kApply = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyInPlace = "ApplyInPlace(source as RawBitmap)";
constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
constexpr const char* kApplyInPlaceAsync =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

// -- Plain reference ----------------------------------------------------------------

// Expected pixels (packed, as ReadPixels gives them) of an inverted bitmap:
// every sample but alpha complemented, mixed with the source where the mask
// (one value per pixel, empty for a plain run) is not 0.
std::vector<uint8_t> InvertReference(const RawBitmap& b, const std::vector<uint8_t>& packed,
                                     const std::vector<uint32_t>& mask) {
  std::vector<uint8_t> out = packed;
  const int64_t pixels = b.width * b.height;
  for (int64_t p = 0; p < pixels; ++p) {
    const uint32_t m = mask.empty() ? 0 : mask[static_cast<size_t>(p)];
    uint8_t* px = out.data() + p * b.bytesPerPixel;
    if (b.bitsPerChannel == 8) {
      for (int64_t i = 0; i < b.bytesPerPixel; ++i) {
        if (i == b.alphaOffset) continue;
        const uint32_t s = px[i];
        px[i] = static_cast<uint8_t>(m == 0 ? 255 - s : (s * m + (255 - m) * (255 - s)) >> 8);
      }
    } else {
      for (int64_t i = 0; i < b.channelCount; ++i) {
        if (i == b.alphaOffset / 2) continue;
        uint16_t s;
        std::memcpy(&s, px + 2 * i, 2);
        const uint32_t e = m == 0 ? 65535u - s : (s * m + (65535u - m) * (65535u - s)) >> 16;
        const uint16_t v = static_cast<uint16_t>(e);
        std::memcpy(px + 2 * i, &v, 2);
      }
    }
  }
  return out;
}

// -- Registration record ----------------------------------------------------------



// -- Fixture -----------------------------------------------------------------------

class InvertTest : public t::PluginTest {
 protected:
  Ref NewEffect() { return Ref(host(), host().New("InvertEffectRaw")); }
  Ref Bitmap(int64_t w, int64_t h, int64_t format) {
    return Ref(host(), host::CreateBitmap(host(), w, h, format));
  }
  RawBitmap& Rec(const Ref& bitmap) { return *host::BitmapRecord(host(), bitmap.get()); }
  int64_t Error(const Ref& fx) { return host().GetInteger(fx.get(), "ErrorCode"); }
  Ref Apply(const Ref& fx, const Ref& src) {
    return Ref(host(), host().Call<Object>(fx.get(), kApply, src.get()));
  }
  // A one-pixel bitmap holding these samples in pixel order.
  Ref Pixel(int64_t format, const std::vector<uint32_t>& samples) {
    Ref bitmap = Bitmap(1, 1, format);
    RawBitmap& r = Rec(bitmap);
    const int step = r.bitsPerChannel / 8;
    for (size_t i = 0; i < samples.size(); ++i) {
      t::SetSample(r, 0, 0, static_cast<int>(i) * step, samples[i]);
    }
    return bitmap;
  }
  std::vector<uint32_t> SamplesOf(const Ref& bitmap) {
    const RawBitmap& r = Rec(bitmap);
    const int step = r.bitsPerChannel / 8;
    std::vector<uint32_t> out;
    for (int64_t i = 0; i < r.bytesPerPixel / step; ++i) {
      out.push_back(t::Sample(r, 0, 0, static_cast<int>(i) * step));
    }
    return out;
  }
};

using Samples = std::vector<uint32_t>;

TEST_F(InvertTest, RegistrationRecord) {
  ExpectRecord(host().FindClass("InvertEffectRaw"), "InvertEffectRaw", 8,
               "IRawBitmapProcessor, IRawBitmapProcessorAsync", {{"Mask", "RawBitmapMask"}},
               {kApply, kApplyInPlace, kApplyAsync, kApplyInPlaceAsync});
}

// -- The worked values ---------------------------------------------------------------

struct WorkedCase {
  int64_t format;
  Samples in;
  Samples out;
};

TEST_F(InvertTest, WorkedValues) {
  const WorkedCase cases[] = {
      {host::kRGBA8, {10, 20, 30, 40}, {245, 235, 225, 40}},
      {host::kARGB8, {40, 10, 20, 30}, {40, 245, 235, 225}},
      {host::kCMYK8, {0, 64, 128, 255}, {255, 191, 127, 0}},
      {host::kCMYKA8, {0, 64, 128, 255, 9}, {255, 191, 127, 0, 9}},
      {host::kRGBX8, {1, 2, 3, 4}, {254, 253, 252, 251}},
      {host::kGray8, {100}, {155}},
      {host::kGrayAlpha8, {100, 7}, {155, 7}},
      {host::kRGB16, {0, 1000, 65535}, {65535, 64535, 0}},
      {host::kRGBA16, {0, 1000, 30000, 12345}, {65535, 64535, 35535, 12345}},
      {host::kCMYK16, {0, 1000, 2, 65535}, {65535, 64535, 65533, 0}},
      {host::kCMYKA16, {0, 1000, 2, 65535, 5}, {65535, 64535, 65533, 0, 5}},
      {host::kGray16, {1}, {65534}},
  };
  Ref fx = NewEffect();
  for (const WorkedCase& c : cases) {
    SCOPED_TRACE("format " + std::to_string(c.format));
    Ref src = Pixel(c.format, c.in);
    Ref out = Apply(fx, src);
    ASSERT_TRUE(out);
    EXPECT_EQ(Error(fx), 0);
    EXPECT_EQ(Rec(out).imageFormat, c.format);
    EXPECT_EQ(SamplesOf(out), c.out);
    EXPECT_EQ(SamplesOf(src), c.in) << "source changed by Apply";
    host().Call<void>(fx.get(), kApplyInPlace, src.get());
    EXPECT_EQ(SamplesOf(src), c.out);
  }
}

struct MaskedCase {
  uint32_t mask;
  uint32_t in;
  uint32_t out;
};

TEST_F(InvertTest, MaskedValues8) {
  const MaskedCase cases[] = {
      {128, 0, (0 + 127 * 255) >> 8},    // 126
      {128, 255, (255 * 128 + 0) >> 8},  // 127
      {255, 200, (200 * 255) >> 8},      // 199
      {0, 200, 55},
  };
  for (const MaskedCase& c : cases) {
    SCOPED_TRACE("m " + std::to_string(c.mask) + " s " + std::to_string(c.in));
    Ref fx = NewEffect();
    Ref mask = t::MaskWithValues(host(), 1, 1, std::vector<uint8_t>{static_cast<uint8_t>(c.mask)});
    ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
    Ref src = Pixel(host::kCMYKA8, {c.in, c.in, c.in, c.in, 33});
    Ref out = Apply(fx, src);
    ASSERT_TRUE(out);
    EXPECT_EQ(SamplesOf(out), (Samples{c.out, c.out, c.out, c.out, 33}));
  }
}

TEST_F(InvertTest, MaskedValues16) {
  const MaskedCase cases[] = {
      {32768, 0, (0u + 32767u * 65535u) >> 16},
      {65535, 60000, (60000u * 65535u) >> 16},
      {0, 1000, 64535},
  };
  for (const MaskedCase& c : cases) {
    SCOPED_TRACE("m " + std::to_string(c.mask) + " s " + std::to_string(c.in));
    Ref fx = NewEffect();
    Ref mask =
        t::MaskWithValues(host(), 1, 1, std::vector<uint16_t>{static_cast<uint16_t>(c.mask)});
    ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
    Ref src = Pixel(host::kRGBA16, {c.in, c.in, c.in, 4242});
    host().Call<void>(fx.get(), kApplyInPlace, src.get());
    EXPECT_EQ(SamplesOf(src), (Samples{c.out, c.out, c.out, 4242}));
  }
}

// -- Random images against the reference, every format ---------------------------------

TEST_F(InvertTest, RandomImagesMatchTheReferenceInEveryFormatModeAndThreadCount) {
  const int64_t w = 11, h = 19;
  std::vector<int64_t> formats = t::FormatsWithDepth(8);
  const std::vector<int64_t> formats16 = t::FormatsWithDepth(16);
  formats.insert(formats.end(), formats16.begin(), formats16.end());
  uint64_t seed = 500;
  for (int64_t format : formats) {
    for (bool masked : {false, true}) {
      for (bool inPlace : {false, true}) {
        for (int64_t threads = 1; threads <= 8; ++threads) {
          ++seed;
          SCOPED_TRACE("format " + std::to_string(format) + " masked " + std::to_string(masked) +
                       " in place " + std::to_string(inPlace) + " threads " +
                       std::to_string(threads));
          Ref fx = NewEffect();
          ASSERT_TRUE(host().SetProperty(fx.get(), "MultiprocessingHint", threads));
          Ref src = t::RandomBitmap(host(), w, h, format, 0, seed);
          ASSERT_TRUE(src);
          RawBitmap& s = Rec(src);
          std::vector<uint32_t> maskValues;
          Ref mask;
          if (masked) {
            if (s.bitsPerChannel == 16) {
              auto v = t::RandomMaskValues16(w, h, seed);
              maskValues.assign(v.begin(), v.end());
              mask = t::MaskWithValues(host(), w, h, v);
            } else {
              auto v = t::RandomMaskValues8(w, h, seed);
              maskValues.assign(v.begin(), v.end());
              mask = t::MaskWithValues(host(), w, h, v);
            }
            ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
          }
          const std::vector<uint8_t> before = host::ReadPixels(s);
          const std::vector<uint8_t> expected = InvertReference(s, before, maskValues);
          if (inPlace) {
            const t::OutsideBytes outside = t::Snapshot(s);
            host().Call<void>(fx.get(), kApplyInPlace, src.get());
            EXPECT_EQ(Error(fx), 0);
            EXPECT_TRUE(t::SamePixels(expected, s));
            EXPECT_TRUE(t::OutsideUnchanged(s, outside));
          } else {
            Ref out = Apply(fx, src);
            ASSERT_TRUE(out) << Error(fx);
            EXPECT_EQ(Rec(out).imageFormat, format);
            EXPECT_TRUE(t::SamePixels(expected, Rec(out)));
            EXPECT_EQ(host::ReadPixels(s), before);
          }
        }
      }
    }
  }
}

TEST_F(InvertTest, InvertingTwiceGivesTheSourceBack) {
  for (int64_t format : {host::kRGBA8, host::kCMYK8, host::kRGBA16, host::kCMYKA16}) {
    SCOPED_TRACE(format);
    Ref fx = NewEffect();
    Ref src = t::RandomBitmap(host(), 17, 33, format, 0, 77);
    const std::vector<uint8_t> before = host::ReadPixels(Rec(src));
    Ref once = Apply(fx, src);
    Ref twice = Apply(fx, once);
    ASSERT_TRUE(twice);
    EXPECT_TRUE(t::SamePixels(before, Rec(twice)));
    host().Call<void>(fx.get(), kApplyInPlace, src.get());
    host().Call<void>(fx.get(), kApplyInPlace, src.get());
    EXPECT_TRUE(t::SamePixels(before, Rec(src)));
  }
}

TEST_F(InvertTest, RowPaddingIsLeftAlone) {
  for (int64_t format : {host::kRGB8, host::kRGB16}) {
    Ref fx = NewEffect();
    Ref src = t::RandomBitmap(host(), 7, 20, format, 6, 4);
    ASSERT_TRUE(src);
    RawBitmap& s = Rec(src);
    const t::OutsideBytes outside = t::Snapshot(s);
    const std::vector<uint8_t> expected = InvertReference(s, host::ReadPixels(s), {});
    host().Call<void>(fx.get(), kApplyInPlace, src.get());
    EXPECT_TRUE(t::SamePixels(expected, s));
    EXPECT_TRUE(t::OutsideUnchanged(s, outside));
  }
}

// -- Refusals ------------------------------------------------------------------------

TEST_F(InvertTest, EveryFormRefusesAnEmptySource) {
  Ref fx = NewEffect();
  Ref target = t::NewCompletionTarget(host());
  const Object none = nullptr;
  Ref out(host(), host().Call<Object>(fx.get(), kApply, none));
  EXPECT_FALSE(out);
  EXPECT_EQ(Error(fx), 4);
  host().Call<void>(fx.get(), kApplyInPlace, none);
  EXPECT_EQ(Error(fx), 4);
  host().Call<void>(fx.get(), kApplyAsync, none, target.get(), t::CompletionMethod());
  EXPECT_EQ(Error(fx), 4);
  host().Call<void>(fx.get(), kApplyInPlaceAsync, none, target.get(), t::CompletionMethod());
  EXPECT_EQ(Error(fx), 4);
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  host().PumpTasks();
  EXPECT_EQ(t::CompletionOf(target.get()).count, 0);
}

TEST_F(InvertTest, OtherDepthsAreRefusedByEveryForm) {
  Ref fx = NewEffect();
  Ref target = t::NewCompletionTarget(host());
  Ref src = Pixel(host::kRGBA8, {1, 2, 3, 4});
  RawBitmap& s = Rec(src);
  for (uint8_t depth : {0, 1, 4, 12, 32}) {
    SCOPED_TRACE(static_cast<int>(depth));
    s.bitsPerChannel = depth;
    Ref out = Apply(fx, src);
    EXPECT_FALSE(out);
    EXPECT_EQ(Error(fx), 6);
    host().Call<void>(fx.get(), kApplyInPlace, src.get());
    EXPECT_EQ(Error(fx), 6);
    host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), t::CompletionMethod());
    EXPECT_EQ(Error(fx), 6);
    host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), target.get(), t::CompletionMethod());
    EXPECT_EQ(Error(fx), 6);
    EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  }
  s.bitsPerChannel = 8;
  EXPECT_EQ(SamplesOf(src), (Samples{1, 2, 3, 4}));
  Ref good = Apply(fx, src);
  EXPECT_TRUE(good);
  EXPECT_EQ(Error(fx), 0);
}

// -- Asynchronous runs ------------------------------------------------------------------

TEST_F(InvertTest, AsyncRunsCompleteWithTheReferenceResult) {
  for (int64_t format : {host::kCMYKA8, host::kRGBA16, host::kCMYK16, host::kGray8}) {
    for (bool inPlace : {false, true}) {
      for (bool masked : {false, true}) {
        SCOPED_TRACE("format " + std::to_string(format) + " in place " + std::to_string(inPlace) +
                     " masked " + std::to_string(masked));
        const int64_t w = 29, h = 41;
        Ref fx = NewEffect();
        Ref target = t::NewCompletionTarget(host());
        ASSERT_TRUE(host().SetProperty(fx.get(), "MultiprocessingHint", int64_t{4}));
        Ref src = t::RandomBitmap(host(), w, h, format, 0, 21);
        RawBitmap& s = Rec(src);
        std::vector<uint32_t> maskValues;
        Ref mask;
        if (masked) {
          if (s.bitsPerChannel == 16) {
            auto v = t::RandomMaskValues16(w, h, 8);
            maskValues.assign(v.begin(), v.end());
            mask = t::MaskWithValues(host(), w, h, v);
          } else {
            auto v = t::RandomMaskValues8(w, h, 8);
            maskValues.assign(v.begin(), v.end());
            mask = t::MaskWithValues(host(), w, h, v);
          }
          ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
        }
        const std::vector<uint8_t> expected = InvertReference(s, host::ReadPixels(s), maskValues);
        host().Call<void>(fx.get(), inPlace ? kApplyInPlaceAsync : kApplyAsync, src.get(),
                          target.get(), t::CompletionMethod());
        ASSERT_EQ(Error(fx), 0);
        const t::CompletionLog& log = t::CompletionOf(target.get());
        ASSERT_TRUE(host().RunLoop([&] { return log.count > 0; }, 20.0));
        EXPECT_EQ(log.count, 1);
        EXPECT_EQ(log.lastFilter, fx.get());
        EXPECT_FALSE(host().GetBoolean(fx.get(), "Canceled"));
        Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
        ASSERT_TRUE(result);
        if (inPlace) {
          EXPECT_EQ(result.get(), src.get());
        }
        EXPECT_TRUE(t::SamePixels(expected, Rec(result)));
      }
    }
  }
}

TEST_F(InvertTest, AsyncRunCancelledByCancelMakesNoCompletionCall) {
  Ref fx = NewEffect();
  Ref target = t::NewCompletionTarget(host());
  Ref src = t::RandomBitmap(host(), 64, 300, host::kRGBA8, 0, 2);
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), t::CompletionMethod());
  ASSERT_EQ(Error(fx), 0);
  EXPECT_FALSE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), t::CompletionMethod());
  EXPECT_EQ(Error(fx), 10);
  host().Call<void>(fx.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  EXPECT_TRUE(host().GetBoolean(fx.get(), "Canceled"));
  host().PumpTasks();
  EXPECT_EQ(t::CompletionOf(target.get()).count, 0);
  Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
  EXPECT_TRUE(result);
}

TEST_F(InvertTest, AsyncRunCancelledByTheProgressHandlerStillCompletes) {
  Ref fx = NewEffect();
  Ref target = t::NewCompletionTarget(host());
  Ref handler = t::NewProgressHandler(host());
  t::ProgressOf(handler.get()).CancelAtCall(1);
  ASSERT_TRUE(host().SetProperty(fx.get(), "ProgressHandler", handler.get()));
  Ref src = t::RandomBitmap(host(), 64, 300, host::kCMYK8, 0, 2);
  host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), target.get(), t::CompletionMethod());
  ASSERT_EQ(Error(fx), 0);
  const t::CompletionLog& log = t::CompletionOf(target.get());
  ASSERT_TRUE(host().RunLoop([&] { return log.count > 0; }, 20.0));
  EXPECT_EQ(log.count, 1);
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  EXPECT_FALSE(host().GetBoolean(fx.get(), "Canceled"));
}

TEST_F(InvertTest, SynchronousRunCancelledByTheProgressHandlerReturnsThePartialResult) {
  Ref fx = NewEffect();
  Ref handler = t::NewProgressHandler(host());
  t::ProgressOf(handler.get()).CancelAtCall(1);
  ASSERT_TRUE(host().SetProperty(fx.get(), "ProgressHandler", handler.get()));
  ASSERT_TRUE(host().SetProperty(fx.get(), "MultiprocessingHint", int64_t{1}));
  Ref src = t::RandomBitmap(host(), 8, 1000, host::kGray8, 0, 2);
  const std::vector<uint8_t> before = host::ReadPixels(Rec(src));
  Ref out = Apply(fx, src);
  ASSERT_TRUE(out);
  EXPECT_EQ(Error(fx), 0);
  EXPECT_TRUE(host().GetBoolean(fx.get(), "Canceled"));
  // The first chunk of 100 rows was inverted; row 150 was not reached.
  const RawBitmap& d = Rec(out);
  EXPECT_EQ(t::Sample8(d, 3, 50, 0), 255 - before[50 * 8 + 3]);
  EXPECT_EQ(t::Sample8(d, 3, 150, 0), 0);
}

}  // namespace

// SepiaEffectRaw driven through the host like a script: the worked pixel
// values, a plain reference on random images of every format and depth,
// gray promotion, masks, thread counts, every refusal and asynchronous runs.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/effect_checks.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

// The reference arithmetic must round every product and sum on its own.
#pragma GCC optimize("fp-contract=off")

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

constexpr const char* kApplyValue = "Apply(source as RawBitmap,value as Single) as RawBitmap";
constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyInPlace = "ApplyInPlace(source as RawBitmap, value as Single)";
constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
constexpr const char* kApplyInPlaceAsync =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

// -- Plain reference, written from the effect's description ---------------------

// Pixels of a bitmap as a packed buffer, addressed by byte offset of a channel.


int32_t SepiaLevel(float strength, int bits) {
  const float product = strength * (bits == 16 ? 11565.0f : 45.0f);
  const float sum = product + (bits == 16 ? 2570.0f : 10.0f);
  return static_cast<int32_t>(sum);
}

uint32_t Limit(double value, int bits) {
  const float top = bits == 16 ? 65535.0f : 255.0f;
  float f = static_cast<float>(value);
  f = f < 0.0f ? 0.0f : (f > top ? top : f);
  return static_cast<uint32_t>(f);
}

uint32_t Mix(uint32_t o, uint32_t e, uint32_t m, int bits) {
  if (m == 0) return e;
  return bits == 16 ? (o * m + e * (65535u - m)) >> 16 : (o * m + e * (255u - m)) >> 8;
}

// Expected destination pixels. `mask` holds one value per pixel (or is empty
// for a plain run); `out` starts as what the destination holds before.
void SepiaReference(const Pixels& in, const RawBitmap& src, const RawBitmap& dst, float strength,
                    bool newBitmap, const std::vector<uint32_t>& mask, Pixels* out) {
  const int bits = src.bitsPerChannel;
  const double level = SepiaLevel(strength, bits);
  const bool gray = newBitmap && src.channelCount <= 2;
  const int ro = src.redOffset;
  const int go = gray ? src.redOffset : src.greenOffset;
  const int bo = gray ? src.redOffset : src.blueOffset;
  const uint32_t opaque = bits == 16 ? 65535u : 255u;
  for (int64_t y = 0; y < src.height; ++y) {
    for (int64_t x = 0; x < src.width; ++x) {
      const uint32_t r = in.Get(x, y, ro), g = in.Get(x, y, go), b = in.Get(x, y, bo);
      const double sum = r * 0.299 + g * 0.587;
      const double luma = std::trunc(sum + b * 0.114);
      uint32_t er = Limit(luma + level * 0.956, bits);
      uint32_t eg = Limit(luma - level * 0.272, bits);
      uint32_t eb = Limit(luma - level * 1.105, bits);
      if (!mask.empty()) {
        const uint32_t m = mask[static_cast<size_t>(y * src.width + x)];
        er = Mix(r, er, m, bits);
        eg = Mix(g, eg, m, bits);
        eb = Mix(b, eb, m, bits);
      }
      out->Set(x, y, dst.redOffset, er);
      out->Set(x, y, dst.greenOffset, eg);
      out->Set(x, y, dst.blueOffset, eb);
      if (dst.hasAlpha) {
        out->Set(x, y, dst.alphaOffset, src.hasAlpha ? in.Get(x, y, src.alphaOffset) : opaque);
      }
    }
  }
}

// -- Registration record ----------------------------------------------------------



// -- Fixture --------------------------------------------------------------------

int gCompletions = 0;
Object gCompletedFilter = nullptr;
Object gCompletedTarget = nullptr;
void RecordCompletion(Object target, Object filter) {
  ++gCompletions;
  gCompletedTarget = target;
  gCompletedFilter = filter;
}
void* CompletionMethod() { return reinterpret_cast<void*>(&RecordCompletion); }

class SepiaTest : public t::PluginTest {
 protected:
  void SetUp() override {
    t::PluginTest::SetUp();
    gCompletions = 0;
    gCompletedFilter = nullptr;
    gCompletedTarget = nullptr;
  }
  Ref NewEffect() { return Ref(host(), host().New("SepiaEffectRaw")); }
  Ref Bitmap(int64_t w, int64_t h, int64_t format) {
    return Ref(host(), host::CreateBitmap(host(), w, h, format));
  }
  RawBitmap& Rec(const Ref& bitmap) { return *host::BitmapRecord(host(), bitmap.get()); }
  int64_t Error(const Ref& fx) { return host().GetInteger(fx.get(), "ErrorCode"); }
  Ref Apply(const Ref& fx, const Ref& src, float value) {
    return Ref(host(), host().Call<Object>(fx.get(), kApplyValue, src.get(), value));
  }
  // One RGB pixel per colour, in a row.
  Ref Row(int64_t format, const std::vector<std::vector<uint32_t>>& colours) {
    Ref bitmap = Bitmap(static_cast<int64_t>(colours.size()), 1, format);
    RawBitmap& r = Rec(bitmap);
    for (size_t i = 0; i < colours.size(); ++i) {
      t::SetSample(r, i, 0, r.redOffset, colours[i][0]);
      t::SetSample(r, i, 0, r.greenOffset, colours[i][1]);
      t::SetSample(r, i, 0, r.blueOffset, colours[i][2]);
    }
    return bitmap;
  }
  std::vector<uint32_t> RgbAt(const Ref& bitmap, int64_t x) {
    const RawBitmap& r = Rec(bitmap);
    return {t::Sample(r, x, 0, r.redOffset), t::Sample(r, x, 0, r.greenOffset),
            t::Sample(r, x, 0, r.blueOffset)};
  }
};

using Rgb = std::vector<uint32_t>;

TEST_F(SepiaTest, RegistrationRecord) {
  ExpectRecord(host().FindClass("SepiaEffectRaw"), "SepiaEffectRaw", 16,
               "IRawBitMapProcessor, IRawBitmapProcessorAsync",
               {{"Mask", "RawBitmapMask"}, {"SepiaValue", "Single"}},
               {kApplyValue, kApplyStored, kApplyInPlace, kApplyAsync, kApplyInPlaceAsync});
}

// -- The worked values ----------------------------------------------------------

struct WorkedCase {
  int64_t format;
  float strength;
  Rgb in;
  Rgb out;
};

TEST_F(SepiaTest, WorkedPixelValues) {
  const WorkedCase cases[] = {
      {host::kRGB8, 0.3f, {255, 255, 255}, {255, 248, 229}},
      {host::kRGB8, 0.3f, {0, 0, 0}, {21, 0, 0}},
      {host::kRGB8, 0.3f, {128, 128, 128}, {148, 120, 101}},
      {host::kRGB8, 0.3f, {200, 100, 50}, {145, 117, 98}},
      {host::kRGB8, 0.0f, {255, 255, 255}, {255, 252, 243}},
      {host::kRGB8, 0.0f, {0, 0, 0}, {9, 0, 0}},
      {host::kRGB8, 1.0f, {255, 255, 255}, {255, 240, 194}},
      {host::kRGB8, 1.0f, {0, 0, 0}, {52, 0, 0}},
      {host::kBGRA8, 0.3f, {200, 100, 50}, {145, 117, 98}},
      {host::kRGB16, 0.0f, {65535, 65535, 65535}, {65535, 64834, 62694}},
      {host::kRGB16, 1.0f, {0, 0, 0}, {13513, 0, 0}},
      {host::kRGBA16, 0.0f, {65535, 65535, 65535}, {65535, 64834, 62694}},
  };
  Ref fx = NewEffect();
  for (const WorkedCase& c : cases) {
    SCOPED_TRACE("format " + std::to_string(c.format) + " strength " + std::to_string(c.strength));
    Ref src = Row(c.format, {c.in});
    Ref out = Apply(fx, src, c.strength);
    ASSERT_TRUE(out);
    EXPECT_EQ(Error(fx), 0);
    EXPECT_EQ(RgbAt(out, 0), c.out);
    host().Call<void>(fx.get(), kApplyInPlace, src.get(), c.strength);
    EXPECT_EQ(RgbAt(src, 0), c.out);
  }
}

TEST_F(SepiaTest, DefaultStrengthIsStoredAndUsedByTheParameterlessForms) {
  Ref fx = NewEffect();
  EXPECT_EQ(host().GetSingle(fx.get(), "SepiaValue"), 0.3f);
  Ref src = Row(host::kRGB8, {{255, 255, 255}, {200, 100, 50}});
  Ref out(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
  ASSERT_TRUE(out);
  EXPECT_EQ(RgbAt(out, 0), (Rgb{255, 248, 229}));
  EXPECT_EQ(RgbAt(out, 1), (Rgb{145, 117, 98}));

  ASSERT_TRUE(host().SetProperty(fx.get(), "SepiaValue", 1.0f));
  Ref strong(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
  EXPECT_EQ(RgbAt(strong, 0), (Rgb{255, 240, 194}));
}

TEST_F(SepiaTest, ValueTakingFormsLeaveTheStoredStrengthAlone) {
  Ref fx = NewEffect();
  Ref src = Row(host::kRGB8, {{0, 0, 0}});
  Ref out = Apply(fx, src, 1.0f);
  EXPECT_EQ(RgbAt(out, 0), (Rgb{52, 0, 0}));
  host().Call<void>(fx.get(), kApplyInPlace, src.get(), 0.8f);
  // Level 0.8 * 45 + 10 = 46; black gives trunc(46 * 0.956) = 43.
  EXPECT_EQ(RgbAt(src, 0), (Rgb{43, 0, 0}));
  EXPECT_EQ(host().GetSingle(fx.get(), "SepiaValue"), 0.3f);
}

TEST_F(SepiaTest, AlphaIsCopiedAndMaskFullyKeepsTheSource) {
  Ref fx = NewEffect();
  Ref src = Bitmap(2, 1, host::kRGBA8);
  RawBitmap& s = Rec(src);
  const uint8_t pixels[] = {200, 100, 50, 77, 10, 20, 30, 40};
  std::memcpy(s.pixelData, pixels, sizeof pixels);
  Ref mask = t::MaskWithValues(host(), 2, 1, std::vector<uint8_t>{255, 0});
  ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
  Ref out = Apply(fx, src, 0.3f);
  ASSERT_TRUE(out);
  const RawBitmap& d = Rec(out);
  // m = 255 keeps (c * 255) >> 8 of every source channel.
  EXPECT_EQ(d.pixelData[0], (200 * 255) >> 8);
  EXPECT_EQ(d.pixelData[1], (100 * 255) >> 8);
  EXPECT_EQ(d.pixelData[2], (50 * 255) >> 8);
  EXPECT_EQ(d.pixelData[3], 77);
  EXPECT_EQ(d.pixelData[7], 40);
  Ref held(host(), host().GetObject(fx.get(), "Mask"));
  EXPECT_EQ(held.get(), mask.get());
}

// -- Random images against the reference ------------------------------------------

enum class Mode { kNew, kInPlace };

TEST_F(SepiaTest, RandomImagesMatchTheReferenceInEveryFormatModeAndThreadCount) {
  const int64_t w = 13, h = 21;
  std::vector<int64_t> formats = t::FormatsWithDepth(8);
  const std::vector<int64_t> formats16 = t::FormatsWithDepth(16);
  formats.insert(formats.end(), formats16.begin(), formats16.end());
  uint64_t seed = 100;
  for (int64_t format : formats) {
    if (format >= 13 && format <= 16) continue;  // refused, tested below
    for (bool masked : {false, true}) {
      for (Mode mode : {Mode::kNew, Mode::kInPlace}) {
        for (int64_t threads = 1; threads <= 8; ++threads) {
          ++seed;
          SCOPED_TRACE("format " + std::to_string(format) + " masked " + std::to_string(masked) +
                       " in place " + std::to_string(mode == Mode::kInPlace) + " threads " +
                       std::to_string(threads));
          const float strength = static_cast<float>(seed % 101) / 100.0f;
          Ref fx = NewEffect();
          ASSERT_TRUE(host().SetProperty(fx.get(), "MultiprocessingHint", threads));
          Ref src = t::RandomBitmap(host(), w, h, format, 0, seed);
          ASSERT_TRUE(src);
          const RawBitmap& s = Rec(src);
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
          const Pixels before = PixelsOf(s);
          if (mode == Mode::kNew) {
            Ref out = Apply(fx, src, strength);
            ASSERT_TRUE(out) << Error(fx);
            const RawBitmap& d = Rec(out);
            Pixels expected = ZeroPixelsLike(d);
            SepiaReference(before, s, d, strength, true, maskValues, &expected);
            EXPECT_TRUE(t::SamePixels(expected.bytes, d));
            EXPECT_EQ(host::ReadPixels(s), before.bytes) << "source changed";
          } else {
            const t::OutsideBytes outside = t::Snapshot(s);
            host().Call<void>(fx.get(), kApplyInPlace, src.get(), strength);
            EXPECT_EQ(Error(fx), 0);
            Pixels expected = before;
            SepiaReference(before, s, s, strength, false, maskValues, &expected);
            EXPECT_TRUE(t::SamePixels(expected.bytes, s));
            EXPECT_TRUE(t::OutsideUnchanged(s, outside));
          }
        }
      }
    }
  }
}

// -- Gray sources -----------------------------------------------------------------

struct PromotionCase {
  int64_t source;
  int64_t destination;
};

TEST_F(SepiaTest, GraySourcesArePromotedToColour) {
  const PromotionCase cases[] = {{host::kGray8, host::kRGB8},
                                 {host::kGrayAlpha8, host::kRGBA8},
                                 {host::kGray16, host::kRGBA16},
                                 {host::kGrayAlpha16, host::kRGBA16}};
  for (const PromotionCase& c : cases) {
    for (bool masked : {false, true}) {
      SCOPED_TRACE("format " + std::to_string(c.source) + " masked " + std::to_string(masked));
      Ref fx = NewEffect();
      Ref src = t::RandomBitmap(host(), 9, 17, c.source, 0, 7 + c.source);
      const RawBitmap& s = Rec(src);
      std::vector<uint32_t> maskValues;
      Ref mask;
      if (masked) {
        auto v = t::RandomMaskValues16(9, 17, 3);
        if (s.bitsPerChannel == 8) {
          std::vector<uint8_t> v8(v.size());
          for (size_t i = 0; i < v.size(); ++i) v8[i] = static_cast<uint8_t>(v[i] >> 8);
          maskValues.assign(v8.begin(), v8.end());
          mask = t::MaskWithValues(host(), 9, 17, v8);
        } else {
          maskValues.assign(v.begin(), v.end());
          mask = t::MaskWithValues(host(), 9, 17, v);
        }
        ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
      }
      Ref out = Apply(fx, src, 0.5f);
      ASSERT_TRUE(out);
      const RawBitmap& d = Rec(out);
      EXPECT_EQ(d.imageFormat, c.destination);
      Pixels expected = ZeroPixelsLike(d);
      SepiaReference(PixelsOf(s), s, d, 0.5f, true, maskValues, &expected);
      EXPECT_TRUE(t::SamePixels(expected.bytes, d));
    }
  }
}

TEST_F(SepiaTest, GrayPixelGetsTheTintedGrayInAllThreeChannels) {
  Ref fx = NewEffect();
  Ref src = Bitmap(1, 1, host::kGray8);
  Rec(src).pixelData[0] = 255;
  Ref out = Apply(fx, src, 0.3f);
  ASSERT_TRUE(out);
  EXPECT_EQ(Rec(out).imageFormat, host::kRGB8);
  EXPECT_EQ(RgbAt(out, 0), (Rgb{255, 248, 229}));
}

TEST_F(SepiaTest, GrayInPlaceWorksOnTheSourcesOwnOffsets) {
  Ref fx = NewEffect();
  Ref src = t::RandomBitmap(host(), 8, 20, host::kGrayAlpha8, 0, 5);
  RawBitmap& s = Rec(src);
  const Pixels before = PixelsOf(s);
  host().Call<void>(fx.get(), kApplyInPlace, src.get(), 0.2f);
  EXPECT_EQ(Error(fx), 0);
  EXPECT_EQ(s.imageFormat, host::kGrayAlpha8);
  Pixels expected = before;
  SepiaReference(before, s, s, 0.2f, false, {}, &expected);
  EXPECT_TRUE(t::SamePixels(expected.bytes, s));
}

// -- Refusals -----------------------------------------------------------------------

TEST_F(SepiaTest, StrengthOutsideZeroToOneIsRefused) {
  struct Case {
    float strength;
    int64_t error;
  };
  const Case cases[] = {{-0.01f, 4},
                        {std::nextafter(1.0f, 2.0f), 4},
                        {-std::numeric_limits<float>::min(), 4},
                        {5.0f, 4},
                        {0.0f, 0},
                        {1.0f, 0},
                        {std::numeric_limits<float>::quiet_NaN(), 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.strength);
    Ref fx = NewEffect();
    Ref src = Row(host::kRGB8, {{0, 0, 0}});
    Ref out = Apply(fx, src, c.strength);
    EXPECT_EQ(Error(fx), c.error);
    EXPECT_EQ(static_cast<bool>(out), c.error == 0);
    host().Call<void>(fx.get(), kApplyInPlace, src.get(), c.strength);
    EXPECT_EQ(Error(fx), c.error);
    ASSERT_TRUE(host().SetProperty(fx.get(), "SepiaValue", c.strength));
    Ref stored(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
    EXPECT_EQ(Error(fx), c.error);
    if (c.error != 0) {
      host().Call<void>(fx.get(), kApplyAsync, src.get(), src.get(), CompletionMethod());
      EXPECT_EQ(Error(fx), c.error);
      EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
      host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), src.get(), CompletionMethod());
      EXPECT_EQ(Error(fx), c.error);
      EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
    }
  }
  // A NaN strength scales to level 0: black becomes trunc(0 * 0.956) = 0.
  Ref fx = NewEffect();
  Ref src = Row(host::kRGB8, {{0, 0, 0}});
  Ref out = Apply(fx, src, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(RgbAt(out, 0), (Rgb{0, 0, 0}));
}

TEST_F(SepiaTest, EveryFormRefusesAnEmptySource) {
  Ref fx = NewEffect();
  const Object none = nullptr;
  Ref out(host(), host().Call<Object>(fx.get(), kApplyValue, none, 0.5f));
  EXPECT_FALSE(out);
  EXPECT_EQ(Error(fx), 4);
  Ref stored(host(), host().Call<Object>(fx.get(), kApplyStored, none));
  EXPECT_FALSE(stored);
  EXPECT_EQ(Error(fx), 4);
  host().Call<void>(fx.get(), kApplyInPlace, none, 0.5f);
  EXPECT_EQ(Error(fx), 4);
  host().Call<void>(fx.get(), kApplyAsync, none, none, CompletionMethod());
  EXPECT_EQ(Error(fx), 4);
  host().Call<void>(fx.get(), kApplyInPlaceAsync, none, none, CompletionMethod());
  EXPECT_EQ(Error(fx), 4);
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
}

TEST_F(SepiaTest, FourColourImagesAreRefused) {
  for (int64_t format : {host::kCMYK8, host::kCMYKA8, host::kCMYK16, host::kCMYKA16}) {
    SCOPED_TRACE(format);
    Ref fx = NewEffect();
    Ref src = t::RandomBitmap(host(), 4, 4, format);
    const std::vector<uint8_t> before = host::ReadPixels(Rec(src));
    Ref out = Apply(fx, src, 0.5f);
    EXPECT_FALSE(out);
    EXPECT_EQ(Error(fx), 5);
    host().Call<void>(fx.get(), kApplyInPlace, src.get(), 0.5f);
    EXPECT_EQ(Error(fx), 5);
    host().Call<void>(fx.get(), kApplyAsync, src.get(), src.get(), CompletionMethod());
    EXPECT_EQ(Error(fx), 5);
    host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), src.get(), CompletionMethod());
    EXPECT_EQ(Error(fx), 5);
    EXPECT_EQ(host::ReadPixels(Rec(src)), before);
    EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  }
}

TEST_F(SepiaTest, OtherDepthsAreRefusedByEveryForm) {
  Ref fx = NewEffect();
  Ref src = Row(host::kRGB8, {{1, 2, 3}});
  RawBitmap& s = Rec(src);
  s.bitsPerChannel = 32;
  Ref out = Apply(fx, src, 0.5f);
  EXPECT_FALSE(out);
  EXPECT_EQ(Error(fx), 6);
  host().Call<void>(fx.get(), kApplyInPlace, src.get(), 0.5f);
  EXPECT_EQ(Error(fx), 6);
  host().Call<void>(fx.get(), kApplyAsync, src.get(), src.get(), CompletionMethod());
  EXPECT_EQ(Error(fx), 6);
  host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), src.get(), CompletionMethod());
  EXPECT_EQ(Error(fx), 6);
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  s.bitsPerChannel = 8;
  EXPECT_EQ(RgbAt(src, 0), (Rgb{1, 2, 3}));
  // The next good run clears the code.
  Ref good = Apply(fx, src, 0.5f);
  EXPECT_TRUE(good);
  EXPECT_EQ(Error(fx), 0);
}

// -- Asynchronous runs --------------------------------------------------------------

TEST_F(SepiaTest, AsyncRunsCompleteWithTheReferenceResult) {
  for (int64_t format : {host::kRGBA8, host::kRGB16, host::kGray8}) {
    for (bool inPlace : {false, true}) {
      SCOPED_TRACE("format " + std::to_string(format) + " in place " + std::to_string(inPlace));
      gCompletions = 0;
      Ref fx = NewEffect();
      ASSERT_TRUE(host().SetProperty(fx.get(), "SepiaValue", 0.7f));
      ASSERT_TRUE(host().SetProperty(fx.get(), "MultiprocessingHint", int64_t{3}));
      Ref src = t::RandomBitmap(host(), 31, 40, format, 0, 11);
      Ref target = Bitmap(1, 1, host::kGray8);
      const RawBitmap& s = Rec(src);
      const Pixels before = PixelsOf(s);
      host().Call<void>(fx.get(), inPlace ? kApplyInPlaceAsync : kApplyAsync, src.get(),
                        target.get(), CompletionMethod());
      ASSERT_EQ(Error(fx), 0);
      ASSERT_TRUE(host().RunLoop([] { return gCompletions > 0; }, 20.0));
      EXPECT_EQ(gCompletions, 1);
      EXPECT_EQ(gCompletedFilter, fx.get());
      EXPECT_EQ(gCompletedTarget, target.get());
      EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
      Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
      ASSERT_TRUE(result);
      const RawBitmap& d = Rec(result);
      if (inPlace) {
        EXPECT_EQ(result.get(), src.get());
        Pixels expected = before;
        SepiaReference(before, s, s, 0.7f, false, {}, &expected);
        EXPECT_TRUE(t::SamePixels(expected.bytes, d));
      } else {
        Pixels expected = ZeroPixelsLike(d);
        SepiaReference(before, s, d, 0.7f, true, {}, &expected);
        EXPECT_TRUE(t::SamePixels(expected.bytes, d));
      }
    }
  }
}

TEST_F(SepiaTest, AsyncRunCancelledEndsWithoutCompletion) {
  Ref fx = NewEffect();
  Ref src = t::RandomBitmap(host(), 64, 256, host::kRGBA8, 0, 3);
  Ref target = Bitmap(1, 1, host::kGray8);
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), CompletionMethod());
  ASSERT_EQ(Error(fx), 0);
  EXPECT_FALSE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  // A second start while running is refused and leaves the run alone.
  host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), target.get(), CompletionMethod());
  EXPECT_EQ(Error(fx), 10);
  host().Call<void>(fx.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  EXPECT_TRUE(host().GetBoolean(fx.get(), "Canceled"));
  host().PumpTasks();
  EXPECT_EQ(gCompletions, 0);
  Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
  EXPECT_TRUE(result);
}

TEST_F(SepiaTest, AsyncRunWithoutCompletionTargetEndsSilentlyAfterTheScriptDropsTheFilter) {
  Ref src = t::RandomBitmap(host(), 64, 128, host::kRGB16, 0, 9);
  {
    Ref fx = NewEffect();
    host().Call<void>(fx.get(), kApplyAsync, src.get(), Object{nullptr}, nullptr);
    ASSERT_EQ(Error(fx), 0);
  }
  // The run keeps the filter alive until its poll ends it.
  EXPECT_TRUE(host().RunLoop([this] { return host().TaskCount() == 0; }, 20.0));
  EXPECT_EQ(gCompletions, 0);
  EXPECT_EQ(host().LiveObjects(), 1u);  // only the source is left
}

}  // namespace

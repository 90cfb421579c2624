// ColorFilterEffectRaw and TintAndTemperatureEffectRaw driven through the
// host like a script: the worked levels, the tint and temperature controls,
// a plain reference on random images of every format and depth, gray
// sources, masks, thread counts, refusals and asynchronous runs.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/effect_checks.h"
#include "support/images.h"
#include "support/plugin_fixture.h"
#include "support/progress.h"

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

constexpr const char* kApplyValues =
    "Apply(source as RawBitmap,red as Single, green as Single, blue as Single) as RawBitmap";
constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyInPlaceValues =
    "ApplyInPlace(source as RawBitmap, red as Single, green as Single, blue as Single)";
constexpr const char* kApplyInPlaceStored = "ApplyInPlace(source as RawBitmap)";
constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
constexpr const char* kApplyInPlaceAsync =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

// -- Plain reference ------------------------------------------------------------------



// Channel units of a value in -1..1 (never NaN here).
int32_t Level(float value, int bits) {
  return static_cast<int32_t>(value * (bits == 16 ? 65535.0f : 255.0f));
}

uint32_t Filtered(int32_t level, uint32_t s, uint32_t m, int bits) {
  const int32_t top = bits == 16 ? 65535 : 255;
  int32_t e = level + static_cast<int32_t>(s);
  e = e > top ? top : (e < 0 ? 0 : e);
  if (m == 0) return static_cast<uint32_t>(e);
  const uint32_t ue = static_cast<uint32_t>(e);
  return bits == 16 ? (s * m + ue * (65535u - m)) >> 16 : (s * m + ue * (255u - m)) >> 8;
}

struct Rgbf {
  float red, green, blue;
};

void ColorFilterReference(const Pixels& in, const RawBitmap& src, const RawBitmap& dst, Rgbf v,
                          const std::vector<uint32_t>& mask, Pixels* out) {
  const int bits = src.bitsPerChannel;
  const bool gray = src.channelCount <= 2;
  const int ro = src.redOffset;
  const int go = gray ? src.redOffset : src.greenOffset;
  const int bo = gray ? src.redOffset : src.blueOffset;
  const int32_t lr = Level(v.red, bits), lg = Level(v.green, bits), lb = Level(v.blue, bits);
  for (int64_t y = 0; y < src.height; ++y) {
    for (int64_t x = 0; x < src.width; ++x) {
      const uint32_t m = mask.empty() ? 0 : mask[static_cast<size_t>(y * src.width + x)];
      const uint32_t s1 = in.Get(x, y, ro), s2 = in.Get(x, y, go), s3 = in.Get(x, y, bo);
      const uint32_t alpha = dst.hasAlpha ? in.Get(x, y, src.alphaOffset) : 0;
      out->Set(x, y, dst.redOffset, Filtered(lr, s1, m, bits));
      out->Set(x, y, dst.greenOffset, Filtered(lg, s2, m, bits));
      out->Set(x, y, dst.blueOffset, Filtered(lb, s3, m, bits));
      if (dst.hasAlpha) out->Set(x, y, dst.alphaOffset, alpha);
    }
  }
}

// -- Registration record ----------------------------------------------------------



// -- Fixture ----------------------------------------------------------------------------

using Rgb = std::vector<uint32_t>;

class ColorFilterTest : public t::PluginTest {
 protected:
  Ref NewFilter() { return Ref(host(), host().New("ColorFilterEffectRaw")); }
  Ref NewTint() { return Ref(host(), host().New("TintAndTemperatureEffectRaw")); }
  Ref Bitmap(int64_t w, int64_t h, int64_t format) {
    return Ref(host(), host::CreateBitmap(host(), w, h, format));
  }
  RawBitmap& Rec(const Ref& bitmap) { return *host::BitmapRecord(host(), bitmap.get()); }
  int64_t Error(const Ref& fx) { return host().GetInteger(fx.get(), "ErrorCode"); }
  Ref Apply(const Ref& fx, const Ref& src, Rgbf v) {
    return Ref(host(),
               host().Call<Object>(fx.get(), kApplyValues, src.get(), v.red, v.green, v.blue));
  }
  Ref ApplyStored(const Ref& fx, const Ref& src) {
    return Ref(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
  }
  void SetRgb(const Ref& fx, Rgbf v) {
    ASSERT_TRUE(host().SetProperty(fx.get(), "Red", v.red));
    ASSERT_TRUE(host().SetProperty(fx.get(), "Green", v.green));
    ASSERT_TRUE(host().SetProperty(fx.get(), "Blue", v.blue));
  }
  Ref Row(int64_t format, const std::vector<Rgb>& colours) {
    Ref bitmap = Bitmap(static_cast<int64_t>(colours.size()), 1, format);
    RawBitmap& r = Rec(bitmap);
    for (size_t i = 0; i < colours.size(); ++i) {
      t::SetSample(r, i, 0, r.redOffset, colours[i][0]);
      t::SetSample(r, i, 0, r.greenOffset, colours[i][1]);
      t::SetSample(r, i, 0, r.blueOffset, colours[i][2]);
    }
    return bitmap;
  }
  Rgb RgbAt(const Ref& bitmap, int64_t x) {
    const RawBitmap& r = Rec(bitmap);
    return {t::Sample(r, x, 0, r.redOffset), t::Sample(r, x, 0, r.greenOffset),
            t::Sample(r, x, 0, r.blueOffset)};
  }
  Ref MaskFor(const RawBitmap& s, uint64_t seed, std::vector<uint32_t>* values) {
    if (s.bitsPerChannel == 16) {
      auto v = t::RandomMaskValues16(s.width, s.height, seed);
      values->assign(v.begin(), v.end());
      return t::MaskWithValues(host(), s.width, s.height, v);
    }
    auto v = t::RandomMaskValues8(s.width, s.height, seed);
    values->assign(v.begin(), v.end());
    return t::MaskWithValues(host(), s.width, s.height, v);
  }
};

TEST_F(ColorFilterTest, RegistrationRecords) {
  const host::ClassInfo* filter = host().FindClass("ColorFilterEffectRaw");
  const host::ClassInfo* tint = host().FindClass("TintAndTemperatureEffectRaw");
  ExpectRecord(
      filter, "ColorFilterEffectRaw", 32, "IRawBitmapProcessor",
      {{"Mask", "RawBitmapMask"}, {"Red", "Single"}, {"Green", "Single"}, {"Blue", "Single"}},
      {kApplyValues, kApplyStored, kApplyInPlaceValues, kApplyInPlaceStored, kApplyAsync,
       kApplyInPlaceAsync});
  ExpectRecord(tint, "TintAndTemperatureEffectRaw", 32,
               "IRawBitmapProcessor, IRawBitmapProcessorAsync",
               {{"Mask", "RawBitmapMask"}, {"Tint", "Single"}, {"Temperature", "Single"}},
               {kApplyStored, kApplyInPlaceStored, kApplyAsync, kApplyInPlaceAsync});
  ASSERT_TRUE(filter != nullptr && tint != nullptr);
  const ZARKclassDefinition& f = *filter->definition;
  const ZARKclassDefinition& k = *tint->definition;
  // Red, Green and Blue are fields served by the host at offsets 0, 4 and 8.
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(f.properties[i].getter, ZARK_STANDARD_ACCESSOR);
    EXPECT_EQ(f.properties[i].setter, ZARK_STANDARD_ACCESSOR);
    EXPECT_EQ(f.properties[i].parameter, (i - 1) * 4);
  }
  // Both classes share one implementation and sit at the same data offset.
  EXPECT_EQ(filter->dataOffset, tint->dataOffset);
  EXPECT_EQ(k.constructor, f.constructor);
  EXPECT_EQ(k.destructor, f.destructor);
  EXPECT_EQ(k.properties[0].getter, f.properties[0].getter);
  EXPECT_EQ(k.properties[0].setter, f.properties[0].setter);
  EXPECT_EQ(k.methods[0].function, f.methods[1].function);
  EXPECT_EQ(k.methods[1].function, f.methods[3].function);
  EXPECT_EQ(k.methods[2].function, f.methods[4].function);
  EXPECT_EQ(k.methods[3].function, f.methods[5].function);
}

// -- Worked values --------------------------------------------------------------------------

struct LevelCase {
  float value;
  int32_t level8;
  int32_t level16;
};

TEST_F(ColorFilterTest, ValuesScaleToTheStatedChannelLevels) {
  const LevelCase cases[] = {{1.0f, 255, 65535}, {0.5f, 127, 32767},    {0.25f, 63, 16383},
                             {0.1f, 25, 6553},   {-0.5f, -127, -32767}, {-1.0f, -255, -65535}};
  Ref fx = NewFilter();
  for (const LevelCase& c : cases) {
    SCOPED_TRACE(c.value);
    // A source at the far end of the range shows the whole level.
    const uint32_t from8 = c.level8 < 0 ? 255 : 0;
    const uint32_t from16 = c.level16 < 0 ? 65535 : 0;
    Ref src8 = Row(host::kRGB8, {{from8, from8, from8}});
    Ref out8 = Apply(fx, src8, {c.value, c.value, c.value});
    const uint32_t e8 = static_cast<uint32_t>(static_cast<int32_t>(from8) + c.level8);
    EXPECT_EQ(RgbAt(out8, 0), (Rgb{e8, e8, e8}));
    Ref src16 = Row(host::kRGBA16, {{from16, from16, from16}});
    Ref out16 = Apply(fx, src16, {c.value, 0.0f, c.value});
    const uint32_t e16 = static_cast<uint32_t>(static_cast<int32_t>(from16) + c.level16);
    EXPECT_EQ(RgbAt(out16, 0), (Rgb{e16, from16, e16}));
  }
}

struct WorkedCase {
  Rgbf values;
  Rgb in;
  Rgb out;
};

TEST_F(ColorFilterTest, SumsAreLimitedToTheChannelRange) {
  const WorkedCase cases[] = {
      {{0.5f, 0.0f, 0.0f}, {200, 1, 2}, {255, 1, 2}},
      {{0.5f, 0.0f, 0.0f}, {100, 1, 2}, {227, 1, 2}},
      {{-0.5f, 0.0f, 0.0f}, {100, 1, 2}, {0, 1, 2}},
      {{-0.5f, 0.0f, 0.0f}, {200, 1, 2}, {73, 1, 2}},
      {{0.0f, 0.0f, 0.0f}, {17, 99, 254}, {17, 99, 254}},
      {{0.0f, -1.0f, 1.0f}, {17, 99, 254}, {17, 0, 255}},
  };
  for (int64_t format : {host::kRGB8, host::kBGRA8, host::kXBGR8}) {
    for (const WorkedCase& c : cases) {
      SCOPED_TRACE("format " + std::to_string(format));
      Ref fx = NewFilter();
      Ref src = Row(format, {c.in});
      Ref out = Apply(fx, src, c.values);
      ASSERT_TRUE(out);
      EXPECT_EQ(RgbAt(out, 0), c.out);
      SetRgb(fx, c.values);
      Ref stored = ApplyStored(fx, src);
      EXPECT_EQ(RgbAt(stored, 0), c.out);
      host().Call<void>(fx.get(), kApplyInPlaceValues, src.get(), c.values.red, c.values.green,
                        c.values.blue);
      EXPECT_EQ(RgbAt(src, 0), c.out);
    }
  }
}

TEST_F(ColorFilterTest, ValueTakingFormsLeaveThePropertiesAlone) {
  Ref fx = NewFilter();
  EXPECT_EQ(host().GetSingle(fx.get(), "Red"), 0.0f);
  EXPECT_EQ(host().GetSingle(fx.get(), "Green"), 0.0f);
  EXPECT_EQ(host().GetSingle(fx.get(), "Blue"), 0.0f);
  Ref src = Row(host::kRGB8, {{10, 20, 30}});
  Ref out = Apply(fx, src, {0.1f, 0.1f, 0.1f});
  EXPECT_EQ(RgbAt(out, 0), (Rgb{35, 45, 55}));
  host().Call<void>(fx.get(), kApplyInPlaceValues, src.get(), 0.1f, 0.0f, 0.0f);
  EXPECT_EQ(RgbAt(src, 0), (Rgb{35, 20, 30}));
  EXPECT_EQ(host().GetSingle(fx.get(), "Red"), 0.0f);
  host().Call<void>(fx.get(), kApplyInPlaceStored, src.get());
  EXPECT_EQ(RgbAt(src, 0), (Rgb{35, 20, 30}));
  SetRgb(fx, {0.0f, 0.1f, 0.0f});
  EXPECT_EQ(host().GetSingle(fx.get(), "Green"), 0.1f);
  host().Call<void>(fx.get(), kApplyInPlaceStored, src.get());
  EXPECT_EQ(RgbAt(src, 0), (Rgb{35, 45, 30}));
}

TEST_F(ColorFilterTest, MaskMixesTheSourceBack) {
  Ref fx = NewTint();
  ASSERT_TRUE(host().SetProperty(fx.get(), "Temperature", 1.0f));
  Ref mask = t::MaskWithValues(host(), 2, 1, std::vector<uint8_t>{128, 255});
  ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
  Ref src = Row(host::kRGBA8, {{100, 100, 100}, {200, 100, 150}});
  RawBitmap& s = Rec(src);
  s.pixelData[3] = 61;
  s.pixelData[7] = 62;
  Ref out = ApplyStored(fx, src);
  ASSERT_TRUE(out);
  // Red: e = 200, (100 * 128 + 200 * 127) >> 8 = 149; blue: e = 0.
  EXPECT_EQ(RgbAt(out, 0), (Rgb{149, (100 * 128 + 100 * 127) >> 8, (100 * 128) >> 8}));
  EXPECT_EQ(RgbAt(out, 1), (Rgb{(200 * 255) >> 8, (100 * 255) >> 8, (150 * 255) >> 8}));
  EXPECT_EQ(Rec(out).pixelData[3], 61);
  EXPECT_EQ(Rec(out).pixelData[7], 62);
  Ref held(host(), host().GetObject(fx.get(), "Mask"));
  EXPECT_EQ(held.get(), mask.get());
}

// -- Tint and temperature --------------------------------------------------------------------

struct ControlCase {
  const char* property;
  float value;
  float stored;
  Rgb in8, out8, in16, out16;
};

TEST_F(ColorFilterTest, TintAndTemperatureMoveTheirChannels) {
  const ControlCase cases[] = {
      {"Temperature",
       1.0f,
       1.0f,
       {100, 100, 100},
       {200, 100, 0},
       {30000, 30000, 30000},
       {55700, 30000, 4300}},
      {"Temperature",
       0.5f,
       0.5f,
       {100, 100, 100},
       {150, 100, 50},
       {30000, 30000, 30000},
       {42850, 30000, 17150}},
      {"Temperature",
       3.0f,
       1.0f,
       {100, 100, 100},
       {200, 100, 0},
       {30000, 30000, 30000},
       {55700, 30000, 4300}},
      {"Temperature",
       -3.0f,
       -1.0f,
       {100, 100, 100},
       {0, 100, 200},
       {30000, 30000, 30000},
       {4300, 30000, 55700}},
      {"Tint",
       1.0f,
       1.0f,
       {100, 100, 100},
       {100, 200, 100},
       {30000, 30000, 30000},
       {30000, 55700, 30000}},
      {"Tint",
       -0.25f,
       -0.25f,
       {100, 100, 100},
       {100, 75, 100},
       {30000, 30000, 30000},
       {30000, 23575, 30000}},
      {"Tint",
       7.0f,
       1.0f,
       {100, 100, 100},
       {100, 200, 100},
       {30000, 30000, 30000},
       {30000, 55700, 30000}},
  };
  for (const ControlCase& c : cases) {
    SCOPED_TRACE(std::string(c.property) + " " + std::to_string(c.value));
    Ref fx = NewTint();
    ASSERT_TRUE(host().SetProperty(fx.get(), c.property, c.value));
    EXPECT_EQ(host().GetSingle(fx.get(), c.property), c.stored);
    Ref src8 = Row(host::kRGB8, {c.in8});
    Ref out8 = ApplyStored(fx, src8);
    ASSERT_TRUE(out8);
    EXPECT_EQ(RgbAt(out8, 0), c.out8);
    Ref src16 = Row(host::kRGBA16, {c.in16});
    host().Call<void>(fx.get(), kApplyInPlaceStored, src16.get());
    EXPECT_EQ(RgbAt(src16, 0), c.out16);
  }
}

TEST_F(ColorFilterTest, TemperatureAndTintKeepEachOthersChannels) {
  Ref fx = NewTint();
  ASSERT_TRUE(host().SetProperty(fx.get(), "Tint", 1.0f));
  ASSERT_TRUE(host().SetProperty(fx.get(), "Temperature", 0.5f));
  Ref src = Row(host::kRGB8, {{100, 100, 100}});
  EXPECT_EQ(RgbAt(ApplyStored(fx, src), 0), (Rgb{150, 200, 50}));
  ASSERT_TRUE(host().SetProperty(fx.get(), "Tint", -0.25f));
  EXPECT_EQ(RgbAt(ApplyStored(fx, src), 0), (Rgb{150, 75, 50}));
  EXPECT_EQ(host().GetSingle(fx.get(), "Temperature"), 0.5f);
  EXPECT_EQ(host().GetSingle(fx.get(), "Tint"), -0.25f);
}

TEST_F(ColorFilterTest, TintClassShowsOnlyItsOwnProperties) {
  Ref fx = NewTint();
  EXPECT_EQ(host().FindProperty(fx.get(), "Red"), nullptr);
  EXPECT_EQ(host().FindProperty(fx.get(), "Green"), nullptr);
  EXPECT_EQ(host().FindProperty(fx.get(), "Blue"), nullptr);
  EXPECT_NE(host().FindProperty(fx.get(), "Mask"), nullptr);
  EXPECT_EQ(host().FindMethod(fx.get(), kApplyValues), nullptr);
  EXPECT_EQ(host().FindMethod(fx.get(), kApplyInPlaceValues), nullptr);
  // A fresh instance filters nothing.
  Ref src = t::RandomBitmap(host(), 5, 5, host::kRGBA8, 0, 3);
  Ref out = ApplyStored(fx, src);
  ASSERT_TRUE(out);
  EXPECT_TRUE(t::SamePixels(host::ReadPixels(Rec(src)), Rec(out)));
}

// -- Random images against the reference --------------------------------------------------

TEST_F(ColorFilterTest, RandomImagesMatchTheReferenceInEveryFormatModeAndThreadCount) {
  const int64_t w = 12, h = 19;
  std::vector<int64_t> formats = t::FormatsWithDepth(8);
  const std::vector<int64_t> formats16 = t::FormatsWithDepth(16);
  formats.insert(formats.end(), formats16.begin(), formats16.end());
  uint64_t seed = 900;
  for (int64_t format : formats) {
    if (format >= 13 && format <= 16) continue;  // refused, tested below
    for (bool masked : {false, true}) {
      for (bool inPlace : {false, true}) {
        for (int64_t threads = 1; threads <= 8; ++threads) {
          ++seed;
          SCOPED_TRACE("format " + std::to_string(format) + " masked " + std::to_string(masked) +
                       " in place " + std::to_string(inPlace) + " threads " +
                       std::to_string(threads));
          const Rgbf v{static_cast<float>(static_cast<int>(seed % 201) - 100) / 100.0f,
                       static_cast<float>(static_cast<int>(seed * 7 % 201) - 100) / 100.0f,
                       static_cast<float>(static_cast<int>(seed * 13 % 201) - 100) / 100.0f};
          Ref fx = seed % 2 == 0 ? NewFilter() : NewTint();
          ASSERT_TRUE(host().SetProperty(fx.get(), "MultiprocessingHint", threads));
          Ref src = t::RandomBitmap(host(), w, h, format, 0, seed);
          ASSERT_TRUE(src);
          RawBitmap& s = Rec(src);
          std::vector<uint32_t> maskValues;
          Ref mask;
          if (masked) {
            mask = MaskFor(s, seed, &maskValues);
            ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
          }
          const Pixels before = PixelsOf(s);
          const bool gray = s.channelCount <= 2;
          if (inPlace && gray) {
            // A gray source cannot be filtered in place.
            host().Call<void>(fx.get(), kApplyInPlaceStored, src.get());
            EXPECT_EQ(Error(fx), 4);
            EXPECT_EQ(host::ReadPixels(s), before.bytes);
            continue;
          }
          // The tint class is driven through its controls, which set the shared
          // Red, Green and Blue fields to (control * 100) / 255.
          const bool tint = seed % 2 != 0;
          Rgbf used = v;
          if (tint) {
            ASSERT_TRUE(host().SetProperty(fx.get(), "Temperature", v.red));
            ASSERT_TRUE(host().SetProperty(fx.get(), "Tint", v.green));
            const float red = (v.red * 100.0f) / 255.0f;
            used = {red, (v.green * 100.0f) / 255.0f, -red};
          }
          Ref out;
          if (inPlace && tint) {
            host().Call<void>(fx.get(), kApplyInPlaceStored, src.get());
          } else if (inPlace) {
            host().Call<void>(fx.get(), kApplyInPlaceValues, src.get(), v.red, v.green, v.blue);
          } else {
            out = tint ? ApplyStored(fx, src) : Apply(fx, src, v);
          }
          EXPECT_EQ(Error(fx), 0);
          if (inPlace) {
            Pixels expected = before;
            ColorFilterReference(before, s, s, used, maskValues, &expected);
            EXPECT_TRUE(t::SamePixels(expected.bytes, s));
          } else {
            ASSERT_TRUE(out);
            const RawBitmap& d = Rec(out);
            EXPECT_EQ(d.imageFormat, format);
            Pixels expected = ZeroPixelsLike(d);
            ColorFilterReference(before, s, d, used, maskValues, &expected);
            EXPECT_TRUE(t::SamePixels(expected.bytes, d));
            EXPECT_EQ(host::ReadPixels(s), before.bytes);
          }
        }
      }
    }
  }
}

TEST_F(ColorFilterTest, GraySourceIsReadForAllThreeChannelsIntoAGrayDestination) {
  Ref fx = NewFilter();
  Ref src = Bitmap(1, 1, host::kGray8);
  Rec(src).pixelData[0] = 100;
  Ref out = Apply(fx, src, {0.5f, 0.0f, -0.2f});
  ASSERT_TRUE(out);
  EXPECT_EQ(Rec(out).imageFormat, host::kGray8);
  // Red, green and blue all land on the one gray sample; blue is written last.
  EXPECT_EQ(Rec(out).pixelData[0], 100 - 51);
}

// -- Refusals ----------------------------------------------------------------------------------

TEST_F(ColorFilterTest, ValuesOutsideMinusOneToOneAreRefused) {
  const float above = std::nextafter(1.0f, 2.0f);
  const float below = std::nextafter(-1.0f, -2.0f);
  struct Case {
    Rgbf values;
    int64_t error;
  };
  const Case cases[] = {
      {{above, 0, 0}, 4},       {{0, above, 0}, 4},
      {{0, 0, above}, 4},       {{below, 0, 0}, 4},
      {{0, below, 0}, 4},       {{0, 0, below}, 4},
      {{1.0f, -1.0f, 1.0f}, 0}, {{std::numeric_limits<float>::quiet_NaN(), 0, 0}, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.values.red) + " " + std::to_string(c.values.green) + " " +
                 std::to_string(c.values.blue));
    Ref fx = NewFilter();
    Ref target = t::NewCompletionTarget(host());
    Ref src = Row(host::kRGB8, {{5, 6, 7}});
    Ref out = Apply(fx, src, c.values);
    EXPECT_EQ(Error(fx), c.error);
    EXPECT_EQ(static_cast<bool>(out), c.error == 0);
    host().Call<void>(fx.get(), kApplyInPlaceValues, src.get(), c.values.red, c.values.green,
                      c.values.blue);
    EXPECT_EQ(Error(fx), c.error);
    SetRgb(fx, c.values);
    Ref stored = ApplyStored(fx, src);
    EXPECT_EQ(Error(fx), c.error);
    host().Call<void>(fx.get(), kApplyInPlaceStored, src.get());
    EXPECT_EQ(Error(fx), c.error);
    if (c.error != 0) {
      EXPECT_EQ(RgbAt(src, 0), (Rgb{5, 6, 7}));
      host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), t::CompletionMethod());
      EXPECT_EQ(Error(fx), c.error);
      host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), target.get(),
                        t::CompletionMethod());
      EXPECT_EQ(Error(fx), c.error);
      EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
    }
  }
  // NaN scales to level 0.
  Ref fx = NewFilter();
  Ref src = Row(host::kRGB8, {{5, 6, 7}});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(RgbAt(Apply(fx, src, {nan, nan, nan}), 0), (Rgb{5, 6, 7}));
}

TEST_F(ColorFilterTest, EveryFormOfBothClassesRefusesAnEmptySource) {
  for (bool tint : {false, true}) {
    SCOPED_TRACE(tint);
    Ref fx = tint ? NewTint() : NewFilter();
    Ref target = t::NewCompletionTarget(host());
    const Object none = nullptr;
    if (!tint) {
      Ref out = Ref(host(), host().Call<Object>(fx.get(), kApplyValues, none, 0.f, 0.f, 0.f));
      EXPECT_FALSE(out);
      EXPECT_EQ(Error(fx), 4);
      host().Call<void>(fx.get(), kApplyInPlaceValues, none, 0.f, 0.f, 0.f);
      EXPECT_EQ(Error(fx), 4);
    }
    Ref stored(host(), host().Call<Object>(fx.get(), kApplyStored, none));
    EXPECT_FALSE(stored);
    EXPECT_EQ(Error(fx), 4);
    host().Call<void>(fx.get(), kApplyInPlaceStored, none);
    EXPECT_EQ(Error(fx), 4);
    host().Call<void>(fx.get(), kApplyAsync, none, target.get(), t::CompletionMethod());
    EXPECT_EQ(Error(fx), 4);
    host().Call<void>(fx.get(), kApplyInPlaceAsync, none, target.get(), t::CompletionMethod());
    EXPECT_EQ(Error(fx), 4);
    EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  }
}

TEST_F(ColorFilterTest, InPlaceFormsRefuseGraySources) {
  for (int64_t format : {host::kGray8, host::kGrayAlpha8, host::kGray16, host::kGrayAlpha16}) {
    for (bool tint : {false, true}) {
      SCOPED_TRACE("format " + std::to_string(format) + " tint " + std::to_string(tint));
      Ref fx = tint ? NewTint() : NewFilter();
      Ref target = t::NewCompletionTarget(host());
      Ref src = t::RandomBitmap(host(), 4, 4, format, 0, 1);
      const std::vector<uint8_t> before = host::ReadPixels(Rec(src));
      host().Call<void>(fx.get(), kApplyInPlaceStored, src.get());
      EXPECT_EQ(Error(fx), 4);
      host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), target.get(),
                        t::CompletionMethod());
      EXPECT_EQ(Error(fx), 4);
      EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
      EXPECT_EQ(host::ReadPixels(Rec(src)), before);
      Ref out = ApplyStored(fx, src);
      EXPECT_TRUE(out);
      EXPECT_EQ(Error(fx), 0);
    }
  }
}

TEST_F(ColorFilterTest, FourColourImagesAndOtherDepthsAreRefused) {
  struct Case {
    int64_t format;
    uint8_t depth;  // 0: as created
    int64_t error;
  };
  const Case cases[] = {{host::kCMYK8, 0, 5},   {host::kCMYKA8, 0, 5}, {host::kCMYK16, 0, 5},
                        {host::kCMYKA16, 0, 5}, {host::kRGB8, 32, 6},  {host::kRGBA8, 4, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE("format " + std::to_string(c.format) + " depth " + std::to_string(c.depth));
    Ref fx = NewFilter();
    Ref target = t::NewCompletionTarget(host());
    Ref src = t::RandomBitmap(host(), 4, 4, c.format, 0, 2);
    RawBitmap& s = Rec(src);
    const uint8_t depth = s.bitsPerChannel;
    const std::vector<uint8_t> before = host::ReadPixels(s);
    if (c.depth != 0) s.bitsPerChannel = c.depth;
    Ref out = ApplyStored(fx, src);
    EXPECT_FALSE(out);
    EXPECT_EQ(Error(fx), c.error);
    host().Call<void>(fx.get(), kApplyInPlaceStored, src.get());
    EXPECT_EQ(Error(fx), c.error);
    host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), t::CompletionMethod());
    EXPECT_EQ(Error(fx), c.error);
    host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), target.get(), t::CompletionMethod());
    EXPECT_EQ(Error(fx), c.error);
    EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
    s.bitsPerChannel = depth;
    EXPECT_EQ(host::ReadPixels(s), before);
  }
}

// -- Asynchronous runs ----------------------------------------------------------------------

TEST_F(ColorFilterTest, AsyncRunsOfBothClassesCompleteWithTheReferenceResult) {
  for (bool tint : {false, true}) {
    for (int64_t format : {host::kRGBA8, host::kRGB16, host::kGrayAlpha8}) {
      for (bool inPlace : {false, true}) {
        SCOPED_TRACE("tint " + std::to_string(tint) + " format " + std::to_string(format) +
                     " in place " + std::to_string(inPlace));
        Ref fx = tint ? NewTint() : NewFilter();
        Ref target = t::NewCompletionTarget(host());
        Rgbf used{0.3f, -0.6f, 0.9f};
        if (tint) {
          ASSERT_TRUE(host().SetProperty(fx.get(), "Temperature", -0.4f));
          ASSERT_TRUE(host().SetProperty(fx.get(), "Tint", 0.8f));
          const float red = (-0.4f * 100.0f) / 255.0f;
          used = {red, (0.8f * 100.0f) / 255.0f, -red};
        } else {
          SetRgb(fx, used);
        }
        ASSERT_TRUE(host().SetProperty(fx.get(), "MultiprocessingHint", int64_t{-1}));
        Ref src = t::RandomBitmap(host(), 23, 37, format, 0, 31);
        RawBitmap& s = Rec(src);
        std::vector<uint32_t> maskValues;
        Ref mask = MaskFor(s, 4, &maskValues);
        ASSERT_TRUE(host().SetProperty(fx.get(), "Mask", mask.get()));
        const Pixels before = PixelsOf(s);
        host().Call<void>(fx.get(), inPlace ? kApplyInPlaceAsync : kApplyAsync, src.get(),
                          target.get(), t::CompletionMethod());
        if (inPlace && s.channelCount <= 2) {
          EXPECT_EQ(Error(fx), 4);
          continue;
        }
        ASSERT_EQ(Error(fx), 0);
        EXPECT_FALSE(host().GetBoolean(fx.get(), "AsyncCompleted"));
        const t::CompletionLog& log = t::CompletionOf(target.get());
        ASSERT_TRUE(host().RunLoop([&] { return log.count > 0; }, 20.0));
        EXPECT_EQ(log.count, 1);
        EXPECT_EQ(log.lastFilter, fx.get());
        Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
        ASSERT_TRUE(result);
        const RawBitmap& d = Rec(result);
        Pixels expected = inPlace ? before : ZeroPixelsLike(d);
        ColorFilterReference(before, s, d, used, maskValues, &expected);
        EXPECT_TRUE(t::SamePixels(expected.bytes, d));
      }
    }
  }
}

TEST_F(ColorFilterTest, AsyncRunCancelledMakesNoCompletionCall) {
  for (bool tint : {false, true}) {
    Ref fx = tint ? NewTint() : NewFilter();
    Ref target = t::NewCompletionTarget(host());
    Ref src = t::RandomBitmap(host(), 64, 300, host::kRGB8, 0, 2);
    host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), t::CompletionMethod());
    ASSERT_EQ(Error(fx), 0);
    host().Call<void>(fx.get(), kApplyInPlaceAsync, src.get(), target.get(), t::CompletionMethod());
    EXPECT_EQ(Error(fx), 10);
    host().Call<void>(fx.get(), "Cancel()");
    EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
    EXPECT_TRUE(host().GetBoolean(fx.get(), "Canceled"));
    host().PumpTasks();
    EXPECT_EQ(t::CompletionOf(target.get()).count, 0);
  }
}

}  // namespace

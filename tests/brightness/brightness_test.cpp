// BrightnessEffectRaw through the host, against a plain reference of the
// effect written here.
#include <cmath>
#include <cstring>
#include <limits>

#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Object;
using host::Ref;

constexpr const char* kApply = "Apply(source as RawBitmap,value as Single) as RawBitmap";
constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyInPlace = "ApplyInPlace(source as RawBitmap, value as Single)";

// The reference: level = value x (255 or 65535) in single precision,
// truncated (NaN: 0); o + level clamped; mask mixed back by shifting.
int32_t ReferenceLevel(float value, int bits) {
  const float scaled = value * (bits == 16 ? 65535.0f : 255.0f);
  if (std::isnan(scaled)) return 0;
  return static_cast<int32_t>(std::trunc(scaled));
}

uint32_t ReferenceSample(uint32_t o, int32_t level, uint32_t m, int bits) {
  const int32_t top = bits == 16 ? 65535 : 255;
  int32_t e = static_cast<int32_t>(o) + level;
  e = e > top ? top : (e < 0 ? 0 : e);
  if (m == 0) return static_cast<uint32_t>(e);
  return (o * m + static_cast<uint32_t>(e) * (static_cast<uint32_t>(top) - m)) >>
         (bits == 16 ? 16 : 8);
}

// Packed result for a packed source (rows of width x bytesPerPixel bytes).
std::vector<uint8_t> Reference(const RawBitmap& format, const std::vector<uint8_t>& packed,
                               float value, const std::vector<uint32_t>& mask) {
  const int bits = format.bitsPerChannel;
  const int32_t level = ReferenceLevel(value, bits);
  std::vector<uint8_t> out = packed;
  const int64_t pixels = format.width * format.height;
  for (int64_t p = 0; p < pixels; ++p) {
    uint8_t* px = out.data() + p * format.bytesPerPixel;
    const uint32_t m = mask.empty() ? 0 : mask[p];
    if (bits == 8) {
      for (int i = 0; i < format.bytesPerPixel; ++i) {
        if (i != format.alphaOffset)
          px[i] = static_cast<uint8_t>(ReferenceSample(px[i], level, m, 8));
      }
    } else {
      for (int i = 0; i < format.channelCount; ++i) {
        if (i == format.alphaOffset / 2) continue;
        uint16_t s;
        std::memcpy(&s, px + 2 * i, 2);
        s = static_cast<uint16_t>(ReferenceSample(s, level, m, 16));
        std::memcpy(px + 2 * i, &s, 2);
      }
    }
  }
  return out;
}

class BrightnessTest : public PluginTest {
 protected:
  Ref NewEffect() { return Ref(host(), host().New("BrightnessEffectRaw")); }
  Ref Bitmap(int64_t w, int64_t h, int64_t format) {
    return Ref(host(), host::CreateBitmap(host(), w, h, format));
  }
  RawBitmap& Record(const Ref& bitmap) { return *host::BitmapRecord(host(), bitmap.get()); }
  Ref Apply(const Ref& effect, const Ref& source, float value) {
    return Ref(host(), host().Call<Object>(effect.get(), kApply, source.get(), value));
  }
  int64_t Error(const Ref& effect) { return host().GetInteger(effect.get(), "ErrorCode"); }
  void SetMask(const Ref& effect, const Ref& mask) {
    host().SetProperty(effect.get(), "Mask", host::Value(mask.get()));
  }
};

// One-pixel images: the levels of the stated examples, seen as o + L.
TEST_F(BrightnessTest, LevelsAndClampingOfSinglePixels) {
  struct Case {
    int64_t format;
    float value;
    uint32_t before;
    uint32_t after;
  };
  const Case cases[] = {
      {host::kRGB8, 1.0f, 0, 255},         {host::kRGB8, 0.5f, 0, 127},
      {host::kRGB8, -0.5f, 255, 128},      {host::kRGB8, 0.1f, 0, 25},
      {host::kRGB8, 0.003f, 7, 7},         {host::kRGB8, 0.1f, 250, 255},
      {host::kRGB8, -0.1f, 10, 0},         {host::kRGB8, -1.0f, 255, 0},
      {host::kRGB16, 1.0f, 0, 65535},      {host::kRGB16, 0.5f, 0, 32767},
      {host::kRGB16, -0.5f, 65535, 32768}, {host::kRGB16, 0.1f, 0, 6553},
      {host::kRGB16, 0.003f, 0, 196},      {host::kRGB16, 0.1f, 60000, 65535},
      {host::kRGB16, 0.0f, 1234, 1234},    {host::kRGB16, -1.0f, 1000, 0},
  };
  Ref effect = NewEffect();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << " value " << c.value);
    Ref source = Bitmap(1, 1, c.format);
    RawBitmap& s = Record(source);
    for (int offset : {s.redOffset, s.greenOffset, s.blueOffset})
      SetSample(s, 0, 0, offset, c.before);
    Ref result = Apply(effect, source, c.value);
    ASSERT_TRUE(result);
    EXPECT_EQ(Error(effect), 0);
    const RawBitmap& r = Record(result);
    for (int offset : {r.redOffset, r.greenOffset, r.blueOffset}) {
      EXPECT_EQ(Sample(r, 0, 0, offset), c.after);
    }
    EXPECT_EQ(Sample(s, 0, 0, s.redOffset), c.before) << "source changed";
  }
}

TEST_F(BrightnessTest, FullLevelsKeepAlpha) {
  Ref effect = NewEffect();
  Ref source = RandomBitmap(host(), 5, 3, host::kRGBA8, 0, 7);
  for (float value : {1.0f, -1.0f}) {
    Ref result = Apply(effect, source, value);
    ASSERT_TRUE(result);
    const RawBitmap& s = Record(source);
    const RawBitmap& r = Record(result);
    for (int64_t y = 0; y < 3; ++y) {
      for (int64_t x = 0; x < 5; ++x) {
        EXPECT_EQ(Sample8(r, x, y, r.redOffset), value > 0 ? 255 : 0);
        EXPECT_EQ(Sample8(r, x, y, r.blueOffset), value > 0 ? 255 : 0);
        EXPECT_EQ(Sample8(r, x, y, r.alphaOffset), Sample8(s, x, y, s.alphaOffset));
      }
    }
  }
}

TEST_F(BrightnessTest, ValueBoundsAndNaN) {
  struct Case {
    float value;
    int64_t error;
  };
  const float above = std::nextafter(1.0f, 2.0f);
  const Case cases[] = {{1.0f, 0},
                        {-1.0f, 0},
                        {above, 4},
                        {-above, 4},
                        {5.0f, 4},
                        {std::numeric_limits<float>::quiet_NaN(), 0},
                        {std::numeric_limits<float>::infinity(), 4}};
  Ref effect = NewEffect();
  Ref source = RandomBitmap(host(), 4, 4, host::kRGB8, 0, 3);
  const std::vector<uint8_t> before = host::ReadPixels(Record(source));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Ref result = Apply(effect, source, c.value);
    EXPECT_EQ(Error(effect), c.error);
    EXPECT_EQ(static_cast<bool>(result), c.error == 0);
    host().Call<void>(effect.get(), kApplyInPlace, source.get(), c.value);
    EXPECT_EQ(Error(effect), c.error);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(SamePixels(before, Record(result)));  // level 0
      EXPECT_TRUE(SamePixels(before, Record(source)));
    } else if (c.error != 0) {
      EXPECT_TRUE(SamePixels(before, Record(source))) << "refused value changed the source";
    }
    if (c.error == 0 && !std::isnan(c.value)) host::WritePixels(Record(source), before);
  }
}

TEST_F(BrightnessTest, RefusedSources) {
  Ref effect = NewEffect();
  // An empty source.
  EXPECT_FALSE(Ref(host(), host().Call<Object>(effect.get(), kApply, Object{nullptr}, 0.5f)));
  EXPECT_EQ(Error(effect), 4);
  // Four-colour images are no colour space of this effect.
  for (int64_t format : {host::kCMYK8, host::kCMYKA8, host::kCMYK16, host::kCMYKA16}) {
    Ref source = Bitmap(3, 3, format);
    ASSERT_TRUE(source);
    EXPECT_FALSE(Apply(effect, source, 0.5f));
    EXPECT_EQ(Error(effect), 5);
  }
  // A depth other than 8 or 16 bits.
  Ref odd = Bitmap(2, 2, host::kRGB8);
  Record(odd).bitsPerChannel = 12;
  EXPECT_FALSE(Apply(effect, odd, 0.5f));
  EXPECT_EQ(Error(effect), 6);
  host().Call<void>(effect.get(), kApplyInPlace, odd.get(), 0.5f);
  EXPECT_EQ(Error(effect), 6);
  Record(odd).bitsPerChannel = 8;
  // Success after a failure clears the code.
  EXPECT_TRUE(Apply(effect, odd, 0.5f));
  EXPECT_EQ(Error(effect), 0);
}

TEST_F(BrightnessTest, StoredValue) {
  Ref effect = NewEffect();
  EXPECT_EQ(host().GetSingle(effect.get(), "BrightnessValue"), 0.0f);
  ASSERT_TRUE(host().SetProperty(effect.get(), "BrightnessValue", host::Value(0.5f)));
  Ref source = Bitmap(1, 1, host::kRGB8);
  Ref byValue = Apply(effect, source, 1.0f);
  EXPECT_EQ(host().GetSingle(effect.get(), "BrightnessValue"), 0.5f) << "Apply stored its value";
  Ref stored(host(), host().Call<Object>(effect.get(), kApplyStored, source.get()));
  ASSERT_TRUE(stored);
  EXPECT_EQ(Sample8(Record(stored), 0, 0, 0), 127);
  EXPECT_EQ(Sample8(Record(byValue), 0, 0, 0), 255);
  // Any value can be stored; the next run refuses it.
  ASSERT_TRUE(host().SetProperty(effect.get(), "BrightnessValue", host::Value(5.0f)));
  EXPECT_EQ(host().GetSingle(effect.get(), "BrightnessValue"), 5.0f);
  EXPECT_FALSE(Ref(host(), host().Call<Object>(effect.get(), kApplyStored, source.get())));
  EXPECT_EQ(Error(effect), 4);
}

TEST_F(BrightnessTest, MaskProperty) {
  Ref effect = NewEffect();
  Ref values = Bitmap(2, 2, host::kGray8);
  Ref mask(host(), host::CreateMask(host(), values.get(), false, 0));
  SetMask(effect, mask);
  EXPECT_EQ(host().RefCount(mask.get()), 2);
  Ref read(host(), host().GetObject(effect.get(), "Mask"));
  EXPECT_EQ(read.get(), mask.get());
  EXPECT_EQ(host().RefCount(mask.get()), 3);
  SetMask(effect, Ref());
  EXPECT_EQ(host().RefCount(mask.get()), 2);
  SetMask(effect, mask);  // dropped by the destructor
}

TEST_F(BrightnessTest, StatedMaskMixes) {
  struct Case {
    uint8_t m;
    uint8_t o;
    float value;
    uint8_t out;
  };
  const Case cases[] = {{128, 100, 1.0f, 176}, {255, 200, 1.0f, 199}, {255, 200, -1.0f, 199},
                        {0, 100, 1.0f, 255},   {255, 100, 0.0f, 99},  {1, 0, 0.0f, 0}};
  Ref effect = NewEffect();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "m " << int{c.m} << " o " << int{c.o});
    Ref mask = MaskWithValues(host(), 1, 1, std::vector<uint8_t>{c.m});
    SetMask(effect, mask);
    Ref source = Bitmap(1, 1, host::kRGBA8);
    RawBitmap& s = Record(source);
    for (int i = 0; i < 4; ++i) SetSample(s, 0, 0, i, c.o);
    Ref result = Apply(effect, source, c.value);
    ASSERT_TRUE(result);
    const RawBitmap& r = Record(result);
    EXPECT_EQ(Sample8(r, 0, 0, r.redOffset), c.out);
    EXPECT_EQ(Sample8(r, 0, 0, r.alphaOffset), c.o) << "alpha is never mixed";
  }
  SetMask(effect, Ref());
}

// Every 8- and 16-bit format this effect takes, padded and unpadded rows,
// odd sizes, plain and masked, new and in place, at every thread count:
// byte for byte the reference, and nothing outside the pixels written.
TEST_F(BrightnessTest, RandomImagesMatchReference) {
  struct Size {
    int64_t width, height;
  };
  const Size sizes[] = {{1, 1}, {7, 5}, {13, 15}, {33, 17}, {20, 41}};
  const float values[] = {0.37f, -0.61f};
  Ref effect = NewEffect();
  uint64_t seed = 100;
  for (int bits : {8, 16}) {
    for (int64_t format : FormatsWithDepth(bits)) {
      if (format >= 13 && format <= 16) continue;
      for (const Size& size : sizes) {
        for (int64_t padding : {int64_t{0}, int64_t{bits == 8 ? 3 : 6}}) {
          for (bool masked : {false, true}) {
            ++seed;
            const float value = values[seed % 2];
            const int hint = 1 + static_cast<int>(seed % 8);
            SCOPED_TRACE(::testing::Message()
                         << "format " << format << " " << size.width << "x" << size.height
                         << " padding " << padding << (masked ? " masked" : " plain") << " hint "
                         << hint);
            Ref source = RandomBitmap(host(), size.width, size.height, format, padding, seed);
            ASSERT_TRUE(source);
            std::vector<uint32_t> maskValues;
            Ref mask;
            if (masked) {
              if (bits == 8) {
                auto v = RandomMaskValues8(size.width, size.height, seed);
                maskValues.assign(v.begin(), v.end());
                mask = MaskWithValues(host(), size.width, size.height, v);
              } else {
                auto v = RandomMaskValues16(size.width, size.height, seed);
                maskValues.assign(v.begin(), v.end());
                mask = MaskWithValues(host(), size.width, size.height, v);
              }
            }
            SetMask(effect, mask);
            host().SetProperty(effect.get(), "MultiprocessingHint", host::Value(int64_t{hint}));
            host().SetProperty(effect.get(), "ForceThreads", host::Value(seed % 3 == 0));
            RawBitmap& s = Record(source);
            const std::vector<uint8_t> before = host::ReadPixels(s);
            const std::vector<uint8_t> expected = Reference(s, before, value, maskValues);
            const OutsideBytes outside = Snapshot(s);

            Ref result = Apply(effect, source, value);
            ASSERT_TRUE(result);
            EXPECT_EQ(Record(result).imageFormat, format);
            EXPECT_TRUE(SamePixels(expected, Record(result)));
            EXPECT_TRUE(SamePixels(before, s)) << "source changed by Apply";

            host().Call<void>(effect.get(), kApplyInPlace, source.get(), value);
            EXPECT_EQ(Error(effect), 0);
            EXPECT_TRUE(SamePixels(expected, s));
            EXPECT_TRUE(OutsideUnchanged(s, outside));
          }
        }
      }
    }
  }
  SetMask(effect, Ref());
}

// The same image at every thread count gives the same bytes.
TEST_F(BrightnessTest, ThreadCountsAgree) {
  Ref effect = NewEffect();
  for (int bits : {8, 16}) {
    const int64_t format = bits == 8 ? host::kBGRA8 : host::kRGBA16;
    Ref source = RandomBitmap(host(), 31, 97, format, bits == 8 ? 5 : 2, 77);
    ASSERT_TRUE(source);
    auto v8 = RandomMaskValues8(31, 97, 5);
    auto v16 = RandomMaskValues16(31, 97, 5);
    std::vector<uint32_t> maskValues = bits == 8 ? std::vector<uint32_t>(v8.begin(), v8.end())
                                                 : std::vector<uint32_t>(v16.begin(), v16.end());
    Ref mask = bits == 8 ? MaskWithValues(host(), 31, 97, v8) : MaskWithValues(host(), 31, 97, v16);
    SetMask(effect, mask);
    const RawBitmap& s = Record(source);
    const std::vector<uint8_t> expected = Reference(s, host::ReadPixels(s), 0.25f, maskValues);
    for (int64_t hint = -1; hint <= 8; ++hint) {
      SCOPED_TRACE(::testing::Message() << bits << " bits, hint " << hint);
      host().SetProperty(effect.get(), "MultiprocessingHint", host::Value(hint));
      Ref result = Apply(effect, source, 0.25f);
      ASSERT_TRUE(result);
      EXPECT_TRUE(SamePixels(expected, Record(result)));
    }
  }
  SetMask(effect, Ref());
}

}  // namespace
}  // namespace lumeno::testing

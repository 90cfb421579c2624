// What is the blend effect's own: its modes, the fill's placement, opacity,
// the fill mask and the alpha rule, against worked one-pixel examples and
// the plain reference; its validation codes; the objects it stores and
// holds during runs; and the asynchronous runs it starts itself.
#include <algorithm>
#include <random>

#include "lumeno/colormath.h"
#include "support/effect_fixture.h"

namespace lumeno::testing {

void HlsLanes(bool toHls, int32_t* x, int32_t* y, int32_t* z);  // hls_lanes_avx2.cpp

namespace {

using namespace host;  // format names

// The blend modes by their enumeration values.
constexpr int64_t NORMAL = 0, MULTIPLY = 1, SCREEN = 2, OVERLAY = 3, DARKEN = 4, LIGHTEN = 5,
                  COLOR_DODGE = 6, COLOR_BURN = 7, SOFT_LIGHT = 8, HARD_LIGHT = 9, DIFFERENCE = 10,
                  EXCLUSION = 11, HUE = 12, SATURATION = 13, COLOR = 14, LUMINOSITY = 15,
                  PIN_LIGHT = 16, SHARP_LIGHT = 17, VIVID_LIGHT = 18, LINEAR_LIGHT = 19,
                  POWER_LIGHT = 20, LINEAR_BURN = 21, LINEAR_DODGE = 22, ADD = 23;

constexpr const char* kApply =
    "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as Double,fillMask as "
    "RawBitmapMask,location as PointF,size as SizeF) as RawBitmap";
constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

class BlendTest : public EffectTest {
 protected:
  Ref NewBlend(int64_t mode) {
    Ref fx = NewEffect("BlendEffectRaw");
    host().SetProperty(fx.get(), "BlendMode", mode);
    return fx;
  }
  Ref Point(float x, float y) {
    Ref p(host(), host().New("PointF"));
    host().SetProperty(p.get(), "x", x);
    host().SetProperty(p.get(), "y", y);
    return p;
  }
  Ref Size(float w, float h) {
    Ref s(host(), host().New("SizeF"));
    host().SetProperty(s.get(), "Width", w);
    host().SetProperty(s.get(), "Height", h);
    return s;
  }
  Ref Apply(Object fx, Object source, Object fill, double opacity, Object mask = nullptr,
            Object location = nullptr, Object size = nullptr) {
    return Ref(host(),
               host().Call<Object>(fx, kApply, source, fill, opacity, mask, location, size));
  }
  // One blend against the reference: the destination byte for byte, the
  // source untouched, nothing outside the destination's pixels written.
  void Check(int64_t mode, Object source, Object fill, double opacity,
             const std::vector<uint8_t>* mask, const reference::Placement& pl, int64_t hint = 0) {
    Ref fx = NewBlend(mode);
    host().SetProperty(fx.get(), "MultiprocessingHint", hint);
    const RawBitmap& s = Rec(source);
    Ref maskObject = mask ? MaskWithValues(host(), s.width, s.height, *mask) : Ref();
    Ref loc = pl.hasLocation ? Point(pl.x, pl.y) : Ref();
    Ref size = pl.hasSize ? Size(pl.width, pl.height) : Ref();
    const Image before = Packed(host(), source);
    const OutsideBytes outside = Snapshot(s);
    Ref out = Apply(fx.get(), source, fill, opacity, maskObject.get(), loc.get(), size.get());
    ASSERT_TRUE(out) << "ErrorCode " << Error(fx);
    Image initial = before;
    initial.bytes.assign(before.bytes.size(), 0);
    const MaskValues m = mask ? MaskValues(mask->begin(), mask->end()) : MaskValues{};
    const int reference = static_cast<int>(std::clamp<int64_t>(mode, -1, 24));
    // The fill as laid out in memory: a fill of fewer bytes per pixel is
    // read at the source's channel positions, into its row padding.
    const RawBitmap& f = Rec(fill);
    const Image fillImage{FindFormat(f.imageFormat),
                          f.width,
                          f.height,
                          {f.pixelData, f.pixelData + f.rowBytes * f.height + kPixelSlackBytes},
                          f.rowBytes};
    ASSERT_TRUE(
        SamePixels(reference::Blend(before, fillImage, initial, m, opacity, reference, pl).bytes,
                   Rec(out.get())));
    EXPECT_TRUE(SamePixels(before.bytes, s));
    EXPECT_TRUE(OutsideUnchanged(s, outside));
    for (uint8_t b : Snapshot(Rec(out.get())).bytes) ASSERT_EQ(b, 0);  // a new bitmap's zeros
  }
};

// -- Worked one-pixel blends ---------------------------------------------------

struct PixelCase {
  int64_t mode;
  int64_t sourceFormat;
  Samples source;
  int64_t fillFormat;
  Samples fill;
  double opacity;
  int mask;  // -1: none
  Samples out;
};

// clang-format off: one case a line
const PixelCase kPixelCases[] = {
    // Opacity: weights trunc((1 - o) x 256) and trunc(o x 256), o limited to [0, 1].
    {NORMAL, kRGB8, {10, 10, 10}, kRGB8, {200, 200, 200}, 1.0, -1, {200, 200, 200}},
    {NORMAL, kRGB8, {10, 10, 10}, kRGB8, {200, 200, 200}, 0.5, -1, {105, 105, 105}},
    {NORMAL, kRGB8, {10, 10, 10}, kRGB8, {200, 200, 200}, 0.3, -1, {66, 66, 66}},
    {NORMAL, kRGB8, {10, 10, 10}, kRGB8, {200, 200, 200}, 0.0, -1, {10, 10, 10}},
    {NORMAL, kRGB8, {10, 10, 10}, kRGB8, {200, 200, 200}, 2.0, -1, {200, 200, 200}},
    {NORMAL, kRGB8, {10, 10, 10}, kRGB8, {200, 200, 200}, -1.0, -1, {10, 10, 10}},
    {NORMAL, kRGB8, {255, 255, 255}, kRGB8, {255, 255, 255}, 0.3, -1, {254, 254, 254}},
    // The source's alpha scales the value the formula sees; an opaque fill
    // without mask gives alpha 255.
    {MULTIPLY, kRGBA8, {200, 200, 200, 128}, kRGB8, {255, 255, 255}, 1.0, -1, {99, 99, 99, 255}},
    {MULTIPLY, kRGBA8, {200, 200, 200, 128}, kRGB8, {255, 255, 255}, 0.5, -1, {149, 149, 149, 255}},
    // A transparent source mixes plainly; alpha k = 1 x 0.5.
    {MULTIPLY, kRGBA8, {40, 40, 40, 0}, kRGBA8, {220, 220, 220, 255}, .5, -1, {130, 130, 130, 127}},
    // NORMAL with fill alpha 200 and mask 100: f = 121, v = 144, D = 106.
    {NORMAL, kRGBA8, {50, 50, 50, 255}, kRGBA8, {250, 250, 250, 200}, 1, 100, {106, 106, 106, 255}},
    {NORMAL, kRGBA8, {50, 50, 50, 0}, kRGBA8, {250, 250, 250, 200}, 1.0, -1, {206, 206, 206, 200}},
    // Mask 255: the fill-alpha workers copy the source; NORMAL without fill
    // alpha drops one unit, a mode keeps the source.
    {NORMAL, kRGBA8, {200, 1, 0, 77}, kRGBA8, {9, 9, 9, 128}, 1.0, 255, {200, 1, 0, 77}},
    {MULTIPLY, kRGBA8, {200, 1, 0, 77}, kRGBA8, {9, 9, 9, 128}, 1.0, 255, {200, 1, 0, 77}},
    {NORMAL, kRGBA8, {200, 1, 0, 77}, kRGB8, {9, 9, 9}, 1.0, 255, {199, 0, 0, 77}},
    {MULTIPLY, kRGBA8, {200, 1, 0, 77}, kRGB8, {9, 9, 9}, 1.0, 255, {200, 1, 0, 77}},
    // A transparent fill leaves the source in every alpha worker.
    {NORMAL, kRGBA8, {12, 34, 56, 78}, kRGBA8, {90, 180, 45, 0}, 0.8, -1, {12, 34, 56, 78}},
    {MULTIPLY, kRGBA8, {12, 34, 56, 78}, kRGBA8, {90, 180, 45, 0}, 0.8, -1, {12, 34, 56, 78}},
    {HUE, kRGBA8, {12, 34, 56, 78}, kRGBA8, {90, 180, 45, 0}, 0.8, -1, {12, 34, 56, 78}},
    // The colour-space modes read each bitmap through its own offsets (a BGR fill).
    {LUMINOSITY, kRGB8, {142, 142, 142}, kBGR8, {128, 128, 128}, 1, -1, {127, 127, 127}},
    {LUMINOSITY, kRGB8, {0, 0, 0}, kBGR8, {128, 128, 128}, 1, -1, {127, 127, 127}},
    {LUMINOSITY, kRGB8, {143, 143, 143}, kBGR8, {128, 128, 128}, 1, -1, {127, 126, 129}},
    {LUMINOSITY, kRGB8, {255, 255, 255}, kBGR8, {128, 128, 128}, 1, -1, {127, 126, 129}},
    {LUMINOSITY, kRGB8, {255, 0, 0}, kBGR8, {128, 128, 128}, 1, -1, {255, 50, 55}},
    {HUE, kRGB8, {255, 0, 0}, kBGR8, {0, 0, 255}, 1, -1, {254, 0, 0}},
    {HUE, kRGB8, {255, 0, 0}, kBGR8, {255, 0, 0}, 1, -1, {0, 0, 254}},
    {SATURATION, kRGB8, {255, 0, 0}, kBGR8, {200, 200, 200}, 1, -1, {255, 145, 145}},
    {SATURATION, kRGB8, {255, 0, 0}, kBGR8, {128, 128, 128}, 1, -1, {255, 0, 0}},
    {COLOR, kRGB8, {100, 100, 100}, kBGR8, {255, 0, 0}, 1, -1, {127, 127, 127}},
};
// clang-format on

// The channel modes at opacity 1 on gray-valued RGB pixels: source, fill, result.
const int kChannelCases[][4] = {
    {MULTIPLY, 255, 255, 254},    {MULTIPLY, 128, 128, 64},      {SCREEN, 0, 0, 0},
    {SCREEN, 255, 0, 255},        {SCREEN, 128, 128, 192},       {OVERLAY, 100, 200, 157},
    {OVERLAY, 200, 100, 187},     {OVERLAY, 127, 255, 255},      {OVERLAY, 128, 0, 0},
    {HARD_LIGHT, 100, 100, 78},   {HARD_LIGHT, 100, 200, 188},   {COLOR_DODGE, 0, 255, 255},
    {COLOR_DODGE, 100, 255, 255}, {COLOR_DODGE, 255, 255, 255},  {COLOR_BURN, 0, 0, 0},
    {COLOR_BURN, 255, 0, 0},      {SOFT_LIGHT, 255, 255, 255},   {SOFT_LIGHT, 128, 128, 128},
    {SOFT_LIGHT, 255, 0, 254},    {SOFT_LIGHT, 200, 100, 190},   {SHARP_LIGHT, 255, 255, 254},
    {SHARP_LIGHT, 200, 100, 95},  {POWER_LIGHT, 255, 255, 255},  {POWER_LIGHT, 200, 100, 134},
    {VIVID_LIGHT, 0, 0, 127},     {VIVID_LIGHT, 0, 100, 127},    {VIVID_LIGHT, 0, 255, 127},
    {VIVID_LIGHT, 255, 1, 128},   {VIVID_LIGHT, 255, 0, 0},      {VIVID_LIGHT, 64, 128, 1},
    {VIVID_LIGHT, 200, 100, 232}, {EXCLUSION, 100, 200, 144},    {EXCLUSION, 255, 255, 0},
    {DIFFERENCE, 77, 77, 0},      {DIFFERENCE, 10, 200, 190},    {DARKEN, 10, 200, 10},
    {LIGHTEN, 10, 200, 200},      {PIN_LIGHT, 200, 100, 200},    {PIN_LIGHT, 50, 200, 145},
    {LINEAR_LIGHT, 100, 50, 0},   {LINEAR_LIGHT, 100, 200, 245}, {LINEAR_BURN, 100, 100, 0},
    {LINEAR_BURN, 200, 100, 45},  {LINEAR_DODGE, 200, 100, 255}, {ADD, 20, 30, 50},
};

TEST_F(BlendTest, WorkedPixels) {
  std::vector<PixelCase> cases(std::begin(kPixelCases), std::end(kPixelCases));
  for (const auto& c : kChannelCases) {
    const uint32_t s = c[1], f = c[2], e = c[3];
    cases.push_back({c[0], kRGB8, {s, s, s}, kRGB8, {f, f, f}, 1.0, -1, {e, e, e}});
  }
  for (const PixelCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "mode " << c.mode << " source " << ::testing::PrintToString(c.source)
                 << " fill " << ::testing::PrintToString(c.fill) << " opacity " << c.opacity
                 << " mask " << c.mask);
    Ref fx = NewBlend(c.mode);
    Ref source = Pixels(c.sourceFormat, c.source);
    Ref fill = Pixels(c.fillFormat, c.fill);
    Ref mask = c.mask < 0 ? Ref() : Mask(1, {static_cast<uint32_t>(c.mask)}, false);
    Ref out = Apply(fx.get(), source.get(), fill.get(), c.opacity, mask.get());
    ASSERT_TRUE(out);
    EXPECT_EQ(SamplesAt(out.get()), c.out);
  }
}

// -- Against the reference -------------------------------------------------------

// The long sweeps take every kSanitizerStep-th case in the several times
// slower sanitizer builds.
#ifdef LUMENO_SANITIZER_BUILD
constexpr int kSanitizerStep = 5;
#else
constexpr int kSanitizerStep = 1;
#endif

reference::Placement At(float x, float y) { return {true, x, y, false, 0, 0}; }
reference::Placement AtSized(float x, float y, float w, float h) {
  return {true, x, y, true, w, h};
}

// Placements of a fill: cut by a fractional negative location, narrowed but
// never widened by the size, over an alpha source, or covering nothing.
TEST_F(BlendTest, PlacementsMatchTheReference) {
  struct Case {
    int64_t mode, sourceFormat, fillFormat, w, h, fw, fh;
    double opacity;
    reference::Placement placement;
  } const cases[] = {
      {NORMAL, kRGB8, kRGB8, 20, 18, 5, 4, 1.0, At(7, 6)},
      {NORMAL, kRGB8, kRGB8, 12, 15, 10, 10, 1.0, At(-2.7f, 3.2f)},
      {NORMAL, kRGB8, kRGB8, 10, 10, 6, 5, 1.0, AtSized(1, 2, 3, 2)},
      {NORMAL, kRGB8, kRGB8, 10, 10, 6, 5, 1.0, AtSized(1, 2, 3.9f, 2.5f)},
      {NORMAL, kRGB8, kRGB8, 10, 10, 6, 5, 1.0, AtSized(1, 2, 50, 50)},
      {NORMAL, kRGB8, kRGB8, 10, 10, 6, 5, 1.0, AtSized(1, 2, -1, -3)},
      {NORMAL, kRGB8, kRGB8, 10, 10, 6, 5, 1.0, AtSized(1, 2, 6, 1)},
      {NORMAL, kARGB8, kBGR8, 8, 8, 4, 4, 0.4, At(2, 3)},
      {OVERLAY, kARGB8, kBGR8, 8, 8, 4, 4, 0.4, At(2, 3)},
      // Placements that cover nothing leave the source.
      {NORMAL, kRGBA8, kRGBA8, 12, 9, 6, 6, 1.0, At(12, 0)},
      {SCREEN, kRGBA8, kRGBA8, 12, 9, 6, 6, 1.0, At(0, 9)},
      {NORMAL, kRGBA8, kRGBA8, 12, 9, 6, 6, 1.0, {false, 0, 0, true, 0, 0}},
      {SCREEN, kRGBA8, kRGBA8, 12, 9, 6, 6, 1.0, AtSized(1, 1, 0, 5)},
      {NORMAL, kRGBA8, kRGBA8, 12, 9, 6, 6, 1.0, At(3.0e9f, -3.0e9f)},
  };
  uint64_t seed = 1;
  for (const Case& c : cases) {
    Ref source = RandomBitmap(host(), c.w, c.h, c.sourceFormat, 0, ++seed);
    Ref fill = RandomBitmap(host(), c.fw, c.fh, c.fillFormat, 1, ++seed);
    Check(c.mode, source.get(), fill.get(), c.opacity, nullptr, c.placement);
  }
}

// Every mode, and modes out of range (blended as MULTIPLY), on every pair of
// 8-bit samples: in the upper half opaque pixels, each source row 0..255
// across and each fill row one value; in the lower half random pixels (every
// alpha). On 3- and 4-byte layouts with alpha first, last or none, with and
// without fill alpha and fill mask, at an odd width.
TEST_F(BlendTest, EveryModeOnEveryPairOfSamples) {
  const int64_t cases[][3] = {{kRGBA8, kRGBA8, 0}, {kARGB8, kARGB8, 1}, {kBGRA8, kRGBX8, 0},
                              {kARGB8, kXRGB8, 1}, {kRGB8, kRGB8, 0},   {kRGB8, kRGBA8, 1},
                              {kRGBA8, kBGR8, 1}};
  const int64_t w = 257, h = 512;
  const std::vector<uint8_t> mask = RandomMaskValues8(w, h, 77);
  int run = 0;  // alternates the opacity between 1 and 0.6
  for (int64_t mode = -1; mode < 26; mode += kSanitizerStep) {
    for (const auto& [sourceFormat, fillFormat, masked] : cases) {
      SCOPED_TRACE(::testing::Message() << "mode " << mode << " formats " << sourceFormat << "/"
                                        << fillFormat << " masked " << masked);
      Ref src = RandomBitmap(host(), w, h, sourceFormat, 0, 500 + mode);
      Ref fill = RandomBitmap(host(), w, h, fillFormat, 0, 600 + mode);
      const RawBitmap& s = Rec(src.get());
      const RawBitmap& f = Rec(fill.get());
      for (int64_t y = 0; y < 256; ++y) {
        for (int64_t x = 0; x < w; ++x) {
          uint8_t* sp = s.pixelData + y * s.rowBytes + s.bytesPerPixel * x;
          uint8_t* fp = f.pixelData + y * f.rowBytes + f.bytesPerPixel * x;
          std::fill(sp, sp + s.bytesPerPixel, static_cast<uint8_t>(x));
          std::fill(fp, fp + f.bytesPerPixel, static_cast<uint8_t>(y));
          if (s.hasAlpha != 0) sp[s.alphaOffset] = 255;
          if (f.hasAlpha != 0) fp[f.alphaOffset] = 255;
        }
      }
      Check(mode == 25 ? INT64_MIN : mode, src.get(), fill.get(), ++run % 2 == 0 ? 1.0 : 0.6,
            masked ? &mask : nullptr, {}, (mode + 3) % 3 + 1);
    }
  }
}

// Random images, placements, masks, modes and thread counts.
TEST_F(BlendTest, RandomBlendsMatchTheReference) {
  std::mt19937_64 rng(2024);
  auto pick = [&](auto... values) {
    const std::vector<int64_t> v{static_cast<int64_t>(values)...};
    return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)];
  };
  auto real = [&](float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
  };
  for (int i = 0; i < 160; ++i) {
    const bool rgb = i % 5 != 0;
    const int64_t sourceFormat =
        rgb ? pick(kRGB8, kBGR8, kRGBA8, kBGRA8, kARGB8, 8, 9, 11) : pick(kGray8, kGrayAlpha8);
    const int64_t fillFormat =
        rgb ? pick(kRGB8, kRGBA8, kABGR8, kXBGR8, kBGRA8) : pick(kGray8, kGrayAlpha8);
    const int64_t mode = rgb ? pick(0, 0, 1, 3, 7, 9, 12, 13, 14, 15, 18, 20, 23, 40)
                             : pick(0, 0, 2, 6, 8, 11, 16, 17, 19, 21, -3);
    const int64_t w = pick(1, 7, 16, 33), h = pick(1, 5, 16, 40);
    const int64_t fw = pick(1, 4, 9, 40), fh = pick(1, 3, 17, 50);
    reference::Placement pl;
    pl.hasLocation = pick(0, 1, 1) != 0;
    pl.x = real(-12.0f, static_cast<float>(w));
    pl.y = real(-12.0f, static_cast<float>(h));
    pl.hasSize = pick(0, 1) != 0;
    pl.width = real(-4.0f, static_cast<float>(fw) + 6.0f);
    pl.height = real(-4.0f, static_cast<float>(fh) + 6.0f);
    const double opacity = static_cast<double>(real(-0.3f, 1.3f));
    const bool masked = pick(0, 1) != 0;
    const int64_t hint = pick(0, 1, 2, 3, 5, 8, -1);
    SCOPED_TRACE(::testing::Message() << "case " << i << ": formats " << sourceFormat << "/"
                                      << fillFormat << " mode " << mode);
    Ref src = RandomBitmap(host(), w, h, sourceFormat, pick(0, 3), 1000 + i);
    Ref fill = RandomBitmap(host(), fw, fh, fillFormat, pick(0, 5), 2000 + i);
    const std::vector<uint8_t> mask = RandomMaskValues8(w, h, 3000 + i);
    Check(mode, src.get(), fill.get(), opacity, masked ? &mask : nullptr, pl, hint);
    if (HasFatalFailure()) return;
  }
}

// Bands of a quarter million covered pixels and more blend through tables
// of the band (NORMAL: the fill alpha rule; the modes that read the scaled
// samples alone: the mode's result, the scaling and the alpha rule). One
// thread covers that; two split it into bands computed pixel by pixel.
TEST_F(BlendTest, LargeBlendsMatchTheReference) {
#ifdef LUMENO_SANITIZER_BUILD
  const std::vector<int64_t> modes = {0, 6};  // several times slower there
#else
  const std::vector<int64_t> modes = {0, 1, 2, 6, 9, 17, 40};
#endif
  for (const int64_t mode : modes) {
    for (const int64_t sourceFormat : {kRGBA8, kBGRA8, kARGB8, kRGB8}) {
      for (const int64_t fillFormat : {kRGBA8, kRGB8}) {
        for (const int64_t hint : {1, 2}) {
          if (hint == 2 && mode != 0 && mode != 1) continue;
          SCOPED_TRACE(::testing::Message() << "mode " << mode << " formats " << sourceFormat << "/"
                                            << fillFormat << " hint " << hint);
          Ref src = RandomBitmap(host(), 560, 520, sourceFormat, 0, 71 + sourceFormat + mode);
          Ref fill = RandomBitmap(host(), 540, 515, fillFormat, 4, 91 + fillFormat + mode);
          Check(mode, src.get(), fill.get(), 0.7, nullptr, At(10.5f, -5.0f), hint);
        }
      }
    }
  }
}

#if defined(LUMENO_TEST_HLS_LANES)
// The eight-lane HLS pair of the AVX2 rows against the scalar pair on every
// 8-bit triple, both ways. The lanes differ in z (saturation on the way
// back), so that colours the way back puts right one by one sit beside
// others.
TEST(HlsLanes, AgreeWithTheScalarPairOnEveryTriple) {
  if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2";
  int64_t differences = 0;
  for (int32_t u = 0; u < 256; u += kSanitizerStep) {
    for (int32_t v = 0; v < 256; ++v) {
      for (int32_t w = 0; w < 256; w += 8) {
        for (const bool toHls : {true, false}) {
          int32_t x[8], y[8], z[8];
          for (int32_t i = 0; i < 8; ++i) x[i] = u, y[i] = v, z[i] = w + i;
          HlsLanes(toHls, x, y, z);
          for (int32_t i = 0; i < 8; ++i) {
            int a = u, b = v, c = w + i;
            using Convert = void (*)(int*, int*, int*);
            (toHls ? Convert{&Convert_RGB_To_HSL} : Convert{&Convert_HSL_To_RGB})(&a, &b, &c);
            if (a != x[i] || b != y[i] || c != z[i]) {
              if (++differences <= 5) {
                ADD_FAILURE() << (toHls ? "to HLS " : "to RGB ") << u << " " << v << " " << w + i
                              << ": " << x[i] << " " << y[i] << " " << z[i] << ", not " << a << " "
                              << b << " " << c;
              }
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(differences, 0);
}
#endif

// -- Validation, stored objects, runs ----------------------------------------------

TEST_F(BlendTest, ValidationCodesInTheirOrder) {
  struct Case {
    int64_t mode;
    int64_t sourceFormat;  // -1: no source
    int64_t fillFormat;    // -1: no fill
    int64_t code;          // 0: accepted
  } const cases[] = {
      {NORMAL, -1, kRGB8, 4},
      {NORMAL, kRGB8, -1, 4},
      {NORMAL, -1, kRGB16, 4},
      {NORMAL, kRGB8, kRGB16, 7},
      {HUE, kRGB16, kGray8, 7},
      {NORMAL, kRGB16, kRGBA16, 6},
      {HUE, kRGB16, kGray16, 6},
      {HUE, kGray8, kGray8, 9},
      {HUE, kGray8, kRGB8, 9},
      {LUMINOSITY, kCMYK8, kCMYK8, 9},
      {SATURATION, kGrayAlpha8, kGrayAlpha8, 9},
      {COLOR, kGray8, kGray8, 9},
      {MULTIPLY, kRGB8, kGray8, 8},
      {MULTIPLY, kGray8, kRGBA8, 8},
      {NORMAL, kCMYK8, kRGB8, 8},
      {MULTIPLY, kGray8, kGray8, 0},
      {NORMAL, kGrayAlpha8, kGray8, 0},
      {SCREEN, kCMYKA8, kCMYK8, 0},
      {HUE, kBGRA8, kRGB8, 0},
      {PIN_LIGHT, kGray8, kGray8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "mode " << c.mode << " formats " << c.sourceFormat << "/" << c.fillFormat);
    Ref fx = NewBlend(c.mode);
    Ref src = c.sourceFormat < 0 ? Ref() : RandomBitmap(host(), 4, 4, c.sourceFormat, 0, 1);
    Ref fill = c.fillFormat < 0 ? Ref() : RandomBitmap(host(), 3, 3, c.fillFormat, 0, 2);
    EXPECT_EQ(static_cast<bool>(Apply(fx.get(), src.get(), fill.get(), 0.5)), c.code == 0);
    EXPECT_EQ(Error(fx), c.code);
    // A good run afterwards leaves the code in place.
    Ref good = RandomBitmap(host(), 4, 4, kRGB8, 0, 1);
    EXPECT_TRUE(Apply(fx.get(), good.get(), good.get(), 1.0));
    EXPECT_EQ(Error(fx), c.code);
  }
}

TEST_F(BlendTest, CancelledApplyReturnsThePartialResultAndLeavesCanceledAlone) {
  // One band on the calling thread, progress after every 100 rows; the
  // handler asks for a cancel at its first call.
  Ref fx = NewBlend(NORMAL);
  Ref handler = NewProgressHandler(host());
  ProgressOf(handler.get()).CancelAtCall(1);
  host().SetProperty(fx.get(), "ProgressHandler", handler.get());
  host().SetProperty(fx.get(), "MultiprocessingHint", int64_t{1});
  Ref src = RandomBitmap(host(), 4, 250, kRGB8, 0, 1);
  Ref fill = RandomBitmap(host(), 4, 250, kRGB8, 0, 2);
  Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0);
  ASSERT_TRUE(out);
  EXPECT_EQ(Sample8(Rec(out.get()), 3, 99, 2), Sample8(Rec(fill.get()), 3, 99, 2));
  EXPECT_EQ(Sample8(Rec(out.get()), 0, 150, 0), 0);  // never processed: as created
  EXPECT_FALSE(Flag(fx, "Canceled"));
  EXPECT_EQ(Error(fx), 0);
}

TEST_F(BlendTest, StoredPropertiesDriveTheOneArgumentApply) {
  Ref fx = NewBlend(SOFT_LIGHT);
  Ref src = RandomBitmap(host(), 14, 12, kRGBA8, 0, 50);
  Ref fill = RandomBitmap(host(), 9, 8, kBGRA8, 0, 51);
  Ref mask = MaskWithValues(host(), 14, 12, RandomMaskValues8(14, 12, 52));
  Ref loc = Point(3.5f, -1.5f);
  Ref size = Size(7.0f, 100.0f);
  // Stores the four object properties and reads each back.
  auto store = [&](Object fillObject, Object maskObject, Object location, Object extent) {
    for (const auto& [name, object] : {std::pair{"FillBitmap", fillObject},
                                       {"FillMask", maskObject},
                                       {"Location", location},
                                       {"Size", extent}}) {
      ASSERT_TRUE(host().SetProperty(fx.get(), name, object));
      EXPECT_EQ(Ref(host(), host().GetObject(fx.get(), name)).get(), object) << name;
    }
  };
  store(fill.get(), mask.get(), loc.get(), size.get());
  ASSERT_TRUE(host().SetProperty(fx.get(), "Opacity", 0.7));
  EXPECT_EQ(host().GetInteger(fx.get(), "BlendMode"), SOFT_LIGHT);
  Ref viaProps(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
  Ref viaArgs = Apply(fx.get(), src.get(), fill.get(), 0.7, mask.get(), loc.get(), size.get());
  ASSERT_TRUE(viaProps && viaArgs);
  EXPECT_TRUE(SamePixels(Rec(viaArgs.get()), Rec(viaProps.get())));
  // The value-taking Apply stores nothing.
  Ref other = RandomBitmap(host(), 3, 3, kRGB8, 0, 53);
  Ref ignored = Apply(fx.get(), src.get(), other.get(), 0.1);
  EXPECT_EQ(host().GetDouble(fx.get(), "Opacity"), 0.7);
  EXPECT_EQ(Ref(host(), host().GetObject(fx.get(), "FillBitmap")).get(), fill.get());
  host().SetProperty(fx.get(), "BlendMode", int64_t{-77});  // any mode value is stored
  EXPECT_EQ(host().GetInteger(fx.get(), "BlendMode"), -77);
  // Each property replaced once: the old holds are dropped, and the
  // destructor drops the new ones (the fixture catches a leak).
  Ref fill2 = RandomBitmap(host(), 3, 3, kRGB8, 0, 61);
  Ref mask2 = MaskWithValues(host(), 3, 3, std::vector<uint8_t>(9, 1));
  Ref loc2 = Point(1, 1), size2 = Size(2, 2);
  store(fill2.get(), mask2.get(), loc2.get(), size2.get());
  Ref unset = NewBlend(NORMAL);  // nothing stored: the destructor must drop nothing
}

TEST_F(BlendTest, AsyncRunAfterCancelMatchesTheSynchronousResultAndCompletesOnce) {
  Ref fx = NewBlend(OVERLAY);
  Ref src = RandomBitmap(host(), 64, 70, kBGRA8, 4, 70);
  Ref fill = RandomBitmap(host(), 40, 50, kRGBA8, 0, 71);
  Ref mask = MaskWithValues(host(), 64, 70, RandomMaskValues8(64, 70, 72));
  Ref loc = Point(10.2f, -4.9f);
  host().SetProperty(fx.get(), "FillBitmap", fill.get());
  host().SetProperty(fx.get(), "FillMask", mask.get());
  host().SetProperty(fx.get(), "Location", loc.get());
  host().SetProperty(fx.get(), "Opacity", 0.9);
  Ref expected(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
  ASSERT_TRUE(expected);
  host().Call<void>(fx.get(), "Cancel()");  // left set until the next start clears it
  EXPECT_TRUE(Flag(fx, "Canceled"));
  Ref target = Target();
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), CompletionMethod());
  EXPECT_FALSE(Flag(fx, "AsyncCompleted"));
  EXPECT_FALSE(Flag(fx, "Canceled"));
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), CompletionMethod());
  EXPECT_EQ(Error(fx), 10) << "a second start while the first runs";
  // The run keeps its fill and mask alive when the script lets go of them.
  host().SetProperty(fx.get(), "FillBitmap", Object{nullptr});
  host().SetProperty(fx.get(), "FillMask", Object{nullptr});
  fill.Reset();
  mask.Reset();
  ASSERT_TRUE(WaitForCompletion(target));
  EXPECT_EQ(Completions(target), 1);
  EXPECT_EQ(CompletionOf(target.get()).lastFilter, fx.get());
  EXPECT_TRUE(Flag(fx, "AsyncCompleted"));
  Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
  ASSERT_TRUE(result);
  EXPECT_TRUE(SamePixels(Rec(expected.get()), Rec(result.get())));
}

TEST_F(BlendTest, AsyncRefusalsFreeEverything) {
  Ref fx = NewBlend(HUE);
  Ref gray = RandomBitmap(host(), 20, 20, kGray8, 0, 80);
  Ref target = Target();
  for (int64_t code : {4, 9}) {  // no fill stored; HUE on gray
    if (code == 9) host().SetProperty(fx.get(), "FillBitmap", gray.get());
    host().Call<void>(fx.get(), kApplyAsync, gray.get(), target.get(), CompletionMethod());
    EXPECT_EQ(Error(fx), code);
    EXPECT_TRUE(Flag(fx, "AsyncCompleted"));
  }
  EXPECT_EQ(host().TaskCount(), 0u);
  EXPECT_EQ(Completions(target), 0);
}

TEST_F(BlendTest, DestroyingTheEffectDuringARunReleasesItsHolds) {
  Ref src = RandomBitmap(host(), 200, 200, kRGBA8, 0, 90);
  Ref target = Target();
  {
    Ref fx = NewBlend(VIVID_LIGHT);
    Ref fill = RandomBitmap(host(), 150, 150, kRGBA8, 0, 91);
    Ref mask = MaskWithValues(host(), 200, 200, RandomMaskValues8(200, 200, 92));
    host().SetProperty(fx.get(), "FillBitmap", fill.get());
    host().SetProperty(fx.get(), "FillMask", mask.get());
    host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(), CompletionMethod());
    EXPECT_FALSE(Flag(fx, "AsyncCompleted"));
    host().Call<void>(fx.get(), "Cancel()");  // ends the run without a completion call
    EXPECT_TRUE(Flag(fx, "AsyncCompleted"));
  }
  EXPECT_EQ(host().TaskCount(), 0u);
  EXPECT_EQ(Completions(target), 0);
}

}  // namespace
}  // namespace lumeno::testing

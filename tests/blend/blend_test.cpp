// Placement, opacity, the eight row workers and the alpha rule, validation
// codes, asynchronous runs and object ownership of BlendEffectRaw.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "blend/blend_fixture.h"
#include "blend/blend_reference.h"
#include "support/progress.h"

namespace blendtest {
namespace {

using lumeno::host::kARGB8;
using lumeno::host::kBGR8;
using lumeno::host::kBGRA8;
using lumeno::host::kGray8;
using lumeno::host::kGrayAlpha8;
using lumeno::host::kRGB8;
using lumeno::host::kRGBA8;
using lumeno::testing::RandomBitmap;
using lumeno::testing::SamePixels;

// -- Opacity -----------------------------------------------------------------

TEST_F(BlendTest, OpacityWeightsAreTruncatedOutOf256AndClamped) {
  struct Case {
    double opacity;
    int expected;  // NORMAL, source 10, fill 200
  } const cases[] = {
      {1.0, 200}, {0.5, 105},  // (128 * 10 + 128 * 200) >> 8
      {0.3, 66},               // (179 * 10 + 76 * 200) >> 8 = 16990 >> 8
      {0.0, 10},  {2.0, 200}, {-1.0, 10},
  };
  Ref fx = NewBlend(NORMAL);
  Ref src = Filled(2, 2, kRGB8, {10, 10, 10});
  Ref fill = Filled(2, 2, kRGB8, {200, 200, 200});
  for (const Case& c : cases) {
    Ref out = Apply(fx.get(), src.get(), fill.get(), c.opacity);
    ASSERT_TRUE(out);
    EXPECT_EQ(PixelAt(out.get(), 1, 1)[0], c.expected) << "opacity " << c.opacity;
  }
  // 0.3 on 255 with 255: (179 + 76) * 255 >> 8 = 254.
  Ref white = Filled(1, 1, kRGB8, {255, 255, 255});
  Ref out = Apply(fx.get(), white.get(), white.get(), 0.3);
  ASSERT_TRUE(out);
  EXPECT_EQ(PixelAt(out.get(), 0, 0)[0], 254);
}

TEST_F(BlendTest, OpacityOneWithoutMaskShowsTheFillExactly) {
  Ref fx = NewBlend(NORMAL);
  Ref src = RandomBitmap(host(), 20, 18, kRGB8, 3, 1);
  Ref fill = RandomBitmap(host(), 5, 4, kRGB8, 1, 2);
  Ref loc = Point(7.0f, 6.0f);
  Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0, nullptr, loc.get());
  ASSERT_TRUE(out);
  for (int y = 0; y < 18; ++y) {
    for (int x = 0; x < 20; ++x) {
      const bool covered = x >= 7 && x < 12 && y >= 6 && y < 10;
      const uint8_t* want = covered ? PixelAt(fill.get(), x - 7, y - 6) : PixelAt(src.get(), x, y);
      const uint8_t* got = PixelAt(out.get(), x, y);
      ASSERT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(want, want + 3))
          << x << "," << y;
    }
  }
}

// -- Placement -----------------------------------------------------------------

TEST_F(BlendTest, FractionalNegativeLocationCutsTheFill) {
  // (-2.7, 3.2), 10 x 10 fill: columns 0..6 of rows 3..12; source (0, 3) is
  // fill (2, 0).
  Ref fx = NewBlend(NORMAL);
  Ref src = RandomBitmap(host(), 12, 15, kRGB8, 0, 3);
  Ref fill = RandomBitmap(host(), 10, 10, kRGB8, 0, 4);
  Ref loc = Point(-2.7f, 3.2f);
  Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0, nullptr, loc.get());
  ASSERT_TRUE(out);
  for (int y = 0; y < 15; ++y) {
    for (int x = 0; x < 12; ++x) {
      const bool covered = x <= 6 && y >= 3 && y <= 12;
      const uint8_t* want = covered ? PixelAt(fill.get(), x + 2, y - 3) : PixelAt(src.get(), x, y);
      const uint8_t* got = PixelAt(out.get(), x, y);
      ASSERT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(want, want + 3))
          << x << "," << y;
    }
  }
}

TEST_F(BlendTest, PlacementsThatCoverNothingLeaveTheSource) {
  struct Case {
    const char* name;
    bool location;
    float x, y;
    bool size;
    float w, h;
  } const cases[] = {
      {"right of the source", true, 12.0f, 0.0f, false, 0, 0},
      {"below the source", true, 0.0f, 9.0f, false, 0, 0},
      {"far left", true, -40.0f, 0.0f, false, 0, 0},
      {"far above", true, 0.0f, -40.5f, false, 0, 0},
      {"zero size", false, 0, 0, true, 0.0f, 0.0f},
      {"zero width", true, 1.0f, 1.0f, true, 0.0f, 5.0f},
      {"huge location", true, 3.0e9f, -3.0e9f, false, 0, 0},
  };
  Ref src = RandomBitmap(host(), 12, 9, kRGBA8, 2, 10);
  Ref fill = RandomBitmap(host(), 6, 6, kRGBA8, 0, 11);
  for (int64_t mode : {NORMAL, SCREEN}) {
    Ref fx = NewBlend(mode);
    for (const Case& c : cases) {
      Ref loc = c.location ? Point(c.x, c.y) : Ref();
      Ref size = c.size ? Size(c.w, c.h) : Ref();
      Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0, nullptr, loc.get(), size.get());
      ASSERT_TRUE(out) << c.name;
      EXPECT_TRUE(SamePixels(Rec(src.get()), Rec(out.get()))) << c.name << ", mode " << mode;
    }
  }
}

TEST_F(BlendTest, SizeNarrowsButNeverWidensOrScales) {
  struct Case {
    float w, h;
    int coveredW, coveredH;
  } const cases[] = {
      {3.0f, 2.0f, 3, 2},   {3.9f, 2.5f, 3, 2},    // truncated ends
      {50.0f, 50.0f, 6, 5}, {-1.0f, -3.0f, 6, 5},  // the fill's own size
      {6.0f, 1.0f, 6, 1},
  };
  Ref fx = NewBlend(NORMAL);
  Ref src = RandomBitmap(host(), 10, 10, kRGB8, 0, 20);
  Ref fill = RandomBitmap(host(), 6, 5, kRGB8, 0, 21);
  Ref loc = Point(1.0f, 2.0f);
  for (const Case& c : cases) {
    Ref size = Size(c.w, c.h);
    Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0, nullptr, loc.get(), size.get());
    ASSERT_TRUE(out);
    for (int y = 0; y < 10; ++y) {
      for (int x = 0; x < 10; ++x) {
        const bool covered = x >= 1 && x < 1 + c.coveredW && y >= 2 && y < 2 + c.coveredH;
        const uint8_t* want =
            covered ? PixelAt(fill.get(), x - 1, y - 2) : PixelAt(src.get(), x, y);
        ASSERT_EQ(PixelAt(out.get(), x, y)[1], want[1])
            << "size " << c.w << "x" << c.h << " at " << x << "," << y;
      }
    }
  }
}

// -- Workers and the alpha rule -------------------------------------------------

TEST_F(BlendTest, TransparentFillLeavesTheSourceInTheAlphaWorkers) {
  Ref src = RandomBitmap(host(), 11, 10, kRGBA8, 0, 30);
  Ref fill = Filled(11, 10, kRGBA8, {90, 180, 45, 0});
  Ref mask = lumeno::testing::MaskWithValues(host(), 11, 10,
                                             lumeno::testing::RandomMaskValues8(11, 10, 31));
  for (int64_t mode : {NORMAL, MULTIPLY, HUE}) {
    Ref fx = NewBlend(mode);
    for (Object m : {Object{nullptr}, mask.get()}) {
      Ref out = Apply(fx.get(), src.get(), fill.get(), 0.8, m);
      ASSERT_TRUE(out);
      EXPECT_TRUE(SamePixels(Rec(src.get()), Rec(out.get())))
          << "mode " << mode << (m ? " masked" : "");
    }
  }
}

TEST_F(BlendTest, OpaqueFillOverAlphaSourceSetsAlpha255OnlyWhereCovered) {
  Ref src = RandomBitmap(host(), 8, 8, kARGB8, 0, 40);
  Ref fill = RandomBitmap(host(), 4, 4, kBGR8, 0, 41);
  Ref loc = Point(2.0f, 3.0f);
  for (int64_t mode : {NORMAL, OVERLAY}) {
    Ref fx = NewBlend(mode);
    Ref out = Apply(fx.get(), src.get(), fill.get(), 0.4, nullptr, loc.get());
    ASSERT_TRUE(out);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        const bool covered = x >= 2 && x < 6 && y >= 3 && y < 7;
        EXPECT_EQ(PixelAt(out.get(), x, y)[0], covered ? 255 : PixelAt(src.get(), x, y)[0])
            << x << "," << y;
      }
    }
  }
}

TEST_F(BlendTest, MaskValue255CopiesOrDropsOneUnitByWorker) {
  const std::vector<uint8_t> full(4, 255);
  Ref mask = lumeno::testing::MaskWithValues(host(), 2, 2, full);
  Ref src = Filled(2, 2, kRGBA8, {200, 1, 0, 77});
  Ref alphaFill = Filled(2, 2, kRGBA8, {9, 9, 9, 128});
  Ref opaqueFill = Filled(2, 2, kRGB8, {9, 9, 9});
  // With fill alpha, both alpha-masked workers copy the pixel, alpha included.
  for (int64_t mode : {NORMAL, MULTIPLY}) {
    Ref fx = NewBlend(mode);
    Ref out = Apply(fx.get(), src.get(), alphaFill.get(), 1.0, mask.get());
    ASSERT_TRUE(out);
    EXPECT_TRUE(SamePixels(Rec(src.get()), Rec(out.get()))) << mode;
  }
  // NORMAL masked without fill alpha: (S * 255) >> 8, one less than S; alpha
  // from k = 0 keeps the source alpha exactly.
  Ref fx = NewBlend(NORMAL);
  Ref out = Apply(fx.get(), src.get(), opaqueFill.get(), 1.0, mask.get());
  ASSERT_TRUE(out);
  const uint8_t* p = PixelAt(out.get(), 1, 0);
  EXPECT_EQ(p[0], 199);
  EXPECT_EQ(p[1], 0);
  EXPECT_EQ(p[2], 0);
  EXPECT_EQ(p[3], 77);
  // A mode, masked, without fill alpha: weight 0 for the mode's result.
  Ref multiply = NewBlend(MULTIPLY);
  Ref out2 = Apply(multiply.get(), src.get(), opaqueFill.get(), 1.0, mask.get());
  ASSERT_TRUE(out2);
  EXPECT_TRUE(SamePixels(Rec(src.get()), Rec(out2.get())));
}

TEST_F(BlendTest, StatedAlphaAndMaskArithmetic) {
  // BlendNormalAlphaMaskedRows on one pixel: fa = 200, m = 100, F = 250,
  // S = 50, opacity 1: f = 200 * 155 / 255 = 121; v = trunc((121 * 250 + 134
  // * 50) / 255.0) = 144; e = 144; D = (144 * 155 + 50 * 100) >> 8 = 106.
  // Alpha: sa = 1 (source alpha 255) gives 255 whatever k is.
  const std::vector<uint8_t> m100(1, 100);
  Ref mask = lumeno::testing::MaskWithValues(host(), 1, 1, m100);
  Ref fx = NewBlend(NORMAL);
  Ref src = Filled(1, 1, kRGBA8, {50, 50, 50, 255});
  Ref fill = Filled(1, 1, kRGBA8, {250, 250, 250, 200});
  Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0, mask.get());
  ASSERT_TRUE(out);
  EXPECT_EQ(PixelAt(out.get(), 0, 0)[0], 106);
  EXPECT_EQ(PixelAt(out.get(), 0, 0)[3], 255);
  // Source alpha 0 with BlendNormalAlphaRows: k = (200 / 255) * 1, and in
  // single precision 0.78431374 * 255 comes back to 200.
  Ref clear = Filled(1, 1, kRGBA8, {50, 50, 50, 0});
  Ref out2 = Apply(fx.get(), clear.get(), fill.get(), 1.0);
  ASSERT_TRUE(out2);
  EXPECT_EQ(PixelAt(out2.get(), 0, 0)[3], 200);
  // v = trunc((200 * 250 + 55 * 50) / 255.0) = 206.
  EXPECT_EQ(PixelAt(out2.get(), 0, 0)[0], 206);
}

TEST_F(BlendTest, ModeWithTransparentSourceMixesPlainly) {
  // BlendModeAlphaRows, sa = 0: D = (sw * S + fw * F) >> 8, no formula.
  Ref fx = NewBlend(MULTIPLY);
  Ref src = Filled(1, 1, kRGBA8, {40, 40, 40, 0});
  Ref fill = Filled(1, 1, kRGBA8, {220, 220, 220, 255});
  Ref out = Apply(fx.get(), src.get(), fill.get(), 0.5);
  ASSERT_TRUE(out);
  EXPECT_EQ(PixelAt(out.get(), 0, 0)[0], (128 * 40 + 128 * 220) >> 8);
  // Alpha: k = 1 * 0.5 -> trunc(0.5 * 255) = 127.
  EXPECT_EQ(PixelAt(out.get(), 0, 0)[3], 127);
}

// Random images, random placement, every worker, source with and without
// alpha, several thread counts: the result equals the reference byte for
// byte, the source is untouched and nothing outside the destination's pixels
// is written.
TEST_F(BlendTest, RandomBlendsMatchTheReference) {
  std::mt19937_64 rng(2024);
  auto pick = [&](auto... values) {
    const std::vector<int64_t> v{static_cast<int64_t>(values)...};
    return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)];
  };
  auto real = [&](float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
  };
  int runs = 0;
  for (int i = 0; i < 160; ++i) {
    const bool rgbGroup = i % 5 != 0;
    const int64_t srcFormat =
        rgbGroup ? pick(kRGB8, kBGR8, kRGBA8, kBGRA8, kARGB8, 8, 9, 11) : pick(kGray8, kGrayAlpha8);
    const int64_t fillFormat =
        rgbGroup ? pick(kRGB8, kRGBA8, lumeno::host::kABGR8, lumeno::host::kXBGR8, kBGRA8)
                 : pick(kGray8, kGrayAlpha8);
    const int64_t mode = rgbGroup ? pick(0, 0, 1, 3, 7, 9, 12, 13, 14, 15, 18, 20, 23, 40)
                                  : pick(0, 0, 2, 6, 8, 11, 16, 17, 19, 21, -3);
    const int64_t w = pick(1, 7, 16, 33), h = pick(1, 5, 16, 40);
    const int64_t fw = pick(1, 4, 9, 40), fh = pick(1, 3, 17, 50);
    blendref::Placement pl;
    pl.hasLocation = pick(0, 1, 1) != 0;
    pl.x = real(-12.0f, static_cast<float>(w));
    pl.y = real(-12.0f, static_cast<float>(h));
    pl.hasSize = pick(0, 1) != 0;
    pl.width = real(-4.0f, static_cast<float>(fw) + 6.0f);
    pl.height = real(-4.0f, static_cast<float>(fh) + 6.0f);
    const double opacity = static_cast<double>(real(-0.3f, 1.3f));
    const bool masked = pick(0, 1) != 0;
    const int64_t hint = pick(0, 1, 2, 3, 5, 8, -1);
    SCOPED_TRACE(testing::Message()
                 << "case " << i << ": formats " << srcFormat << "/" << fillFormat << " mode "
                 << mode << " " << w << "x" << h << " fill " << fw << "x" << fh << " at " << pl.x
                 << "," << pl.y << " size " << pl.width << "x" << pl.height << " opacity "
                 << opacity << " masked " << masked);

    Ref fx = NewBlend(mode);
    host().SetProperty(fx.get(), "MultiprocessingHint", hint);
    Ref src = RandomBitmap(host(), w, h, srcFormat, pick(0, 3), 1000 + i);
    Ref fill = RandomBitmap(host(), fw, fh, fillFormat, pick(0, 5), 2000 + i);
    ASSERT_TRUE(src && fill);
    const std::vector<uint8_t> maskValues = lumeno::testing::RandomMaskValues8(w, h, 3000 + i);
    Ref mask = masked ? lumeno::testing::MaskWithValues(host(), w, h, maskValues) : Ref();
    Ref loc = pl.hasLocation ? Point(pl.x, pl.y) : Ref();
    Ref size = pl.hasSize ? Size(pl.width, pl.height) : Ref();
    const std::vector<uint8_t> sourceBefore = lumeno::host::ReadPixels(Rec(src.get()));
    const auto srcOutside = lumeno::testing::Snapshot(Rec(src.get()));

    Ref out = Apply(fx.get(), src.get(), fill.get(), opacity, mask.get(), loc.get(), size.get());
    ASSERT_TRUE(out) << "ErrorCode " << ErrorCode(fx.get());
    const std::vector<uint8_t> expected = blendref::Blend(
        Rec(src.get()), Rec(fill.get()), masked ? &maskValues : nullptr, mode, opacity, pl);
    ASSERT_TRUE(SamePixels(expected, Rec(out.get())));
    EXPECT_EQ(lumeno::host::ReadPixels(Rec(src.get())), sourceBefore);
    EXPECT_TRUE(lumeno::testing::OutsideUnchanged(Rec(src.get()), srcOutside));
    // A new destination is zero outside its pixels; the blend must keep it so.
    const auto dstOutside = lumeno::testing::Snapshot(Rec(out.get()));
    for (uint8_t b : dstOutside.bytes) ASSERT_EQ(b, 0);
    ++runs;
  }
  EXPECT_EQ(runs, 160);
}

// Bands of a quarter million covered pixels and more blend through tables
// of the band (NORMAL: the fill alpha rule; the modes that read the scaled
// samples alone: the mode's result, the scaling and the alpha rule). One
// thread covers that here; two threads split it into bands below the size,
// which compute pixel by pixel.
TEST_F(BlendTest, LargeBlendsMatchTheReference) {
  const int64_t w = 560, h = 520;
  // NORMAL, MULTIPLY, SCREEN (no table), COLOR_DODGE, HARD_LIGHT, SHARP_LIGHT,
  // and an unknown mode (MULTIPLY). The sanitizer builds, several times
  // slower, take NORMAL and one tabled mode.
#ifdef LUMENO_SANITIZER_BUILD
  const std::vector<int64_t> modes = {0, 6};
#else
  const std::vector<int64_t> modes = {0, 1, 2, 6, 9, 17, 40};
#endif
  for (const int64_t mode : modes) {
    for (const int64_t srcFormat : {kRGBA8, kBGRA8, kARGB8, kRGB8}) {
      for (const int64_t fillFormat : {kRGBA8, kRGB8}) {
        for (const int64_t hint : {1, 2}) {
          if (hint == 2 && mode != 0 && mode != 1) continue;
          SCOPED_TRACE(testing::Message() << "mode " << mode << " formats " << srcFormat << "/"
                                          << fillFormat << " hint " << hint);
          Ref fx = NewBlend(mode);
          host().SetProperty(fx.get(), "MultiprocessingHint", hint);
          Ref src = RandomBitmap(host(), w, h, srcFormat, 0, 71 + srcFormat + mode);
          Ref fill = RandomBitmap(host(), 540, 515, fillFormat, 4, 91 + fillFormat + mode);
          ASSERT_TRUE(src && fill);
          blendref::Placement pl;
          pl.hasLocation = true;
          pl.x = 10.5f;
          pl.y = -5.0f;
          Ref loc = Point(pl.x, pl.y);
          Ref out = Apply(fx.get(), src.get(), fill.get(), 0.7, nullptr, loc.get(), nullptr);
          ASSERT_TRUE(out) << "ErrorCode " << ErrorCode(fx.get());
          const std::vector<uint8_t> expected =
              blendref::Blend(Rec(src.get()), Rec(fill.get()), nullptr, mode, 0.7, pl);
          EXPECT_TRUE(SamePixels(expected, Rec(out.get())));
        }
      }
    }
  }
}

// -- Validation ---------------------------------------------------------------

TEST_F(BlendTest, ValidationCodesInTheirOrder) {
  using lumeno::host::kCMYK8;
  using lumeno::host::kCMYKA8;
  using lumeno::host::kRGB16;
  using lumeno::host::kRGBA16;
  struct Case {
    const char* name;
    int64_t mode;
    int64_t sourceFormat;  // -1: no source
    int64_t fillFormat;    // -1: no fill
    int64_t code;          // 0: accepted
  } const cases[] = {
      {"no source", NORMAL, -1, kRGB8, 4},
      {"no fill", NORMAL, kRGB8, -1, 4},
      {"no source, 16-bit fill", NORMAL, -1, kRGB16, 4},
      {"8-bit source, 16-bit fill", NORMAL, kRGB8, kRGB16, 7},
      {"16-bit source, 8-bit fill", HUE, kRGB16, kGray8, 7},
      {"both 16-bit", NORMAL, kRGB16, kRGBA16, 6},
      {"both 16-bit, HUE, mismatched groups", HUE, kRGB16, lumeno::host::kGray16, 6},
      {"HUE on gray", HUE, kGray8, kGray8, 9},
      {"HUE on gray, colour fill", HUE, kGray8, kRGB8, 9},
      {"LUMINOSITY on CMYK", LUMINOSITY, kCMYK8, kCMYK8, 9},
      {"SATURATION on gray alpha", SATURATION, kGrayAlpha8, kGrayAlpha8, 9},
      {"COLOR on gray", COLOR, kGray8, kGray8, 9},
      {"colour source, gray fill", MULTIPLY, kRGB8, kGray8, 8},
      {"gray source, colour fill", MULTIPLY, kGray8, kRGBA8, 8},
      {"CMYK source, colour fill", NORMAL, kCMYK8, kRGB8, 8},
      {"MULTIPLY gray on gray", MULTIPLY, kGray8, kGray8, 0},
      {"gray alpha on gray", NORMAL, kGrayAlpha8, kGray8, 0},
      {"CMYK with alpha on CMYK", SCREEN, kCMYKA8, kCMYK8, 0},
      {"HUE on colour", HUE, kBGRA8, kRGB8, 0},
      {"mode 16 on gray", PIN_LIGHT, kGray8, kGray8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref fx = NewBlend(c.mode);
    Ref src = c.sourceFormat < 0 ? Ref() : RandomBitmap(host(), 4, 4, c.sourceFormat, 0, 1);
    Ref fill = c.fillFormat < 0 ? Ref() : RandomBitmap(host(), 3, 3, c.fillFormat, 0, 2);
    Ref out = Apply(fx.get(), src.get(), fill.get(), 0.5);
    EXPECT_EQ(static_cast<bool>(out), c.code == 0);
    EXPECT_EQ(ErrorCode(fx.get()), c.code);
  }
}

TEST_F(BlendTest, SuccessLeavesAnEarlierErrorCodeInPlace) {
  Ref fx = NewBlend(NORMAL);
  Ref src = RandomBitmap(host(), 4, 4, kRGB8, 0, 1);
  Ref fill = RandomBitmap(host(), 4, 4, kRGB8, 0, 2);
  EXPECT_FALSE(Apply(fx.get(), src.get(), nullptr, 1.0));
  EXPECT_EQ(ErrorCode(fx.get()), 4);
  EXPECT_TRUE(Apply(fx.get(), src.get(), fill.get(), 1.0));
  EXPECT_EQ(ErrorCode(fx.get()), 4);
}

TEST_F(BlendTest, CancelledApplyReturnsThePartialResultAndLeavesCanceledAlone) {
  // One band on the calling thread, progress after every 100 rows; the
  // handler asks for a cancel at its first call.
  Ref fx = NewBlend(NORMAL);
  Ref handler = lumeno::testing::NewProgressHandler(host());
  lumeno::testing::ProgressOf(handler.get()).CancelAtCall(1);
  host().SetProperty(fx.get(), "ProgressHandler", handler.get());
  host().SetProperty(fx.get(), "MultiprocessingHint", int64_t{1});
  Ref src = Filled(4, 250, kRGB8, {1, 2, 3});
  Ref fill = Filled(4, 250, kRGB8, {7, 8, 9});
  Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0);
  ASSERT_TRUE(out);
  EXPECT_EQ(PixelAt(out.get(), 0, 0)[0], 7);
  EXPECT_EQ(PixelAt(out.get(), 3, 99)[2], 9);
  EXPECT_EQ(PixelAt(out.get(), 0, 150)[0], 0);  // never processed: as created
  EXPECT_FALSE(host().GetBoolean(fx.get(), "Canceled"));
  EXPECT_EQ(ErrorCode(fx.get()), 0);
}

// -- Properties, stored values and ownership ------------------------------------

TEST_F(BlendTest, StoredPropertiesDriveTheOneArgumentApply) {
  Ref fx = NewBlend(SOFT_LIGHT);
  Ref src = RandomBitmap(host(), 14, 12, kRGBA8, 0, 50);
  Ref fill = RandomBitmap(host(), 9, 8, kBGRA8, 0, 51);
  Ref mask = lumeno::testing::MaskWithValues(host(), 14, 12,
                                             lumeno::testing::RandomMaskValues8(14, 12, 52));
  Ref loc = Point(3.5f, -1.5f);
  Ref size = Size(7.0f, 100.0f);
  ASSERT_TRUE(host().SetProperty(fx.get(), "FillBitmap", fill.get()));
  ASSERT_TRUE(host().SetProperty(fx.get(), "FillMask", mask.get()));
  ASSERT_TRUE(host().SetProperty(fx.get(), "Location", loc.get()));
  ASSERT_TRUE(host().SetProperty(fx.get(), "Size", size.get()));
  ASSERT_TRUE(host().SetProperty(fx.get(), "Opacity", 0.7));
  EXPECT_EQ(host().GetInteger(fx.get(), "BlendMode"), SOFT_LIGHT);
  EXPECT_EQ(host().GetDouble(fx.get(), "Opacity"), 0.7);
  {
    Ref stored(host(), host().GetObject(fx.get(), "FillMask"));
    EXPECT_EQ(stored.get(), mask.get());
  }
  Ref viaProps(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
  Ref viaArgs = Apply(fx.get(), src.get(), fill.get(), 0.7, mask.get(), loc.get(), size.get());
  ASSERT_TRUE(viaProps && viaArgs);
  EXPECT_TRUE(SamePixels(Rec(viaArgs.get()), Rec(viaProps.get())));
  // The value-taking Apply stores nothing.
  Ref other = RandomBitmap(host(), 3, 3, kRGB8, 0, 53);
  Ref ignored = Apply(fx.get(), src.get(), other.get(), 0.1);
  EXPECT_EQ(host().GetDouble(fx.get(), "Opacity"), 0.7);
  Ref storedFill(host(), host().GetObject(fx.get(), "FillBitmap"));
  EXPECT_EQ(storedFill.get(), fill.get());
  // Any mode value is stored as given.
  host().SetProperty(fx.get(), "BlendMode", int64_t{-77});
  EXPECT_EQ(host().GetInteger(fx.get(), "BlendMode"), -77);
}

TEST_F(BlendTest, DestroyingTheEffectReleasesEveryStoredObject) {
  // The fixture fails the test if any object outlives it; replacing each
  // property once checks that the old holds are dropped as well.
  Ref fx = NewBlend(NORMAL);
  for (int round = 0; round < 2; ++round) {
    Ref fill = RandomBitmap(host(), 3, 3, kRGB8, 0, 60 + round);
    Ref mask = lumeno::testing::MaskWithValues(host(), 3, 3, std::vector<uint8_t>(9, 1));
    Ref loc = Point(1.0f, 1.0f);
    Ref size = Size(2.0f, 2.0f);
    host().SetProperty(fx.get(), "FillBitmap", fill.get());
    host().SetProperty(fx.get(), "FillMask", mask.get());
    host().SetProperty(fx.get(), "Location", loc.get());
    host().SetProperty(fx.get(), "Size", size.get());
  }
  Ref unsetMask = NewBlend(NORMAL);  // nothing stored: the destructor must not drop anything
  host().SetProperty(fx.get(), "FillMask", Object{nullptr});
}

// -- Asynchronous runs --------------------------------------------------------

TEST_F(BlendTest, AsyncRunMatchesTheSynchronousResultAndCompletesOnce) {
  Ref fx = NewBlend(OVERLAY);
  Ref src = RandomBitmap(host(), 64, 70, kBGRA8, 4, 70);
  Ref fill = RandomBitmap(host(), 40, 50, kRGBA8, 0, 71);
  Ref mask = lumeno::testing::MaskWithValues(host(), 64, 70,
                                             lumeno::testing::RandomMaskValues8(64, 70, 72));
  Ref loc = Point(10.2f, -4.9f);
  host().SetProperty(fx.get(), "FillBitmap", fill.get());
  host().SetProperty(fx.get(), "FillMask", mask.get());
  host().SetProperty(fx.get(), "Location", loc.get());
  host().SetProperty(fx.get(), "Opacity", 0.9);
  Ref expected(host(), host().Call<Object>(fx.get(), kApplyStored, src.get()));
  ASSERT_TRUE(expected);

  Ref target = lumeno::testing::NewCompletionTarget(host());
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(),
                    lumeno::testing::CompletionMethod());
  EXPECT_FALSE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  // A second start while the first runs is refused and changes nothing.
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(),
                    lumeno::testing::CompletionMethod());
  EXPECT_EQ(ErrorCode(fx.get()), 10);
  // The run keeps its fill and mask alive even when the script lets go of them.
  host().SetProperty(fx.get(), "FillBitmap", Object{nullptr});
  host().SetProperty(fx.get(), "FillMask", Object{nullptr});
  fill.Reset();
  mask.Reset();

  auto& log = lumeno::testing::CompletionOf(target.get());
  ASSERT_TRUE(host().RunLoop([&] { return log.count > 0; }));
  EXPECT_EQ(log.count, 1);
  EXPECT_EQ(log.lastFilter, fx.get());
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
  ASSERT_TRUE(result);
  EXPECT_TRUE(SamePixels(Rec(expected.get()), Rec(result.get())));
}

TEST_F(BlendTest, AsyncRefusalsFreeEverything) {
  Ref fx = NewBlend(HUE);
  Ref gray = RandomBitmap(host(), 20, 20, kGray8, 0, 80);
  Ref target = lumeno::testing::NewCompletionTarget(host());
  // No fill stored: code 4.
  host().Call<void>(fx.get(), kApplyAsync, gray.get(), target.get(),
                    lumeno::testing::CompletionMethod());
  EXPECT_EQ(ErrorCode(fx.get()), 4);
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  // HUE on gray: code 9.
  host().SetProperty(fx.get(), "FillBitmap", gray.get());
  host().Call<void>(fx.get(), kApplyAsync, gray.get(), target.get(),
                    lumeno::testing::CompletionMethod());
  EXPECT_EQ(ErrorCode(fx.get()), 9);
  EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  EXPECT_EQ(host().TaskCount(), 0u);
  EXPECT_EQ(lumeno::testing::CompletionOf(target.get()).count, 0);
}

TEST_F(BlendTest, DestroyingTheEffectDuringARunReleasesItsHolds) {
  Ref src = RandomBitmap(host(), 200, 200, kRGBA8, 0, 90);
  Ref target = lumeno::testing::NewCompletionTarget(host());
  {
    Ref fx = NewBlend(VIVID_LIGHT);
    Ref fill = RandomBitmap(host(), 150, 150, kRGBA8, 0, 91);
    Ref mask = lumeno::testing::MaskWithValues(host(), 200, 200,
                                               lumeno::testing::RandomMaskValues8(200, 200, 92));
    host().SetProperty(fx.get(), "FillBitmap", fill.get());
    host().SetProperty(fx.get(), "FillMask", mask.get());
    host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(),
                      lumeno::testing::CompletionMethod());
    EXPECT_FALSE(host().GetBoolean(fx.get(), "AsyncCompleted"));
    // The run holds the effect; Cancel() ends it without a completion call.
    host().Call<void>(fx.get(), "Cancel()");
    EXPECT_TRUE(host().GetBoolean(fx.get(), "AsyncCompleted"));
  }
  EXPECT_EQ(host().TaskCount(), 0u);
  EXPECT_EQ(lumeno::testing::CompletionOf(target.get()).count, 0);
}

TEST_F(BlendTest, AsyncAfterCancelStartsAfresh) {
  Ref fx = NewBlend(NORMAL);
  Ref src = RandomBitmap(host(), 30, 30, kRGB8, 0, 95);
  Ref fill = RandomBitmap(host(), 30, 30, kRGB8, 0, 96);
  host().SetProperty(fx.get(), "FillBitmap", fill.get());
  host().SetProperty(fx.get(), "Opacity", 1.0);
  host().Call<void>(fx.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(fx.get(), "Canceled"));
  Ref target = lumeno::testing::NewCompletionTarget(host());
  host().Call<void>(fx.get(), kApplyAsync, src.get(), target.get(),
                    lumeno::testing::CompletionMethod());
  auto& log = lumeno::testing::CompletionOf(target.get());
  ASSERT_TRUE(host().RunLoop([&] { return log.count > 0; }));
  EXPECT_FALSE(host().GetBoolean(fx.get(), "Canceled"));
  Ref result(host(), host().GetObject(fx.get(), "AsyncResult"));
  ASSERT_TRUE(result);
  EXPECT_TRUE(SamePixels(Rec(fill.get()), Rec(result.get())));
}

}  // namespace
}  // namespace blendtest

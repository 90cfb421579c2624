// The exported colour functions, called directly through the library.
#include "lumeno/colormath.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <tuple>

namespace {

// Largest q with q * q <= n: the truncated square root, without floating point.
int64_t FloorSqrt(int64_t n) {
  int64_t lo = 0, hi = 1 << 20;
  while (lo < hi) {
    const int64_t mid = (lo + hi + 1) / 2;
    if (mid * mid <= n) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

TEST(ColorDistance, RandomAgainstIntegerRoot) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> b8(0, 255), b16(0, 65535);
  for (int i = 0; i < 20000; ++i) {
    int c[6], w[6];
    for (int k = 0; k < 6; ++k) c[k] = b8(rng), w[k] = b16(rng);
    if (i % 64 == 0) {  // a colour against itself now and then
      for (int k = 0; k < 3; ++k) c[k + 3] = c[k], w[k + 3] = w[k];
    }
    const int64_t dr = c[0] - c[3], dg = c[1] - c[4], db = c[2] - c[5];
    ASSERT_EQ(ColorDistanceEuclidean(c[0], c[1], c[2], c[3], c[4], c[5]),
              FloorSqrt(dr * dr + dg * dg + db * db));
    ASSERT_EQ(ColorDistanceEuclideanWeighted(c[0], c[1], c[2], c[3], c[4], c[5]),
              FloorSqrt(2 * dr * dr + 4 * dg * dg + 3 * db * db));
    const int64_t er = w[0] - w[3], eg = w[1] - w[4], eb = w[2] - w[5];
    ASSERT_EQ(ColorDistanceEuclidean16(w[0], w[1], w[2], w[3], w[4], w[5]),
              FloorSqrt(er * er + eg * eg + eb * eb));
    ASSERT_EQ(ColorDistanceEuclideanWeighted16(w[0], w[1], w[2], w[3], w[4], w[5]),
              FloorSqrt(2 * er * er + 4 * eg * eg + 3 * eb * eb));
  }
}

struct HueCase {
  int r, g, b;
  float hue;
};

TEST(FloatHsl, PrimariesAndSecondariesRoundTripExactly) {
  const HueCase cases[] = {{255, 0, 0, 0.0f},   {255, 255, 0, 1.0f}, {0, 255, 0, 2.0f},
                           {0, 255, 255, 3.0f}, {0, 0, 255, 4.0f},   {255, 0, 255, -1.0f}};
  for (const HueCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.r << "," << c.g << "," << c.b);
    float h = -9, s = -9, l = -9;
    Convert_RGB_To_HSL(static_cast<unsigned char>(c.r), static_cast<unsigned char>(c.g),
                       static_cast<unsigned char>(c.b), &h, &s, &l);
    EXPECT_EQ(std::tuple(h, s, l), std::tuple(c.hue, 1.0f, 0.5f));
    unsigned char r = 1, g = 1, b = 1;
    Convert_HSL_To_RGB(h, s, l, &r, &g, &b);
    EXPECT_EQ(std::tuple(r, g, b), std::tuple(c.r, c.g, c.b));

    const int k = 257;  // 255 * 257 = 65535
    Convert_RGB_To_HSL16(static_cast<unsigned short>(c.r * k), static_cast<unsigned short>(c.g * k),
                         static_cast<unsigned short>(c.b * k), &h, &s, &l);
    EXPECT_EQ(std::tuple(h, s, l), std::tuple(c.hue, 1.0f, 0.5f));
    unsigned short r16 = 1, g16 = 1, b16 = 1;
    Convert_HSL_To_RGB16(h, s, l, &r16, &g16, &b16);
    EXPECT_EQ(std::tuple(r16, g16, b16), std::tuple(c.r * k, c.g * k, c.b * k));
  }
}

TEST(FloatHsl, GraysHaveNoHueNorSaturationAndComeBack) {
  for (int v = 0; v <= 255; ++v) {
    float h = -9, s = -9, l = -9;
    const auto c = static_cast<unsigned char>(v);
    Convert_RGB_To_HSL(c, c, c, &h, &s, &l);
    ASSERT_EQ(std::tuple(h, s, l), std::tuple(0.0f, 0.0f, static_cast<float>(v) / 255.0f));
    unsigned char r, g, b;
    Convert_HSL_To_RGB(h, s, l, &r, &g, &b);
    ASSERT_EQ(std::tuple(r, g, b), std::tuple(v, v, v));
  }
}

// Full lightness is white whatever the hue and saturation; every value is
// truncated: gray 0.5 gives 127.5 -> 127, 0.3 gives 76.5 -> 76, half
// saturated red at 0.5 has m1 = 0.25, m2 = 0.75 -> 191.25, 63.75.
TEST(FloatHsl, StatedConversionsTruncate) {
  const struct {
    float h, s, l;
    int r, g, b;
  } cases[] = {{-1.0f, 0.0f, 1.0f, 255, 255, 255}, {2.5f, 0.25f, 1.0f, 255, 255, 255},
               {4.9f, 1.0f, 1.0f, 255, 255, 255},  {0.0f, 0.0f, 0.5f, 127, 127, 127},
               {0.0f, 0.0f, 0.3f, 76, 76, 76},     {0.0f, 0.5f, 0.5f, 191, 63, 63}};
  for (const auto& c : cases) {
    unsigned char r, g, b;
    Convert_HSL_To_RGB(c.h, c.s, c.l, &r, &g, &b);
    EXPECT_EQ(std::tuple(r, g, b), std::tuple(c.r, c.g, c.b)) << c.h << " " << c.s << " " << c.l;
  }
}

struct IntCase {
  int r, g, b;     // in
  int h, l, s;     // hue, lightness, saturation
  int r2, g2, b2;  // back
};

TEST(IntegerHls, StatedConversionsAndLossyRoundTrips) {
  const IntCase cases[] = {
      {255, 0, 0, 0, 127, 255, 254, 0, 0},       {0, 255, 0, 85, 127, 255, 0, 254, 0},
      {0, 0, 255, 170, 127, 255, 0, 0, 254},     {255, 255, 255, 0, 255, 0, 255, 255, 255},
      {128, 128, 128, 0, 128, 0, 128, 128, 128}, {200, 100, 50, 14, 125, 153, 200, 99, 49},
      {255, 0, 1, 254, 127, 255, 254, 0, 5},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.r << "," << c.g << "," << c.b);
    int a = c.r, b = c.g, d = c.b;
    Convert_RGB_To_HSL(&a, &b, &d);
    EXPECT_EQ(std::tuple(a, b, d), std::tuple(c.h, c.l, c.s));
    Convert_HSL_To_RGB(&a, &b, &d);
    EXPECT_EQ(std::tuple(a, b, d), std::tuple(c.r2, c.g2, c.b2));
  }
}

// Random colours: the float hue stays in (-1, 5), the rest in 0..1; the
// integer pair keeps every component on its 0..255 scale (hue below 255).
TEST(ColorMath, ComponentsStayInTheirRanges) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> b8(0, 255), b16(0, 65535);
  std::uniform_real_distribution<float> hues(-1.0f, 5.0f), unit(0.0f, 1.0f);
  auto inScale = [](float h, float s, float l) {
    return h >= -1.0f && h < 5.0f && s >= 0.0f && s <= 1.0f && l >= 0.0f && l <= 1.0f;
  };
  for (int i = 0; i < 20000; ++i) {
    const int c[3] = {b8(rng), b8(rng), b8(rng)};
    float h, s, l;
    Convert_RGB_To_HSL(static_cast<unsigned char>(c[0]), static_cast<unsigned char>(c[1]),
                       static_cast<unsigned char>(c[2]), &h, &s, &l);
    ASSERT_TRUE(inScale(h, s, l)) << h << " " << s << " " << l;
    const float h8 = h, s8 = s, l8 = l;
    Convert_RGB_To_HSL16(b16(rng), b16(rng), b16(rng), &h, &s, &l);
    ASSERT_TRUE(inScale(h, s, l)) << h << " " << s << " " << l;
    // Any HSL inside the scales converts back without leaving the sample
    // range (the sanitizer builds also catch an out-of-range conversion).
    unsigned char r8, g8, b8out;
    unsigned short r16, g16, b16out;
    Convert_HSL_To_RGB(hues(rng), unit(rng), unit(rng), &r8, &g8, &b8out);
    Convert_HSL_To_RGB16(hues(rng), unit(rng), unit(rng), &r16, &g16, &b16out);
    // Back to RGB within the truncation of each way.
    Convert_HSL_To_RGB(h8, s8, l8, &r8, &g8, &b8out);
    ASSERT_LE(std::abs(r8 - c[0]) + std::abs(g8 - c[1]) + std::abs(b8out - c[2]), 3)
        << c[0] << "," << c[1] << "," << c[2];
    int a = c[0], b = c[1], d = c[2];
    Convert_RGB_To_HSL(&a, &b, &d);
    ASSERT_TRUE(a >= 0 && a <= 254 && b >= 0 && b <= 255 && d >= 0 && d <= 255)
        << a << " " << b << " " << d;
    Convert_HSL_To_RGB(&a, &b, &d);
    ASSERT_TRUE(a >= 0 && a <= 255 && b >= 0 && b <= 255 && d >= 0 && d <= 255)
        << a << " " << b << " " << d;
  }
}

TEST(IntegerHls, HlsValueBranchesAndTheSingleWrap) {
  struct Case {
    double hue;
    int expected;  // with m1 = 0, m2 = 1
  } const cases[] = {
      {0.0, 0},       {21.25, 127}, {42.5, 255}, {85.0, 255},    {127.5, 255},
      {148.75, 127},  {170.0, 0},   {200.0, 0},  {255.0, 0},     {276.25, 127},
      {-233.75, 127}, {340.0, 255}, {552.5, 0},  {-297.5, -255},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HLS_Value(0.0, 1.0, c.hue), c.expected) << "hue " << c.hue;
  }
  // Levels other than 0 and 1: exactly m1 * 255 or m2 * 255 at the plateaus.
  EXPECT_EQ(std::tuple(HLS_Value(0.2, 0.8, 255.0), HLS_Value(0.2, 0.8, 42.5),
                       HLS_Value(0.2, 0.8, 127.5), HLS_Value(0.2, 0.8, 170.0)),
            std::tuple(51, 204, 204, 51));
}

}  // namespace

// The colour functions: every RGB input at 8 and 16 bits, HSL inputs inside
// their documented scales, and the integer HLS channel function. Checks the
// documented output ranges and the plain properties of the distances.
#include <cmath>

#include "fuzz/fuzz_support.h"
#include "lumeno/colormath.h"

namespace lumeno::fuzz {
namespace {

bool InUnit(float v) { return v >= 0.0f && v <= 1.0f; }
bool InHue(float v) { return v >= -1.0f && v <= 5.0f; }
// A float in [lo, hi] from 16 input bits.
float Scaled(Bytes& in, float lo, float hi) {
  return lo + (hi - lo) * (static_cast<float>(in.U16()) / 65535.0f);
}

}  // namespace

int FuzzColorMath(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  const unsigned char r = in.U8(), g = in.U8(), b = in.U8();
  const unsigned char r2 = in.U8(), g2 = in.U8(), b2 = in.U8();
  const unsigned short R = in.U16(), G = in.U16(), B = in.U16();
  const unsigned short R2 = in.U16(), G2 = in.U16(), B2 = in.U16();

  float hue = 0, sat = 0, light = 0;
  Convert_RGB_To_HSL(r, g, b, &hue, &sat, &light);
  if (!InHue(hue) || !InUnit(sat) || !InUnit(light)) Fail("8-bit RGB to HSL out of scale");
  unsigned char br = 0, bg = 0, bb = 0;
  Convert_HSL_To_RGB(hue, sat, light, &br, &bg, &bb);
  Convert_RGB_To_HSL16(R, G, B, &hue, &sat, &light);
  if (!InHue(hue) || !InUnit(sat) || !InUnit(light)) Fail("16-bit RGB to HSL out of scale");
  unsigned short BR = 0, BG = 0, BB = 0;
  Convert_HSL_To_RGB16(hue, sat, light, &BR, &BG, &BB);

  // HSL anywhere inside the documented scales.
  const float h2 = Scaled(in, -1.0f, 5.0f), s2 = Scaled(in, 0.0f, 1.0f),
              l2 = Scaled(in, 0.0f, 1.0f);
  Convert_HSL_To_RGB(h2, s2, l2, &br, &bg, &bb);
  Convert_HSL_To_RGB16(h2, s2, l2, &BR, &BG, &BB);

  int x = r, y = g, z = b;
  Convert_RGB_To_HSL(&x, &y, &z);
  if (x < 0 || x > 255 || y < 0 || y > 255 || z < 0 || z > 255) {
    Fail("integer RGB to HLS out of 0..255");
  }
  Convert_HSL_To_RGB(&x, &y, &z);
  if (x < 0 || x > 255 || y < 0 || y > 255 || z < 0 || z > 255) {
    Fail("integer HLS to RGB out of 0..255");
  }
  int hh = in.U8() % 255, ll = in.U8(), ss = in.U8();
  Convert_HSL_To_RGB(&hh, &ll, &ss);
  if (hh < 0 || hh > 255 || ll < 0 || ll > 255 || ss < 0 || ss > 255) {
    Fail("integer HLS to RGB out of 0..255 for an arbitrary HLS");
  }
  const double m1 = in.U16() / 65535.0, m2 = in.U16() / 65535.0;
  const int v = HLS_Value(m1, m2, static_cast<double>(in.U8()));
  if (v < 0 || v > 255) Fail("HLS_Value out of 0..255");

  const int d = ColorDistanceEuclidean(r, g, b, r2, g2, b2);
  if (d != ColorDistanceEuclidean(r2, g2, b2, r, g, b)) Fail("8-bit distance not symmetric");
  if (ColorDistanceEuclidean(r, g, b, r, g, b) != 0) Fail("8-bit distance of a colour to itself");
  if (d < 0 || d > 442) Fail("8-bit distance out of range");
  const int dw = ColorDistanceEuclideanWeighted(r, g, b, r2, g2, b2);
  if (dw < d || dw > 2 * d + 1) Fail("weighted 8-bit distance out of its bounds");
  const int d16 = ColorDistanceEuclidean16(R, G, B, R2, G2, B2);
  if (d16 < 0 || d16 != ColorDistanceEuclidean16(R2, G2, B2, R, G, B)) {
    Fail("16-bit distance negative or not symmetric");
  }
  const int dw16 = ColorDistanceEuclideanWeighted16(R, G, B, R2, G2, B2);
  if (dw16 < d16) Fail("weighted 16-bit distance below the plain one");
  return 0;
}

}  // namespace lumeno::fuzz

#ifdef LUMENO_LIBFUZZER
LUMENO_FUZZ_ENTRY(lumeno::fuzz::FuzzColorMath(data, size))
#endif

#include "support/reference.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// The reference must round every product and sum on its own, as the plug-in
// does; keep the compiler from fusing multiply-adds here too.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace lumeno::testing::reference {
namespace {

uint32_t Max(bool sixteen) { return sixteen ? 65535u : 255u; }
uint32_t Clamp(int32_t v, bool sixteen) {
  return v < 0 ? 0u : std::min(static_cast<uint32_t>(v), Max(sixteen));
}
float F32(double v) { return static_cast<float>(v); }
bool IsGray(const Image& image) { return image.format->channelCount <= 2; }

// Toward zero; NaN gives 0, the ends of the range saturate.
int32_t Trunc(double v) {
  if (v != v) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int32_t>(v);
}

// Sample index of a byte offset at the image's depth.
int64_t IndexOf(const Image& image, uint8_t offset) {
  return image.Sixteen() ? offset / 2 : offset;
}
uint32_t MaskAt(const MaskValues& mask, const Image& image, int64_t x, int64_t y) {
  return mask.empty() ? 0 : mask[static_cast<size_t>(y * image.width + x)];
}

uint32_t Get(const Image& image, const uint8_t* pixel, int64_t index) {
  if (!image.Sixteen()) return pixel[index];
  uint16_t v;
  std::memcpy(&v, pixel + 2 * index, 2);
  return v;
}
void Set(const Image& image, uint8_t* pixel, int64_t index, uint32_t value) {
  const uint16_t v = static_cast<uint16_t>(value);
  if (image.Sixteen()) std::memcpy(pixel + 2 * index, &v, 2);
  if (!image.Sixteen()) pixel[index] = static_cast<uint8_t>(value);
}

// The mask keeps the original o by m and the effect's e by the rest.
uint32_t MaskMix(bool sixteen, uint32_t o, uint32_t e, uint32_t m) {
  if (m == 0) return e;
  if (sixteen) return (o * m + e * (65535u - m)) >> 16;
  return (o * m + e * (255u - m)) >> 8;
}

// A brightness or colour-filter level: value x 255 (65535), truncated.
int32_t Level(float v, bool sixteen) { return Trunc(v * (sixteen ? 65535.0f : 255.0f)); }
double ContrastFactor(float v) {
  const double f = (static_cast<double>(v * 100.0f) + 100.0) / 100.0;
  return f * f;
}

// The effects that read three channels and write three (plus alpha): red,
// green, blue read at the source's offsets (or its gray sample three
// times), written at the destination's, each mixed with the sample it came
// from; a source without alpha gives an opaque pixel.
template <typename Effect>
Image Three(const Image& source, Image out, const MaskValues& mask, bool grayAsRed, Effect effect) {
  const host::FormatInfo& f = *source.format;
  const host::FormatInfo& d = *out.format;
  const bool sixteen = source.Sixteen();
  const uint8_t reads[3] = {f.redOffset, grayAsRed ? f.redOffset : f.greenOffset,
                            grayAsRed ? f.redOffset : f.blueOffset};
  const uint8_t writes[3] = {d.redOffset, d.greenOffset, d.blueOffset};
  for (int64_t y = 0; y < source.height; ++y) {
    for (int64_t x = 0; x < source.width; ++x) {
      uint32_t s[3], e[3];
      for (int k = 0; k < 3; ++k) s[k] = Get(source, source.Pixel(x, y), IndexOf(source, reads[k]));
      effect(s, e);
      const uint32_t m = MaskAt(mask, source, x, y);
      for (int k = 0; k < 3; ++k) {
        Set(out, out.Pixel(x, y), IndexOf(out, writes[k]), MaskMix(sixteen, s[k], e[k], m));
      }
      if (d.alphaOffset == host::kNoChannel) continue;
      const uint32_t a = f.alphaOffset != host::kNoChannel
                             ? Get(source, source.Pixel(x, y), IndexOf(source, f.alphaOffset))
                             : Max(sixteen);
      Set(out, out.Pixel(x, y), IndexOf(out, d.alphaOffset), a);
    }
  }
  return out;
}

Image Filter(const Image& s, Image initial, const MaskValues& m, const float v[3]) {
  int32_t levels[3];
  for (int k = 0; k < 3; ++k) levels[k] = Level(v[k], s.Sixteen());
  return Three(s, std::move(initial), m, IsGray(s), [&](const uint32_t* in, uint32_t* e) {
    for (int k = 0; k < 3; ++k) e[k] = Clamp(levels[k] + static_cast<int32_t>(in[k]), s.Sixteen());
  });
}

}  // namespace

Image PerSample(const Image& source, const MaskValues& mask,
                const std::function<uint32_t(uint32_t, int64_t)>& f) {
  Image out = source;
  const bool sixteen = source.Sixteen();
  const int64_t samples = sixteen ? source.format->channelCount : source.format->bytesPerPixel;
  const int64_t alpha = IndexOf(source, source.format->alphaOffset);
  for (int64_t y = 0; y < source.height; ++y) {
    for (int64_t x = 0; x < source.width; ++x) {
      const uint32_t m = MaskAt(mask, source, x, y);
      for (int64_t i = 0; i < samples; ++i) {
        if (i == alpha) continue;
        const uint32_t o = Get(source, source.Pixel(x, y), i);
        Set(out, out.Pixel(x, y), i, MaskMix(sixteen, o, f(o, i), m));
      }
    }
  }
  return out;
}

uint32_t Map(const host::FormatInfo& f, int64_t index, uint32_t o, const uint16_t* red,
             const uint16_t* green, const uint16_t* blue, bool sixteen) {
  const int64_t position = sixteen ? 2 * index : index;
  if (position == f.greenOffset) return green[o];
  if (position == f.blueOffset) return blue[o];
  if (position == f.redOffset) return red[o];
  return o;
}

Image Brightness(const Image& s, Image, const MaskValues& m, bool, const Values& v) {
  const int32_t level = Level(F32(v[0]), s.Sixteen());
  return PerSample(s, m, [&](uint32_t o, int64_t) {
    return Clamp(level + static_cast<int32_t>(o), s.Sixteen());
  });
}

// Contrast: the factor stretches around the middle, limited, then truncated.
Image Contrast(const Image& s, Image, const MaskValues& m, bool, const Values& v) {
  const double factor = ContrastFactor(F32(v[0]));
  const int32_t middle = s.Sixteen() ? 32768 : 128;
  const double top = Max(s.Sixteen());
  return PerSample(s, m, [&](uint32_t o, int64_t) {
    const double d = factor * static_cast<double>(static_cast<int32_t>(o) - middle) + middle;
    return static_cast<uint32_t>(Trunc(std::clamp(d, 0.0, top)));
  });
}

// The stretch, then the level, truncated, then limited.
Image BrightnessContrast(const Image& s, Image, const MaskValues& m, bool, const Values& v) {
  const double factor = ContrastFactor(F32(v[1]));
  const int32_t level = Level(F32(v[0]), s.Sixteen());
  const int32_t middle = s.Sixteen() ? 32768 : 128;
  return PerSample(s, m, [&](uint32_t o, int64_t) {
    const double stretched = factor * static_cast<double>(static_cast<int32_t>(o) - middle);
    return Clamp(Trunc((stretched + middle) + level), s.Sixteen());
  });
}

Image Invert(const Image& s, Image, const MaskValues& m, bool, const Values&) {
  return PerSample(s, m, [&](uint32_t o, int64_t) { return Max(s.Sixteen()) - o; });
}

Image ColorFilter(const Image& s, Image initial, const MaskValues& m, bool, const Values& v) {
  const float levels[3] = {F32(v[0]), F32(v[1]), F32(v[2])};
  return Filter(s, std::move(initial), m, levels);
}

// The setters scale by 100/255 in single precision, product first; the
// temperature goes to red and, negated, to blue.
Image TintAndTemperature(const Image& s, Image initial, const MaskValues& m, bool,
                         const Values& v) {
  const float red = F32(v[0]) * 100.0f / 255.0f;
  const float levels[3] = {red, F32(v[1]) * 100.0f / 255.0f, -red};
  return Filter(s, std::move(initial), m, levels);
}

// Sepia: level = value x 45 + 10 (x 11565 + 2570); Y + 0.956 L, Y - 0.272 L,
// Y - 1.105 L in single precision, limited. A gray source read for a new
// bitmap gives its gray three times; in place its own offsets are read.
Image Sepia(const Image& s, Image initial, const MaskValues& m, bool inPlace, const Values& v) {
  const bool sixteen = s.Sixteen();
  const float top = sixteen ? 65535.0f : 255.0f;
  const double level =
      Trunc(F32(v[0]) * (sixteen ? 11565.0f : 45.0f) + (sixteen ? 2570.0f : 10.0f));
  // A subtraction is the addition of the negation.
  const double shifts[3] = {level * 0.956, -(level * 0.272), -(level * 1.105)};
  return Three(s, std::move(initial), m, !inPlace && IsGray(s),
               [&](const uint32_t* in, uint32_t* e) {
                 const double luma = Trunc((in[0] * 0.299 + in[1] * 0.587) + in[2] * 0.114);
                 for (int k = 0; k < 3; ++k) {
                   e[k] = static_cast<uint32_t>(
                       Trunc(std::clamp(static_cast<float>(luma + shifts[k]), 0.0f, top)));
                 }
               });
}

Image Grayscale(const Image& source, Image initial, const MaskValues& mask, bool, const Values& v) {
  const bool sixteen = source.Sixteen();
  const host::FormatInfo& f = *source.format;
  // On the gray path every channel goes to the source's red position.
  const bool grayPath = initial.format->channelCount < 3;
  const uint8_t written[3] = {f.redOffset, grayPath ? f.redOffset : f.greenOffset,
                              grayPath ? f.redOffset : f.blueOffset};
  const uint64_t kind = static_cast<uint64_t>(static_cast<int64_t>(v[0]));
  const double weights[2][3] = {{0.299, 0.587, 0.114}, {0.2125, 0.7154, 0.0721}};
  Image out = std::move(initial);
  for (int64_t y = 0; y < source.height; ++y) {
    for (int64_t x = 0; x < source.width; ++x) {
      const uint8_t* in = source.Pixel(x, y);
      const uint32_t rgb[3] = {Get(source, in, IndexOf(source, f.redOffset)),
                               Get(source, in, IndexOf(source, f.greenOffset)),
                               Get(source, in, IndexOf(source, f.blueOffset))};
      const auto [r, g, b] = rgb;
      uint32_t gray = (3 * r + 4 * g + 2 * b) / 9;
      if (kind <= 1) {
        const double* w = weights[kind];
        gray = static_cast<uint32_t>(Trunc((w[0] * r + w[1] * g) + w[2] * b));
      } else if (kind == 2) {
        gray = (r + g + b) / 3;
      }
      // The pixel address by plain arithmetic: a gray-path write at a red
      // offset beyond the pixel lands in the next pixel (or the slack).
      uint8_t* o = out.bytes.data() + (y * out.width + x) * out.format->bytesPerPixel;
      const uint32_t m = MaskAt(mask, source, x, y);
      for (int k = 0; k < 3; ++k) {
        Set(out, o, IndexOf(source, written[k]), MaskMix(sixteen, rgb[k], gray, m));
      }
      if (f.alphaOffset != host::kNoChannel) {
        Set(out, o, IndexOf(source, out.format->alphaOffset),
            Get(source, in, IndexOf(source, f.alphaOffset)));
      }
    }
  }
  return out;
}

Rect Covered(int64_t width, int64_t height, int64_t fillWidth, int64_t fillHeight,
             const Placement& pl) {
  const float x = pl.hasLocation ? pl.x : 0.0f, y = pl.hasLocation ? pl.y : 0.0f;
  float w = static_cast<float>(fillWidth), h = static_cast<float>(fillHeight);
  if (pl.hasSize && !(pl.width < 0 || pl.width > w)) w = pl.width;
  if (pl.hasSize && !(pl.height < 0 || pl.height > h)) h = pl.height;
  // A location far outside the picture covers nothing; 64 bits hold it whole.
  auto T64 = [](float v) { return static_cast<int64_t>(v); };
  return {x < 0 ? 0 : T64(x), y < 0 ? 0 : T64(y), T64(std::min(x + w, static_cast<float>(width))),
          T64(std::min(y + h, static_cast<float>(height)))};
}

namespace {
int Lim(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }
int T(double v) { return static_cast<int>(v); }  // the blend sees finite, in-range values only

// The integer HLS triple of the colour-space modes: hue, lightness,
// saturation on 0..255 scales.
struct Hls {
  int h, l, s;
};
Hls ToHls(int r, int g, int b) {
  const int mx = std::max({r, g, b}), mn = std::min({r, g, b});
  const double l = (mx + mn) / 2.0;
  if (mx == mn) return {0, T(l), 0};
  const double d = mx - mn;
  const double s = l < 128.0 ? d * 255.0 / (mx + mn) : d * 255.0 / (511 - mx - mn);
  double h = r == mx ? (g - b) / d : g == mx ? 2.0 + (b - r) / d : 4.0 + (r - g) / d;
  h *= 42.5;
  h = h < 0 ? h + 255.0 : h > 255.0 ? h - 255.0 : h;
  return {T(h), T(l), T(s)};
}
int HlsLevel(double m1, double m2, double h) {
  h = h > 255.0 ? h - 255.0 : h < 0.0 ? h + 255.0 : h;
  const double v = h < 42.5    ? m1 + (m2 - m1) * (h / 42.5)
                   : h < 127.5 ? m2
                   : h < 170.0 ? m1 + (m2 - m1) * ((170.0 - h) / 42.5)
                               : m1;
  return T(v * 255.0);
}
void FromHls(Hls c, int out[3]) {
  out[0] = out[1] = out[2] = c.l;
  if (c.s == 0) return;
  const double m2 =
      c.l > 127 ? ((c.l + c.s) - (c.l * c.s) / 255.0) / 255.0 : ((c.s + 255.0) * c.l) / 65025.0;
  const double m1 = c.l / 127.5 - m2;
  out[0] = HlsLevel(m1, m2, c.h + 85.0);
  out[1] = HlsLevel(m1, m2, c.h);
  out[2] = HlsLevel(m1, m2, c.h - 85.0);
}

// The three colour-space modes' new R, G, B (modes 12 to 15).
void ColourSpace(int mode, const host::FormatInfo& sf, const uint8_t* s, const host::FormatInfo& ff,
                 const uint8_t* f, float sa, float cov, int out[3]) {
  const int rs = T(s[sf.redOffset] * sa), gs = T(s[sf.greenOffset] * sa),
            bs = T(s[sf.blueOffset] * sa);
  if (mode == 15) {
    const double fr = static_cast<double>(f[ff.redOffset] * cov);
    const double fg = static_cast<double>(f[ff.greenOffset] * cov);
    const double fb = static_cast<double>(f[ff.blueOffset] * cov);
    const int y = T((fg * 0.587 + fr * 0.299) + fb * 0.114);
    const int u = T((rs * -0.14 + gs * -0.289) + bs * 0.436);
    const int v = T((rs * 0.615 + gs * -0.515) + bs * -0.1);
    const double rgb[3] = {v * 1.14 + y, (y + u * -0.395) + v * -0.581, u * 2.032 + y};
    for (int i = 0; i < 3; ++i) out[i] = rgb[i] < 0 ? 0 : rgb[i] > 255 ? 255 : T(rgb[i]);
    return;
  }
  Hls mix = ToHls(rs, gs, bs);
  const Hls fill =
      ToHls(T(f[ff.redOffset] * cov), T(f[ff.greenOffset] * cov), T(f[ff.blueOffset] * cov));
  if (mode == 12 || mode == 14) mix.h = fill.h;
  if (mode == 13 || mode == 14) mix.l = fill.l;
  FromHls(mix, out);
}
// One per-channel blend mode formula on the scaled samples a, b (with the
// raw samples and factors where the mode needs them); modes 1..11, 16..23.
int ChannelMode(int mode, int a, int b, int S, int F, float sa, float cov) {
  const unsigned ua = static_cast<unsigned>(a), ub = static_cast<unsigned>(b);
  switch (mode) {
    case 1:
      return static_cast<int>(ua * ub / 256u);
    case 2: {
      const int ia = T(255.0f - static_cast<float>(S) * sa);
      const int ib = T(255.0f - static_cast<float>(F) * cov);
      return 255 - ia * ib / 255;
    }
    case 3: {
      const float fc = static_cast<float>(F) * cov;
      if ((a & 0x80) == 0) return T(fc * static_cast<float>(a) / 127.0f);
      return T((255.0f - fc) * static_cast<float>(255 - a) / -127.0f + 255.0f);
    }
    case 4:
      return std::min(a, b);
    case 5:
      return std::max(a, b);
    case 6:
      return b == 255 ? 255 : std::min(256 * a / (255 - b), 255);
    case 7:
      return b == 0 ? 0 : 255 - Lim(256 * (255 - a) / b);
    case 8:
      return Lim(static_cast<int>(ua * ua / 256u) - static_cast<int>(ua * ua * ub / 32768u) +
                 static_cast<int>(ua * ub / 128u));
    case 9:
      return (b & 0x80) == 0 ? a * b / 127 : 255 - (255 - a) * (255 - b) / 127;
    case 10:
      return std::abs(a - b);
    case 11:
      return Lim(a + b - 2 * a * b / 255);
    case 16:
      return std::max(2 * b - 255, std::min(2 * b, a));
    case 17:
      return Lim(static_cast<int>(ua * ua / 256u) - static_cast<int>(ua * ua * ub / 32768u) +
                 static_cast<int>(ua * ub * ub / 32768u));
    case 18:
      if (a == 0) return 127;
      if (a == 255) return Lim(b * 128);
      if (a < 128) return Lim(255 - 256 * (255 - b) / (2 * a));
      return Lim(256 * b / (510 - 2 * a));
    case 19:
      return Lim(a + 2 * b - 255);
    case 20:
      return Lim(static_cast<int>(ua * ua / 256u) - static_cast<int>(ua * ua * ub / 32768u) +
                 static_cast<int>(ub * ub / 256u) + static_cast<int>(ua * ub * ub / 32768u));
    case 21:
      return Lim(a + b - 255);
    default:  // 22 and 23
      return std::min(a + b, 255);
  }
}

}  // namespace

Image Blend(const Image& source, const Image& fill, Image initial, const MaskValues& mask,
            double opacity, int mode, const Placement& pl) {
  const host::FormatInfo& sf = *source.format;
  const host::FormatInfo& ff = *fill.format;
  const int64_t W = source.width, H = source.height, bpp = sf.bytesPerPixel;
  Image out = std::move(initial);
  const Rect covered = Covered(W, H, fill.width, fill.height, pl);
  const float x = pl.hasLocation ? pl.x : 0.0f, y = pl.hasLocation ? pl.y : 0.0f;
  const double op = std::max(std::min(opacity, 1.0), 0.0);
  const unsigned sw = static_cast<unsigned>(T((1.0 - op) * 256.0));
  const unsigned fw = static_cast<unsigned>(T(op * 256.0));
  const float o = static_cast<float>(fw) / 256.0f;
  std::vector<int> colour;
  for (int j = 0; j < sf.channelCount; ++j) {
    if (j == sf.redOffset || j == sf.greenOffset || j == sf.blueOffset || j == sf.blackOffset) {
      colour.push_back(j);
    }
  }
  const bool masked = !mask.empty();
  const bool fillAlpha = ff.alphaOffset != host::kNoChannel;
  for (int64_t r = 0; r < H; ++r) {
    for (int64_t c = 0; c < W; ++c) {
      const uint8_t* s = source.Pixel(c, r);
      uint8_t* d = out.Pixel(c, r);
      if (c < covered.x0 || c >= covered.x1 || r < covered.y0 || r >= covered.y1) {
        std::copy(s, s + bpp, d);
        continue;
      }
      const uint8_t* f = fill.Pixel(c - T(x), r - T(y));
      const unsigned m = masked ? mask[static_cast<size_t>(r * W + c)] : 0u;
      const unsigned fa = fillAlpha ? f[ff.alphaOffset] : 255u;
      if ((fillAlpha && fa == 0) || (masked && fillAlpha && m == 255)) {
        std::copy(s, s + bpp, d);
        continue;
      }
      const float sa = sf.alphaOffset != host::kNoChannel ? s[sf.alphaOffset] / 255.0f : 1.0f;
      const float mw = (255u - m) / 255.0f;
      const float fan = fa / 255.0f;
      // The weights and coverage of the pixel; plainMix: the opacity mix of
      // S and F without any formula.
      bool plainMix = false;
      unsigned psw = sw, pfw = fw;
      float cov = 1.0f;
      float k = -1.0f;  // the fill's share in the alpha rule; negative: alpha becomes 255
      if (mode == 0) {
        for (int p : colour) {
          const unsigned S = s[p], F = f[p];
          unsigned v = F;
          if (fillAlpha) {
            const unsigned fe = masked ? fa * (255u - m) / 255u : fa;
            v = static_cast<unsigned>(T((fe * F + (255u - fe) * S) / 255.0));
          }
          unsigned e = (sw * S + fw * v) >> 8;
          if (masked) e = (e * (255u - m) + S * m) >> 8;
          d[p] = static_cast<uint8_t>(e);
        }
        if (fillAlpha) {
          k = masked ? mw * (fan * o) : fan * o;
        } else if (masked) {
          k = mw;
        }
      } else {
        if (fillAlpha) {
          cov = masked ? mw * fan : fan;
          k = cov * o;
          plainMix = sa == 0.0f;
        } else if (masked) {
          const float mc = mw * o;
          pfw = static_cast<unsigned>(T(mc * 256.0f));
          psw = 256u - pfw;
          k = mc;
        }
        const int effective = (mode >= 1 && mode <= 23) ? mode : 1;
        if (plainMix) {
          for (int p : colour) d[p] = static_cast<uint8_t>((sw * s[p] + fw * f[p]) >> 8);
        } else if (effective >= 12 && effective <= 15) {
          int rgb[3];
          ColourSpace(effective, sf, s, ff, f, sa, cov, rgb);
          const int at[3] = {sf.redOffset, sf.greenOffset, sf.blueOffset};
          for (int i = 0; i < 3; ++i) {
            d[at[i]] = static_cast<uint8_t>((s[at[i]] * psw + unsigned(rgb[i]) * pfw) >> 8);
          }
        } else {
          for (int p : colour) {
            const int S = s[p], F = f[p];
            const int v = ChannelMode(effective, T(S * sa), T(F * cov), S, F, sa, cov);
            d[p] = static_cast<uint8_t>((S * psw + unsigned(v) * pfw) >> 8);
          }
        }
      }
      if (sf.alphaOffset != host::kNoChannel) {
        d[sf.alphaOffset] = k < 0 ? 255 : static_cast<uint8_t>(T(((sa + k) - sa * k) * 255.0f));
      }
    }
  }
  return out;
}

}  // namespace lumeno::testing::reference

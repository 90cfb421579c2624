#include "blend/blend_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace blendref {
namespace {

int Lim(int v) { return std::clamp(v, 0, 255); }

// Float to int, toward zero; the reference only sees finite, in-range values.
int T(float v) { return static_cast<int>(v); }
int T(double v) { return static_cast<int>(v); }

}  // namespace

int ChannelMode(int64_t mode, int a, int b, int S, int F, float sa, float cov) {
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
    case 22:
    case 23:
      return std::min(a + b, 255);
    default:
      std::abort();
  }
}

Hls ToHls(int r, int g, int b) {
  const int mx = std::max({r, g, b}), mn = std::min({r, g, b});
  const double l = (mx + mn) / 2.0;
  if (mx == mn) return {0, T(l), 0};
  const double d = mx - mn;
  const double s = l < 128.0 ? d * 255.0 / (mx + mn) : d * 255.0 / (511 - mx - mn);
  double h;
  if (r == mx) {
    h = (g - b) / d;
  } else if (g == mx) {
    h = 2.0 + (b - r) / d;
  } else {
    h = 4.0 + (r - g) / d;
  }
  h *= 42.5;
  if (h < 0) {
    h += 255.0;
  } else if (h > 255.0) {
    h -= 255.0;
  }
  return {T(h), T(l), T(s)};
}

namespace {
int Level(double m1, double m2, double h) {
  if (h > 255.0) {
    h -= 255.0;
  } else if (h < 0.0) {
    h += 255.0;
  }
  double v = m1;
  if (h < 42.5) {
    v = m1 + (m2 - m1) * (h / 42.5);
  } else if (h < 127.5) {
    v = m2;
  } else if (h < 170.0) {
    v = m1 + (m2 - m1) * ((170.0 - h) / 42.5);
  }
  return T(v * 255.0);
}
}  // namespace

void FromHls(Hls c, int* r, int* g, int* b) {
  if (c.s == 0) {
    *r = *g = *b = c.l;
    return;
  }
  const double m2 =
      c.l > 127 ? ((c.l + c.s) - (c.l * c.s) / 255.0) / 255.0 : ((c.s + 255.0) * c.l) / 65025.0;
  const double m1 = c.l / 127.5 - m2;
  *r = Level(m1, m2, c.h + 85.0);
  *g = Level(m1, m2, c.h);
  *b = Level(m1, m2, c.h - 85.0);
}

namespace {

struct Pixels {
  const RawBitmap& bmp;
  const uint8_t* At(int64_t x, int64_t y) const {
    return bmp.pixelData + y * bmp.rowBytes + x * bmp.bytesPerPixel;
  }
};

// The three colour-space modes' new R, G, B (modes 12 to 15).
void ColourSpace(int64_t mode, const RawBitmap& sb, const uint8_t* s, const RawBitmap& fb,
                 const uint8_t* f, float sa, float cov, int out[3]) {
  const int rs = T(s[sb.redOffset] * sa), gs = T(s[sb.greenOffset] * sa),
            bs = T(s[sb.blueOffset] * sa);
  if (mode == 15) {
    const double fr = static_cast<double>(f[fb.redOffset] * cov);
    const double fg = static_cast<double>(f[fb.greenOffset] * cov);
    const double fbl = static_cast<double>(f[fb.blueOffset] * cov);
    const int y = T((fg * 0.587 + fr * 0.299) + fbl * 0.114);
    const int u = T((rs * -0.14 + gs * -0.289) + bs * 0.436);
    const int v = T((rs * 0.615 + gs * -0.515) + bs * -0.1);
    const double rgb[3] = {v * 1.14 + y, (y + u * -0.395) + v * -0.581, u * 2.032 + y};
    for (int i = 0; i < 3; ++i) out[i] = rgb[i] < 0 ? 0 : rgb[i] > 255 ? 255 : T(rgb[i]);
    return;
  }
  const Hls src = ToHls(rs, gs, bs);
  const Hls fil =
      ToHls(T(f[fb.redOffset] * cov), T(f[fb.greenOffset] * cov), T(f[fb.blueOffset] * cov));
  Hls mix = src;
  if (mode == 12) mix.h = fil.h;
  if (mode == 13) mix.l = fil.l;
  if (mode == 14) mix.h = fil.h, mix.l = fil.l;
  FromHls(mix, &out[0], &out[1], &out[2]);
}

}  // namespace

std::vector<uint8_t> Blend(const RawBitmap& sb, const RawBitmap& fb,
                           const std::vector<uint8_t>* mask, int64_t mode, double opacity,
                           const Placement& pl) {
  const int64_t W = sb.width, H = sb.height, bpp = sb.bytesPerPixel;
  std::vector<uint8_t> out(static_cast<size_t>(W * H * bpp), 0);
  const Pixels src{sb}, fill{fb};

  // Placement.
  const float x = pl.hasLocation ? pl.x : 0.0f, y = pl.hasLocation ? pl.y : 0.0f;
  float w = static_cast<float>(fb.width), h = static_cast<float>(fb.height);
  if (pl.hasSize) {
    if (!(pl.width < 0 || pl.width > w)) w = pl.width;
    if (!(pl.height < 0 || pl.height > h)) h = pl.height;
  }
  const int64_t firstCol = x < 0 ? 0 : T(x), firstRow = y < 0 ? 0 : T(y);
  const int64_t endCol = T(std::min(x + w, static_cast<float>(W)));
  const int64_t endRow = T(std::min(y + h, static_cast<float>(H)));
  const int64_t shiftX = T(x), shiftY = T(y);

  // Weights.
  const double op = std::max(std::min(opacity, 1.0), 0.0);
  const unsigned sw = static_cast<unsigned>(T((1.0 - op) * 256.0));
  const unsigned fw = static_cast<unsigned>(T(op * 256.0));
  const float o = static_cast<float>(fw) / 256.0f;

  std::vector<int> colour;
  for (int j = 0; j < sb.channelCount; ++j) {
    if (j == sb.redOffset || j == sb.greenOffset || j == sb.blueOffset || j == sb.blackOffset) {
      colour.push_back(j);
    }
  }

  for (int64_t r = 0; r < H; ++r) {
    for (int64_t c = 0; c < W; ++c) {
      const uint8_t* s = src.At(c, r);
      uint8_t* d = out.data() + (r * W + c) * bpp;
      auto copy = [&] { std::copy(s, s + bpp, d); };
      if (c < firstCol || c >= endCol || r < firstRow || r >= endRow) {
        copy();
        continue;
      }
      const int64_t fc = c - shiftX, fr = r - shiftY;
      if (fc < 0 || fc >= fb.width || fr < 0 || fr >= fb.height) std::abort();
      const uint8_t* f = fill.At(fc, fr);
      const unsigned m = mask != nullptr ? (*mask)[static_cast<size_t>(r * W + c)] : 0u;
      const float sa = sb.hasAlpha ? s[sb.alphaOffset] / 255.0f : 1.0f;
      const bool fillAlpha = fb.hasAlpha != 0;
      const unsigned fa = fillAlpha ? f[fb.alphaOffset] : 255u;
      const float mw = (255u - m) / 255.0f;
      const float fan = fa / 255.0f;

      // Which weights and coverage the pixel gets; "plainMix" is the opacity
      // mix of S and F without any formula.
      bool plainMix = false;
      unsigned psw = sw, pfw = fw;
      float cov = 1.0f;
      float k = -1.0f;  // negative: alpha becomes 255
      if (fillAlpha && fa == 0) {
        copy();
        continue;
      }
      if (mask != nullptr && fillAlpha && m == 255) {
        copy();
        continue;
      }
      if (mode == 0) {
        for (int p : colour) {
          const unsigned S = s[p], F = f[p];
          unsigned v = F;
          if (fillAlpha) {
            const unsigned fe = mask != nullptr ? fa * (255u - m) / 255u : fa;
            v = static_cast<unsigned>(T((fe * F + (255u - fe) * S) / 255.0));
          }
          unsigned e = (sw * S + fw * v) >> 8;
          if (mask != nullptr) e = (e * (255u - m) + S * m) >> 8;
          d[p] = static_cast<uint8_t>(e);
        }
        if (fillAlpha && mask != nullptr) {
          k = mw * (fan * o);
        } else if (fillAlpha) {
          k = fan * o;
        } else if (mask != nullptr) {
          k = mw;
        }
      } else {
        if (fillAlpha && mask != nullptr) {
          cov = mw * fan;
          k = cov * o;
          plainMix = sa == 0.0f;
        } else if (fillAlpha) {
          cov = fan;
          k = fan * o;
          plainMix = sa == 0.0f;
        } else if (mask != nullptr) {
          const float mc = mw * o;
          pfw = static_cast<unsigned>(T(mc * 256.0f));
          psw = 256u - pfw;
          k = mc;
        }
        const int64_t effective = (mode >= 1 && mode <= 23) ? mode : 1;
        if (plainMix) {
          for (int p : colour) d[p] = static_cast<uint8_t>((sw * s[p] + fw * f[p]) >> 8);
        } else if (effective >= 12 && effective <= 15) {
          int rgb[3];
          ColourSpace(effective, sb, s, fb, f, sa, cov, rgb);
          const int offs[3] = {sb.redOffset, sb.greenOffset, sb.blueOffset};
          for (int i = 0; i < 3; ++i) {
            d[offs[i]] = static_cast<uint8_t>((s[offs[i]] * psw + unsigned(rgb[i]) * pfw) >> 8);
          }
        } else {
          for (int p : colour) {
            const int S = s[p], F = f[p];
            const int r2 = ChannelMode(effective, T(S * sa), T(F * cov), S, F, sa, cov);
            d[p] = static_cast<uint8_t>((S * psw + unsigned(r2) * pfw) >> 8);
          }
        }
      }
      if (sb.hasAlpha) {
        d[sb.alphaOffset] = k < 0 ? 255 : static_cast<uint8_t>(T(((sa + k) - sa * k) * 255.0f));
      }
    }
  }
  return out;
}

}  // namespace blendref

#include "fastpath/reference.h"

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
  const int32_t top = static_cast<int32_t>(Max(sixteen));
  if (v > top) v = top;
  if (v < 0) v = 0;
  return static_cast<uint32_t>(v);
}

// Sample index of a byte offset at the image's depth.
int64_t IndexOf(const Image& image, uint8_t offset) {
  return image.Sixteen() ? offset / 2 : offset;
}
bool HasAlpha(const Image& image) { return image.format->alphaOffset != host::kNoChannel; }

uint32_t MaskAt(const MaskValues& mask, const Image& image, int64_t x, int64_t y) {
  return mask.empty() ? 0 : mask[static_cast<size_t>(y * image.width + x)];
}

}  // namespace

uint32_t Get(const Image& image, const uint8_t* pixel, int64_t index) {
  if (!image.Sixteen()) return pixel[index];
  uint16_t v;
  std::memcpy(&v, pixel + 2 * index, 2);
  return v;
}

void Set(const Image& image, uint8_t* pixel, int64_t index, uint32_t value) {
  if (!image.Sixteen()) {
    pixel[index] = static_cast<uint8_t>(value);
    return;
  }
  const uint16_t v = static_cast<uint16_t>(value);
  std::memcpy(pixel + 2 * index, &v, 2);
}

uint32_t MaskMix(bool sixteen, uint32_t o, uint32_t e, uint32_t m) {
  if (m == 0) return e;
  if (sixteen) return (o * m + e * (65535u - m)) >> 16;
  return (o * m + e * (255u - m)) >> 8;
}

int32_t Trunc(double v) {
  if (v != v) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int32_t>(v);
}
int32_t Trunc(float v) { return Trunc(static_cast<double>(v)); }

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

int32_t BrightnessLevel(float v, bool sixteen) {
  const float product = v * (sixteen ? 65535.0f : 255.0f);
  return Trunc(product);
}

double ContrastFactor(float v) {
  const float p = v * 100.0f;
  const double f = (static_cast<double>(p) + 100.0) / 100.0;
  return f * f;
}

uint32_t Brightness(uint32_t o, int32_t level, bool sixteen) {
  return Clamp(level + static_cast<int32_t>(o), sixteen);
}

uint32_t BrightnessContrast(uint32_t o, double factor, int32_t level, bool sixteen) {
  const int32_t middle = sixteen ? 32768 : 128;
  const double stretched = factor * static_cast<double>(static_cast<int32_t>(o) - middle);
  const double centred = stretched + static_cast<double>(middle);
  const double y = centred + static_cast<double>(level);
  return Clamp(Trunc(y), sixteen);
}

uint32_t Contrast(uint32_t o, double factor, bool sixteen) {
  const int32_t middle = sixteen ? 32768 : 128;
  const double top = sixteen ? 65535.0 : 255.0;
  const double stretched = factor * static_cast<double>(static_cast<int32_t>(o) - middle);
  double d = stretched + static_cast<double>(middle);
  if (d < 0.0) {
    d = 0.0;
  } else if (d > top) {
    d = top;
  }
  return static_cast<uint32_t>(Trunc(d));
}

uint32_t Invert(uint32_t o, bool sixteen) { return Max(sixteen) - o; }

uint32_t Map(const host::FormatInfo& f, int64_t index, uint32_t o, const uint16_t* red,
             const uint16_t* green, const uint16_t* blue, bool sixteen) {
  const int64_t position = sixteen ? 2 * index : index;
  if (position == f.greenOffset) return green[o];
  if (position == f.blueOffset) return blue[o];
  if (position == f.redOffset) return red[o];
  return o;
}

namespace {

// Writes three effect values (and alpha) of one pixel the way the
// three-channel effects do: red, green, blue at the destination's offsets,
// each mixed with the source sample it came from.
void StoreThree(const ThreeChannels& run, Image& out, int64_t x, int64_t y, const uint32_t s[3],
                const uint32_t e[3], uint32_t m) {
  const Image& source = *run.source;
  const bool sixteen = source.Sixteen();
  const host::FormatInfo& d = *out.format;
  const uint8_t offsets[3] = {d.redOffset, d.greenOffset, d.blueOffset};
  for (int k = 0; k < 3; ++k) {
    Set(out, out.Pixel(x, y), IndexOf(out, offsets[k]), MaskMix(sixteen, s[k], e[k], m));
  }
  if (HasAlpha(out)) {
    // A source without alpha (a gray source promoted to a format with
    // alpha) gives an opaque pixel.
    const uint32_t a = HasAlpha(source) ? Get(source, source.Pixel(x, y),
                                              IndexOf(source, source.format->alphaOffset))
                                        : Max(sixteen);
    Set(out, out.Pixel(x, y), IndexOf(out, d.alphaOffset), a);
  }
}

}  // namespace

Image ColorFilter(const ThreeChannels& run, const MaskValues& mask, const int32_t level[3]) {
  const Image& source = *run.source;
  Image out = run.initial;
  const bool sixteen = source.Sixteen();
  for (int64_t y = 0; y < source.height; ++y) {
    for (int64_t x = 0; x < source.width; ++x) {
      uint32_t s[3], e[3];
      for (int k = 0; k < 3; ++k) {
        s[k] = Get(source, source.Pixel(x, y), run.srcIndex[k]);
        e[k] = Clamp(level[k] + static_cast<int32_t>(s[k]), sixteen);
      }
      StoreThree(run, out, x, y, s, e, MaskAt(mask, source, x, y));
    }
  }
  return out;
}

int32_t SepiaLevel(float v, bool sixteen) {
  const float product = v * (sixteen ? 11565.0f : 45.0f);
  const float sum = product + (sixteen ? 2570.0f : 10.0f);
  return Trunc(sum);
}

Image Sepia(const ThreeChannels& run, const MaskValues& mask, int32_t sepiaLevel) {
  const Image& source = *run.source;
  Image out = run.initial;
  const bool sixteen = source.Sixteen();
  const float top = sixteen ? 65535.0f : 255.0f;
  const double level = static_cast<double>(sepiaLevel);
  const double shifts[3] = {level * 0.956, -(level * 0.272), -(level * 1.105)};
  for (int64_t y = 0; y < source.height; ++y) {
    for (int64_t x = 0; x < source.width; ++x) {
      uint32_t s[3], e[3];
      for (int k = 0; k < 3; ++k) s[k] = Get(source, source.Pixel(x, y), run.srcIndex[k]);
      const double redPart = static_cast<double>(s[0]) * 0.299;
      const double greenPart = static_cast<double>(s[1]) * 0.587;
      const double bluePart = static_cast<double>(s[2]) * 0.114;
      const double luma = static_cast<double>(Trunc((redPart + greenPart) + bluePart));
      for (int k = 0; k < 3; ++k) {
        // Y + sR, Y - sG, Y - sB: a subtraction is the addition of the negation.
        float c = static_cast<float>(luma + shifts[k]);
        if (c < 0.0f) {
          c = 0.0f;
        } else if (c > top) {
          c = top;
        }
        e[k] = static_cast<uint32_t>(Trunc(c));
      }
      StoreThree(run, out, x, y, s, e, MaskAt(mask, source, x, y));
    }
  }
  return out;
}

Image Grayscale(const Image& source, Image initial, const MaskValues& mask, int64_t method) {
  const bool sixteen = source.Sixteen();
  const host::FormatInfo& f = *source.format;
  const bool grayPath = initial.format->channelCount < 3;
  // On the gray path every channel goes to the source's red position.
  const uint8_t written[3] = {f.redOffset, grayPath ? f.redOffset : f.greenOffset,
                              grayPath ? f.redOffset : f.blueOffset};
  const auto index = [&](uint8_t offset) -> int64_t { return sixteen ? offset / 2 : offset; };
  const uint64_t kind = static_cast<uint64_t>(method);
  const double weights[2][3] = {{0.299, 0.587, 0.114}, {0.2125, 0.7154, 0.0721}};
  Image out = std::move(initial);
  const int64_t outStride = out.format->bytesPerPixel;
  for (int64_t y = 0; y < source.height; ++y) {
    for (int64_t x = 0; x < source.width; ++x) {
      const uint8_t* in = source.Pixel(x, y);
      const uint32_t r = Get(source, in, index(f.redOffset));
      const uint32_t g = Get(source, in, index(f.greenOffset));
      const uint32_t b = Get(source, in, index(f.blueOffset));
      uint32_t gray;
      if (kind <= 1) {
        const double* w = weights[kind];
        const double sum = (w[0] * r + w[1] * g) + w[2] * b;
        gray = static_cast<uint32_t>(Trunc(sum));
      } else if (kind == 2) {
        gray = (r + g + b) / 3;
      } else {
        gray = (3 * r + 4 * g + 2 * b) / 9;
      }
      // The pixel address by plain arithmetic: a gray-path write at a red
      // offset beyond the pixel lands in the next pixel (or the slack).
      uint8_t* o = out.bytes.data() + (y * out.width + x) * outStride;
      const uint32_t m = MaskAt(mask, source, x, y);
      if (m == 0) {
        Set(out, o, index(written[2]), gray);
        Set(out, o, index(written[1]), gray);
        Set(out, o, index(written[0]), gray);
      } else {
        Set(out, o, index(written[0]), MaskMix(sixteen, r, gray, m));
        Set(out, o, index(written[1]), MaskMix(sixteen, g, gray, m));
        Set(out, o, index(written[2]), MaskMix(sixteen, b, gray, m));
      }
      if (f.alphaOffset != host::kNoChannel) {
        const uint32_t a = Get(source, in, index(f.alphaOffset));
        Set(out, o, index(out.format->alphaOffset), a);
      }
    }
  }
  return out;
}

namespace {

// One blended pixel of the mode shape: a = trunc(S x sa), b = trunc(F x cov)
// in single precision, r the mode's value, D = (S x sw + r x fw) >> 8.
uint32_t ModeChannel(int mode, uint32_t s, uint32_t f, uint32_t sw, uint32_t fw, float sa,
                     float cov) {
  const uint32_t a = static_cast<uint32_t>(Trunc(static_cast<float>(s) * sa));
  const uint32_t b = static_cast<uint32_t>(Trunc(static_cast<float>(f) * cov));
  const uint32_t r = mode == 1 ? (a * b) >> 8 : 0;
  return (s * sw + r * fw) >> 8;
}

}  // namespace

Image Blend(const Image& source, const Image& fill, Image initial, const MaskValues& fillMask,
            double opacity, int mode) {
  const host::FormatInfo& f = *source.format;
  Image out = std::move(initial);
  double clamped = opacity > 1.0 ? 1.0 : opacity;
  if (clamped < 0.0) clamped = 0.0;
  const uint32_t sw = static_cast<uint32_t>(Trunc((1.0 - clamped) * 256.0));
  const uint32_t fw = static_cast<uint32_t>(Trunc(clamped * 256.0));
  const float o = static_cast<float>(fw) * (1.0f / 256.0f);
  std::vector<int64_t> colour;
  for (int64_t j = 0; j < f.channelCount; ++j) {
    if (j == f.redOffset || j == f.greenOffset || j == f.blueOffset || j == f.blackOffset) {
      colour.push_back(j);
    }
  }
  const bool sourceAlpha = f.alphaOffset != host::kNoChannel;
  const bool fillAlpha = fill.format->alphaOffset != host::kNoChannel;
  const bool masked = !fillMask.empty();
  for (int64_t y = 0; y < source.height; ++y) {
    for (int64_t x = 0; x < source.width; ++x) {
      const uint8_t* S = source.Pixel(x, y);
      const uint8_t* F = fill.Pixel(x, y);
      uint8_t* D = out.Pixel(x, y);
      const uint32_t m = masked ? fillMask[static_cast<size_t>(y * source.width + x)] : 0;
      const uint32_t fa = fillAlpha ? F[fill.format->alphaOffset] : 255;
      const float sa = sourceAlpha ? static_cast<float>(S[f.alphaOffset]) / 255.0f : 1.0f;
      const bool copy = (fillAlpha && fa == 0) || (fillAlpha && masked && m == 255);
      if (copy) {
        for (int64_t i = 0; i < f.bytesPerPixel; ++i) D[i] = S[i];
        continue;
      }
      const float maskFactor = static_cast<float>(255 - m) / 255.0f;
      const float alphaFactor = static_cast<float>(fa) / 255.0f;
      // The fill's share k in the alpha rule, by worker.
      const float modeCov = fillAlpha ? maskFactor * alphaFactor : maskFactor * o;
      float k = 0.0f;
      if (fillAlpha && !masked) {
        k = alphaFactor * o;
      } else if (mode == 0 && masked && !fillAlpha) {
        k = maskFactor;
      } else if (mode == 0 && masked) {
        k = maskFactor * (alphaFactor * o);
      } else if (masked && !fillAlpha) {
        k = modeCov;
      } else if (masked) {
        k = modeCov * o;
      }
      for (int64_t p : colour) {
        const uint32_t s = S[p];
        const uint32_t c = F[p];
        uint32_t d = 0;
        if (mode == 0 && !fillAlpha && !masked) {
          d = (sw * s + fw * c) >> 8;
        } else if (mode == 0 && fillAlpha && !masked) {
          const double mixed = static_cast<double>(fa * c + (255 - fa) * s) / 255.0;
          const uint32_t v = static_cast<uint32_t>(Trunc(mixed));
          d = (sw * s + fw * v) >> 8;
        } else if (mode == 0 && !fillAlpha) {
          const uint32_t e = (sw * s + fw * c) >> 8;
          d = (e * (255 - m) + s * m) >> 8;
        } else if (mode == 0) {
          const uint32_t share = (fa * (255 - m)) / 255;
          const double mixed = static_cast<double>(share * c + (255 - share) * s) / 255.0;
          const uint32_t v = static_cast<uint32_t>(Trunc(mixed));
          const uint32_t e = (sw * s + fw * v) >> 8;
          d = (e * (255 - m) + s * m) >> 8;
        } else if (!fillAlpha && !masked) {
          d = ModeChannel(mode, s, c, sw, fw, sa, 1.0f);
        } else if (!masked) {
          d = sa == 0.0f ? (sw * s + fw * c) >> 8
                         : ModeChannel(mode, s, c, sw, fw, sa, alphaFactor);
        } else if (!fillAlpha) {
          const uint32_t w = static_cast<uint32_t>(Trunc(modeCov * 256.0f));
          d = ModeChannel(mode, s, c, 256 - w, w, sa, 1.0f);
        } else {
          d = sa == 0.0f ? (sw * s + fw * c) >> 8 : ModeChannel(mode, s, c, sw, fw, sa, modeCov);
        }
        D[p] = static_cast<uint8_t>(d);
      }
      if (sourceAlpha) {
        const float kept = (sa + k) - sa * k;
        D[f.alphaOffset] =
            !fillAlpha && !masked ? uint8_t{255} : static_cast<uint8_t>(Trunc(kept * 255.0f));
      }
    }
  }
  return out;
}

}  // namespace lumeno::testing::reference

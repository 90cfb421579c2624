#include "stress/stress_reference.h"

#include <cmath>
#include <cstring>

namespace lumeno::stress {
namespace {

// Channel value after the effect, before the mask; full = 255 or 65535.
uint32_t Effect(ToneEffect effect, int32_t level, double factor, uint32_t o, uint32_t full) {
  switch (effect) {
    case ToneEffect::kBrightness: {
      int32_t v = level + static_cast<int32_t>(o);
      if (v > static_cast<int32_t>(full)) v = static_cast<int32_t>(full);
      if (v < 0) v = 0;
      return static_cast<uint32_t>(v);
    }
    case ToneEffect::kContrast: {
      const uint32_t middle = (full + 1) / 2;
      const double centred =
          static_cast<double>(static_cast<int32_t>(o) - static_cast<int32_t>(middle));
      const double stretched = factor * centred;
      double d = stretched + static_cast<double>(middle);
      if (d < 0.0) d = 0.0;
      if (d > static_cast<double>(full)) d = static_cast<double>(full);
      return static_cast<uint32_t>(d);  // 0 <= d <= full: truncation is defined
    }
    case ToneEffect::kInvert:
      return full - o;
  }
  return o;
}

uint32_t Blend(uint32_t o, uint32_t e, uint32_t m, uint32_t full, int shift) {
  if (m == 0) return e;
  return (o * m + e * (full - m)) >> shift;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReferenceTone(ToneEffect effect, float value,
                                                  const RawBitmap& shape,
                                                  const std::vector<uint8_t>& packed,
                                                  const MaskValues& mask) {
  const bool sixteen = shape.bitsPerChannel == 16;
  const uint32_t full = sixteen ? 65535u : 255u;
  int32_t level = 0;
  double factor = 1.0;
  if (effect == ToneEffect::kBrightness) {
    const float scaled = value * (sixteen ? 65535.0f : 255.0f);
    level = std::isnan(scaled) ? 0 : static_cast<int32_t>(scaled);  // |scaled| <= full
  } else if (effect == ToneEffect::kContrast) {
    const float percent = value * 100.0f;
    const double f = (static_cast<double>(percent) + 100.0) / 100.0;
    factor = f * f;
    if (std::isnan(factor)) return std::nullopt;
  }
  std::vector<uint8_t> out = packed;
  const int64_t bpp = shape.bytesPerPixel;
  const int64_t pixels = shape.width * shape.height;
  for (int64_t p = 0; p < pixels; ++p) {
    const uint32_t m = mask.empty() ? 0 : mask[static_cast<size_t>(p)];
    uint8_t* pixel = out.data() + p * bpp;
    if (sixteen) {
      for (int64_t s = 0; s < shape.channelCount; ++s) {
        if (s == shape.alphaOffset / 2) continue;
        uint16_t o;
        std::memcpy(&o, pixel + 2 * s, 2);
        const uint32_t e = Effect(effect, level, factor, o, full);
        const auto r = static_cast<uint16_t>(Blend(o, e, m, full, 16));
        std::memcpy(pixel + 2 * s, &r, 2);
      }
    } else {
      for (int64_t i = 0; i < bpp; ++i) {
        if (i == shape.alphaOffset) continue;
        const uint32_t o = pixel[i];
        const uint32_t e = Effect(effect, level, factor, o, full);
        pixel[i] = static_cast<uint8_t>(Blend(o, e, m, full, 8));
      }
    }
  }
  return out;
}

}  // namespace lumeno::stress

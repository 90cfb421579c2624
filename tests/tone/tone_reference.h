// Plain references of the contrast and brightness-contrast effects, written
// from the effects' stated arithmetic: slow, per sample, no shortcuts.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "lumeno/raw_bitmap.h"

namespace tone_ref {

// The squared contrast factor: the percentage is a single-precision product,
// everything after it double precision.
inline double ContrastFactor(float value) {
  const float percent = value * 100.0f;
  const double f = (static_cast<double>(percent) + 100.0) / 100.0;
  return f * f;
}

// Brightness in channel units: single-precision product, truncated; NaN is 0.
inline int32_t BrightnessLevel(float value, int bits) {
  const float product = value * (bits == 16 ? 65535.0f : 255.0f);
  if (std::isnan(product)) return 0;
  return static_cast<int32_t>(product);
}

// Contrast stretch of one sample, clamped in floating point before the
// truncation. A NaN result counts as 0.
inline uint32_t ContrastSample(double factor, uint32_t s, int bits) {
  const double mid = bits == 16 ? 32768.0 : 128.0;
  const double full = bits == 16 ? 65535.0 : 255.0;
  const double d = factor * (static_cast<double>(s) - mid) + mid;
  if (std::isnan(d)) return 0;
  if (d <= 0.0) return 0;
  if (d >= full) return static_cast<uint32_t>(full);
  return static_cast<uint32_t>(std::trunc(d));
}

// Stretch, then the level; limits applied to the double value (equivalent to
// truncating first, since truncation moves toward zero).
inline uint32_t BrightnessContrastSample(double factor, int32_t level, uint32_t o, int bits) {
  const double mid = bits == 16 ? 32768.0 : 128.0;
  const double full = bits == 16 ? 65535.0 : 255.0;
  const double y = ((factor * (static_cast<double>(o) - mid)) + mid) + static_cast<double>(level);
  if (std::isnan(y)) return 0;
  if (y >= full) return static_cast<uint32_t>(full);
  if (y < 1.0) return 0;
  return static_cast<uint32_t>(std::trunc(y));
}

// Applies a per-sample function to a packed snapshot (rows of width *
// bytesPerPixel bytes): 8-bit images sample by byte over bytesPerPixel,
// 16-bit ones over channelCount samples; alpha is copied; with mask values
// (one per pixel) the source is mixed back in by shifting, not dividing.
inline std::vector<uint8_t> ApplyPerSample(const RawBitmap& format,
                                           const std::vector<uint8_t>& source,
                                           const std::vector<uint32_t>* mask,
                                           const std::function<uint32_t(uint32_t)>& effect) {
  std::vector<uint8_t> out = source;
  const bool wide = format.bitsPerChannel == 16;
  const int64_t pixels = format.width * format.height;
  const int64_t count = wide ? format.channelCount : format.bytesPerPixel;
  const int64_t alpha = wide ? format.alphaOffset / 2 : format.alphaOffset;
  for (int64_t px = 0; px < pixels; ++px) {
    for (int64_t i = 0; i < count; ++i) {
      if (i == alpha) continue;
      const size_t at = static_cast<size_t>(px * format.bytesPerPixel + (wide ? 2 * i : i));
      uint32_t o;
      if (wide) {
        uint16_t v;
        std::memcpy(&v, &source[at], 2);
        o = v;
      } else {
        o = source[at];
      }
      uint32_t e = effect(o);
      if (mask != nullptr && (*mask)[static_cast<size_t>(px)] != 0) {
        const uint64_t m = (*mask)[static_cast<size_t>(px)];
        const uint64_t full = wide ? 65535 : 255;
        e = static_cast<uint32_t>((o * m + e * (full - m)) / (wide ? 65536 : 256));
      }
      if (wide) {
        const uint16_t v = static_cast<uint16_t>(e);
        std::memcpy(&out[at], &v, 2);
      } else {
        out[at] = static_cast<uint8_t>(e);
      }
    }
  }
  return out;
}

}  // namespace tone_ref

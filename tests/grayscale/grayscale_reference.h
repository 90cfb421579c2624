// Plain reference of the grayscale effect over raw pixel memory, written from
// the effect's stated arithmetic. It writes into a copy of the destination's
// memory exactly where the effect is meant to write, so bytes outside the
// pixels and shifted gray samples are checked too.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "lumeno/raw_bitmap.h"

namespace gray_ref {

// The gray value of one pixel by method number; 3, larger and negative
// numbers all mean the weighted average.
inline uint32_t Gray(int64_t method, uint32_t r, uint32_t g, uint32_t b) {
  if (method == 0) {
    const double y = (0.299 * r + 0.587 * g) + 0.114 * b;
    return static_cast<uint32_t>(y);
  }
  if (method == 1) {
    const double y = (0.2125 * r + 0.7154 * g) + 0.0721 * b;
    return static_cast<uint32_t>(y);
  }
  if (method == 2) return (r + g + b) / 3;
  return (3 * r + 4 * g + 2 * b) / 9;
}

// Where and how the destination is laid out.
struct Target {
  int64_t rowBytes;
  int64_t bytesPerPixel;
  int redAt, greenAt, blueAt;  // byte offsets inside a destination pixel
  int alphaAt;                 // byte offset of the destination's alpha
};

// Runs the reference: `source` is the source's raw memory (RawMemory),
// `destination` the destination's memory before the run; `mask` holds one
// value per pixel or is null.
inline void Run(const RawBitmap& format, const std::vector<uint8_t>& source, const Target& target,
                std::vector<uint8_t>& destination, int64_t method,
                const std::vector<uint32_t>* mask) {
  const bool wide = format.bitsPerChannel == 16;
  // At 16 bits an offset addresses the sample that starts at the even byte.
  auto even = [wide](int offset) { return wide ? offset & ~1 : offset; };
  auto load = [&](size_t at) -> uint32_t {
    if (!wide) return source[at];
    uint16_t v;
    std::memcpy(&v, &source[at], 2);
    return v;
  };
  auto store = [&](size_t at, uint32_t v) {
    if (!wide) {
      destination[at] = static_cast<uint8_t>(v);
      return;
    }
    const uint16_t s = static_cast<uint16_t>(v);
    std::memcpy(&destination[at], &s, 2);
  };
  const uint64_t full = wide ? 65535 : 255;
  const uint64_t scale = wide ? 65536 : 256;
  for (int64_t y = 0; y < format.height; ++y) {
    for (int64_t x = 0; x < format.width; ++x) {
      const size_t s = static_cast<size_t>(y * format.rowBytes + x * format.bytesPerPixel);
      const size_t d = static_cast<size_t>(y * target.rowBytes + x * target.bytesPerPixel);
      const uint32_t r = load(s + even(format.redOffset));
      const uint32_t g = load(s + even(format.greenOffset));
      const uint32_t b = load(s + even(format.blueOffset));
      const uint32_t gray = Gray(method, r, g, b);
      const uint64_t m = mask != nullptr ? (*mask)[static_cast<size_t>(y * format.width + x)] : 0;
      if (m == 0) {
        store(d + even(target.blueAt), gray);
        store(d + even(target.greenAt), gray);
        store(d + even(target.redAt), gray);
      } else {
        store(d + even(target.redAt), static_cast<uint32_t>((r * m + gray * (full - m)) / scale));
        store(d + even(target.greenAt), static_cast<uint32_t>((g * m + gray * (full - m)) / scale));
        store(d + even(target.blueAt), static_cast<uint32_t>((b * m + gray * (full - m)) / scale));
      }
      if (format.hasAlpha) {
        store(d + even(target.alphaAt), load(s + even(format.alphaOffset)));
      }
    }
  }
}

}  // namespace gray_ref

// A slow, plain reference of the blend effect, written from the effect's
// description apart from the library's code: one function per concern,
// one pixel at a time, in source coordinates.
#pragma once

#include <cstdint>
#include <vector>

#include "lumeno/raw_bitmap.h"

namespace blendref {

// Location and Size as a script gives them (absent objects: has* false).
struct Placement {
  bool hasLocation = false;
  float x = 0, y = 0;
  bool hasSize = false;
  float width = 0, height = 0;
};

// One mode formula on the scaled samples a, b (with the raw samples and
// factors where the mode needs them). Modes 1..11 and 16..23.
int ChannelMode(int64_t mode, int a, int b, int S, int F, float sa, float cov);

// The integer HLS pair: hue, lightness, saturation on 0..255 scales.
struct Hls {
  int h, l, s;
};
Hls ToHls(int r, int g, int b);
void FromHls(Hls hls, int* r, int* g, int* b);

// The whole destination as packed rows (width * bytesPerPixel bytes each),
// starting from zero bytes as a new bitmap does. `mask` holds one value per
// source pixel (row-major) or is null.
std::vector<uint8_t> Blend(const RawBitmap& source, const RawBitmap& fill,
                           const std::vector<uint8_t>* mask, int64_t mode, double opacity,
                           const Placement& placement);

}  // namespace blendref

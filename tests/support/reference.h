// Slow, obviously correct pixel arithmetic of the effects, written apart
// from the plug-in: one pixel at a time, one sample at a time, every product
// and sum in the stated precision and order. The fast workers must produce
// exactly these bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "host/raw_bitmap_class.h"

namespace lumeno::testing::reference {

// A packed image (width * bytesPerPixel bytes per row, 16-bit samples in
// native order) of one format.
struct Image {
  const host::FormatInfo* format = nullptr;
  int64_t width = 0;
  int64_t height = 0;
  std::vector<uint8_t> bytes;
  int64_t rowBytes = 0;  // 0: packed rows; else rows as a bitmap lays them out

  bool Sixteen() const { return format->bitsPerChannel == 16; }
  int64_t Offset(int64_t x, int64_t y) const {
    return (rowBytes != 0 ? y * rowBytes : y * width * format->bytesPerPixel) +
           x * format->bytesPerPixel;
  }
  uint8_t* Pixel(int64_t x, int64_t y) { return bytes.data() + Offset(x, y); }
  const uint8_t* Pixel(int64_t x, int64_t y) const { return bytes.data() + Offset(x, y); }
};

// Mask value per pixel (row-major); empty for a plain run. 8-bit values for
// 8-bit images, 16-bit values for 16-bit ones.
using MaskValues = std::vector<uint32_t>;

// Sample by sample index (8-bit: byte index, 16-bit: sample index).
uint32_t Get(const Image& image, const uint8_t* pixel, int64_t index);
void Set(const Image& image, uint8_t* pixel, int64_t index, uint32_t value);

uint32_t MaskMix(bool sixteen, uint32_t o, uint32_t e, uint32_t m);
int32_t Trunc(double v);  // toward zero; NaN gives 0
int32_t Trunc(float v);

// Effects whose every sample but alpha is mapped on its own: f(o, index).
Image PerSample(const Image& source, const MaskValues& mask,
                const std::function<uint32_t(uint32_t o, int64_t index)>& f);

int32_t BrightnessLevel(float v, bool sixteen);
double ContrastFactor(float v);
uint32_t Brightness(uint32_t o, int32_t level, bool sixteen);
uint32_t BrightnessContrast(uint32_t o, double factor, int32_t level, bool sixteen);
uint32_t Contrast(uint32_t o, double factor, bool sixteen);
uint32_t Invert(uint32_t o, bool sixteen);

// The map effect's channel choice for sample index `index` (alpha first,
// then green, blue, red; others keep their value).
uint32_t Map(const host::FormatInfo& f, int64_t index, uint32_t o, const uint16_t* red,
             const uint16_t* green, const uint16_t* blue, bool sixteen);

// Effects that read three channels and write three (plus alpha). `initial`
// is what the destination holds before the run (zeros for a new bitmap, the
// source for an in-place run); srcIndex are the three sample indices read.
struct ThreeChannels {
  const Image* source;
  Image initial;
  int64_t srcIndex[3];
};
Image ColorFilter(const ThreeChannels& run, const MaskValues& mask, const int32_t level[3]);
Image Sepia(const ThreeChannels& run, const MaskValues& mask, int32_t sepiaLevel);
int32_t SepiaLevel(float v, bool sixteen);

// Grayscale: method 0..3; the destination `initial` decides the format and
// the three indices written are its red, green, blue positions (gray path:
// all three its gray sample).
Image Grayscale(const Image& source, Image initial, const MaskValues& mask, int64_t method);

// Location and Size of a blend as a script gives them (absent objects:
// has* false).
struct Placement {
  bool hasLocation = false;
  float x = 0, y = 0;
  bool hasSize = false;
  float width = 0, height = 0;
};

// One per-channel blend mode formula on the scaled samples a, b (with the
// raw samples and factors where the mode needs them); modes 1..11, 16..23.
int ChannelMode(int mode, int a, int b, int S, int F, float sa, float cov);

// The blend effect, 8 bits: `fill` is read at the source's channel
// positions, shifted by the truncated location; `mask` holds one fill-mask
// value per source pixel or is empty. Modes out of range blend as MULTIPLY.
Image Blend(const Image& source, const Image& fill, Image initial, const MaskValues& mask,
            double opacity, int mode, const Placement& placement = {});

}  // namespace lumeno::testing::reference

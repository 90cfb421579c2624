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

// Effects whose every sample but alpha is mapped on its own: f(o, index)
// (index: the byte of an 8-bit pixel, the sample of a 16-bit one).
Image PerSample(const Image& source, const MaskValues& mask,
                const std::function<uint32_t(uint32_t o, int64_t index)>& f);

// The map effect's channel choice for sample index `index` (alpha first,
// then green, blue, red; others keep their value).
uint32_t Map(const host::FormatInfo& f, int64_t index, uint32_t o, const uint16_t* red,
             const uint16_t* green, const uint16_t* blue, bool sixteen);

// The result of one effect with its values in the order of the effect
// table; `initial` is what the destination holds before the run (zeros of
// the destination's format for a new bitmap, the source in place).
using Values = std::vector<double>;
Image Brightness(const Image& source, Image initial, const MaskValues&, bool inPlace,
                 const Values&);
Image Contrast(const Image& source, Image initial, const MaskValues&, bool inPlace, const Values&);
Image BrightnessContrast(const Image& source, Image initial, const MaskValues&, bool inPlace,
                         const Values&);
Image Invert(const Image& source, Image initial, const MaskValues&, bool inPlace, const Values&);
Image ColorFilter(const Image& source, Image initial, const MaskValues&, bool inPlace,
                  const Values&);
Image TintAndTemperature(const Image& source, Image initial, const MaskValues&, bool inPlace,
                         const Values&);
Image Sepia(const Image& source, Image initial, const MaskValues&, bool inPlace, const Values&);
// Values: the method 0..3 (any other: 3) and UseOriginalColorSpace; the
// format of `initial` says whether the result is gray.
Image Grayscale(const Image& source, Image initial, const MaskValues&, bool inPlace, const Values&);

// Location and Size of a blend as a script gives them (absent objects:
// has* false), and the rectangle they cover in the source: the location
// truncated, the size narrowing only.
struct Placement {
  bool hasLocation = false;
  float x = 0, y = 0;
  bool hasSize = false;
  float width = 0, height = 0;
};
struct Rect {
  int64_t x0, y0, x1, y1;  // columns [x0, x1), rows [y0, y1)
};
Rect Covered(int64_t width, int64_t height, int64_t fillWidth, int64_t fillHeight,
             const Placement& placement);

// The blend effect, 8 bits: `fill` is read at the source's channel
// positions, shifted by the truncated location; `mask` holds one fill-mask
// value per source pixel or is empty. Modes out of range blend as MULTIPLY.
Image Blend(const Image& source, const Image& fill, Image initial, const MaskValues& mask,
            double opacity, int mode, const Placement& placement = {});

}  // namespace lumeno::testing::reference

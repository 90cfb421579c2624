// Plain references of the effects whose pixel rules are short: brightness,
// contrast and invert. Written from the effect rules alone (one loop per
// pixel and sample), independent of the plug-in's row workers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lumeno/raw_bitmap.h"

namespace lumeno::stress {

enum class ToneEffect { kBrightness, kContrast, kInvert };

// Mask values per pixel (row-major, width * height), already at the depth of
// the image (8-bit images: 0..255 from GetValue8, 16-bit: 0..65535 from
// GetValue16); empty for an unmasked run.
using MaskValues = std::vector<uint32_t>;

// The packed result (ReadPixels layout) of running `effect` with `value` over
// `packed`, pixels of a bitmap shaped like `shape`. Empty optional when the
// rules leave the result open (a NaN contrast factor).
std::optional<std::vector<uint8_t>> ReferenceTone(ToneEffect effect, float value,
                                                  const RawBitmap& shape,
                                                  const std::vector<uint8_t>& packed,
                                                  const MaskValues& mask);

}  // namespace lumeno::stress

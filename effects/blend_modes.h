// The blend effect's run context and its pixel functions: what the row
// workers of blend.cpp and the 23 mode functions of blend_modes.cpp share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/engine.h"

struct BlendParams;

// Blends one covered pixel: reads the source and fill pixels, writes the
// destination's colour samples. sw and fw weigh the source sample and the
// mode's result (out of 256); sa is the source alpha factor, cov the fill
// coverage (both 0..1).
using BlendPixelProc = void (*)(const uint8_t* source, const uint8_t* fill, uint8_t* destination,
                                const BlendParams* context, uint32_t sw, uint32_t fw, float sa,
                                float cov);

// The context of one blend run: the generic fields the engine reads, then
// the placement, weights and fill description the workers need. The workers
// read nothing else, so a run is unaffected by later property changes.
struct BlendParams {
  GenericMPParams base;
  int32_t xStart, yStart;    // first covered source column and row
  int32_t xEnd, yEnd;        // column and row after the last covered ones
  uint32_t sourceWeight;     // out of 256
  uint32_t fillWeight;       // out of 256
  int32_t fillColumnOffset;  // bytes skipped at the start of every used fill row
  int32_t fillRowOrigin;     // source row that fill row 0 lands on
  uint8_t* fillPixels;
  int32_t fillRowBytes;
  int32_t fillPixelBytes;
  RawBitmap* fill;
  int64_t mode;                // the stored BlendMode
  BlendPixelProc blendProc;    // modes 1 to 23
  uint8_t colourChannels[16];  // byte positions of the colour channels, ascending
  uint8_t colourChannelCount;
  RawBitmapMask* fillMask;  // null without a fill mask
  // Holds an asynchronous run keeps on the fill and its mask until it ends.
  ZARKobjectStruct* heldFill;
  ZARKobjectStruct* heldFillMask;
};

static_assert(offsetof(BlendParams, xStart) == sizeof(GenericMPParams));

constexpr int kBlendModeCount = 24;  // NORMAL plus the 23 pixel functions

// Entry k is the pixel function of mode k + 1 (MULTIPLY first, ADD last).
extern const BlendPixelProc kBlendModeTable[kBlendModeCount - 1];

// For the modes whose per-channel result depends on the scaled samples a
// and b alone (all per-channel modes but SCREEN and OVERLAY): fills
// table[a * 256 + b] with that result and returns true. False for the other
// modes, and should a result leave 0..255. A stored mode outside 1..23 is
// MULTIPLY, as for BlendProcFor.
bool FillChannelModeTable(int64_t mode, uint8_t* table);

// The pixel function for a stored BlendMode other than NORMAL: modes outside
// 1..23, negative ones included, blend as MULTIPLY.
inline BlendPixelProc BlendProcFor(int64_t mode) {
  return mode >= 1 && mode < kBlendModeCount ? kBlendModeTable[mode - 1] : kBlendModeTable[0];
}

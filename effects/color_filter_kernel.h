// What the colour filter's plain worker (effects/color_filter.cpp) and its
// faster rows (effects/x86/color_filter_*.cpp) share.
//
// Only plain records and declarations: a level file must emit no inline
// function the plain code might take in its place.
#pragma once

#include <cstdint>

namespace lumeno::color_filter {

// The vector form of an unmasked run where source and destination pixels
// have the same layout: o + level limited to the channel range is, per
// sample, a saturating add of the positive part and a saturating subtract
// of the negative part (one of them zero), and a sample of no colour channel
// gets both zero, which leaves it as it is.
struct ShiftPlan {
  int32_t samples;  // per pixel, 1..8
  int32_t up[8];    // per sample of a pixel
  int32_t down[8];
  // up and down repeated over 16 * samples bytes, samples of the run's
  // depth: a whole number of pixels, so the lane pattern repeats every
  // `samples` vectors.
  alignas(16) uint8_t upLanes[128];
  alignas(16) uint8_t downLanes[128];
};

// A row: does the first samples of a row of rowSamples samples and returns
// how many; the plain form does the rest.
using ShiftRow = int64_t (*)(const ShiftPlan& plan, const uint8_t* src, uint8_t* dst,
                             int64_t rowSamples);

#if defined(LUMENO_X86_PATHS)
// effects/x86/color_filter_sse2.cpp
int64_t ShiftRow8Sse2(const ShiftPlan& plan, const uint8_t* src, uint8_t* dst, int64_t rowSamples);
int64_t ShiftRow16Sse2(const ShiftPlan& plan, const uint8_t* src, uint8_t* dst, int64_t rowSamples);
#endif

}  // namespace lumeno::color_filter

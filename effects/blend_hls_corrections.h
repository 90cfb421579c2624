// Where the integer RGB <-> HLS pair (colormath/color_hls_int.cpp) gives
// one less than the exact fraction its double steps approximate: the
// cases the blend's eight-lane HLS pair (effects/x86/hls_lanes_avx2.h)
// puts right. Found once, at first use, by asking the scalar pair itself.
//
// Plain code: the lanes' file includes this header but keeps the tables'
// building and the rare per-colour fix out of the AVX2 object.
#pragma once

#include <cstdint>

namespace lumeno::blend {

struct HlsCorrections {
  // Bit k / 8 of word k % 8: an exact hue of k (0..254, after the wrap)
  // that the scalar pair gives as k - 1.
  alignas(32) uint32_t hue[8];
  // Two bits per lightness l and saturation s, at bit 2 * (s % 16) of word
  // l * 16 + s / 16: bit 0, the channels at m1 land below; bit 1, a channel
  // on a ramp or at m2 does (rare: CorrectRampLanes puts those right).
  uint32_t levels[4096];
};

// The tables, built on the first call (thread-safe).
const HlsCorrections& HlsCorrectionTable();

// The colours of `lanes` (bit i for colour i) from the way back: each
// channel of rgb[channel][i] whose ramp position lands below for the
// colour's lightness and saturation hls[1][i], hls[2][i] and hue hls[0][i]
// made one less.
void CorrectRampLanes(const int32_t (&hls)[3][8], int32_t (&rgb)[3][8], int lanes);

}  // namespace lumeno::blend

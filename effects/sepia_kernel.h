// What the plain sepia workers (effects/sepia.cpp) and its faster rows
// (effects/x86/sepia_*.cpp) share: the formula's constants, where a band's
// samples are, the vector rows' descriptions and the rows themselves.
//
// Only constants and plain records here, and declarations: a level file
// compiled for AVX2 must emit no inline function the plain code might take
// in its place.
#pragma once

#include <cstdint>

#include "engine/pixel_lanes.h"
#include "lumeno/engine.h"

namespace lumeno::sepia {

// The luminance weights, summed in this order: (r * red + g * green) +
// b * blue.
constexpr double kWeightRed = 0.299;
constexpr double kWeightGreen = 0.587;
constexpr double kWeightBlue = 0.114;

// The brown shift of each tinted channel, level * factor: red up, green
// and blue down.
constexpr double kTintRed = 0.956;
constexpr double kTintGreen = 0.272;
constexpr double kTintBlue = 1.105;
struct TintShifts {
  double red, green, blue;
};

// Where a band reads and writes, in samples (bytes at 8 bits, 16-bit units
// at 16 bits), and what happens to alpha.
struct Samples {
  int32_t srcRed, srcGreen, srcBlue, srcAlpha;
  int32_t dstRed, dstGreen, dstBlue, dstAlpha;
  bool copyAlpha;  // the destination has alpha
  bool loadAlpha;  // ... and the source has one to copy; otherwise opaque
};

// The 8-bit vector rows over 4-byte pixels: the luminance in double lanes,
// then each tinted channel as a saturating byte add or subtract of its
// table's k (where every table has the form min(max(y + k, 0), 255)).
struct Vector8 {
  int32_t srcShift[3];  // bit positions of red, green, blue in the 32-bit pixel
  uint32_t colour;      // destination bits of the three tinted channels
  uint32_t raise;       // per destination byte: k where positive
  uint32_t lower;       // per destination byte: -k where negative
  uint32_t srcKeep;     // destination bits taken from the source pixel (alpha)
  uint32_t dstKeep;     // destination bits left as they are
  uint32_t opaque;      // destination bits set (alpha without a source alpha)
};

// The 16-bit vector rows over pixels of four samples (8 bytes).
struct Vector16 {
  int32_t srcShift[3];  // bit positions of red, green, blue in the 64-bit pixel
  int32_t dstShift[3];
  uint64_t srcKeep;  // destination bits taken from the source pixel (alpha)
  uint64_t dstKeep;  // destination bits left as they are
  uint64_t opaque;   // destination bits set (alpha without a source alpha)
};

// A band of the 16-bit rows, prepared once.
struct Band16 {
  Vector16 v;
  TintShifts shift;
  bool offsets;       // every tinted channel is min(max(y + amount, 0), 65535)
  int32_t amount[3];  // ... with these amounts
  bool readDestination;
  uint64_t srcKeep;  // v.srcKeep, plus the untouched bits in place
};

// The layout test of the 8-bit rows; tables are the red, green and blue
// tables of the band.
using Prepare8 = bool (*)(const GenericMPParams& p, const Samples& at, const uint8_t* const* tables,
                          Vector8* v);
// A row: does the first pixels of a row of `width` and returns how many;
// the plain form does the rest.
using Row8 = int32_t (*)(const Vector8& v, const StoreLanes& lanes, const uint8_t* src,
                         uint8_t* dst, int32_t width);
using Row16 = int32_t (*)(const Band16& band, const uint8_t* src, uint8_t* dst, int32_t width);
// Prepares a band of 16-bit rows; false where the layout is not theirs.
using Prepare16 = bool (*)(const FilterJob& job, const Samples& at, const TintShifts& shift,
                           int32_t sepiaLevel, Band16* band);
struct Paths8 {
  Prepare8 prepare;
  Row8 row;
};
struct Paths16 {
  Prepare16 prepare;
  Row16 row;
};

#if defined(LUMENO_X86_PATHS)
// effects/x86/sepia_sse2.cpp. The 8-bit layout test is plain code, shared by
// the 8-bit rows of every level.
bool PrepareVector8(const GenericMPParams& p, const Samples& at, const uint8_t* const* tables,
                    Vector8* v);
int32_t Row8Sse2(const Vector8& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width);
// effects/x86/sepia_avx2.cpp
int32_t Row8Avx2(const Vector8& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width);
bool PrepareBand16Avx2(const FilterJob& job, const Samples& at, const TintShifts& shift,
                       int32_t sepiaLevel, Band16* band);
int32_t Row16Avx2(const Band16& band, const uint8_t* src, uint8_t* dst, int32_t width);
#endif

}  // namespace lumeno::sepia

// What blend.cpp, its row workers (effects/blend_workers.cpp) and their
// faster rows (effects/x86/blend_*.cpp) share beyond the run context of
// effects/blend_modes.h.
//
// Only declarations here: a level file compiled for AVX2 must emit no inline
// function the plain code might take in its place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/engine.h"

struct BlendParams;

namespace lumeno::blend {

// The eight row workers; index: mode * 4 + fillAlpha * 2 + masked.
extern const FilterRowProc kWorkers[8];

// The plain form of one covered pixel of each kind (same index), of mask
// value m (0 unmasked); pixelBytes is the smaller pixel size.
using CoveredPixel = void (*)(const BlendParams& p, const uint8_t* s, const uint8_t* f, uint8_t* d,
                              uint32_t m, size_t pixelBytes);
extern const CoveredPixel kCoveredPixels[8];

// For rows of one pixel size in source and destination: copies what the
// fill does not cover in row r (the whole row, or the columns left and
// right of it) in one piece each. Returns the fill pixel of the first
// covered column, or null when the row has none.
const uint8_t* CopyUncovered(const BlendParams& p, int32_t r, const uint8_t* src, uint8_t* dst);

// effects/blend_wide_rows.cpp: a band of worker `kind` (index as above)
// through the faster rows of the processor's level where its layout allows;
// false, with nothing done, where they do not.
bool WideRows(void* job, const BlendParams& p, int32_t kind, void** result);

// A faster row over `count` covered 4-byte source, fill and destination
// pixels whose alpha byte is at `alpha` in source and destination (and in
// the fill, where the fill has alpha) and whose other three bytes are the
// colour channels. The layout holds the alpha, red, green and blue
// positions in its four bytes; with kThreeByteSource the source and
// destination pixels are 3 colour bytes instead (no alpha: they take 255 at
// position 3), with kThreeByteFill the fill pixels. m holds the pixels' mask values (masked rows
// only), sw and fw weigh source and fill (out of 256), o is fw / 256. Does the first pixels and
// returns how many, the same bytes as the plain row; the plain row does the rest.
constexpr uint32_t kThreeByteSource = 1u << 2, kThreeByteFill = 1u << 3;
using WideRow = int32_t (*)(const uint8_t* s, const uint8_t* f, uint8_t* d, const uint8_t* m,
                            int32_t count, uint32_t layout, uint32_t sw, uint32_t fw, float o);

// The faster row of worker `kind` (index as kWorkers) for a stored blend
// mode; null where the level has none.
using WideRowFor = WideRow (*)(int32_t kind, int64_t mode);

#if defined(LUMENO_X86_PATHS)
// effects/x86/blend_avx2.cpp: NORMAL with fill alpha.
int32_t NormalAlphaRowAvx2(const uint8_t* s, const uint8_t* f, uint8_t* d, const uint8_t* m,
                           int32_t count, uint32_t layout, uint32_t sw, uint32_t fw, float o);
// effects/x86/blend_modes_avx2.cpp: the rows of every mode it has.
WideRow WideRowAvx2(int32_t kind, int64_t mode);
// effects/x86/blend_space_avx2.cpp: HUE, SATURATION, COLOR, LUMINOSITY.
WideRow SpaceRowAvx2(int32_t kind, int64_t mode);
#endif

}  // namespace lumeno::blend

// What blend.cpp, its row workers (effects/blend_workers.cpp) and their
// faster rows (effects/x86/blend_*.cpp) share beyond the run context of
// effects/blend_modes.h.
//
// Only declarations here: a level file compiled for AVX2 must emit no inline
// function the plain code might take in its place.
#pragma once

#include <cstdint>

#include "lumeno/engine.h"

namespace lumeno::blend {

// The eight row workers; index: mode * 4 + fillAlpha * 2 + masked.
extern const FilterRowProc kWorkers[8];

// A faster row over `count` covered 4-byte source, fill and destination
// pixels whose alpha byte is at `alpha` in source and destination (and in
// the fill, where the fill has alpha) and whose other three bytes are the
// colour channels; sw and fw weigh source and fill (out of 256), o is
// fw / 256. Does the first pixels and returns how many, the same bytes as
// the plain row; the plain row does the rest.
using WideRow = int32_t (*)(const uint8_t* s, const uint8_t* f, uint8_t* d, int32_t count,
                            int32_t alpha, uint32_t sw, uint32_t fw, float o);

// The faster row of a stored blend mode, with or without fill alpha; null
// where the level has none.
using WideRowFor = WideRow (*)(int64_t mode, bool fillAlpha);

#if defined(LUMENO_X86_PATHS)
// effects/x86/blend_avx2.cpp: NORMAL with fill alpha.
int32_t NormalAlphaRowAvx2(const uint8_t* s, const uint8_t* f, uint8_t* d, int32_t count,
                           int32_t alpha, uint32_t sw, uint32_t fw, float o);
// effects/x86/blend_modes_avx2.cpp: the rows of every mode it has.
WideRow WideRowAvx2(int64_t mode, bool fillAlpha);
#endif

}  // namespace lumeno::blend

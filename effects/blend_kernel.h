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

// A row of NORMAL with fill alpha over `count` 4-byte source, fill and
// destination pixels whose alpha byte is at `alpha` in all three and whose
// other three bytes are the colour channels; sw and fw weigh source and
// fill (out of 256), o is fw / 256. Does the first pixels and returns how
// many, the same bytes as the plain row; the plain row does the rest.
using NormalAlphaRow = int32_t (*)(const uint8_t* s, const uint8_t* f, uint8_t* d, int32_t count,
                                   int32_t alpha, uint32_t sw, uint32_t fw, float o);

#if defined(LUMENO_X86_PATHS)
// effects/x86/blend_avx2.cpp
int32_t NormalAlphaRowAvx2(const uint8_t* s, const uint8_t* f, uint8_t* d, int32_t count,
                           int32_t alpha, uint32_t sw, uint32_t fw, float o);
#endif

}  // namespace lumeno::blend

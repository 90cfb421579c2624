// Byte rows through 256-entry tables, many bytes per instruction where the
// processor allows: the look-up of per-channel effects whose table is no
// simple operation (contrast, brightness-contrast, map curves).
//
// AVX-512 VBMI or AVX2 where the processor has them (engine/cpu_level.h).
#pragma once

#include <cstdint>

#include "engine/cpu_level.h"

namespace lumeno {

// Sample k of every pixel of a row of packed 8-bit samples (byte j is
// sample j % samples) through tables[k], or kept where tables[k] is null;
// samples is 1 to 8. Does the first bytes of the row, many at a time, and
// returns how many (at most count; 0 where the active level has no form for
// these tables); the caller does the rest, from that byte on (which may be
// inside a pixel). src may equal dst.
int64_t LookUpRowWide(const uint8_t* src, uint8_t* dst, int64_t count,
                      const uint8_t* const* tables, int32_t samples);

}  // namespace lumeno

// Byte rows through 256-entry tables, many bytes per instruction where the
// processor allows: the look-up of per-channel effects whose table is no
// simple operation (contrast, brightness-contrast, map curves).
//
// Which instructions are used is decided once per process: AVX-512 (with
// the VBMI byte permutes) where present, else AVX2, else none (the callers'
// own loops do all the work). LUMENO_CPU_DISABLE in the environment, a list
// such as "avx512" or "avx512,avx2", turns levels off, to compare them or to
// test the others on one machine.
#pragma once

#include <cstdint>

namespace lumeno {

enum class WideLevel { kNone, kAvx2, kAvx512 };

// The level in use (checked once).
WideLevel WideLookUpLevel();
// The text of a level: "none", "avx2", "avx512".
const char* WideLevelName(WideLevel level);

// Sample k of every pixel of a row of packed 8-bit samples (byte j is
// sample j % samples) through tables[k], or kept where tables[k] is null;
// samples is 1 to 8. Does the first bytes of the row, many at a time, and
// returns how many (at most count; 0 where the level in use has no form for
// these tables); the caller does the rest, from that byte on (which may be
// inside a pixel). src may equal dst.
int64_t LookUpRowWide(const uint8_t* src, uint8_t* dst, int64_t count,
                      const uint8_t* const* tables, int32_t samples);

}  // namespace lumeno

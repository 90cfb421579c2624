// The wide byte look-up with AVX-512 VBMI (engine/table_lookup.h), which
// permutes bytes across a whole register by a 7-bit index (vpermi2b): a
// 256-entry table is two 128-entry look-ups and a choice by the index's top
// bit, 64 bytes in three instructions, one blend per table.
#include <immintrin.h>

#include "engine/table_lookup.h"

namespace lumeno {

namespace {

__m512i LookUp64(const uint8_t* table, __m512i o) {
  const __m512i low =
      _mm512_permutex2var_epi8(_mm512_loadu_si512(table), o, _mm512_loadu_si512(table + 64));
  const __m512i high =
      _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 128), o, _mm512_loadu_si512(table + 192));
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(o), low, high);
}

}  // namespace

int64_t LookUpRowAvx512(const uint8_t* src, uint8_t* dst, int64_t count,
                        const uint8_t* const* tables, int32_t tableCount,
                        const uint64_t (*takes)[8], int32_t samples) {
  int64_t j = 0;
  int32_t phase = 0;
  if (tableCount == 1) {
    const __m512i low0 = _mm512_loadu_si512(tables[0]);
    const __m512i low1 = _mm512_loadu_si512(tables[0] + 64);
    const __m512i high0 = _mm512_loadu_si512(tables[0] + 128);
    const __m512i high1 = _mm512_loadu_si512(tables[0] + 192);
    for (; j + 64 <= count; j += 64) {
      const __m512i o = _mm512_loadu_si512(src + j);
      const __m512i e =
          _mm512_mask_blend_epi8(_mm512_movepi8_mask(o), _mm512_permutex2var_epi8(low0, o, low1),
                                 _mm512_permutex2var_epi8(high0, o, high1));
      _mm512_storeu_si512(dst + j, _mm512_mask_blend_epi8(takes[0][phase], o, e));
      phase = phase + 1 == samples ? 0 : phase + 1;
    }
    return j;
  }
  for (; j + 64 <= count; j += 64) {
    const __m512i o = _mm512_loadu_si512(src + j);
    __m512i e = o;
    for (int32_t d = 0; d < tableCount; ++d) {
      e = _mm512_mask_blend_epi8(takes[d][phase], e, LookUp64(tables[d], o));
    }
    _mm512_storeu_si512(dst + j, e);
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}
}  // namespace lumeno

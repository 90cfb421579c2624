// The wide byte look-ups. Each level's code is compiled for its own
// instruction set and only called after the processor said it has it; the
// results are the tables' entries, exactly.
//
// AVX-512 VBMI permutes bytes across a whole register by a 7-bit index
// (vpermi2b), so a 256-entry table is two 128-entry look-ups and a choice by
// the index's top bit: 64 bytes in three instructions. AVX2 has only a
// 16-entry shuffle per 128-bit lane (vpshufb): the table is sixteen pieces,
// each looked up by the low half of every byte.
#include "engine/table_lookup.h"

#include <cstring>

#if defined(LUMENO_X86)
#include <immintrin.h>
#endif

namespace lumeno {

namespace {

// The distinct tables of a row and which pixel positions take each.
struct TableSet {
  const uint8_t* tables[8];
  uint32_t positions[8];  // bit k: sample k takes tables[d]
  int32_t count = 0;
};

TableSet Distinct(const uint8_t* const* tables, int32_t samples) {
  TableSet set;
  for (int32_t k = 0; k < samples; ++k) {
    if (tables[k] == nullptr) continue;
    int32_t d = 0;
    while (d < set.count && std::memcmp(set.tables[d], tables[k], 256) != 0) ++d;
    if (d == set.count) {
      set.tables[d] = tables[k];
      set.positions[d] = 0;
      ++set.count;
    }
    set.positions[d] |= 1u << k;
  }
  return set;
}

#if defined(LUMENO_X86)

// ---------------------------------------------------------------------------
// AVX-512 VBMI

struct Table512 {
  __m512i quarter[4];
};

LUMENO_AVX512 inline __m512i LookUp64(const Table512& t, __m512i o) {
  const __m512i low = _mm512_permutex2var_epi8(t.quarter[0], o, t.quarter[1]);
  const __m512i high = _mm512_permutex2var_epi8(t.quarter[2], o, t.quarter[3]);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(o), low, high);
}

// 64 * samples bytes hold a whole number of pixels, so the bytes a table
// takes repeat every `samples` steps of 64: one mask per table and step.
LUMENO_AVX512 int64_t LookUpRow512(const uint8_t* src, uint8_t* dst, int64_t count,
                                   const TableSet& set, int32_t samples) {
  Table512 tables[8];
  __mmask64 takes[8][8];
  for (int32_t d = 0; d < set.count; ++d) {
    for (int q = 0; q < 4; ++q) tables[d].quarter[q] = _mm512_loadu_si512(set.tables[d] + 64 * q);
    for (int32_t phase = 0; phase < samples; ++phase) {
      uint64_t bits = 0;
      for (int32_t b = 0; b < 64; ++b) {
        if ((set.positions[d] >> ((64 * phase + b) % samples)) & 1u) bits |= uint64_t{1} << b;
      }
      takes[d][phase] = bits;
    }
  }
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + 64 <= count; j += 64) {
    const __m512i o = _mm512_loadu_si512(src + j);
    __m512i e = o;
    for (int32_t d = 0; d < set.count; ++d) {
      e = _mm512_mask_blend_epi8(takes[d][phase], e, LookUp64(tables[d], o));
    }
    _mm512_storeu_si512(dst + j, e);
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

// ---------------------------------------------------------------------------
// AVX2

// A table prepared for LookUp32. Each half of the table (below and from 128)
// is summed as differences: step h holds piece h xor piece h - 1, so the
// steps up to and including a byte's own piece leave exactly that piece's
// entry.
struct Table256 {
  __m256i steps[16];
};

LUMENO_AVX2 inline void Prepare(const uint8_t* table, Table256* wide) {
  for (int h = 0; h < 16; ++h) {
    const __m128i piece = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * h));
    const __m128i below =
        h % 8 == 0 ? _mm_setzero_si128()
                   : _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * (h - 1)));
    wide->steps[h] = _mm256_broadcastsi128_si256(_mm_xor_si128(piece, below));
  }
}

// table[o] for each of 32 bytes. Step h takes part where index - 16h has its
// top bit clear (vpshufb gives 0 where it is set): for bytes of the step's
// half at or above 16h. Bytes of the other half are made 0xFF first, so they
// never take part.
LUMENO_AVX2 inline __m256i LookUp32(const Table256& wide, __m256i o) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i lower = _mm256_or_si256(o, _mm256_cmpgt_epi8(zero, o));
  const __m256i shifted = _mm256_xor_si256(o, _mm256_set1_epi8(static_cast<char>(0x80)));
  const __m256i upper = _mm256_or_si256(shifted, _mm256_cmpgt_epi8(zero, shifted));
  __m256i e = _mm256_xor_si256(_mm256_shuffle_epi8(wide.steps[0], lower),
                               _mm256_shuffle_epi8(wide.steps[8], upper));
#pragma GCC unroll 8
  for (int h = 1; h < 8; ++h) {
    const __m256i down = _mm256_set1_epi8(static_cast<char>(16 * h));
    e = _mm256_xor_si256(e, _mm256_shuffle_epi8(wide.steps[h], _mm256_sub_epi8(lower, down)));
    e = _mm256_xor_si256(e, _mm256_shuffle_epi8(wide.steps[8 + h], _mm256_sub_epi8(upper, down)));
  }
  return e;
}

// One table for some positions, the others kept: 32 bytes a step, the kept
// bytes chosen by marks repeating every `samples` steps.
LUMENO_AVX2 int64_t LookUpRow256(const uint8_t* src, uint8_t* dst, int64_t count,
                                 const TableSet& set, int32_t samples) {
  Table256 wide;
  Prepare(set.tables[0], &wide);
  alignas(32) uint8_t keep[32 * 8];
  for (int32_t b = 0; b < 32 * samples; ++b) {
    keep[b] = (set.positions[0] >> (b % samples)) & 1u ? 0x00 : 0xFF;
  }
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + 32 <= count; j += 32) {
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j));
    const __m256i marks = _mm256_load_si256(reinterpret_cast<const __m256i*>(keep + phase * 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + j),
                        _mm256_blendv_epi8(LookUp32(wide, o), o, marks));
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

#endif  // LUMENO_X86

}  // namespace

int64_t LookUpRowWide(const uint8_t* src, uint8_t* dst, int64_t count,
                      const uint8_t* const* tables, int32_t samples) {
#if defined(LUMENO_X86)
  if (samples < 1 || samples > 8) return 0;
  const CpuLevel level = ActiveCpuLevel();
  if (level == CpuLevel::kBaseline) return 0;
  const TableSet set = Distinct(tables, samples);
  if (set.count == 0) return 0;
  if (level == CpuLevel::kAvx512) return LookUpRow512(src, dst, count, set, samples);
  // AVX2 spends most of its time per table: one table only.
  if (set.count == 1) return LookUpRow256(src, dst, count, set, samples);
#else
  (void)src;
  (void)dst;
  (void)count;
  (void)tables;
  (void)samples;
#endif
  return 0;
}

}  // namespace lumeno

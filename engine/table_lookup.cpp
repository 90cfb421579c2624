// The wide byte look-ups. Each level's code is compiled for its own
// instruction set and only called after the processor said it has it; the
// results are the tables' entries, exactly.
//
// AVX-512 VBMI permutes bytes across a whole register by a 7-bit index
// (vpermi2b), so a 256-entry table is two 128-entry look-ups and a choice by
// the index's top bit: 64 bytes in three instructions, one blend per table.
// AVX2 has only a 16-entry shuffle per 128-bit lane (vpshufb): the table is
// sixteen pieces, each looked up by the low half of every byte; it is used
// for a single table only.
#include "engine/table_lookup.h"

#include <cstring>

#if defined(LUMENO_X86)
#include <immintrin.h>
#endif

namespace lumeno {

namespace {

#if defined(LUMENO_X86)

LUMENO_AVX512 inline __m512i LookUp64(const uint8_t* table, __m512i o) {
  const __m512i low =
      _mm512_permutex2var_epi8(_mm512_loadu_si512(table), o, _mm512_loadu_si512(table + 64));
  const __m512i high =
      _mm512_permutex2var_epi8(_mm512_loadu_si512(table + 128), o, _mm512_loadu_si512(table + 192));
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(o), low, high);
}

LUMENO_AVX512 int64_t Run512(const uint8_t* src, uint8_t* dst, int64_t count,
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

// table[o] for each of 32 bytes from the difference steps: each half of the
// table (below and from 128) is summed as differences, step h holding piece
// h xor piece h - 1, so the steps up to and including a byte's own piece
// leave exactly that piece's entry. Step h takes part where index - 16h has
// its top bit clear (vpshufb gives 0 where it is set): for bytes of the
// step's half at or above 16h. Bytes of the other half are made 0xFF first,
// so they never take part.
LUMENO_AVX2 int64_t Run256(const uint8_t* src, uint8_t* dst, int64_t count,
                           const uint8_t (*stepBytes)[16], const uint8_t (*keep)[32],
                           int32_t samples) {
  __m256i steps[16];
  for (int h = 0; h < 16; ++h) {
    steps[h] =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(stepBytes[h])));
  }
  const __m256i zero = _mm256_setzero_si256();
  const __m256i top = _mm256_set1_epi8(static_cast<char>(0x80));
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + 32 <= count; j += 32) {
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j));
    const __m256i lower = _mm256_or_si256(o, _mm256_cmpgt_epi8(zero, o));
    const __m256i shifted = _mm256_xor_si256(o, top);
    const __m256i upper = _mm256_or_si256(shifted, _mm256_cmpgt_epi8(zero, shifted));
    __m256i e = _mm256_xor_si256(_mm256_shuffle_epi8(steps[0], lower),
                                 _mm256_shuffle_epi8(steps[8], upper));
#pragma GCC unroll 8
    for (int h = 1; h < 8; ++h) {
      const __m256i down = _mm256_set1_epi8(static_cast<char>(16 * h));
      e = _mm256_xor_si256(e, _mm256_shuffle_epi8(steps[h], _mm256_sub_epi8(lower, down)));
      e = _mm256_xor_si256(e, _mm256_shuffle_epi8(steps[8 + h], _mm256_sub_epi8(upper, down)));
    }
    const __m256i marks = _mm256_load_si256(reinterpret_cast<const __m256i*>(keep[phase]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + j), _mm256_blendv_epi8(e, o, marks));
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

LUMENO_AVX2 int64_t Operate256(const uint8_t* src, uint8_t* dst, int64_t count, int bits,
                               SampleOp op, uint32_t amount, const uint8_t* keep, int32_t samples) {
  const int64_t sampleBytes = bits / 8;
  const int64_t lanes = 32 / sampleBytes;
  const __m256i all = _mm256_set1_epi8(static_cast<char>(0xFF));
  const __m256i by = bits == 8 ? _mm256_set1_epi8(static_cast<char>(amount))
                               : _mm256_set1_epi16(static_cast<short>(amount));
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + lanes <= count; j += lanes) {
    const int64_t at = j * sampleBytes;
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + at));
    __m256i e;
    if (op == SampleOp::kComplement) {
      e = _mm256_xor_si256(o, all);
    } else if (op == SampleOp::kAddLimited) {
      e = bits == 8 ? _mm256_adds_epu8(o, by) : _mm256_adds_epu16(o, by);
    } else {
      e = bits == 8 ? _mm256_subs_epu8(o, by) : _mm256_subs_epu16(o, by);
    }
    const __m256i marks = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep + phase * 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + at), _mm256_blendv_epi8(e, o, marks));
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

#endif  // LUMENO_X86

}  // namespace

int64_t OperateRowWide(const uint8_t* src, uint8_t* dst, int64_t count, int bits, SampleOp op,
                       uint32_t amount, const uint8_t* keep, int32_t samples) {
#if defined(LUMENO_X86)
  if (ActiveCpuLevel() != CpuLevel::kBaseline) {
    return Operate256(src, dst, count, bits, op, amount, keep, samples);
  }
#else
  (void)src;
  (void)dst;
  (void)count;
  (void)bits;
  (void)op;
  (void)amount;
  (void)keep;
  (void)samples;
#endif
  return 0;
}

WideLookUp::WideLookUp(const uint8_t* const* tables, int32_t samples) {
  if (samples < 1 || samples > 8) return;
  samples_ = samples;
  // The distinct tables and which positions take each.
  uint32_t positions[8] = {};
  for (int32_t k = 0; k < samples; ++k) {
    if (tables[k] == nullptr) continue;
    int32_t d = 0;
    while (d < count_ && std::memcmp(tables_[d], tables[k], 256) != 0) ++d;
    if (d == count_) tables_[count_++] = tables[k];
    positions[d] |= 1u << k;
  }
  if (count_ == 0) return;
  const CpuLevel level = ActiveCpuLevel();
  if (level == CpuLevel::kAvx512) {
    for (int32_t d = 0; d < count_; ++d) {
      for (int32_t phase = 0; phase < samples; ++phase) {
        uint64_t bits = 0;
        for (int32_t b = 0; b < 64; ++b) {
          if ((positions[d] >> ((64 * phase + b) % samples)) & 1u) bits |= uint64_t{1} << b;
        }
        takes_[d][phase] = bits;
      }
    }
    form_ = Form::kAvx512;
  } else if (level == CpuLevel::kAvx2 && count_ == 1) {
    for (int h = 0; h < 16; ++h) {
      for (int i = 0; i < 16; ++i) {
        const uint8_t below = h % 8 == 0 ? 0 : tables_[0][16 * (h - 1) + i];
        steps_[h][i] = static_cast<uint8_t>(tables_[0][16 * h + i] ^ below);
      }
    }
    for (int32_t b = 0; b < 32 * samples; ++b) {
      keep_[b / 32][b % 32] = (positions[0] >> (b % samples)) & 1u ? 0x00 : 0xFF;
    }
    form_ = Form::kAvx2;
  }
}

int64_t WideLookUp::Run(const uint8_t* src, uint8_t* dst, int64_t count) const {
#if defined(LUMENO_X86)
  if (form_ == Form::kAvx512) return Run512(src, dst, count, tables_, count_, takes_, samples_);
  if (form_ == Form::kAvx2) return Run256(src, dst, count, steps_, keep_, samples_);
#else
  (void)src;
  (void)dst;
  (void)count;
#endif
  return 0;
}

}  // namespace lumeno

// The wide byte look-up, the table operations and the 16-bit stretch with
// AVX2 (engine/table_lookup.h), 32 bytes a step.
#include <immintrin.h>

#include "engine/table_lookup.h"

namespace lumeno {

namespace {

// The stretch of four centred samples (o - mid in 32-bit lanes) as 32-bit
// lanes: min(top, y) keeps a NaN y (the instruction returns its second
// operand when either is NaN), whose conversion gives the integer
// indefinite value, as does any y below the int32 range; the unsigned
// saturating pack then turns every negative lane into 0.
template <bool kLift>
inline __m128i StretchQuad(__m128i centred, __m256d factor, __m256d mid, __m256d level) {
  __m256d y = _mm256_add_pd(_mm256_mul_pd(factor, _mm256_cvtepi32_pd(centred)), mid);
  if constexpr (kLift) y = _mm256_add_pd(y, level);
  return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_set1_pd(65535.0), y));
}

template <bool kLift>
int64_t StretchRow(const uint8_t* src, uint8_t* dst, int64_t count, const LinearStretch& stretch,
                   const uint8_t* keep, int32_t samples) {
  const __m256d factor = _mm256_set1_pd(stretch.factor);
  const __m256d mid = _mm256_set1_pd(static_cast<double>(stretch.mid));
  const __m256d level = _mm256_set1_pd(static_cast<double>(stretch.level));
  const __m256i midLanes = _mm256_set1_epi32(stretch.mid);
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + 16 <= count; j += 16) {
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * j));
    const __m256i low =
        _mm256_sub_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(o)), midLanes);
    const __m256i high =
        _mm256_sub_epi32(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(o, 1)), midLanes);
    const __m128i first =
        _mm_packus_epi32(StretchQuad<kLift>(_mm256_castsi256_si128(low), factor, mid, level),
                         StretchQuad<kLift>(_mm256_extracti128_si256(low, 1), factor, mid, level));
    const __m128i second =
        _mm_packus_epi32(StretchQuad<kLift>(_mm256_castsi256_si128(high), factor, mid, level),
                         StretchQuad<kLift>(_mm256_extracti128_si256(high, 1), factor, mid, level));
    const __m256i e = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
    const __m256i marks = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep + phase * 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * j), _mm256_blendv_epi8(e, o, marks));
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

}  // namespace

// table[o] for each of 32 bytes: every piece h (entries 16h to 16h + 15)
// looked up by the low half of each byte, then the sixteen results narrowed
// to one by the bits of the high half, lowest first, in a tree of byte
// blends (a blend reads bit 7 of each byte: a 16-bit shift by 3 - k brings
// bit 4 + k of every byte there, no bit crossing into another byte's bit 7).
int64_t LookUpRowAvx2(const uint8_t* src, uint8_t* dst, int64_t count, const uint8_t (*pieces)[16],
                      const uint8_t (*keep)[32], int32_t samples) {
  __m256i piece[16];
  for (int h = 0; h < 16; ++h) {
    piece[h] =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(pieces[h])));
  }
  const __m256i lowHalf = _mm256_set1_epi8(0x0F);
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + 32 <= count; j += 32) {
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j));
    const __m256i index = _mm256_and_si256(o, lowHalf);
    __m256i level[8];
    const __m256i bit4 = _mm256_slli_epi16(o, 3);
#pragma GCC unroll 8
    for (int h = 0; h < 8; ++h) {
      level[h] = _mm256_blendv_epi8(_mm256_shuffle_epi8(piece[2 * h], index),
                                    _mm256_shuffle_epi8(piece[2 * h + 1], index), bit4);
    }
    const __m256i bit5 = _mm256_slli_epi16(o, 2);
#pragma GCC unroll 4
    for (int h = 0; h < 4; ++h) {
      level[h] = _mm256_blendv_epi8(level[2 * h], level[2 * h + 1], bit5);
    }
    const __m256i bit6 = _mm256_slli_epi16(o, 1);
    level[0] = _mm256_blendv_epi8(level[0], level[1], bit6);
    level[1] = _mm256_blendv_epi8(level[2], level[3], bit6);
    const __m256i e = _mm256_blendv_epi8(level[0], level[1], o);
    const __m256i marks = _mm256_load_si256(reinterpret_cast<const __m256i*>(keep[phase]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + j), _mm256_blendv_epi8(e, o, marks));
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

int64_t OperateRowAvx2(const uint8_t* src, uint8_t* dst, int64_t count, int bits, SampleOp op,
                       uint32_t amount, const uint8_t* keep, int32_t samples) {
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

int64_t StretchRowAvx2(const uint8_t* src, uint8_t* dst, int64_t count,
                       const LinearStretch& stretch, const uint8_t* keep, int32_t samples) {
  return stretch.lift ? StretchRow<true>(src, dst, count, stretch, keep, samples)
                      : StretchRow<false>(src, dst, count, stretch, keep, samples);
}

// The mask rule (o * m + e * (kMax - m)) >> bits, e where m is 0: at 8 bits
// in 16-bit lanes (the sum stays below 2^16), at 16 bits as high and low
// halves of the two products with the low halves' carry.
int64_t MixWithOriginalAvx2(const uint8_t* o, uint8_t* d, const void* w, int64_t count, int bits) {
  const uint8_t* weights = static_cast<const uint8_t*>(w);
  const __m256i zero = _mm256_setzero_si256();
  const int64_t lanes = bits == 8 ? 32 : 16;
  int64_t j = 0;
  for (; j + lanes <= count; j += lanes) {
    const int64_t at = j * (bits / 8);
    const __m256i O = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + at));
    const __m256i E = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + at));
    const __m256i M = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + at));
    __m256i mixed, unmasked;
    if (bits == 8) {
      const __m256i full = _mm256_set1_epi16(255);
      auto half = [&](__m256i o16, __m256i e16, __m256i m16) {
        return _mm256_srli_epi16(
            _mm256_add_epi16(_mm256_mullo_epi16(o16, m16),
                             _mm256_mullo_epi16(e16, _mm256_sub_epi16(full, m16))),
            8);
      };
      mixed = _mm256_packus_epi16(half(_mm256_unpacklo_epi8(O, zero), _mm256_unpacklo_epi8(E, zero),
                                       _mm256_unpacklo_epi8(M, zero)),
                                  half(_mm256_unpackhi_epi8(O, zero), _mm256_unpackhi_epi8(E, zero),
                                       _mm256_unpackhi_epi8(M, zero)));
      unmasked = _mm256_cmpeq_epi8(M, zero);
    } else {
      const __m256i sign = _mm256_set1_epi16(static_cast<short>(0x8000));
      const __m256i rest = _mm256_sub_epi16(_mm256_set1_epi16(-1), M);  // 65535 - m
      const __m256i low1 = _mm256_mullo_epi16(O, M), high1 = _mm256_mulhi_epu16(O, M);
      const __m256i low2 = _mm256_mullo_epi16(E, rest), high2 = _mm256_mulhi_epu16(E, rest);
      const __m256i low = _mm256_add_epi16(low1, low2);
      // All ones where the low halves carried (unsigned low < low1).
      const __m256i carry =
          _mm256_cmpgt_epi16(_mm256_xor_si256(low1, sign), _mm256_xor_si256(low, sign));
      mixed = _mm256_sub_epi16(_mm256_add_epi16(high1, high2), carry);
      unmasked = _mm256_cmpeq_epi16(M, zero);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + at), _mm256_blendv_epi8(mixed, E, unmasked));
  }
  return j;
}

}  // namespace lumeno

// The SSE2 forms of engine/packed_rows.h: the table operations on 16 bytes
// at a time, and the mask blend rule on eight or sixteen samples a step (the
// 8-bit sums stay below 2^16, and the 16-bit ones, below 2^32, are added as
// high and low halves with the carry). Each does the first samples of a
// run; the plain code of the header does the rest.
#include <emmintrin.h>

#include <cstdint>

#include "engine/packed_rows.h"

namespace lumeno {

namespace {

template <int kBits>
int64_t OperateRow(const uint8_t* src, uint8_t* dst, int64_t rowSamples, SampleOp op,
                   uint32_t amountValue, const uint8_t* alphaBytes, int32_t samples) {
  constexpr int64_t kLanes = 16 / (kBits / 8);
  const __m128i all = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i amount = kBits == 8 ? _mm_set1_epi8(static_cast<char>(amountValue))
                                    : _mm_set1_epi16(static_cast<short>(amountValue));
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + kLanes <= rowSamples; j += kLanes) {
    const int64_t at = j * (kBits / 8);
    const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
    __m128i e;
    if (op == SampleOp::kComplement) {
      e = _mm_xor_si128(o, all);
    } else if (op == SampleOp::kAddLimited) {
      e = kBits == 8 ? _mm_adds_epu8(o, amount) : _mm_adds_epu16(o, amount);
    } else {
      e = kBits == 8 ? _mm_subs_epu8(o, amount) : _mm_subs_epu16(o, amount);
    }
    const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(alphaBytes + phase * 16));
    const __m128i v = _mm_or_si128(_mm_and_si128(keep, o), _mm_andnot_si128(keep, e));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), v);
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

}  // namespace

int64_t OperateRowSse2(const uint8_t* src, uint8_t* dst, int64_t rowSamples, int bits, SampleOp op,
                       uint32_t amount, const uint8_t* alphaBytes, int32_t samples) {
  return bits == 8 ? OperateRow<8>(src, dst, rowSamples, op, amount, alphaBytes, samples)
                   : OperateRow<16>(src, dst, rowSamples, op, amount, alphaBytes, samples);
}

int64_t MixWithOriginal8Sse2(const uint8_t* o, uint8_t* d, const uint8_t* w, int64_t count) {
  int64_t j = 0;
  const __m128i zero = _mm_setzero_si128();
  const __m128i full = _mm_set1_epi16(255);
  for (; j + 16 <= count; j += 16) {
    const __m128i O = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + j));
    const __m128i E = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + j));
    const __m128i M = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + j));
    __m128i half[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i o16 = h == 0 ? _mm_unpacklo_epi8(O, zero) : _mm_unpackhi_epi8(O, zero);
      const __m128i e16 = h == 0 ? _mm_unpacklo_epi8(E, zero) : _mm_unpackhi_epi8(E, zero);
      const __m128i m16 = h == 0 ? _mm_unpacklo_epi8(M, zero) : _mm_unpackhi_epi8(M, zero);
      half[h] = _mm_srli_epi16(
          _mm_add_epi16(_mm_mullo_epi16(o16, m16), _mm_mullo_epi16(e16, _mm_sub_epi16(full, m16))),
          8);
    }
    const __m128i mixed = _mm_packus_epi16(half[0], half[1]);
    const __m128i unmasked = _mm_cmpeq_epi8(M, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + j),
                     _mm_or_si128(_mm_and_si128(unmasked, E), _mm_andnot_si128(unmasked, mixed)));
  }
  return j;
}

int64_t MixWithOriginal16Sse2(const uint8_t* o, uint8_t* d, const uint16_t* w, int64_t count) {
  int64_t j = 0;
  const __m128i zero = _mm_setzero_si128();
  const __m128i full = _mm_set1_epi16(static_cast<short>(0xFFFF));
  const __m128i sign = _mm_set1_epi16(static_cast<short>(0x8000));
  for (; j + 8 <= count; j += 8) {
    const __m128i O = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + 2 * j));
    const __m128i E = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 2 * j));
    const __m128i M = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + j));
    const __m128i rest = _mm_sub_epi16(full, M);  // 65535 - m
    const __m128i low1 = _mm_mullo_epi16(O, M), high1 = _mm_mulhi_epu16(O, M);
    const __m128i low2 = _mm_mullo_epi16(E, rest), high2 = _mm_mulhi_epu16(E, rest);
    const __m128i low = _mm_add_epi16(low1, low2);
    // All ones where the low halves carried (unsigned low < low1).
    const __m128i carry = _mm_cmpgt_epi16(_mm_xor_si128(low1, sign), _mm_xor_si128(low, sign));
    const __m128i mixed = _mm_sub_epi16(_mm_add_epi16(high1, high2), carry);
    const __m128i unmasked = _mm_cmpeq_epi16(M, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * j),
                     _mm_or_si128(_mm_and_si128(unmasked, E), _mm_andnot_si128(unmasked, mixed)));
  }
  return j;
}

}  // namespace lumeno

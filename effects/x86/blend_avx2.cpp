// Blend's rows with AVX2.
//
// NORMAL with fill alpha over 4-byte pixels whose alpha byte is at `alpha`
// in source, fill and destination and whose other three bytes are the
// colour channels: 8 pixels at a time, the same bytes as BlendNormalRow.
// The colour mix runs in 16-bit lanes (every intermediate stays below 2^16:
// fa * F + (255 - fa) * S <= 65025, sw * S + fw * t <= 256 * 255), the
// division by 255 as the exact multiply-shift (x * 0x8081) >> 23; the alpha
// rule runs in single precision, operation for operation. Pixels whose fill
// alpha is 0 take the source pixel. Returns the pixels done.
#include <immintrin.h>

#include "effects/blend_kernel.h"

namespace lumeno::blend {

namespace {

// The colour mix of sixteen samples in 16-bit lanes.
__m256i MixNormalAlpha16(__m256i S, __m256i F, __m256i fa, __m256i sw, __m256i fw) {
  const __m256i over =
      _mm256_add_epi16(_mm256_mullo_epi16(fa, F),
                       _mm256_mullo_epi16(_mm256_sub_epi16(_mm256_set1_epi16(255), fa), S));
  const __m256i t =
      _mm256_srli_epi16(_mm256_mulhi_epu16(over, _mm256_set1_epi16(static_cast<short>(0x8081))), 7);
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(sw, S), _mm256_mullo_epi16(fw, t)),
                           8);
}

}  // namespace

int32_t NormalAlphaRowAvx2(const uint8_t* s, const uint8_t* f, uint8_t* d, int32_t count,
                           int32_t alpha, uint32_t sw, uint32_t fw, float o) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i alphaBytes = _mm256_set1_epi32(static_cast<int32_t>(0xFFu << (8 * alpha)));
  const __m128i alphaShift = _mm_cvtsi32_si128(8 * alpha);
  // Each pixel's fill alpha copied to its four bytes.
  const char a = static_cast<char>(alpha);
  const __m256i spread = _mm256_setr_epi8(a, a, a, a, a + 4, a + 4, a + 4, a + 4, a + 8, a + 8,
                                          a + 8, a + 8, a + 12, a + 12, a + 12, a + 12,  //
                                          a, a, a, a, a + 4, a + 4, a + 4, a + 4, a + 8, a + 8,
                                          a + 8, a + 8, a + 12, a + 12, a + 12, a + 12);
  const __m256i sourceWeight = _mm256_set1_epi16(static_cast<short>(sw));
  const __m256i fillWeight = _mm256_set1_epi16(static_cast<short>(fw));
  const __m256 unit = _mm256_set1_ps(255.0f);
  const __m256 opacity = _mm256_set1_ps(o);
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256i S = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * x));
    const __m256i F = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 4 * x));
    const __m256i FA = _mm256_shuffle_epi8(F, spread);
    const __m256i low =
        MixNormalAlpha16(_mm256_unpacklo_epi8(S, zero), _mm256_unpacklo_epi8(F, zero),
                         _mm256_unpacklo_epi8(FA, zero), sourceWeight, fillWeight);
    const __m256i high =
        MixNormalAlpha16(_mm256_unpackhi_epi8(S, zero), _mm256_unpackhi_epi8(F, zero),
                         _mm256_unpackhi_epi8(FA, zero), sourceWeight, fillWeight);
    const __m256i colour = _mm256_packus_epi16(low, high);
    // The alpha rule, one pixel per 32-bit lane.
    const __m256i sourceAlpha = _mm256_srl_epi32(_mm256_and_si256(S, alphaBytes), alphaShift);
    const __m256i fillAlpha = _mm256_srl_epi32(_mm256_and_si256(F, alphaBytes), alphaShift);
    const __m256 sa = _mm256_div_ps(_mm256_cvtepi32_ps(sourceAlpha), unit);
    const __m256 k = _mm256_mul_ps(_mm256_div_ps(_mm256_cvtepi32_ps(fillAlpha), unit), opacity);
    const __m256 v = _mm256_mul_ps(_mm256_sub_ps(_mm256_add_ps(sa, k), _mm256_mul_ps(sa, k)), unit);
    const __m256i alphaOut = _mm256_sll_epi32(_mm256_cvttps_epi32(v), alphaShift);
    __m256i out = _mm256_blendv_epi8(colour, alphaOut, alphaBytes);
    out = _mm256_blendv_epi8(out, S, _mm256_cmpeq_epi32(fillAlpha, zero));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 4 * x), out);
  }
  return x;
}

}  // namespace lumeno::blend

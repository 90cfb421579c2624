// Lane pieces the AVX2 blend rows share (effects/x86/blend_*_avx2.cpp, and
// only files compiled for AVX2 include this). Eight 4-byte pixels fill a
// register; their samples widen to 16-bit lanes, half a register at a time.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace lumeno::blend::avx2 {

// The byte at `alpha` of each 4-byte pixel copied to the pixel's four bytes
// (a shuffle pattern).
inline __m256i AlphaSpread(int32_t alpha) {
  const char a = static_cast<char>(alpha);
  return _mm256_setr_epi8(a, a, a, a, a + 4, a + 4, a + 4, a + 4, a + 8, a + 8, a + 8, a + 8,
                          a + 12, a + 12, a + 12, a + 12,  //
                          a, a, a, a, a + 4, a + 4, a + 4, a + 4, a + 8, a + 8, a + 8, a + 8,
                          a + 12, a + 12, a + 12, a + 12);
}

// x / 255 for 16-bit lanes holding any x below 2^16: the exact
// multiply-shift (x * 0x8081) >> 23.
inline __m256i Div255(__m256i x) {
  return _mm256_srli_epi16(_mm256_mulhi_epu16(x, _mm256_set1_epi16(static_cast<short>(0x8081))), 7);
}

// (sw * S + fw * r) >> 8 in 16-bit lanes; sw + fw <= 256 keeps the sum below 2^16.
inline __m256i Weigh(__m256i S, __m256i r, __m256i sw, __m256i fw) {
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(sw, S), _mm256_mullo_epi16(fw, r)),
                           8);
}

// The alpha rule of a pixel blended with fill alpha, one pixel per 32-bit
// lane: trunc(((sa + k) - sa * k) * 255) with sa the source alpha / 255 and
// k = (fill alpha / 255) * o, in single precision, operation for operation.
inline __m256i AlphaRule(__m256i sourceAlpha, __m256i fillAlpha, __m256 o) {
  const __m256 unit = _mm256_set1_ps(255.0f);
  const __m256 sa = _mm256_div_ps(_mm256_cvtepi32_ps(sourceAlpha), unit);
  const __m256 k = _mm256_mul_ps(_mm256_div_ps(_mm256_cvtepi32_ps(fillAlpha), unit), o);
  const __m256 v = _mm256_mul_ps(_mm256_sub_ps(_mm256_add_ps(sa, k), _mm256_mul_ps(sa, k)), unit);
  return _mm256_cvttps_epi32(v);
}

// Eight blended pixels finished by the alpha rule: the rule's result in the
// alpha bytes (alphaBytes, the mask of the byte at alpha = alphaShift / 8),
// and the source pixel S where the fill pixel F has alpha 0.
inline __m256i WithFillAlpha(__m256i colour, __m256i S, __m256i F, __m256i alphaBytes,
                             __m128i alphaShift, __m256 o) {
  const __m256i sourceAlpha = _mm256_srl_epi32(_mm256_and_si256(S, alphaBytes), alphaShift);
  const __m256i fillAlpha = _mm256_srl_epi32(_mm256_and_si256(F, alphaBytes), alphaShift);
  const __m256i alphaOut = _mm256_sll_epi32(AlphaRule(sourceAlpha, fillAlpha, o), alphaShift);
  const __m256i out = _mm256_blendv_epi8(colour, alphaOut, alphaBytes);
  return _mm256_blendv_epi8(out, S, _mm256_cmpeq_epi32(fillAlpha, _mm256_setzero_si256()));
}

}  // namespace lumeno::blend::avx2

// The pieces of engine/x86/lanes_sse2.h for eight lanes, in 256-bit
// vectors. For the x86/*_avx2.cpp files alone, and private to each.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "engine/pixel_lanes.h"

namespace lumeno {
namespace {

inline __m256i WeightedSum8(__m256i r, __m256i g, __m256i b, __m256d wr, __m256d wg, __m256d wb) {
  const __m256d low =
      _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(wr, _mm256_cvtepi32_pd(_mm256_castsi256_si128(r))),
                                  _mm256_mul_pd(wg, _mm256_cvtepi32_pd(_mm256_castsi256_si128(g)))),
                    _mm256_mul_pd(wb, _mm256_cvtepi32_pd(_mm256_castsi256_si128(b))));
  const __m256d high = _mm256_add_pd(
      _mm256_add_pd(_mm256_mul_pd(wr, _mm256_cvtepi32_pd(_mm256_extracti128_si256(r, 1))),
                    _mm256_mul_pd(wg, _mm256_cvtepi32_pd(_mm256_extracti128_si256(g, 1)))),
      _mm256_mul_pd(wb, _mm256_cvtepi32_pd(_mm256_extracti128_si256(b, 1))));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm256_cvttpd_epi32(low)),
                                 _mm256_cvttpd_epi32(high), 1);
}

inline __m256i ByteLanes8(__m256i pixels, __m128i shift) {
  return _mm256_and_si256(_mm256_srl_epi32(pixels, shift), _mm256_set1_epi32(0xFF));
}

inline __m256i SpreadByte8(__m256i y) {
  y = _mm256_or_si256(y, _mm256_slli_epi32(y, 8));
  return _mm256_or_si256(y, _mm256_slli_epi32(y, 16));
}

inline void StoreKeeping8(uint8_t* to, __m256i out, const StoreLanes& lanes, __m256i untouched) {
  __m256i* at = reinterpret_cast<__m256i*>(to);
  if (lanes.readDestination) {
    out = _mm256_or_si256(out, _mm256_and_si256(_mm256_loadu_si256(at), untouched));
  }
  _mm256_storeu_si256(at, out);
}

}  // namespace
}  // namespace lumeno

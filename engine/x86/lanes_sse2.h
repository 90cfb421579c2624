// SSE2 pieces shared by the rows that compute one value per 4-byte pixel
// from its red, green and blue bytes (sepia, grayscale): pulling the
// channels into 32-bit lanes, the weighted sum in double lanes, spreading a
// byte value over its lane, and the store that keeps the destination bytes
// a row leaves alone.
//
// For the x86/*_sse2.cpp files alone, and private to each (an unnamed
// namespace): a copy compiled for one level never stands in for another.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "engine/pixel_lanes.h"

namespace lumeno {
namespace {

// (wr * r + wg * g) + wb * b for four whole values in 32-bit lanes: each
// conversion, product and sum rounded on its own in double precision in
// this order, truncated toward zero, so each lane holds what the scalar
// formula gives.
inline __m128i WeightedSum4(__m128i r, __m128i g, __m128i b, __m128d wr, __m128d wg, __m128d wb) {
  constexpr int kHigh = _MM_SHUFFLE(3, 2, 3, 2);
  const __m128d low =
      _mm_add_pd(_mm_add_pd(_mm_mul_pd(wr, _mm_cvtepi32_pd(r)), _mm_mul_pd(wg, _mm_cvtepi32_pd(g))),
                 _mm_mul_pd(wb, _mm_cvtepi32_pd(b)));
  const __m128d high =
      _mm_add_pd(_mm_add_pd(_mm_mul_pd(wr, _mm_cvtepi32_pd(_mm_shuffle_epi32(r, kHigh))),
                            _mm_mul_pd(wg, _mm_cvtepi32_pd(_mm_shuffle_epi32(g, kHigh)))),
                 _mm_mul_pd(wb, _mm_cvtepi32_pd(_mm_shuffle_epi32(b, kHigh))));
  return _mm_unpacklo_epi64(_mm_cvttpd_epi32(low), _mm_cvttpd_epi32(high));
}

// The byte at bit `shift` of each 32-bit lane.
inline __m128i ByteLanes4(__m128i pixels, __m128i shift) {
  return _mm_and_si128(_mm_srl_epi32(pixels, shift), _mm_set1_epi32(0xFF));
}

// A value below 256 in every byte of its lane.
inline __m128i SpreadByte4(__m128i y) {
  y = _mm_or_si128(y, _mm_slli_epi32(y, 8));
  return _mm_or_si128(y, _mm_slli_epi32(y, 16));
}

// Stores out, with the destination's own bytes under untouched read back
// first where the lanes say so.
inline void StoreKeeping4(uint8_t* to, __m128i out, const StoreLanes& lanes, __m128i untouched) {
  __m128i* at = reinterpret_cast<__m128i*>(to);
  if (lanes.readDestination) {
    out = _mm_or_si128(out, _mm_and_si128(_mm_loadu_si128(at), untouched));
  }
  _mm_storeu_si128(at, out);
}

}  // namespace
}  // namespace lumeno

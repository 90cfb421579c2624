// Vector pieces shared by the workers that compute one value per 4-byte
// pixel from its red, green and blue bytes (sepia, grayscale): pulling the
// channels into 32-bit lanes, the weighted sum in double lanes, spreading a
// byte value over its lane, and the store that keeps the destination bytes
// a worker leaves alone.
#pragma once

#include <cstdint>

#include "engine/cpu_level.h"
#include "lumeno/engine.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(LUMENO_X86)
#include <immintrin.h>
#endif

namespace lumeno {

// Which bytes of a pixel a vector row copies from the source and whether it
// must read the destination for the bytes it leaves alone. In place the
// destination is the source, so the bytes left alone are the source's own
// and nothing is read back.
struct StoreLanes {
  bool readDestination;
  uint64_t srcKeep;
  StoreLanes(const GenericMPParams& p, uint64_t sourceBits, uint64_t untouchedBits) {
    const bool inPlace = p.srcPixels == p.dstPixels && p.srcRowBytes == p.dstRowBytes;
    readDestination = !inPlace && untouchedBits != 0;
    srcKeep = inPlace ? sourceBits | untouchedBits : sourceBits;
  }
};

#if defined(__SSE2__)
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
#endif

#if defined(LUMENO_X86)
// The same for eight lanes.
LUMENO_AVX2 inline __m256i WeightedSum8(__m256i r, __m256i g, __m256i b, __m256d wr, __m256d wg,
                                        __m256d wb) {
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

LUMENO_AVX2 inline __m256i ByteLanes8(__m256i pixels, __m128i shift) {
  return _mm256_and_si256(_mm256_srl_epi32(pixels, shift), _mm256_set1_epi32(0xFF));
}

LUMENO_AVX2 inline __m256i SpreadByte8(__m256i y) {
  y = _mm256_or_si256(y, _mm256_slli_epi32(y, 8));
  return _mm256_or_si256(y, _mm256_slli_epi32(y, 16));
}

LUMENO_AVX2 inline void StoreKeeping8(uint8_t* to, __m256i out, const StoreLanes& lanes,
                                      __m256i untouched) {
  __m256i* at = reinterpret_cast<__m256i*>(to);
  if (lanes.readDestination) {
    out = _mm256_or_si256(out, _mm256_and_si256(_mm256_loadu_si256(at), untouched));
  }
  _mm256_storeu_si256(at, out);
}
#endif

}  // namespace lumeno

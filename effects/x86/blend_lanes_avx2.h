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

// Eight 4-byte pixels from pixel x of a row on.
inline __m256i Load8(const uint8_t* row, int32_t x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * x));
}
inline void Store8(uint8_t* row, int32_t x, __m256i pixels) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + 4 * x), pixels);
}

// Eight pixels from pixel x of a row of 3-byte pixels (three is true) or
// 4-byte ones, as eight 4-byte pixels: a 3-byte pixel gains 255 at byte 3.
// Reads the 24 bytes exactly.
inline __m256i LoadPixels(const uint8_t* row, int32_t x, bool three) {
  if (!three) return Load8(row, x);
  const uint8_t* p = row + 3 * x;
  const __m256i bytes = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), 1);
  // Pixels 0-3 from bytes 0-11 of the low half, 4-7 from bytes 4-15 of the high half.
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
  return _mm256_or_si256(_mm256_shuffle_epi8(bytes, spread),
                         _mm256_set1_epi32(static_cast<int>(0xFF000000u)));
}

// Eight 4-byte pixels to pixel x of a row of 3-byte pixels (their bytes 0
// to 2; writes the 24 bytes exactly) or of 4-byte ones.
inline void StorePixels(uint8_t* row, int32_t x, __m256i pixels, bool three) {
  if (!three) return Store8(row, x, pixels);
  const __m256i packed = _mm256_shuffle_epi8(
      pixels, _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                               0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  // The two 12-byte halves next to each other, the 24 bytes in the low 6 words.
  const __m256i joined =
      _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
  uint8_t* p = row + 3 * x;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(joined));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 16), _mm256_extracti128_si256(joined, 1));
}

// The alpha byte of 4-byte pixels, at position `alpha` (bits 0-1 of a
// row's layout): its mask over eight pixels, and the byte of each pixel as
// a 32-bit lane.
struct AlphaByte {
  __m256i bytes;
  __m128i shift;
  explicit AlphaByte(uint32_t layout)
      : bytes(_mm256_set1_epi32(static_cast<int32_t>(0xFFu << (8 * (layout & 3))))),
        shift(_mm_cvtsi32_si128(static_cast<int>(8 * (layout & 3)))) {}
  __m256i Of(__m256i pixels) const {
    return _mm256_srl_epi32(_mm256_and_si256(pixels, bytes), shift);
  }
};

// x / 255 for 16-bit lanes holding any x below 2^16: the exact
// multiply-shift (x * 0x8081) >> 23.
inline __m256i Div255(__m256i x) {
  return _mm256_srli_epi16(_mm256_mulhi_epu16(x, _mm256_set1_epi16(static_cast<short>(0x8081))), 7);
}

// v / 255.0f for 32-bit lanes holding 0..255, bit for bit, without a
// division: v * 257 / 65536 is exact, and adding v times the rest of 1/255
// rounds once. The sum lies within 2^-39 of v / 255 (relative), while v / 255
// lies at least 2^-33 from every point where single precision rounds the
// other way, so both round to the same float (checked on every v).
inline __m256 Unit(__m256i v) {
  const __m256 x = _mm256_cvtepi32_ps(v);
  return _mm256_add_ps(_mm256_mul_ps(x, _mm256_set1_ps(0x1.01p-8f)),
                       _mm256_mul_ps(x, _mm256_set1_ps(0x1.010102p-24f)));
}

// (sw * S + fw * r) >> 8 in 16-bit lanes; sw + fw <= 256 keeps the sum below 2^16.
inline __m256i Weigh(__m256i S, __m256i r, __m256i sw, __m256i fw) {
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(sw, S), _mm256_mullo_epi16(fw, r)),
                           8);
}

// What a row reads of each of eight pixels besides its samples: the mask
// value, the fill factor cov and the k the alpha rule combines with the
// source alpha, as BlendPixel forms them for NORMAL (kNormal) or a mode,
// with or without fill alpha and fill mask. m: the mask values; fillAlpha
// one per 32-bit lane.
struct PixelFactors {
  __m256i mask;
  __m256 cov, k;
};
template <bool kNormal, bool kFillAlpha, bool kMasked>
inline PixelFactors FactorsOf(const uint8_t* m, __m256i fillAlpha, __m256 o) {
  const __m256 fa = Unit(fillAlpha);
  if constexpr (!kMasked) {
    return {_mm256_setzero_si256(), fa, _mm256_mul_ps(fa, o)};
  } else {
    const __m256i mask = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(m)));
    const __m256 weight = Unit(_mm256_sub_epi32(_mm256_set1_epi32(255), mask));
    if constexpr (kNormal) {
      return {mask, weight, kFillAlpha ? _mm256_mul_ps(weight, _mm256_mul_ps(fa, o)) : weight};
    } else if constexpr (kFillAlpha) {
      const __m256 cov = _mm256_mul_ps(weight, fa);
      return {mask, cov, _mm256_mul_ps(cov, o)};
    } else {
      const __m256 cov = _mm256_mul_ps(weight, o);
      return {mask, cov, cov};
    }
  }
}

// Eight blended pixels finished: the alpha byte set by the alpha rule with
// the pixel's k (with fill alpha or mask) or to 255, and the source pixel S
// where the rule leaves the pixel (fill alpha 0; with fill alpha, mask 255).
template <bool kFillAlpha, bool kMasked>
inline __m256i Finish(__m256i colour, __m256i S, __m256i sourceAlpha, __m256i fillAlpha,
                      const PixelFactors& px, const AlphaByte& alpha) {
  if constexpr (!kFillAlpha && !kMasked) {
    return _mm256_or_si256(colour, alpha.bytes);
  } else {
    const __m256 unit = _mm256_set1_ps(255.0f);
    const __m256 sa = Unit(sourceAlpha);
    const __m256i rule = _mm256_cvttps_epi32(
        _mm256_mul_ps(_mm256_sub_ps(_mm256_add_ps(sa, px.k), _mm256_mul_ps(sa, px.k)), unit));
    const __m256i out =
        _mm256_blendv_epi8(colour, _mm256_sll_epi32(rule, alpha.shift), alpha.bytes);
    if constexpr (!kFillAlpha) return out;
    __m256i leave = _mm256_cmpeq_epi32(fillAlpha, _mm256_setzero_si256());
    if constexpr (kMasked) {
      leave = _mm256_or_si256(leave, _mm256_cmpeq_epi32(px.mask, _mm256_set1_epi32(255)));
    }
    return _mm256_blendv_epi8(out, S, leave);
  }
}

}  // namespace lumeno::blend::avx2

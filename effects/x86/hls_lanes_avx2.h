// The integer RGB <-> HLS pair (Convert_RGB_To_HSL, Convert_HSL_To_RGB of
// colormath/color_hls_int.cpp) on four colours at a time, one per 64-bit
// double lane: the same double-precision operations in the same order, the
// branches as selects, so every lane gives the scalar pair's integers.
// Included by AVX2 files alone.
#pragma once

#include <immintrin.h>

namespace lumeno::blend::avx2 {

// Four int32 components of four colours.
struct Triple {
  __m128i x, y, z;
};

inline __m256d Double(__m128i v) { return _mm256_cvtepi32_pd(v); }
inline __m256d Pick(__m256d no, __m256d yes, __m256d when) {
  return _mm256_blendv_pd(no, yes, when);
}
inline __m256d Less(__m256d a, __m256d b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }

// Red, green, blue in; hue, lightness, saturation out.
[[gnu::always_inline]] inline Triple RgbToHls(Triple rgb) {
  const __m128i red = rgb.x, green = rgb.y, blue = rgb.z;
  const __m128i max = _mm_max_epi32(red, _mm_max_epi32(green, blue));
  const __m128i min = _mm_min_epi32(red, _mm_min_epi32(green, blue));
  const __m128i sum = _mm_add_epi32(max, min);
  const __m256d lightness = _mm256_mul_pd(Double(sum), _mm256_set1_pd(0.5));
  const __m256d delta = Double(_mm_sub_epi32(max, min));
  const __m256d lower = Less(lightness, _mm256_set1_pd(128.0));
  const __m256d divisor = Pick(Double(_mm_sub_epi32(_mm_set1_epi32(511), sum)), Double(sum), lower);
  const __m256d saturation = _mm256_div_pd(_mm256_mul_pd(delta, _mm256_set1_pd(255.0)), divisor);
  // Red first, then green, decides the sector where two components are the largest.
  const __m128i redMax = _mm_cmpeq_epi32(red, max);
  const __m128i greenMax = _mm_andnot_si128(redMax, _mm_cmpeq_epi32(green, max));
  __m128i difference = _mm_sub_epi32(red, green);
  difference = _mm_blendv_epi8(difference, _mm_sub_epi32(blue, red), greenMax);
  difference = _mm_blendv_epi8(difference, _mm_sub_epi32(green, blue), redMax);
  const __m256d offset =
      Pick(Pick(_mm256_set1_pd(4.0), _mm256_set1_pd(2.0),
                _mm256_castsi256_pd(_mm256_cvtepi32_epi64(greenMax))),
           _mm256_setzero_pd(), _mm256_castsi256_pd(_mm256_cvtepi32_epi64(redMax)));
  // x / delta + 0.0 is x / delta: the red sector adds nothing.
  __m256d hue = _mm256_mul_pd(_mm256_add_pd(_mm256_div_pd(Double(difference), delta), offset),
                              _mm256_set1_pd(42.5));
  const __m256d c255 = _mm256_set1_pd(255.0);
  hue = Pick(Pick(hue, _mm256_sub_pd(hue, c255), _mm256_cmp_pd(hue, c255, _CMP_GT_OQ)),
             _mm256_add_pd(hue, c255), Less(hue, _mm256_setzero_pd()));
  const __m128i grey = _mm_cmpeq_epi32(max, min);
  return {_mm_andnot_si128(grey, _mm256_cvttpd_epi32(hue)), _mm256_cvttpd_epi32(lightness),
          _mm_andnot_si128(grey, _mm256_cvttpd_epi32(saturation))};
}

// One component of the way back: HLS_Value(m1, m2, hue).
[[gnu::always_inline]] inline __m128i HlsValue(__m256d m1, __m256d m2, __m256d hue) {
  const __m256d c255 = _mm256_set1_pd(255.0), step = _mm256_set1_pd(42.5);
  hue = Pick(Pick(hue, _mm256_add_pd(hue, c255), Less(hue, _mm256_setzero_pd())),
             _mm256_sub_pd(hue, c255), _mm256_cmp_pd(hue, c255, _CMP_GT_OQ));
  // The rising ramp divides hue, the falling one 170 - hue: one division
  // of whichever the lane takes.
  const __m256d rises = Less(hue, step);
  const __m256d t =
      _mm256_div_pd(Pick(_mm256_sub_pd(_mm256_set1_pd(170.0), hue), hue, rises), step);
  const __m256d ramp = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(m2, m1), t), m1);
  __m256d value = Pick(m1, ramp, Less(hue, _mm256_set1_pd(170.0)));
  value = Pick(value, m2, _mm256_andnot_pd(rises, Less(hue, _mm256_set1_pd(127.5))));
  return _mm256_cvttpd_epi32(_mm256_mul_pd(value, c255));
}

// Hue, lightness, saturation in; red, green, blue out.
[[gnu::always_inline]] inline Triple HlsToRgb(Triple hls) {
  const __m256d l = Double(hls.y), s = Double(hls.z), h = Double(hls.x);
  const __m256d c255 = _mm256_set1_pd(255.0);
  // m2: ((l + s) - (l * s) / 255) / 255 above lightness 127, else
  // ((s + 255) * l) / 65025; the last division is one for both.
  const __m256d upper =
      _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpgt_epi32(hls.y, _mm_set1_epi32(127))));
  const __m256d m2 = _mm256_div_pd(
      Pick(_mm256_mul_pd(_mm256_add_pd(s, c255), l),
           _mm256_sub_pd(_mm256_add_pd(l, s), _mm256_div_pd(_mm256_mul_pd(l, s), c255)), upper),
      Pick(_mm256_set1_pd(65025.0), c255, upper));
  const __m256d m1 = _mm256_sub_pd(_mm256_div_pd(l, _mm256_set1_pd(127.5)), m2);
  const __m256d third = _mm256_set1_pd(85.0);
  const __m128i grey = _mm_cmpeq_epi32(hls.z, _mm_setzero_si128());
  auto value = [&](__m256d hue) { return _mm_blendv_epi8(HlsValue(m1, m2, hue), hls.y, grey); };
  return {value(_mm256_add_pd(h, third)), value(h), value(_mm256_sub_pd(h, third))};
}

}  // namespace lumeno::blend::avx2

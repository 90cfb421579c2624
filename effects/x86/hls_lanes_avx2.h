// The integer RGB <-> HLS pair (Convert_RGB_To_HSL, Convert_HSL_To_RGB of
// colormath/color_hls_int.cpp) on eight colours at a time, one per 32-bit
// lane, giving the scalar pair's integers without its double divisions.
// Included by AVX2 files alone.
//
// Every value the pair truncates is an exact fraction of small integers:
// hue (diff + offset * delta) * 85 / (2 * delta), saturation
// delta * 255 / divisor, and on the way back each channel N / 21675 with N
// an integer below 2^23. Where such a fraction is not an integer it lies at
// least 1/510 (1/21675 on the way back) from one, far beyond the rounding
// of the pair's double steps, so its truncation is the integer quotient.
// Where it is an integer k, the double steps may land just below k and the
// pair gives k - 1: those cases depend on the fraction alone (the hue) or
// on lightness and saturation (the way back), and HlsCorrections lists
// them, found by asking the scalar pair once (effects/blend_hls_corrections.cpp).
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "effects/blend_hls_corrections.h"

namespace lumeno::blend::avx2 {

// A constant in every lane, hidden from the compiler by an empty asm: as a
// plain constant GCC 12 builds the broadcast anew at each use (three
// instructions) and turns a multiply by it into shifts and adds, which
// gave these rows a fifth more instructions.
inline __m256i Splat(int32_t v) {
  __m256i lanes = _mm256_set1_epi32(v);
  __asm__("" : "+x"(lanes));
  return lanes;
}
inline __m256 Splat(float v) {
  __m256 lanes = _mm256_set1_ps(v);
  __asm__("" : "+x"(lanes));
  return lanes;
}

// Three int32 components of eight colours.
struct Triple {
  __m256i x, y, z;
};

// Red, green, blue in; hue, lightness, saturation out (unused outputs cost
// nothing once inlined).
[[gnu::always_inline]] inline Triple RgbToHls(Triple rgb, const HlsCorrections& c) {
  const __m256i red = rgb.x, green = rgb.y, blue = rgb.z;
  const __m256i max = _mm256_max_epi32(red, _mm256_max_epi32(green, blue));
  const __m256i min = _mm256_min_epi32(red, _mm256_min_epi32(green, blue));
  const __m256i sum = _mm256_add_epi32(max, min);
  const __m256i delta = _mm256_sub_epi32(max, min);
  const __m256 deltas = _mm256_cvtepi32_ps(delta);
  // delta * 255 / min(sum, 511 - sum): sum below 256 divides by sum
  // (511 - sum is sum ^ 511), a grey (delta 0) by at least 1. Both below
  // 2^17: the float quotient truncates to the integer one.
  const __m256i divisor =
      _mm256_max_epi32(_mm256_min_epi32(sum, _mm256_xor_si256(sum, Splat(511))), Splat(1));
  const __m256i saturation = _mm256_cvttps_epi32(
      _mm256_div_ps(_mm256_mul_ps(deltas, Splat(255.0f)), _mm256_cvtepi32_ps(divisor)));
  // Red first, then green, decides the sector where two components are the
  // largest; the offset is 0, 2 or 4 deltas.
  const __m256i redMax = _mm256_cmpeq_epi32(red, max);
  const __m256i greenMax = _mm256_andnot_si256(redMax, _mm256_cmpeq_epi32(green, max));
  __m256i difference = _mm256_add_epi32(_mm256_sub_epi32(red, green), _mm256_slli_epi32(delta, 2));
  difference = _mm256_blendv_epi8(
      difference, _mm256_add_epi32(_mm256_sub_epi32(blue, red), _mm256_add_epi32(delta, delta)),
      greenMax);
  difference = _mm256_blendv_epi8(difference, _mm256_sub_epi32(green, blue), redMax);
  // hue = difference * 42.5 / delta (the product exact), plus 255 below 0;
  // a grey gives 0 / 1. The float steps stay far closer than 1/510 to the
  // exact fraction, so truncation and the test for an integer hold.
  __m256 quotient = _mm256_div_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(difference), Splat(42.5f)),
                                  _mm256_max_ps(deltas, Splat(1.0f)));
  quotient = _mm256_add_ps(
      quotient,
      _mm256_and_ps(_mm256_cmp_ps(quotient, _mm256_setzero_ps(), _CMP_LT_OQ), Splat(255.0f)));
  const __m256i hue = _mm256_cvttps_epi32(quotient);
  // An exact quotient k whose double chain lands below k gives k - 1.
  const __m256i exact =
      _mm256_castps_si256(_mm256_cmp_ps(_mm256_cvtepi32_ps(hue), quotient, _CMP_EQ_OQ));
  const __m256i word =
      _mm256_permutevar8x32_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(c.hue)), hue);
  const __m256i below = _mm256_and_si256(_mm256_srlv_epi32(word, _mm256_srli_epi32(hue, 3)), exact);
  return {_mm256_sub_epi32(hue, _mm256_and_si256(below, Splat(1))), _mm256_srli_epi32(sum, 1),
          saturation};
}

// The colours of `lanes` (a bit each) whose pair has a ramp that lands
// below, put right one by one (CorrectRampLanes): rgb from the way back of
// hls.
[[gnu::noinline]] static void CorrectRamps(const Triple& hls, Triple& rgb, int lanes) {
  int32_t in[3][8], out[3][8];
  static_assert(sizeof in == sizeof hls && sizeof out == sizeof rgb);
  std::memcpy(in, &hls, sizeof in);
  std::memcpy(out, &rgb, sizeof out);
  CorrectRampLanes(in, out, lanes);
  std::memcpy(&rgb, out, sizeof out);
}

// Hue, lightness, saturation in; red, green, blue out.
[[gnu::always_inline]] inline Triple HlsToRgb(const Triple& hls, const HlsCorrections& c) {
  const __m256i h = hls.x, l = hls.y, s = hls.z;
  // P = 255 l + X, X = (l above 127 ? 255 s - l s : l s); Q = 510 l - P
  // = 255 l - X and P - Q = 2 X.
  const __m256i ls = _mm256_mullo_epi32(l, s);
  const __m256i l256 = _mm256_slli_epi32(l, 8);
  const __m256i x =
      _mm256_blendv_epi8(ls, _mm256_sub_epi32(_mm256_sub_epi32(_mm256_slli_epi32(s, 8), s), ls),
                         _mm256_cmpgt_epi32(l, Splat(127)));
  const __m256i q = _mm256_sub_epi32(_mm256_sub_epi32(l256, l), x);
  const __m256i rise = _mm256_add_epi32(x, x);
  // Word (256 l + s) / 16, bits 2 (s % 16) on.
  const __m256i pairBits =
      _mm256_srlv_epi32(_mm256_i32gather_epi32(reinterpret_cast<const int*>(c.levels),
                                               _mm256_srli_epi32(_mm256_or_si256(l256, s), 4), 4),
                        _mm256_and_si256(_mm256_add_epi32(s, s), Splat(30)));
  // m1 itself: Q / 255 (multiply-shift, Q below 2^16), one less where the
  // pair lands below.
  const __m256i low = _mm256_sub_epi32(_mm256_srli_epi32(_mm256_mullo_epi32(q, Splat(0x8081)), 23),
                                       _mm256_and_si256(pairBits, Splat(1)));
  // Each channel's twice ramp position j2: 2 hue clamped to 0..85 as
  // min(2 hue, 85, max(340 - 2 hue, 0)), for the channel's hue h + 85
  // (less 255 above 255), h, h - 85 (plus 255 below 0). From t = 2 h that
  // is 170 - |t - 170| for green, |t - 255| - 85 for red, 170 - |t - 340|
  // for blue, clamped. j2 is even or 85, so j2 - 1 is negative at m1
  // alone; red keeps j = j2 - 1, green and blue k = 1 - j2 (the sign
  // reversed, so that every constant is a second operand).
  const __m256i t = _mm256_add_epi32(h, h);
  const auto distance = [&](int32_t centre, int32_t less) {
    return _mm256_sub_epi32(_mm256_abs_epi32(_mm256_sub_epi32(t, Splat(centre))), Splat(less));
  };
  const auto clamp = [](__m256i v, int32_t from, int32_t to) {
    return _mm256_max_epi32(_mm256_min_epi32(v, Splat(to)), Splat(from));
  };
  const __m256i j = clamp(distance(255, 86), -1, 84);
  const __m256i k[2] = {clamp(distance(170, 169), -84, 1), clamp(distance(340, 169), -84, 1)};
  // n = j2 * (P - Q) + 85 Q = (j2 - 1) (P - Q) + (P - Q) + 85 Q.
  const __m256i base = _mm256_add_epi32(_mm256_mullo_epi32(q, Splat(85)), rise);
  // 1 / 21675 rounds up in float: exact multiples keep their integer, and
  // the rest stay below the next one for every n below 2^23.
  const auto quotient = [](__m256i n) {
    return _mm256_castsi256_ps(
        _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(n), Splat(1.0f / 21675.0f))));
  };
  const __m256 m1 = _mm256_castsi256_ps(low);
  // Red from j (m1 where j < 0), green and blue from k (m1 where k > 0).
  const auto fromJ = [&](__m256i jc) {
    return _mm256_castps_si256(
        _mm256_blendv_ps(quotient(_mm256_add_epi32(base, _mm256_mullo_epi32(jc, rise))), m1,
                         _mm256_castsi256_ps(jc)));
  };
  const auto fromK = [&](__m256i kc) {
    return _mm256_castps_si256(
        _mm256_blendv_ps(m1, quotient(_mm256_sub_epi32(base, _mm256_mullo_epi32(kc, rise))),
                         _mm256_castsi256_ps(kc)));
  };
  Triple rgb{fromJ(j), fromK(k[0]), fromK(k[1])};
  const __m256i ramps = _mm256_and_si256(pairBits, Splat(2));
  if (!_mm256_testz_si256(ramps, ramps)) [[unlikely]] {
    CorrectRamps(hls, rgb, _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_slli_epi32(ramps, 30))));
  }
  return rgb;
}

}  // namespace lumeno::blend::avx2

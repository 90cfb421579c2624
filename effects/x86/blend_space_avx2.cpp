// Blend's colour-space modes with AVX2 (HUE, SATURATION, COLOR through the
// integer HLS pair, LUMINOSITY through its YUV split): groups of 8 pixels,
// each step over up to kGroups groups before the next, over the 4-byte
// and 3-byte layouts of effects/x86/blend_modes_avx2.cpp whose red, green
// and blue sit at the same positions in source, fill and destination; the same bytes as
// the plain pixel functions of effects/blend_modes.cpp.
//
// Each channel of the eight pixels is one 32-bit lane per pixel; the HLS
// pair runs on all eight at once in exact integer arithmetic
// (effects/x86/hls_lanes_avx2.h), the YUV split on four pixels per
// double-precision register, operation for operation as the scalar code.
#include <immintrin.h>

#include "effects/blend_kernel.h"
#include "effects/x86/blend_lanes_avx2.h"
#include "effects/x86/hls_lanes_avx2.h"

namespace lumeno::blend {

namespace {

using avx2::Splat;
using avx2::Triple;

// The shuffle that moves byte `position` of each 4-byte pixel to the low
// byte of its 32-bit lane and clears the other three.
__m256i ByteOfPixel(uint32_t position) {
  return _mm256_add_epi32(Splat(static_cast<int32_t>(0x80808000u | position)),
                          _mm256_setr_epi32(0, 4, 8, 12, 0, 4, 8, 12));
}

// x * a / 255 for 32-bit lanes x and a below 256, given a * 0x8081: the
// exact multiply-shift (x * a * 0x8081) >> 23 (below 2^31).
__m256i Scale255(__m256i x, __m256i a8081) {
  return _mm256_srli_epi32(_mm256_mullo_epi32(x, a8081), 23);
}

__m128i Half(__m256i v, int h) {
  return h == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
}

__m256i Join(__m128i low, __m128i high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// The fill samples of the scaled source channels s as doubles of half h
// for LUMINOSITY: F * cov in single precision, widened.
__m256d Widened(__m256 v, int h) {
  return _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1));
}

// LumaChannel: truncated, then limited to 0..255 (Limit, on eight lanes).
__m128i Luma(__m256d v) { return _mm256_cvttpd_epi32(v); }
__m256i Limit(__m256i v) {
  return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), Splat(255));
}

// LUMINOSITY's luma y of the unscaled fill products and chroma u, v of the
// scaled source channels s, on four pixels.
[[gnu::always_inline]] inline void LumaChromaHalf(const __m128i s[3], const __m256d fill[3],
                                                  __m128i out[3]) {
  const auto d = [](double v) { return _mm256_set1_pd(v); };
  const auto mul = [](__m256d a, __m256d b) { return _mm256_mul_pd(a, b); };
  const auto add = [](__m256d a, __m256d b) { return _mm256_add_pd(a, b); };
  const __m256d rs = _mm256_cvtepi32_pd(s[0]), gs = _mm256_cvtepi32_pd(s[1]),
                bs = _mm256_cvtepi32_pd(s[2]);
  out[0] = _mm256_cvttpd_epi32(
      add(add(mul(fill[1], d(0.587)), mul(fill[0], d(0.299))), mul(fill[2], d(0.114))));
  out[1] = _mm256_cvttpd_epi32(add(add(mul(rs, d(-0.14)), mul(gs, d(-0.289))), mul(bs, d(0.436))));
  out[2] = _mm256_cvttpd_epi32(add(add(mul(rs, d(0.615)), mul(gs, d(-0.515))), mul(bs, d(-0.1))));
}

// LUMINOSITY's red, green and blue from y, u, v on four pixels.
[[gnu::always_inline]] inline void LumaRgbHalf(const __m128i yuv[3], __m128i out[3]) {
  const auto d = [](double v) { return _mm256_set1_pd(v); };
  const auto mul = [](__m256d a, __m256d b) { return _mm256_mul_pd(a, b); };
  const auto add = [](__m256d a, __m256d b) { return _mm256_add_pd(a, b); };
  const __m256d y = _mm256_cvtepi32_pd(yuv[0]), u = _mm256_cvtepi32_pd(yuv[1]),
                v = _mm256_cvtepi32_pd(yuv[2]);
  out[0] = Luma(add(mul(v, d(1.14)), y));
  out[1] = Luma(add(add(y, mul(u, d(-0.395))), mul(v, d(-0.581))));
  out[2] = Luma(add(mul(u, d(2.032)), y));
}

// LUMINOSITY's way back, eight pixels: red, green and blue of y, u, v.
[[gnu::always_inline]] inline Triple LumaRgb(const Triple& yuv) {
  __m128i out[2][3];
  const auto half = [&](int h) {
    const __m128i part[3] = {Half(yuv.x, h), Half(yuv.y, h), Half(yuv.z, h)};
    LumaRgbHalf(part, out[h]);
  };
  half(0);
  half(1);
  return {Limit(Join(out[0][0], out[1][0])), Limit(Join(out[0][1], out[1][1])),
          Limit(Join(out[0][2], out[1][2]))};
}

// The first step of the mode on eight pixels, from the scaled source (s)
// and fill (f) channels and for LUMINOSITY the unscaled fill products
// (fill): HUE, SATURATION and COLOR the hue, lightness and saturation they
// convert back, LUMINOSITY the y, u and v it does.
template <int kMode>
[[gnu::always_inline]] inline Triple FirstStep(Triple s, Triple f, const __m256 fill[3],
                                               const HlsCorrections* c) {
  if constexpr (kMode == 15) {
    // Written out twice: a loop stays a loop at -O2.
    __m128i out[2][3];
    const auto half = [&](int h) {
      const __m128i part[3] = {Half(s.x, h), Half(s.y, h), Half(s.z, h)};
      const __m256d fillWide[3] = {Widened(fill[0], h), Widened(fill[1], h), Widened(fill[2], h)};
      LumaChromaHalf(part, fillWide, out[h]);
    };
    half(0);
    half(1);
    return {Join(out[0][0], out[1][0]), Join(out[0][1], out[1][1]), Join(out[0][2], out[1][2])};
  } else {
    const Triple sh = avx2::RgbToHls(s, *c), fh = avx2::RgbToHls(f, *c);
    // HUE: the fill's hue; SATURATION: the fill's lightness; COLOR: both.
    return {kMode == 13 ? sh.x : fh.x, kMode == 12 ? sh.y : fh.y, sh.z};
  }
}

// Rows of up to this many groups of eight pixels take each step over the
// whole run before the next: a group's conversions are one long chain, and
// the processor overlaps the groups of a short loop far better than those of
// one long one.
constexpr int32_t kGroups = 8;

template <int kMode, bool kFillAlpha, bool kMasked>
int32_t SpaceRow(const uint8_t* s, const uint8_t* f, uint8_t* d, const uint8_t* m, int32_t count,
                 uint32_t layout, uint32_t sw, uint32_t fw, float o) {
  const uint32_t positions[3] = {(layout >> 8) & 0xFF, (layout >> 16) & 0xFF, layout >> 24};
  const __m256i channels[3] = {ByteOfPixel(positions[0]), ByteOfPixel(positions[1]),
                               ByteOfPixel(positions[2])};
  const __m128i shifts[3] = {_mm_cvtsi32_si128(static_cast<int>(8 * positions[0])),
                             _mm_cvtsi32_si128(static_cast<int>(8 * positions[1])),
                             _mm_cvtsi32_si128(static_cast<int>(8 * positions[2]))};
  const avx2::AlphaByte alpha(layout);
  const __m256i alphaOf = ByteOfPixel(layout & 3);
  const bool threeSource = (layout & kThreeByteSource) != 0;
  const bool threeFill = (layout & kThreeByteFill) != 0;
  const __m256 opacity = Splat(o);
  // LUMINOSITY has no use for the corrections.
  const HlsCorrections* corrections = kMode == 15 ? nullptr : &HlsCorrectionTable();
  const __m256i zero = _mm256_setzero_si256();
  // The first step of the eight pixels from x on.
  const auto first = [&](int32_t x) {
    const __m256i S = avx2::LoadPixels(s, x, threeSource), F = avx2::LoadPixels(f, x, threeFill);
    const __m256i fillAlpha = kFillAlpha ? _mm256_shuffle_epi8(F, alphaOf) : Splat(255);
    const __m256i sourceFactor = _mm256_mullo_epi32(_mm256_shuffle_epi8(S, alphaOf), Splat(0x8081));
    const __m256i fillFactor = _mm256_mullo_epi32(fillAlpha, Splat(0x8081));
    // The fill factor of the LUMINOSITY products: fa / 255, cov, or 1.
    const __m256 cov =
        kFillAlpha ? avx2::FactorsOf<false, kFillAlpha, kMasked>(m + x, fillAlpha, opacity).cov
                   : Splat(1.0f);
    // Channel c of source and fill, scaled by their alpha (or cov); one
    // call each, as a loop stays a loop at -O2.
    __m256i scaledS[3], scaledF[3];
    __m256 fill[3];
    const auto channel = [&](int c) {
      const __m256i raw = _mm256_shuffle_epi8(F, channels[c]);
      scaledS[c] = Scale255(_mm256_shuffle_epi8(S, channels[c]), sourceFactor);
      fill[c] = _mm256_mul_ps(_mm256_cvtepi32_ps(raw), cov);
      scaledF[c] = kMasked && kFillAlpha ? _mm256_cvttps_epi32(fill[c])
                   : kFillAlpha          ? Scale255(raw, fillFactor)
                                         : raw;
    };
    channel(0);
    channel(1);
    channel(2);
    return FirstStep<kMode>({scaledS[0], scaledS[1], scaledS[2]},
                            {scaledF[0], scaledF[1], scaledF[2]}, fill, corrections);
  };
  // The rest for the eight pixels from x on, from their first step.
  const auto rest = [&](int32_t x, const Triple& step) {
    const __m256i S = avx2::LoadPixels(s, x, threeSource), F = avx2::LoadPixels(f, x, threeFill);
    const __m256i sourceAlpha = _mm256_shuffle_epi8(S, alphaOf);
    const __m256i fillAlpha = kFillAlpha ? _mm256_shuffle_epi8(F, alphaOf) : Splat(255);
    const avx2::PixelFactors px =
        avx2::FactorsOf<false, kFillAlpha, kMasked>(m + x, fillAlpha, opacity);
    Triple result;
    if constexpr (kMode == 15) {
      result = LumaRgb(step);
    } else {
      result = avx2::HlsToRgb(step, *corrections);
    }
    // The three results at their bytes; a transparent source with fill
    // alpha mixes the raw samples.
    __m256i r = _mm256_or_si256(_mm256_or_si256(_mm256_sll_epi32(result.x, shifts[0]),
                                                _mm256_sll_epi32(result.y, shifts[1])),
                                _mm256_sll_epi32(result.z, shifts[2]));
    if constexpr (kFillAlpha) r = _mm256_blendv_epi8(r, F, _mm256_cmpeq_epi32(sourceAlpha, zero));
    // (S * sw + r * fw) >> 8 on 16-bit samples (sw + fw <= 256 keeps it below
    // 2^16); the alpha byte is Finish's.
    __m256i sw16 = _mm256_set1_epi16(static_cast<int16_t>(sw));
    __m256i fw16 = _mm256_set1_epi16(static_cast<int16_t>(fw));
    const auto weigh = [&](int h) {
      if constexpr (kMasked && !kFillAlpha) {
        // w = trunc(cov * 256) per pixel, over its four samples: the low half
        // holds pixels 0, 1 (4, 5), the high one 2, 3 (6, 7).
        const __m256i w = _mm256_cvttps_epi32(_mm256_mul_ps(px.cov, Splat(256.0f)));
        const int8_t a = h == 0 ? 0 : 8, b = static_cast<int8_t>(a + 1),
                     c = static_cast<int8_t>(a + 4), e = static_cast<int8_t>(a + 5);
        fw16 = _mm256_shuffle_epi8(
            w, _mm256_setr_epi8(a, b, a, b, a, b, a, b, c, e, c, e, c, e, c, e, a, b, a, b, a, b, a,
                                b, c, e, c, e, c, e, c, e));
        sw16 = _mm256_sub_epi16(_mm256_set1_epi16(256), fw16);
      }
      const __m256i S16 = h == 0 ? _mm256_unpacklo_epi8(S, zero) : _mm256_unpackhi_epi8(S, zero);
      const __m256i r16 = h == 0 ? _mm256_unpacklo_epi8(r, zero) : _mm256_unpackhi_epi8(r, zero);
      return avx2::Weigh(S16, r16, sw16, fw16);
    };
    const __m256i halves[2] = {weigh(0), weigh(1)};
    const __m256i colour = _mm256_packus_epi16(halves[0], halves[1]);
    avx2::StorePixels(
        d, x, avx2::Finish<kFillAlpha, kMasked>(colour, S, sourceAlpha, fillAlpha, px, alpha),
        threeSource);
  };
  int32_t x = 0;
  while (x + 8 <= count) {
    const int32_t groups = (count - x) / 8 < kGroups ? (count - x) / 8 : kGroups;
    Triple steps[kGroups];
    for (int32_t g = 0; g < groups; ++g) steps[g] = first(x + 8 * g);
    for (int32_t g = 0; g < groups; ++g) rest(x + 8 * g, steps[g]);
    x += 8 * groups;
  }
  return x;
}

template <int kMode>
constexpr WideRow kSpaceRows[4] = {&SpaceRow<kMode, false, false>, &SpaceRow<kMode, false, true>,
                                   &SpaceRow<kMode, true, false>, &SpaceRow<kMode, true, true>};

}  // namespace

WideRow SpaceRowAvx2(int32_t kind, int64_t mode) {
  const WideRow* rows = mode == 12   ? kSpaceRows<12>
                        : mode == 13 ? kSpaceRows<13>
                        : mode == 14 ? kSpaceRows<14>
                                     : kSpaceRows<15>;
  return rows[kind & 3];
}

}  // namespace lumeno::blend

// Blend's per-channel modes with AVX2: 8 pixels at a time over 4-byte
// pixels whose alpha byte is at `alpha` in source, fill and destination and
// whose other three bytes are the colour channels (3-byte pixels are loaded
// as such, with alpha 255, and stored back as three bytes); the same bytes
// as the plain rows of effects/blend_workers.cpp.
//
// Every sample widens to a 16-bit lane. The scaled samples a = trunc(S *
// (sa / 255)) and b = trunc(F * (fa / 255)) equal the integer quotients
// S * sa / 255 and F * fa / 255 on all 8-bit pairs, and a mode's formula
// runs on them in 16-bit integers, exactly: products of three samples
// shifted by 15 as the high half of x * 2y, divisions by 255 and 127 as
// exact multiply-shifts, and the divisions by a sample (the dodge, burn and
// vivid modes) in single precision, whose quotient of integers below 2^24
// by divisors up to 510 truncates to the integer quotient. SCREEN's
// inverted samples trunc(255 - S * (sa / 255)) equal 255 - ceil(S * sa /
// 255) on all pairs; OVERLAY runs in single precision, operation for
// operation, but for unscaled fill samples, whose quotients by 127 are the
// integer ones.
#include <immintrin.h>

#include "effects/blend_kernel.h"
#include "effects/x86/blend_lanes_avx2.h"

namespace lumeno::blend {

namespace {

using avx2::Div255;

__m256i Set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }

// Limits signed 16-bit lanes to 0..255.
__m256i Clamp255(__m256i v) {
  return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), Set16(255));
}

// (x * y) >> 15 for lanes x and y <= 255: the high half of x * 2y.
__m256i MulShr15(__m256i x, __m256i y) { return _mm256_mulhi_epu16(x, _mm256_add_epi16(y, y)); }

// min(n / q, 255) for unsigned 16-bit lanes n and q > 0 (lanes with q = 0
// give any value).
[[gnu::always_inline]] inline __m256i DivMin255(__m256i n, __m256i q) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i limit = _mm256_set1_epi32(255);
  auto half = [&](__m256i n32, __m256i q32) {
    const __m256 x = _mm256_div_ps(_mm256_cvtepi32_ps(n32), _mm256_cvtepi32_ps(q32));
    return _mm256_min_epi32(_mm256_cvttps_epi32(x), limit);
  };
  return _mm256_packus_epi32(half(_mm256_unpacklo_epi16(n, zero), _mm256_unpacklo_epi16(q, zero)),
                             half(_mm256_unpackhi_epi16(n, zero), _mm256_unpackhi_epi16(q, zero)));
}

// a * a >> 8 - a * a * b >> 15: the part SOFT_LIGHT, SHARP_LIGHT and
// POWER_LIGHT share.
__m256i SquareLess(__m256i a, __m256i b) {
  const __m256i aa = _mm256_mullo_epi16(a, a);
  return _mm256_sub_epi16(_mm256_srli_epi16(aa, 8), MulShr15(aa, b));
}

__m256i Select(__m256i no, __m256i yes, __m256i when) { return _mm256_blendv_epi8(no, yes, when); }

// x / 127 for 16-bit lanes below 32768, as an exact multiply-shift.
__m256i Div127(__m256i x) { return _mm256_srli_epi16(_mm256_mulhi_epu16(x, Set16(33027)), 6); }

// The mode's result from the scaled samples a and b (kMode of 1 to 23 but
// SCREEN, OVERLAY and the four colour-space modes).
template <int kMode>
[[gnu::always_inline]] inline __m256i ModeLanes(__m256i a, __m256i b) {
  const __m256i c255 = Set16(255);
  if constexpr (kMode == 1) {  // MULTIPLY
    return _mm256_srli_epi16(_mm256_mullo_epi16(a, b), 8);
  } else if constexpr (kMode == 4) {  // DARKEN
    return _mm256_min_epi16(a, b);
  } else if constexpr (kMode == 5) {  // LIGHTEN
    return _mm256_max_epi16(a, b);
  } else if constexpr (kMode == 6) {  // COLOR_DODGE
    const __m256i q = DivMin255(_mm256_slli_epi16(a, 8), _mm256_sub_epi16(c255, b));
    return Select(q, c255, _mm256_cmpeq_epi16(b, c255));
  } else if constexpr (kMode == 7) {  // COLOR_BURN
    const __m256i q = DivMin255(_mm256_slli_epi16(_mm256_sub_epi16(c255, a), 8), b);
    return _mm256_andnot_si256(_mm256_cmpeq_epi16(b, _mm256_setzero_si256()),
                               _mm256_sub_epi16(c255, q));
  } else if constexpr (kMode == 8) {  // SOFT_LIGHT
    return Clamp255(
        _mm256_add_epi16(SquareLess(a, b), _mm256_srli_epi16(_mm256_mullo_epi16(a, b), 7)));
  } else if constexpr (kMode == 9) {  // HARD_LIGHT: (x * y) / 127 by the fill's half
    const __m256i upper = _mm256_cmpgt_epi16(b, Set16(127));
    const __m256i x = Select(a, _mm256_sub_epi16(c255, a), upper);
    const __m256i y = Select(b, _mm256_sub_epi16(c255, b), upper);
    const __m256i q = Div127(_mm256_mullo_epi16(x, y));
    return Select(q, _mm256_sub_epi16(c255, q), upper);
  } else if constexpr (kMode == 10) {  // DIFFERENCE
    return _mm256_sub_epi16(_mm256_max_epi16(a, b), _mm256_min_epi16(a, b));
  } else if constexpr (kMode == 11) {  // EXCLUSION: 2ab / 255 from ab / 255 and its remainder
    const __m256i ab = _mm256_mullo_epi16(a, b);
    const __m256i q = Div255(ab);
    const __m256i r = _mm256_sub_epi16(ab, _mm256_mullo_epi16(q, c255));
    const __m256i twice =
        _mm256_sub_epi16(_mm256_add_epi16(q, q), _mm256_cmpgt_epi16(r, Set16(127)));
    return Clamp255(_mm256_sub_epi16(_mm256_add_epi16(a, b), twice));
  } else if constexpr (kMode == 16) {  // PIN_LIGHT
    const __m256i b2 = _mm256_add_epi16(b, b);
    return _mm256_max_epi16(_mm256_sub_epi16(b2, c255), _mm256_min_epi16(b2, a));
  } else if constexpr (kMode == 17) {  // SHARP_LIGHT
    return Clamp255(_mm256_add_epi16(SquareLess(a, b), MulShr15(_mm256_mullo_epi16(a, b), b)));
  } else if constexpr (kMode == 18) {  // VIVID_LIGHT
    const __m256i lower = _mm256_cmpgt_epi16(Set16(128), a);
    const __m256i n =
        Select(_mm256_slli_epi16(b, 8), _mm256_slli_epi16(_mm256_sub_epi16(c255, b), 8), lower);
    const __m256i twiceA = _mm256_add_epi16(a, a);
    const __m256i q = DivMin255(n, Select(_mm256_sub_epi16(Set16(510), twiceA), twiceA, lower));
    __m256i r = Select(q, _mm256_sub_epi16(c255, q), lower);
    r = Select(r, _mm256_min_epi16(_mm256_slli_epi16(b, 7), c255), _mm256_cmpeq_epi16(a, c255));
    return Select(r, Set16(127), _mm256_cmpeq_epi16(a, _mm256_setzero_si256()));
  } else if constexpr (kMode == 19) {  // LINEAR_LIGHT
    return Clamp255(_mm256_sub_epi16(_mm256_add_epi16(a, _mm256_add_epi16(b, b)), c255));
  } else if constexpr (kMode == 20) {  // POWER_LIGHT
    const __m256i extra = _mm256_add_epi16(_mm256_srli_epi16(_mm256_mullo_epi16(b, b), 8),
                                           MulShr15(_mm256_mullo_epi16(a, b), b));
    return Clamp255(_mm256_add_epi16(SquareLess(a, b), extra));
  } else if constexpr (kMode == 21) {  // LINEAR_BURN
    return _mm256_subs_epu16(_mm256_add_epi16(a, b), c255);
  } else {  // LINEAR_DODGE, ADD
    return _mm256_min_epi16(_mm256_add_epi16(a, b), c255);
  }
}

// 255 - ceil(v * alpha / 255): SCREEN's inverted scaled sample.
__m256i InvertedScaled(__m256i v, __m256i alpha) {
  return _mm256_sub_epi16(Set16(255),
                          Div255(_mm256_add_epi16(_mm256_mullo_epi16(v, alpha), Set16(254))));
}

// How the fill sample F is scaled: by 1 (no fill alpha, or a fill mask
// without it), by fa / 255 (fill alpha: integer quotients), or by any
// single-precision factor per pixel (fill alpha and fill mask).
enum class Cover { kOne, kFillAlpha, kFactor };

// The two 32-bit halves of sixteen 16-bit lanes, and back.
__m256i Low32(__m256i v) { return _mm256_unpacklo_epi16(v, _mm256_setzero_si256()); }
__m256i High32(__m256i v) { return _mm256_unpackhi_epi16(v, _mm256_setzero_si256()); }
template <typename Fn>
__m256i By32(Fn fn, __m256 covLow, __m256 covHigh) {
  return _mm256_packus_epi32(fn(0, covLow), fn(1, covHigh));
}

// OVERLAY on 32-bit lanes: the fill sample F times the fill factor cov,
// against the scaled source sample a.
[[gnu::always_inline]] inline __m256i Overlay32(__m256i F, __m256 cov, __m256i a) {
  const __m256 c255 = _mm256_set1_ps(255.0f);
  const __m256 fill = _mm256_mul_ps(_mm256_cvtepi32_ps(F), cov);
  const __m256i lower = _mm256_cmpgt_epi32(_mm256_set1_epi32(128), a);
  const __m256 af = _mm256_cvtepi32_ps(a);
  // a < 128: (fill * a) / 127; else ((255 - fill) * (255 - a)) / -127 + 255,
  // which is 255 - ((255 - fill) * (255 - a)) / 127 bit for bit.
  const __m256 n =
      _mm256_blendv_ps(_mm256_mul_ps(_mm256_sub_ps(c255, fill), _mm256_sub_ps(c255, af)),
                       _mm256_mul_ps(fill, af), _mm256_castsi256_ps(lower));
  const __m256 q = _mm256_div_ps(n, _mm256_set1_ps(127.0f));
  const __m256 r = _mm256_blendv_ps(_mm256_sub_ps(c255, q), q, _mm256_castsi256_ps(lower));
  return _mm256_cvttps_epi32(r);
}

// The mode's result on sixteen samples: S and F raw, sa and fa the alphas;
// covLow and covHigh the fill factors of the two 32-bit halves (fa / 255
// with fill alpha alone, any factor with fill alpha and fill mask).
template <int kMode, Cover kCover>
[[gnu::always_inline]] inline __m256i Result16(__m256i S, __m256i F, __m256i sa, __m256i fa,
                                               __m256 covLow, __m256 covHigh) {
  const __m256 c255 = _mm256_set1_ps(255.0f);
  if constexpr (kCover == Cover::kOne) {
    covLow = covHigh = _mm256_set1_ps(1.0f);
  }
  // F times the factor, as single-precision lanes of half h.
  auto fill = [&](int h, __m256 cov) {
    return _mm256_mul_ps(_mm256_cvtepi32_ps(h == 0 ? Low32(F) : High32(F)), cov);
  };
  if constexpr (kMode == 2) {  // SCREEN
    const __m256i a = InvertedScaled(S, sa);
    __m256i b = _mm256_sub_epi16(Set16(255), F);
    if constexpr (kCover == Cover::kFillAlpha) b = InvertedScaled(F, fa);
    if constexpr (kCover == Cover::kFactor) {
      b = By32(
          [&](int h, __m256 cov) { return _mm256_cvttps_epi32(_mm256_sub_ps(c255, fill(h, cov))); },
          covLow, covHigh);
    }
    return _mm256_sub_epi16(Set16(255), Div255(_mm256_mullo_epi16(a, b)));
  } else {
    const __m256i a = Div255(_mm256_mullo_epi16(S, sa));
    if constexpr (kMode == 3 && kCover == Cover::kOne) {
      // OVERLAY of whole fill samples: the single-precision quotients of
      // products below 2^15 by 127 truncate to the integer quotients, and
      // 255 - q to 255 - ceil(n / 127).
      const __m256i c255 = Set16(255);
      const __m256i upper = _mm256_cmpgt_epi16(a, Set16(127));
      const __m256i n = Select(
          _mm256_mullo_epi16(F, a),
          _mm256_add_epi16(_mm256_mullo_epi16(_mm256_sub_epi16(c255, F), _mm256_sub_epi16(c255, a)),
                           Set16(126)),
          upper);
      const __m256i q = Div127(n);
      return Select(q, _mm256_sub_epi16(c255, q), upper);
    } else if constexpr (kMode == 3) {  // OVERLAY
      return By32(
          [&](int h, __m256 cov) {
            return Overlay32(h == 0 ? Low32(F) : High32(F), cov, h == 0 ? Low32(a) : High32(a));
          },
          covLow, covHigh);
    } else {
      __m256i b = F;
      if constexpr (kCover == Cover::kFillAlpha) b = Div255(_mm256_mullo_epi16(F, fa));
      if constexpr (kCover == Cover::kFactor) {
        b = By32([&](int h, __m256 cov) { return _mm256_cvttps_epi32(fill(h, cov)); }, covLow,
                 covHigh);
      }
      return ModeLanes<kMode>(a, b);
    }
  }
}

// Per-pixel single-precision lanes (one pixel each) laid out as the 32-bit
// halves of 16-bit half h: pixels 2h and 4 + 2h (low), 2h + 1 and 5 + 2h
// (high), each over its four samples.
__m256 PixelsOfHalf(__m256 v, int h, int part) {
  const int i = 2 * h + part;
  return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(i, i, i, i, i + 4, i + 4, i + 4, i + 4));
}

// A row of mode kMode (0: NORMAL, but for fill alpha without mask, which
// NormalAlphaRowAvx2 does), with or without fill alpha and fill mask, as
// BlendPixel does it: a pixel the rule leaves
// (fill alpha 0; with fill alpha, mask 255) takes the source pixel; with
// fill alpha, one of source alpha 0 the plain opacity mix of the samples;
// the alpha follows the alpha rule with the pixel's k, or becomes 255.
template <int kMode, bool kFillAlpha, bool kMasked>
int32_t ModeRow(const uint8_t* s, const uint8_t* f, uint8_t* d, const uint8_t* m, int32_t count,
                uint32_t layout, uint32_t sw, uint32_t fw, float o) {
  constexpr Cover kCover =
      kFillAlpha ? (kMasked ? Cover::kFactor : Cover::kFillAlpha) : Cover::kOne;
  const __m256i zero = _mm256_setzero_si256();
  const avx2::AlphaByte alpha(layout);
  const __m256i spread = avx2::AlphaSpread(static_cast<int32_t>(layout & 3));
  const bool threeSource = (layout & kThreeByteSource) != 0;
  const bool threeFill = (layout & kThreeByteFill) != 0;
  const __m256 opacity = _mm256_set1_ps(o);
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256i S = avx2::LoadPixels(s, x, threeSource), F = avx2::LoadPixels(f, x, threeFill);
    const __m256i SA = _mm256_shuffle_epi8(S, spread);
    const __m256i FA = kFillAlpha ? _mm256_shuffle_epi8(F, spread) : _mm256_set1_epi8(-1);
    const __m256i sourceAlpha = alpha.Of(S), fillAlpha = alpha.Of(F);
    const avx2::PixelFactors px =
        avx2::FactorsOf<kMode == 0, kFillAlpha, kMasked>(m + x, fillAlpha, opacity);
    const __m256i M = kMasked ? _mm256_mullo_epi32(px.mask, _mm256_set1_epi32(0x01010101)) : zero;
    const __m256 cov = px.cov;
    __m256i halves[2];
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      auto widen = [&](__m256i v) {
        return h == 0 ? _mm256_unpacklo_epi8(v, zero) : _mm256_unpackhi_epi8(v, zero);
      };
      const __m256i S16 = widen(S), F16 = widen(F), sa = widen(SA), fa = widen(FA), m16 = widen(M);
      __m256i sw16 = Set16(static_cast<int>(sw)), fw16 = Set16(static_cast<int>(fw));
      const __m256 covLow = PixelsOfHalf(cov, h, 0), covHigh = PixelsOfHalf(cov, h, 1);
      __m256i c;
      if constexpr (kMode == 0) {
        // NORMAL: the opacity mix of the fill, with fill alpha laid over the
        // source by fa * (255 - m) / 255 first; under a mask then mixed with
        // the source by the mask.
        __m256i over = F16;
        if constexpr (kFillAlpha) {
          const __m256i fm = Div255(_mm256_mullo_epi16(fa, _mm256_sub_epi16(Set16(255), m16)));
          over =
              Div255(_mm256_add_epi16(_mm256_mullo_epi16(fm, F16),
                                      _mm256_mullo_epi16(_mm256_sub_epi16(Set16(255), fm), S16)));
        }
        c = avx2::Weigh(S16, over, sw16, fw16);
        if constexpr (kMasked) {
          c = _mm256_srli_epi16(
              _mm256_add_epi16(_mm256_mullo_epi16(c, _mm256_sub_epi16(Set16(255), m16)),
                               _mm256_mullo_epi16(S16, m16)),
              8);
        }
      } else {
        if constexpr (kMasked && !kFillAlpha) {
          // The mask enters through the weights: w = trunc(cov * 256).
          const __m256 scale = _mm256_set1_ps(256.0f);
          fw16 = _mm256_packus_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(covLow, scale)),
                                     _mm256_cvttps_epi32(_mm256_mul_ps(covHigh, scale)));
          sw16 = _mm256_sub_epi16(Set16(256), fw16);
        }
        __m256i r = Result16<kMode, kCover>(S16, F16, sa, fa, covLow, covHigh);
        if constexpr (kFillAlpha) r = Select(r, F16, _mm256_cmpeq_epi16(sa, zero));
        c = avx2::Weigh(S16, r, sw16, fw16);
      }
      halves[h] = c;
    }
    const __m256i colour = _mm256_packus_epi16(halves[0], halves[1]);
    avx2::StorePixels(
        d, x, avx2::Finish<kFillAlpha, kMasked>(colour, S, sourceAlpha, fillAlpha, px, alpha),
        threeSource);
  }
  return x;
}

// The rows of mode kMode by the kind's fill alpha and mask bits.
template <int kMode>
constexpr WideRow kModeRows[4] = {&ModeRow<kMode, false, false>, &ModeRow<kMode, false, true>,
                                  kMode == 0 ? &NormalAlphaRowAvx2 : &ModeRow<kMode, true, false>,
                                  &ModeRow<kMode, true, true>};

// By mode 0 to 23; the colour-space modes are in effects/x86/blend_space_avx2.cpp.
constexpr const WideRow* kRows[24] = {
    kModeRows<0>,  kModeRows<1>,  kModeRows<2>,  kModeRows<3>,  kModeRows<4>,  kModeRows<5>,
    kModeRows<6>,  kModeRows<7>,  kModeRows<8>,  kModeRows<9>,  kModeRows<10>, kModeRows<11>,
    nullptr,       nullptr,       nullptr,       nullptr,       kModeRows<16>, kModeRows<17>,
    kModeRows<18>, kModeRows<19>, kModeRows<20>, kModeRows<21>, kModeRows<22>, kModeRows<23>,
};

}  // namespace

WideRow WideRowAvx2(int32_t kind, int64_t mode) {
  // A stored mode outside 0..23 blends as MULTIPLY.
  if ((kind & 4) != 0 && mode >= 12 && mode <= 15) return SpaceRowAvx2(kind, mode);
  const WideRow* rows = kRows[(kind & 4) == 0 ? 0 : (mode >= 1 && mode <= 23 ? mode : 1)];
  return rows != nullptr ? rows[kind & 3] : nullptr;
}

}  // namespace lumeno::blend

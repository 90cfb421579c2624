// Blend's rows with AVX2.
//
// NORMAL with fill alpha over 4-byte pixels whose alpha byte is at `alpha`
// in source, fill and destination and whose other three bytes are the
// colour channels (or 3-byte source and destination pixels and a fill
// whose alpha is byte 3): 8 pixels at a time, the same bytes as
// BlendNormalRow.
// The colour mix runs in 16-bit lanes (every intermediate stays below 2^16:
// fa * F + (255 - fa) * S <= 65025, sw * S + fw * t <= 256 * 255), the
// division by 255 as the exact multiply-shift (x * 0x8081) >> 23; the alpha
// rule runs in single precision, operation for operation. Pixels whose fill
// alpha is 0 take the source pixel. Returns the pixels done.
#include <immintrin.h>

#include "effects/blend_kernel.h"
#include "effects/x86/blend_lanes_avx2.h"

namespace lumeno::blend {

namespace {

// The colour mix of sixteen samples in 16-bit lanes.
__m256i MixNormalAlpha16(__m256i S, __m256i F, __m256i fa, __m256i sw, __m256i fw) {
  const __m256i over =
      _mm256_add_epi16(_mm256_mullo_epi16(fa, F),
                       _mm256_mullo_epi16(_mm256_sub_epi16(_mm256_set1_epi16(255), fa), S));
  return avx2::Weigh(S, avx2::Div255(over), sw, fw);
}

// The row over 4-byte or (kThree) 3-byte source and destination pixels.
template <bool kThree>
int32_t NormalAlphaRow(const uint8_t* s, const uint8_t* f, uint8_t* d, int32_t count,
                       uint32_t layout, uint32_t sw, uint32_t fw, float o) {
  const __m256i zero = _mm256_setzero_si256();
  const avx2::AlphaByte alpha(layout);
  const __m256i spread = avx2::AlphaSpread(static_cast<int32_t>(layout & 3));
  const __m256i sourceWeight = _mm256_set1_epi16(static_cast<short>(sw));
  const __m256i fillWeight = _mm256_set1_epi16(static_cast<short>(fw));
  const __m256 opacity = _mm256_set1_ps(o);
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256i S = avx2::LoadPixels(s, x, kThree), F = avx2::Load8(f, x);
    const __m256i FA = _mm256_shuffle_epi8(F, spread);
    const __m256i low =
        MixNormalAlpha16(_mm256_unpacklo_epi8(S, zero), _mm256_unpacklo_epi8(F, zero),
                         _mm256_unpacklo_epi8(FA, zero), sourceWeight, fillWeight);
    const __m256i high =
        MixNormalAlpha16(_mm256_unpackhi_epi8(S, zero), _mm256_unpackhi_epi8(F, zero),
                         _mm256_unpackhi_epi8(FA, zero), sourceWeight, fillWeight);
    const __m256i colour = _mm256_packus_epi16(low, high);
    const __m256i fillAlpha = alpha.Of(F);
    avx2::StorePixels(d, x,
                      avx2::Finish<true, false>(
                          colour, S, alpha.Of(S), fillAlpha,
                          avx2::FactorsOf<true, true, false>(nullptr, fillAlpha, opacity), alpha),
                      kThree);
  }
  return x;
}

}  // namespace

int32_t NormalAlphaRowAvx2(const uint8_t* s, const uint8_t* f, uint8_t* d, const uint8_t*,
                           int32_t count, uint32_t layout, uint32_t sw, uint32_t fw, float o) {
  return (layout & kThreeByteSource) != 0
             ? NormalAlphaRow<true>(s, f, d, count, layout, sw, fw, o)
             : NormalAlphaRow<false>(s, f, d, count, layout, sw, fw, o);
}

}  // namespace lumeno::blend

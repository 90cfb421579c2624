// The colour filter's rows with SSE2, sixteen bytes at a time: each sample
// a saturating add of its raise and subtract of its lower amount, the lane
// pattern of the plan repeating every `samples` vectors.
#include <emmintrin.h>

#include "effects/color_filter_kernel.h"

namespace lumeno::color_filter {

namespace {

template <int64_t kSampleBytes>
int64_t Shift(const ShiftPlan& plan, const uint8_t* src, uint8_t* dst, int64_t rowSamples) {
  constexpr int64_t kLanes = 16 / kSampleBytes;
  const int32_t samples = plan.samples;
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + kLanes <= rowSamples; j += kLanes) {
    const int64_t at = j * kSampleBytes;
    const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
    const __m128i u = _mm_load_si128(reinterpret_cast<const __m128i*>(plan.upLanes + phase * 16));
    const __m128i d = _mm_load_si128(reinterpret_cast<const __m128i*>(plan.downLanes + phase * 16));
    const __m128i e = kSampleBytes == 1 ? _mm_subs_epu8(_mm_adds_epu8(o, u), d)
                                        : _mm_subs_epu16(_mm_adds_epu16(o, u), d);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), e);
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
}

}  // namespace

int64_t ShiftRow8Sse2(const ShiftPlan& plan, const uint8_t* src, uint8_t* dst, int64_t rowSamples) {
  return Shift<1>(plan, src, dst, rowSamples);
}

int64_t ShiftRow16Sse2(const ShiftPlan& plan, const uint8_t* src, uint8_t* dst,
                       int64_t rowSamples) {
  return Shift<2>(plan, src, dst, rowSamples);
}

}  // namespace lumeno::color_filter

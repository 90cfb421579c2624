// Grayscale's 8-bit rows with SSE2, four 4-byte pixels at a time, one pixel
// per 32-bit lane with the gray value in its low byte, by the same
// arithmetic as the plain form: the weighted sum converted and multiplied in
// double lanes, two pixels a vector, truncated by the truncating conversion;
// the averages as exact multiply-shifts (effects/grayscale_kernel.h).
#include <emmintrin.h>

#include "effects/grayscale_kernel.h"
#include "engine/x86/lanes_sse2.h"

namespace lumeno::gray {

namespace {

struct Weighted {
  __m128d red, green, blue;
  explicit Weighted(const Vector& v)
      : red(_mm_set1_pd(v.weights[0])),
        green(_mm_set1_pd(v.weights[1])),
        blue(_mm_set1_pd(v.weights[2])) {}
  __m128i operator()(__m128i r, __m128i g, __m128i b) const {
    return WeightedSum4(r, g, b, red, green, blue);
  }
};

// Sums below 2^16 in the low half of each lane: the high half stays zero.
struct Average {
  explicit Average(const Vector&) {}
  __m128i operator()(__m128i r, __m128i g, __m128i b) const {
    const __m128i sum = _mm_add_epi32(_mm_add_epi32(r, g), b);
    return _mm_srli_epi16(_mm_mulhi_epu16(sum, _mm_set1_epi32(kThirdMultiplier)), kThirdShift);
  }
};

struct WeightedAverage {
  explicit WeightedAverage(const Vector&) {}
  __m128i operator()(__m128i r, __m128i g, __m128i b) const {
    const __m128i sum =
        _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(r, _mm_add_epi32(r, r)), _mm_slli_epi32(g, 2)),
                      _mm_slli_epi32(b, 1));
    return _mm_srli_epi16(_mm_mulhi_epu16(sum, _mm_set1_epi32(kNinthMultiplier)), kNinthShift);
  }
};

template <typename Gray>
int32_t Row8(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
             int32_t width) {
  const Gray gray(v);
  const __m128i shiftRed = _mm_cvtsi32_si128(v.srcShift[0]);
  const __m128i shiftGreen = _mm_cvtsi32_si128(v.srcShift[1]);
  const __m128i shiftBlue = _mm_cvtsi32_si128(v.srcShift[2]);
  const __m128i grayBits = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.grayBits)));
  const __m128i srcKeep =
      _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(lanes.srcKeep)));
  const __m128i dstKeep = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.dstKeep)));
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m128i pixels =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + static_cast<int64_t>(x) * 4));
    // The gray value (at most 255) in every byte of its lane, then kept on
    // the colour bytes alone.
    const __m128i y = SpreadByte4(gray(ByteLanes4(pixels, shiftRed), ByteLanes4(pixels, shiftGreen),
                                       ByteLanes4(pixels, shiftBlue)));
    const __m128i out = _mm_or_si128(_mm_and_si128(y, grayBits), _mm_and_si128(pixels, srcKeep));
    StoreKeeping4(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
  }
  return x;
}

}  // namespace

int32_t Row8Sse2(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width) {
  return ByFormula<Weighted, Average, WeightedAverage>(v.formula, [&](auto form) {
    return Row8<typename decltype(form)::type>(v, lanes, src, dst, width);
  });
}

}  // namespace lumeno::gray

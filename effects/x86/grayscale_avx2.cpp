// Grayscale's rows with AVX2: at 8 bits eight 4-byte pixels at a time, the
// form of effects/x86/grayscale_sse2.cpp in 256-bit vectors; at 16 bits four
// pixels of four 16-bit samples (8 bytes) at a time, one pixel per 64-bit
// lane, by the same arithmetic as the plain form. The gray rows write the
// same values into the one- or two-sample pixels of a gray bitmap.
#include <immintrin.h>

#include "effects/grayscale_kernel.h"
#include "engine/x86/lanes_avx2.h"

namespace lumeno::gray {

namespace {

// The three formulas on eight pixels in 32-bit lanes (Lanes) and on four
// in 64-bit lanes (Lanes64).
struct Weighted {
  __m256d red, green, blue;
  explicit Weighted(const Vector& v)
      : red(_mm256_set1_pd(v.weights[0])),
        green(_mm256_set1_pd(v.weights[1])),
        blue(_mm256_set1_pd(v.weights[2])) {}
  __m256i Lanes(__m256i r, __m256i g, __m256i b) const {
    return WeightedSum8(r, g, b, red, green, blue);
  }
  // Converted and multiplied in double lanes, summed in the same order,
  // truncated by the truncating conversion.
  __m256i Lanes64(__m256i r, __m256i g, __m256i b) const {
    const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    auto wide = [&pick](__m256i v) {
      return _mm256_cvtepi32_pd(_mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, pick)));
    };
    const __m256d y =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(red, wide(r)), _mm256_mul_pd(green, wide(g))),
                      _mm256_mul_pd(blue, wide(b)));
    return _mm256_cvtepu32_epi64(_mm256_cvttpd_epi32(y));
  }
};

struct Average {
  explicit Average(const Vector&) {}
  __m256i Lanes(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(r, g), b);
    return _mm256_srli_epi16(_mm256_mulhi_epu16(sum, _mm256_set1_epi32(kThirdMultiplier)),
                             kThirdShift);
  }
  // The sums fit the 32 bits the multiply reads.
  __m256i Lanes64(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi64(_mm256_add_epi64(r, g), b);
    return _mm256_srli_epi64(
        _mm256_mul_epu32(sum, _mm256_set1_epi64x(static_cast<int64_t>(kThird16Multiplier))),
        kThird16Shift);
  }
};

struct WeightedAverage {
  explicit WeightedAverage(const Vector&) {}
  __m256i Lanes(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_add_epi32(r, _mm256_add_epi32(r, r)), _mm256_slli_epi32(g, 2)),
        _mm256_slli_epi32(b, 1));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(sum, _mm256_set1_epi32(kNinthMultiplier)),
                             kNinthShift);
  }
  __m256i Lanes64(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi64(
        _mm256_add_epi64(_mm256_add_epi64(r, _mm256_add_epi64(r, r)), _mm256_slli_epi64(g, 2)),
        _mm256_slli_epi64(b, 1));
    return _mm256_srli_epi64(
        _mm256_mul_epu32(sum, _mm256_set1_epi64x(static_cast<int64_t>(kNinth16Multiplier))),
        kNinth16Shift);
  }
};

// A row's gray values: the colour samples read at their bit positions in
// the pixel, then the formula (Gray).
template <typename Gray>
struct GrayOf {
  Gray gray;
  __m128i red, green, blue;
  explicit GrayOf(const Vector& v)
      : gray(v),
        red(_mm_cvtsi32_si128(v.srcShift[0])),
        green(_mm_cvtsi32_si128(v.srcShift[1])),
        blue(_mm_cvtsi32_si128(v.srcShift[2])) {}
  // Eight 4-byte pixels, in 32-bit lanes.
  __m256i Of8(__m256i pixels) const {
    return gray.Lanes(ByteLanes8(pixels, red), ByteLanes8(pixels, green), ByteLanes8(pixels, blue));
  }
  // Four pixels of 16-bit samples, in 64-bit lanes.
  __m256i Of16(__m256i pixels) const {
    const __m256i low = _mm256_set1_epi64x(0xFFFF);
    return gray.Lanes64(_mm256_and_si256(_mm256_srl_epi64(pixels, red), low),
                        _mm256_and_si256(_mm256_srl_epi64(pixels, green), low),
                        _mm256_and_si256(_mm256_srl_epi64(pixels, blue), low));
  }
};

template <typename Gray>
int32_t Row8(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
             int32_t width) {
  const GrayOf<Gray> gray(v);
  const __m256i grayBits =
      _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.grayBits)));
  const __m256i srcKeep =
      _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(lanes.srcKeep)));
  const __m256i dstKeep = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.dstKeep)));
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 4));
    const __m256i y = SpreadByte8(gray.Of8(pixels));
    const __m256i out =
        _mm256_or_si256(_mm256_and_si256(y, grayBits), _mm256_and_si256(pixels, srcKeep));
    StoreKeeping8(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
  }
  // The rest of the row four at a time, as far as it goes.
  if (width - x < 4) return x;
  return x + Row8Sse2(v, lanes, src + static_cast<int64_t>(x) * 4,
                      dst + static_cast<int64_t>(x) * 4, width - x);
}

template <typename Gray>
int32_t Row16(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
              int32_t width) {
  const GrayOf<Gray> gray(v);
  const __m256i grayBits = _mm256_set1_epi64x(static_cast<int64_t>(v.grayBits));
  const __m256i srcKeep = _mm256_set1_epi64x(static_cast<int64_t>(lanes.srcKeep));
  const __m256i dstKeep = _mm256_set1_epi64x(static_cast<int64_t>(v.dstKeep));
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 8));
    // The gray value (at most 65535) in every sample of its pixel, then
    // kept on the colour samples alone.
    __m256i y = gray.Of16(pixels);
    y = _mm256_or_si256(y, _mm256_slli_epi64(y, 16));
    y = _mm256_or_si256(y, _mm256_slli_epi64(y, 32));
    __m256i out = _mm256_or_si256(_mm256_and_si256(y, grayBits), _mm256_and_si256(pixels, srcKeep));
    __m256i* to = reinterpret_cast<__m256i*>(dst + static_cast<int64_t>(x) * 8);
    if (lanes.readDestination) {
      out = _mm256_or_si256(out, _mm256_and_si256(_mm256_loadu_si256(to), dstKeep));
    }
    _mm256_storeu_si256(to, out);
  }
  return x;
}

// Eight pixels a step: the gray value's low byte and, with two samples,
// the alpha byte as 16-bit lanes, packed to bytes in pixel order.
template <typename Gray>
int32_t GrayRow8(const Vector& v, const GrayOut& o, const uint8_t* src, uint8_t* dst,
                 int32_t width) {
  const GrayOf<Gray> gray(v);
  const __m128i shiftAlpha = _mm_cvtsi32_si128(o.srcAlphaShift);
  const __m128i toGray = _mm_cvtsi32_si128(8 * o.gray);
  const __m128i toAlpha = _mm_cvtsi32_si128(8 * (1 - o.gray));
  const __m256i byte = _mm256_set1_epi32(0xFF);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 4));
    const __m256i y = _mm256_and_si256(gray.Of8(pixels), byte);
    if (o.samples == 2) {
      const __m256i out = _mm256_or_si256(
          _mm256_sll_epi32(y, toGray), _mm256_sll_epi32(ByteLanes8(pixels, shiftAlpha), toAlpha));
      // Per 128-bit half the four pixels twice; quadwords 0 and 2 in order.
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(out, out), 0x08);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<int64_t>(x) * 2),
                       _mm256_castsi256_si128(packed));
    } else {
      const __m256i words = _mm256_packus_epi32(y, y);
      const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), order);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + x), _mm256_castsi256_si128(bytes));
    }
  }
  return x;
}

// Four pixels a step, one per 64-bit lane: the gray value's low 16 bits
// and the alpha sample as 32-bit values (a four-sample source without
// alpha has no gray format of one sample), then the low dword of each lane
// in pixel order.
template <typename Gray>
int32_t GrayRow16(const Vector& v, const GrayOut& o, const uint8_t* src, uint8_t* dst,
                  int32_t width) {
  const GrayOf<Gray> gray(v);
  const __m256i low = _mm256_set1_epi64x(0xFFFF);
  const __m128i shiftAlpha = _mm_cvtsi32_si128(o.srcAlphaShift);
  const __m128i toGray = _mm_cvtsi32_si128(16 * o.gray);
  const __m128i toAlpha = _mm_cvtsi32_si128(16 * (1 - o.gray));
  const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  if (o.samples != 2) return 0;
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 8));
    const __m256i y = _mm256_and_si256(gray.Of16(pixels), low);
    const __m256i alpha = _mm256_and_si256(_mm256_srl_epi64(pixels, shiftAlpha), low);
    const __m256i out =
        _mm256_or_si256(_mm256_sll_epi64(y, toGray), _mm256_sll_epi64(alpha, toAlpha));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<int64_t>(x) * 4),
                     _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(out, pick)));
  }
  return x;
}

// run.template operator()<F>() with F the form of v.formula here.
template <typename Run>
int32_t ForFormula(const Vector& v, const Run& run) {
  return ByFormula<Weighted, Average, WeightedAverage>(v.formula, [&](auto form) {
    return run.template operator()<typename decltype(form)::type>();
  });
}

}  // namespace

int32_t GrayRow8Avx2(const Vector& v, const GrayOut& out, const uint8_t* src, uint8_t* dst,
                     int32_t width) {
  return ForFormula(v, [&]<typename F>() { return GrayRow8<F>(v, out, src, dst, width); });
}

int32_t GrayRow16Avx2(const Vector& v, const GrayOut& out, const uint8_t* src, uint8_t* dst,
                      int32_t width) {
  return ForFormula(v, [&]<typename F>() { return GrayRow16<F>(v, out, src, dst, width); });
}

int32_t Row8Avx2(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width) {
  return ForFormula(v, [&]<typename F>() { return Row8<F>(v, lanes, src, dst, width); });
}

int32_t Row16Avx2(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                  int32_t width) {
  return ForFormula(v, [&]<typename F>() { return Row16<F>(v, lanes, src, dst, width); });
}

}  // namespace lumeno::gray

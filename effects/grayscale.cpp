// GrayscaleEffectRaw: turns a colour bitmap gray by one of four methods. A new
// bitmap is either a gray one (one gray sample, plus alpha where the source
// has other than three channels) or, with UseOriginalColorSpace or a mask,
// one in the source's own format whose three colour channels all get the
// gray value. Gray sources (one or two channels) are never converted.
//
// Unlike the other effects this class creates its destination and fills the
// run's context itself, then hands the rows to the engine's RunFilterRows or
// StartFilterRowsAsync. It never resets ErrorCode on success.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/cpu_level.h"
#include "engine/filter_base.h"
#include "engine/pixel_lanes.h"
#include "engine/row_walker.h"
#include "shell/class_list.h"
#include "shell/host_services.h"

#if defined(LUMENO_X86)
#include <immintrin.h>
#endif

namespace {

// The class's own data, behind MPImageFilterData. GrayscaleType and
// UseOriginalColorSpace are served by the host's standard accessor.
struct GrayscaleData {
  int64_t grayscaleType;
  ZARKobjectStruct* mask;  // held while stored
  bool useOriginalColorSpace;
};
static_assert(sizeof(GrayscaleData) == 24);
static_assert(offsetof(GrayscaleData, grayscaleType) == 0);
static_assert(offsetof(GrayscaleData, mask) == 8);
static_assert(offsetof(GrayscaleData, useOriginalColorSpace) == 16);

// The context of one run. The destination indices are byte offsets at 8 bits
// and sample indices at 16 bits, as are the two pixel steps of the context.
struct GrayscaleParams {
  GenericMPParams base;
  double redWeight;
  double greenWeight;
  double blueWeight;
  int32_t dstRedIndex;
  int32_t dstGreenIndex;
  int32_t dstBlueIndex;
  // The mask object of an asynchronous run, held until the engine releases
  // the context: the engine's row-level start knows only the mask's lookup
  // object, and the workers must not outlive the mask they read.
  ZARKobjectStruct* runMask;
};
static_assert(offsetof(GrayscaleParams, redWeight) == sizeof(GenericMPParams));

enum GrayscaleMethod : uint64_t { kNtscPal = 0, kItuR = 1, kAverage = 2, kWeightedAverage = 3 };

struct Weights {
  double red, green, blue;
};
constexpr Weights kMethodWeights[] = {
    {0.299, 0.587, 0.114},     // NTSC_PAL
    {0.2125, 0.7154, 0.0721},  // ITU_R
};

constexpr int32_t kAutomaticThreads = 2;

GrayscaleData* Data(ZARKobjectStruct* self) {
  return static_cast<GrayscaleData*>(ZARKGetClassData(self, &GrayscaleEffectRaw));
}

using MaskField = lumeno::MaskMember<GrayscaleData, &GrayscaleEffectRaw>;

bool IsGraySource(const RawBitmap& source) {
  return source.channelCount == 1 || source.channelCount == 2;
}

bool HasWorkers(const RawBitmap& source) {
  return source.bitsPerChannel == 8 || source.bitsPerChannel == 16;
}

// -- Gray values -------------------------------------------------------------
//
// Each method is a class per depth giving the gray value of r, g, b, built
// once per band from the run's context; at 8 bits also four pixels at a
// time in vector lanes (one pixel per 32-bit lane, the value in its low
// byte), with the same arithmetic.

// Each product and each sum rounded on its own, in this order; the weights
// are positive and sum to one, so y is finite and within [0, kMax] (give or
// take rounding): no clamping is needed and a plain conversion truncates.
template <int kBits>
struct WeightedGray {
  const GrayscaleParams& p;
  explicit WeightedGray(const GrayscaleParams& params) : p(params) {}
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
    const double y =
        (p.redWeight * static_cast<double>(r) + p.greenWeight * static_cast<double>(g)) +
        p.blueWeight * static_cast<double>(b);
    return static_cast<uint32_t>(static_cast<int32_t>(y));
  }
#if defined(LUMENO_X86)
  // Four 16-bit pixels, one per 64-bit lane: converted and multiplied in
  // double lanes, summed in the same order, truncated by the truncating
  // conversion.
  LUMENO_AVX2 __m256i Lanes64(__m256i r, __m256i g, __m256i b) const {
    const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    auto wide = [&pick](__m256i v) LUMENO_AVX2 {
      return _mm256_cvtepi32_pd(_mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, pick)));
    };
    const __m256d y =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(p.redWeight), wide(r)),
                                    _mm256_mul_pd(_mm256_set1_pd(p.greenWeight), wide(g))),
                      _mm256_mul_pd(_mm256_set1_pd(p.blueWeight), wide(b)));
    return _mm256_cvtepu32_epi64(_mm256_cvttpd_epi32(y));
  }
#endif
};

// At 8 bits the products come from tables: each entry is the product the
// formula forms for that value, so the sums in the same order are the
// formula's. The vector form converts and multiplies in double lanes, two
// pixels a vector, and truncates with the truncating conversion.
template <>
struct WeightedGray<8> {
  double red[256];
  double green[256];
  double blue[256];
  double redWeight, greenWeight, blueWeight;

  explicit WeightedGray(const GrayscaleParams& p)
      : redWeight(p.redWeight), greenWeight(p.greenWeight), blueWeight(p.blueWeight) {
    for (int32_t v = 0; v < 256; ++v) {
      red[v] = redWeight * static_cast<double>(v);
      green[v] = greenWeight * static_cast<double>(v);
      blue[v] = blueWeight * static_cast<double>(v);
    }
  }
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
    const double y = (red[r] + green[g]) + blue[b];
    return static_cast<uint32_t>(static_cast<int32_t>(y));
  }
#if defined(__SSE2__)
  __m128i Lanes(__m128i r, __m128i g, __m128i b) const {
    return lumeno::WeightedSum4(r, g, b, _mm_set1_pd(redWeight), _mm_set1_pd(greenWeight),
                                _mm_set1_pd(blueWeight));
  }
#endif
#if defined(LUMENO_X86)
  LUMENO_AVX2 __m256i Lanes(__m256i r, __m256i g, __m256i b) const {
    return lumeno::WeightedSum8(r, g, b, _mm256_set1_pd(redWeight), _mm256_set1_pd(greenWeight),
                                _mm256_set1_pd(blueWeight));
  }
#endif
};

// Division of a small whole sum by a constant as a multiply by a 16-bit
// reciprocal and a shift: exact for every sum up to maxSum, checked here for
// each one.
constexpr bool DividesExactly(uint32_t maxSum, uint32_t divisor, uint32_t multiplier,
                              int32_t shift) {
  for (uint32_t s = 0; s <= maxSum; ++s) {
    if (((s * multiplier) >> 16 >> shift) != s / divisor) return false;
  }
  return true;
}
constexpr uint32_t kThirdMultiplier = 0xAAAB;  // ceil(2^17 / 3)
constexpr int32_t kThirdShift = 1;
constexpr uint32_t kNinthMultiplier = 58255;  // ceil(2^19 / 9)
constexpr int32_t kNinthShift = 3;
static_assert(DividesExactly(3 * 255, 3, kThirdMultiplier, kThirdShift));
static_assert(DividesExactly(9 * 255, 9, kNinthMultiplier, kNinthShift));

// The same for sums of 16-bit samples, with 64-bit products, checked over
// [first, last] (in pieces, as the compiler bounds the steps of one check).
constexpr bool DividesExactly64(uint64_t first, uint64_t last, uint64_t divisor,
                                uint64_t multiplier, int32_t shift) {
  for (uint64_t s = first; s <= last; ++s) {
    if (((s * multiplier) >> shift) != s / divisor) return false;
  }
  return true;
}
constexpr uint64_t kThird16Multiplier = 174763;  // ceil(2^19 / 3)
constexpr int32_t kThird16Shift = 19;
constexpr uint64_t kNinth16Multiplier = 466034;  // ceil(2^22 / 9)
constexpr int32_t kNinth16Shift = 22;
static_assert(DividesExactly64(0, 3 * 65535, 3, kThird16Multiplier, kThird16Shift));
static_assert(DividesExactly64(0, 199999, 9, kNinth16Multiplier, kNinth16Shift));
static_assert(DividesExactly64(200000, 399999, 9, kNinth16Multiplier, kNinth16Shift));
static_assert(DividesExactly64(400000, 9 * 65535, 9, kNinth16Multiplier, kNinth16Shift));

template <int kBits>
struct AverageGray {
  explicit AverageGray(const GrayscaleParams&) {}
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const { return (r + g + b) / 3u; }
#if defined(__SSE2__)
  // Sums below 2^16 in the low half of each lane: the high half stays zero.
  __m128i Lanes(__m128i r, __m128i g, __m128i b) const {
    const __m128i sum = _mm_add_epi32(_mm_add_epi32(r, g), b);
    return _mm_srli_epi16(_mm_mulhi_epu16(sum, _mm_set1_epi32(kThirdMultiplier)), kThirdShift);
  }
#endif
#if defined(LUMENO_X86)
  LUMENO_AVX2 __m256i Lanes(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(r, g), b);
    return _mm256_srli_epi16(_mm256_mulhi_epu16(sum, _mm256_set1_epi32(kThirdMultiplier)),
                             kThirdShift);
  }
  // Four 16-bit pixels, one per 64-bit lane; the sums fit the 32 bits the
  // multiply reads.
  LUMENO_AVX2 __m256i Lanes64(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi64(_mm256_add_epi64(r, g), b);
    return _mm256_srli_epi64(
        _mm256_mul_epu32(sum, _mm256_set1_epi64x(static_cast<int64_t>(kThird16Multiplier))),
        kThird16Shift);
  }
#endif
};

template <int kBits>
struct WeightedAverageGray {
  explicit WeightedAverageGray(const GrayscaleParams&) {}
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
    return (3u * r + 4u * g + 2u * b) / 9u;
  }
#if defined(__SSE2__)
  __m128i Lanes(__m128i r, __m128i g, __m128i b) const {
    const __m128i sum =
        _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(r, _mm_add_epi32(r, r)), _mm_slli_epi32(g, 2)),
                      _mm_slli_epi32(b, 1));
    return _mm_srli_epi16(_mm_mulhi_epu16(sum, _mm_set1_epi32(kNinthMultiplier)), kNinthShift);
  }
#endif
#if defined(LUMENO_X86)
  LUMENO_AVX2 __m256i Lanes(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_add_epi32(r, _mm256_add_epi32(r, r)), _mm256_slli_epi32(g, 2)),
        _mm256_slli_epi32(b, 1));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(sum, _mm256_set1_epi32(kNinthMultiplier)),
                             kNinthShift);
  }
  LUMENO_AVX2 __m256i Lanes64(__m256i r, __m256i g, __m256i b) const {
    const __m256i sum = _mm256_add_epi64(
        _mm256_add_epi64(_mm256_add_epi64(r, _mm256_add_epi64(r, r)), _mm256_slli_epi64(g, 2)),
        _mm256_slli_epi64(b, 1));
    return _mm256_srli_epi64(
        _mm256_mul_epu32(sum, _mm256_set1_epi64x(static_cast<int64_t>(kNinth16Multiplier))),
        kNinth16Shift);
  }
#endif
};

// -- Row workers ---------------------------------------------------------------

// Where a band reads and writes, in samples (bytes at 8 bits, 16-bit units
// at 16 bits).
struct GrayLayout {
  int32_t srcRed, srcGreen, srcBlue, srcAlpha;
  int32_t dstRed, dstGreen, dstBlue, dstAlpha;
  bool copyAlpha;
  int64_t srcStep, dstStep;  // bytes
  // No write leaves the destination pixel, so a row's bytes are its own.
  bool rowsDisjoint;

  GrayLayout(const GrayscaleParams& block, int kBits) {
    const GenericMPParams& p = block.base;
    const RawBitmap& source = *p.source;
    const RawBitmap& destination = *p.destination;
    const int shift = kBits == 8 ? 0 : 1;
    srcRed = source.redOffset >> shift;
    srcGreen = source.greenOffset >> shift;
    srcBlue = source.blueOffset >> shift;
    copyAlpha = source.hasAlpha != 0;
    srcAlpha = source.alphaOffset >> shift;
    dstRed = block.dstRedIndex;
    dstGreen = block.dstGreenIndex;
    dstBlue = block.dstBlueIndex;
    dstAlpha = destination.alphaOffset >> shift;
    srcStep = static_cast<int64_t>(p.srcPixelBytes) * (kBits / 8);
    dstStep = static_cast<int64_t>(p.dstPixelBytes) * (kBits / 8);
    const int32_t samples = p.dstPixelBytes;
    auto inside = [samples](int32_t index) { return index >= 0 && index < samples; };
    rowsDisjoint =
        inside(dstRed) && inside(dstGreen) && inside(dstBlue) && (!copyAlpha || inside(dstAlpha));
  }
};

// On the gray path a sample goes to the source's channel offsets inside the
// smaller gray pixel, so the last pixel of a row can land on the first pixel
// of the next row, which another band writes at the same time. Where that
// can happen (kShared) every store is a relaxed atomic store: the
// overlapping byte gets one of the two values (as it would on one thread in
// another order), never undefined behaviour. On x86 it is the same single
// move. Where every write stays inside its pixel, stores are plain.
template <int kBits, bool kShared>
inline void StoreGray(uint8_t* pixel, int32_t index, uint32_t value) {
  using Sample = typename lumeno::Depth<kBits>::Sample;
  if constexpr (kShared) {
    Sample* at = reinterpret_cast<Sample*>(pixel + static_cast<int64_t>(index) * sizeof(Sample));
    std::atomic_ref<Sample>(*at).store(static_cast<Sample>(value), std::memory_order_relaxed);
  } else {
    lumeno::StoreSample<kBits>(pixel, index, value);
  }
}

// One pixel: the gray value to the three colour indices (blue, green, red),
// mixed with each channel's own value by the mask blend rule where the mask
// value is not 0; alpha copied last.
template <int kBits, bool kShared, typename Gray>
inline void GrayPixel(const Gray& gray, const GrayLayout& at, const uint8_t* s, uint8_t* d,
                      uint32_t m) {
  using lumeno::LoadSample;
  const uint32_t r = LoadSample<kBits>(s, at.srcRed);
  const uint32_t g = LoadSample<kBits>(s, at.srcGreen);
  const uint32_t b = LoadSample<kBits>(s, at.srcBlue);
  const uint32_t y = gray(r, g, b);
  if (m == 0) {
    StoreGray<kBits, kShared>(d, at.dstBlue, y);
    StoreGray<kBits, kShared>(d, at.dstGreen, y);
    StoreGray<kBits, kShared>(d, at.dstRed, y);
  } else {
    // The gray share is the same for all three channels.
    const uint32_t t = (lumeno::Depth<kBits>::kMax - m) * y;
    StoreGray<kBits, kShared>(d, at.dstRed, (r * m + t) >> kBits);
    StoreGray<kBits, kShared>(d, at.dstGreen, (g * m + t) >> kBits);
    StoreGray<kBits, kShared>(d, at.dstBlue, (b * m + t) >> kBits);
  }
  if (at.copyAlpha) StoreGray<kBits, kShared>(d, at.dstAlpha, LoadSample<kBits>(s, at.srcAlpha));
}

// Pixel by pixel. kStep, when not 0, is the pixel step in bytes of source
// and destination, known to the compiler.
template <int kBits, bool kMasked, bool kShared, int kStep, typename Gray>
void* WalkGray(void* jobPointer, const Gray& gray, const GrayLayout& at) {
  GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int64_t srcStep = kStep > 0 ? kStep : at.srcStep;
  const int64_t dstStep = kStep > 0 ? kStep : at.dstStep;
  const int32_t width = p.width;
  return lumeno::ForEachRow(jobPointer, [&](int32_t row, const uint8_t* src, uint8_t* dst) {
    const int64_t maskRow = kMasked ? lumeno::MaskRow<kBits>(p.mask, row) : 0;
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t m = kMasked ? lumeno::MaskValue<kBits>(p.mask, maskRow, x) : 0;
      GrayPixel<kBits, kShared>(gray, at, src + x * srcStep, dst + x * dstStep, m);
    }
  });
}

#if defined(__SSE2__)
// Four-byte pixels in source and destination, four at a time: the colour
// bytes read at the source's offsets, the gray value written to every
// destination colour byte, alpha taken from the source at the same offset,
// every other byte left as it is. Only where no write leaves its pixel and
// alpha falls on no colour byte (one store order to keep): then the vector
// writes exactly what the pixel loop would.
//
// The same at 16 bits for pixels of four 16-bit samples (8 bytes), four at
// a time, where the processor has 256-bit vectors.
struct GrayVector {
  int32_t srcShift[3];  // bit positions of red, green, blue in the pixel
  uint64_t grayBits;    // destination bits that take the gray value
  uint64_t srcKeep;     // destination bits taken from the source pixel (alpha)
  uint64_t dstKeep;     // destination bits left as they are (beyond the pixel at 8 bits)
};

template <int kBits>
bool PrepareGrayVector(const GrayLayout& at, GrayVector* v) {
  constexpr int64_t kPixelBytes = 4 * (kBits / 8);
  constexpr uint64_t kSample = (uint64_t{1} << kBits) - 1;
  if (at.srcStep != kPixelBytes || at.dstStep != kPixelBytes || !at.rowsDisjoint) return false;
  const int32_t src[3] = {at.srcRed, at.srcGreen, at.srcBlue};
  const int32_t dst[3] = {at.dstRed, at.dstGreen, at.dstBlue};
  v->grayBits = 0;
  for (int k = 0; k < 3; ++k) {
    if (src[k] < 0 || src[k] > 3) return false;
    v->srcShift[k] = kBits * src[k];
    v->grayBits |= kSample << (kBits * dst[k]);
  }
  v->srcKeep = 0;
  if (at.copyAlpha) {
    const uint64_t sample = kSample << (kBits * at.dstAlpha);
    if (at.srcAlpha != at.dstAlpha || (v->grayBits & sample) != 0) return false;
    v->srcKeep = sample;
  }
  v->dstKeep = ~(v->grayBits | v->srcKeep);
  return true;
}

#if defined(LUMENO_X86)
// The 256-bit form of the row loop below; returns the number of pixels done.
template <typename Gray>
LUMENO_AVX2 int32_t GrayRowAvx2(const Gray& gray, const GrayVector& v,
                                const lumeno::StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                                int32_t width) {
  const __m128i shiftRed = _mm_cvtsi32_si128(v.srcShift[0]);
  const __m128i shiftGreen = _mm_cvtsi32_si128(v.srcShift[1]);
  const __m128i shiftBlue = _mm_cvtsi32_si128(v.srcShift[2]);
  const __m256i grayBits =
      _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.grayBits)));
  const __m256i srcKeep =
      _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(lanes.srcKeep)));
  const __m256i dstKeep = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.dstKeep)));
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 4));
    const __m256i y = lumeno::SpreadByte8(gray.Lanes(lumeno::ByteLanes8(pixels, shiftRed),
                                                     lumeno::ByteLanes8(pixels, shiftGreen),
                                                     lumeno::ByteLanes8(pixels, shiftBlue)));
    const __m256i out =
        _mm256_or_si256(_mm256_and_si256(y, grayBits), _mm256_and_si256(pixels, srcKeep));
    lumeno::StoreKeeping8(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
  }
  return x;
}
#endif

template <typename Gray>
void* WalkGrayVector(void* jobPointer, const Gray& gray, const GrayLayout& at,
                     const GrayVector& v) {
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t width = p.width;
  const lumeno::StoreLanes lanes(p, v.srcKeep, v.dstKeep);
#if defined(LUMENO_X86)
  const bool wide = lumeno::ActiveCpuLevel() != lumeno::CpuLevel::kBaseline;
#endif
  const __m128i shiftRed = _mm_cvtsi32_si128(v.srcShift[0]);
  const __m128i shiftGreen = _mm_cvtsi32_si128(v.srcShift[1]);
  const __m128i shiftBlue = _mm_cvtsi32_si128(v.srcShift[2]);
  const __m128i grayBits = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.grayBits)));
  const __m128i srcKeep =
      _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(lanes.srcKeep)));
  const __m128i dstKeep = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(v.dstKeep)));
  return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
    int32_t x = 0;
#if defined(LUMENO_X86)
    if (wide) x = GrayRowAvx2(gray, v, lanes, src, dst, width);
#endif
    for (; x + 4 <= width; x += 4) {
      const __m128i pixels =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + static_cast<int64_t>(x) * 4));
      // The gray value (at most 255) in every byte of its lane, then kept
      // on the colour bytes alone.
      const __m128i y = lumeno::SpreadByte4(gray.Lanes(lumeno::ByteLanes4(pixels, shiftRed),
                                                       lumeno::ByteLanes4(pixels, shiftGreen),
                                                       lumeno::ByteLanes4(pixels, shiftBlue)));
      const __m128i out = _mm_or_si128(_mm_and_si128(y, grayBits), _mm_and_si128(pixels, srcKeep));
      lumeno::StoreKeeping4(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
    }
    for (; x < width; ++x) {
      GrayPixel<8, false>(gray, at, src + static_cast<int64_t>(x) * 4,
                          dst + static_cast<int64_t>(x) * 4, 0);
    }
  });
}
#if defined(LUMENO_X86)
// Four 16-bit pixels at a time; returns the number of pixels done.
template <typename Gray>
LUMENO_AVX2 int32_t GrayRow16Avx2(const Gray& gray, const GrayVector& v,
                                  const lumeno::StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                                  int32_t width) {
  const __m256i low = _mm256_set1_epi64x(0xFFFF);
  const __m128i shiftRed = _mm_cvtsi32_si128(v.srcShift[0]);
  const __m128i shiftGreen = _mm_cvtsi32_si128(v.srcShift[1]);
  const __m128i shiftBlue = _mm_cvtsi32_si128(v.srcShift[2]);
  const __m256i grayBits = _mm256_set1_epi64x(static_cast<int64_t>(v.grayBits));
  const __m256i srcKeep = _mm256_set1_epi64x(static_cast<int64_t>(lanes.srcKeep));
  const __m256i dstKeep = _mm256_set1_epi64x(static_cast<int64_t>(v.dstKeep));
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 8));
    const __m256i r = _mm256_and_si256(_mm256_srl_epi64(pixels, shiftRed), low);
    const __m256i g = _mm256_and_si256(_mm256_srl_epi64(pixels, shiftGreen), low);
    const __m256i b = _mm256_and_si256(_mm256_srl_epi64(pixels, shiftBlue), low);
    // The gray value (at most 65535) in every sample of its pixel, then
    // kept on the colour samples alone.
    __m256i y = gray.Lanes64(r, g, b);
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

template <typename Gray>
void* WalkGrayVector16(void* jobPointer, const Gray& gray, const GrayLayout& at,
                       const GrayVector& v) {
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t width = p.width;
  const lumeno::StoreLanes lanes(p, v.srcKeep, v.dstKeep);
  return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
    int32_t x = GrayRow16Avx2(gray, v, lanes, src, dst, width);
    for (; x < width; ++x) {
      GrayPixel<16, false>(gray, at, src + static_cast<int64_t>(x) * 8,
                           dst + static_cast<int64_t>(x) * 8, 0);
    }
  });
}
#endif
#endif

// The row worker of one depth and method, plain or masked. Plain bands
// whose writes stay inside their pixels take the vector loops for pixels of
// four samples (at 16 bits where the processor has 256-bit vectors), or at
// 8 bits a loop of fixed step for three- and four-byte ones.
template <int kBits, template <int> class Method, bool kMasked>
void* GrayscaleRows(void* jobPointer) {
  const auto& block =
      reinterpret_cast<const GrayscaleParams&>(*static_cast<FilterJob*>(jobPointer)->params);
  const GrayLayout at(block, kBits);
  const Method<kBits> gray(block);
  if (!at.rowsDisjoint) return WalkGray<kBits, kMasked, true, 0>(jobPointer, gray, at);
#if defined(__SSE2__) && defined(LUMENO_X86)
  if constexpr (kBits == 16 && !kMasked) {
    GrayVector vector;
    if (lumeno::ActiveCpuLevel() != lumeno::CpuLevel::kBaseline &&
        PrepareGrayVector<16>(at, &vector)) {
      return WalkGrayVector16(jobPointer, gray, at, vector);
    }
  }
#endif
  if constexpr (kBits == 8 && !kMasked) {
#if defined(__SSE2__)
    GrayVector vector;
    if (PrepareGrayVector<8>(at, &vector)) return WalkGrayVector(jobPointer, gray, at, vector);
#endif
    if (at.srcStep == 4 && at.dstStep == 4) {
      return WalkGray<kBits, kMasked, false, 4>(jobPointer, gray, at);
    }
    if (at.srcStep == 3 && at.dstStep == 3) {
      return WalkGray<kBits, kMasked, false, 3>(jobPointer, gray, at);
    }
  }
  return WalkGray<kBits, kMasked, false, 0>(jobPointer, gray, at);
}

template <int kBits, bool kMasked>
FilterRowProc WorkerForMethod(uint64_t method) {
  if (method <= kItuR) return &GrayscaleRows<kBits, WeightedGray, kMasked>;
  if (method == kAverage) return &GrayscaleRows<kBits, AverageGray, kMasked>;
  return &GrayscaleRows<kBits, WeightedAverageGray, kMasked>;
}

// -- Run preparation ---------------------------------------------------------------

// Context fields every run shares, taken from the instance.
void FillCommon(MPImageFilterData* filter, const RawBitmap& source, GrayscaleParams* params) {
  params->base.width = static_cast<int32_t>(source.width);
  params->base.height = static_cast<int32_t>(source.height);
  params->base.progressHandler = filter->progressHandler;
  params->base.multiprocessingHint = static_cast<int32_t>(filter->multiprocessingHint);
}

// Creates the destination of a new-bitmap run and fills the context for it;
// null (and nothing filled) when no bitmap could be created.
ZARKobjectStruct* CreateGrayscaleDestination(ZARKobjectStruct* self, RawBitmap* source,
                                             GrayscaleParams* params) {
  const GrayscaleData* data = Data(self);
  RawBitmap* destination = nullptr;
  ZARKobjectStruct* object = nullptr;
  const bool is8 = source->bitsPerChannel == 8;
  if (data->useOriginalColorSpace || data->mask != nullptr) {
    object = CreateRawBitmap(source->width, source->height, 0, source->imageFormat, &destination);
    if (object == nullptr) return nullptr;
    if (source->extraRef != 0) CopyExtraData(*source, *destination);
    params->dstRedIndex = source->redOffset;
    params->dstGreenIndex = source->greenOffset;
    params->dstBlueIndex = source->blueOffset;
  } else {
    const bool threeChannels = source->channelCount == 3;
    const int64_t format = is8 ? (threeChannels ? 0 : 1) : (threeChannels ? 22 : 23);
    object = CreateRawBitmap(source->width, source->height, 0, format, &destination);
    if (object == nullptr) return nullptr;
    // The gray sample goes where the source keeps red: for sources whose red
    // channel is not first, the gray row comes out shifted by that offset.
    params->dstRedIndex = source->redOffset;
    params->dstGreenIndex = source->redOffset;
    params->dstBlueIndex = source->redOffset;
  }
  int32_t srcStep = static_cast<int32_t>(source->bytesPerPixel);
  int32_t dstStep = static_cast<int32_t>(destination->bytesPerPixel);
  if (!is8) {
    params->dstRedIndex >>= 1;
    params->dstGreenIndex >>= 1;
    params->dstBlueIndex >>= 1;
    srcStep >>= 1;
    dstStep >>= 1;
  }
  CopyMetadata(*source, *destination);
  GenericMPParams& base = params->base;
  FillCommon(FilterData(self), *source, params);
  base.srcPixels = source->pixelData;
  base.srcRowBytes = static_cast<int32_t>(source->rowBytes);
  base.dstPixels = destination->pixelData;
  base.dstRowBytes = static_cast<int32_t>(destination->rowBytes);
  base.srcPixelBytes = srcStep;
  base.dstPixelBytes = dstStep;
  base.source = source;
  base.destination = destination;
  return object;
}

// Fills the context of an in-place run: the source is its own destination.
void FillGrayscaleInPlaceParams(ZARKobjectStruct* self, RawBitmap* source,
                                GrayscaleParams* params) {
  const int32_t shift = source->bitsPerChannel == 8 ? 0 : 1;
  params->dstRedIndex = source->redOffset >> shift;
  params->dstGreenIndex = source->greenOffset >> shift;
  params->dstBlueIndex = source->blueOffset >> shift;
  GenericMPParams& base = params->base;
  FillCommon(FilterData(self), *source, params);
  base.srcPixels = source->pixelData;
  base.dstPixels = source->pixelData;
  base.srcRowBytes = static_cast<int32_t>(source->rowBytes);
  base.dstRowBytes = base.srcRowBytes;
  base.srcPixelBytes = static_cast<int32_t>(source->bytesPerPixel) >> shift;
  base.dstPixelBytes = base.srcPixelBytes;
  base.source = source;
  base.destination = source;
}

// Stores the method's weights and the mask, and returns the row worker. The
// method is compared unsigned: 3, larger and negative values all select the
// weighted average. The caller has checked that the depth has workers.
FilterRowProc SelectGrayscaleWorker(ZARKobjectStruct* self, int64_t methodValue,
                                    GrayscaleParams* params, const RawBitmap& source) {
  const uint64_t method = static_cast<uint64_t>(methodValue);
  if (method <= kItuR) {
    params->redWeight = kMethodWeights[method].red;
    params->greenWeight = kMethodWeights[method].green;
    params->blueWeight = kMethodWeights[method].blue;
  }
  ZARKobjectStruct* maskObject = Data(self)->mask;
  const bool masked = maskObject != nullptr;
  if (masked) params->base.mask = GetRawBitmapMaskData(maskObject);
  if (source.bitsPerChannel == 16) {
    return masked ? WorkerForMethod<16, true>(method) : WorkerForMethod<16, false>(method);
  }
  return masked ? WorkerForMethod<8, true>(method) : WorkerForMethod<8, false>(method);
}

// Replaces the held AsyncResult with `object`, whose hold the caller supplies.
void ReplaceAsyncResult(MPImageFilterData* filter, ZARKobjectStruct* object) {
  if (filter->asyncResult != nullptr) ZARKUnlockObject(filter->asyncResult);
  filter->asyncResult = object;
}

void ReplaceCompletion(MPImageFilterData* filter, ZARKobjectStruct* completeTarget,
                       void* completeMethod) {
  if (filter->completeTarget != nullptr) ZARKUnlockObject(filter->completeTarget);
  if (completeTarget != nullptr) ZARKLockObject(completeTarget);
  filter->completeTarget = completeTarget;
  filter->completeMethod = completeMethod;
}

// A gray source needs no work: it becomes the result at once and the
// completion method, when one is given, is called before returning.
void CompleteGraySourceAtOnce(ZARKobjectStruct* self, MPImageFilterData* filter,
                              ZARKobjectStruct* source, ZARKobjectStruct* completeTarget,
                              void* completeMethod) {
  ZARKLockObject(source);
  ReplaceAsyncResult(filter, source);
  if (completeTarget != nullptr && completeMethod != nullptr) {
    reinterpret_cast<void (*)(ZARKobjectStruct*, ZARKobjectStruct*)>(completeMethod)(completeTarget,
                                                                                     self);
  }
}

// Called by the engine when an asynchronous run's context is released (after
// its bands are joined, or when the start fails): drops the run's hold on
// the mask and lets the engine free the context.
signed char ReleaseAsyncParams(ZARKobjectStruct*, GenericMPParams* params) {
  ZARKobjectStruct* mask = reinterpret_cast<GrayscaleParams*>(params)->runMask;
  if (mask != nullptr) ZARKUnlockObject(mask);
  return 1;
}

// Picks the worker and starts the rows of an asynchronous run whose context
// is filled; the context passes to the engine.
void StartGrayscaleRows(ZARKobjectStruct* self, MPImageFilterData* filter, ZARKobjectStruct* source,
                        const RawBitmap& record, GrayscaleParams* params) {
  FilterRowProc worker = SelectGrayscaleWorker(self, Data(self)->grayscaleType, params, record);
  params->runMask = Data(self)->mask;
  if (params->runMask != nullptr) ZARKLockObject(params->runMask);
  // A new run starts un-cancelled, as every other asynchronous start does;
  // otherwise a Cancel() before it would end it at its first poll.
  filter->canceled = false;
  filter->engine->StartFilterRowsAsync(self, filter, source, &params->base, worker,
                                       kAutomaticThreads, &ReleaseAsyncParams);
}

// -- Class members -------------------------------------------------------------
//
// Grayscale runs its rows through RunFilterRows and StartFilterRowsAsync
// itself (a gray source needs no run at all), so unlike the effects on the
// effect frame no engine call resets ErrorCode: a success leaves the code of
// an earlier failure in place.

using lumeno::FailWith;

void Construct(ZARKobjectStruct* self) {
  GrayscaleData* data = Data(self);
  data->grayscaleType = kNtscPal;
  data->mask = nullptr;
  data->useOriginalColorSpace = false;
}

ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source, int64_t method) {
  MPImageFilterData* filter = FilterData(self);
  if (source == nullptr) return FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
  RawBitmap* record = GetRawBitmapData(source);
  if (IsGraySource(*record)) {
    ZARKLockObject(source);
    return source;
  }
  if (!HasWorkers(*record)) return FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
  GrayscaleParams params{};
  ZARKobjectStruct* destination = CreateGrayscaleDestination(self, record, &params);
  if (destination == nullptr) return FailWith(filter, kLumeno_UNABLE_TO_CREATE_DESTINATION);
  FilterRowProc worker = SelectGrayscaleWorker(self, method, &params, *record);
  filter->engine->RunFilterRows(filter, &params.base, worker, kAutomaticThreads);
  return destination;
}

ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  return Apply(self, source, Data(self)->grayscaleType);
}

void ApplyInPlace(ZARKobjectStruct* self, ZARKobjectStruct* source, int64_t method) {
  MPImageFilterData* filter = FilterData(self);
  if (source == nullptr) {
    FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return;
  }
  RawBitmap* record = GetRawBitmapData(source);
  if (IsGraySource(*record)) return;
  if (!HasWorkers(*record)) {
    FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    return;
  }
  GrayscaleParams params{};
  FillGrayscaleInPlaceParams(self, record, &params);
  FilterRowProc worker = SelectGrayscaleWorker(self, method, &params, *record);
  filter->engine->RunFilterRows(filter, &params.base, worker, kAutomaticThreads);
}

// Both asynchronous forms: the checks and the heap context they share, then
// the run's destination, a new bitmap or the source itself.
void StartAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* completeTarget,
                void* completeMethod, bool inPlace) {
  MPImageFilterData* filter = FilterData(self);
  if (filter->asyncRun != nullptr) {
    FailWith(filter, kLumeno_ASYNC_METHOD_ALLREADY_RUNNING_ON_THIS_INSTANCE);
    return;
  }
  if (source == nullptr) {
    FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return;
  }
  RawBitmap* record = GetRawBitmapData(source);
  if (IsGraySource(*record)) {
    CompleteGraySourceAtOnce(self, filter, source, completeTarget, completeMethod);
    return;
  }
  if (!HasWorkers(*record)) {
    FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    return;
  }
  auto* params = lumeno::NewAsyncParams<GrayscaleParams>();
  if (params == nullptr) {
    FailWith(filter, kLumeno_OUT_OF_MEMORY);
    return;
  }
  if (inPlace) {
    ReplaceCompletion(filter, completeTarget, completeMethod);
    ZARKLockObject(source);
    ReplaceAsyncResult(filter, source);
    FillGrayscaleInPlaceParams(self, record, params);
  } else {
    ZARKobjectStruct* destination = CreateGrayscaleDestination(self, record, params);
    if (destination == nullptr) {
      FailWith(filter, kLumeno_UNABLE_TO_CREATE_DESTINATION);
      std::free(params);
      return;
    }
    ReplaceCompletion(filter, completeTarget, completeMethod);
    ReplaceAsyncResult(filter, destination);
  }
  StartGrayscaleRows(self, filter, source, *record, params);
}

void ApplyAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* completeTarget,
                void* completeMethod) {
  StartAsync(self, source, completeTarget, completeMethod, false);
}
void ApplyInPlaceAsync(ZARKobjectStruct* self, ZARKobjectStruct* source,
                       ZARKobjectStruct* completeTarget, void* completeMethod) {
  StartAsync(self, source, completeTarget, completeMethod, true);
}

// -- Definition records ---------------------------------------------------------

const ZARKpropertyDefinition kProperties[] = {
    MaskField::Property(),
    lumeno::Field("GrayscaleType", "Integer", offsetof(GrayscaleData, grayscaleType)),
    lumeno::Field("UseOriginalColorSpace", "Boolean",
                  offsetof(GrayscaleData, useOriginalColorSpace)),
};

// The two forms with a method name their argument differently.
const ZARKmethodDefinition kMethods[] = {
    lumeno::Method(&Apply, "Apply(source as RawBitmap,grayscaleMethod as Integer) as RawBitmap"),
    lumeno::Method(&ApplyStored, lumeno::kApplyDeclaration),
    lumeno::Method(&ApplyInPlace,
                   "ApplyInPlace(source as RawBitmap, grayscaleTypeValue as Integer)"),
    lumeno::Method(&ApplyAsync, lumeno::kApplyAsyncDeclaration),
    lumeno::Method(&ApplyInPlaceAsync, lumeno::kApplyInPlaceAsyncDeclaration),
};

const ZARKconstantDefinition kConstants[] = {
    {"NTSC_PAL = 0", {}},
    {"ITU_R = 1", {}},
    {"AVERAGE = 2", {}},
    {"WEIGHTEDAVERAGE = 3", {}},
};

}  // namespace

ZARKclassDefinition GrayscaleEffectRaw = lumeno::Class({
    .name = "GrayscaleEffectRaw",
    .superName = "MPImageFilterRaw",
    .dataSize = sizeof(GrayscaleData),
    .constructor = &Construct,
    .destructor = &MaskField::Release,
    .properties = kProperties,
    .methods = kMethods,
    .interfaces = lumeno::kProcessorInterfaces,
    .constants = kConstants,
});

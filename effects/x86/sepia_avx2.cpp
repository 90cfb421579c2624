// Sepia's rows with AVX2. At 8 bits, eight 4-byte pixels at a time, the
// form of effects/x86/sepia_sse2.cpp in 256-bit vectors. At 16 bits, four
// pixels of four samples (8 bytes) at a time: luminance, its truncation and
// limit in double lanes; then, in large bands whose tinted channels are
// checked to be y + k limited for every y, saturating 16-bit adds and
// subtracts, and otherwise the shifted channel sums in double lanes, their
// rounding to single precision, limits and truncation in float lanes. Each
// step is the operation one pixel at a time performs, so the samples are the
// same.
#include <immintrin.h>

#include "effects/sepia_kernel.h"
#include "engine/x86/lanes_avx2.h"

namespace lumeno::sepia {

namespace {

// The layout test of the 16-bit rows.
bool PrepareVector16(const GenericMPParams& p, const Samples& at, Vector16* v) {
  if (p.srcPixelBytes != 8 || p.dstPixelBytes != 8) return false;
  const int32_t src[3] = {at.srcRed, at.srcGreen, at.srcBlue};
  const int32_t dst[3] = {at.dstRed, at.dstGreen, at.dstBlue};
  *v = {};
  uint64_t written = 0;
  for (int k = 0; k < 3; ++k) {
    if (src[k] < 0 || src[k] > 3 || dst[k] < 0 || dst[k] > 3) return false;
    v->srcShift[k] = 16 * src[k];
    v->dstShift[k] = 16 * dst[k];
    const uint64_t sample = uint64_t{0xFFFF} << v->dstShift[k];
    if ((written & sample) != 0) return false;  // one store order to keep: leave it to the loop
    written |= sample;
  }
  if (at.copyAlpha) {
    if (at.dstAlpha < 0 || at.dstAlpha > 3) return false;
    const uint64_t sample = uint64_t{0xFFFF} << (16 * at.dstAlpha);
    if ((written & sample) != 0) return false;
    written |= sample;
    if (!at.loadAlpha) {
      v->opaque = sample;
    } else if (at.srcAlpha == at.dstAlpha) {
      v->srcKeep = sample;
    } else {
      return false;
    }
  }
  v->dstKeep = ~written;
  return true;
}

// One tinted channel in four lanes: the double sum rounded to single
// precision, limited to [0, 65535] there (no lane is NaN), then truncated.
inline __m128i TintLanes16(__m256d value) {
  __m128 f = _mm256_cvtpd_ps(value);
  f = _mm_max_ps(f, _mm_setzero_ps());
  f = _mm_min_ps(f, _mm_set1_ps(65535.0f));
  return _mm_cvttps_epi32(f);
}

// Whether a 16-bit tinted channel, as the float lanes above compute it for
// every whole luminance y, is min(max(y + k, 0), 65535) for one k, checked
// value by value. k is the channel's value at 0 where that is positive, else
// its value at 65535 less 65535: the only k the form allows.
bool LimitedOffset16(double shift, bool subtract, int32_t* amount) {
  const __m256d by = _mm256_set1_pd(shift);
  auto tinted = [&by, subtract](__m128i y) {
    const __m256d value = _mm256_cvtepi32_pd(y);
    return TintLanes16(subtract ? _mm256_sub_pd(value, by) : _mm256_add_pd(value, by));
  };
  const __m128i ends = tinted(_mm_setr_epi32(0, 65535, 0, 0));
  const int32_t first = _mm_cvtsi128_si32(ends);
  const int32_t last = _mm_cvtsi128_si32(_mm_srli_si128(ends, 4));
  const int32_t k = first > 0 ? first : last - 65535;
  const __m128i offset = _mm_set1_epi32(k);
  const __m128i top = _mm_set1_epi32(65535);
  const __m128i four = _mm_set1_epi32(4);
  __m128i y = _mm_setr_epi32(0, 1, 2, 3);
  __m128i differ = _mm_setzero_si128();
  for (int32_t i = 0; i < 65536 / 4; ++i) {
    const __m128i expected =
        _mm_min_epi32(_mm_max_epi32(_mm_add_epi32(y, offset), _mm_setzero_si128()), top);
    differ = _mm_or_si128(differ, _mm_xor_si128(tinted(y), expected));
    y = _mm_add_epi32(y, four);
  }
  *amount = k;
  return _mm_testz_si128(differ, differ) != 0;
}

// The outcome of the last level checked, kept for the bands and runs that
// follow (a check costs about as much as 80000 pixels): one word, read and
// written whole. Bits 0-13 the level, bit 14 set once filled, bit 15 whether
// all three channels have the form, then the three k, 16 bits each. Read
// and written with the compiler's atomic built-ins: std::atomic's inline
// members would be compiled here for AVX2.
uint64_t lastTintCheck = 0;
constexpr uint64_t kCheckFilled = uint64_t{1} << 14;
constexpr uint64_t kCheckValid = uint64_t{1} << 15;

// The tinted channels of a band as whole-number offsets, where all three
// have that form; checked only for bands large enough to repay it.
void CheckOffsets(const FilterJob& job, const TintShifts& shift, int32_t level, Band16* band) {
  bool& valid = band->offsets;
  int32_t* amount = band->amount;
  valid = false;
  for (int k = 0; k < 3; ++k) amount[k] = 0;
  const int64_t rows = job.endRow > job.firstRow ? int64_t{job.endRow} - job.firstRow : 0;
  if (rows * job.params->width < 65536) return;
  const bool cacheable = level >= 0 && level < (1 << 14);
  const uint64_t key = static_cast<uint64_t>(level) | kCheckFilled;
  const uint64_t last = __atomic_load_n(&lastTintCheck, __ATOMIC_RELAXED);
  if (cacheable && (last & (kCheckFilled | (kCheckFilled - 1))) == key) {
    valid = (last & kCheckValid) != 0;
    for (int k = 0; k < 3; ++k) {
      amount[k] = static_cast<int16_t>(static_cast<uint16_t>(last >> (16 * (k + 1))));
    }
    return;
  }
  valid = LimitedOffset16(shift.red, false, &amount[0]) &&
          LimitedOffset16(shift.green, true, &amount[1]) &&
          LimitedOffset16(shift.blue, true, &amount[2]);
  bool fits = true;
  for (int k = 0; k < 3; ++k) fits = fits && amount[k] >= INT16_MIN && amount[k] <= INT16_MAX;
  if (cacheable && fits) {
    uint64_t word = key | (valid ? kCheckValid : 0);
    for (int k = 0; k < 3; ++k) {
      word |= uint64_t{static_cast<uint16_t>(static_cast<int16_t>(amount[k]))} << (16 * (k + 1));
    }
    __atomic_store_n(&lastTintCheck, word, __ATOMIC_RELAXED);
  }
}

// Returns the number of pixels done.
template <bool kOffsets>
int32_t RowOf16(const Band16& band, const uint8_t* src, uint8_t* dst, int32_t width) {
  const Vector16& v = band.v;
  const TintShifts& shift = band.shift;
  const __m256i low = _mm256_set1_epi64x(0xFFFF);
  const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m256d weightRed = _mm256_set1_pd(kWeightRed);
  const __m256d weightGreen = _mm256_set1_pd(kWeightGreen);
  const __m256d weightBlue = _mm256_set1_pd(kWeightBlue);
  const __m256d shiftRed = _mm256_set1_pd(shift.red);
  const __m256d shiftGreen = _mm256_set1_pd(shift.green);
  const __m256d shiftBlue = _mm256_set1_pd(shift.blue);
  const __m128i top = _mm_set1_epi32(65535);
  __m128i srcShift[3], dstShift[3], raise[3], lower[3];
  for (int k = 0; k < 3; ++k) {
    srcShift[k] = _mm_cvtsi32_si128(v.srcShift[k]);
    dstShift[k] = _mm_cvtsi32_si128(v.dstShift[k]);
    // y + k limited to [0, 65535] as a saturating add of k's positive part
    // and a saturating subtract of its negative part, in the low half of
    // each 32-bit lane.
    const int32_t k16 = band.amount[k];
    raise[k] = _mm_set1_epi32(k16 > 0 ? k16 : 0);
    lower[k] = _mm_set1_epi32(k16 < 0 ? -k16 : 0);
  }
  const __m256i srcKeep = _mm256_set1_epi64x(static_cast<int64_t>(band.srcKeep));
  const __m256i dstKeep = _mm256_set1_epi64x(static_cast<int64_t>(v.dstKeep));
  const __m256i opaque = _mm256_set1_epi64x(static_cast<int64_t>(v.opaque));
  // The sample at a bit position of each 64-bit pixel, as four doubles.
  auto channel = [&](__m256i pixels, __m128i at) {
    const __m256i wide = _mm256_and_si256(_mm256_srl_epi64(pixels, at), low);
    return _mm256_cvtepi32_pd(_mm256_castsi256_si128(_mm256_permutevar8x32_epi32(wide, pick)));
  };
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 8));
    const __m256d luma =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(channel(pixels, srcShift[0]), weightRed),
                                    _mm256_mul_pd(channel(pixels, srcShift[1]), weightGreen)),
                      _mm256_mul_pd(channel(pixels, srcShift[2]), weightBlue));
    const __m128i yi = _mm_min_epi32(_mm256_cvttpd_epi32(luma), top);
    __m128i red, green, blue;
    if constexpr (kOffsets) {
      red = _mm_subs_epu16(_mm_adds_epu16(yi, raise[0]), lower[0]);
      green = _mm_subs_epu16(_mm_adds_epu16(yi, raise[1]), lower[1]);
      blue = _mm_subs_epu16(_mm_adds_epu16(yi, raise[2]), lower[2]);
    } else {
      const __m256d y = _mm256_cvtepi32_pd(yi);
      red = TintLanes16(_mm256_add_pd(y, shiftRed));
      green = TintLanes16(_mm256_sub_pd(y, shiftGreen));
      blue = TintLanes16(_mm256_sub_pd(y, shiftBlue));
    }
    __m256i out = _mm256_or_si256(_mm256_and_si256(pixels, srcKeep), opaque);
    out = _mm256_or_si256(out, _mm256_sll_epi64(_mm256_cvtepu32_epi64(red), dstShift[0]));
    out = _mm256_or_si256(out, _mm256_sll_epi64(_mm256_cvtepu32_epi64(green), dstShift[1]));
    out = _mm256_or_si256(out, _mm256_sll_epi64(_mm256_cvtepu32_epi64(blue), dstShift[2]));
    __m256i* to = reinterpret_cast<__m256i*>(dst + static_cast<int64_t>(x) * 8);
    if (band.readDestination) {
      out = _mm256_or_si256(out, _mm256_and_si256(_mm256_loadu_si256(to), dstKeep));
    }
    _mm256_storeu_si256(to, out);
  }
  return x;
}

}  // namespace

bool PrepareBand16Avx2(const FilterJob& job, const Samples& at, const TintShifts& shift,
                       int32_t sepiaLevel, Band16* band) {
  const GenericMPParams& p = *job.params;
  if (!PrepareVector16(p, at, &band->v)) return false;
  const bool inPlace = p.srcPixels == p.dstPixels && p.srcRowBytes == p.dstRowBytes;
  band->readDestination = !inPlace && band->v.dstKeep != 0;
  band->srcKeep = inPlace ? band->v.srcKeep | band->v.dstKeep : band->v.srcKeep;
  band->shift = shift;
  CheckOffsets(job, shift, sepiaLevel, band);
  return true;
}

int32_t Row16Avx2(const Band16& band, const uint8_t* src, uint8_t* dst, int32_t width) {
  return band.offsets ? RowOf16<true>(band, src, dst, width)
                      : RowOf16<false>(band, src, dst, width);
}

// Eight pixels at a time with 256-bit vectors; returns the number of pixels
// done.
int32_t Row8Avx2(const Vector8& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width) {
  const __m256i top = _mm256_set1_epi32(255);
  const __m256d weightRed = _mm256_set1_pd(kWeightRed);
  const __m256d weightGreen = _mm256_set1_pd(kWeightGreen);
  const __m256d weightBlue = _mm256_set1_pd(kWeightBlue);
  const __m128i shiftRed = _mm_cvtsi32_si128(v.srcShift[0]);
  const __m128i shiftGreen = _mm_cvtsi32_si128(v.srcShift[1]);
  const __m128i shiftBlue = _mm_cvtsi32_si128(v.srcShift[2]);
  const __m256i colour = _mm256_set1_epi32(static_cast<int32_t>(v.colour));
  const __m256i raise = _mm256_set1_epi32(static_cast<int32_t>(v.raise));
  const __m256i lower = _mm256_set1_epi32(static_cast<int32_t>(v.lower));
  const __m256i srcKeep = _mm256_set1_epi32(static_cast<int32_t>(lanes.srcKeep));
  const __m256i dstKeep = _mm256_set1_epi32(static_cast<int32_t>(v.dstKeep));
  const __m256i opaque = _mm256_set1_epi32(static_cast<int32_t>(v.opaque));
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i pixels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<int64_t>(x) * 4));
    const __m256i y =
        WeightedSum8(ByteLanes8(pixels, shiftRed), ByteLanes8(pixels, shiftGreen),
                     ByteLanes8(pixels, shiftBlue), weightRed, weightGreen, weightBlue);
    const __m256i spread = SpreadByte8(_mm256_min_epi16(y, top));
    const __m256i tinted = _mm256_subs_epu8(_mm256_adds_epu8(spread, raise), lower);
    const __m256i out = _mm256_or_si256(_mm256_and_si256(tinted, colour),
                                        _mm256_or_si256(_mm256_and_si256(pixels, srcKeep), opaque));
    StoreKeeping8(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
  }
  // The rest of the row four at a time, as far as it goes.
  if (width - x < 4) return x;
  return x + Row8Sse2(v, lanes, src + static_cast<int64_t>(x) * 4,
                      dst + static_cast<int64_t>(x) * 4, width - x);
}

}  // namespace lumeno::sepia

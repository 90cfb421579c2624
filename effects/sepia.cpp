// SepiaEffectRaw: reduces each pixel to its luminance and rebuilds the three
// colour channels from it, shifted along a fixed brown direction (red up,
// green slightly down, blue down) whose length grows with SepiaValue (0..1).
// A gray source given to Apply is promoted to a colour destination by the
// engine, and its one gray sample feeds all three colour reads.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/cpu_level.h"
#include "engine/filter_base.h"
#include "engine/pixel_lanes.h"

#if defined(LUMENO_X86)
#include <immintrin.h>
#endif

namespace {

using lumeno::TruncToInt;

// Instance data following MPImageFilterData.
struct SepiaData {
  float sepiaValue;
  ZARKobjectStruct* mask;  // RawBitmapMask, held while stored
};
static_assert(sizeof(SepiaData) == 16);

// The effect's parameter block and the context record of one run.
struct SepiaParams {
  int32_t sepiaLevel;
  int32_t srcRedIndex;  // byte offsets at 8 bits, sample indices at 16 bits
  int32_t srcGreenIndex;
  int32_t srcBlueIndex;
};
struct SepiaContext {
  GenericMPParams base;
  SepiaParams sepia;
};
static_assert(offsetof(SepiaContext, sepia) == sizeof(GenericMPParams));

SepiaData* Data(ZARKobjectStruct* self) {
  return static_cast<SepiaData*>(ZARKGetClassData(self, &SepiaEffectRaw));
}

using MaskField = lumeno::MaskMember<SepiaData, &SepiaEffectRaw>;

// One tinted channel: the double sum is rounded to single precision, limited
// to the channel range there, then truncated.
template <int kBits>
uint32_t TintedChannel(double value) {
  constexpr float kTop = static_cast<float>(lumeno::Depth<kBits>::kMax);
  float f = static_cast<float>(value);
  if (f < 0.0f) {
    f = 0.0f;
  } else if (f > kTop) {
    f = kTop;
  }
  return static_cast<uint32_t>(TruncToInt(f));
}

// TintedChannel without branches, for values known to be finite and within
// the float range (a whole luminance plus or minus the level's shift): the
// limits become min and max, the truncation a plain conversion.
template <int kBits>
inline uint32_t TintedChannelLimited(double value) {
  constexpr float kTop = static_cast<float>(lumeno::Depth<kBits>::kMax);
  float f = static_cast<float>(value);
  f = f < 0.0f ? 0.0f : f;
  f = f > kTop ? kTop : f;
  return static_cast<uint32_t>(static_cast<int32_t>(f));
}

// The per-pixel data every worker of a band shares: where the channels are
// read and written, and what happens to alpha. Indices count samples (bytes
// at 8 bits); at 16 bits a destination byte offset names the sample that
// starts at it, rounded down to even.
template <int kBits>
struct SepiaLayout {
  int32_t srcRed, srcGreen, srcBlue, srcAlpha;
  int32_t dstRed, dstGreen, dstBlue, dstAlpha;
  bool copyAlpha;  // the destination has alpha
  bool loadAlpha;  // ... and the source has one to copy; otherwise opaque

  SepiaLayout(const GenericMPParams& p, const SepiaParams& sepia) {
    constexpr int32_t kSampleBytes = kBits / 8;
    const RawBitmap& source = *p.source;
    const RawBitmap& destination = *p.destination;
    srcRed = sepia.srcRedIndex;
    srcGreen = sepia.srcGreenIndex;
    srcBlue = sepia.srcBlueIndex;
    dstRed = destination.redOffset / kSampleBytes;
    dstGreen = destination.greenOffset / kSampleBytes;
    dstBlue = destination.blueOffset / kSampleBytes;
    copyAlpha = destination.hasAlpha != 0;
    dstAlpha = destination.alphaOffset / kSampleBytes;
    // A gray source without alpha promoted to a colour format with alpha has
    // no alpha sample to copy: such pixels come out opaque.
    srcAlpha = source.alphaOffset / kSampleBytes;
    const bool sourceHasAlpha =
        source.hasAlpha != 0 && srcAlpha * kSampleBytes < source.bytesPerPixel;
    loadAlpha = copyAlpha && sourceHasAlpha;
  }
};

// The brown shift of each tinted channel for a run's level.
struct TintShifts {
  double red, green, blue;
  explicit TintShifts(int32_t sepiaLevel) {
    const double level = static_cast<double>(sepiaLevel);
    red = level * 0.956;
    green = level * 0.272;
    blue = level * 1.105;
  }
};

// The luminance, summed in this order and truncated to a whole channel
// value. The weights sum to 1, so the sum lies in [0, kMax] (give or take
// rounding): a plain conversion truncates it, the limit guards the tables.
template <int kBits>
inline uint32_t Luminance(uint32_t r, uint32_t g, uint32_t b) {
  const double luma = (static_cast<double>(r) * 0.299 + static_cast<double>(g) * 0.587) +
                      static_cast<double>(b) * 0.114;
  const uint32_t yi = static_cast<uint32_t>(static_cast<int32_t>(luma));
  return yi > lumeno::Depth<kBits>::kMax ? lumeno::Depth<kBits>::kMax : yi;
}

// One 16-bit pixel, the tinted channels by formula.
template <bool kMasked>
inline void Sepia16Pixel(const SepiaLayout<16>& at, const TintShifts& shift, const uint8_t* s,
                         uint8_t* d, uint32_t m) {
  using lumeno::LoadSample;
  using lumeno::StoreSample;
  const uint32_t r = LoadSample<16>(s, at.srcRed);
  const uint32_t g = LoadSample<16>(s, at.srcGreen);
  const uint32_t b = LoadSample<16>(s, at.srcBlue);
  const uint32_t alpha = at.loadAlpha ? LoadSample<16>(s, at.srcAlpha) : 65535u;
  const double y = static_cast<double>(Luminance<16>(r, g, b));
  uint32_t red = TintedChannelLimited<16>(y + shift.red);
  uint32_t green = TintedChannelLimited<16>(y - shift.green);
  uint32_t blue = TintedChannelLimited<16>(y - shift.blue);
  if constexpr (kMasked) {
    red = lumeno::MaskMix16(r, red, m);
    green = lumeno::MaskMix16(g, green, m);
    blue = lumeno::MaskMix16(b, blue, m);
  }
  StoreSample<16>(d, at.dstRed, red);
  StoreSample<16>(d, at.dstGreen, green);
  StoreSample<16>(d, at.dstBlue, blue);
  if (at.copyAlpha) StoreSample<16>(d, at.dstAlpha, alpha);
}

#if defined(LUMENO_X86)
// Four-sample 16-bit pixels (8 bytes) in source and destination, four at a
// time in 256-bit vectors: luminance, its truncation and limit in double
// lanes; then, in large bands whose tinted channels are checked to be
// y + k limited for every y, saturating 16-bit adds and subtracts, and
// otherwise the shifted channel sums in double lanes, their rounding to
// single precision, limits and truncation in float lanes. Each step is the
// operation one pixel at a time performs, so the samples are the same.
struct Sepia16Vector {
  int32_t srcShift[3];  // bit positions of red, green, blue in the 64-bit pixel
  int32_t dstShift[3];
  uint64_t srcKeep;  // destination bits taken from the source pixel (alpha)
  uint64_t dstKeep;  // destination bits left as they are
  uint64_t opaque;   // destination bits set (alpha without a source alpha)
};

bool PrepareSepia16Vector(const GenericMPParams& p, const SepiaLayout<16>& at, Sepia16Vector* v) {
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
LUMENO_AVX2 inline __m128i TintLanes16(__m256d value) {
  __m128 f = _mm256_cvtpd_ps(value);
  f = _mm_max_ps(f, _mm_setzero_ps());
  f = _mm_min_ps(f, _mm_set1_ps(65535.0f));
  return _mm_cvttps_epi32(f);
}

// Whether a 16-bit tinted channel, as the float lanes above compute it for
// every whole luminance y, is min(max(y + k, 0), 65535) for one k, checked
// value by value. k is the channel's value at 0 where that is positive, else
// its value at 65535 less 65535: the only k the form allows.
LUMENO_AVX2 bool LimitedOffset16(double shift, bool subtract, int32_t* amount) {
  const __m256d by = _mm256_set1_pd(shift);
  auto tinted = [&by, subtract](__m128i y) LUMENO_AVX2 {
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
// all three channels have the form, then the three k, 16 bits each.
std::atomic<uint64_t> lastTintCheck{0};
constexpr uint64_t kCheckFilled = uint64_t{1} << 14;
constexpr uint64_t kCheckValid = uint64_t{1} << 15;

// The tinted channels of a band as whole-number offsets, where all three
// have that form; checked only for bands large enough to repay it.
struct TintOffsets16 {
  bool valid = false;
  int32_t amount[3] = {0, 0, 0};
  TintOffsets16(const FilterJob& job, const TintShifts& shift, int32_t level) {
    const int64_t rows = job.endRow > job.firstRow ? int64_t{job.endRow} - job.firstRow : 0;
    if (rows * job.params->width < 65536) return;
    const bool cacheable = level >= 0 && level < (1 << 14);
    const uint64_t key = static_cast<uint64_t>(level) | kCheckFilled;
    const uint64_t last = lastTintCheck.load(std::memory_order_relaxed);
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
    for (const int32_t k : amount) fits = fits && k >= INT16_MIN && k <= INT16_MAX;
    if (cacheable && fits) {
      uint64_t word = key | (valid ? kCheckValid : 0);
      for (int k = 0; k < 3; ++k) {
        word |= uint64_t{static_cast<uint16_t>(static_cast<int16_t>(amount[k]))} << (16 * (k + 1));
      }
      lastTintCheck.store(word, std::memory_order_relaxed);
    }
  }
};

// Returns the number of pixels done.
template <bool kOffsets>
LUMENO_AVX2 int32_t Sepia16RowAvx2(const Sepia16Vector& v, const TintShifts& shift,
                                   const TintOffsets16& offsets, bool readDestination,
                                   uint64_t srcKeepBits, const uint8_t* src, uint8_t* dst,
                                   int32_t width) {
  const __m256i low = _mm256_set1_epi64x(0xFFFF);
  const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m256d weightRed = _mm256_set1_pd(0.299);
  const __m256d weightGreen = _mm256_set1_pd(0.587);
  const __m256d weightBlue = _mm256_set1_pd(0.114);
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
    const int32_t k16 = offsets.amount[k];
    raise[k] = _mm_set1_epi32(k16 > 0 ? k16 : 0);
    lower[k] = _mm_set1_epi32(k16 < 0 ? -k16 : 0);
  }
  const __m256i srcKeep = _mm256_set1_epi64x(static_cast<int64_t>(srcKeepBits));
  const __m256i dstKeep = _mm256_set1_epi64x(static_cast<int64_t>(v.dstKeep));
  const __m256i opaque = _mm256_set1_epi64x(static_cast<int64_t>(v.opaque));
  // The sample at a bit position of each 64-bit pixel, as four doubles.
  auto channel = [&](__m256i pixels, __m128i at) LUMENO_AVX2 {
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
    if (readDestination) {
      out = _mm256_or_si256(out, _mm256_and_si256(_mm256_loadu_si256(to), dstKeep));
    }
    _mm256_storeu_si256(to, out);
  }
  return x;
}

void* WalkSepia16Vector(void* jobPointer, const SepiaLayout<16>& at, const TintShifts& shift,
                        const Sepia16Vector& v) {
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t width = p.width;
  const bool inPlace = p.srcPixels == p.dstPixels && p.srcRowBytes == p.dstRowBytes;
  const bool readDestination = !inPlace && v.dstKeep != 0;
  const uint64_t srcKeep = inPlace ? v.srcKeep | v.dstKeep : v.srcKeep;
  const SepiaParams& sepia = reinterpret_cast<const SepiaContext&>(p).sepia;
  const TintOffsets16 offsets(*static_cast<FilterJob*>(jobPointer), shift, sepia.sepiaLevel);
  return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
    int32_t x =
        offsets.valid
            ? Sepia16RowAvx2<true>(v, shift, offsets, readDestination, srcKeep, src, dst, width)
            : Sepia16RowAvx2<false>(v, shift, offsets, readDestination, srcKeep, src, dst, width);
    for (; x < width; ++x) {
      Sepia16Pixel<false>(at, shift, src + static_cast<int64_t>(x) * 8,
                          dst + static_cast<int64_t>(x) * 8, 0);
    }
  });
}
#endif

// The 16-bit row worker, plain or masked. Plain bands of four-sample pixels
// go through the vector loop where the processor and the layout allow it.
template <bool kMasked>
void* SepiaRows16(void* jobPointer) {
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const SepiaParams& sepia = reinterpret_cast<const SepiaContext&>(p).sepia;
  const SepiaLayout<16> at(p, sepia);
  const TintShifts shift(sepia.sepiaLevel);
#if defined(LUMENO_X86)
  if constexpr (!kMasked) {
    Sepia16Vector vector;
    if (lumeno::ActiveCpuLevel() != lumeno::CpuLevel::kBaseline &&
        PrepareSepia16Vector(p, at, &vector)) {
      return WalkSepia16Vector(jobPointer, at, shift, vector);
    }
  }
#endif
  return lumeno::ForEachPixel<16, kMasked>(
      jobPointer,
      [&](const uint8_t* s, uint8_t* d, uint32_t m) { Sepia16Pixel<kMasked>(at, shift, s, d, m); });
}

// -- 8 bits --------------------------------------------------------------------
//
// An 8-bit band works from tables. The luminance products: each entry is the
// double the formula forms for that value (converted, then multiplied), so a
// sum of entries in the formula's order is the formula's own sum. The tinted
// channels depend on the whole luminance value alone: three tables, each
// entry the channel's own formula.
struct Sepia8Tables {
  double lumaRed[256];
  double lumaGreen[256];
  double lumaBlue[256];
  uint8_t red[256];
  uint8_t green[256];
  uint8_t blue[256];

  explicit Sepia8Tables(int32_t sepiaLevel) {
    const TintShifts shift(sepiaLevel);
    for (int32_t v = 0; v < 256; ++v) {
      const double y = static_cast<double>(v);
      lumaRed[v] = y * 0.299;
      lumaGreen[v] = y * 0.587;
      lumaBlue[v] = y * 0.114;
      red[v] = static_cast<uint8_t>(TintedChannel<8>(y + shift.red));
      green[v] = static_cast<uint8_t>(TintedChannel<8>(y - shift.green));
      blue[v] = static_cast<uint8_t>(TintedChannel<8>(y - shift.blue));
    }
  }

  uint32_t Luminance(uint32_t r, uint32_t g, uint32_t b) const {
    const double luma = (lumaRed[r] + lumaGreen[g]) + lumaBlue[b];
    const uint32_t yi = static_cast<uint32_t>(static_cast<int32_t>(luma));
    return yi > 255u ? 255u : yi;
  }
};

// One 8-bit pixel through the tables.
template <bool kMasked>
inline void Sepia8Pixel(const Sepia8Tables& t, const SepiaLayout<8>& at, const uint8_t* s,
                        uint8_t* d, uint32_t m) {
  const uint32_t r = s[at.srcRed];
  const uint32_t g = s[at.srcGreen];
  const uint32_t b = s[at.srcBlue];
  const uint8_t alpha = at.loadAlpha ? s[at.srcAlpha] : uint8_t{255};
  const uint32_t y = t.Luminance(r, g, b);
  uint32_t red = t.red[y];
  uint32_t green = t.green[y];
  uint32_t blue = t.blue[y];
  if constexpr (kMasked) {
    red = lumeno::MaskMix8(r, red, m);
    green = lumeno::MaskMix8(g, green, m);
    blue = lumeno::MaskMix8(b, blue, m);
  }
  d[at.dstRed] = static_cast<uint8_t>(red);
  d[at.dstGreen] = static_cast<uint8_t>(green);
  d[at.dstBlue] = static_cast<uint8_t>(blue);
  if (at.copyAlpha) d[at.dstAlpha] = alpha;
}

// Plain pixels of a fixed step in source and destination (3 or 4 bytes):
// the compiler keeps the step out of the address arithmetic.
template <int kStep>
void* WalkSepia8(void* jobPointer, const Sepia8Tables& t, const SepiaLayout<8>& at) {
  const int32_t width = static_cast<FilterJob*>(jobPointer)->params->width;
  return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
    for (int32_t x = 0; x < width; ++x) {
      Sepia8Pixel<false>(t, at, src + static_cast<int64_t>(x) * kStep,
                         dst + static_cast<int64_t>(x) * kStep, 0);
    }
  });
}

// A tinted channel table of the form min(max(y + k, 0), 255): its amount k,
// found by comparing every entry (so the operation gives the table's bytes).
bool LimitedOffset(const uint8_t* table, int32_t* amount) {
  for (const int32_t k : {int32_t{table[0]}, int32_t{table[255]} - 255}) {
    bool same = true;
    for (int32_t y = 0; y < 256 && same; ++y) {
      const int32_t v = y + k;
      same = table[y] == (v < 0 ? 0 : v > 255 ? 255 : v);
    }
    if (same) {
      *amount = k;
      return true;
    }
  }
  return false;
}

#if defined(__SSE2__)
// Four-byte pixels in source and destination, several at a time: the
// luminance in double lanes (the same conversions, products and sums in the
// same order as one pixel at a time, truncated by the truncating
// conversion), then the luminance in every byte of its pixel and each
// tinted channel as a saturating byte add or subtract of the table's k
// (where every table has the form y + k limited to the channel range,
// checked entry by entry), and the bytes that are no channel kept or set as
// one pixel would.
struct Sepia8Vector {
  int32_t srcShift[3];  // bit positions of red, green, blue in the 32-bit pixel
  uint32_t colour;      // destination bits of the three tinted channels
  uint32_t raise;       // per destination byte: k where positive
  uint32_t lower;       // per destination byte: -k where negative
  uint32_t srcKeep;     // destination bits taken from the source pixel (alpha)
  uint32_t dstKeep;     // destination bits left as they are
  uint32_t opaque;      // destination bits set (alpha without a source alpha)
};

bool PrepareSepia8Vector(const GenericMPParams& p, const SepiaLayout<8>& at, const Sepia8Tables& t,
                         Sepia8Vector* v) {
  if (p.srcPixelBytes != 4 || p.dstPixelBytes != 4) return false;
  const int32_t src[3] = {at.srcRed, at.srcGreen, at.srcBlue};
  const int32_t dst[3] = {at.dstRed, at.dstGreen, at.dstBlue};
  const uint8_t* tables[3] = {t.red, t.green, t.blue};
  *v = {};
  uint32_t written = 0;
  for (int k = 0; k < 3; ++k) {
    int32_t amount = 0;
    if (src[k] < 0 || src[k] > 3 || dst[k] < 0 || dst[k] > 3) return false;
    if (!LimitedOffset(tables[k], &amount)) return false;
    v->srcShift[k] = 8 * src[k];
    const int32_t bit = 8 * dst[k];
    const uint32_t byte = 0xFFu << bit;
    if ((written & byte) != 0) return false;  // one store order to keep: leave it to the loop
    written |= byte;
    if (amount >= 0) {
      v->raise |= static_cast<uint32_t>(amount) << bit;
    } else {
      v->lower |= static_cast<uint32_t>(-amount) << bit;
    }
  }
  v->colour = written;
  if (at.copyAlpha) {
    if (at.dstAlpha < 0 || at.dstAlpha > 3) return false;
    const uint32_t byte = 0xFFu << (8 * at.dstAlpha);
    if ((written & byte) != 0) return false;
    written |= byte;
    if (!at.loadAlpha) {
      v->opaque = byte;
    } else if (at.srcAlpha == at.dstAlpha) {
      v->srcKeep = byte;
    } else {
      return false;
    }
  }
  v->dstKeep = ~written;
  return true;
}

#if defined(LUMENO_X86)
// Eight pixels at a time with 256-bit vectors; returns the number of pixels
// done.
LUMENO_AVX2 int32_t SepiaRowAvx2(const Sepia8Vector& v, const lumeno::StoreLanes& lanes,
                                 const uint8_t* src, uint8_t* dst, int32_t width) {
  const __m256i top = _mm256_set1_epi32(255);
  const __m256d weightRed = _mm256_set1_pd(0.299);
  const __m256d weightGreen = _mm256_set1_pd(0.587);
  const __m256d weightBlue = _mm256_set1_pd(0.114);
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
    const __m256i y = lumeno::WeightedSum8(
        lumeno::ByteLanes8(pixels, shiftRed), lumeno::ByteLanes8(pixels, shiftGreen),
        lumeno::ByteLanes8(pixels, shiftBlue), weightRed, weightGreen, weightBlue);
    const __m256i spread = lumeno::SpreadByte8(_mm256_min_epi16(y, top));
    const __m256i tinted = _mm256_subs_epu8(_mm256_adds_epu8(spread, raise), lower);
    const __m256i out = _mm256_or_si256(_mm256_and_si256(tinted, colour),
                                        _mm256_or_si256(_mm256_and_si256(pixels, srcKeep), opaque));
    lumeno::StoreKeeping8(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
  }
  return x;
}
#endif

void* WalkSepia8Vector(void* jobPointer, const Sepia8Tables& t, const SepiaLayout<8>& at,
                       const Sepia8Vector& v) {
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t width = p.width;
  const lumeno::StoreLanes lanes(p, v.srcKeep, v.dstKeep);
#if defined(LUMENO_X86)
  const bool wide = lumeno::ActiveCpuLevel() != lumeno::CpuLevel::kBaseline;
#else
  constexpr bool wide = false;
#endif
  const __m128i top = _mm_set1_epi32(255);
  const __m128d weightRed = _mm_set1_pd(0.299);
  const __m128d weightGreen = _mm_set1_pd(0.587);
  const __m128d weightBlue = _mm_set1_pd(0.114);
  const __m128i shiftRed = _mm_cvtsi32_si128(v.srcShift[0]);
  const __m128i shiftGreen = _mm_cvtsi32_si128(v.srcShift[1]);
  const __m128i shiftBlue = _mm_cvtsi32_si128(v.srcShift[2]);
  const __m128i colour = _mm_set1_epi32(static_cast<int32_t>(v.colour));
  const __m128i raise = _mm_set1_epi32(static_cast<int32_t>(v.raise));
  const __m128i lower = _mm_set1_epi32(static_cast<int32_t>(v.lower));
  const __m128i srcKeep = _mm_set1_epi32(static_cast<int32_t>(lanes.srcKeep));
  const __m128i dstKeep = _mm_set1_epi32(static_cast<int32_t>(v.dstKeep));
  const __m128i opaque = _mm_set1_epi32(static_cast<int32_t>(v.opaque));
  return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
    int32_t x = 0;
#if defined(LUMENO_X86)
    if (wide) x = SepiaRowAvx2(v, lanes, src, dst, width);
#endif
    for (; x + 4 <= width; x += 4) {
      const __m128i pixels =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + static_cast<int64_t>(x) * 4));
      const __m128i y = lumeno::WeightedSum4(
          lumeno::ByteLanes4(pixels, shiftRed), lumeno::ByteLanes4(pixels, shiftGreen),
          lumeno::ByteLanes4(pixels, shiftBlue), weightRed, weightGreen, weightBlue);
      const __m128i spread = lumeno::SpreadByte4(_mm_min_epi16(y, top));
      const __m128i tinted = _mm_subs_epu8(_mm_adds_epu8(spread, raise), lower);
      const __m128i out = _mm_or_si128(_mm_and_si128(tinted, colour),
                                       _mm_or_si128(_mm_and_si128(pixels, srcKeep), opaque));
      lumeno::StoreKeeping4(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
    }
    for (; x < width; ++x) {
      Sepia8Pixel<false>(t, at, src + static_cast<int64_t>(x) * 4,
                         dst + static_cast<int64_t>(x) * 4, 0);
    }
  });
}
#endif

// The 8-bit row worker, plain or masked. Plain bands of 4-byte pixels go
// through the vector loop where the layout allows it, plain bands of 3- or
// 4-byte pixels through a loop of that step, the rest pixel by pixel.
template <bool kMasked>
void* SepiaRows8(void* jobPointer) {
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const SepiaParams& sepia = reinterpret_cast<const SepiaContext&>(p).sepia;
  const SepiaLayout<8> at(p, sepia);
  const Sepia8Tables tables(sepia.sepiaLevel);
  if constexpr (!kMasked) {
#if defined(__SSE2__)
    Sepia8Vector vector;
    if (PrepareSepia8Vector(p, at, tables, &vector)) {
      return WalkSepia8Vector(jobPointer, tables, at, vector);
    }
#endif
    if (p.srcPixelBytes == 4 && p.dstPixelBytes == 4) return WalkSepia8<4>(jobPointer, tables, at);
    if (p.srcPixelBytes == 3 && p.dstPixelBytes == 3) return WalkSepia8<3>(jobPointer, tables, at);
  }
  return lumeno::ForEachPixel<8, kMasked>(
      jobPointer,
      [&](const uint8_t* s, uint8_t* d, uint32_t m) { Sepia8Pixel<kMasked>(tables, at, s, d, m); });
}

}  // namespace

#include "engine/effect_frame.h"

namespace {

struct Sepia : lumeno::OneValueDescription {
  static constexpr ZARKclassDefinition* kRecord = &SepiaEffectRaw;
  using Data = SepiaData;
  using Params = SepiaContext;
  static constexpr lumeno::AsyncAllocation kAllocation = lumeno::AsyncAllocation::kFirst;
  // Copy the source's extra data and promote a gray source to colour.
  static constexpr signed char kNewBitmapOptions =
      kDestinationCopyExtraData | kDestinationGrayPromotion;

  static void Construct(Data& data) {
    data.sepiaValue = 0.3f;
    data.mask = nullptr;
  }
  static Values Stored(const Data& data) { return {data.sepiaValue}; }

  // Below 0, no source, above 1; NaN passes.
  static bool Accepts(Values v, ZARKobjectStruct* source, lumeno::Form) {
    return !(v.value < 0.0f || source == nullptr || v.value > 1.0f);
  }

  // A new-bitmap run on a gray source reads its gray sample for all three
  // channels; in place the source's own offsets are used as they stand.
  static bool Prepare(Values v, const RawBitmap& source, lumeno::Form form, Params* context,
                      lumeno::EffectWorkers* workers) {
    SepiaParams& params = context->sepia;
    if (!lumeno::IsInPlace(form) && source.channelCount <= 2) {
      params.srcRedIndex = source.redOffset;
      params.srcGreenIndex = source.redOffset;
      params.srcBlueIndex = source.redOffset;
    } else {
      params.srcRedIndex = source.redOffset;
      params.srcGreenIndex = source.greenOffset;
      params.srcBlueIndex = source.blueOffset;
    }
    if (source.bitsPerChannel == 16) {
      // Product and sum each rounded to single precision.
      const float product = v.value * 11565.0f;
      params.sepiaLevel = TruncToInt(product + 2570.0f);
      params.srcRedIndex >>= 1;
      params.srcGreenIndex >>= 1;
      params.srcBlueIndex >>= 1;
      *workers = {{&SepiaRows16<false>, &SepiaRows16<true>}, kDepth16 | kDepthLibraryMark};
      return true;
    }
    if (source.bitsPerChannel == 8) {
      const float product = v.value * 45.0f;
      params.sepiaLevel = TruncToInt(product + 10.0f);
      *workers = {{&SepiaRows8<false>, &SepiaRows8<true>}, kDepth8 | kDepthLibraryMark};
      return true;
    }
    return false;
  }
};

using Frame = lumeno::EffectFrame<Sepia>;
static_assert(std::is_same_v<Frame::Mask, MaskField>);

float GetSepiaValue(ZARKobjectStruct* self, intptr_t) { return Data(self)->sepiaValue; }
void SetSepiaValue(ZARKobjectStruct* self, intptr_t, float value) {
  Data(self)->sepiaValue = value;
}

const ZARKpropertyDefinition kProperties[] = {
    MaskField::Property(),
    lumeno::Property("SepiaValue", "Single", lumeno::Entry(&GetSepiaValue),
                     lumeno::Entry(&SetSepiaValue)),
};

}  // namespace

// The interface text is registered with a capital M in "BitMap".
ZARKclassDefinition SepiaEffectRaw =
    Frame::Class("SepiaEffectRaw", kProperties, "IRawBitMapProcessor, IRawBitmapProcessorAsync");

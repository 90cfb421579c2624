// The row worker contract in one place: every FilterRowProc of the library
// walks its band through ForEachRow, so counting rows, honouring a cancel
// request after each row and flagging the band done live only here. Effects
// supply the transformation of one row, of one pixel (ForEachPixel) or of
// one channel value (ChannelWorker).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "engine/table_lookup.h"
#include "lumeno/engine.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumeno {

inline std::atomic_ref<int32_t> RowsDone(GenericMPParams& p) {
  return std::atomic_ref<int32_t>(p.rowsDone);
}
inline std::atomic_ref<bool> CancelFlag(GenericMPParams& p) {
  return std::atomic_ref<bool>(p.cancel);
}
inline std::atomic_ref<bool> JobDone(FilterJob& job) { return std::atomic_ref<bool>(job.done); }

// Runs rowFn(row, srcRow, dstRow) for each row of the job. A worker always
// processes its first row; after each row it counts it and stops when a
// cancel request is pending, so a cancel finishes the row in progress.
template <typename RowFn>
inline void* ForEachRow(void* jobPointer, RowFn&& rowFn) {
  FilterJob& job = *static_cast<FilterJob*>(jobPointer);
  GenericMPParams& p = *job.params;
  for (int32_t r = job.firstRow; r < job.endRow; ++r) {
    const uint8_t* src = p.srcPixels + static_cast<int64_t>(r) * p.srcRowBytes;
    uint8_t* dst = p.dstPixels + static_cast<int64_t>(r) * p.dstRowBytes;
    rowFn(r, src, dst);
    RowsDone(p).fetch_add(1, std::memory_order_relaxed);
    if (CancelFlag(p).load(std::memory_order_relaxed)) break;
  }
  JobDone(job).store(true, std::memory_order_release);
  return nullptr;
}

// The mask blend rule: m = 0 gives the effect's value e; any other m mixes in
// the original o. The shift by 8 (16) instead of a division by 255 (65535)
// is deliberate: m = 255 yields (o * 255) >> 8, one less than o.
inline uint32_t MaskMix8(uint32_t o, uint32_t e, uint32_t m) {
  return m == 0 ? e : (o * m + e * (255u - m)) >> 8;
}
inline uint32_t MaskMix16(uint32_t o, uint32_t e, uint32_t m) {
  return m == 0 ? e : (o * m + e * (65535u - m)) >> 16;
}

// Mask lookups for one row (called once per row, then once per pixel).
inline int64_t MaskRow8(RawBitmapMask* mask, int32_t y) { return mask->GetRow8(y); }
inline uint32_t MaskValue8(RawBitmapMask* mask, int64_t row, int32_t x) {
  return mask->GetValue8(row, x) & 0xFFu;
}
inline int64_t MaskRow16(RawBitmapMask* mask, int32_t y) { return mask->GetRow16(y); }
inline uint32_t MaskValue16(RawBitmapMask* mask, int64_t row, int32_t x) {
  return mask->GetValue16(row, x) & 0xFFFFu;
}

// Float to int32 conversion truncating toward zero, with the results the
// library defines for values C++ leaves undefined: NaN gives 0, values
// beyond the int32 range saturate.
inline int32_t TruncToInt(float v) {
  if (!(v == v)) return 0;
  if (v >= 2147483648.0f) return INT32_MAX;
  if (v <= -2147483904.0f) return INT32_MIN;
  return static_cast<int32_t>(v);
}
inline int32_t TruncToInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483648.0) return INT32_MAX;
  if (v <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// -- Depth-generic helpers (kBits is 8 or 16) ---------------------------------

template <int kBits>
struct Depth;
template <>
struct Depth<8> {
  using Sample = uint8_t;
  static constexpr uint32_t kMax = 255;
};
template <>
struct Depth<16> {
  using Sample = uint16_t;
  static constexpr uint32_t kMax = 65535;
};

// Sample `index` of a pixel. 16-bit samples go through memcpy: rows of a
// 16-bit bitmap need not start on an even address.
template <int kBits>
inline uint32_t LoadSample(const uint8_t* pixel, int32_t index) {
  typename Depth<kBits>::Sample s;
  std::memcpy(&s, pixel + static_cast<int64_t>(index) * sizeof(s), sizeof(s));
  return s;
}
template <int kBits>
inline void StoreSample(uint8_t* pixel, int32_t index, uint32_t value) {
  const auto s = static_cast<typename Depth<kBits>::Sample>(value);
  std::memcpy(pixel + static_cast<int64_t>(index) * sizeof(s), &s, sizeof(s));
}

template <int kBits>
inline uint32_t MaskMix(uint32_t o, uint32_t e, uint32_t m) {
  return kBits == 8 ? MaskMix8(o, e, m) : MaskMix16(o, e, m);
}
template <int kBits>
inline int64_t MaskRow(RawBitmapMask* mask, int32_t y) {
  return kBits == 8 ? MaskRow8(mask, y) : MaskRow16(mask, y);
}
template <int kBits>
inline uint32_t MaskValue(RawBitmapMask* mask, int64_t row, int32_t x) {
  return kBits == 8 ? MaskValue8(mask, row, x) : MaskValue16(mask, row, x);
}

// A signed result limited to at most the channel maximum, then raised to at
// least 0.
template <int kBits>
inline uint32_t ClampChannel(int32_t v) {
  if (v > static_cast<int32_t>(Depth<kBits>::kMax)) v = static_cast<int32_t>(Depth<kBits>::kMax);
  if (v < 0) v = 0;
  return static_cast<uint32_t>(v);
}

// What a worker walks per pixel: 8-bit workers every byte of the pixel,
// 16-bit workers every sample; and the index that is copied as alpha.
template <int kBits>
inline int32_t SamplesPerPixel(const RawBitmap& source) {
  return static_cast<int32_t>(kBits == 8 ? source.bytesPerPixel : source.channelCount);
}
template <int kBits>
inline int32_t AlphaIndex(const RawBitmap& source) {
  return kBits == 8 ? source.alphaOffset : source.alphaOffset >> 1;
}

// Runs pixelFn(srcPixel, dstPixel, m) for each pixel of each row of the job,
// where m is the pixel's mask value (always 0 when kMasked is false).
template <int kBits, bool kMasked, typename PixelFn>
inline void* ForEachPixel(void* jobPointer, PixelFn&& pixelFn) {
  GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int64_t srcStep = p.srcPixelBytes;
  const int64_t dstStep = p.dstPixelBytes;
  return ForEachRow(jobPointer, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    const int64_t maskRow = kMasked ? MaskRow<kBits>(p.mask, r) : 0;
    for (int32_t x = 0; x < p.width; ++x) {
      const uint32_t m = kMasked ? MaskValue<kBits>(p.mask, maskRow, x) : 0;
      pixelFn(src + x * srcStep, dst + x * dstStep, m);
    }
  });
}

// Walks the pixels of a band for a per-channel effect: every sample but
// alpha becomes eval(o) (mixed with o by the mask blend rule when masked),
// alpha is copied. kSamples is the number of samples per pixel when known at
// compile time (1 to 5, the loop then unrolls and the alpha test becomes a
// select), 0 for any other count.
template <int kBits, int kSamples, bool kMasked, typename Eval>
inline void* WalkChannels(void* jobPointer, int32_t runtimeSamples, int32_t alpha,
                          const Eval& eval) {
  GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t samples = kSamples > 0 ? kSamples : runtimeSamples;
  const int64_t srcStep = p.srcPixelBytes;
  const int64_t dstStep = p.dstPixelBytes;
  const int32_t width = p.width;
  return ForEachRow(jobPointer, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    const int64_t maskRow = kMasked ? MaskRow<kBits>(p.mask, r) : 0;
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* s = src + x * srcStep;
      uint8_t* d = dst + x * dstStep;
      const uint32_t m = kMasked ? MaskValue<kBits>(p.mask, maskRow, x) : 0;
      for (int32_t i = 0; i < samples; ++i) {
        const uint32_t o = LoadSample<kBits>(s, i);
        const uint32_t e = eval(o);
        const uint32_t v = kMasked ? MaskMix<kBits>(o, e, m) : e;
        StoreSample<kBits>(d, i, i == alpha ? o : v);
      }
    }
  });
}

template <int kBits, bool kMasked, typename Eval>
inline void* WalkChannelsByLayout(void* jobPointer, int32_t samples, int32_t alpha,
                                  const Eval& eval) {
  switch (samples) {
    case 1:
      return WalkChannels<kBits, 1, kMasked>(jobPointer, samples, alpha, eval);
    case 2:
      return WalkChannels<kBits, 2, kMasked>(jobPointer, samples, alpha, eval);
    case 3:
      return WalkChannels<kBits, 3, kMasked>(jobPointer, samples, alpha, eval);
    case 4:
      return WalkChannels<kBits, 4, kMasked>(jobPointer, samples, alpha, eval);
    case 5:
      return WalkChannels<kBits, 5, kMasked>(jobPointer, samples, alpha, eval);
    default:
      return WalkChannels<kBits, 0, kMasked>(jobPointer, samples, alpha, eval);
  }
}

// What a band's table computes, when it is one of the operations the
// vector unit has whole: o + k or o - k limited to the channel range, or
// kMax - o. Recognised by comparing every entry, so a row run through the
// operation gives exactly the table's bytes.
enum class TableOp { kGeneral, kAddLimited, kSubtractLimited, kComplement };
struct TableShape {
  TableOp op;
  uint32_t amount;
};

template <int kBits>
inline TableShape ShapeOf(const typename Depth<kBits>::Sample* table) {
  constexpr uint32_t kMax = Depth<kBits>::kMax;
  bool complement = true;
  for (uint32_t o = 0; o <= kMax && complement; ++o) complement = table[o] == kMax - o;
  if (complement) return {TableOp::kComplement, 0};
  const uint32_t up = table[0];
  bool add = true;
  for (uint32_t o = 0; o <= kMax && add; ++o) add = table[o] == (o + up > kMax ? kMax : o + up);
  if (add) return {TableOp::kAddLimited, up};
  const uint32_t down = kMax - table[kMax];
  bool subtract = true;
  for (uint32_t o = 0; o <= kMax && subtract; ++o) {
    subtract = table[o] == (o < down ? 0 : o - down);
  }
  if (subtract) return {TableOp::kSubtractLimited, down};
  return {TableOp::kGeneral, 0};
}

// One row of packed pixels (pixel step = samples * sample size in source
// and destination) through the table: every sample but alpha looked up,
// alpha copied. src may equal dst (in place).
template <int kBits, int kSamples>
inline void LookUpRow(const uint8_t* src, uint8_t* dst, int64_t firstSample, int64_t endSample,
                      int32_t runtimeSamples, int32_t alpha,
                      const typename Depth<kBits>::Sample* table) {
  using Sample = typename Depth<kBits>::Sample;
  const int32_t samples = kSamples > 0 ? kSamples : runtimeSamples;
  int64_t j = firstSample;
  int32_t position = static_cast<int32_t>(j % samples);
  Sample keep[kSamples > 0 ? kSamples : 1];
  for (int32_t i = 0; i < (kSamples > 0 ? kSamples : 1); ++i) {
    keep[i] = static_cast<Sample>(i == alpha ? Depth<kBits>::kMax : 0);
  }
  // Up to the first whole pixel, then whole pixels, then the rest.
  for (; j < endSample && position != 0; ++j) {
    Sample o;
    std::memcpy(&o, src + j * sizeof(Sample), sizeof(Sample));
    const Sample v = position == alpha ? o : table[o];
    std::memcpy(dst + j * sizeof(Sample), &v, sizeof(Sample));
    position = position + 1 == samples ? 0 : position + 1;
  }
  for (; j + samples <= endSample; j += samples) {
    Sample o[kSamples > 0 ? kSamples : 1];
    for (int32_t i = 0; i < samples; ++i) {
      Sample v;
      std::memcpy(&v, src + (j + i) * static_cast<int64_t>(sizeof(Sample)), sizeof(Sample));
      if constexpr (kSamples > 0) {
        o[i] = v;
      } else {
        const Sample e = i == alpha ? v : table[v];
        std::memcpy(dst + (j + i) * static_cast<int64_t>(sizeof(Sample)), &e, sizeof(Sample));
      }
    }
    if constexpr (kSamples > 0) {
      // Branch-free: the alpha sample takes o through an all-ones mark.
      Sample e[kSamples];
#pragma GCC unroll 8
      for (int32_t i = 0; i < kSamples; ++i) {
        e[i] = static_cast<Sample>((o[i] & keep[i]) | (table[o[i]] & ~keep[i]));
      }
      std::memcpy(dst + j * static_cast<int64_t>(sizeof(Sample)), e, sizeof(e));
    }
  }
  for (position = 0; j < endSample; ++j, ++position) {
    Sample o;
    std::memcpy(&o, src + j * sizeof(Sample), sizeof(Sample));
    const Sample v = position == alpha ? o : table[o];
    std::memcpy(dst + j * sizeof(Sample), &v, sizeof(Sample));
  }
}

// The vector form of a row for the operations of TableShape, 16 bytes at a
// time; the alpha bytes are kept by a byte mask that repeats every
// `samples` vectors (16 * samples bytes hold a whole number of pixels).
// Returns the number of samples done; LookUpRow does the rest.
template <int kBits>
inline int64_t OperateRow(const uint8_t* src, uint8_t* dst, int64_t rowSamples,
                          const TableShape& shape, const uint8_t* alphaBytes, int32_t samples) {
#if defined(__SSE2__)
  constexpr int64_t kLanes = 16 / (kBits / 8);
  const __m128i all = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i amount = kBits == 8 ? _mm_set1_epi8(static_cast<char>(shape.amount))
                                    : _mm_set1_epi16(static_cast<short>(shape.amount));
  int64_t j = 0;
  int32_t phase = 0;
  for (; j + kLanes <= rowSamples; j += kLanes) {
    const int64_t at = j * (kBits / 8);
    const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
    __m128i e;
    if (shape.op == TableOp::kComplement) {
      e = _mm_xor_si128(o, all);
    } else if (shape.op == TableOp::kAddLimited) {
      e = kBits == 8 ? _mm_adds_epu8(o, amount) : _mm_adds_epu16(o, amount);
    } else {
      e = kBits == 8 ? _mm_subs_epu8(o, amount) : _mm_subs_epu16(o, amount);
    }
    const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(alphaBytes + phase * 16));
    const __m128i v = _mm_or_si128(_mm_and_si128(keep, o), _mm_andnot_si128(keep, e));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), v);
    phase = phase + 1 == samples ? 0 : phase + 1;
  }
  return j;
#else
  (void)src;
  (void)dst;
  (void)rowSamples;
  (void)shape;
  (void)alphaBytes;
  (void)samples;
  return 0;
#endif
}

// The mask blend rule over a run of samples: d[j] = MaskMix(o[j], d[j],
// w[j]), where o holds the original samples, d the effect's values and w
// each sample's mask value (0 for samples the mask leaves alone). Eight or
// sixteen samples a step with SSE2: the 8-bit sums stay below 2^16, and the
// 16-bit ones, below 2^32, are added as high and low halves with the carry.
inline void MixWithOriginal8(const uint8_t* o, uint8_t* d, const uint8_t* w, int64_t count) {
  int64_t j = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i full = _mm_set1_epi16(255);
  for (; j + 16 <= count; j += 16) {
    const __m128i O = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + j));
    const __m128i E = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + j));
    const __m128i M = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + j));
    __m128i half[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i o16 = h == 0 ? _mm_unpacklo_epi8(O, zero) : _mm_unpackhi_epi8(O, zero);
      const __m128i e16 = h == 0 ? _mm_unpacklo_epi8(E, zero) : _mm_unpackhi_epi8(E, zero);
      const __m128i m16 = h == 0 ? _mm_unpacklo_epi8(M, zero) : _mm_unpackhi_epi8(M, zero);
      half[h] = _mm_srli_epi16(
          _mm_add_epi16(_mm_mullo_epi16(o16, m16), _mm_mullo_epi16(e16, _mm_sub_epi16(full, m16))),
          8);
    }
    const __m128i mixed = _mm_packus_epi16(half[0], half[1]);
    const __m128i unmasked = _mm_cmpeq_epi8(M, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + j),
                     _mm_or_si128(_mm_and_si128(unmasked, E), _mm_andnot_si128(unmasked, mixed)));
  }
#endif
  for (; j < count; ++j) d[j] = static_cast<uint8_t>(MaskMix8(o[j], d[j], w[j]));
}

inline void MixWithOriginal16(const uint8_t* o, uint8_t* d, const uint16_t* w, int64_t count) {
  int64_t j = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i full = _mm_set1_epi16(static_cast<short>(0xFFFF));
  const __m128i sign = _mm_set1_epi16(static_cast<short>(0x8000));
  for (; j + 8 <= count; j += 8) {
    const __m128i O = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + 2 * j));
    const __m128i E = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 2 * j));
    const __m128i M = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + j));
    const __m128i rest = _mm_sub_epi16(full, M);  // 65535 - m
    const __m128i low1 = _mm_mullo_epi16(O, M), high1 = _mm_mulhi_epu16(O, M);
    const __m128i low2 = _mm_mullo_epi16(E, rest), high2 = _mm_mulhi_epu16(E, rest);
    const __m128i low = _mm_add_epi16(low1, low2);
    // All ones where the low halves carried (unsigned low < low1).
    const __m128i carry = _mm_cmpgt_epi16(_mm_xor_si128(low1, sign), _mm_xor_si128(low, sign));
    const __m128i mixed = _mm_sub_epi16(_mm_add_epi16(high1, high2), carry);
    const __m128i unmasked = _mm_cmpeq_epi16(M, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * j),
                     _mm_or_si128(_mm_and_si128(unmasked, E), _mm_andnot_si128(unmasked, mixed)));
  }
#endif
  for (; j < count; ++j) {
    uint16_t os, es;
    std::memcpy(&os, o + 2 * j, 2);
    std::memcpy(&es, d + 2 * j, 2);
    const uint16_t v = static_cast<uint16_t>(MaskMix16(os, es, w[j]));
    std::memcpy(d + 2 * j, &v, 2);
  }
}

// A band whose rows are packed runs row by row over flat samples: through
// the vector operation when the table is one, else at 8 bits through the
// wide look-up where the processor has one, else through the table.
//
// Masked, a row goes in runs of 64 pixels: their mask values fetched, the
// original samples kept aside (the destination may be the source), the run
// done as unmasked, then the originals mixed back in by the mask rule.
template <int kBits, int kSamples, bool kMasked>
inline void* WalkPackedRows(void* jobPointer, int32_t samples, int32_t alpha,
                            const typename Depth<kBits>::Sample* table) {
  using Sample = typename Depth<kBits>::Sample;
  GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int64_t rowSamples = static_cast<int64_t>(p.width) * samples;
  TableShape shape{TableOp::kGeneral, 0};
  // 32 * samples bytes of alpha marks (samples <= 8 here), repeating with
  // the pixel: the SSE2 form of the operation takes 16 bytes a step, the
  // wide form 32.
  alignas(16) uint8_t alphaBytes[32 * 8];
  // The table for each sample position, null for alpha (8 bits only).
  const uint8_t* tables[8] = {};
  if (samples <= 8) {
#if defined(__SSE2__)
    constexpr int32_t kSampleBytes = kBits / 8;
    shape = ShapeOf<kBits>(table);
    for (int32_t b = 0; b < 32 * samples; ++b) {
      alphaBytes[b] = (b / kSampleBytes) % samples == alpha ? 0xFF : 0x00;
    }
#endif
    if constexpr (kBits == 8) {
      if (shape.op == TableOp::kGeneral) {
        for (int32_t k = 0; k < samples; ++k) tables[k] = k == alpha ? nullptr : table;
      }
    }
  }
  const WideLookUp wide(tables, samples);
  // The unmasked work on `count` samples that start a pixel.
  const auto unmasked = [&](const uint8_t* src, uint8_t* dst, int64_t count) {
    int64_t done = 0;
    if (shape.op != TableOp::kGeneral) {
      const SampleOp op = shape.op == TableOp::kAddLimited        ? SampleOp::kAddLimited
                          : shape.op == TableOp::kSubtractLimited ? SampleOp::kSubtractLimited
                                                                  : SampleOp::kComplement;
      done = OperateRowWide(src, dst, count, kBits, op, shape.amount, alphaBytes, samples);
      if (done == 0) done = OperateRow<kBits>(src, dst, count, shape, alphaBytes, samples);
    } else if (wide.Usable()) {
      done = wide.Run(src, dst, count);
    }
    LookUpRow<kBits, kSamples>(src, dst, done, count, samples, alpha, table);
  };
  if constexpr (!kMasked) {
    return ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
      unmasked(src, dst, rowSamples);
    });
  } else {
    // Each sample's share of its pixel's mask value: all of it, none at alpha.
    Sample share[8];
    for (int32_t k = 0; k < 8; ++k) share[k] = k == alpha ? 0 : Depth<kBits>::kMax;
    return ForEachRow(jobPointer, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
      constexpr int32_t kRun = 64;
      const int32_t pixelSamples = kSamples > 0 ? kSamples : samples;
      alignas(16) Sample original[kRun * 8];
      alignas(16) Sample weights[kRun * 8];  // the pixel's mask value, 0 at alpha
      const int64_t maskRow = MaskRow<kBits>(p.mask, r);
      const int64_t pixelBytes = static_cast<int64_t>(pixelSamples) * sizeof(Sample);
      for (int32_t x0 = 0; x0 < p.width; x0 += kRun) {
        const int32_t n = p.width - x0 < kRun ? p.width - x0 : kRun;
        const int64_t count = static_cast<int64_t>(n) * pixelSamples;
        for (int32_t i = 0; i < n; ++i) {
          const Sample m = static_cast<Sample>(MaskValue<kBits>(p.mask, maskRow, x0 + i));
          for (int32_t k = 0; k < pixelSamples; ++k) {
            weights[i * pixelSamples + k] = static_cast<Sample>(m & share[k]);
          }
        }
        const uint8_t* s = src + x0 * pixelBytes;
        uint8_t* d = dst + x0 * pixelBytes;
        std::memcpy(original, s, static_cast<size_t>(count) * sizeof(Sample));
        const uint8_t* o = reinterpret_cast<const uint8_t*>(original);
        unmasked(o, d, count);
        if constexpr (kBits == 8) {
          MixWithOriginal8(o, d, weights, count);
        } else {
          MixWithOriginal16(o, d, weights, count);
        }
      }
    });
  }
}

template <int kBits, bool kMasked>
inline void* WalkPackedRowsByLayout(void* jobPointer, int32_t samples, int32_t alpha,
                                    const typename Depth<kBits>::Sample* table) {
  switch (samples) {
    case 1:
      return WalkPackedRows<kBits, 1, kMasked>(jobPointer, samples, alpha, table);
    case 2:
      return WalkPackedRows<kBits, 2, kMasked>(jobPointer, samples, alpha, table);
    case 3:
      return WalkPackedRows<kBits, 3, kMasked>(jobPointer, samples, alpha, table);
    case 4:
      return WalkPackedRows<kBits, 4, kMasked>(jobPointer, samples, alpha, table);
    case 5:
      return WalkPackedRows<kBits, 5, kMasked>(jobPointer, samples, alpha, table);
    default:
      return WalkPackedRows<kBits, 0, kMasked>(jobPointer, samples, alpha, table);
  }
}

// The row worker of an effect that maps each colour channel value on its
// own: Kernel<kBits> is constructed once per band from the run's context and
// gives kernel(o) for every sample but alpha, which is copied. The masked
// variant mixes o back in by the mask blend rule.
//
// A kernel is a function of one sample value, so a band with many samples
// evaluates it once for every possible value into a table (256 entries, or
// 65536 at 16 bits, on the band thread's stack) and then only looks up:
// the same bytes, as each entry is the kernel's own result. Small bands
// call the kernel directly, where filling the table would cost more.
// Bands of packed pixels (the usual case) walk whole rows as flat runs of
// samples.
template <template <int> class Kernel, int kBits, bool kMasked>
void* ChannelWorker(void* jobPointer) {
  const FilterJob& job = *static_cast<FilterJob*>(jobPointer);
  GenericMPParams& p = *job.params;
  const Kernel<kBits> kernel(p);
  const int32_t samples = SamplesPerPixel<kBits>(*p.source);
  const int32_t alpha = AlphaIndex<kBits>(*p.source);
  using Sample = typename Depth<kBits>::Sample;
  constexpr int64_t kEntries = int64_t{1} << kBits;
  const int64_t rows = job.endRow > job.firstRow ? int64_t{job.endRow} - job.firstRow : 0;
  if (rows * p.width * samples >= 4 * kEntries) {
    Sample table[kEntries];
    for (int64_t o = 0; o < kEntries; ++o) {
      table[o] = static_cast<Sample>(kernel(static_cast<uint32_t>(o)));
    }
    const int64_t packedStep = static_cast<int64_t>(samples) * static_cast<int64_t>(sizeof(Sample));
    if (samples > 0 && p.srcPixelBytes == packedStep && p.dstPixelBytes == packedStep &&
        (!kMasked || samples <= 8)) {
      return WalkPackedRowsByLayout<kBits, kMasked>(jobPointer, samples, alpha, table);
    }
    return WalkChannelsByLayout<kBits, kMasked>(jobPointer, samples, alpha,
                                                [&](uint32_t o) -> uint32_t { return table[o]; });
  }
  return WalkChannelsByLayout<kBits, kMasked>(jobPointer, samples, alpha,
                                              [&](uint32_t o) -> uint32_t { return kernel(o); });
}

// The four workers of a per-channel kernel, by depth.
struct WorkerPair {
  FilterRowProc plain;
  FilterRowProc masked;
};
template <template <int> class Kernel, int kBits>
constexpr WorkerPair kChannelWorkers = {&ChannelWorker<Kernel, kBits, false>,
                                        &ChannelWorker<Kernel, kBits, true>};

}  // namespace lumeno

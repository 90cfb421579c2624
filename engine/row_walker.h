// The row worker contract in one place: every FilterRowProc of the library
// walks its band through ForEachRow, so counting rows, honouring a cancel
// request after each row and flagging the band done live only here. Effects
// supply the transformation of one row, of one pixel (ForEachPixel) or of
// one channel value (ChannelWorker).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "lumeno/engine.h"

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

// Calls walk(std::integral_constant<int, N>{}) with N the number of
// samples per pixel where it is 1 to 5 (a walk's loop then unrolls), 0 for
// any other count (the walk takes the count at run time).
template <typename Walk>
inline void* BySampleCount(int32_t samples, const Walk& walk) {
  switch (samples) {
    case 1:
      return walk(std::integral_constant<int, 1>{});
    case 2:
      return walk(std::integral_constant<int, 2>{});
    case 3:
      return walk(std::integral_constant<int, 3>{});
    case 4:
      return walk(std::integral_constant<int, 4>{});
    case 5:
      return walk(std::integral_constant<int, 5>{});
    default:
      return walk(std::integral_constant<int, 0>{});
  }
}

template <int kBits, bool kMasked, typename Eval>
inline void* WalkChannelsByLayout(void* jobPointer, int32_t samples, int32_t alpha,
                                  const Eval& eval) {
  return BySampleCount(samples, [&](auto known) {
    return WalkChannels<kBits, decltype(known)::value, kMasked>(jobPointer, samples, alpha, eval);
  });
}

}  // namespace lumeno

// The per-channel worker (ChannelWorker, kChannelWorkers), which walks whole
// packed rows; it builds on the pieces above.
#include "engine/packed_rows.h"

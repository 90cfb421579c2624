// The row worker contract in one place: every FilterRowProc of the library
// walks its band through ForEachRow, so counting rows, honouring a cancel
// request after each row and flagging the band done live only here. Effects
// supply the transformation of one row.
#pragma once

#include <atomic>
#include <cstdint>

#include "lumeno/engine.h"

namespace lumeno {

inline std::atomic_ref<int32_t> RowsDone(GenericMPParams& p) { return std::atomic_ref<int32_t>(p.rowsDone); }
inline std::atomic_ref<bool> CancelFlag(GenericMPParams& p) { return std::atomic_ref<bool>(p.cancel); }
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

}  // namespace lumeno

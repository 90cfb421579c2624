// Byte rows through 256-entry tables, many bytes per instruction where the
// processor allows: the look-up of per-channel effects whose table is no
// simple operation (contrast, brightness-contrast, map curves).
//
// AVX-512 VBMI or AVX2 where the processor has them (engine/cpu_level.h),
// in engine/x86/table_lookup_*.cpp.
#pragma once

#include <cstdint>

#include "engine/cpu_level.h"

namespace lumeno {

// Sample k of every pixel of packed 8-bit samples (byte j is sample
// j % samples) through tables[k], or kept where tables[k] is null; samples
// is 1 to 8. Prepared once for a band (the tables must outlive it), then run
// on any number of rows or pieces of rows that start a pixel.
class WideLookUp {
 public:
  WideLookUp(const uint8_t* const* tables, int32_t samples);

  // Whether Run does anything on this processor for these tables.
  bool Usable() const { return form_ != Form::kNone; }

  // Does the first bytes of src[0, count), many at a time, and returns how
  // many (at most count); the caller does the rest, from that byte on (which
  // may be inside a pixel). src may equal dst.
  int64_t Run(const uint8_t* src, uint8_t* dst, int64_t count) const;

 private:
  enum class Form { kNone, kAvx2, kAvx512 };
  Form form_ = Form::kNone;
  int32_t samples_ = 0;
  int32_t count_ = 0;  // distinct tables
  const uint8_t* tables_[8] = {};
  // AVX-512: the bytes table d takes at each step of 64 (64 * samples bytes
  // hold whole pixels, so the pattern repeats every `samples` steps).
  uint64_t takes_[8][8] = {};
  // AVX2 (one table): the table as sixteen 16-byte pieces, and
  // the bytes it leaves alone, by 32-byte step.
  alignas(32) uint8_t steps_[16][16] = {};
  alignas(32) uint8_t keep_[8][32] = {};
};

// The three table shapes that vector units have whole, on packed 8- or
// 16-bit samples: o + amount limited to the top (saturating add), o - amount
// limited to 0 (saturating subtract), top - o (complement).
enum class SampleOp { kAddLimited, kSubtractLimited, kComplement };

// The op on samples of `bits` bits (8 or 16) over src[0, count samples),
// 32 bytes a step with AVX2, samples marked in keep (32 * samples bytes of
// 0x00 or 0xFF marks, repeating with the pixel) copied instead. Returns the
// samples done (0 without AVX2); the caller does the rest. src may equal dst.
int64_t OperateRowWide(const uint8_t* src, uint8_t* dst, int64_t count, int bits, SampleOp op,
                       uint32_t amount, const uint8_t* keep, int32_t samples);

// A linear stretch of 16-bit samples around a middle value, as the contrast
// effects compute it: y = ((factor * (o - mid)) + mid) + level in double
// precision, each product and sum rounded on its own in this order (the
// level added only where lift is set); a NaN y gives 0, any other y is
// limited to [0, 65535] and truncated toward zero. Limiting before or after
// the truncation gives the same sample.
struct LinearStretch {
  double factor;
  int32_t mid;
  int32_t level;
  bool lift;
};

// The stretch over src[0, count 16-bit samples), 16 a step with AVX2, the
// samples marked in keep (as for OperateRowWide) copied instead. Returns the
// samples done (0 without AVX2); the caller does the rest. src may equal
// dst.
int64_t StretchRowWide(const uint8_t* src, uint8_t* dst, int64_t count,
                       const LinearStretch& stretch, const uint8_t* keep, int32_t samples);

// The mask blend rule over a run of `bits`-bit samples (8 or 16), as
// MixWithOriginal of engine/packed_rows.h: d[j] = MaskMix(o[j], d[j], w[j]),
// w of the samples' width, 32 bytes a step with AVX2. Returns the samples
// done (0 without AVX2); the caller does the rest.
int64_t MixWithOriginalWide(const uint8_t* o, uint8_t* d, const void* w, int64_t count, int bits);

#if defined(LUMENO_X86_PATHS)
// The rows of each level: engine/x86/table_lookup_avx512.cpp and
// table_lookup_avx2.cpp. Each does the first bytes (samples) and returns how
// many.
int64_t LookUpRowAvx512(const uint8_t* src, uint8_t* dst, int64_t count,
                        const uint8_t* const* tables, int32_t tableCount,
                        const uint64_t (*takes)[8], int32_t samples);
int64_t LookUpRowAvx2(const uint8_t* src, uint8_t* dst, int64_t count, const uint8_t (*pieces)[16],
                      const uint8_t (*keep)[32], int32_t samples);
int64_t OperateRowAvx2(const uint8_t* src, uint8_t* dst, int64_t count, int bits, SampleOp op,
                       uint32_t amount, const uint8_t* keep, int32_t samples);
int64_t StretchRowAvx2(const uint8_t* src, uint8_t* dst, int64_t count,
                       const LinearStretch& stretch, const uint8_t* keep, int32_t samples);
int64_t MixWithOriginalAvx2(const uint8_t* o, uint8_t* d, const void* w, int64_t count, int bits);
#endif

}  // namespace lumeno

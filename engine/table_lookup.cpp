// The wide byte look-ups: the choice of form and its preparation. Each
// level's rows are in engine/x86/table_lookup_*.cpp, compiled for that level
// alone and only called after the processor said it has it; the results are
// the tables' entries, exactly.
//
// AVX-512 VBMI looks up 64 bytes at a time in any number of tables. AVX2 has
// only a 16-entry shuffle per 128-bit lane (vpshufb): the table is sixteen
// pieces, each looked up by the low half of every byte, and the high half
// chooses among them; it is used for a single table only.
#include "engine/table_lookup.h"

#include <cstring>

#include "engine/fast_paths.h"

namespace lumeno {

namespace {

// The faster table operations, highest level first.
using OperateRow = int64_t (*)(const uint8_t* src, uint8_t* dst, int64_t count, int bits,
                               SampleOp op, uint32_t amount, const uint8_t* keep, int32_t samples);
using StretchRow = int64_t (*)(const uint8_t* src, uint8_t* dst, int64_t count,
                               const LinearStretch& stretch, const uint8_t* keep, int32_t samples);
using MixRow = int64_t (*)(const uint8_t* o, uint8_t* d, const void* w, int64_t count, int bits);
#if defined(LUMENO_X86_PATHS)
constexpr FastPath<OperateRow> kOperatePaths[] = {{CpuLevel::kAvx2, &OperateRowAvx2}};
constexpr FastPath<StretchRow> kStretchPaths[] = {{CpuLevel::kAvx2, &StretchRowAvx2}};
constexpr FastPath<MixRow> kMixPaths[] = {{CpuLevel::kAvx2, &MixWithOriginalAvx2}};
#else
constexpr FastPath<OperateRow> kOperatePaths[] = {{CpuLevel::kBaseline, nullptr}};
constexpr FastPath<StretchRow> kStretchPaths[] = {{CpuLevel::kBaseline, nullptr}};
constexpr FastPath<MixRow> kMixPaths[] = {{CpuLevel::kBaseline, nullptr}};
#endif

}  // namespace

int64_t OperateRowWide(const uint8_t* src, uint8_t* dst, int64_t count, int bits, SampleOp op,
                       uint32_t amount, const uint8_t* keep, int32_t samples) {
  const OperateRow row = Pick(kOperatePaths);
  return row != nullptr ? row(src, dst, count, bits, op, amount, keep, samples) : 0;
}

int64_t StretchRowWide(const uint8_t* src, uint8_t* dst, int64_t count,
                       const LinearStretch& stretch, const uint8_t* keep, int32_t samples) {
  const StretchRow row = Pick(kStretchPaths);
  return row != nullptr ? row(src, dst, count, stretch, keep, samples) : 0;
}

int64_t MixWithOriginalWide(const uint8_t* o, uint8_t* d, const void* w, int64_t count, int bits) {
  const MixRow row = Pick(kMixPaths);
  return row != nullptr ? row(o, d, w, count, bits) : 0;
}

WideLookUp::WideLookUp(const uint8_t* const* tables, int32_t samples) {
  if (samples < 1 || samples > 8) return;
  samples_ = samples;
  // The distinct tables and which positions take each.
  uint32_t positions[8] = {};
  for (int32_t k = 0; k < samples; ++k) {
    if (tables[k] == nullptr) continue;
    int32_t d = 0;
    while (d < count_ && std::memcmp(tables_[d], tables[k], 256) != 0) ++d;
    if (d == count_) tables_[count_++] = tables[k];
    positions[d] |= 1u << k;
  }
  if (count_ == 0) return;
  const CpuLevel level = ActiveCpuLevel();
  if (level == CpuLevel::kAvx512) {
    for (int32_t d = 0; d < count_; ++d) {
      for (int32_t phase = 0; phase < samples; ++phase) {
        uint64_t bits = 0;
        for (int32_t b = 0; b < 64; ++b) {
          if ((positions[d] >> ((64 * phase + b) % samples)) & 1u) bits |= uint64_t{1} << b;
        }
        takes_[d][phase] = bits;
      }
    }
    form_ = Form::kAvx512;
  } else if (level == CpuLevel::kAvx2 && count_ == 1) {
    std::memcpy(steps_, tables_[0], sizeof(steps_));
    for (int32_t b = 0; b < 32 * samples; ++b) {
      keep_[b / 32][b % 32] = (positions[0] >> (b % samples)) & 1u ? 0x00 : 0xFF;
    }
    form_ = Form::kAvx2;
  }
}

int64_t WideLookUp::Run(const uint8_t* src, uint8_t* dst, int64_t count) const {
#if defined(LUMENO_X86_PATHS)
  if (form_ == Form::kAvx512) {
    return LookUpRowAvx512(src, dst, count, tables_, count_, takes_, samples_);
  }
  if (form_ == Form::kAvx2) return LookUpRowAvx2(src, dst, count, steps_, keep_, samples_);
#else
  (void)src;
  (void)dst;
  (void)count;
#endif
  return 0;
}

}  // namespace lumeno

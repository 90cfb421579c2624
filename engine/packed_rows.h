// Whole rows of packed samples for the per-channel effects: a band's table
// recognised as an operation the vector unit has whole (saturating add or
// subtract, complement), the rows looked up or operated on as flat runs of
// samples, the mask mixed back in over runs, and ChannelWorker, the row
// worker built on them.
//
// The SSE2 forms live in engine/x86/packed_rows_sse2.cpp, the wider ones
// behind engine/table_lookup.cpp; each does the first samples of a run and the
// plain code here the rest.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "engine/row_walker.h"
#include "engine/table_lookup.h"

namespace lumeno {

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

#if defined(LUMENO_X86_PATHS)
// The vector form of a row for the operations of TableShape (op is not
// kGeneral), 16 bytes at a time; the alpha bytes are kept by a byte mask
// that repeats every `samples` vectors (16 * samples bytes hold a whole
// number of pixels). Returns the number of samples done.
int64_t OperateRowSse2(const uint8_t* src, uint8_t* dst, int64_t rowSamples, int bits, SampleOp op,
                       uint32_t amount, const uint8_t* alphaBytes, int32_t samples);
// MixWithOriginal below, eight or sixteen samples a step; returns the
// samples done.
int64_t MixWithOriginal8Sse2(const uint8_t* o, uint8_t* d, const uint8_t* w, int64_t count);
int64_t MixWithOriginal16Sse2(const uint8_t* o, uint8_t* d, const uint16_t* w, int64_t count);
#endif

// The mask blend rule over a run of samples: d[j] = MaskMix(o[j], d[j],
// w[j]), where o holds the original samples, d the effect's values and w
// each sample's mask value (0 for samples the mask leaves alone).
template <int kBits>
inline void MixWithOriginal(const uint8_t* o, uint8_t* d, const typename Depth<kBits>::Sample* w,
                            int64_t count) {
  constexpr int64_t kSampleBytes = kBits / 8;
  int64_t j = MixWithOriginalWide(o, d, w, count, kBits);
#if defined(LUMENO_X86_PATHS)
  if constexpr (kBits == 8) {
    j += MixWithOriginal8Sse2(o + j, d + j, w + j, count - j);
  } else {
    j += MixWithOriginal16Sse2(o + 2 * j, d + 2 * j, w + j, count - j);
  }
#endif
  for (; j < count; ++j) {
    const uint8_t* original = o + j * kSampleBytes;
    uint8_t* value = d + j * kSampleBytes;
    StoreSample<kBits>(
        value, 0,
        MaskMix<kBits>(LoadSample<kBits>(original, 0), LoadSample<kBits>(value, 0), w[j]));
  }
}

// A masked band of packed pixels (a pixel step of `samples` samples, at
// most 8, in source and destination) by runs of 64 pixels: their mask
// values fetched, the original samples kept aside (the destination may be
// the source), the run done as unmasked by run(o, d, pixels) from the kept
// originals, then the originals mixed back in by the mask rule on the
// samples whose share is all ones (those whose share is 0, such as alpha,
// keep the unmasked value). kSamples is samples where known, else 0.
template <int kBits, int kSamples, typename Run>
inline void* WalkMaskedRuns(void* jobPointer, int32_t samples,
                            const typename Depth<kBits>::Sample* share, const Run& run) {
  using Sample = typename Depth<kBits>::Sample;
  GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t pixelSamples = kSamples > 0 ? kSamples : samples;
  // Pixels of 4 or 8 bytes take their weights as one word: the shares as a
  // pattern over the mask value in every sample.
  constexpr size_t kPixelBytes = static_cast<size_t>(kSamples) * sizeof(Sample);
  constexpr bool kPixelWord = kSamples > 0 && (kPixelBytes == 4 || kPixelBytes == 8);
  using PixelWord = std::conditional_t<kPixelBytes == 8, uint64_t, uint32_t>;
  PixelWord pattern = 0;
  if constexpr (kPixelWord) std::memcpy(&pattern, share, sizeof(pattern));
  return ForEachRow(jobPointer, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    constexpr int32_t kRun = 64;
    alignas(16) Sample original[kRun * 8];
    alignas(16) Sample weights[kRun * 8];  // the pixel's mask value by its share
    const int64_t maskRow = MaskRow<kBits>(p.mask, r);
    const int64_t pixelBytes = static_cast<int64_t>(pixelSamples) * sizeof(Sample);
    for (int32_t x0 = 0; x0 < p.width; x0 += kRun) {
      const int32_t n = p.width - x0 < kRun ? p.width - x0 : kRun;
      const int64_t count = static_cast<int64_t>(n) * pixelSamples;
      for (int32_t i = 0; i < n; ++i) {
        const Sample m = static_cast<Sample>(MaskValue<kBits>(p.mask, maskRow, x0 + i));
        if constexpr (kPixelWord) {
          // m in every sample of a word (m <= kMax: no carries), then the shares.
          constexpr PixelWord kEverySample =
              static_cast<PixelWord>(~PixelWord{0} / static_cast<Sample>(~Sample{0}));
          const PixelWord word = static_cast<PixelWord>(m * kEverySample & pattern);
          std::memcpy(weights + i * pixelSamples, &word, sizeof(word));
        } else {
          for (int32_t k = 0; k < pixelSamples; ++k) {
            weights[i * pixelSamples + k] = static_cast<Sample>(m & share[k]);
          }
        }
      }
      const uint8_t* s = src + x0 * pixelBytes;
      uint8_t* d = dst + x0 * pixelBytes;
      std::memcpy(original, s, static_cast<size_t>(count) * sizeof(Sample));
      const uint8_t* o = reinterpret_cast<const uint8_t*>(original);
      run(o, d, n);
      MixWithOriginal<kBits>(o, d, weights, count);
    }
  });
}

// The shares for WalkMaskedRuns of an effect that writes its three colour
// samples (at.dstRed, dstGreen, dstBlue of a pixel of `samples` samples) and
// mixes each with the source's own channel: all ones there, 0 elsewhere.
// False where a colour sample is written elsewhere than it is read from or
// two share a place: the runs mix each sample with the original at its own
// place only.
template <typename Sample, typename Layout>
inline bool ColourShares(const Layout& at, int32_t samples, Sample* share) {
  const int32_t src[3] = {at.srcRed, at.srcGreen, at.srcBlue};
  const int32_t dst[3] = {at.dstRed, at.dstGreen, at.dstBlue};
  for (int32_t k = 0; k < samples; ++k) share[k] = 0;
  for (int k = 0; k < 3; ++k) {
    if (src[k] != dst[k] || dst[k] < 0 || dst[k] >= samples || share[dst[k]] != 0) return false;
    share[dst[k]] = static_cast<Sample>(~Sample{0});
  }
  return true;
}

// A band whose rows are packed runs row by row over flat samples: through
// the vector operation when the table is one, else at 16 bits through the
// kernel's linear stretch in vector lanes where it has one (stretch not
// null), else at 8 bits through the wide look-up where the processor has
// one, else through the table.
//
// Masked, a row goes in runs of 64 pixels (WalkMaskedRuns).
template <int kBits, int kSamples, bool kMasked>
inline void* WalkPackedRows(void* jobPointer, int32_t samples, int32_t alpha,
                            const typename Depth<kBits>::Sample* table,
                            const LinearStretch* stretch) {
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
#if defined(LUMENO_X86_PATHS)
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
#if defined(LUMENO_X86_PATHS)
      if (done == 0)
        done = OperateRowSse2(src, dst, count, kBits, op, shape.amount, alphaBytes, samples);
#endif
    } else if (kBits == 16 && stretch != nullptr && samples <= 8) {
      done = StretchRowWide(src, dst, count, *stretch, alphaBytes, samples);
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
    return WalkMaskedRuns<kBits, kSamples>(jobPointer, samples, share,
                                           [&](const uint8_t* o, uint8_t* d, int32_t pixels) {
                                             unmasked(o, d, static_cast<int64_t>(pixels) * samples);
                                           });
  }
}

template <int kBits, bool kMasked>
inline void* WalkPackedRowsByLayout(void* jobPointer, int32_t samples, int32_t alpha,
                                    const typename Depth<kBits>::Sample* table,
                                    const LinearStretch* stretch) {
  return BySampleCount(samples, [&](auto known) {
    return WalkPackedRows<kBits, decltype(known)::value, kMasked>(jobPointer, samples, alpha, table,
                                                                  stretch);
  });
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
// samples; a kernel that is a linear stretch says so by a member Linear()
// returning its LinearStretch, which 16-bit rows then compute in vector
// lanes instead of looking up.
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
      LinearStretch stretch{};
      bool linear = false;
      if constexpr (requires { kernel.Linear(); }) {
        stretch = kernel.Linear();
        linear = true;
      }
      return WalkPackedRowsByLayout<kBits, kMasked>(jobPointer, samples, alpha, table,
                                                    linear ? &stretch : nullptr);
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

// The grayscale effect's row workers: the plain rows do every band whole;
// the rows of effects/x86/grayscale_*.cpp do the same faster where the
// processor and the layout allow (engine/fast_paths.h).
#include "effects/grayscale_workers.h"

#include <atomic>
#include <cstdint>

#include "effects/grayscale_kernel.h"
#include "engine/fast_paths.h"
#include "engine/row_walker.h"

namespace lumeno::gray {
namespace {

// -- Gray values -------------------------------------------------------------
//
// Each method is a class per depth giving the gray value of r, g, b, built
// once per band from the run's context; kFormula names it to the vector
// rows, which compute the same (effects/grayscale_kernel.h).

using lumeno::gray::Formula;

// Each product and each sum rounded on its own, in this order; the weights
// are positive and sum to one, so y is finite and within [0, kMax] (give or
// take rounding): no clamping is needed and a plain conversion truncates.
template <int kBits>
struct WeightedGray {
  static constexpr Formula kFormula = Formula::kWeighted;
  const GrayscaleParams& p;
  explicit WeightedGray(const GrayscaleParams& params) : p(params) {}
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
    const double y =
        (p.redWeight * static_cast<double>(r) + p.greenWeight * static_cast<double>(g)) +
        p.blueWeight * static_cast<double>(b);
    return static_cast<uint32_t>(static_cast<int32_t>(y));
  }
};

// At 8 bits the products come from tables: each entry is the product the
// formula forms for that value, so the sums in the same order are the
// formula's.
template <>
struct WeightedGray<8> {
  static constexpr Formula kFormula = Formula::kWeighted;
  double red[256];
  double green[256];
  double blue[256];

  explicit WeightedGray(const GrayscaleParams& p) {
    for (int32_t v = 0; v < 256; ++v) {
      red[v] = p.redWeight * static_cast<double>(v);
      green[v] = p.greenWeight * static_cast<double>(v);
      blue[v] = p.blueWeight * static_cast<double>(v);
    }
  }
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
    const double y = (red[r] + green[g]) + blue[b];
    return static_cast<uint32_t>(static_cast<int32_t>(y));
  }
};

template <int kBits>
struct AverageGray {
  static constexpr Formula kFormula = Formula::kAverage;
  explicit AverageGray(const GrayscaleParams&) {}
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const { return (r + g + b) / 3u; }
};

template <int kBits>
struct WeightedAverageGray {
  static constexpr Formula kFormula = Formula::kWeightedAverage;
  explicit WeightedAverageGray(const GrayscaleParams&) {}
  uint32_t operator()(uint32_t r, uint32_t g, uint32_t b) const {
    return (3u * r + 4u * g + 2u * b) / 9u;
  }
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

// The layout test of the vector rows (effects/grayscale_kernel.h): pixels
// of four samples in source and destination, no write leaving its pixel,
// alpha at the same place and on no colour sample.
template <int kBits>
bool PrepareGrayVector(const GrayLayout& at, lumeno::gray::Vector* v) {
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

// The layout test of the gray rows (effects/grayscale_kernel.h): pixels of
// four samples into gray pixels of one sample (8 bits: 16-bit sources of
// four samples all have a gray format of two), or of two (gray and alpha)
// where the source has alpha, every write inside its pixel.
template <int kBits>
bool PrepareGrayOut(const GrayLayout& at, lumeno::gray::Vector* v, lumeno::gray::GrayOut* out) {
  constexpr int64_t kSampleBytes = kBits / 8;
  if (at.srcStep != 4 * kSampleBytes || !at.rowsDisjoint) return false;
  if (at.dstGreen != at.dstRed || at.dstBlue != at.dstRed) return false;
  const int32_t src[3] = {at.srcRed, at.srcGreen, at.srcBlue};
  for (int k = 0; k < 3; ++k) {
    if (src[k] < 0 || src[k] > 3) return false;
    v->srcShift[k] = kBits * src[k];
  }
  out->gray = at.dstRed;
  out->srcAlphaShift = kBits * at.srcAlpha;
  if (at.dstStep == kSampleBytes) {
    out->samples = 1;
    return kBits == 8 && !at.copyAlpha && at.dstRed == 0;
  }
  out->samples = 2;
  return at.dstStep == 2 * kSampleBytes && at.copyAlpha && at.dstRed >= 0 && at.dstRed <= 1 &&
         at.dstAlpha == 1 - at.dstRed && at.srcAlpha >= 0 && at.srcAlpha <= 3;
}

// The faster rows by depth, highest level first.
#if defined(LUMENO_X86_PATHS)
using lumeno::CpuLevel;
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths8[] = {
    {CpuLevel::kAvx2, &lumeno::gray::Row8Avx2}, {CpuLevel::kBaseline, &lumeno::gray::Row8Sse2}};
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths16[] = {
    {CpuLevel::kAvx2, &lumeno::gray::Row16Avx2}};
constexpr lumeno::FastPath<lumeno::gray::GrayRow> kGrayPaths8[] = {
    {CpuLevel::kAvx2, &lumeno::gray::GrayRow8Avx2}};
constexpr lumeno::FastPath<lumeno::gray::GrayRow> kGrayPaths16[] = {
    {CpuLevel::kAvx2, &lumeno::gray::GrayRow16Avx2}};
#else
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths8[] = {{lumeno::CpuLevel::kBaseline, nullptr}};
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths16[] = {{lumeno::CpuLevel::kBaseline, nullptr}};
constexpr lumeno::FastPath<lumeno::gray::GrayRow> kGrayPaths8[] = {
    {lumeno::CpuLevel::kBaseline, nullptr}};
constexpr lumeno::FastPath<lumeno::gray::GrayRow> kGrayPaths16[] = {
    {lumeno::CpuLevel::kBaseline, nullptr}};
#endif

// A band through a faster row, the rest of each row pixel by pixel; masked,
// by runs mixed with the originals on the three colour samples (share).
template <int kBits, bool kMasked, typename Gray>
void* WalkGrayFast(void* jobPointer, const Gray& gray, const GrayLayout& at,
                   const lumeno::gray::Vector& v, lumeno::gray::Row row,
                   const typename lumeno::Depth<kBits>::Sample* share) {
  constexpr int64_t kPixelBytes = 4 * (kBits / 8);
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t width = p.width;
  const lumeno::StoreLanes lanes(p, v.srcKeep, v.dstKeep);
  const auto run = [&](const uint8_t* src, uint8_t* dst, int32_t pixels) {
    for (int32_t x = row(v, lanes, src, dst, pixels); x < pixels; ++x) {
      GrayPixel<kBits, false>(gray, at, src + x * kPixelBytes, dst + x * kPixelBytes, 0);
    }
  };
  if constexpr (kMasked) {
    return lumeno::WalkMaskedRuns<kBits, 4>(jobPointer, 4, share, run);
  } else {
    return lumeno::ForEachRow(
        jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) { run(src, dst, width); });
  }
}

// The row worker of one depth and method, plain or masked. Bands whose
// writes stay inside their pixels take a faster row for pixels of four
// samples where the processor has one (masked ones where each colour sample
// is written at the place it is read from); plain bands into a gray bitmap
// from pixels of four samples take a gray row; plain bands at 8 bits else a
// loop of fixed step for three- and four-byte pixels.
template <int kBits, template <int> class Method, bool kMasked>
void* GrayscaleRows(void* jobPointer) {
  const auto& block =
      reinterpret_cast<const GrayscaleParams&>(*static_cast<FilterJob*>(jobPointer)->params);
  const GrayLayout at(block, kBits);
  const Method<kBits> gray(block);
  if (!at.rowsDisjoint) return WalkGray<kBits, kMasked, true, 0>(jobPointer, gray, at);
  const lumeno::gray::Row row = kBits == 8 ? lumeno::Pick(kPaths8) : lumeno::Pick(kPaths16);
  lumeno::gray::Vector vector{};
  vector.formula = Method<kBits>::kFormula;
  vector.weights[0] = block.redWeight;
  vector.weights[1] = block.greenWeight;
  vector.weights[2] = block.blueWeight;
  typename lumeno::Depth<kBits>::Sample share[4] = {};
  if (row != nullptr && (!kMasked || lumeno::ColourShares(at, 4, share)) &&
      PrepareGrayVector<kBits>(at, &vector)) {
    return WalkGrayFast<kBits, kMasked>(jobPointer, gray, at, vector, row, share);
  }
  if constexpr (!kMasked) {
    // Into a gray bitmap.
    const lumeno::gray::GrayRow grayRow =
        kBits == 8 ? lumeno::Pick(kGrayPaths8) : lumeno::Pick(kGrayPaths16);
    lumeno::gray::GrayOut out{};
    if (grayRow != nullptr && PrepareGrayOut<kBits>(at, &vector, &out)) {
      const int32_t width = block.base.width;
      return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
        for (int32_t x = grayRow(vector, out, src, dst, width); x < width; ++x) {
          GrayPixel<kBits, false>(gray, at, src + x * at.srcStep, dst + x * at.dstStep, 0);
        }
      });
    }
  }
  if constexpr (kBits == 8 && !kMasked) {
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

}  // namespace

FilterRowProc Worker(int32_t bits, bool masked, uint64_t method) {
  if (bits == 16) {
    return masked ? WorkerForMethod<16, true>(method) : WorkerForMethod<16, false>(method);
  }
  return masked ? WorkerForMethod<8, true>(method) : WorkerForMethod<8, false>(method);
}

}  // namespace lumeno::gray

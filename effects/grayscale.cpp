// GrayscaleEffectRaw: turns a colour bitmap gray by one of four methods. A new
// bitmap is either a gray one (one gray sample, plus alpha where the source
// has other than three channels) or, with UseOriginalColorSpace or a mask,
// one in the source's own format whose three colour channels all get the
// gray value. Gray sources (one or two channels) are never converted.
//
// Unlike the other effects this class creates its destination and fills the
// run's context itself, then hands the rows to the engine's RunFilterRows or
// StartFilterRowsAsync. It never resets ErrorCode on success.
//
// The plain workers here do every band whole; the rows of
// effects/x86/grayscale_*.cpp do the same faster where the processor and
// the layout allow (engine/fast_paths.h).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "effects/grayscale_kernel.h"
#include "engine/fast_paths.h"
#include "engine/filter_base.h"
#include "engine/row_walker.h"
#include "shell/class_list.h"
#include "shell/host_services.h"

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

// The faster rows by depth, highest level first.
#if defined(LUMENO_X86_PATHS)
using lumeno::CpuLevel;
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths8[] = {
    {CpuLevel::kAvx2, &lumeno::gray::Row8Avx2}, {CpuLevel::kBaseline, &lumeno::gray::Row8Sse2}};
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths16[] = {
    {CpuLevel::kAvx2, &lumeno::gray::Row16Avx2}};
#else
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths8[] = {{lumeno::CpuLevel::kBaseline, nullptr}};
constexpr lumeno::FastPath<lumeno::gray::Row> kPaths16[] = {{lumeno::CpuLevel::kBaseline, nullptr}};
#endif

// A plain band through a faster row, the rest of each row pixel by pixel.
template <int kBits, typename Gray>
void* WalkGrayFast(void* jobPointer, const Gray& gray, const GrayLayout& at,
                   const lumeno::gray::Vector& v, lumeno::gray::Row row) {
  constexpr int64_t kPixelBytes = 4 * (kBits / 8);
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t width = p.width;
  const lumeno::StoreLanes lanes(p, v.srcKeep, v.dstKeep);
  return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
    for (int32_t x = row(v, lanes, src, dst, width); x < width; ++x) {
      GrayPixel<kBits, false>(gray, at, src + x * kPixelBytes, dst + x * kPixelBytes, 0);
    }
  });
}

// The row worker of one depth and method, plain or masked. Plain bands
// whose writes stay inside their pixels take a faster row for pixels of
// four samples where the processor has one, or at 8 bits a loop of fixed
// step for three- and four-byte ones.
template <int kBits, template <int> class Method, bool kMasked>
void* GrayscaleRows(void* jobPointer) {
  const auto& block =
      reinterpret_cast<const GrayscaleParams&>(*static_cast<FilterJob*>(jobPointer)->params);
  const GrayLayout at(block, kBits);
  const Method<kBits> gray(block);
  if (!at.rowsDisjoint) return WalkGray<kBits, kMasked, true, 0>(jobPointer, gray, at);
  if constexpr (!kMasked) {
    const lumeno::gray::Row row = kBits == 8 ? lumeno::Pick(kPaths8) : lumeno::Pick(kPaths16);
    lumeno::gray::Vector vector{};
    vector.formula = Method<kBits>::kFormula;
    vector.weights[0] = block.redWeight;
    vector.weights[1] = block.greenWeight;
    vector.weights[2] = block.blueWeight;
    if (row != nullptr && PrepareGrayVector<kBits>(at, &vector)) {
      return WalkGrayFast<kBits>(jobPointer, gray, at, vector, row);
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

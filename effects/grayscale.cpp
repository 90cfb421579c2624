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
// The row workers are in effects/grayscale_workers.cpp.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "lumeno/layout.h"
#include "effects/grayscale_workers.h"
#include "engine/filter_base.h"
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
LUMENO_LAYOUT(GrayscaleData, 24, grayscaleType, 0, mask, 8, useOriginalColorSpace, 16);

using lumeno::gray::kItuR;
using lumeno::gray::kNtscPal;

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
  return lumeno::gray::Worker(static_cast<int32_t>(source.bitsPerChannel), masked, method);
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

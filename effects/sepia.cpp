// SepiaEffectRaw: reduces each pixel to its luminance and rebuilds the three
// colour channels from it, shifted along a fixed brown direction (red up,
// green slightly down, blue down) whose length grows with SepiaValue (0..1).
// A gray source given to Apply is promoted to a colour destination by the
// engine, and its one gray sample feeds all three colour reads.
#include <cstdlib>

#include "engine/filter_base.h"

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

// The row worker for one depth, plain or masked. Channels are read at the
// parameter block's source indices and written at the destination's own
// offsets (at 16 bits a byte offset names the sample that starts at it,
// rounded down to even).
template <int kBits, bool kMasked>
void* SepiaRows(void* jobPointer) {
  using lumeno::LoadSample;
  using lumeno::StoreSample;
  constexpr int32_t kSampleBytes = kBits / 8;
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const SepiaParams& sepia = reinterpret_cast<const SepiaContext&>(p).sepia;
  const RawBitmap& source = *p.source;
  const RawBitmap& destination = *p.destination;

  const double level = static_cast<double>(sepia.sepiaLevel);
  const double shiftRed = level * 0.956;
  const double shiftGreen = level * 0.272;
  const double shiftBlue = level * 1.105;

  const int32_t dstRed = destination.redOffset / kSampleBytes;
  const int32_t dstGreen = destination.greenOffset / kSampleBytes;
  const int32_t dstBlue = destination.blueOffset / kSampleBytes;
  const bool copyAlpha = destination.hasAlpha != 0;
  const int32_t dstAlpha = destination.alphaOffset / kSampleBytes;
  // A gray source without alpha promoted to a colour format with alpha has
  // no alpha sample to copy: such pixels come out opaque.
  const int32_t srcAlpha = source.alphaOffset / kSampleBytes;
  const bool sourceHasAlpha =
      source.hasAlpha != 0 && srcAlpha * kSampleBytes < source.bytesPerPixel;

  // The tinted channels depend on the whole luminance value alone: at 8
  // bits the band holds them in three tables, each entry the channel's own
  // formula; at 16 bits the formula runs per pixel.
  constexpr uint32_t kMax = lumeno::Depth<kBits>::kMax;
  constexpr int32_t kTableSize = kBits == 8 ? 256 : 1;
  uint8_t tableRed[kTableSize];
  uint8_t tableGreen[kTableSize];
  uint8_t tableBlue[kTableSize];
  if constexpr (kBits == 8) {
    for (int32_t v = 0; v < kTableSize; ++v) {
      const double y = static_cast<double>(v);
      tableRed[v] = static_cast<uint8_t>(TintedChannel<kBits>(y + shiftRed));
      tableGreen[v] = static_cast<uint8_t>(TintedChannel<kBits>(y - shiftGreen));
      tableBlue[v] = static_cast<uint8_t>(TintedChannel<kBits>(y - shiftBlue));
    }
  }
  const bool loadAlpha = copyAlpha && sourceHasAlpha;

  return lumeno::ForEachPixel<kBits, kMasked>(
      jobPointer, [&](const uint8_t* s, uint8_t* d, uint32_t m) {
        const uint32_t r = LoadSample<kBits>(s, sepia.srcRedIndex);
        const uint32_t g = LoadSample<kBits>(s, sepia.srcGreenIndex);
        const uint32_t b = LoadSample<kBits>(s, sepia.srcBlueIndex);
        const uint32_t alpha = loadAlpha ? LoadSample<kBits>(s, srcAlpha) : kMax;

        // Luminance, summed in this order and truncated to a whole channel
        // value. The weights sum to 1, so the sum lies in [0, kMax] (give or
        // take rounding): a plain conversion truncates it, the limit guards
        // the table index.
        const double luma = (static_cast<double>(r) * 0.299 + static_cast<double>(g) * 0.587) +
                            static_cast<double>(b) * 0.114;
        uint32_t yi = static_cast<uint32_t>(static_cast<int32_t>(luma));
        yi = yi > kMax ? kMax : yi;
        uint32_t red, green, blue;
        if constexpr (kBits == 8) {
          red = tableRed[yi];
          green = tableGreen[yi];
          blue = tableBlue[yi];
        } else {
          const double y = static_cast<double>(yi);
          red = TintedChannelLimited<kBits>(y + shiftRed);
          green = TintedChannelLimited<kBits>(y - shiftGreen);
          blue = TintedChannelLimited<kBits>(y - shiftBlue);
        }
        if constexpr (kMasked) {
          red = lumeno::MaskMix<kBits>(r, red, m);
          green = lumeno::MaskMix<kBits>(g, green, m);
          blue = lumeno::MaskMix<kBits>(b, blue, m);
        }
        StoreSample<kBits>(d, dstRed, red);
        StoreSample<kBits>(d, dstGreen, green);
        StoreSample<kBits>(d, dstBlue, blue);
        if (copyAlpha) StoreSample<kBits>(d, dstAlpha, alpha);
      });
}

// What a prepared run hands to the engine.
struct PreparedRun {
  RawBitmap* source;
  lumeno::EffectWorkers workers;
};

// Validates the strength and the source and fills the parameter block. A
// new-bitmap run on a gray source reads its gray sample for all three
// channels; in place the source's own offsets are used as they stand.
bool PrepareSepiaParams(MPImageFilterData* data, ZARKobjectStruct* sourceObject,
                        SepiaParams* params, float value, bool newBitmap, PreparedRun* run) {
  if (value < 0.0f || sourceObject == nullptr || value > 1.0f) {
    lumeno::FailWith(data, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return false;
  }
  RawBitmap* source = GetRawBitmapData(sourceObject);
  if (newBitmap && source->channelCount <= 2) {
    params->srcRedIndex = source->redOffset;
    params->srcGreenIndex = source->redOffset;
    params->srcBlueIndex = source->redOffset;
  } else {
    params->srcRedIndex = source->redOffset;
    params->srcGreenIndex = source->greenOffset;
    params->srcBlueIndex = source->blueOffset;
  }
  if (source->bitsPerChannel == 16) {
    // Product and sum each rounded to single precision.
    const float product = value * 11565.0f;
    params->sepiaLevel = TruncToInt(product + 2570.0f);
    params->srcRedIndex >>= 1;
    params->srcGreenIndex >>= 1;
    params->srcBlueIndex >>= 1;
    *run = {source, {{&SepiaRows<16, false>, &SepiaRows<16, true>}, kDepth16 | kDepthLibraryMark}};
  } else if (source->bitsPerChannel == 8) {
    const float product = value * 45.0f;
    params->sepiaLevel = TruncToInt(product + 10.0f);
    *run = {source, {{&SepiaRows<8, false>, &SepiaRows<8, true>}, kDepth8 | kDepthLibraryMark}};
  } else {
    lumeno::FailWith(data, kLumeno_NOT_SUPPORTED_DEPTH);
    return false;
  }
  return true;
}

constexpr int32_t kAutomaticThreads = 2;
// Copy the source's extra data and promote a gray source to colour.
constexpr signed char kNewBitmapOptions = kDestinationCopyExtraData | kDestinationGrayPromotion;

ZARKobjectStruct* ApplyNew(ZARKobjectStruct* self, ZARKobjectStruct* sourceObject, float value) {
  MPImageFilterData* data = FilterData(self);
  SepiaContext context{};
  PreparedRun run;
  if (!PrepareSepiaParams(data, sourceObject, &context.sepia, value, true, &run)) return nullptr;
  return data->engine->ApplyFilter(data, &context.base, run.workers.workers.plain,
                                   run.workers.workers.masked, run.source, Data(self)->mask,
                                   kAutomaticThreads, run.workers.depthFlags, kNewBitmapOptions);
}

void ApplyOwn(ZARKobjectStruct* self, ZARKobjectStruct* sourceObject, float value) {
  MPImageFilterData* data = FilterData(self);
  SepiaContext context{};
  PreparedRun run;
  if (!PrepareSepiaParams(data, sourceObject, &context.sepia, value, false, &run)) return;
  lumeno::ApplyEffectInPlace(data, &context.base, run.workers, sourceObject, Data(self)->mask);
}

// The asynchronous forms allocate the context first; the engine owns it
// once handed over and frees it when the run ends.
void StartAsync(ZARKobjectStruct* self, ZARKobjectStruct* sourceObject,
                ZARKobjectStruct* completeTarget, void* completeMethod, bool newBitmap) {
  MPImageFilterData* data = FilterData(self);
  SepiaData* own = Data(self);
  auto* context = lumeno::NewAsyncParams<SepiaContext>();
  if (context == nullptr) {
    lumeno::FailWith(data, kLumeno_OUT_OF_MEMORY);
    return;
  }
  PreparedRun run;
  if (!PrepareSepiaParams(data, sourceObject, &context->sepia, own->sepiaValue, newBitmap, &run)) {
    std::free(context);
    return;
  }
  if (newBitmap) {
    data->engine->ApplyFilterAsync(self, data, sourceObject, &context->base,
                                   run.workers.workers.plain, run.workers.workers.masked,
                                   run.source, own->mask, kAutomaticThreads, run.workers.depthFlags,
                                   kNewBitmapOptions, completeTarget, completeMethod, nullptr);
  } else {
    lumeno::ApplyEffectInPlaceAsync(self, data, &context->base, run.workers, sourceObject,
                                    own->mask, completeTarget, completeMethod);
  }
}

// -- Class members -------------------------------------------------------------

void Construct(ZARKobjectStruct* self) {
  SepiaData* own = Data(self);
  own->sepiaValue = 0.3f;
  own->mask = nullptr;
}

void Destruct(ZARKobjectStruct* self) {
  SepiaData* own = Data(self);
  if (own->mask != nullptr) ZARKUnlockObject(own->mask);
  own->mask = nullptr;
}

ZARKobjectStruct* GetMask(ZARKobjectStruct* self, intptr_t) {
  return GetHeldObject(&Data(self)->mask);
}
void SetMask(ZARKobjectStruct* self, intptr_t, ZARKobjectStruct* mask) {
  SetHeldObject(&Data(self)->mask, mask);
}
float GetSepiaValue(ZARKobjectStruct* self, intptr_t) { return Data(self)->sepiaValue; }
void SetSepiaValue(ZARKobjectStruct* self, intptr_t, float value) {
  Data(self)->sepiaValue = value;
}

ZARKobjectStruct* ApplyValue(ZARKobjectStruct* self, ZARKobjectStruct* source, float value) {
  return ApplyNew(self, source, value);
}
ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  return ApplyNew(self, source, Data(self)->sepiaValue);
}
void ApplyInPlaceValue(ZARKobjectStruct* self, ZARKobjectStruct* source, float value) {
  ApplyOwn(self, source, value);
}
void ApplyAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* completeTarget,
                void* completeMethod) {
  StartAsync(self, source, completeTarget, completeMethod, true);
}
void ApplyInPlaceAsync(ZARKobjectStruct* self, ZARKobjectStruct* source,
                       ZARKobjectStruct* completeTarget, void* completeMethod) {
  StartAsync(self, source, completeTarget, completeMethod, false);
}

constexpr int64_t kMemberFlags = 4;

const ZARKpropertyDefinition kSepiaProperties[] = {
    {0,
     "Mask",
     "RawBitmapMask",
     kMemberFlags,
     reinterpret_cast<void*>(&GetMask),
     reinterpret_cast<void*>(&SetMask),
     0,
     {}},
    {0,
     "SepiaValue",
     "Single",
     kMemberFlags,
     reinterpret_cast<void*>(&GetSepiaValue),
     reinterpret_cast<void*>(&SetSepiaValue),
     0,
     {}},
};

const ZARKmethodDefinition kSepiaMethods[] = {
    {reinterpret_cast<void*>(&ApplyValue),
     0,
     "Apply(source as RawBitmap,value as Single) as RawBitmap",
     kMemberFlags,
     {}},
    {reinterpret_cast<void*>(&ApplyStored),
     0,
     "Apply(source as RawBitmap) as RawBitmap",
     kMemberFlags,
     {}},
    {reinterpret_cast<void*>(&ApplyInPlaceValue),
     0,
     "ApplyInPlace(source as RawBitmap, value as Single)",
     kMemberFlags,
     {}},
    {reinterpret_cast<void*>(&ApplyAsync),
     0,
     "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
     kMemberFlags,
     {}},
    {reinterpret_cast<void*>(&ApplyInPlaceAsync),
     0,
     "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
     kMemberFlags,
     {}},
};

}  // namespace

ZARKclassDefinition SepiaEffectRaw = {
    kZARKRecordVersion,
    "SepiaEffectRaw",
    "MPImageFilterRaw",
    sizeof(SepiaData),
    0,
    &Construct,
    &Destruct,
    kSepiaProperties,
    sizeof(kSepiaProperties) / sizeof(kSepiaProperties[0]),
    kSepiaMethods,
    sizeof(kSepiaMethods) / sizeof(kSepiaMethods[0]),
    {},
    "IRawBitMapProcessor, IRawBitmapProcessorAsync",
    {},
    nullptr,
    0,
    0,
    0,
    {},
    nullptr,
    0,
};

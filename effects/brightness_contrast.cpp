// BrightnessContrastEffectRaw: stretches every colour channel around the
// middle of its range by a squared contrast factor, then adds a brightness
// level, clamping at black and white. Alpha is never changed.
#include <cstddef>
#include <cstdint>

#include "engine/filter_base.h"

namespace {

using lumeno::EffectWorkers;

// Both values are served by the host's standard accessor at their offsets.
struct BrightnessContrastData {
  float brightnessValue;   // offset 0
  float contrastValue;     // offset 4
  ZARKobjectStruct* mask;  // held
};
static_assert(sizeof(BrightnessContrastData) == 16);
static_assert(offsetof(BrightnessContrastData, contrastValue) == 4);

struct BrightnessContrastParams {
  GenericMPParams base;
  int32_t brightnessLevel;  // the brightness value in channel units
  double contrastFactor;    // squared
};
static_assert(offsetof(BrightnessContrastParams, brightnessLevel) == 88);
static_assert(offsetof(BrightnessContrastParams, contrastFactor) == 96);

// ((v * 100 in single precision, widened) + 100) / 100, squared in double
// precision: v = 0.1 gives 1.2100000000000002.
double ContrastFactor(float value) {
  const float percent = value * 100.0f;
  const double f = (static_cast<double>(percent) + 100.0) / 100.0;
  return f * f;
}

// ((factor * (o - mid)) + mid) + level in double precision: the level is
// added after the stretch, so vb = 1 with vc = -1 still reaches white. The
// sum is truncated first and limited afterwards; a NaN sum gives 0.
template <int kBits>
struct StretchAndLift {
  explicit StretchAndLift(const GenericMPParams& p)
      : factor(reinterpret_cast<const BrightnessContrastParams&>(p).contrastFactor),
        level(reinterpret_cast<const BrightnessContrastParams&>(p).brightnessLevel) {}
  uint32_t operator()(uint32_t o) const {
    constexpr int32_t kMid = kBits == 8 ? 128 : 32768;
    const double y = ((factor * static_cast<double>(static_cast<int32_t>(o) - kMid)) +
                      static_cast<double>(kMid)) +
                     static_cast<double>(level);
    return lumeno::ClampChannel<kBits>(lumeno::TruncToInt(y));
  }
  double factor;
  int32_t level;
};

BrightnessContrastData* Data(ZARKobjectStruct* self) {
  return static_cast<BrightnessContrastData*>(ZARKGetClassData(self, &BrightnessContrastEffectRaw));
}

using MaskField = lumeno::MaskMember<BrightnessContrastData, &BrightnessContrastEffectRaw>;

bool Refuse(MPImageFilterData* filter) {
  lumeno::FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
  return false;
}

// Scales the values for the source's depth and picks the workers; false,
// with code 6, for a depth other than 8 or 16. NaN brightness gives level 0.
bool PrepareRun(MPImageFilterData* filter, float brightness, float contrast,
                ZARKobjectStruct* source, BrightnessContrastParams* params,
                EffectWorkers* workers) {
  const RawBitmap& record = *GetRawBitmapData(source);
  if (!lumeno::ChannelWorkersFor<StretchAndLift>(record, workers)) {
    lumeno::FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    return false;
  }
  params->contrastFactor = ContrastFactor(contrast);
  params->brightnessLevel =
      lumeno::TruncToInt(brightness * (record.bitsPerChannel == 16 ? 65535.0f : 255.0f));
  return true;
}

// The synchronous checks, in this order: brightness below -1, above 1,
// contrast below -1, no source, contrast above 1. NaN values pass.
bool PrepareSync(MPImageFilterData* filter, float brightness, float contrast,
                 ZARKobjectStruct* source, BrightnessContrastParams* params,
                 EffectWorkers* workers) {
  if (brightness < -1.0f || brightness > 1.0f || contrast < -1.0f || source == nullptr ||
      contrast > 1.0f) {
    return Refuse(filter);
  }
  return PrepareRun(filter, brightness, contrast, source, params, workers);
}

ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source, float brightness,
                        float contrast) {
  MPImageFilterData* filter = FilterData(self);
  BrightnessContrastParams params{};
  EffectWorkers workers;
  if (!PrepareSync(filter, brightness, contrast, source, &params, &workers)) return nullptr;
  return lumeno::ApplyEffect(filter, &params.base, workers, source, Data(self)->mask);
}

ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  return Apply(self, source, Data(self)->brightnessValue, Data(self)->contrastValue);
}

void ApplyInPlace(ZARKobjectStruct* self, ZARKobjectStruct* source, float brightness,
                  float contrast) {
  MPImageFilterData* filter = FilterData(self);
  BrightnessContrastParams params{};
  EffectWorkers workers;
  if (!PrepareSync(filter, brightness, contrast, source, &params, &workers)) return;
  lumeno::ApplyEffectInPlace(filter, &params.base, workers, source, Data(self)->mask);
}

// The heap context of an asynchronous run from the stored values. These
// forms test only the brightness value and the source (below -1, no source,
// above 1): any stored contrast value is used as it is. False when refused;
// a null context (memory ran out) is reported by the engine call.
bool PrepareAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, EffectWorkers* workers,
                  GenericMPParams** params) {
  MPImageFilterData* filter = FilterData(self);
  const float brightness = Data(self)->brightnessValue;
  const float contrast = Data(self)->contrastValue;
  if (brightness < -1.0f || source == nullptr || brightness > 1.0f) return Refuse(filter);
  BrightnessContrastParams scratch{};
  if (!PrepareRun(filter, brightness, contrast, source, &scratch, workers)) return false;
  auto* block = lumeno::NewAsyncParams<BrightnessContrastParams>();
  if (block != nullptr) {
    block->brightnessLevel = scratch.brightnessLevel;
    block->contrastFactor = scratch.contrastFactor;
  }
  *params = block != nullptr ? &block->base : nullptr;
  return true;
}

void ApplyAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* target,
                void* method) {
  EffectWorkers workers;
  GenericMPParams* params = nullptr;
  if (!PrepareAsync(self, source, &workers, &params)) return;
  lumeno::ApplyEffectAsync(self, FilterData(self), params, workers, source, Data(self)->mask,
                           target, method);
}

void ApplyInPlaceAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* target,
                       void* method) {
  EffectWorkers workers;
  GenericMPParams* params = nullptr;
  if (!PrepareAsync(self, source, &workers, &params)) return;
  lumeno::ApplyEffectInPlaceAsync(self, FilterData(self), params, workers, source, Data(self)->mask,
                                  target, method);
}

void Construct(ZARKobjectStruct* self) { *Data(self) = {0.0f, 0.0f, nullptr}; }

ZARKpropertyDefinition properties[] = {
    MaskField::Property(),
    {0,
     "BrightnessValue",
     "Single",
     4,
     ZARK_STANDARD_ACCESSOR,
     ZARK_STANDARD_ACCESSOR,
     offsetof(BrightnessContrastData, brightnessValue),
     {}},
    {0,
     "ContrastValue",
     "Single",
     4,
     ZARK_STANDARD_ACCESSOR,
     ZARK_STANDARD_ACCESSOR,
     offsetof(BrightnessContrastData, contrastValue),
     {}},
};

ZARKmethodDefinition methods[] = {
    {reinterpret_cast<void*>(&Apply),
     0,
     "Apply(source as RawBitmap,brightnessValue as Single, contrastValue as Single) as RawBitmap",
     4,
     {}},
    {reinterpret_cast<void*>(&ApplyStored), 0, "Apply(source as RawBitmap) as RawBitmap", 4, {}},
    {reinterpret_cast<void*>(&ApplyInPlace),
     0,
     "ApplyInPlace(source as RawBitmap, brightnessValue as Single, contrastValue as Single)",
     4,
     {}},
    {reinterpret_cast<void*>(&ApplyAsync),
     0,
     "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
     4,
     {}},
    {reinterpret_cast<void*>(&ApplyInPlaceAsync),
     0,
     "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
     4,
     {}},
};

}  // namespace

ZARKclassDefinition BrightnessContrastEffectRaw = {kZARKRecordVersion,
                                                   "BrightnessContrastEffectRaw",
                                                   "MPImageFilterRaw",
                                                   sizeof(BrightnessContrastData),
                                                   0,
                                                   &Construct,
                                                   &MaskField::Release,
                                                   properties,
                                                   3,
                                                   methods,
                                                   5,
                                                   {},
                                                   "IRawBitmapProcessor, IRawBitmapProcessorAsync",
                                                   {},
                                                   nullptr,
                                                   0,
                                                   0,
                                                   0,
                                                   {},
                                                   nullptr,
                                                   0};

// BrightnessEffectRaw: adds one signed level to every colour channel,
// clamped to the channel range, optionally weighted by a mask.
#include "engine/filter_base.h"

namespace {

using lumeno::EffectWorkers;

struct BrightnessData {
  float brightnessValue;
  ZARKobjectStruct* mask;  // held
};
static_assert(sizeof(BrightnessData) == 16);

struct BrightnessParams {
  GenericMPParams base;
  int32_t brightnessLevel;  // the value in channel units
};

// o + L, limited to the channel range.
template <int kBits>
struct Brighten {
  explicit Brighten(const GenericMPParams& p)
      : level(reinterpret_cast<const BrightnessParams&>(p).brightnessLevel) {}
  uint32_t operator()(uint32_t o) const {
    return lumeno::ClampChannel<kBits>(level + static_cast<int32_t>(o));
  }
  int32_t level;
};

BrightnessData* Data(ZARKobjectStruct* self) {
  return static_cast<BrightnessData*>(ZARKGetClassData(self, &BrightnessEffectRaw));
}

using MaskField = lumeno::MaskMember<BrightnessData, &BrightnessEffectRaw>;

// Validates the value and the source, then scales the value to the source's
// depth and picks the workers. False (with ErrorCode set) when refused. NaN
// passes the range tests and scales to level 0.
bool Prepare(MPImageFilterData* filter, float value, ZARKobjectStruct* source, int32_t* level,
             EffectWorkers* workers) {
  if (value < -1.0f || source == nullptr || value > 1.0f) {
    lumeno::FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return false;
  }
  const RawBitmap& record = *GetRawBitmapData(source);
  if (!lumeno::ChannelWorkersFor<Brighten>(record, workers)) {
    lumeno::FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    return false;
  }
  *level = lumeno::TruncToInt(value * (record.bitsPerChannel == 16 ? 65535.0f : 255.0f));
  return true;
}

ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source, float value) {
  MPImageFilterData* filter = FilterData(self);
  BrightnessParams params{};
  EffectWorkers workers;
  if (!Prepare(filter, value, source, &params.brightnessLevel, &workers)) return nullptr;
  return lumeno::ApplyEffect(filter, &params.base, workers, source, Data(self)->mask);
}

ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  return Apply(self, source, Data(self)->brightnessValue);
}

void ApplyInPlace(ZARKobjectStruct* self, ZARKobjectStruct* source, float value) {
  MPImageFilterData* filter = FilterData(self);
  BrightnessParams params{};
  EffectWorkers workers;
  if (!Prepare(filter, value, source, &params.brightnessLevel, &workers)) return;
  lumeno::ApplyEffectInPlace(filter, &params.base, workers, source, Data(self)->mask);
}

// Builds the heap context of an asynchronous run from the stored value.
// False when refused; the context is null when memory ran out, which the
// engine call then reports.
bool PrepareAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, EffectWorkers* workers,
                  GenericMPParams** params) {
  int32_t level = 0;
  if (!Prepare(FilterData(self), Data(self)->brightnessValue, source, &level, workers)) {
    return false;
  }
  auto* block = lumeno::NewAsyncParams<BrightnessParams>();
  if (block != nullptr) block->brightnessLevel = level;
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

void Construct(ZARKobjectStruct* self) { *Data(self) = {0.0f, nullptr}; }

float GetValue(ZARKobjectStruct* self, intptr_t) { return Data(self)->brightnessValue; }
void SetValue(ZARKobjectStruct* self, intptr_t, float value) {
  Data(self)->brightnessValue = value;
}

ZARKpropertyDefinition properties[] = {
    MaskField::Property(),
    {0,
     "BrightnessValue",
     "Single",
     4,
     reinterpret_cast<void*>(&GetValue),
     reinterpret_cast<void*>(&SetValue),
     0,
     {}},
};

ZARKmethodDefinition methods[] = {
    {reinterpret_cast<void*>(&Apply),
     0,
     "Apply(source as RawBitmap,value as Single) as RawBitmap",
     4,
     {}},
    {reinterpret_cast<void*>(&ApplyStored), 0, "Apply(source as RawBitmap) as RawBitmap", 4, {}},
    {reinterpret_cast<void*>(&ApplyInPlace),
     0,
     "ApplyInPlace(source as RawBitmap, value as Single)",
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

ZARKclassDefinition BrightnessEffectRaw = {kZARKRecordVersion,
                                           "BrightnessEffectRaw",
                                           "MPImageFilterRaw",
                                           sizeof(BrightnessData),
                                           0,
                                           &Construct,
                                           &MaskField::Release,
                                           properties,
                                           2,
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

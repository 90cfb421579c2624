// ContrastEffectRaw: stretches or flattens every colour sample around
// mid-grey by a squared factor derived from ContrastValue (-1 .. 1). 0 keeps
// the image, -1 turns every colour sample into mid-grey, 1 multiplies each
// sample's distance from mid-grey by four. Alpha is never changed.
#include <cstddef>
#include <cstdint>

#include "engine/filter_base.h"

namespace {

using lumeno::EffectWorkers;

struct ContrastData {
  float contrastValue;
  ZARKobjectStruct* mask;  // held
};
static_assert(sizeof(ContrastData) == 16);

struct ContrastParams {
  GenericMPParams base;
  double contrastFactor;  // squared
};
static_assert(offsetof(ContrastParams, contrastFactor) == sizeof(GenericMPParams));

// ((v * 100 in single precision, widened) + 100) / 100, squared in double
// precision: v = 0.5 gives 2.25, v = -1 gives 0.
double ContrastFactor(float value) {
  const float percent = value * 100.0f;
  const double f = (static_cast<double>(percent) + 100.0) / 100.0;
  return f * f;
}

// factor * (o - mid) + mid, limited to the channel range and truncated, not
// rounded (0.5 turns 127 into 125, from 125.75). A NaN factor gives 0.
template <int kBits>
struct Stretch {
  explicit Stretch(const GenericMPParams& p)
      : factor(reinterpret_cast<const ContrastParams&>(p).contrastFactor) {}
  uint32_t operator()(uint32_t o) const {
    constexpr int32_t kMid = kBits == 8 ? 128 : 32768;
    constexpr double kMax = lumeno::Depth<kBits>::kMax;
    double d = factor * static_cast<double>(static_cast<int32_t>(o) - kMid) + kMid;
    if (d < 0.0) {
      d = 0.0;
    } else if (d > kMax) {
      d = kMax;
    }
    return static_cast<uint32_t>(lumeno::TruncToInt(d));
  }
  double factor;
};

ContrastData* Data(ZARKobjectStruct* self) {
  return static_cast<ContrastData*>(ZARKGetClassData(self, &ContrastEffectRaw));
}

using MaskField = lumeno::MaskMember<ContrastData, &ContrastEffectRaw>;

// Checks the value and the source in the order below -1, no source, above 1
// (NaN passes), then picks the workers for the source's depth. False, with
// ErrorCode set, when refused.
bool Prepare(MPImageFilterData* filter, float value, ZARKobjectStruct* source,
             EffectWorkers* workers) {
  if (value < -1.0f || source == nullptr || value > 1.0f) {
    lumeno::FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return false;
  }
  if (!lumeno::ChannelWorkersFor<Stretch>(*GetRawBitmapData(source), workers)) {
    lumeno::FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    return false;
  }
  return true;
}

ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source, float value) {
  MPImageFilterData* filter = FilterData(self);
  ContrastParams params{};
  EffectWorkers workers;
  if (!Prepare(filter, value, source, &workers)) return nullptr;
  params.contrastFactor = ContrastFactor(value);
  return lumeno::ApplyEffect(filter, &params.base, workers, source, Data(self)->mask);
}

ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  return Apply(self, source, Data(self)->contrastValue);
}

void ApplyInPlace(ZARKobjectStruct* self, ZARKobjectStruct* source, float value) {
  MPImageFilterData* filter = FilterData(self);
  ContrastParams params{};
  EffectWorkers workers;
  if (!Prepare(filter, value, source, &workers)) return;
  params.contrastFactor = ContrastFactor(value);
  lumeno::ApplyEffectInPlace(filter, &params.base, workers, source, Data(self)->mask);
}

// The heap context of an asynchronous run, from the stored value. False when
// refused; a null context (memory ran out) is reported by the engine call.
bool PrepareAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, EffectWorkers* workers,
                  GenericMPParams** params) {
  const float value = Data(self)->contrastValue;
  if (!Prepare(FilterData(self), value, source, workers)) return false;
  auto* block = lumeno::NewAsyncParams<ContrastParams>();
  if (block != nullptr) block->contrastFactor = ContrastFactor(value);
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

float GetValue(ZARKobjectStruct* self, intptr_t) { return Data(self)->contrastValue; }
void SetValue(ZARKobjectStruct* self, intptr_t, float value) { Data(self)->contrastValue = value; }

ZARKpropertyDefinition properties[] = {
    MaskField::Property(),
    {0,
     "ContrastValue",
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

ZARKclassDefinition ContrastEffectRaw = {kZARKRecordVersion,
                                         "ContrastEffectRaw",
                                         "MPImageFilterRaw",
                                         sizeof(ContrastData),
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

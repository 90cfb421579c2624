// InvertEffectRaw: the negative of a bitmap. Every sample but alpha is
// replaced by its complement to the channel's full scale, the fourth colour
// channel of four-colour (CMYK) images and the padding byte of padded
// formats included; it is the one effect that accepts formats 13 to 16.
#include <cstdlib>

#include "engine/filter_base.h"

namespace {

using lumeno::EffectWorkers;
using lumeno::FailWith;

// Instance data following MPImageFilterData.
struct InvertData {
  ZARKobjectStruct* mask;  // RawBitmapMask, held while stored
};
static_assert(sizeof(InvertData) == 8);

InvertData* Data(ZARKobjectStruct* self) {
  return static_cast<InvertData*>(ZARKGetClassData(self, &InvertEffectRaw));
}

using MaskField = lumeno::MaskMember<InvertData, &InvertEffectRaw>;

// The complement to full scale; the channel walker copies alpha and mixes
// the source back in where the mask asks for it.
template <int kBits>
struct Complement {
  explicit Complement(const GenericMPParams&) {}
  uint32_t operator()(uint32_t o) const { return lumeno::Depth<kBits>::kMax - o; }
};

// The workers for the source's depth. Formats 13 to 16 are accepted: the
// fourth colour channel inverts like the others.
bool InvertWorkersFor(const RawBitmap& source, EffectWorkers* workers) {
  if (!lumeno::ChannelWorkersFor<Complement>(source, workers)) return false;
  workers->depthFlags = static_cast<signed char>(workers->depthFlags | kDepthFourColour);
  return true;
}

ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  MPImageFilterData* data = FilterData(self);
  if (source == nullptr) return FailWith(data, kLumeno_ILLEGAL_INPUT_PARAMETER);
  EffectWorkers workers;
  if (!InvertWorkersFor(*GetRawBitmapData(source), &workers)) {
    return FailWith(data, kLumeno_NOT_SUPPORTED_DEPTH);
  }
  GenericMPParams params{};
  return lumeno::ApplyEffect(data, &params, workers, source, Data(self)->mask);
}

void ApplyInPlace(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  MPImageFilterData* data = FilterData(self);
  if (source == nullptr) {
    FailWith(data, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return;
  }
  EffectWorkers workers;
  if (!InvertWorkersFor(*GetRawBitmapData(source), &workers)) {
    FailWith(data, kLumeno_NOT_SUPPORTED_DEPTH);
    return;
  }
  GenericMPParams params{};
  lumeno::ApplyEffectInPlace(data, &params, workers, source, Data(self)->mask);
}

// The asynchronous forms: a heap context with no parameter block, which the
// engine owns once handed over (and frees; a null one is reported as code 11).
void StartAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* completeTarget,
                void* completeMethod, bool inPlace) {
  MPImageFilterData* data = FilterData(self);
  if (source == nullptr) {
    FailWith(data, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return;
  }
  const RawBitmap& record = *GetRawBitmapData(source);
  GenericMPParams* params = lumeno::NewAsyncParams<GenericMPParams>();
  EffectWorkers workers;
  if (!InvertWorkersFor(record, &workers)) {
    std::free(params);
    FailWith(data, kLumeno_NOT_SUPPORTED_DEPTH);
    return;
  }
  if (inPlace) {
    lumeno::ApplyEffectInPlaceAsync(self, data, params, workers, source, Data(self)->mask,
                                    completeTarget, completeMethod);
  } else {
    lumeno::ApplyEffectAsync(self, data, params, workers, source, Data(self)->mask, completeTarget,
                             completeMethod);
  }
}

// -- Class members -------------------------------------------------------------

void Construct(ZARKobjectStruct* self) { Data(self)->mask = nullptr; }

void ApplyAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* completeTarget,
                void* completeMethod) {
  StartAsync(self, source, completeTarget, completeMethod, false);
}
void ApplyInPlaceAsync(ZARKobjectStruct* self, ZARKobjectStruct* source,
                       ZARKobjectStruct* completeTarget, void* completeMethod) {
  StartAsync(self, source, completeTarget, completeMethod, true);
}

constexpr int64_t kMemberFlags = 4;

const ZARKpropertyDefinition kInvertProperties[] = {
    MaskField::Property(),
};

const ZARKmethodDefinition kInvertMethods[] = {
    {reinterpret_cast<void*>(&Apply),
     0,
     "Apply(source as RawBitmap) as RawBitmap",
     kMemberFlags,
     {}},
    {reinterpret_cast<void*>(&ApplyInPlace),
     0,
     "ApplyInPlace(source as RawBitmap)",
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

ZARKclassDefinition InvertEffectRaw = {
    kZARKRecordVersion,
    "InvertEffectRaw",
    "MPImageFilterRaw",
    sizeof(InvertData),
    0,
    &Construct,
    &MaskField::Release,
    kInvertProperties,
    sizeof(kInvertProperties) / sizeof(kInvertProperties[0]),
    kInvertMethods,
    sizeof(kInvertMethods) / sizeof(kInvertMethods[0]),
    {},
    "IRawBitmapProcessor, IRawBitmapProcessorAsync",
    {},
    nullptr,
    0,
    0,
    0,
    {},
    nullptr,
    0,
};

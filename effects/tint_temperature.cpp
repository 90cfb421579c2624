// TintAndTemperatureEffectRaw: the colour filter driven by two photographic
// controls. Temperature moves red and blue in opposite directions, Tint moves
// green; both setters translate their value into the colour filter's Red,
// Green and Blue fields. Everything else (constructor, destructor, Mask and
// the Apply methods) is the colour filter's own functions, taken from its
// definition record so both classes share one implementation and one
// instance layout.
#include "shell/class_list.h"
#include "shell/host_services.h"

namespace {

// The colour filter's instance data (color_filter.cpp); both classes derive
// directly from MPImageFilterRaw, so it sits at the same offset in both.
struct ColorFilterData {
  float red;
  float green;
  float blue;
  ZARKobjectStruct* mask;
  float temperature;
  float tint;
};
static_assert(offsetof(ColorFilterData, temperature) == 24);
static_assert(offsetof(ColorFilterData, tint) == 28);
static_assert(sizeof(ColorFilterData) == 32);

ColorFilterData* Data(ZARKobjectStruct* self) {
  return static_cast<ColorFilterData*>(ZARKGetClassData(self, &ColorFilterEffectRaw));
}

// Limits a control to -1..1; NaN passes unchanged (and later scales to 0).
float LimitControl(float value) {
  if (value > 1.0f) return 1.0f;
  return value < -1.0f ? -1.0f : value;
}

// A control of magnitude 1 moves a channel by 100/255 of its full scale;
// product and quotient are each rounded to single precision.
float ControlToChannel(float control) {
  const float product = control * 100.0f;
  return product / 255.0f;
}

float GetTint(ZARKobjectStruct* self, intptr_t) { return Data(self)->tint; }
void SetTint(ZARKobjectStruct* self, intptr_t, float value) {
  ColorFilterData* own = Data(self);
  own->tint = LimitControl(value);
  own->green = ControlToChannel(own->tint);
}

float GetTemperature(ZARKobjectStruct* self, intptr_t) { return Data(self)->temperature; }
void SetTemperature(ZARKobjectStruct* self, intptr_t, float value) {
  ColorFilterData* own = Data(self);
  own->temperature = LimitControl(value);
  own->red = ControlToChannel(own->temperature);
  own->blue = -own->red;
}

constexpr int64_t kMemberFlags = 4;

// Positions in the colour filter's records of the members both classes share.
constexpr int kMaskProperty = 0;
constexpr int kApplyMethod = 1;
constexpr int kApplyInPlaceMethod = 3;
constexpr int kApplyAsyncMethod = 4;
constexpr int kApplyInPlaceAsyncMethod = 5;

void* ColorFilterMethod(int index) { return ColorFilterEffectRaw.methods[index].function; }

// Filled while the library loads, from the colour filter's constant records,
// before the host reads any definition.
const ZARKpropertyDefinition kTintProperties[] = {
    {0,
     "Mask",
     "RawBitmapMask",
     kMemberFlags,
     ColorFilterEffectRaw.properties[kMaskProperty].getter,
     ColorFilterEffectRaw.properties[kMaskProperty].setter,
     0,
     {}},
    {0,
     "Tint",
     "Single",
     kMemberFlags,
     reinterpret_cast<void*>(&GetTint),
     reinterpret_cast<void*>(&SetTint),
     0,
     {}},
    {0,
     "Temperature",
     "Single",
     kMemberFlags,
     reinterpret_cast<void*>(&GetTemperature),
     reinterpret_cast<void*>(&SetTemperature),
     0,
     {}},
};

const ZARKmethodDefinition kTintMethods[] = {
    {ColorFilterMethod(kApplyMethod),
     0,
     "Apply(source as RawBitmap) as RawBitmap",
     kMemberFlags,
     {}},
    {ColorFilterMethod(kApplyInPlaceMethod),
     0,
     "ApplyInPlace(source as RawBitmap)",
     kMemberFlags,
     {}},
    {ColorFilterMethod(kApplyAsyncMethod),
     0,
     "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
     kMemberFlags,
     {}},
    {ColorFilterMethod(kApplyInPlaceAsyncMethod),
     0,
     "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
     kMemberFlags,
     {}},
};

}  // namespace

ZARKclassDefinition TintAndTemperatureRaw = {
    kZARKRecordVersion,
    "TintAndTemperatureEffectRaw",
    "MPImageFilterRaw",
    sizeof(ColorFilterData),
    0,
    ColorFilterEffectRaw.constructor,
    ColorFilterEffectRaw.destructor,
    kTintProperties,
    sizeof(kTintProperties) / sizeof(kTintProperties[0]),
    kTintMethods,
    sizeof(kTintMethods) / sizeof(kTintMethods[0]),
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

// TintAndTemperatureRaw: the colour filter driven by two photographic
// controls. Temperature moves red and blue in opposite directions, Tint moves
// green; both setters translate their value into the colour filter's Red,
// Green and Blue fields. Everything else (constructor, destructor, Mask and
// the Apply methods) is the colour filter's own members, named in
// effects/color_filter.h, so both classes share one implementation and one
// instance layout.
#include "effects/color_filter.h"

namespace {

using lumeno::ColorFilterData;
using lumeno::ColorFilterFrame;
using lumeno::Entry;

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

float GetTint(ZARKobjectStruct* self, intptr_t) { return ColorFilterFrame::Of(self)->tint; }
void SetTint(ZARKobjectStruct* self, intptr_t, float value) {
  ColorFilterData* own = ColorFilterFrame::Of(self);
  own->tint = LimitControl(value);
  own->green = ControlToChannel(own->tint);
}

float GetTemperature(ZARKobjectStruct* self, intptr_t) {
  return ColorFilterFrame::Of(self)->temperature;
}
void SetTemperature(ZARKobjectStruct* self, intptr_t, float value) {
  ColorFilterData* own = ColorFilterFrame::Of(self);
  own->temperature = LimitControl(value);
  own->red = ControlToChannel(own->temperature);
  own->blue = -own->red;
}

const ZARKpropertyDefinition kProperties[] = {
    ColorFilterFrame::Mask::Property(),
    lumeno::Property("Tint", "Single", Entry(&GetTint), Entry(&SetTint)),
    lumeno::Property("Temperature", "Single", Entry(&GetTemperature), Entry(&SetTemperature)),
};

// The colour filter's stored-value forms; the forms with given values and
// the Red, Green and Blue properties are not registered here.
const ZARKmethodDefinition kMethods[] = {
    lumeno::Method(&ColorFilterFrame::ApplyStored, lumeno::kApplyDeclaration),
    lumeno::Method(&ColorFilterFrame::ApplyInPlaceStored, lumeno::kApplyInPlaceDeclaration),
    lumeno::Method(&ColorFilterFrame::ApplyAsync, lumeno::kApplyAsyncDeclaration),
    lumeno::Method(&ColorFilterFrame::ApplyInPlaceAsync, lumeno::kApplyInPlaceAsyncDeclaration),
};

}  // namespace

ZARKclassDefinition TintAndTemperatureRaw = lumeno::Class({
    .name = "TintAndTemperatureEffectRaw",
    .superName = "MPImageFilterRaw",
    .dataSize = sizeof(ColorFilterData),
    .constructor = &ColorFilterFrame::Construct,
    .destructor = &ColorFilterFrame::Mask::Release,
    .properties = kProperties,
    .methods = kMethods,
    .interfaces = lumeno::kProcessorInterfaces,
});

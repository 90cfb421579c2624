// ColorFilterEffectRaw and TintAndTemperatureEffectRaw: one filter on one
// instance layout. The tint-and-temperature class registers the colour
// filter's constructor, destructor, Mask accessors and stored-value Apply
// forms, named here, and only adds its two controls (tint_temperature.cpp).
// Both classes derive directly from MPImageFilterRaw, so the data sits at
// the same offset in both and is always found through the colour filter's
// definition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/layout.h"
#include "engine/effect_frame.h"

namespace lumeno {

// Instance data following MPImageFilterData. Red, Green and Blue are served
// by the host's standard accessors at these offsets.
struct ColorFilterData {
  float red;
  float green;
  float blue;
  ZARKobjectStruct* mask;  // RawBitmapMask, held while stored
  float temperature;       // last limited value given to the Temperature setter
  float tint;              // last limited value given to the Tint setter
};
LUMENO_LAYOUT(ColorFilterData, 32, red, 0, green, 4, blue, 8, mask, 16, temperature, 24, tint, 28);

// The effect's parameter block and the context record of one run.
struct ColorFilterParams {
  int32_t redLevel;  // amounts added to channels 1, 2, 3 in channel units
  int32_t greenLevel;
  int32_t blueLevel;
  int32_t srcRedIndex;  // byte offsets at 8 bits, sample indices at 16 bits
  int32_t srcGreenIndex;
  int32_t srcBlueIndex;
};
struct ColorFilterContext {
  GenericMPParams base;
  ColorFilterParams filter;
};
static_assert(offsetof(ColorFilterContext, filter) == sizeof(GenericMPParams));

// The colour filter's description (color_filter.cpp).
struct ColorFilter : EffectDescription {
  static constexpr ZARKclassDefinition* kRecord = &ColorFilterEffectRaw;
  using Data = ColorFilterData;
  using Params = ColorFilterContext;
  struct Values {
    float red;
    float green;
    float blue;
  };
  static constexpr const char* kApplyValues =
      "Apply(source as RawBitmap,red as Single, green as Single, blue as Single) as RawBitmap";
  static constexpr const char* kApplyInPlaceValues =
      "ApplyInPlace(source as RawBitmap, red as Single, green as Single, blue as Single)";
  static constexpr bool kStoredInPlace = true;

  static void Construct(Data& data);
  static Values Stored(const Data& data) { return {data.red, data.green, data.blue}; }
  static bool Accepts(Values v, ZARKobjectStruct* source, Form form);
  static bool Prepare(Values v, const RawBitmap& source, Form form, Params* context,
                      EffectWorkers* workers);
};

// The members both classes register: ColorFilterFrame::Construct,
// Mask::Release, Mask::Get and Mask::Set, ApplyStored, ApplyInPlaceStored,
// ApplyAsync and ApplyInPlaceAsync.
using ColorFilterFrame = EffectFrame<ColorFilter>;

}  // namespace lumeno

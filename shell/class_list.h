// The ten classes of the library, in registration order. Each definition
// record is named after its class, except the tint-and-temperature record,
// whose symbol is TintAndTemperatureRaw.
#pragma once

#include "lumeno/zark.h"

#define LUMENO_CLASS_DEFINITIONS(X) \
  X(MPImageFilterRaw)               \
  X(BrightnessEffectRaw)            \
  X(BrightnessContrastEffectRaw)    \
  X(ContrastEffectRaw)              \
  X(GrayscaleEffectRaw)             \
  X(SepiaEffectRaw)                 \
  X(InvertEffectRaw)                \
  X(ColorFilterEffectRaw)           \
  X(TintAndTemperatureRaw)          \
  X(BlendEffectRaw)

#define LUMENO_DECLARE_CLASS_DEFINITION(symbol) extern ZARKclassDefinition symbol;
LUMENO_CLASS_DEFINITIONS(LUMENO_DECLARE_CLASS_DEFINITION)
#undef LUMENO_DECLARE_CLASS_DEFINITION

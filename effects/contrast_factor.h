// The contrast factor that ContrastEffectRaw and BrightnessContrastEffectRaw
// both stretch by.
#pragma once

namespace lumeno {

// ((v * 100 in single precision, widened) + 100) / 100, squared in double
// precision: v = -1 gives 0, v = 0.1 gives 1.2100000000000002, v = 0.5 gives
// 2.25.
inline double ContrastFactor(float value) {
  const float percent = value * 100.0f;
  const double f = (static_cast<double>(percent) + 100.0) / 100.0;
  return f * f;
}

}  // namespace lumeno

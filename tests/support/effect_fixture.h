// The fixture of the effect tests: a loaded plug-in, effects by class name,
// small bitmaps given sample by sample, and a completion target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/effect_table.h"
#include "support/images.h"
#include "support/plugin_fixture.h"
#include "support/progress.h"

namespace lumeno::testing {

using host::Object;
using host::Ref;
using Samples = std::vector<uint32_t>;

// The effect classes, short for the tables.
inline constexpr const char* kB = "BrightnessEffectRaw";
inline constexpr const char* kC = "ContrastEffectRaw";
inline constexpr const char* kBC = "BrightnessContrastEffectRaw";
inline constexpr const char* kCF = "ColorFilterEffectRaw";
inline constexpr const char* kTT = "TintAndTemperatureEffectRaw";
inline constexpr const char* kSe = "SepiaEffectRaw";
inline constexpr const char* kIn = "InvertEffectRaw";
inline constexpr const char* kGr = "GrayscaleEffectRaw";

class EffectTest : public PluginTest {
 protected:
  Ref NewEffect(const std::string& className) {
    Ref effect(host(), host().New(className));
    EXPECT_TRUE(effect) << className;
    return effect;
  }
  RawBitmap& Rec(Object bitmap) { return *host::BitmapRecord(host(), bitmap); }
  int64_t Error(const Ref& effect) { return host().GetInteger(effect.get(), "ErrorCode"); }
  bool Flag(const Ref& effect, const char* name) { return host().GetBoolean(effect.get(), name); }
  // A bitmap of `pixels` pixels in a row, each holding `samples` in pixel
  // order (8-bit: byte by byte; 16-bit: sample by sample).
  Ref Pixels(int64_t format, const Samples& samples, int64_t pixels = 1) {
    Ref bitmap(host(), host::CreateBitmap(host(), pixels, 1, format));
    EXPECT_TRUE(bitmap) << format;
    const int step = Rec(bitmap.get()).bitsPerChannel / 8;
    for (int64_t x = 0; x < pixels; ++x) {
      for (size_t i = 0; i < samples.size(); ++i) {
        SetSample(Rec(bitmap.get()), x, 0, static_cast<int>(i) * step, samples[i]);
      }
    }
    return bitmap;
  }
  // The data samples of pixel x (alpha and any padding sample included).
  Samples SamplesAt(Object bitmap, int64_t x = 0) {
    const RawBitmap& r = Rec(bitmap);
    const int step = r.bitsPerChannel / 8;
    Samples out;
    for (int i = 0; i < r.bytesPerPixel / step; ++i) out.push_back(Sample(r, x, 0, i * step));
    return out;
  }
  Ref Mask(int64_t width, const std::vector<uint32_t>& values, bool sixteen) {
    if (sixteen)
      return MaskWithValues(host(), width, 1, std::vector<uint16_t>(values.begin(), values.end()));
    return MaskWithValues(host(), width, 1, std::vector<uint8_t>(values.begin(), values.end()));
  }
  // A completion target whose log counts the completion calls.
  Ref Target() { return NewCompletionTarget(host()); }
  int Completions(const Ref& target) { return CompletionOf(target.get()).count; }
  bool WaitForCompletion(const Ref& target) {
    return host().RunLoop([&] { return Completions(target) > 0; }, 20.0);
  }
};

}  // namespace lumeno::testing

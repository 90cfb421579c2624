// BrightnessContrastEffectRaw: stretches every colour channel around the
// middle of its range by a squared contrast factor, then adds a brightness
// level, clamping at black and white. Alpha is never changed.
#include <cstddef>
#include <cstdint>

#include "effects/contrast_factor.h"
#include "engine/effect_frame.h"

namespace {

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
  // The same value as a stretch computed in vector lanes.
  lumeno::LinearStretch Linear() const { return {factor, kBits == 8 ? 128 : 32768, level, true}; }
  double factor;
  int32_t level;
};

struct BrightnessContrast : lumeno::EffectDescription {
  static constexpr ZARKclassDefinition* kRecord = &BrightnessContrastEffectRaw;
  using Data = BrightnessContrastData;
  using Params = BrightnessContrastParams;
  struct Values {
    float brightness;
    float contrast;
  };
  static constexpr const char* kApplyValues =
      "Apply(source as RawBitmap,brightnessValue as Single, contrastValue as Single) as RawBitmap";
  static constexpr const char* kApplyInPlaceValues =
      "ApplyInPlace(source as RawBitmap, brightnessValue as Single, contrastValue as Single)";

  static void Construct(Data& data) { data = {0.0f, 0.0f, nullptr}; }
  static Values Stored(const Data& data) { return {data.brightnessValue, data.contrastValue}; }

  // Brightness below -1 or above 1, contrast below -1, no source, contrast
  // above 1; NaN values pass. The asynchronous forms test only the
  // brightness and the source: any stored contrast value is used as it is.
  static bool Accepts(Values v, ZARKobjectStruct* source, lumeno::Form form) {
    if (lumeno::IsAsync(form)) {
      return !(v.brightness < -1.0f || source == nullptr || v.brightness > 1.0f);
    }
    return !(v.brightness < -1.0f || v.brightness > 1.0f || v.contrast < -1.0f ||
             source == nullptr || v.contrast > 1.0f);
  }

  // NaN brightness gives level 0.
  static bool Prepare(Values v, const RawBitmap& source, lumeno::Form, Params* params,
                      lumeno::EffectWorkers* workers) {
    if (!lumeno::ChannelWorkersFor<StretchAndLift>(source, workers)) return false;
    params->contrastFactor = lumeno::ContrastFactor(v.contrast);
    params->brightnessLevel =
        lumeno::TruncToInt(v.brightness * (source.bitsPerChannel == 16 ? 65535.0f : 255.0f));
    return true;
  }
};

using Frame = lumeno::EffectFrame<BrightnessContrast>;

// Both values are served by the host's standard accessor at their offsets.
const ZARKpropertyDefinition kProperties[] = {
    Frame::Mask::Property(),
    lumeno::Field("BrightnessValue", "Single", offsetof(BrightnessContrastData, brightnessValue)),
    lumeno::Field("ContrastValue", "Single", offsetof(BrightnessContrastData, contrastValue)),
};

}  // namespace

ZARKclassDefinition BrightnessContrastEffectRaw =
    Frame::Class("BrightnessContrastEffectRaw", kProperties, lumeno::kProcessorInterfaces);

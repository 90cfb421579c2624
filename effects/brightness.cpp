// BrightnessEffectRaw: adds one signed level to every colour channel,
// clamped to the channel range, optionally weighted by a mask.
#include "engine/effect_frame.h"

namespace {

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

struct Brightness : lumeno::OneValueWithin<-1, 1> {
  static constexpr ZARKclassDefinition* kRecord = &BrightnessEffectRaw;
  using Data = BrightnessData;
  using Params = BrightnessParams;

  static void Construct(Data& data) { data = {0.0f, nullptr}; }
  static Values Stored(const Data& data) { return {data.brightnessValue}; }

  // The value scaled to the source's depth; NaN scales to level 0.
  static bool Prepare(Values v, const RawBitmap& source, lumeno::Form, Params* params,
                      lumeno::EffectWorkers* workers) {
    if (!lumeno::ChannelWorkersFor<Brighten>(source, workers)) return false;
    params->brightnessLevel =
        lumeno::TruncToInt(v.value * (source.bitsPerChannel == 16 ? 65535.0f : 255.0f));
    return true;
  }
};

using Frame = lumeno::EffectFrame<Brightness>;

const ZARKpropertyDefinition kProperties[] = {
    Frame::Mask::Property(),
    Frame::SingleProperty<&BrightnessData::brightnessValue>("BrightnessValue"),
};

}  // namespace

ZARKclassDefinition BrightnessEffectRaw =
    Frame::Class("BrightnessEffectRaw", kProperties, lumeno::kProcessorInterfaces);

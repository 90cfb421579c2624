// ContrastEffectRaw: stretches or flattens every colour sample around
// mid-grey by a squared factor derived from ContrastValue (-1 .. 1). 0 keeps
// the image, -1 turns every colour sample into mid-grey, 1 multiplies each
// sample's distance from mid-grey by four. Alpha is never changed.
#include <cstddef>
#include <cstdint>

#include "effects/contrast_factor.h"
#include "engine/effect_frame.h"

namespace {

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
  // The same value as a stretch computed in vector lanes.
  lumeno::LinearStretch Linear() const { return {factor, kBits == 8 ? 128 : 32768, 0, false}; }
  double factor;
};

struct Contrast : lumeno::OneValueWithin<-1, 1> {
  static constexpr ZARKclassDefinition* kRecord = &ContrastEffectRaw;
  using Data = ContrastData;
  using Params = ContrastParams;

  static void Construct(Data& data) { data = {0.0f, nullptr}; }
  static Values Stored(const Data& data) { return {data.contrastValue}; }

  static bool Prepare(Values v, const RawBitmap& source, lumeno::Form, Params* params,
                      lumeno::EffectWorkers* workers) {
    if (!lumeno::ChannelWorkersFor<Stretch>(source, workers)) return false;
    params->contrastFactor = lumeno::ContrastFactor(v.value);
    return true;
  }
};

using Frame = lumeno::EffectFrame<Contrast>;

const ZARKpropertyDefinition kProperties[] = {
    Frame::Mask::Property(),
    Frame::SingleProperty<&ContrastData::contrastValue>("ContrastValue"),
};

}  // namespace

ZARKclassDefinition ContrastEffectRaw =
    Frame::Class("ContrastEffectRaw", kProperties, lumeno::kProcessorInterfaces);

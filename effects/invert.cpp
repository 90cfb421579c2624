// InvertEffectRaw: the negative of a bitmap. Every sample but alpha is
// replaced by its complement to the channel's full scale, the fourth colour
// channel of four-colour (CMYK) images and the padding byte of padded
// formats included; it is the one effect that accepts formats 13 to 16.
#include "engine/effect_frame.h"

namespace {

// Instance data following MPImageFilterData.
struct InvertData {
  ZARKobjectStruct* mask;  // RawBitmapMask, held while stored
};
static_assert(sizeof(InvertData) == 8);

// The complement to full scale; the channel walker copies alpha and mixes
// the source back in where the mask asks for it.
template <int kBits>
struct Complement {
  explicit Complement(const GenericMPParams&) {}
  uint32_t operator()(uint32_t o) const { return lumeno::Depth<kBits>::kMax - o; }
};

struct Invert : lumeno::EffectDescription {
  static constexpr ZARKclassDefinition* kRecord = &InvertEffectRaw;
  using Data = InvertData;
  struct Params {
    GenericMPParams base;  // no parameter block
  };
  struct Values {};

  static void Construct(Data& data) { data.mask = nullptr; }
  static Values Stored(const Data&) { return {}; }

  static bool Accepts(Values, ZARKobjectStruct* source, lumeno::Form) { return source != nullptr; }

  // Formats 13 to 16 are accepted: the fourth colour channel inverts like
  // the others.
  static bool Prepare(Values, const RawBitmap& source, lumeno::Form, Params*,
                      lumeno::EffectWorkers* workers) {
    if (!lumeno::ChannelWorkersFor<Complement>(source, workers)) return false;
    workers->depthFlags = static_cast<signed char>(workers->depthFlags | kDepthFourColour);
    return true;
  }
};

using Frame = lumeno::EffectFrame<Invert>;

const ZARKpropertyDefinition kProperties[] = {
    Frame::Mask::Property(),
};

}  // namespace

ZARKclassDefinition InvertEffectRaw =
    Frame::Class("InvertEffectRaw", kProperties, lumeno::kProcessorInterfaces);

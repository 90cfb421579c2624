// ColorFilterEffectRaw: adds a fixed fraction of the full scale to each of
// the three colour channels (Red, Green, Blue, each -1..1) and limits the
// sums to the channel range. TintAndTemperatureEffectRaw (tint_temperature.cpp)
// is the same filter on the same instance layout: its constructor,
// destructor, Mask accessors and Apply methods are the ones registered here,
// and they always find the instance data through this class's definition.
#include "effects/color_filter.h"

#include <cstring>

#include "effects/color_filter_kernel.h"
#include "engine/fast_paths.h"

namespace {

using lumeno::TruncToInt;

using lumeno::ColorFilterContext;
using lumeno::ColorFilterParams;

using lumeno::color_filter::ShiftPlan;
using lumeno::color_filter::ShiftRow;

// The faster rows by depth (effects/color_filter_kernel.h).
#if defined(LUMENO_X86_PATHS)
constexpr lumeno::FastPath<ShiftRow> kShiftRows8[] = {
    {lumeno::CpuLevel::kBaseline, &lumeno::color_filter::ShiftRow8Sse2}};
constexpr lumeno::FastPath<ShiftRow> kShiftRows16[] = {
    {lumeno::CpuLevel::kBaseline, &lumeno::color_filter::ShiftRow16Sse2}};
#else
constexpr lumeno::FastPath<ShiftRow> kShiftRows8[] = {{lumeno::CpuLevel::kBaseline, nullptr}};
constexpr lumeno::FastPath<ShiftRow> kShiftRows16[] = {{lumeno::CpuLevel::kBaseline, nullptr}};
#endif

// The plan of the shift rows (effects/color_filter_kernel.h). Only taken
// where every sample of no colour channel is one the worker would leave
// equal to the source's: alpha copied to its own offset, or any sample when
// the run is in place.
template <int kBits>
bool PlanShift(const GenericMPParams& p, const ColorFilterParams& filter, ShiftPlan* plan) {
  using Sample = typename lumeno::Depth<kBits>::Sample;
  constexpr int32_t kSampleBytes = kBits / 8;
  const RawBitmap& destination = *p.destination;
  if (p.srcPixelBytes != p.dstPixelBytes || p.srcPixelBytes % kSampleBytes != 0) return false;
  const int32_t samples = p.srcPixelBytes / kSampleBytes;
  if (samples < 1 || samples > 8) return false;
  const int32_t index[3] = {filter.srcRedIndex, filter.srcGreenIndex, filter.srcBlueIndex};
  const int32_t dstIndex[3] = {destination.redOffset / kSampleBytes,
                               destination.greenOffset / kSampleBytes,
                               destination.blueOffset / kSampleBytes};
  const int32_t level[3] = {filter.redLevel, filter.greenLevel, filter.blueLevel};
  const bool inPlace = p.srcPixels == p.dstPixels && p.srcRowBytes == p.dstRowBytes;
  const bool copyAlpha = destination.hasAlpha != 0;
  const int32_t dstAlpha = destination.alphaOffset / kSampleBytes;
  const int32_t srcAlpha = p.source->alphaOffset / kSampleBytes;
  plan->samples = samples;
  bool colour[8] = {};
  for (int k = 0; k < 3; ++k) {
    if (index[k] != dstIndex[k] || index[k] < 0 || index[k] >= samples || colour[index[k]]) {
      return false;
    }
    colour[index[k]] = true;
    if (level[k] > static_cast<int32_t>(lumeno::Depth<kBits>::kMax) ||
        level[k] < -static_cast<int32_t>(lumeno::Depth<kBits>::kMax)) {
      return false;
    }
    plan->up[index[k]] = level[k] > 0 ? level[k] : 0;
    plan->down[index[k]] = level[k] < 0 ? -level[k] : 0;
  }
  if (copyAlpha && (srcAlpha != dstAlpha || (dstAlpha < samples && colour[dstAlpha]))) {
    return false;
  }
  for (int32_t i = 0; i < samples; ++i) {
    if (colour[i]) continue;
    if (!inPlace && !(copyAlpha && i == dstAlpha)) return false;
    plan->up[i] = 0;
    plan->down[i] = 0;
  }
  constexpr int32_t kLanes = 16 / kSampleBytes;
  for (int32_t l = 0; l < kLanes * samples; ++l) {
    const Sample up = static_cast<Sample>(plan->up[l % samples]);
    const Sample down = static_cast<Sample>(plan->down[l % samples]);
    std::memcpy(plan->upLanes + l * kSampleBytes, &up, kSampleBytes);
    std::memcpy(plan->downLanes + l * kSampleBytes, &down, kSampleBytes);
  }
  return true;
}

// A band through the shift row, the rest of each row sample by sample.
// Masked, by runs mixed with the originals on the three colour samples.
template <int kBits, bool kMasked>
void* ShiftRows(void* jobPointer, const ShiftPlan& plan, ShiftRow row,
                const ColorFilterParams& filter) {
  using Sample = typename lumeno::Depth<kBits>::Sample;
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const int32_t samples = plan.samples;
  const auto run = [&](const uint8_t* src, uint8_t* dst, int32_t pixels) {
    const int64_t count = static_cast<int64_t>(pixels) * samples;
    for (int64_t j = row(plan, src, dst, count); j < count; ++j) {
      Sample o;
      std::memcpy(&o, src + j * static_cast<int64_t>(sizeof(Sample)), sizeof(Sample));
      const int32_t i = static_cast<int32_t>(j % samples);
      const Sample e = static_cast<Sample>(
          lumeno::ClampChannel<kBits>(static_cast<int32_t>(o) + plan.up[i] - plan.down[i]));
      std::memcpy(dst + j * static_cast<int64_t>(sizeof(Sample)), &e, sizeof(Sample));
    }
  };
  if constexpr (kMasked) {
    Sample share[8] = {};
    for (int32_t index : {filter.srcRedIndex, filter.srcGreenIndex, filter.srcBlueIndex}) {
      share[index] = lumeno::Depth<kBits>::kMax;
    }
    if (samples == 4) return lumeno::WalkMaskedRuns<kBits, 4>(jobPointer, samples, share, run);
    return lumeno::WalkMaskedRuns<kBits, 0>(jobPointer, samples, share, run);
  } else {
    (void)filter;
    return lumeno::ForEachRow(
        jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) { run(src, dst, p.width); });
  }
}

// The row worker for one depth, plain or masked: each of the three channels
// is read at the parameter block's source index, shifted by its level and
// limited, and written at the destination's own offset (at 16 bits a byte
// offset names the sample that starts at it, rounded down to even).
template <int kBits, bool kMasked>
void* ColorFilterRows(void* jobPointer) {
  using lumeno::LoadSample;
  using lumeno::StoreSample;
  constexpr int32_t kSampleBytes = kBits / 8;
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const ColorFilterParams& filter = reinterpret_cast<const ColorFilterContext&>(p).filter;
  const RawBitmap& source = *p.source;
  const RawBitmap& destination = *p.destination;

  const int32_t dstRed = destination.redOffset / kSampleBytes;
  const int32_t dstGreen = destination.greenOffset / kSampleBytes;
  const int32_t dstBlue = destination.blueOffset / kSampleBytes;
  const bool copyAlpha = destination.hasAlpha != 0;
  const int32_t dstAlpha = destination.alphaOffset / kSampleBytes;
  const int32_t srcAlpha = source.alphaOffset / kSampleBytes;

  const ShiftRow row = kBits == 8 ? lumeno::Pick(kShiftRows8) : lumeno::Pick(kShiftRows16);
  ShiftPlan plan;
  if (row != nullptr && PlanShift<kBits>(p, filter, &plan)) {
    return ShiftRows<kBits, kMasked>(jobPointer, plan, row, filter);
  }
  return lumeno::ForEachPixel<kBits, kMasked>(
      jobPointer, [&](const uint8_t* s, uint8_t* d, uint32_t m) {
        const uint32_t s1 = LoadSample<kBits>(s, filter.srcRedIndex);
        const uint32_t s2 = LoadSample<kBits>(s, filter.srcGreenIndex);
        const uint32_t s3 = LoadSample<kBits>(s, filter.srcBlueIndex);
        uint32_t alpha = 0;
        if (copyAlpha) alpha = LoadSample<kBits>(s, srcAlpha);
        uint32_t e1 = lumeno::ClampChannel<kBits>(filter.redLevel + static_cast<int32_t>(s1));
        uint32_t e2 = lumeno::ClampChannel<kBits>(filter.greenLevel + static_cast<int32_t>(s2));
        uint32_t e3 = lumeno::ClampChannel<kBits>(filter.blueLevel + static_cast<int32_t>(s3));
        if constexpr (kMasked) {
          e1 = lumeno::MaskMix<kBits>(s1, e1, m);
          e2 = lumeno::MaskMix<kBits>(s2, e2, m);
          e3 = lumeno::MaskMix<kBits>(s3, e3, m);
        }
        StoreSample<kBits>(d, dstRed, e1);
        StoreSample<kBits>(d, dstGreen, e2);
        StoreSample<kBits>(d, dstBlue, e3);
        if (copyAlpha) StoreSample<kBits>(d, dstAlpha, alpha);
      });
}

}  // namespace

namespace lumeno {

void ColorFilter::Construct(Data& data) {
  data.red = 0.0f;
  data.green = 0.0f;
  data.blue = 0.0f;
  data.mask = nullptr;
}

// Each value within -1..1 (NaN passes) and a source; the in-place forms also
// refuse a gray source, which has no three colour channels to write back
// into.
bool ColorFilter::Accepts(Values v, ZARKobjectStruct* source, Form form) {
  if (v.red < -1.0f || v.red > 1.0f || v.green < -1.0f || v.green > 1.0f || v.blue < -1.0f ||
      v.blue > 1.0f || source == nullptr) {
    return false;
  }
  return !(IsInPlace(form) && GetRawBitmapData(source)->channelCount <= 2);
}

// Never refuses: any depth but 16 takes the 8-bit pair, and the engine
// refuses depths other than 8.
bool ColorFilter::Prepare(Values v, const RawBitmap& source, Form, Params* context,
                          EffectWorkers* workers) {
  ColorFilterParams& filter = context->filter;
  filter.srcRedIndex = source.redOffset;
  if (source.channelCount > 2) {
    filter.srcGreenIndex = source.greenOffset;
    filter.srcBlueIndex = source.blueOffset;
  } else {
    // A new bitmap from a gray source: the gray sample feeds all three channels.
    filter.srcGreenIndex = source.redOffset;
    filter.srcBlueIndex = source.redOffset;
  }
  if (source.bitsPerChannel == 16) {
    filter.redLevel = TruncToInt(v.red * 65535.0f);
    filter.greenLevel = TruncToInt(v.green * 65535.0f);
    filter.blueLevel = TruncToInt(v.blue * 65535.0f);
    filter.srcRedIndex >>= 1;
    filter.srcGreenIndex >>= 1;
    filter.srcBlueIndex >>= 1;
    *workers = {{&ColorFilterRows<16, false>, &ColorFilterRows<16, true>},
                kDepth16 | kDepthLibraryMark};
  } else {
    filter.redLevel = TruncToInt(v.red * 255.0f);
    filter.greenLevel = TruncToInt(v.green * 255.0f);
    filter.blueLevel = TruncToInt(v.blue * 255.0f);
    *workers = {{&ColorFilterRows<8, false>, &ColorFilterRows<8, true>},
                kDepth8 | kDepthLibraryMark};
  }
  return true;
}

}  // namespace lumeno

namespace {

using lumeno::ColorFilterFrame;

const ZARKpropertyDefinition kProperties[] = {
    ColorFilterFrame::Mask::Property(),
    lumeno::Field("Red", "Single", offsetof(lumeno::ColorFilterData, red)),
    lumeno::Field("Green", "Single", offsetof(lumeno::ColorFilterData, green)),
    lumeno::Field("Blue", "Single", offsetof(lumeno::ColorFilterData, blue)),
};

}  // namespace

ZARKclassDefinition ColorFilterEffectRaw =
    ColorFilterFrame::Class("ColorFilterEffectRaw", kProperties, "IRawBitmapProcessor");

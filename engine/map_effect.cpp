// The map effect offered to other plug-ins: every red, green and blue value
// replaced by its channel's lookup table, run by the filter engine.
#include "engine/filter_base.h"

namespace {

using lumeno::Depth;
using lumeno::LoadSample;
using lumeno::StoreSample;

// Which table a sample takes. The positions are tested in this order and the
// first match wins, so a position that is both green and red maps by green.
enum class MapChannel { kAlpha, kGreen, kBlue, kRed, kOther };

MapChannel ChannelAt(const RawBitmap& source, int32_t bytePosition) {
  if (bytePosition == source.alphaOffset) return MapChannel::kAlpha;
  if (bytePosition == source.greenOffset) return MapChannel::kGreen;
  if (bytePosition == source.blueOffset) return MapChannel::kBlue;
  if (bytePosition == source.redOffset) return MapChannel::kRed;
  return MapChannel::kOther;
}

// Row worker of the map effect. 8-bit workers test each byte index of a
// pixel, 16-bit workers the byte position 2 * s of each sample s; the test is
// made once per band into a table pointer for each sample position of a
// pixel (null where the sample is not mapped: alpha, copied, and positions
// of no colour channel, which keep o but still take the mask blend).
template <int kBits, bool kMasked, int kSamples>
void* MapRows(void* jobPointer, int32_t runtimeSamples, const MapChannel* channels,
              const typename Depth<kBits>::Sample* const* tables) {
  using Sample = typename Depth<kBits>::Sample;
  const int32_t samples = kSamples > 0 ? kSamples : runtimeSamples;
  constexpr int kMaxSamples = 16;
  const Sample* at[kMaxSamples];
  bool keep[kMaxSamples];
  bool unmapped[kMaxSamples];
  for (int32_t i = 0; i < samples; ++i) {
    keep[i] = channels[i] == MapChannel::kAlpha;
    unmapped[i] = channels[i] == MapChannel::kOther || keep[i];
    at[i] = unmapped[i] ? nullptr : tables[static_cast<int>(channels[i]) - 1];
  }
  // A table the pixel maps through (tables of channels no position maps to
  // may be absent).
  const Sample* anyTable = nullptr;
  for (int32_t i = 0; i < samples && anyTable == nullptr; ++i) anyTable = at[i];
  if constexpr (kSamples > 0) {
    // The kept samples need no test: each position looks up in a table the
    // pixel uses and an all-ones mark selects o where the sample is kept.
    Sample keepBits[kSamples];
    const Sample* lookUp[kSamples];
    const uint8_t* wideTables[kSamples];
    for (int32_t i = 0; i < kSamples; ++i) {
      keepBits[i] = static_cast<Sample>(unmapped[i] ? Depth<kBits>::kMax : 0);
      lookUp[i] = unmapped[i] ? anyTable : at[i];
      wideTables[i] =
          kBits == 8 && !unmapped[i] ? reinterpret_cast<const uint8_t*>(at[i]) : nullptr;
    }
    // One whole pixel.
    const auto pixel = [&](const uint8_t* src, uint8_t* dst) {
      Sample o[kSamples];
      std::memcpy(o, src, sizeof(o));
      Sample e[kSamples];
#pragma GCC unroll 8
      for (int32_t i = 0; i < kSamples; ++i) {
        e[i] = static_cast<Sample>((o[i] & keepBits[i]) | (lookUp[i][o[i]] & ~keepBits[i]));
      }
      std::memcpy(dst, e, sizeof(e));
    };
    const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
    constexpr int32_t kPixelBytes = kSamples * static_cast<int32_t>(sizeof(Sample));
    if (anyTable != nullptr && p.srcPixelBytes == kPixelBytes && p.dstPixelBytes == kPixelBytes) {
      // Packed pixels: at 8 bits as much of a run as it takes through the
      // wide look-up, the rest of its pixel sample by sample, then whole
      // pixels. Masked, by runs mixed with the originals on every sample
      // but alpha.
      const lumeno::WideLookUp wide(wideTables, kSamples);
      const auto run = [&](const uint8_t* src, uint8_t* dst, int32_t pixels) {
        const int64_t count = static_cast<int64_t>(pixels) * kSamples;
        int64_t j = kBits == 8 && wide.Usable() ? wide.Run(src, dst, count) : 0;
        for (int32_t i = static_cast<int32_t>(j % kSamples); i != 0 && i < kSamples; ++i, ++j) {
          Sample o;
          std::memcpy(&o, src + j * static_cast<int64_t>(sizeof(Sample)), sizeof(Sample));
          const Sample e = static_cast<Sample>((o & keepBits[i]) | (lookUp[i][o] & ~keepBits[i]));
          std::memcpy(dst + j * static_cast<int64_t>(sizeof(Sample)), &e, sizeof(Sample));
        }
        for (; j < count; j += kSamples) {
          pixel(src + j * static_cast<int64_t>(sizeof(Sample)),
                dst + j * static_cast<int64_t>(sizeof(Sample)));
        }
      };
      if constexpr (kMasked) {
        Sample share[kSamples];
        for (int32_t i = 0; i < kSamples; ++i) {
          share[i] = static_cast<Sample>(keep[i] ? 0 : Depth<kBits>::kMax);
        }
        return lumeno::WalkMaskedRuns<kBits, kSamples>(jobPointer, kSamples, share, run);
      } else {
        return lumeno::ForEachRow(
            jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) { run(src, dst, p.width); });
      }
    }
    if (!kMasked && anyTable != nullptr) {
      return lumeno::ForEachPixel<kBits, false>(
          jobPointer, [&](const uint8_t* src, uint8_t* dst, uint32_t) { pixel(src, dst); });
    }
  }
  return lumeno::ForEachPixel<kBits, kMasked>(
      jobPointer, [&](const uint8_t* src, uint8_t* dst, uint32_t m) {
        Sample out[kSamples > 0 ? kSamples : kMaxSamples];
        for (int32_t i = 0; i < samples; ++i) {
          const uint32_t o = LoadSample<kBits>(src, i);
          const uint32_t e = unmapped[i] ? o : at[i][o];
          out[i] = static_cast<Sample>(keep[i] || !kMasked ? e : lumeno::MaskMix<kBits>(o, e, m));
        }
        std::memcpy(dst, out, static_cast<size_t>(samples) * sizeof(Sample));
      });
}

template <int kBits, bool kMasked>
void* MapWorker(void* jobPointer) {
  GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const MapParams& map = reinterpret_cast<const MapParams&>(p);
  using Sample = typename Depth<kBits>::Sample;
  const Sample* tables[] = {static_cast<const Sample*>(map.greenTable),
                            static_cast<const Sample*>(map.blueTable),
                            static_cast<const Sample*>(map.redTable)};
  const RawBitmap& source = *p.source;
  const int32_t samples = lumeno::SamplesPerPixel<kBits>(source);
  const int32_t positionStep = kBits == 8 ? 1 : 2;
  MapChannel channels[16];
  if (samples > 16) {
    // Wider pixels than any format has: the position test per sample.
    return lumeno::ForEachPixel<kBits, kMasked>(
        jobPointer, [&](const uint8_t* src, uint8_t* dst, uint32_t m) {
          for (int32_t i = 0; i < samples; ++i) {
            const uint32_t o = LoadSample<kBits>(src, i);
            const MapChannel channel = ChannelAt(source, i * positionStep);
            if (channel == MapChannel::kAlpha) {
              StoreSample<kBits>(dst, i, o);
              continue;
            }
            const uint32_t e =
                channel == MapChannel::kOther ? o : tables[static_cast<int>(channel) - 1][o];
            StoreSample<kBits>(dst, i, kMasked ? lumeno::MaskMix<kBits>(o, e, m) : e);
          }
        });
  }
  for (int32_t i = 0; i < samples; ++i) channels[i] = ChannelAt(source, i * positionStep);
  switch (samples) {
    case 3:
      return MapRows<kBits, kMasked, 3>(jobPointer, samples, channels, tables);
    case 4:
      return MapRows<kBits, kMasked, 4>(jobPointer, samples, channels, tables);
    default:
      return MapRows<kBits, kMasked, 0>(jobPointer, samples, channels, tables);
  }
}

constexpr lumeno::WorkerPair kMapWorkers8 = {&MapWorker<8, false>, &MapWorker<8, true>};
constexpr lumeno::WorkerPair kMapWorkers16 = {&MapWorker<16, false>, &MapWorker<16, true>};

// 8-bit sources take the 8-bit workers, every other depth the 16-bit ones
// (the engine then refuses depths that depthFlags do not accept).
const lumeno::WorkerPair& MapWorkersFor(const RawBitmap& source) {
  return source.bitsPerChannel == 8 ? kMapWorkers8 : kMapWorkers16;
}

GenericMPParams* Context(MapParams* params) { return reinterpret_cast<GenericMPParams*>(params); }

// The map effect runs with two threads unless the filter says otherwise.
constexpr int32_t kMapAutomaticThreads = 2;

}  // namespace

LUMENO_EXPORT ZARKobjectStruct* ApplyMapEffect(MPImageFilterData* data, ZARKobjectStruct* source,
                                               ZARKobjectStruct* mask, MapParams* params,
                                               signed char depthFlags,
                                               signed char destinationOptions) {
  RawBitmap* record = GetRawBitmapData(source);
  const lumeno::WorkerPair& workers = MapWorkersFor(*record);
  return data->engine->ApplyFilter(data, Context(params), workers.plain, workers.masked, record,
                                   mask, kMapAutomaticThreads, depthFlags, destinationOptions);
}

LUMENO_EXPORT void ApplyMapEffectInPlace(MPImageFilterData* data, ZARKobjectStruct* source,
                                         ZARKobjectStruct* mask, MapParams* params,
                                         signed char depthFlags) {
  RawBitmap* record = GetRawBitmapData(source);
  const lumeno::WorkerPair& workers = MapWorkersFor(*record);
  data->engine->ApplyFilterInPlace(data, Context(params), workers.plain, workers.masked, record,
                                   mask, kMapAutomaticThreads, depthFlags);
}

LUMENO_EXPORT void ApplyMapEffectAsync(
    ZARKobjectStruct* self, MPImageFilterData* data, ZARKobjectStruct* source,
    ZARKobjectStruct* mask, MapParams* params, signed char depthFlags,
    signed char destinationOptions, ZARKobjectStruct* completeTarget, void* completeMethod,
    signed char (*releaseParamsProc)(ZARKobjectStruct*, GenericMPParams*)) {
  RawBitmap* record = GetRawBitmapData(source);
  const lumeno::WorkerPair& workers = MapWorkersFor(*record);
  data->engine->ApplyFilterAsync(self, data, source, Context(params), workers.plain, workers.masked,
                                 record, mask, kMapAutomaticThreads, depthFlags, destinationOptions,
                                 completeTarget, completeMethod, releaseParamsProc);
}

LUMENO_EXPORT void ApplyMapEffectInPlaceAsync(
    ZARKobjectStruct* self, MPImageFilterData* data, ZARKobjectStruct* source,
    ZARKobjectStruct* mask, MapParams* params, signed char depthFlags,
    ZARKobjectStruct* completeTarget, void* completeMethod,
    signed char (*releaseParamsProc)(ZARKobjectStruct*, GenericMPParams*)) {
  RawBitmap* record = GetRawBitmapData(source);
  const lumeno::WorkerPair& workers = MapWorkersFor(*record);
  data->engine->ApplyFilterInPlaceAsync(
      self, data, source, Context(params), workers.plain, workers.masked, record, mask,
      kMapAutomaticThreads, depthFlags, completeTarget, completeMethod, releaseParamsProc);
}

namespace lumeno {

void* GetMapEffectProc(int32_t index) {
  switch (index) {
    case 1:
      return reinterpret_cast<void*>(&ApplyMapEffect);
    case 2:
      return reinterpret_cast<void*>(&ApplyMapEffectInPlace);
    case 3:
      return reinterpret_cast<void*>(&ApplyMapEffectAsync);
    case 4:
      return reinterpret_cast<void*>(&ApplyMapEffectInPlaceAsync);
    default:
      return nullptr;
  }
}

}  // namespace lumeno

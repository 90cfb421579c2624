// SepiaEffectRaw: reduces each pixel to its luminance and rebuilds the three
// colour channels from it, shifted along a fixed brown direction (red up,
// green slightly down, blue down) whose length grows with SepiaValue (0..1).
// A gray source given to Apply is promoted to a colour destination by the
// engine, and its one gray sample feeds all three colour reads.
//
// The plain workers here do every band whole; the rows of
// effects/x86/sepia_*.cpp do the same faster where the processor and the
// layout allow (engine/fast_paths.h).
#include <cstdint>
#include <cstdlib>

#include "effects/sepia_kernel.h"
#include "engine/effect_frame.h"
#include "engine/fast_paths.h"
#include "engine/filter_base.h"

namespace {

using lumeno::TruncToInt;
using namespace lumeno::sepia;

// Instance data following MPImageFilterData.
struct SepiaData {
  float sepiaValue;
  ZARKobjectStruct* mask;  // RawBitmapMask, held while stored
};
static_assert(sizeof(SepiaData) == 16);

// The effect's parameter block and the context record of one run.
struct SepiaParams {
  int32_t sepiaLevel;
  int32_t srcRedIndex;  // byte offsets at 8 bits, sample indices at 16 bits
  int32_t srcGreenIndex;
  int32_t srcBlueIndex;
};
struct SepiaContext {
  GenericMPParams base;
  SepiaParams sepia;
};
static_assert(offsetof(SepiaContext, sepia) == sizeof(GenericMPParams));

// One tinted channel: the double sum is rounded to single precision, limited
// to the channel range there, then truncated.
template <int kBits>
uint32_t TintedChannel(double value) {
  constexpr float kTop = static_cast<float>(lumeno::Depth<kBits>::kMax);
  float f = static_cast<float>(value);
  if (f < 0.0f) {
    f = 0.0f;
  } else if (f > kTop) {
    f = kTop;
  }
  return static_cast<uint32_t>(TruncToInt(f));
}

// TintedChannel without branches, for values known to be finite and within
// the float range (a whole luminance plus or minus the level's shift): the
// limits become min and max, the truncation a plain conversion.
template <int kBits>
inline uint32_t TintedChannelLimited(double value) {
  constexpr float kTop = static_cast<float>(lumeno::Depth<kBits>::kMax);
  float f = static_cast<float>(value);
  f = f < 0.0f ? 0.0f : f;
  f = f > kTop ? kTop : f;
  return static_cast<uint32_t>(static_cast<int32_t>(f));
}

// The per-pixel data every worker of a band shares: where the channels are
// read and written, and what happens to alpha. Indices count samples (bytes
// at 8 bits); at 16 bits a destination byte offset names the sample that
// starts at it, rounded down to even.
template <int kBits>
struct SepiaLayout : Samples {
  SepiaLayout(const GenericMPParams& p, const SepiaParams& sepia) {
    constexpr int32_t kSampleBytes = kBits / 8;
    const RawBitmap& source = *p.source;
    const RawBitmap& destination = *p.destination;
    srcRed = sepia.srcRedIndex;
    srcGreen = sepia.srcGreenIndex;
    srcBlue = sepia.srcBlueIndex;
    dstRed = destination.redOffset / kSampleBytes;
    dstGreen = destination.greenOffset / kSampleBytes;
    dstBlue = destination.blueOffset / kSampleBytes;
    copyAlpha = destination.hasAlpha != 0;
    dstAlpha = destination.alphaOffset / kSampleBytes;
    // A gray source without alpha promoted to a colour format with alpha has
    // no alpha sample to copy: such pixels come out opaque.
    srcAlpha = source.alphaOffset / kSampleBytes;
    const bool sourceHasAlpha =
        source.hasAlpha != 0 && srcAlpha * kSampleBytes < source.bytesPerPixel;
    loadAlpha = copyAlpha && sourceHasAlpha;
  }
};

TintShifts ShiftsFor(int32_t sepiaLevel) {
  const double level = static_cast<double>(sepiaLevel);
  return {level * kTintRed, level * kTintGreen, level * kTintBlue};
}

// The luminance, summed in this order and truncated to a whole channel
// value. The weights sum to 1, so the sum lies in [0, kMax] (give or take
// rounding): a plain conversion truncates it, the limit guards the tables.
template <int kBits>
inline uint32_t Luminance(uint32_t r, uint32_t g, uint32_t b) {
  const double luma =
      (static_cast<double>(r) * kWeightRed + static_cast<double>(g) * kWeightGreen) +
      static_cast<double>(b) * kWeightBlue;
  const uint32_t yi = static_cast<uint32_t>(static_cast<int32_t>(luma));
  return yi > lumeno::Depth<kBits>::kMax ? lumeno::Depth<kBits>::kMax : yi;
}

// One 16-bit pixel, the tinted channels by formula.
template <bool kMasked>
inline void Sepia16Pixel(const SepiaLayout<16>& at, const TintShifts& shift, const uint8_t* s,
                         uint8_t* d, uint32_t m) {
  using lumeno::LoadSample;
  using lumeno::StoreSample;
  const uint32_t r = LoadSample<16>(s, at.srcRed);
  const uint32_t g = LoadSample<16>(s, at.srcGreen);
  const uint32_t b = LoadSample<16>(s, at.srcBlue);
  const uint32_t alpha = at.loadAlpha ? LoadSample<16>(s, at.srcAlpha) : 65535u;
  const double y = static_cast<double>(Luminance<16>(r, g, b));
  uint32_t red = TintedChannelLimited<16>(y + shift.red);
  uint32_t green = TintedChannelLimited<16>(y - shift.green);
  uint32_t blue = TintedChannelLimited<16>(y - shift.blue);
  if constexpr (kMasked) {
    red = lumeno::MaskMix16(r, red, m);
    green = lumeno::MaskMix16(g, green, m);
    blue = lumeno::MaskMix16(b, blue, m);
  }
  StoreSample<16>(d, at.dstRed, red);
  StoreSample<16>(d, at.dstGreen, green);
  StoreSample<16>(d, at.dstBlue, blue);
  if (at.copyAlpha) StoreSample<16>(d, at.dstAlpha, alpha);
}

// The faster rows, highest level first.
#if defined(LUMENO_X86_PATHS)
using lumeno::CpuLevel;
constexpr lumeno::FastPath<Paths8> kPaths8[] = {
    {CpuLevel::kAvx2, {&PrepareVector8, &Row8Avx2}},
    {CpuLevel::kBaseline, {&PrepareVector8, &Row8Sse2}}};
constexpr lumeno::FastPath<Paths16> kPaths16[] = {
    {CpuLevel::kAvx2, {&PrepareBand16Avx2, &Row16Avx2}}};
#else
constexpr lumeno::FastPath<Paths8> kPaths8[] = {{lumeno::CpuLevel::kBaseline, {}}};
constexpr lumeno::FastPath<Paths16> kPaths16[] = {{lumeno::CpuLevel::kBaseline, {}}};
#endif

// A band of four-sample pixels through a faster row, run(src, dst, pixels)
// doing a run of whole pixels: plain whole rows, masked by runs mixed with
// the originals on the three colour samples where each is written at the
// place it is read from (FastTakes).
template <int kBits, bool kMasked, typename Run>
void* WalkFast(void* jobPointer, const SepiaLayout<kBits>& at, const Run& run) {
  if constexpr (kMasked) {
    typename lumeno::Depth<kBits>::Sample share[4];
    lumeno::ColourShares(at, 4, share);
    return lumeno::WalkMaskedRuns<kBits, 4>(jobPointer, 4, share, run);
  } else {
    const int32_t width = static_cast<FilterJob*>(jobPointer)->params->width;
    return lumeno::ForEachRow(
        jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) { run(src, dst, width); });
  }
}

// Whether WalkFast takes a band: always plain, masked where the mask can
// be mixed in by runs.
template <int kBits, bool kMasked>
bool FastTakes(const SepiaLayout<kBits>& at) {
  typename lumeno::Depth<kBits>::Sample share[4];
  return !kMasked || lumeno::ColourShares(at, 4, share);
}

// The 16-bit row worker, plain or masked. Bands of four-sample pixels go
// through a faster row where the processor and the layout allow it.
template <bool kMasked>
void* SepiaRows16(void* jobPointer) {
  const FilterJob& job = *static_cast<FilterJob*>(jobPointer);
  const GenericMPParams& p = *job.params;
  const SepiaParams& sepia = reinterpret_cast<const SepiaContext&>(p).sepia;
  const SepiaLayout<16> at(p, sepia);
  const TintShifts shift = ShiftsFor(sepia.sepiaLevel);
  const Paths16 fast = lumeno::Pick(kPaths16);
  Band16 band;
  if (fast.row != nullptr && FastTakes<16, kMasked>(at) &&
      fast.prepare(job, at, shift, sepia.sepiaLevel, &band)) {
    return WalkFast<16, kMasked>(
        jobPointer, at, [&](const uint8_t* src, uint8_t* dst, int32_t pixels) {
          for (int32_t x = fast.row(band, src, dst, pixels); x < pixels; ++x) {
            Sepia16Pixel<false>(at, shift, src + static_cast<int64_t>(x) * 8,
                                dst + static_cast<int64_t>(x) * 8, 0);
          }
        });
  }
  return lumeno::ForEachPixel<16, kMasked>(
      jobPointer,
      [&](const uint8_t* s, uint8_t* d, uint32_t m) { Sepia16Pixel<kMasked>(at, shift, s, d, m); });
}

// -- 8 bits --------------------------------------------------------------------
//
// An 8-bit band works from tables. The luminance products: each entry is the
// double the formula forms for that value (converted, then multiplied), so a
// sum of entries in the formula's order is the formula's own sum. The tinted
// channels depend on the whole luminance value alone: three tables, each
// entry the channel's own formula.
struct Sepia8Tables {
  double lumaRed[256];
  double lumaGreen[256];
  double lumaBlue[256];
  uint8_t red[256];
  uint8_t green[256];
  uint8_t blue[256];

  explicit Sepia8Tables(int32_t sepiaLevel) {
    const TintShifts shift = ShiftsFor(sepiaLevel);
    for (int32_t v = 0; v < 256; ++v) {
      const double y = static_cast<double>(v);
      lumaRed[v] = y * kWeightRed;
      lumaGreen[v] = y * kWeightGreen;
      lumaBlue[v] = y * kWeightBlue;
      red[v] = static_cast<uint8_t>(TintedChannel<8>(y + shift.red));
      green[v] = static_cast<uint8_t>(TintedChannel<8>(y - shift.green));
      blue[v] = static_cast<uint8_t>(TintedChannel<8>(y - shift.blue));
    }
  }

  uint32_t Luminance(uint32_t r, uint32_t g, uint32_t b) const {
    const double luma = (lumaRed[r] + lumaGreen[g]) + lumaBlue[b];
    const uint32_t yi = static_cast<uint32_t>(static_cast<int32_t>(luma));
    return yi > 255u ? 255u : yi;
  }
};

// One 8-bit pixel through the tables.
template <bool kMasked>
inline void Sepia8Pixel(const Sepia8Tables& t, const SepiaLayout<8>& at, const uint8_t* s,
                        uint8_t* d, uint32_t m) {
  const uint32_t r = s[at.srcRed];
  const uint32_t g = s[at.srcGreen];
  const uint32_t b = s[at.srcBlue];
  const uint8_t alpha = at.loadAlpha ? s[at.srcAlpha] : uint8_t{255};
  const uint32_t y = t.Luminance(r, g, b);
  uint32_t red = t.red[y];
  uint32_t green = t.green[y];
  uint32_t blue = t.blue[y];
  if constexpr (kMasked) {
    red = lumeno::MaskMix8(r, red, m);
    green = lumeno::MaskMix8(g, green, m);
    blue = lumeno::MaskMix8(b, blue, m);
  }
  d[at.dstRed] = static_cast<uint8_t>(red);
  d[at.dstGreen] = static_cast<uint8_t>(green);
  d[at.dstBlue] = static_cast<uint8_t>(blue);
  if (at.copyAlpha) d[at.dstAlpha] = alpha;
}

// Plain pixels of a fixed step in source and destination (3 or 4 bytes):
// the compiler keeps the step out of the address arithmetic.
template <int kStep>
void* WalkSepia8(void* jobPointer, const Sepia8Tables& t, const SepiaLayout<8>& at) {
  const int32_t width = static_cast<FilterJob*>(jobPointer)->params->width;
  return lumeno::ForEachRow(jobPointer, [&](int32_t, const uint8_t* src, uint8_t* dst) {
    for (int32_t x = 0; x < width; ++x) {
      Sepia8Pixel<false>(t, at, src + static_cast<int64_t>(x) * kStep,
                         dst + static_cast<int64_t>(x) * kStep, 0);
    }
  });
}

// The 8-bit row worker, plain or masked. Bands of 4-byte pixels go through
// a faster row where the layout allows it, plain bands of 3- or 4-byte
// pixels through a loop of that step, the rest pixel by pixel.
template <bool kMasked>
void* SepiaRows8(void* jobPointer) {
  const GenericMPParams& p = *static_cast<FilterJob*>(jobPointer)->params;
  const SepiaParams& sepia = reinterpret_cast<const SepiaContext&>(p).sepia;
  const SepiaLayout<8> at(p, sepia);
  const Sepia8Tables tables(sepia.sepiaLevel);
  const Paths8 fast = lumeno::Pick(kPaths8);
  const uint8_t* const tinted[3] = {tables.red, tables.green, tables.blue};
  Vector8 vector;
  if (fast.row != nullptr && FastTakes<8, kMasked>(at) && fast.prepare(p, at, tinted, &vector)) {
    const lumeno::StoreLanes lanes(p, vector.srcKeep, vector.dstKeep);
    return WalkFast<8, kMasked>(
        jobPointer, at, [&](const uint8_t* src, uint8_t* dst, int32_t pixels) {
          for (int32_t x = fast.row(vector, lanes, src, dst, pixels); x < pixels; ++x) {
            Sepia8Pixel<false>(tables, at, src + static_cast<int64_t>(x) * 4,
                               dst + static_cast<int64_t>(x) * 4, 0);
          }
        });
  }
  if constexpr (!kMasked) {
    if (p.srcPixelBytes == 4 && p.dstPixelBytes == 4) return WalkSepia8<4>(jobPointer, tables, at);
    if (p.srcPixelBytes == 3 && p.dstPixelBytes == 3) return WalkSepia8<3>(jobPointer, tables, at);
  }
  return lumeno::ForEachPixel<8, kMasked>(
      jobPointer,
      [&](const uint8_t* s, uint8_t* d, uint32_t m) { Sepia8Pixel<kMasked>(tables, at, s, d, m); });
}

struct Sepia : lumeno::OneValueWithin<0, 1> {
  static constexpr ZARKclassDefinition* kRecord = &SepiaEffectRaw;
  using Data = SepiaData;
  using Params = SepiaContext;
  static constexpr lumeno::AsyncAllocation kAllocation = lumeno::AsyncAllocation::kFirst;
  // Copy the source's extra data and promote a gray source to colour.
  static constexpr signed char kNewBitmapOptions =
      kDestinationCopyExtraData | kDestinationGrayPromotion;

  static void Construct(Data& data) {
    data.sepiaValue = 0.3f;
    data.mask = nullptr;
  }
  static Values Stored(const Data& data) { return {data.sepiaValue}; }

  // A new-bitmap run on a gray source reads its gray sample for all three
  // channels; in place the source's own offsets are used as they stand.
  static bool Prepare(Values v, const RawBitmap& source, lumeno::Form form, Params* context,
                      lumeno::EffectWorkers* workers) {
    SepiaParams& params = context->sepia;
    if (!lumeno::IsInPlace(form) && source.channelCount <= 2) {
      params.srcRedIndex = source.redOffset;
      params.srcGreenIndex = source.redOffset;
      params.srcBlueIndex = source.redOffset;
    } else {
      params.srcRedIndex = source.redOffset;
      params.srcGreenIndex = source.greenOffset;
      params.srcBlueIndex = source.blueOffset;
    }
    if (source.bitsPerChannel == 16) {
      // Product and sum each rounded to single precision.
      const float product = v.value * 11565.0f;
      params.sepiaLevel = TruncToInt(product + 2570.0f);
      params.srcRedIndex >>= 1;
      params.srcGreenIndex >>= 1;
      params.srcBlueIndex >>= 1;
      *workers = {{&SepiaRows16<false>, &SepiaRows16<true>}, kDepth16 | kDepthLibraryMark};
      return true;
    }
    if (source.bitsPerChannel == 8) {
      const float product = v.value * 45.0f;
      params.sepiaLevel = TruncToInt(product + 10.0f);
      *workers = {{&SepiaRows8<false>, &SepiaRows8<true>}, kDepth8 | kDepthLibraryMark};
      return true;
    }
    return false;
  }
};

using Frame = lumeno::EffectFrame<Sepia>;

const ZARKpropertyDefinition kProperties[] = {
    Frame::Mask::Property(),
    Frame::SingleProperty<&SepiaData::sepiaValue>("SepiaValue"),
};

}  // namespace

// The interface text is registered with a capital M in "BitMap".
ZARKclassDefinition SepiaEffectRaw =
    Frame::Class("SepiaEffectRaw", kProperties, "IRawBitMapProcessor, IRawBitmapProcessorAsync");

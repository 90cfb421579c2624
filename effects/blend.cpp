// BlendEffectRaw: lays a fill bitmap over part of an 8-bit source and writes
// the composite into a new bitmap. The fill is placed at a whole-pixel
// Location, may be narrowed by Size (never scaled), is weighted by Opacity,
// by an optional FillMask and by its own alpha, and is combined with the
// source by one of 24 modes. NORMAL is composited here; modes 1 to 23 call
// the pixel functions of blend_modes.cpp.
//
// Unlike the other effects this one validates, creates the destination and
// fills its own context, then runs the engine's row operations directly.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "effects/blend_modes.h"
#include "engine/cpu_level.h"
#include "engine/filter_base.h"
#include "engine/row_walker.h"

#if defined(LUMENO_X86)
#include <immintrin.h>
#endif

namespace {

using lumeno::FailWith;
using lumeno::TruncToInt;

// Instance data following MPImageFilterData. The host's standard accessors
// read and write FillBitmap, Location, Size and Opacity at these offsets and
// hold the objects they store.
struct BlendData {
  int64_t blendMode;             // any value; outside 0..23 blends as MULTIPLY
  double opacity;                // clamped to 0..1 when used
  ZARKobjectStruct* fillBitmap;  // RawBitmap, held
  ZARKobjectStruct* fillMask;    // RawBitmapMask, held
  ZARKobjectStruct* location;    // PointF, held
  ZARKobjectStruct* size;        // SizeF, held
};
static_assert(offsetof(BlendData, opacity) == 8);
static_assert(offsetof(BlendData, fillBitmap) == 16);
static_assert(offsetof(BlendData, fillMask) == 24);
static_assert(offsetof(BlendData, location) == 32);
static_assert(offsetof(BlendData, size) == 40);
static_assert(sizeof(BlendData) == 48);

constexpr int32_t kBlendAutomaticThreads = 3;

BlendData* Data(ZARKobjectStruct* self) {
  return static_cast<BlendData*>(ZARKGetClassData(self, &BlendEffectRaw));
}

// -- Validation and placement -----------------------------------------------

bool InRange(int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; }

// Whether a fill of `fillFormat` may be laid over a source of `sourceFormat`:
// both colour (3..12), both gray (0..2), both CMYK (13, 14), both 16-bit
// CMYK (15, 16), or, for any other source, a fill that is no 16-bit CMYK.
bool ChannelStructureMatches(int64_t sourceFormat, int64_t fillFormat) {
  if (InRange(sourceFormat, 3, 12)) return InRange(fillFormat, 3, 12);
  if (InRange(sourceFormat, 0, 2)) return InRange(fillFormat, 0, 2);
  if (InRange(sourceFormat, 13, 14)) return InRange(fillFormat, 13, 14);
  if (InRange(sourceFormat, 15, 16)) return InRange(fillFormat, 15, 16);
  return !InRange(fillFormat, 15, 16);
}

// HUE, SATURATION, COLOR and LUMINOSITY need red, green and blue channels.
bool NeedsRgb(int64_t mode) { return InRange(mode, 12, 15); }

float ReadSingle(ZARKobjectStruct* object, const char* name, float fallback) {
  float value = 0.0f;
  return ZARKGetPropValueSingle(object, name, &value) ? value : fallback;
}

// Validates the two bitmaps and fills the whole context except the
// destination fields, the mask and the pixel function. False with ErrorCode
// set when refused; the checks run in this order, so a depth mismatch is
// reported before an unsupported depth, both before a channel mismatch.
bool PrepareBlend(MPImageFilterData* filter, int64_t mode, ZARKobjectStruct* sourceObject,
                  ZARKobjectStruct* fillObject, ZARKobjectStruct* location, ZARKobjectStruct* size,
                  double opacity, BlendParams* ctx) {
  if (sourceObject == nullptr || fillObject == nullptr) {
    FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return false;
  }
  RawBitmap& source = *GetRawBitmapData(sourceObject);
  RawBitmap& fill = *GetRawBitmapData(fillObject);
  if (source.bitsPerChannel != fill.bitsPerChannel) {
    FailWith(filter, kLumeno_DEPTH_NOT_MATCHING);
    return false;
  }
  if (source.bitsPerChannel != 8) {
    FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    return false;
  }
  if (!InRange(source.imageFormat, 3, 12) && NeedsRgb(mode)) {
    FailWith(filter, kLumeno_PARAMETER_NOT_SUPPORTED_ON_COLOR_SPACE);
    return false;
  }
  if (!ChannelStructureMatches(source.imageFormat, fill.imageFormat)) {
    FailWith(filter, kLumeno_CHANNEL_STRUCTURE_NOT_MATCHING);
    return false;
  }

  // Placement in single precision: a failed read of "x" or "y" counts as 0;
  // a failed read of "Width" or "Height", a negative size or one wider than
  // the fill takes the fill's own size.
  const float fillWidth = static_cast<float>(fill.width);
  const float fillHeight = static_cast<float>(fill.height);
  float x = 0.0f, y = 0.0f;
  if (location != nullptr) {
    x = ReadSingle(location, "x", 0.0f);
    y = ReadSingle(location, "y", 0.0f);
  }
  float w = fillWidth, h = fillHeight;
  if (size != nullptr) {
    w = ReadSingle(size, "Width", fillWidth);
    h = ReadSingle(size, "Height", fillHeight);
    if (w < 0.0f || w > fillWidth) w = fillWidth;
    if (h < 0.0f || h > fillHeight) h = fillHeight;
  }
  float xEnd = x + w;
  if (xEnd > static_cast<float>(source.width)) xEnd = static_cast<float>(source.width);
  float yEnd = y + h;
  if (yEnd > static_cast<float>(source.height)) yEnd = static_cast<float>(source.height);
  ctx->xEnd = TruncToInt(xEnd);
  ctx->yEnd = TruncToInt(yEnd);
  int32_t rowSkip = 0, columnSkip = 0;
  if (y < 0.0f) {
    ctx->yStart = 0;
    rowSkip = TruncToInt(-y);
  } else {
    ctx->yStart = TruncToInt(y);
  }
  if (x < 0.0f) {
    ctx->xStart = 0;
    columnSkip = TruncToInt(-x);
  } else {
    ctx->xStart = TruncToInt(x);
  }

  // Weights out of 256: opacity 1 gives 0 and 256, 0.3 gives 179 and 76.
  if (opacity > 1.0) opacity = 1.0;
  if (opacity < 0.0) opacity = 0.0;
  ctx->sourceWeight = static_cast<uint32_t>(TruncToInt((1.0 - opacity) * 256.0));
  ctx->fillWeight = static_cast<uint32_t>(TruncToInt(opacity * 256.0));

  // Colour channels: every sample position that is red, green, blue or
  // black (never alpha), in ascending order.
  ctx->colourChannelCount = 0;
  for (int64_t j = 0; j < source.channelCount && ctx->colourChannelCount < 16; ++j) {
    if (j == source.redOffset || j == source.greenOffset || j == source.blueOffset ||
        j == source.blackOffset) {
      ctx->colourChannels[ctx->colourChannelCount++] = static_cast<uint8_t>(j);
    }
  }

  // Source pixel (c, r) takes fill pixel (c - trunc(x), r - trunc(y)). Only
  // the low 32 bits are kept, as for every record value of the context; a
  // far-off placement covers nothing, so its wrapped offsets are never used.
  ctx->fillRowOrigin = static_cast<int32_t>(static_cast<int64_t>(ctx->yStart) - rowSkip);
  ctx->fillColumnOffset =
      static_cast<int32_t>(static_cast<int64_t>(columnSkip) * fill.bytesPerPixel);

  GenericMPParams& base = ctx->base;
  base.width = static_cast<int32_t>(source.width);
  base.height = static_cast<int32_t>(source.height);
  base.srcPixels = source.pixelData;
  base.srcRowBytes = static_cast<int32_t>(source.rowBytes);
  base.srcPixelBytes = static_cast<int32_t>(source.bytesPerPixel);
  base.source = &source;
  base.rowsDone = 0;
  base.cancel = false;
  base.multiprocessingHint = static_cast<int32_t>(filter->multiprocessingHint);
  base.progressHandler = filter->progressHandler;
  ctx->fillPixels = fill.pixelData;
  ctx->fillRowBytes = static_cast<int32_t>(fill.rowBytes);
  ctx->fillPixelBytes = static_cast<int32_t>(fill.bytesPerPixel);
  ctx->fill = &fill;
  return true;
}

// -- Row workers ---------------------------------------------------------------

// (sw * S + fw * F) >> 8: the opacity mix of two samples.
uint32_t Weighed(uint32_t sw, uint32_t s, uint32_t fw, uint32_t f) {
  return (sw * s + fw * f) >> 8;
}

float Unit(uint32_t value) { return static_cast<float>(value) / 255.0f; }

// The plain opacity mix of the fill over every colour channel.
void MixChannels(const BlendParams& p, const uint8_t* s, const uint8_t* f, uint8_t* d) {
  for (int i = 0; i < p.colourChannelCount; ++i) {
    const int c = p.colourChannels[i];
    d[c] = static_cast<uint8_t>(Weighed(p.sourceWeight, s[c], p.fillWeight, f[c]));
  }
}

// The fill sample laid over the source by a fill alpha f: trunc((f * F +
// (255 - f) * S) / 255.0), the integer sum divided in double precision.
uint32_t OverByAlpha(uint32_t f, uint32_t fill, uint32_t source) {
  return static_cast<uint32_t>(
      TruncToInt(static_cast<double>(f * fill + (255u - f) * source) / 255.0));
}

// How a worker treats one covered pixel: the eight workers are the
// combinations of NORMAL or a mode, with or without fill alpha, with or
// without fill mask.
struct Kind {
  bool mode, fillAlpha, masked;
};

// Blends one covered pixel. Returns false when the rule copies the pixel
// instead; otherwise returns true with k, the weight the alpha rule combines
// with the source alpha (negative: the alpha sample becomes 255).
template <Kind kKind>
bool BlendPixel(const BlendParams& p, const uint8_t* s, const uint8_t* f, uint8_t* d, uint32_t m,
                float sa, float* k) {
  const uint32_t sw = p.sourceWeight, fw = p.fillWeight;
  const float o = static_cast<float>(fw) * (1.0f / 256.0f);
  const uint32_t fa = kKind.fillAlpha ? f[p.fill->alphaOffset] : 255u;
  const float maskWeight = static_cast<float>(255u - m) / 255.0f;
  if constexpr (!kKind.mode && !kKind.fillAlpha && !kKind.masked) {
    MixChannels(p, s, f, d);
    *k = -1.0f;
  } else if constexpr (!kKind.mode && kKind.fillAlpha && !kKind.masked) {
    if (fa == 0) return false;
    for (int i = 0; i < p.colourChannelCount; ++i) {
      const int c = p.colourChannels[i];
      d[c] = static_cast<uint8_t>(Weighed(sw, s[c], fw, OverByAlpha(fa, f[c], s[c])));
    }
    *k = Unit(fa) * o;
  } else if constexpr (!kKind.mode && !kKind.fillAlpha && kKind.masked) {
    // m = 255 gets no exception: it leaves (S * 255) >> 8, one less than S.
    for (int i = 0; i < p.colourChannelCount; ++i) {
      const int c = p.colourChannels[i];
      const uint32_t e = Weighed(sw, s[c], fw, f[c]);
      d[c] = static_cast<uint8_t>((e * (255u - m) + s[c] * m) >> 8);
    }
    *k = maskWeight;  // the opacity does not enter here
  } else if constexpr (!kKind.mode && kKind.fillAlpha && kKind.masked) {
    if (fa == 0 || m == 255) return false;
    // The mask weighs both the alpha mix and the final mix.
    const uint32_t fm = (fa * (255u - m)) / 255u;
    for (int i = 0; i < p.colourChannelCount; ++i) {
      const int c = p.colourChannels[i];
      const uint32_t e = Weighed(sw, s[c], fw, OverByAlpha(fm, f[c], s[c]));
      d[c] = static_cast<uint8_t>((e * (255u - m) + s[c] * m) >> 8);
    }
    *k = maskWeight * (Unit(fa) * o);
  } else if constexpr (kKind.mode && !kKind.fillAlpha && !kKind.masked) {
    p.blendProc(s, f, d, &p, sw, fw, sa, 1.0f);
    *k = -1.0f;
  } else if constexpr (kKind.mode && kKind.fillAlpha && !kKind.masked) {
    if (fa == 0) return false;
    if (sa == 0.0f) {
      MixChannels(p, s, f, d);
    } else {
      p.blendProc(s, f, d, &p, sw, fw, sa, Unit(fa));
    }
    *k = Unit(fa) * o;
  } else if constexpr (kKind.mode && !kKind.fillAlpha && kKind.masked) {
    // The mask enters through the weights; m = 255 gives weight 0.
    const float cov = maskWeight * o;
    const uint32_t w = static_cast<uint32_t>(TruncToInt(cov * 256.0f));
    p.blendProc(s, f, d, &p, 256u - w, w, sa, 1.0f);
    *k = cov;
  } else {
    if (m == 255 || fa == 0) return false;
    const float cov = maskWeight * Unit(fa);
    if (sa == 0.0f) {
      MixChannels(p, s, f, d);
    } else {
      p.blendProc(s, f, d, &p, sw, fw, sa, cov);
    }
    *k = cov * o;
  }
  return true;
}

template <Kind kKind>
void BlendRow(const BlendParams& p, int32_t r, const uint8_t* src, uint8_t* dst) {
  const int64_t spb = p.base.srcPixelBytes;
  const int64_t dpb = p.base.dstPixelBytes;
  const size_t pixelBytes = static_cast<size_t>(spb < dpb ? spb : dpb);
  const int32_t width = p.base.width;
  if (r < p.yStart || r >= p.yEnd) {
    for (int32_t x = 0; x < width; ++x) std::memcpy(dst + x * dpb, src + x * spb, pixelBytes);
    return;
  }
  const RawBitmap& source = *p.base.source;
  const bool sourceAlpha = source.hasAlpha != 0;
  const uint8_t alphaOut = p.base.destination->alphaOffset;
  int64_t maskRow = 0;
  if constexpr (kKind.masked) maskRow = lumeno::MaskRow8(p.fillMask, r);
  const uint8_t* f = p.fillPixels + (static_cast<int64_t>(r) - p.fillRowOrigin) * p.fillRowBytes +
                     p.fillColumnOffset;
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* s = src + x * spb;
    uint8_t* d = dst + x * dpb;
    if (x < p.xStart || x >= p.xEnd) {
      std::memcpy(d, s, pixelBytes);
      continue;
    }
    uint32_t m = 0;
    if constexpr (kKind.masked) m = lumeno::MaskValue8(p.fillMask, maskRow, x);
    const float sa = sourceAlpha ? Unit(s[source.alphaOffset]) : 1.0f;
    float k = 0.0f;
    if (!BlendPixel<kKind>(p, s, f, d, m, sa, &k)) {
      std::memcpy(d, s, pixelBytes);
    } else if (sourceAlpha) {
      // The source alpha combined with k; k = 0 keeps it exactly.
      d[alphaOut] = k < 0.0f ? 255 : static_cast<uint8_t>(TruncToInt(((sa + k) - sa * k) * 255.0f));
    }
    f += p.fillPixelBytes;
  }
}

// OverByAlpha in integers. The numerator is a whole number below 2^16, and
// its quotient by 255 is either whole (and exact in double precision) or at
// least 1/255 away from the next whole numbers, far beyond the division's
// rounding: the double quotient truncates to the integer quotient.
inline uint32_t OverByAlphaExact(uint32_t f, uint32_t fill, uint32_t source) {
  return (f * fill + (255u - f) * source) / 255u;
}

// The alpha of a NORMAL pixel blended with fill alpha fa: the source alpha
// combined with k = fa / 255 * o, as BlendRow does.
inline uint8_t NormalAlpha(uint32_t sourceAlpha, uint32_t fa, float o) {
  const float sa = Unit(sourceAlpha);
  const float k = Unit(fa) * o;
  return static_cast<uint8_t>(TruncToInt(((sa + k) - sa * k) * 255.0f));
}

#if defined(LUMENO_X86)
// NORMAL with fill alpha over 4-byte pixels whose alpha byte is at `alpha`
// in source, fill and destination and whose other three bytes are the
// colour channels: 8 pixels at a time, the same bytes as BlendNormalRow.
// The colour mix runs in 16-bit lanes (every intermediate stays below 2^16:
// fa * F + (255 - fa) * S <= 65025, sw * S + fw * t <= 256 * 255), the
// division by 255 as the exact multiply-shift (x * 0x8081) >> 23; the alpha
// rule runs in single precision, operation for operation. Pixels whose fill
// alpha is 0 take the source pixel. Returns the pixels done.
LUMENO_AVX2 inline __m256i MixNormalAlpha16(__m256i S, __m256i F, __m256i fa, __m256i sw,
                                            __m256i fw) {
  const __m256i over =
      _mm256_add_epi16(_mm256_mullo_epi16(fa, F),
                       _mm256_mullo_epi16(_mm256_sub_epi16(_mm256_set1_epi16(255), fa), S));
  const __m256i t =
      _mm256_srli_epi16(_mm256_mulhi_epu16(over, _mm256_set1_epi16(static_cast<short>(0x8081))), 7);
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(sw, S), _mm256_mullo_epi16(fw, t)),
                           8);
}

LUMENO_AVX2 int32_t BlendNormalAlphaWide(const uint8_t* s, const uint8_t* f, uint8_t* d,
                                         int32_t count, int32_t alpha, uint32_t sw, uint32_t fw,
                                         float o) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i alphaBytes = _mm256_set1_epi32(static_cast<int32_t>(0xFFu << (8 * alpha)));
  const __m128i alphaShift = _mm_cvtsi32_si128(8 * alpha);
  // Each pixel's fill alpha copied to its four bytes.
  const char a = static_cast<char>(alpha);
  const __m256i spread = _mm256_setr_epi8(a, a, a, a, a + 4, a + 4, a + 4, a + 4, a + 8, a + 8,
                                          a + 8, a + 8, a + 12, a + 12, a + 12, a + 12,  //
                                          a, a, a, a, a + 4, a + 4, a + 4, a + 4, a + 8, a + 8,
                                          a + 8, a + 8, a + 12, a + 12, a + 12, a + 12);
  const __m256i sourceWeight = _mm256_set1_epi16(static_cast<short>(sw));
  const __m256i fillWeight = _mm256_set1_epi16(static_cast<short>(fw));
  const __m256 unit = _mm256_set1_ps(255.0f);
  const __m256 opacity = _mm256_set1_ps(o);
  int32_t x = 0;
  for (; x + 8 <= count; x += 8) {
    const __m256i S = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * x));
    const __m256i F = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(f + 4 * x));
    const __m256i FA = _mm256_shuffle_epi8(F, spread);
    const __m256i low =
        MixNormalAlpha16(_mm256_unpacklo_epi8(S, zero), _mm256_unpacklo_epi8(F, zero),
                         _mm256_unpacklo_epi8(FA, zero), sourceWeight, fillWeight);
    const __m256i high =
        MixNormalAlpha16(_mm256_unpackhi_epi8(S, zero), _mm256_unpackhi_epi8(F, zero),
                         _mm256_unpackhi_epi8(FA, zero), sourceWeight, fillWeight);
    const __m256i colour = _mm256_packus_epi16(low, high);
    // The alpha rule, one pixel per 32-bit lane.
    const __m256i sourceAlpha = _mm256_srl_epi32(_mm256_and_si256(S, alphaBytes), alphaShift);
    const __m256i fillAlpha = _mm256_srl_epi32(_mm256_and_si256(F, alphaBytes), alphaShift);
    const __m256 sa = _mm256_div_ps(_mm256_cvtepi32_ps(sourceAlpha), unit);
    const __m256 k = _mm256_mul_ps(_mm256_div_ps(_mm256_cvtepi32_ps(fillAlpha), unit), opacity);
    const __m256 v = _mm256_mul_ps(_mm256_sub_ps(_mm256_add_ps(sa, k), _mm256_mul_ps(sa, k)), unit);
    const __m256i alphaOut = _mm256_sll_epi32(_mm256_cvttps_epi32(v), alphaShift);
    __m256i out = _mm256_blendv_epi8(colour, alphaOut, alphaBytes);
    out = _mm256_blendv_epi8(out, S, _mm256_cmpeq_epi32(fillAlpha, zero));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 4 * x), out);
  }
  return x;
}
#endif

// Whether BlendNormalAlphaWide takes these pixels: 4-byte source, fill and
// destination pixels with alpha at one position and colour in the other
// three. The alpha position, or -1.
int32_t WideNormalAlphaPosition(const BlendParams& p) {
#if defined(LUMENO_X86)
  const RawBitmap& source = *p.base.source;
  const int32_t alpha = source.alphaOffset;
  if (lumeno::ActiveCpuLevel() == lumeno::CpuLevel::kBaseline || source.hasAlpha == 0 ||
      alpha < 0 || alpha > 3 || p.base.srcPixelBytes != 4 || p.base.dstPixelBytes != 4 ||
      p.fillPixelBytes != 4 || p.fill->alphaOffset != alpha ||
      p.base.destination->alphaOffset != alpha || p.colourChannelCount != 3) {
    return -1;
  }
  for (int32_t i = 0; i < 3; ++i) {
    if (p.colourChannels[i] == alpha || p.colourChannels[i] > 3) return -1;
  }
  return alpha;
#else
  (void)p;
  return -1;
#endif
}

// For the rows of pixels of one size in source and destination: copies
// what the fill does not cover in row r (the whole row, or the columns left
// and right of it) in one piece each. Returns the fill pixel of the first
// covered column, or null when the row has none.
const uint8_t* CopyUncovered(const BlendParams& p, int32_t r, const uint8_t* src, uint8_t* dst) {
  const size_t pixelBytes = static_cast<size_t>(p.base.srcPixelBytes);
  const int32_t width = p.base.width;
  if (r < p.yStart || r >= p.yEnd || p.xStart >= p.xEnd) {
    std::memcpy(dst, src, pixelBytes * static_cast<size_t>(width));
    return nullptr;
  }
  std::memcpy(dst, src, pixelBytes * static_cast<size_t>(p.xStart));
  const size_t right = pixelBytes * static_cast<size_t>(p.xEnd);
  std::memcpy(dst + right, src + right, pixelBytes * static_cast<size_t>(width - p.xEnd));
  return p.fillPixels + (static_cast<int64_t>(r) - p.fillRowOrigin) * p.fillRowBytes +
         p.fillColumnOffset;
}

// NORMAL without a fill mask where source and destination pixels have one
// size: the same bytes as BlendRow, with the uncovered rows and columns
// copied in one piece each, the colour samples mixed in integers and, where
// the band has one, the alpha taken from a table of NormalAlpha by source
// alpha and fill alpha. kChannels is the colour channel count, 0 when only
// known at run time.
template <bool kFillAlpha, int kChannels>
void BlendNormalRow(const BlendParams& p, int32_t r, const uint8_t* src, uint8_t* dst, float o,
                    const uint8_t* alphaTable, int32_t wideAlpha) {
  const uint8_t* f = CopyUncovered(p, r, src, dst);
  if (f == nullptr) return;
  const size_t pixelBytes = static_cast<size_t>(p.base.srcPixelBytes);
  const int32_t channelCount = kChannels > 0 ? kChannels : p.colourChannelCount;
  uint8_t channels[16];
  for (int32_t i = 0; i < channelCount; ++i) channels[i] = p.colourChannels[i];
  const uint32_t sw = p.sourceWeight, fw = p.fillWeight;
  const RawBitmap& source = *p.base.source;
  const bool sourceAlpha = source.hasAlpha != 0;
  const int32_t alphaIn = source.alphaOffset;
  const int32_t alphaOut = p.base.destination->alphaOffset;
  const int32_t fillAlpha = kFillAlpha ? p.fill->alphaOffset : 0;
  const int64_t fillStep = p.fillPixelBytes;
  int32_t x = p.xStart;
#if defined(LUMENO_X86)
  if (kFillAlpha && wideAlpha >= 0) {
    const int32_t done = BlendNormalAlphaWide(src + x * pixelBytes, f, dst + x * pixelBytes,
                                              p.xEnd - x, wideAlpha, sw, fw, o);
    x += done;
    f += done * fillStep;
  }
#else
  (void)wideAlpha;
#endif
  for (; x < p.xEnd; ++x, f += fillStep) {
    const uint8_t* s = src + x * pixelBytes;
    uint8_t* d = dst + x * pixelBytes;
    if constexpr (kFillAlpha) {
      const uint32_t fa = f[fillAlpha];
      if (fa == 0) {
        std::memcpy(d, s, pixelBytes);
        continue;
      }
#pragma GCC unroll 4
      for (int32_t i = 0; i < channelCount; ++i) {
        const int32_t c = channels[i];
        d[c] = static_cast<uint8_t>(Weighed(sw, s[c], fw, OverByAlphaExact(fa, f[c], s[c])));
      }
      if (sourceAlpha) {
        d[alphaOut] = alphaTable != nullptr ? alphaTable[s[alphaIn] * 256u + fa]
                                            : NormalAlpha(s[alphaIn], fa, o);
      }
    } else {
#pragma GCC unroll 4
      for (int32_t i = 0; i < channelCount; ++i) {
        const int32_t c = channels[i];
        d[c] = static_cast<uint8_t>(Weighed(sw, s[c], fw, f[c]));
      }
      if (sourceAlpha) d[alphaOut] = 255;
    }
  }
}

template <bool kFillAlpha>
void* BlendNormalRows(void* job, const BlendParams& p) {
  const FilterJob& band = *static_cast<FilterJob*>(job);
  const float o = static_cast<float>(p.fillWeight) * (1.0f / 256.0f);
  // The alpha table pays for itself from about a quarter million covered
  // pixels; it lives on the band thread's stack.
  uint8_t table[kFillAlpha ? 65536 : 1];
  const uint8_t* alphaTable = nullptr;
  if constexpr (kFillAlpha) {
    const int64_t rows = std::max<int64_t>(
        0, int64_t{std::min(band.endRow, p.yEnd)} - std::max(band.firstRow, p.yStart));
    const int64_t covered = rows * std::max<int64_t>(0, int64_t{p.xEnd} - p.xStart);
    if (p.base.source->hasAlpha != 0 && covered >= 4 * 65536) {
      for (uint32_t sa = 0; sa < 256; ++sa) {
        for (uint32_t fa = 0; fa < 256; ++fa) table[sa * 256 + fa] = NormalAlpha(sa, fa, o);
      }
      alphaTable = table;
    }
  }
  const int32_t wideAlpha = kFillAlpha ? WideNormalAlphaPosition(p) : -1;
  if (p.colourChannelCount == 3) {
    return lumeno::ForEachRow(job, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
      BlendNormalRow<kFillAlpha, 3>(p, r, src, dst, o, alphaTable, wideAlpha);
    });
  }
  return lumeno::ForEachRow(job, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    BlendNormalRow<kFillAlpha, 0>(p, r, src, dst, o, alphaTable, wideAlpha);
  });
}

// Tables of a band blending by a per-channel mode without a fill mask (on
// the band thread's stack): the mode's result by scaled samples a and b,
// the scaling trunc(v * (alpha / 255)) by sample and alpha, and the alpha
// rule by source and fill alpha.
struct ModeTables {
  uint8_t result[65536];
  uint8_t scaled[65536];
  uint8_t alpha[65536];
};

// A covered row blended through ModeTables: the same bytes as BlendRow for
// the modes FillChannelModeTable takes.
template <bool kFillAlpha>
void BlendModeRow(const BlendParams& p, int32_t r, const uint8_t* src, uint8_t* dst,
                  const ModeTables& t) {
  const uint8_t* f = CopyUncovered(p, r, src, dst);
  if (f == nullptr) return;
  const size_t pixelBytes = static_cast<size_t>(p.base.srcPixelBytes);
  const int32_t channelCount = p.colourChannelCount;
  const uint32_t sw = p.sourceWeight, fw = p.fillWeight;
  const RawBitmap& source = *p.base.source;
  const bool sourceAlpha = source.hasAlpha != 0;
  const int32_t alphaIn = source.alphaOffset;
  const int32_t alphaOut = p.base.destination->alphaOffset;
  const int32_t fillAlpha = kFillAlpha ? p.fill->alphaOffset : 0;
  const int64_t fillStep = p.fillPixelBytes;
  for (int32_t x = p.xStart; x < p.xEnd; ++x, f += fillStep) {
    const uint8_t* s = src + x * pixelBytes;
    uint8_t* d = dst + x * pixelBytes;
    // Without source alpha the factor is 1: alpha 255 scales by 255 / 255.
    const uint32_t sa = sourceAlpha ? s[alphaIn] : 255u;
    const uint32_t fa = kFillAlpha ? f[fillAlpha] : 255u;
    if (kFillAlpha && fa == 0) {
      std::memcpy(d, s, pixelBytes);
      continue;
    }
    if (kFillAlpha && sa == 0) {
      MixChannels(p, s, f, d);
    } else {
      for (int32_t i = 0; i < channelCount; ++i) {
        const int32_t c = p.colourChannels[i];
        const uint32_t a = t.scaled[s[c] * 256u + sa];
        const uint32_t b = kFillAlpha ? t.scaled[f[c] * 256u + fa] : f[c];
        d[c] = static_cast<uint8_t>((s[c] * sw + t.result[a * 256u + b] * fw) >> 8);
      }
    }
    if (sourceAlpha) d[alphaOut] = kFillAlpha ? t.alpha[sa * 256u + fa] : 255;
  }
}

// The per-channel modes in bands large enough to pay for their tables
// (about a quarter million covered pixels). False, with nothing done, where
// the band keeps the pixel functions.
template <bool kFillAlpha>
bool BlendModeRows(void* job, const BlendParams& p, void** result) {
  const FilterJob& band = *static_cast<FilterJob*>(job);
  const int64_t rows = std::max<int64_t>(
      0, int64_t{std::min(band.endRow, p.yEnd)} - std::max(band.firstRow, p.yStart));
  const int64_t covered = rows * std::max<int64_t>(0, int64_t{p.xEnd} - p.xStart);
  if (covered < 4 * 65536) return false;
  ModeTables t;
  if (!FillChannelModeTable(p.mode, t.result)) return false;
  for (uint32_t v = 0; v < 256; ++v) {
    for (uint32_t alpha = 0; alpha < 256; ++alpha) {
      t.scaled[v * 256 + alpha] =
          static_cast<uint8_t>(TruncToInt(static_cast<float>(v) * Unit(alpha)));
    }
  }
  if (kFillAlpha && p.base.source->hasAlpha != 0) {
    const float o = static_cast<float>(p.fillWeight) * (1.0f / 256.0f);
    for (uint32_t sa = 0; sa < 256; ++sa) {
      for (uint32_t fa = 0; fa < 256; ++fa) t.alpha[sa * 256 + fa] = NormalAlpha(sa, fa, o);
    }
  }
  *result = lumeno::ForEachRow(job, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    BlendModeRow<kFillAlpha>(p, r, src, dst, t);
  });
  return true;
}

template <Kind kKind>
void* BlendRows(void* job) {
  const BlendParams& p = *reinterpret_cast<BlendParams*>(static_cast<FilterJob*>(job)->params);
  if constexpr (!kKind.mode && !kKind.masked) {
    if (p.base.srcPixelBytes == p.base.dstPixelBytes)
      return BlendNormalRows<kKind.fillAlpha>(job, p);
  }
  if constexpr (kKind.mode && !kKind.masked) {
    void* result = nullptr;
    if (p.base.srcPixelBytes == p.base.dstPixelBytes &&
        BlendModeRows<kKind.fillAlpha>(job, p, &result)) {
      return result;
    }
  }
  return lumeno::ForEachRow(
      job, [&p](int32_t r, const uint8_t* src, uint8_t* dst) { BlendRow<kKind>(p, r, src, dst); });
}

// Index: mode * 4 + fillAlpha * 2 + masked.
constexpr FilterRowProc kWorkers[8] = {
    &BlendRows<Kind{false, false, false}>,  // BlendNormalRows
    &BlendRows<Kind{false, false, true}>,   // BlendNormalMaskedRows
    &BlendRows<Kind{false, true, false}>,   // BlendNormalAlphaRows
    &BlendRows<Kind{false, true, true}>,    // BlendNormalAlphaMaskedRows
    &BlendRows<Kind{true, false, false}>,   // BlendModeRows
    &BlendRows<Kind{true, false, true}>,    // BlendModeMaskedRows
    &BlendRows<Kind{true, true, false}>,    // BlendModeAlphaRows
    &BlendRows<Kind{true, true, true}>,     // BlendModeAlphaMaskedRows
};

// Fills the destination fields, the mask and the pixel function, and picks
// the worker.
FilterRowProc FinishContext(BlendParams* ctx, int64_t mode, ZARKobjectStruct* fillMask,
                            RawBitmap* destination) {
  ctx->base.dstPixels = destination->pixelData;
  ctx->base.dstRowBytes = static_cast<int32_t>(destination->rowBytes);
  ctx->base.dstPixelBytes = static_cast<int32_t>(destination->bytesPerPixel);
  ctx->base.destination = destination;
  const bool masked = fillMask != nullptr;
  if (masked) ctx->fillMask = GetRawBitmapMaskData(fillMask);
  const bool isMode = mode != 0;
  ctx->mode = mode;
  if (isMode) ctx->blendProc = BlendProcFor(mode);
  const bool fillAlpha = ctx->fill->hasAlpha != 0;
  return kWorkers[(isMode ? 4 : 0) + (fillAlpha ? 2 : 0) + (masked ? 1 : 0)];
}

// A destination of the source's size and format, with its extra data and
// metadata. Null when it cannot be created.
ZARKobjectStruct* CreateDestination(const RawBitmap& source, RawBitmap** record) {
  ZARKobjectStruct* object =
      CreateRawBitmap(source.width, source.height, 0, source.imageFormat, record);
  if (object == nullptr) return nullptr;
  CopyExtraData(source, **record);
  CopyMetadata(source, **record);
  return object;
}

// -- Methods ---------------------------------------------------------------------

// Neither Apply nor ApplyAsync resets ErrorCode (no engine call here does):
// after a success it still shows the code of an earlier failure.
ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source,
                        ZARKobjectStruct* fillBitmap, double opacity, ZARKobjectStruct* fillMask,
                        ZARKobjectStruct* location, ZARKobjectStruct* size) {
  MPImageFilterData* filter = FilterData(self);
  const int64_t mode = Data(self)->blendMode;
  BlendParams ctx{};
  if (!PrepareBlend(filter, mode, source, fillBitmap, location, size, opacity, &ctx)) {
    return nullptr;
  }
  RawBitmap* destination = nullptr;
  ZARKobjectStruct* result = CreateDestination(*ctx.base.source, &destination);
  if (result == nullptr) return FailWith(filter, kLumeno_OUT_OF_MEMORY);
  const FilterRowProc worker = FinishContext(&ctx, mode, fillMask, destination);
  filter->engine->RunFilterRows(filter, &ctx.base, worker, kBlendAutomaticThreads);
  return result;  // also after a cancel, with the rows done so far
}

ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  const BlendData& data = *Data(self);
  return Apply(self, source, data.fillBitmap, data.opacity, data.fillMask, data.location,
               data.size);
}

// Drops the holds an asynchronous run kept on its fill and fill mask; the
// engine then frees the context.
signed char ReleaseBlendRun(ZARKobjectStruct*, GenericMPParams* params) {
  auto* ctx = reinterpret_cast<BlendParams*>(params);
  if (ctx->heldFillMask != nullptr) ZARKUnlockObject(ctx->heldFillMask);
  if (ctx->heldFill != nullptr) ZARKUnlockObject(ctx->heldFill);
  ctx->heldFillMask = nullptr;
  ctx->heldFill = nullptr;
  return 1;
}

void ApplyAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* target,
                void* method) {
  MPImageFilterData* filter = FilterData(self);
  const BlendData& data = *Data(self);
  if (filter->asyncRun != nullptr) {
    FailWith(filter, kLumeno_ASYNC_METHOD_ALLREADY_RUNNING_ON_THIS_INSTANCE);
    return;
  }
  auto* ctx = lumeno::NewAsyncParams<BlendParams>();
  if (ctx == nullptr) {
    FailWith(filter, kLumeno_OUT_OF_MEMORY);
    return;
  }
  if (!PrepareBlend(filter, data.blendMode, source, data.fillBitmap, data.location, data.size,
                    data.opacity, ctx)) {
    std::free(ctx);
    return;
  }
  RawBitmap* destination = nullptr;
  ZARKobjectStruct* result = CreateDestination(*ctx->base.source, &destination);
  if (result == nullptr) {
    std::free(ctx);
    FailWith(filter, kLumeno_OUT_OF_MEMORY);
    return;
  }
  if (target != nullptr) ZARKLockObject(target);
  if (filter->completeTarget != nullptr) ZARKUnlockObject(filter->completeTarget);
  filter->completeTarget = target;
  filter->completeMethod = method;
  if (filter->asyncResult != nullptr) ZARKUnlockObject(filter->asyncResult);
  filter->asyncResult = result;

  const FilterRowProc worker = FinishContext(ctx, data.blendMode, data.fillMask, destination);
  // The run reads the fill's pixels and calls the mask until it ends, even
  // if the properties are replaced meanwhile: it holds both objects.
  ctx->heldFill = data.fillBitmap;
  ZARKLockObject(ctx->heldFill);
  ctx->heldFillMask = data.fillMask;
  if (ctx->heldFillMask != nullptr) ZARKLockObject(ctx->heldFillMask);
  filter->engine->StartFilterRowsAsync(self, filter, source, &ctx->base, worker,
                                       kBlendAutomaticThreads, &ReleaseBlendRun);
  // A new run starts un-cancelled, whatever an earlier Cancel() left.
  filter->canceled = false;
}

// -- Class frame -------------------------------------------------------------------

void Construct(ZARKobjectStruct* self) { Data(self)->fillMask = nullptr; }

// Drops every hold the instance data keeps (the host's standard setter took
// one for each object it stored).
void Destruct(ZARKobjectStruct* self) {
  BlendData& data = *Data(self);
  for (ZARKobjectStruct** field : {&data.fillMask, &data.fillBitmap, &data.location, &data.size}) {
    if (*field != nullptr) ZARKUnlockObject(*field);
    *field = nullptr;
  }
}

int64_t GetBlendMode(ZARKobjectStruct* self, intptr_t) { return Data(self)->blendMode; }
void SetBlendMode(ZARKobjectStruct* self, intptr_t, int64_t mode) { Data(self)->blendMode = mode; }
ZARKobjectStruct* GetFillMask(ZARKobjectStruct* self, intptr_t) {
  return GetHeldObject(&Data(self)->fillMask);
}
void SetFillMask(ZARKobjectStruct* self, intptr_t, ZARKobjectStruct* mask) {
  SetHeldObject(&Data(self)->fillMask, mask);
}

using lumeno::Entry;
using lumeno::Field;

const ZARKpropertyDefinition kProperties[] = {
    lumeno::Property("BlendMode", "BlendEffectRaw.BlendModeValues", Entry(&GetBlendMode),
                     Entry(&SetBlendMode)),
    Field("FillBitmap", "RawBitmap", offsetof(BlendData, fillBitmap)),
    lumeno::Property("FillMask", "RawBitmapMask", Entry(&GetFillMask), Entry(&SetFillMask)),
    Field("Location", "PointF", offsetof(BlendData, location)),
    Field("Size", "SizeF", offsetof(BlendData, size)),
    Field("Opacity", "Double", offsetof(BlendData, opacity)),
};

const ZARKmethodDefinition kMethods[] = {
    lumeno::Method(&ApplyStored, lumeno::kApplyDeclaration),
    lumeno::Method(
        &Apply,
        "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as Double,fillMask as "
        "RawBitmapMask,location as PointF,size as SizeF) as RawBitmap"),
    lumeno::Method(&ApplyAsync, lumeno::kApplyAsyncDeclaration),
};

const char* const kBlendModeFields[kBlendModeCount] = {
    "NORMAL = 0",       "MULTIPLY = 1",     "SCREEN = 2",        "OVERLAY = 3",
    "DARKEN = 4",       "LIGHTEN = 5",      "COLOR_DODGE = 6",   "COLOR_BURN = 7",
    "SOFT_LIGHT = 8",   "HARD_LIGHT = 9",   "DIFFERENCE = 10",   "EXCLUSION = 11",
    "HUE = 12",         "SATURATION = 13",  "COLOR = 14",        "LUMINOSITY = 15",
    "PIN_LIGHT = 16",   "SHARP_LIGHT = 17", "VIVID_LIGHT = 18",  "LINEAR_LIGHT = 19",
    "POWER_LIGHT = 20", "LINEAR_BURN = 21", "LINEAR_DODGE = 22", "ADD = 23",
};

const ZARKenumDefinition kEnums[] = {
    {"BlendModeValues", "Integer", 32, kBlendModeFields, kBlendModeCount, {}},
};

}  // namespace

ZARKclassDefinition BlendEffectRaw = lumeno::Class({
    .name = "BlendEffectRaw",
    .superName = "MPImageFilterRaw",
    .dataSize = sizeof(BlendData),
    .constructor = &Construct,
    .destructor = &Destruct,
    .properties = kProperties,
    .methods = kMethods,
    .interfaces = lumeno::kProcessorInterfaces,
    .enums = kEnums,
});

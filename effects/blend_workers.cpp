// The blend effect's row workers: the reference form of every kind of
// covered pixel (BlendPixel, BlendRow) and, for the common kinds, rows with
// the uncovered parts copied whole and the colour mixed in integers or
// through tables, each giving the same bytes as the reference. Every worker
// first offers its band to the faster rows (effects/blend_wide_rows.cpp),
// which take it where the processor and the layout allow.
#include <algorithm>
#include <cstring>

#include "effects/blend_kernel.h"
#include "effects/blend_modes.h"
#include "engine/row_walker.h"

namespace {

using lumeno::TruncToInt;

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

// One covered pixel of any kind; m is its mask value.
template <Kind kKind>
void BlendCovered(const BlendParams& p, const uint8_t* s, const uint8_t* f, uint8_t* d, uint32_t m,
                  size_t pixelBytes) {
  const RawBitmap& source = *p.base.source;
  const bool sourceAlpha = source.hasAlpha != 0;
  const float sa = sourceAlpha ? Unit(s[source.alphaOffset]) : 1.0f;
  float k = 0.0f;
  if (!BlendPixel<kKind>(p, s, f, d, m, sa, &k)) {
    std::memcpy(d, s, pixelBytes);
  } else if (sourceAlpha) {
    // The source alpha combined with k; k = 0 keeps it exactly.
    d[p.base.destination->alphaOffset] =
        k < 0.0f ? 255 : static_cast<uint8_t>(TruncToInt(((sa + k) - sa * k) * 255.0f));
  }
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
    BlendCovered<kKind>(p, s, f, d, m, pixelBytes);
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

// NormalAlpha by source alpha * 256 + fill alpha.
void FillAlphaTable(uint8_t* table, float o) {
  for (uint32_t sa = 0; sa < 256; ++sa) {
    for (uint32_t fa = 0; fa < 256; ++fa) table[sa * 256 + fa] = NormalAlpha(sa, fa, o);
  }
}

using lumeno::blend::CopyUncovered;

// What a covered row reads of the run besides its pixels: the pixel size,
// the weights, where alpha is read and written, and the fill's pixel step.
struct CoveredLayout {
  size_t pixelBytes;
  uint32_t sw, fw;
  bool sourceAlpha;
  int32_t alphaIn, alphaOut, fillAlpha;
  int64_t fillStep;
};

template <bool kFillAlpha>
CoveredLayout CoveredLayoutOf(const BlendParams& p) {
  const RawBitmap& source = *p.base.source;
  return {static_cast<size_t>(p.base.srcPixelBytes),
          p.sourceWeight,
          p.fillWeight,
          source.hasAlpha != 0,
          source.alphaOffset,
          p.base.destination->alphaOffset,
          kFillAlpha ? p.fill->alphaOffset : 0,
          p.fillPixelBytes};
}

// The covered pixels of a band.
int64_t CoveredPixels(const FilterJob& band, const BlendParams& p) {
  const int64_t rows = std::max<int64_t>(
      0, int64_t{std::min(band.endRow, p.yEnd)} - std::max(band.firstRow, p.yStart));
  return rows * std::max<int64_t>(0, int64_t{p.xEnd} - p.xStart);
}

// NORMAL without a fill mask where source and destination pixels have one
// size: the same bytes as BlendRow, with the uncovered rows and columns
// copied in one piece each, the colour samples mixed in integers and, where
// the band has one, the alpha taken from a table of NormalAlpha by source
// alpha and fill alpha. kChannels is the colour channel count, 0 when only
// known at run time.
template <bool kFillAlpha, int kChannels>
void BlendNormalRow(const BlendParams& p, int32_t r, const uint8_t* src, uint8_t* dst, float o,
                    const uint8_t* alphaTable) {
  const uint8_t* f = CopyUncovered(p, r, src, dst);
  if (f == nullptr) return;
  const auto [pixelBytes, sw, fw, sourceAlpha, alphaIn, alphaOut, fillAlpha, fillStep] =
      CoveredLayoutOf<kFillAlpha>(p);
  const int32_t channelCount = kChannels > 0 ? kChannels : p.colourChannelCount;
  uint8_t channels[16];
  for (int32_t i = 0; i < channelCount; ++i) channels[i] = p.colourChannels[i];
  for (int32_t x = p.xStart; x < p.xEnd; ++x, f += fillStep) {
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
    if (p.base.source->hasAlpha != 0 && CoveredPixels(band, p) >= 4 * 65536) {
      FillAlphaTable(table, o);
      alphaTable = table;
    }
  }
  if (p.colourChannelCount == 3) {
    return lumeno::ForEachRow(job, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
      BlendNormalRow<kFillAlpha, 3>(p, r, src, dst, o, alphaTable);
    });
  }
  return lumeno::ForEachRow(job, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    BlendNormalRow<kFillAlpha, 0>(p, r, src, dst, o, alphaTable);
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
  const auto [pixelBytes, sw, fw, sourceAlpha, alphaIn, alphaOut, fillAlpha, fillStep] =
      CoveredLayoutOf<kFillAlpha>(p);
  const int32_t channelCount = p.colourChannelCount;
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
  if (CoveredPixels(band, p) < 4 * 65536) return false;
  ModeTables t;
  if (!FillChannelModeTable(p.mode, t.result)) return false;
  for (uint32_t v = 0; v < 256; ++v) {
    for (uint32_t alpha = 0; alpha < 256; ++alpha) {
      t.scaled[v * 256 + alpha] =
          static_cast<uint8_t>(TruncToInt(static_cast<float>(v) * Unit(alpha)));
    }
  }
  if (kFillAlpha && p.base.source->hasAlpha != 0) {
    FillAlphaTable(t.alpha, static_cast<float>(p.fillWeight) * (1.0f / 256.0f));
  }
  *result = lumeno::ForEachRow(job, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    BlendModeRow<kFillAlpha>(p, r, src, dst, t);
  });
  return true;
}

template <Kind kKind>
void* BlendRows(void* job) {
  const BlendParams& p = *reinterpret_cast<BlendParams*>(static_cast<FilterJob*>(job)->params);
  void* result = nullptr;
  if (lumeno::blend::WideRows(job, p, kKind.mode * 4 + kKind.fillAlpha * 2 + kKind.masked,
                              &result)) {
    return result;
  }
  if constexpr (!kKind.mode && !kKind.masked) {
    if (p.base.srcPixelBytes == p.base.dstPixelBytes)
      return BlendNormalRows<kKind.fillAlpha>(job, p);
  }
  if constexpr (kKind.mode && !kKind.masked) {
    if (p.base.srcPixelBytes == p.base.dstPixelBytes &&
        BlendModeRows<kKind.fillAlpha>(job, p, &result)) {
      return result;
    }
  }
  return lumeno::ForEachRow(
      job, [&p](int32_t r, const uint8_t* src, uint8_t* dst) { BlendRow<kKind>(p, r, src, dst); });
}

}  // namespace

const FilterRowProc lumeno::blend::kWorkers[8] = {
    &BlendRows<Kind{false, false, false}>,  // BlendNormalRows
    &BlendRows<Kind{false, false, true}>,   // BlendNormalMaskedRows
    &BlendRows<Kind{false, true, false}>,   // BlendNormalAlphaRows
    &BlendRows<Kind{false, true, true}>,    // BlendNormalAlphaMaskedRows
    &BlendRows<Kind{true, false, false}>,   // BlendModeRows
    &BlendRows<Kind{true, false, true}>,    // BlendModeMaskedRows
    &BlendRows<Kind{true, true, false}>,    // BlendModeAlphaRows
    &BlendRows<Kind{true, true, true}>,     // BlendModeAlphaMaskedRows
};

// One covered pixel of each kind, by the index of kWorkers.
const lumeno::blend::CoveredPixel lumeno::blend::kCoveredPixels[8] = {
    &BlendCovered<Kind{false, false, false}>, &BlendCovered<Kind{false, false, true}>,
    &BlendCovered<Kind{false, true, false}>,  &BlendCovered<Kind{false, true, true}>,
    &BlendCovered<Kind{true, false, false}>,  &BlendCovered<Kind{true, false, true}>,
    &BlendCovered<Kind{true, true, false}>,   &BlendCovered<Kind{true, true, true}>,
};

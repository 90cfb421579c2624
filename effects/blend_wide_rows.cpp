// The blend bands that take the faster rows of effects/x86/blend_*.cpp
// (engine/fast_paths.h): the uncovered parts copied whole (CopyUncovered,
// which the plain table rows use as well), the covered pixels through the
// level's row, the pixels it leaves through the plain form. With a fill
// mask a row goes in runs of 64 pixels, their mask values fetched first.
#include <cstring>

#include "effects/blend_kernel.h"
#include "effects/blend_modes.h"
#include "engine/fast_paths.h"
#include "engine/row_walker.h"

namespace lumeno::blend {

namespace {

// The faster rows, highest level first.
#if defined(LUMENO_X86_PATHS)
constexpr FastPath<WideRowFor> kWidePaths[] = {{CpuLevel::kAvx2, &WideRowAvx2}};
#else
constexpr FastPath<WideRowFor> kWidePaths[] = {{CpuLevel::kBaseline, nullptr}};
#endif

// Whether the faster rows take these pixels: 4-byte source, fill and
// destination pixels with alpha at one position in source, destination and
// (with fill alpha) fill, and colour in the other three; or 3-byte source
// and destination pixels (alpha taken as position 3), or 3-byte fill pixels
// where the source's colour is in bytes 0 to 2. For the colour-space modes,
// red, green and blue at the same positions in all three. The layout
// (alpha, red, green, blue positions in bytes 0 to 3 of the value, and the
// 3-byte marks), or -1.
int64_t WideLayout(const BlendParams& p, bool fillAlpha) {
  const RawBitmap& source = *p.base.source;
  const RawBitmap& fill = *p.fill;
  const bool threeSource = p.base.srcPixelBytes == 3 && source.hasAlpha == 0;
  const bool threeFill = p.fillPixelBytes == 3 && !fillAlpha;
  const int32_t alpha = threeSource ? 3 : source.alphaOffset;
  const int32_t pixelBytes = threeSource ? 3 : 4;
  if ((threeFill && alpha != 3) ||
      (!threeSource && (source.hasAlpha == 0 || alpha < 0 || alpha > 3 ||
                        p.base.srcPixelBytes != 4 || p.base.destination->alphaOffset != alpha)) ||
      p.base.dstPixelBytes != pixelBytes || (p.fillPixelBytes != 4 && !threeFill) ||
      (fillAlpha && fill.alphaOffset != alpha) || p.colourChannelCount != 3) {
    return -1;
  }
  for (int32_t i = 0; i < 3; ++i) {
    if (p.colourChannels[i] == alpha || p.colourChannels[i] > 3) return -1;
  }
  const bool colourSpace = p.mode >= 12 && p.mode <= 15;
  if (colourSpace &&
      (fill.redOffset != source.redOffset || fill.greenOffset != source.greenOffset ||
       fill.blueOffset != source.blueOffset)) {
    return -1;
  }
  return alpha | (threeSource ? kThreeByteSource : 0) | (threeFill ? kThreeByteFill : 0) |
         source.redOffset << 8 | source.greenOffset << 16 | int64_t{source.blueOffset} << 24;
}

}  // namespace

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

bool WideRows(void* job, const BlendParams& p, int32_t kind, void** result) {
  const bool fillAlpha = (kind & 2) != 0, masked = (kind & 1) != 0;
  const int64_t layout = WideLayout(p, fillAlpha);
  const WideRowFor rowFor = Pick(kWidePaths);
  const WideRow wide = layout >= 0 && rowFor != nullptr ? rowFor(kind, p.mode) : nullptr;
  if (wide == nullptr) return false;
  const CoveredPixel plain = kCoveredPixels[kind];
  const int64_t pixelBytes = p.base.srcPixelBytes, fillBytes = p.fillPixelBytes;
  const float o = static_cast<float>(p.fillWeight) * (1.0f / 256.0f);
  *result = ForEachRow(job, [&](int32_t r, const uint8_t* src, uint8_t* dst) {
    const uint8_t* f = CopyUncovered(p, r, src, dst);
    if (f == nullptr) return;
    constexpr int32_t kRun = 64;
    uint8_t m[kRun] = {};
    const int64_t maskRow = masked ? MaskRow8(p.fillMask, r) : 0;
    for (int32_t x0 = p.xStart; x0 < p.xEnd; x0 += kRun) {
      const int32_t n = p.xEnd - x0 < kRun ? p.xEnd - x0 : kRun;
      if (masked) {
        for (int32_t i = 0; i < n; ++i)
          m[i] = static_cast<uint8_t>(MaskValue8(p.fillMask, maskRow, x0 + i));
      }
      const uint8_t* fr = f + fillBytes * (x0 - p.xStart);
      const int32_t done = wide(src + pixelBytes * x0, fr, dst + pixelBytes * x0, m, n,
                                static_cast<uint32_t>(layout), p.sourceWeight, p.fillWeight, o);
      for (int32_t i = done; i < n; ++i) {
        plain(p, src + pixelBytes * (x0 + i), fr + fillBytes * i, dst + pixelBytes * (x0 + i), m[i],
              static_cast<size_t>(pixelBytes));
      }
    }
  });
  return true;
}

}  // namespace lumeno::blend

// The RawBitmap and RawBitmapMask classes: a module of their own that the
// host registers under these names, plus typed helpers for tests and tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "lumeno/raw_bitmap.h"

namespace lumeno::host {

// Values of RawBitmap.RawBitmapFormat. Channel offsets per format are given
// in raw_bitmap_class.cpp's format table (and docs/host.md). Formats without
// alpha set alphaOffset to kNoChannel, formats without a fourth colour
// channel set blackOffset to kNoChannel, so no loop mistakes a padding byte
// for a channel.
enum RawBitmapFormat : int64_t {
  kGray8 = 0,         // gray
  kGrayAlpha8 = 1,    // gray, alpha
  kRGB8 = 3,
  kBGR8 = 4,
  kRGBA8 = 5,
  kBGRA8 = 6,
  kARGB8 = 7,
  kABGR8 = 8,
  kRGBX8 = 9,         // padded: fourth byte is no channel
  kBGRX8 = 10,
  kXRGB8 = 11,
  kXBGR8 = 12,
  kCMYK8 = 13,
  kCMYKA8 = 14,
  kCMYK16 = 15,
  kCMYKA16 = 16,
  kRGB16 = 20,
  kRGBA16 = 21,
  kGray16 = 22,
  kGrayAlpha16 = 23,
};

constexpr uint8_t kNoChannel = 0xFF;

struct FormatInfo {
  RawBitmapFormat format;
  const char* name;  // "RGBA8", ...
  int bitsPerChannel;
  int channelCount;   // samples per pixel that carry data (colour + alpha)
  int bytesPerPixel;
  uint8_t redOffset, greenOffset, blueOffset, alphaOffset, blackOffset;  // byte offsets
};

// Every format of the table, in value order; null for an unknown value.
const std::vector<FormatInfo>& AllFormats();
const FormatInfo* FindFormat(int64_t format);

// Bytes of zeroed slack after the last row of every bitmap's pixel memory.
constexpr int64_t kPixelSlackBytes = 16;

// Registers the RawBitmap, RawBitmapMask and MemoryBlock classes (the Host
// constructor does this).
void RegisterBitmapClasses(Host& host);

// Creates a RawBitmap through its registered constructor (rowBytes 0: the
// class chooses). Returns null when the bitmap is not valid.
Object CreateBitmap(Host& host, int64_t width, int64_t height, int64_t format,
                    int64_t rowBytes = 0);
RawBitmap* BitmapRecord(Host& host, Object bitmap);
// A mask from one channel (byte offset inside a pixel) of a bitmap.
Object CreateMask(Host& host, Object bitmap, bool inverted, uint8_t activeChannel);
RawBitmapMask* MaskObject(Host& host, Object mask);

// Copies between a bitmap and a tightly packed interleaved buffer of
// width * bytesPerPixel bytes per row (16-bit samples in native order).
std::vector<uint8_t> ReadPixels(const RawBitmap& bitmap);
void WritePixels(RawBitmap& bitmap, const std::vector<uint8_t>& packed);

}  // namespace lumeno::host

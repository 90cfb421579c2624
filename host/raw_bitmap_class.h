// The MemoryBlock, RawBitmap and RawBitmapMask classes: a class module that
// a Host registers under these names, plus typed helpers for tests and tools.
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
  kGray8 = 0,       // gray
  kGrayAlpha8 = 1,  // gray, alpha
  kRGB8 = 3,
  kBGR8 = 4,
  kRGBA8 = 5,
  kBGRA8 = 6,
  kARGB8 = 7,
  kABGR8 = 8,
  kRGBX8 = 9,  // padded: fourth byte is no channel
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
  int channelCount;  // samples per pixel that carry data (colour + alpha)
  int bytesPerPixel;
  uint8_t redOffset, greenOffset, blueOffset, alphaOffset, blackOffset;  // byte offsets
};

// Every format of the table, in value order; null for an unknown value.
const std::vector<FormatInfo>& AllFormats();
const FormatInfo* FindFormat(int64_t format);
// The format of that name ("RGBA8", "GRAY_ALPHA16", ...; letter case is
// ignored); null when none has it.
const FormatInfo* FindFormatByName(const std::string& name);

// Bytes of zeroed slack after the last row of every bitmap's pixel memory.
constexpr int64_t kPixelSlackBytes = 16;
// Pixel memory is aligned to this many bytes.
constexpr int64_t kPixelAlignment = 64;
// Largest pixel memory (rows plus slack) a bitmap may ask for; larger
// requests leave the bitmap invalid instead of trying the allocation.
constexpr int64_t kMaxPixelBytes = int64_t{1} << 36;

// Registers the MemoryBlock, RawBitmap and RawBitmapMask classes, in this
// order (one of the StandardModules). Objects handed to their constructors
// are checked against this host.
void RegisterBitmapClasses(Host& host);

// Creates a RawBitmap through its registered constructor (rowBytes 0: the
// class chooses). Returns null when the bitmap is not valid.
Object CreateBitmap(Host& host, int64_t width, int64_t height, int64_t format,
                    int64_t rowBytes = 0);
RawBitmap* BitmapRecord(Host& host, Object bitmap);
// A mask from one channel (byte offset inside a pixel) of a bitmap.
Object CreateMask(Host& host, Object bitmap, bool inverted, uint8_t activeChannel);
RawBitmapMask* MaskObject(Host& host, Object mask);

// A MemoryBlock of `size` zeroed bytes (null when the host has no such class).
Object CreateMemoryBlock(Host& host, int64_t size);
// The bytes of a MemoryBlock and their count (null and 0 for anything else).
uint8_t* MemoryBlockBytes(Host& host, Object block, int64_t* size = nullptr);

// Copies between a bitmap and a tightly packed interleaved buffer of
// width * bytesPerPixel bytes per row (16-bit samples in native order).
std::vector<uint8_t> ReadPixels(const RawBitmap& bitmap);
void WritePixels(RawBitmap& bitmap, const std::vector<uint8_t>& packed);

}  // namespace lumeno::host

// Image helpers for tests: seeded random bitmaps and masks, sample access by
// byte offset, a check that nothing outside the image was written, and a
// pixel comparison that names the first difference.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "host/host.h"
#include "host/raw_bitmap_class.h"
#include "lumeno/raw_bitmap.h"

namespace lumeno::testing {

// The one random generator of the tests: same seed, same images everywhere.
using Rng = std::mt19937_64;

// A bitmap of random pixels whose rows carry `rowPaddingBytes` extra bytes
// (random as well, so a writer that strays into them is caught). Empty when
// the class refuses the request (for example odd padding of a 16-bit format).
host::Ref RandomBitmap(host::Host& host, int64_t width, int64_t height, int64_t format,
                       int64_t rowPaddingBytes = 0, uint64_t seed = 1);

// Bytes of pixel memory that belong to no pixel: the padding at the end of
// each row and the slack after the last row.
struct OutsideBytes {
  std::vector<uint8_t> bytes;
};
OutsideBytes Snapshot(const RawBitmap& bitmap);
bool Unchanged(const RawBitmap& bitmap, const OutsideBytes& before);
// The same as an assertion naming the first changed byte.
::testing::AssertionResult OutsideUnchanged(const RawBitmap& bitmap, const OutsideBytes& before);

// The sample of a channel, by its byte offset in the pixel (16-bit bitmaps:
// the sample at index byteOffset / 2).
uint32_t Sample(const RawBitmap& bitmap, int64_t x, int64_t y, int byteOffset);
void SetSample(RawBitmap& bitmap, int64_t x, int64_t y, int byteOffset, uint32_t value);
uint8_t Sample8(const RawBitmap& bitmap, int64_t x, int64_t y, int byteOffset);
uint16_t Sample16(const RawBitmap& bitmap, int64_t x, int64_t y, int byteOffset);

// Same size, format and every pixel byte (padding ignored). A failure names
// the first differing pixel, its sample offset and both values.
::testing::AssertionResult SamePixels(const RawBitmap& expected, const RawBitmap& actual);
// Against a packed buffer (width * bytesPerPixel bytes per row, 16-bit
// samples in native order), as a reference implementation produces it.
::testing::AssertionResult SamePixels(const std::vector<uint8_t>& expectedPacked,
                                      const RawBitmap& actual);

// A mask whose value at (x, y) is values[y * width + x]: 8-bit values make
// an 8-bit mask, 16-bit values a 16-bit one.
host::Ref MaskWithValues(host::Host& host, int64_t width, int64_t height,
                         const std::vector<uint8_t>& values);
host::Ref MaskWithValues(host::Host& host, int64_t width, int64_t height,
                         const std::vector<uint16_t>& values);

// Random mask values for width * height pixels, with the end values
// over-represented: about a quarter are 0, an eighth the maximum.
std::vector<uint8_t> RandomMaskValues8(int64_t width, int64_t height, uint64_t seed);
std::vector<uint16_t> RandomMaskValues16(int64_t width, int64_t height, uint64_t seed);

// A gray bitmap (GRAY8 or GRAY16) holding random mask values, ready to be
// turned into a mask with CreateMask(host, bitmap, false, 0).
host::Ref RandomMaskBitmap(host::Host& host, int64_t width, int64_t height, int bitsPerChannel,
                           uint64_t seed);

}  // namespace lumeno::testing

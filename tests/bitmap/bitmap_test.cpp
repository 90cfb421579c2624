// Pixel memory, refused requests, extra data and MemoryBlock sources.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {


class BitmapTest : public HostTest {
 protected:
  // Runs the registered constructor on a fresh object, as the plug-in does.
  host::Ref Construct(host::Object block, int64_t width, int64_t height, int64_t rowBytes,
                      int64_t format) {
    host::Ref bitmap(host(), host().New("RawBitmap"));
    host().Call<void>(bitmap.get(), RAW_BITMAP_CONSTRUCTOR_DECLARATION, block, width, height,
                      rowBytes, format);
    return bitmap;
  }
  RawBitmap& Record(const host::Ref& bitmap) { return *host::BitmapRecord(host(), bitmap.get()); }
};

bool AllZero(const uint8_t* p, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

struct LayoutCase {
  int64_t format, width, height, rowBytes, expectedRowBytes;
};

TEST_F(BitmapTest, PixelMemoryLayout) {
  const LayoutCase cases[] = {
      {host::kRGB8, 5, 3, 0, 15},     {host::kRGB8, 5, 3, 15, 15},
      {host::kRGB8, 5, 3, 20, 20},    {host::kRGBA8, 1, 1, 0, 4},
      {host::kGray8, 3, 4, 7, 7},     {host::kRGB16, 3, 2, 0, 18},
      {host::kRGB16, 3, 2, 24, 24},   {host::kCMYKA8, 3, 3, 0, 15},
      {host::kCMYKA16, 2, 2, 22, 22}, {host::kGrayAlpha16, 9, 1, 0, 36},
      {host::kRGBA8, 0, 4, 0, 0},     {host::kRGBA8, 4, 0, 0, 16},
      {host::kRGBA8, 0, 0, 0, 0},     {host::kRGBA8, 0, 2, 8, 8},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << " " << c.width << "x" << c.height
                                      << " rowBytes " << c.rowBytes);
    host::Ref bitmap = Construct(nullptr, c.width, c.height, c.rowBytes, c.format);
    const RawBitmap& r = Record(bitmap);
    ASSERT_EQ(r.isValid, 1);
    EXPECT_EQ(r.rowBytes, c.expectedRowBytes);
    ASSERT_NE(r.pixelData, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r.pixelData) % 64, 0u);
    // Rows, padding and the slack after the last row all start zeroed.
    EXPECT_TRUE(AllZero(r.pixelData, r.rowBytes * r.height + host::kPixelSlackBytes));
  }
}

// A gray destination of a colour source gets its sample at the source's red
// offset; the slack must take the last pixel's sample for every pairing.
TEST_F(BitmapTest, SlackTakesGraySampleAtAnyRedOffset) {
  for (const host::FormatInfo& source : host::AllFormats()) {
    for (int64_t grayFormat :
         {host::kGray8, host::kGrayAlpha8, host::kGray16, host::kGrayAlpha16}) {
      const host::FormatInfo& gray = *host::FindFormat(grayFormat);
      if (gray.bitsPerChannel != source.bitsPerChannel) continue;
      const int sampleBytes = gray.bitsPerChannel / 8;
      const int64_t width = 3, height = 2;
      const int64_t rowBytes = width * gray.bytesPerPixel;
      const int64_t lastByte = (height - 1) * rowBytes + (width - 1) * gray.bytesPerPixel +
                               (source.redOffset >> (sampleBytes - 1)) * sampleBytes + sampleBytes;
      EXPECT_LE(lastByte, rowBytes * height + host::kPixelSlackBytes)
          << source.name << " into " << gray.name;
    }
  }
  // And the memory really is there (AddressSanitizer watches this write).
  host::Ref bitmap = Construct(nullptr, 3, 2, 0, host::kGray8);
  RawBitmap& r = Record(bitmap);
  r.pixelData[r.rowBytes * r.height + host::kPixelSlackBytes - 1] = 1;
}

struct InvalidCase {
  const char* what;
  int64_t width, height, rowBytes, format;
};

TEST_F(BitmapTest, RefusedRequestsLeaveInvalidRecordWithoutMemory) {
  constexpr int64_t kBig = int64_t{1} << 31;
  const InvalidCase cases[] = {
      {"negative width", -1, 4, 0, host::kRGB8},
      {"negative height", 4, -1, 0, host::kRGB8},
      {"negative rowBytes", 4, 4, -12, host::kRGB8},
      {"rowBytes one short", 4, 4, 11, host::kRGB8},
      {"rowBytes one short, 16-bit", 4, 4, 31, host::kRGBA16},
      {"odd rowBytes, 16-bit", 4, 4, 33, host::kRGBA16},
      {"format 2", 4, 4, 0, 2},
      {"format 17", 4, 4, 0, 17},
      {"format 24", 4, 4, 0, 24},
      {"format -1", 4, 4, 0, -1},
      {"row length overflows 32 bits", kBig / 4, 1, 0, host::kRGBA8},
      {"width beyond 32 bits", kBig, 1, 0, host::kGray8},
      {"height beyond 32 bits", 1, kBig, 0, host::kGray8},
      {"rowBytes beyond 32 bits", 1, 1, kBig, host::kGray8},
      {"area too large", 1 << 20, 1 << 20, 0, host::kRGBA8},
      {"extreme values", std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max(),
       0, host::kRGBA16},
  };
  for (const InvalidCase& c : cases) {
    SCOPED_TRACE(c.what);
    host::Ref bitmap = Construct(nullptr, c.width, c.height, c.rowBytes, c.format);
    const RawBitmap& r = Record(bitmap);
    EXPECT_EQ(r.isValid, 0);
    EXPECT_EQ(r.pixelData, nullptr);
    EXPECT_FALSE(host().GetBoolean(bitmap.get(), "IsValid"));
    EXPECT_EQ(host::CreateBitmap(host(), c.width, c.height, c.format, c.rowBytes), nullptr);
  }
  EXPECT_EQ(host().LiveObjects(), 0u) << "CreateBitmap keeps no refused bitmap alive";
}

struct BlockCase {
  int64_t format, width, height, rowBytes, blockRowBytes, blockSize;
  bool valid;
};

TEST_F(BitmapTest, CopiesRowsFromMemoryBlock) {
  const BlockCase cases[] = {
      // Natural row length, exact block.
      {host::kRGB8, 5, 3, 0, 15, 45, true},
      // Padded rows read with the padded stride; padding itself is not copied.
      {host::kRGBA8, 3, 4, 16, 16, 64, true},
      // The last row needs no padding in the block.
      {host::kRGBA8, 3, 4, 16, 16, 60, true},
      {host::kRGB16, 2, 3, 0, 12, 36, true},
      {host::kGray8, 4, 0, 0, 4, 0, true},
      // Too small by one byte.
      {host::kRGBA8, 3, 4, 16, 16, 59, false},
      {host::kRGB8, 5, 3, 0, 15, 44, false},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << " block " << c.blockSize);
    host::Ref block(host(), host::CreateMemoryBlock(host(), c.blockSize));
    uint8_t* bytes = host::MemoryBlockBytes(host(), block.get());
    for (int64_t i = 0; i < c.blockSize; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    host::Ref bitmap = Construct(block.get(), c.width, c.height, c.rowBytes, c.format);
    const RawBitmap& r = Record(bitmap);
    ASSERT_EQ(r.isValid, c.valid ? 1 : 0);
    if (!c.valid) {
      EXPECT_EQ(r.pixelData, nullptr);
      continue;
    }
    const int64_t packedRow = c.width * r.bytesPerPixel;
    for (int64_t y = 0; y < c.height; ++y) {
      for (int64_t i = 0; i < r.rowBytes; ++i) {
        const uint8_t want =
            i < packedRow ? static_cast<uint8_t>((y * c.blockRowBytes + i) * 7 + 1) : 0;
        ASSERT_EQ(r.pixelData[y * r.rowBytes + i], want) << "row " << y << " byte " << i;
      }
    }
    EXPECT_TRUE(AllZero(r.pixelData + r.rowBytes * r.height, host::kPixelSlackBytes));
  }
}

TEST_F(BitmapTest, NonBlockSourceIsRefused) {
  host::Ref other(host(), host::CreateBitmap(host(), 8, 8, host::kRGBA8));
  host::Ref bitmap = Construct(other.get(), 2, 2, 0, host::kRGB8);
  EXPECT_EQ(Record(bitmap).isValid, 0);
}

}  // namespace
}  // namespace lumeno::testing

// The format table and the records the RawBitmap constructor fills from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::FormatInfo;
using host::kNoChannel;
constexpr uint8_t N = kNoChannel;

struct ExpectedFormat {
  int64_t value;
  const char* name;
  int bits, channels, bytesPerPixel;
  uint8_t red, green, blue, alpha, black;
};

// Written out by hand from the published channel layouts.
const ExpectedFormat kExpected[] = {
    {0, "GRAY8", 8, 1, 1, 0, 0, 0, N, N},    {1, "GRAY_ALPHA8", 8, 2, 2, 0, 0, 0, 1, N},
    {3, "RGB8", 8, 3, 3, 0, 1, 2, N, N},     {4, "BGR8", 8, 3, 3, 2, 1, 0, N, N},
    {5, "RGBA8", 8, 4, 4, 0, 1, 2, 3, N},    {6, "BGRA8", 8, 4, 4, 2, 1, 0, 3, N},
    {7, "ARGB8", 8, 4, 4, 1, 2, 3, 0, N},    {8, "ABGR8", 8, 4, 4, 3, 2, 1, 0, N},
    {9, "RGBX8", 8, 3, 4, 0, 1, 2, N, N},    {10, "BGRX8", 8, 3, 4, 2, 1, 0, N, N},
    {11, "XRGB8", 8, 3, 4, 1, 2, 3, N, N},   {12, "XBGR8", 8, 3, 4, 3, 2, 1, N, N},
    {13, "CMYK8", 8, 4, 4, 0, 1, 2, N, 3},   {14, "CMYKA8", 8, 5, 5, 0, 1, 2, 4, 3},
    {15, "CMYK16", 16, 4, 8, 0, 2, 4, N, 6}, {16, "CMYKA16", 16, 5, 10, 0, 2, 4, 8, 6},
    {20, "RGB16", 16, 3, 6, 0, 2, 4, N, N},  {21, "RGBA16", 16, 4, 8, 0, 2, 4, 6, N},
    {22, "GRAY16", 16, 1, 2, 0, 0, 0, N, N}, {23, "GRAY_ALPHA16", 16, 2, 4, 0, 0, 0, 2, N},
};

TEST(FormatTable, ListsEveryFormatInValueOrder) {
  const auto& all = host::AllFormats();
  ASSERT_EQ(all.size(), std::size(kExpected));
  for (size_t i = 0; i < all.size(); ++i) {
    const ExpectedFormat& e = kExpected[i];
    const FormatInfo& f = all[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(f.format, e.value);
    EXPECT_STREQ(f.name, e.name);
    EXPECT_EQ(f.bitsPerChannel, e.bits);
    EXPECT_EQ(f.channelCount, e.channels);
    EXPECT_EQ(f.bytesPerPixel, e.bytesPerPixel);
    EXPECT_EQ(f.redOffset, e.red);
    EXPECT_EQ(f.greenOffset, e.green);
    EXPECT_EQ(f.blueOffset, e.blue);
    EXPECT_EQ(f.alphaOffset, e.alpha);
    EXPECT_EQ(f.blackOffset, e.black);
    EXPECT_EQ(host::FindFormat(e.value), &f);
    EXPECT_EQ(host::FindFormatByName(e.name), &f);
  }
}

TEST(FormatTable, UnknownValuesAndNames) {
  for (int64_t v : {-1, 2, 17, 18, 19, 24, 1000}) EXPECT_EQ(host::FindFormat(v), nullptr) << v;
  EXPECT_EQ(host::FindFormatByName("rgba8"), host::FindFormat(host::kRGBA8));
  EXPECT_EQ(host::FindFormatByName("gray_alpha16"), host::FindFormat(host::kGrayAlpha16));
  for (const char* name : {"", "RGBA", "RGBA88", "RGB", "GRAY"}) {
    EXPECT_EQ(host::FindFormatByName(name), nullptr) << name;
  }
}

// What every loop of the effects relies on: colour and alpha samples lie in
// the pixel and do not overlap; an absent alpha or black channel is no
// sample of the pixel, neither as a byte offset nor halved as a 16-bit index.
TEST(FormatTable, ChannelRelations) {
  for (const FormatInfo& f : host::AllFormats()) {
    SCOPED_TRACE(f.name);
    const int sampleBytes = f.bitsPerChannel / 8;
    const int samples = f.bytesPerPixel / sampleBytes;
    auto inside = [&](uint8_t offset) {
      return offset % sampleBytes == 0 && offset + sampleBytes <= f.bytesPerPixel;
    };
    auto absent = [&](uint8_t offset) {
      return offset >= f.bytesPerPixel && (offset >> 1) >= samples;
    };
    std::set<int> used;
    for (uint8_t c : {f.redOffset, f.greenOffset, f.blueOffset}) {
      EXPECT_TRUE(inside(c)) << int{c};
      used.insert(c);
    }
    const bool gray = f.channelCount <= 2;
    if (gray) {
      EXPECT_EQ(used.size(), 1u);
    } else {
      EXPECT_EQ(used.size(), 3u);
    }
    for (uint8_t extra : {f.alphaOffset, f.blackOffset}) {
      if (extra == kNoChannel) {
        EXPECT_TRUE(absent(extra));
        continue;
      }
      EXPECT_TRUE(inside(extra)) << int{extra};
      EXPECT_TRUE(used.insert(extra).second) << "offset " << int{extra} << " used twice";
    }
    // channelCount counts the samples that carry data (gray counts once).
    EXPECT_EQ(static_cast<int>(used.size()), f.channelCount);
    EXPECT_LE(f.channelCount, samples);
  }
}

class FormatRecordTest : public HostTest {};

TEST_F(FormatRecordTest, ConstructorFillsRecordFromFormat) {
  for (const ExpectedFormat& e : kExpected) {
    SCOPED_TRACE(e.name);
    host::Ref bitmap(host(), host::CreateBitmap(host(), 7, 3, e.value));
    ASSERT_TRUE(bitmap);
    const RawBitmap& r = *host::BitmapRecord(host(), bitmap.get());
    EXPECT_EQ(r.isValid, 1);
    EXPECT_EQ(r.width, 7);
    EXPECT_EQ(r.height, 3);
    EXPECT_EQ(r.imageFormat, e.value);
    EXPECT_EQ(r.bitsPerChannel, e.bits);
    EXPECT_EQ(r.channelCount, e.channels);
    EXPECT_EQ(r.bytesPerPixel, e.bytesPerPixel);
    EXPECT_EQ(r.rowBytes, 7 * e.bytesPerPixel);
    EXPECT_EQ(r.redOffset, e.red);
    EXPECT_EQ(r.greenOffset, e.green);
    EXPECT_EQ(r.blueOffset, e.blue);
    EXPECT_EQ(r.alphaOffset, e.alpha);
    EXPECT_EQ(r.blackOffset, e.black);
    EXPECT_EQ(r.hasAlpha, e.alpha != N ? 1 : 0);
    EXPECT_NE(r.operations, nullptr);
    EXPECT_EQ(r.metadata1, 0u);
    EXPECT_EQ(r.metadata2, 0u);
    EXPECT_EQ(r.extraRef, 0u);
  }
}

TEST_F(FormatRecordTest, ReadOnlyProperties) {
  host::Ref bitmap(host(), host::CreateBitmap(host(), 5, 4, host::kRGBA16, 48));
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(host().GetInteger(bitmap.get(), "Width"), 5);
  EXPECT_EQ(host().GetInteger(bitmap.get(), "Height"), 4);
  EXPECT_EQ(host().GetInteger(bitmap.get(), "RowBytes"), 48);
  EXPECT_EQ(host().GetInteger(bitmap.get(), "Format"), 21);
  EXPECT_EQ(host().GetInteger(bitmap.get(), "BitsPerChannel"), 16);
  EXPECT_EQ(host().GetInteger(bitmap.get(), "BytesPerPixel"), 8);
  EXPECT_EQ(host().GetInteger(bitmap.get(), "ChannelCount"), 4);
  EXPECT_TRUE(host().GetBoolean(bitmap.get(), "HasAlpha"));
  EXPECT_TRUE(host().GetBoolean(bitmap.get(), "IsValid"));
  EXPECT_FALSE(host().SetProperty(bitmap.get(), "Width", int64_t{9}));
  EXPECT_EQ(host().GetInteger(bitmap.get(), "Width"), 5);
}

// The host language sees the formats as the enumeration RawBitmap.RawBitmapFormat.
TEST_F(FormatRecordTest, EnumerationListsEveryFormat) {
  const host::ClassInfo* info = host().FindClass("RawBitmap");
  ASSERT_NE(info, nullptr);
  const ZARKclassDefinition& c = *info->definition;
  ASSERT_EQ(c.enumCount, 1);
  EXPECT_STREQ(c.enums[0].name, "RawBitmapFormat");
  EXPECT_STREQ(c.enums[0].type, "Integer");
  ASSERT_EQ(c.enums[0].fieldCount, static_cast<int64_t>(std::size(kExpected)));
  for (size_t i = 0; i < std::size(kExpected); ++i) {
    const std::string want =
        std::string(kExpected[i].name) + " = " + std::to_string(kExpected[i].value);
    EXPECT_EQ(c.enums[0].fields[i], want);
  }
  EXPECT_EQ(c.version, 13);
  EXPECT_EQ(c.dataSize, static_cast<int64_t>(sizeof(RawBitmap)));
  EXPECT_STREQ(c.interfaces, "");
}

TEST_F(FormatRecordTest, ClassesRegisteredInOrder) {
  std::vector<std::string> names;
  for (const host::ClassInfo* c : host().Classes()) names.push_back(c->definition->name);
  auto at = [&](const std::string& n) {
    return std::find(names.begin(), names.end(), n) - names.begin();
  };
  ASSERT_LT(at("MemoryBlock"), static_cast<ptrdiff_t>(names.size()));
  EXPECT_LT(at("MemoryBlock"), at("RawBitmap"));
  EXPECT_LT(at("RawBitmap"), at("RawBitmapMask"));
  EXPECT_LT(at("RawBitmapMask"), static_cast<ptrdiff_t>(names.size()));
}

}  // namespace
}  // namespace lumeno::testing

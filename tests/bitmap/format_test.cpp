// The format table and the records the RawBitmap constructor fills from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::FormatInfo;
using host::kNoChannel;

// The table is in value order, and every entry is found by its value and
// by its name, in any case.
TEST(FormatTable, LookupsFindEveryEntry) {
  const auto& all = host::AllFormats();
  ASSERT_EQ(all.size(), 20u);
  for (size_t i = 0; i < all.size(); ++i) {
    SCOPED_TRACE(all[i].name);
    EXPECT_LT(i > 0 ? int64_t{all[i - 1].format} : -1, int64_t{all[i].format});
    EXPECT_EQ(host::FindFormat(all[i].format), &all[i]);
    EXPECT_EQ(host::FindFormatByName(all[i].name), &all[i]);
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
  for (const FormatInfo& e : host::AllFormats()) {
    SCOPED_TRACE(e.name);
    host::Ref bitmap(host(), host::CreateBitmap(host(), 7, 3, e.format));
    ASSERT_TRUE(bitmap);
    const RawBitmap& r = *host::BitmapRecord(host(), bitmap.get());
    EXPECT_EQ(std::tuple(r.isValid, r.width, r.height, r.imageFormat, r.bitsPerChannel,
                         r.channelCount, r.bytesPerPixel, r.rowBytes),
              std::tuple(1, 7, 3, e.format, e.bitsPerChannel, e.channelCount, e.bytesPerPixel,
                         7 * e.bytesPerPixel));
    const uint8_t offsets[] = {r.redOffset, r.greenOffset, r.blueOffset, r.alphaOffset,
                               r.blackOffset};
    const uint8_t want[] = {e.redOffset, e.greenOffset, e.blueOffset, e.alphaOffset, e.blackOffset};
    EXPECT_TRUE(std::equal(offsets, offsets + 5, want));
    EXPECT_EQ(r.hasAlpha, e.alphaOffset != kNoChannel ? 1 : 0);
    EXPECT_NE(r.operations, nullptr);
    EXPECT_EQ(std::tuple(r.metadata1, r.metadata2, r.extraRef), std::tuple(0u, 0u, 0u));
  }
}

// The host language sees the formats as the enumeration RawBitmap.RawBitmapFormat.
TEST_F(FormatRecordTest, EnumerationListsEveryFormat) {
  const host::ClassInfo* info = host().FindClass("RawBitmap");
  ASSERT_NE(info, nullptr);
  const ZARKclassDefinition& c = *info->definition;
  ASSERT_EQ(c.enumCount, 1);
  EXPECT_STREQ(c.enums[0].name, "RawBitmapFormat");
  EXPECT_STREQ(c.enums[0].type, "Integer");
  const auto& all = host::AllFormats();
  ASSERT_EQ(c.enums[0].fieldCount, static_cast<int64_t>(all.size()));
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(c.enums[0].fields[i],
              std::string(all[i].name) + " = " + std::to_string(all[i].format));
  }
  EXPECT_EQ(c.version, 13);
  EXPECT_EQ(c.dataSize, static_cast<int64_t>(sizeof(RawBitmap)));
  EXPECT_STREQ(c.interfaces, "");
}

}  // namespace
}  // namespace lumeno::testing

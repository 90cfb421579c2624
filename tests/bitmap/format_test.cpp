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

}  // namespace
}  // namespace lumeno::testing

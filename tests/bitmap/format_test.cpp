// The format table's invariants. The records the RawBitmap constructor fills
// from it are read by every effect run and compared with the references,
// which take their layout from the table.
#include <gtest/gtest.h>

#include <set>

#include "host/raw_bitmap_class.h"

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

}  // namespace
}  // namespace lumeno::testing

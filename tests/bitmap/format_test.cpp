// The format table's invariants. The records the RawBitmap constructor fills
// from it are read by every effect run and compared with the references,
// which take their layout from the table.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

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

// A format's name spells its samples in memory order (R, G, B or C, M, Y, K,
// A for alpha, X for padding; a gray sample stands for all three colours),
// which gives every offset independently of the table.
TEST(FormatTable, OffsetsFollowTheName) {
  for (const FormatInfo& f : host::AllFormats()) {
    SCOPED_TRACE(f.name);
    std::string letters(f.name);
    letters.erase(letters.find_first_of("0123456789"));
    if (letters.rfind("GRAY", 0) == 0) letters = letters == "GRAY" ? "W" : "WA";
    // red, green, blue, alpha, black
    uint8_t want[5] = {kNoChannel, kNoChannel, kNoChannel, kNoChannel, kNoChannel};
    for (size_t i = 0; i < letters.size(); ++i) {
      const auto at = static_cast<uint8_t>(i * f.bitsPerChannel / 8);
      const std::string_view roles[5] = {"RCW", "GMW", "BYW", "A", "K"};
      for (int c = 0; c < 5; ++c) {
        if (roles[c].find(letters[i]) != std::string_view::npos) want[c] = at;
      }
    }
    EXPECT_EQ(letters.size() * f.bitsPerChannel / 8, static_cast<size_t>(f.bytesPerPixel));
    const uint8_t got[5] = {f.redOffset, f.greenOffset, f.blueOffset, f.alphaOffset,
                            f.blackOffset};
    for (int c = 0; c < 5; ++c) EXPECT_EQ(int{got[c]}, int{want[c]}) << "channel " << c;
  }
}

}  // namespace
}  // namespace lumeno::testing

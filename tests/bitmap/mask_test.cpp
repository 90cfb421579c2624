// RawBitmapMask: every channel of every format, inverted or not, through the
// 8- and 16-bit lookups, and the slot order the plug-in calls them by.
#include <gtest/gtest.h>

#include <vector>

#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

class MaskTest : public HostTest {
 protected:
  host::Ref Mask(const host::Ref& bitmap, bool inverted, uint8_t channel) {
    return host::Ref(host(), host::CreateMask(host(), bitmap.get(), inverted, channel));
  }
  RawBitmapMask& Lookups(const host::Ref& mask) { return *host::MaskObject(host(), mask.get()); }
};

// The value a lookup must give, from the bitmap's own bytes: the sample
// at that byte offset (16 bits: offset / 2), inverted on request, widened
// by 257 or narrowed by >> 8 to the asked depth.
uint32_t Expected(const RawBitmap& r, int64_t x, int64_t y, uint8_t channel, bool inverted,
                  int lookupBits) {
  const uint8_t* pixel = r.pixelData + y * r.rowBytes + x * r.bytesPerPixel;
  uint32_t v;
  uint32_t max;
  if (r.bitsPerChannel == 16) {
    const int i = (channel / 2) * 2;
    v = pixel[i] | (uint32_t{pixel[i + 1]} << 8);  // little-endian sample
    max = 65535;
  } else {
    v = pixel[channel];
    max = 255;
  }
  if (inverted) v = max - v;
  if (lookupBits == 16 && max == 255) return v * 257;
  if (lookupBits == 8 && max == 65535) return v >> 8;
  return v;
}

bool ExpectMaskMatches(RawBitmapMask& m, const RawBitmap& r, uint8_t channel, bool inverted) {
  for (int32_t y = 0; y < r.height; ++y) {
    const int64_t row8 = m.GetRow8(y), row16 = m.GetRow16(y);
    for (int32_t x = 0; x < r.width; ++x) {
      const uint32_t want8 = Expected(r, x, y, channel, inverted, 8);
      const uint32_t want16 = Expected(r, x, y, channel, inverted, 16);
      const uint32_t got8 = m.GetValue8(row8, x), got16 = m.GetValue16(row16, x);
      if (got8 != want8 || got16 != want16) {
        ADD_FAILURE() << "(" << x << ", " << y << ") 8-bit " << got8 << " want " << want8
                      << ", 16-bit " << got16 << " want " << want16;
        return false;
      }
    }
  }
  return true;
}

TEST_F(MaskTest, EveryChannelOfEveryFormat) {
  uint64_t seed = 100;
  for (const host::FormatInfo& f : host::AllFormats()) {
    host::Ref bitmap = RandomBitmap(host(), 7, 5, f.format, f.bitsPerChannel == 16 ? 6 : 3, ++seed);
    ASSERT_TRUE(bitmap);
    const RawBitmap& r = *host::BitmapRecord(host(), bitmap.get());
    // Any byte of the pixel can be the active channel, padding bytes
    // included; at 16 bits an odd offset names the sample it lies in.
    for (uint8_t channel = 0; channel < f.bytesPerPixel; ++channel) {
      for (bool inverted : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << f.name << " channel " << int{channel} << (inverted ? " inverted" : ""));
        host::Ref mask = Mask(bitmap, inverted, channel);
        ASSERT_TRUE(mask);
        ASSERT_TRUE(ExpectMaskMatches(Lookups(mask), r, channel, inverted));
      }
    }
  }
}

// A mask of no usable channel answers 0 everywhere: no bitmap, an object
// that is no bitmap, a channel past the pixel.
TEST_F(MaskTest, UnusableSourcesGiveAnEmptyMask) {
  host::Ref pixels = RandomBitmap(host(), 3, 2, host::kRGBA8, 0, 5);
  host::Ref notABitmap = Mask(pixels, false, 0);
  const host::Ref none;
  const struct {
    const host::Ref& bitmap;
    uint8_t channel;
  } cases[] = {{none, 0}, {notABitmap, 0}, {pixels, 4}};
  for (const auto& c : cases) {
    host::Ref mask = Mask(c.bitmap, false, c.channel);
    ASSERT_TRUE(mask);
    RawBitmapMask& m = Lookups(mask);
    EXPECT_EQ(m.GetValue8(m.GetRow8(0), 0), 0u);
    EXPECT_EQ(m.GetValue16(m.GetRow16(1), 2), 0u);
  }
}

// The plug-in calls the lookups by their position in the table of virtual
// functions, with the mask object at the address of the class data.
TEST_F(MaskTest, LookupsSitInTheirSlots) {
  host::Ref mask = MaskWithValues(host(), 2, 2, std::vector<uint8_t>{10, 20, 30, 40});
  void* data = host().ClassData(mask.get(), "RawBitmapMask");
  ASSERT_EQ(static_cast<void*>(host::MaskObject(host(), mask.get())), data);
  void** table = *static_cast<void***>(data);
  using Row = int64_t (*)(void*, int32_t);
  using Value = uint32_t (*)(void*, int64_t, int32_t);
  const auto getRow8 = reinterpret_cast<Row>(table[1]);
  const auto getValue8 = reinterpret_cast<Value>(table[2]);
  const auto getRow16 = reinterpret_cast<Row>(table[4]);
  const auto getValue16 = reinterpret_cast<Value>(table[5]);
  EXPECT_EQ(getValue8(data, getRow8(data, 1), 0), 30u);
  EXPECT_EQ(getValue16(data, getRow16(data, 1), 1), 40u * 257);
}

}  // namespace
}  // namespace lumeno::testing

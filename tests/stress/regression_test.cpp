// Faults the random runs found, each reduced to its smallest case.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::stress {
namespace {

using host::Object;
using host::Ref;

class RegressionTest : public testing::PluginTest {};

// A grayscale run into a new gray bitmap writes each gray sample at the
// source's red offset inside the one- or two-byte gray pixel. For a source
// whose red channel is not first the samples land that many bytes further
// on: here, a 2 x 1 BGR8 image (red at byte 2) into GRAY8 puts pixel 0's
// gray at byte 2 and pixel 1's at byte 3, both in the zeroed slack after
// the only row, and leaves the two gray pixels 0. The random runs once took
// this for a fault; it is the effect's defined behaviour, which the slack
// after the last row keeps inside the bitmap's memory.
TEST_F(RegressionTest, GrayscaleGrayDestinationTakesTheSourcesRedOffset) {
  Ref source(host(), host::CreateBitmap(host(), 2, 1, host::kBGR8));
  ASSERT_TRUE(source);
  RawBitmap& s = *host::BitmapRecord(host(), source.get());
  ASSERT_EQ(s.redOffset, 2);
  // Pixel 0 is (30, 30, 30), pixel 1 (90, 90, 90): AVERAGE gives 30 and 90.
  for (int x = 0; x < 2; ++x) {
    const uint32_t v = x == 0 ? 30 : 90;
    testing::SetSample(s, x, 0, s.redOffset, v);
    testing::SetSample(s, x, 0, s.greenOffset, v);
    testing::SetSample(s, x, 0, s.blueOffset, v);
  }
  Ref filter(host(), host().New("GrayscaleEffectRaw"));
  Ref result(host(), host().Call<Object>(filter.get(),
                                         "Apply(source as RawBitmap,grayscaleMethod as Integer) "
                                         "as RawBitmap",
                                         source.get(), int64_t{2}));
  ASSERT_TRUE(result);
  const RawBitmap& d = *host::BitmapRecord(host(), result.get());
  ASSERT_EQ(d.imageFormat, host::kGray8);
  ASSERT_EQ(d.rowBytes, 2);
  EXPECT_EQ(d.pixelData[0], 0);
  EXPECT_EQ(d.pixelData[1], 0);
  EXPECT_EQ(d.pixelData[2], 30);
  EXPECT_EQ(d.pixelData[3], 90);
  for (int64_t i = 4; i < 2 + host::kPixelSlackBytes; ++i) EXPECT_EQ(d.pixelData[i], 0) << i;
}

}  // namespace
}  // namespace lumeno::stress

// The example plug-in of examples/map_plugin, loaded next to the library as
// another plug-in of the same host: its filter class derives from
// MPImageFilterRaw and inverts images through the map effect it finds in
// its own filter's engine table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno {
namespace {

using host::Object;
using host::Ref;

constexpr const char* kInvert = "Invert(source as RawBitmap) as RawBitmap";

class ExamplePluginTest : public testing::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    const char* path = std::getenv("LUMENO_EXAMPLE_PLUGIN");
    std::string error;
    ASSERT_TRUE(host().LoadPlugin(path != nullptr ? path : LUMENO_EXAMPLE_PLUGIN_PATH, &error))
        << error;
  }
};

// Colour channels become max - value, alpha stays, for both depths and an
// order whose alpha comes first.
TEST_F(ExamplePluginTest, InvertsColourChannelsAndKeepsAlpha) {
  for (int64_t format : {host::kRGBA8, host::kARGB8, host::kRGB16, host::kRGBA16}) {
    const host::FormatInfo& f = *host::FindFormat(format);
    SCOPED_TRACE(f.name);
    Ref filter(host(), host().New("ExampleInvertRaw"));
    Ref source = testing::RandomBitmap(host(), 37, 21, format, 0, 99);
    const RawBitmap& s = *host::BitmapRecord(host(), source.get());
    Ref result(host(), host().Call<Object>(filter.get(), kInvert, source.get()));
    ASSERT_TRUE(result);
    EXPECT_EQ(host().GetInteger(filter.get(), "ErrorCode"), 0);
    const RawBitmap& d = *host::BitmapRecord(host(), result.get());
    const uint32_t max = f.bitsPerChannel == 16 ? 65535 : 255;
    const uint8_t colour[] = {f.redOffset, f.greenOffset, f.blueOffset};
    for (int64_t y = 0; y < s.height; ++y) {
      for (int64_t x = 0; x < s.width; ++x) {
        for (uint8_t offset : colour) {
          ASSERT_EQ(testing::Sample(d, x, y, offset), max - testing::Sample(s, x, y, offset));
        }
        if (f.alphaOffset != host::kNoChannel) {
          ASSERT_EQ(testing::Sample(d, x, y, f.alphaOffset),
                    testing::Sample(s, x, y, f.alphaOffset));
        }
      }
    }
  }
}

TEST_F(ExamplePluginTest, EngineErrorsReachTheCallersFilter) {
  Ref filter(host(), host().New("ExampleInvertRaw"));
  Ref cmyk = testing::RandomBitmap(host(), 4, 4, host::kCMYK8, 0, 5);
  EXPECT_FALSE(Ref(host(), host().Call<Object>(filter.get(), kInvert, cmyk.get())));
  EXPECT_EQ(host().GetInteger(filter.get(), "ErrorCode"), 5);  // NOT_SUPPORTED_COLOR_SPACE
  EXPECT_FALSE(Ref(host(), host().Call<Object>(filter.get(), kInvert, Object{nullptr})));
  EXPECT_EQ(host().GetInteger(filter.get(), "ErrorCode"), 4);  // ILLEGAL_INPUT_PARAMETER
}

}  // namespace
}  // namespace lumeno

// Every blend mode on single pixels with the stated results, and on random
// pixels against the reference formulas.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "blend/blend_fixture.h"
#include "blend/blend_reference.h"

namespace blendtest {
namespace {

using lumeno::host::kRGB8;
using lumeno::host::kRGBA8;

struct ChannelCase {
  Mode mode;
  int source, fill, expected;
};

// Opacity 1 (weights 0 and 256), no alpha, no mask: the destination equals r.
const ChannelCase kChannelCases[] = {
    {MULTIPLY, 255, 255, 254},    {MULTIPLY, 128, 128, 64},      {SCREEN, 0, 0, 0},
    {SCREEN, 255, 0, 255},        {SCREEN, 128, 128, 192},       {OVERLAY, 100, 200, 157},
    {OVERLAY, 200, 100, 187},     {OVERLAY, 127, 255, 255},      {OVERLAY, 128, 0, 0},
    {HARD_LIGHT, 100, 100, 78},   {HARD_LIGHT, 100, 200, 188},   {COLOR_DODGE, 0, 255, 255},
    {COLOR_DODGE, 100, 255, 255}, {COLOR_DODGE, 255, 255, 255},  {COLOR_BURN, 0, 0, 0},
    {COLOR_BURN, 255, 0, 0},      {SOFT_LIGHT, 255, 255, 255},   {SOFT_LIGHT, 128, 128, 128},
    {SOFT_LIGHT, 255, 0, 254},    {SOFT_LIGHT, 200, 100, 190},   {SHARP_LIGHT, 255, 255, 254},
    {SHARP_LIGHT, 200, 100, 95},  {POWER_LIGHT, 255, 255, 255},  {POWER_LIGHT, 200, 100, 134},
    {VIVID_LIGHT, 0, 0, 127},     {VIVID_LIGHT, 0, 100, 127},    {VIVID_LIGHT, 0, 255, 127},
    {VIVID_LIGHT, 255, 1, 128},   {VIVID_LIGHT, 255, 0, 0},      {VIVID_LIGHT, 64, 128, 1},
    {VIVID_LIGHT, 200, 100, 232}, {EXCLUSION, 100, 200, 144},    {EXCLUSION, 255, 255, 0},
    {DIFFERENCE, 77, 77, 0},      {DIFFERENCE, 10, 200, 190},    {DARKEN, 10, 200, 10},
    {LIGHTEN, 10, 200, 200},      {PIN_LIGHT, 200, 100, 200},    {PIN_LIGHT, 50, 200, 145},
    {LINEAR_LIGHT, 100, 50, 0},   {LINEAR_LIGHT, 100, 200, 245}, {LINEAR_BURN, 100, 100, 0},
    {LINEAR_BURN, 200, 100, 45},  {LINEAR_DODGE, 200, 100, 255}, {ADD, 20, 30, 50},
};

TEST_F(BlendTest, ChannelModesGiveTheStatedValues) {
  for (const ChannelCase& c : kChannelCases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.source << " with " << c.fill);
    Ref fx = NewBlend(c.mode);
    const auto s = static_cast<uint8_t>(c.source), f = static_cast<uint8_t>(c.fill);
    Ref src = Filled(1, 1, kRGB8, {s, s, s});
    Ref fill = Filled(1, 1, kRGB8, {f, f, f});
    Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0);
    ASSERT_TRUE(out);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PixelAt(out.get(), 0, 0)[i], c.expected);
  }
}

struct RgbCase {
  Mode mode;
  std::vector<uint8_t> source, fill, expected;
};

const RgbCase kColourSpaceCases[] = {
    {LUMINOSITY, {142, 142, 142}, {128, 128, 128}, {127, 127, 127}},
    {LUMINOSITY, {0, 0, 0}, {128, 128, 128}, {127, 127, 127}},
    {LUMINOSITY, {143, 143, 143}, {128, 128, 128}, {127, 126, 129}},
    {LUMINOSITY, {255, 255, 255}, {128, 128, 128}, {127, 126, 129}},
    {LUMINOSITY, {255, 0, 0}, {128, 128, 128}, {255, 50, 55}},
    {HUE, {255, 0, 0}, {255, 0, 0}, {254, 0, 0}},
    {HUE, {255, 0, 0}, {0, 0, 255}, {0, 0, 254}},
    {SATURATION, {255, 0, 0}, {200, 200, 200}, {255, 145, 145}},
    {SATURATION, {255, 0, 0}, {128, 128, 128}, {255, 0, 0}},
    {COLOR, {100, 100, 100}, {0, 0, 255}, {127, 127, 127}},
};

TEST_F(BlendTest, ColourSpaceModesGiveTheStatedValues) {
  for (const RgbCase& c : kColourSpaceCases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", source " << int(c.source[0]) << ","
                                    << int(c.source[1]) << "," << int(c.source[2]));
    Ref fx = NewBlend(c.mode);
    // BGR order on the fill: the modes read each bitmap through its own offsets.
    Ref src = Filled(1, 1, kRGB8, c.source);
    Ref fill = Filled(1, 1, lumeno::host::kBGR8, {c.fill[2], c.fill[1], c.fill[0]});
    Ref out = Apply(fx.get(), src.get(), fill.get(), 1.0);
    ASSERT_TRUE(out);
    const uint8_t* p = PixelAt(out.get(), 0, 0);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 3), c.expected);
  }
}

TEST_F(BlendTest, SourceAlphaScalesTheValueTheFormulaSees) {
  // Alpha 128: sa = 0.502, a = trunc(200 * 0.502) = 100; (100 * 255) >> 8 = 99.
  Ref fx = NewBlend(MULTIPLY);
  Ref src = Filled(1, 1, kRGBA8, {200, 200, 200, 128});
  Ref fill = Filled(1, 1, kRGB8, {255, 255, 255});
  Ref full = Apply(fx.get(), src.get(), fill.get(), 1.0);
  ASSERT_TRUE(full);
  EXPECT_EQ(PixelAt(full.get(), 0, 0)[0], 99);
  // Weights 128 and 128: (200 * 128 + 99 * 128) >> 8 = 149; no fill alpha: alpha 255.
  Ref half = Apply(fx.get(), src.get(), fill.get(), 0.5);
  ASSERT_TRUE(half);
  const uint8_t* p = PixelAt(half.get(), 0, 0);
  EXPECT_EQ(p[0], 149);
  EXPECT_EQ(p[1], 149);
  EXPECT_EQ(p[2], 149);
  EXPECT_EQ(p[3], 255);
}

TEST_F(BlendTest, OutOfRangeModesBlendAsMultiply) {
  Ref src = lumeno::testing::RandomBitmap(host(), 9, 7, kRGBA8, 0, 5);
  Ref fill = lumeno::testing::RandomBitmap(host(), 9, 7, kRGB8, 0, 6);
  Ref reference = NewBlend(MULTIPLY);
  Ref expected = Apply(reference.get(), src.get(), fill.get(), 0.75);
  ASSERT_TRUE(expected);
  for (int64_t mode : {int64_t{24}, int64_t{100}, int64_t{-1}, INT64_MIN}) {
    Ref fx = NewBlend(mode);
    Ref out = Apply(fx.get(), src.get(), fill.get(), 0.75);
    ASSERT_TRUE(out) << mode;
    EXPECT_TRUE(lumeno::testing::SamePixels(Rec(expected.get()), Rec(out.get()))) << mode;
  }
}

TEST_F(BlendTest, LinearDodgeAndAddAgree) {
  Ref src = lumeno::testing::RandomBitmap(host(), 16, 16, kRGBA8, 0, 8);
  Ref fill = lumeno::testing::RandomBitmap(host(), 16, 16, kRGBA8, 0, 9);
  Ref dodge = NewBlend(LINEAR_DODGE), add = NewBlend(ADD);
  Ref a = Apply(dodge.get(), src.get(), fill.get(), 0.6);
  Ref b = Apply(add.get(), src.get(), fill.get(), 0.6);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(lumeno::testing::SamePixels(Rec(a.get()), Rec(b.get())));
}

// Every mode on random 8-bit pixels of every alpha combination against the
// reference, at a few opacities.
TEST_F(BlendTest, EveryModeMatchesTheReferenceOnRandomPixels) {
  struct Pair {
    int64_t source, fill;
  } const pairs[] = {{kRGB8, kRGB8},
                     {kRGBA8, kRGB8},
                     {kRGB8, kRGBA8},
                     {kRGBA8, kRGBA8},
                     {lumeno::host::kARGB8, lumeno::host::kBGRA8}};
  uint64_t seed = 100;
  for (int64_t mode = 0; mode < 24; ++mode) {
    for (const Pair& pair : pairs) {
      for (double opacity : {1.0, 0.5, 0.3}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode << " formats " << pair.source << "/"
                                        << pair.fill << " opacity " << opacity);
        Ref fx = NewBlend(mode);
        Ref src = lumeno::testing::RandomBitmap(host(), 13, 11, pair.source, 0, ++seed);
        Ref fill = lumeno::testing::RandomBitmap(host(), 13, 11, pair.fill, 0, ++seed);
        Ref out = Apply(fx.get(), src.get(), fill.get(), opacity);
        ASSERT_TRUE(out);
        const std::vector<uint8_t> expected =
            blendref::Blend(Rec(src.get()), Rec(fill.get()), nullptr, mode, opacity, {});
        ASSERT_TRUE(lumeno::testing::SamePixels(expected, Rec(out.get())));
      }
    }
  }
}

}  // namespace
}  // namespace blendtest

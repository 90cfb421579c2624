// The blend effect as a script drives it: one fixture with the calls and
// small bitmap builders the blend tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/host.h"
#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace blendtest {

using lumeno::host::Object;
using lumeno::host::Ref;

inline constexpr const char* kApply =
    "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as Double,fillMask as "
    "RawBitmapMask,location as PointF,size as SizeF) as RawBitmap";
inline constexpr const char* kApplyStored = "Apply(source as RawBitmap) as RawBitmap";
inline constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

// Blend modes by name, as the enumeration numbers them.
enum Mode : int64_t {
  NORMAL = 0,
  MULTIPLY,
  SCREEN,
  OVERLAY,
  DARKEN,
  LIGHTEN,
  COLOR_DODGE,
  COLOR_BURN,
  SOFT_LIGHT,
  HARD_LIGHT,
  DIFFERENCE,
  EXCLUSION,
  HUE,
  SATURATION,
  COLOR,
  LUMINOSITY,
  PIN_LIGHT,
  SHARP_LIGHT,
  VIVID_LIGHT,
  LINEAR_LIGHT,
  POWER_LIGHT,
  LINEAR_BURN,
  LINEAR_DODGE,
  ADD
};

class BlendTest : public lumeno::testing::PluginTest {
 protected:
  Ref NewBlend(int64_t mode = NORMAL) {
    Ref fx(host(), host().New("BlendEffectRaw"));
    EXPECT_TRUE(fx);
    host().SetProperty(fx.get(), "BlendMode", mode);
    return fx;
  }
  Ref Point(float x, float y) {
    Ref p(host(), host().New("PointF"));
    host().SetProperty(p.get(), "x", x);
    host().SetProperty(p.get(), "y", y);
    return p;
  }
  Ref Size(float w, float h) {
    Ref s(host(), host().New("SizeF"));
    host().SetProperty(s.get(), "Width", w);
    host().SetProperty(s.get(), "Height", h);
    return s;
  }
  // A bitmap of one format whose every pixel holds `pixel` (bytesPerPixel
  // bytes; a shorter vector leaves the rest zero).
  Ref Filled(int64_t w, int64_t h, int64_t format, const std::vector<uint8_t>& pixel) {
    Ref b(host(), lumeno::host::CreateBitmap(host(), w, h, format));
    EXPECT_TRUE(b);
    if (!b) return b;
    RawBitmap& r = Rec(b.get());
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        for (size_t i = 0; i < pixel.size() && static_cast<int64_t>(i) < r.bytesPerPixel; ++i) {
          r.pixelData[y * r.rowBytes + x * r.bytesPerPixel + static_cast<int64_t>(i)] = pixel[i];
        }
      }
    }
    return b;
  }
  RawBitmap& Rec(Object bitmap) { return *lumeno::host::BitmapRecord(host(), bitmap); }
  const uint8_t* PixelAt(Object bitmap, int64_t x, int64_t y) {
    const RawBitmap& r = Rec(bitmap);
    return r.pixelData + y * r.rowBytes + x * r.bytesPerPixel;
  }
  Ref Apply(Object fx, Object source, Object fill, double opacity, Object mask = nullptr,
            Object location = nullptr, Object size = nullptr) {
    return Ref(host(),
               host().Call<Object>(fx, kApply, source, fill, opacity, mask, location, size));
  }
  int64_t ErrorCode(Object fx) { return host().GetInteger(fx, "ErrorCode"); }
};

}  // namespace blendtest

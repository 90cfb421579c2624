// Every worker against the plain reference of this folder, byte for byte:
// random images of every format each effect accepts, 8 and 16 bits, plain
// and masked, new bitmap and in place, odd widths and padded rows, and every
// thread count (with the single band also forced onto a thread). Whatever a
// worker does inside a row, the bytes must be those of the plain arithmetic,
// and nothing outside the pixels may change.
#include <array>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "fastpath/reference.h"
#include "lumeno/engine.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Object;
using host::Ref;
using reference::Image;
using reference::MaskValues;

struct Shape {
  int64_t width, height, rowPadding;  // padding even, so 16-bit formats accept it
};
// Widths beyond any vector width with ragged ends, heights that split into
// bands of unequal size, rows with padding.
constexpr Shape kShapes[] = {{67, 29, 6}, {3, 17, 2}, {130, 18, 0}};

struct Threads {
  int64_t hint;
  bool force;
};
#ifdef LUMENO_SANITIZER_BUILD
// Under the sanitizers the plain build has already checked every thread
// count byte for byte; one band on a thread of its own and three bands keep
// the threaded paths under watch at a fraction of the time.
constexpr Threads kThreads[] = {{1, true}, {3, false}};
#else
constexpr Threads kThreads[] = {{1, false}, {1, true}, {2, false}, {3, false}, {8, false}};
#endif

// Room after the last pixel, as the host's bitmaps have it: for writes the
// gray path makes past the last pixel, and reads of the blend effect.
constexpr size_t kSlack = host::kPixelSlackBytes;

bool IsFourColour(const host::FormatInfo& f) { return f.format >= 13 && f.format <= 16; }
bool IsGray(const host::FormatInfo& f) { return f.channelCount <= 2; }

// What one case runs and what it must produce.
struct Case {
  std::string name;
  std::string className;
  // Whether the effect runs on this format in this form.
  std::function<bool(const host::FormatInfo&, bool inPlace)> accepts;
  // Properties set before the run (besides Mask and the thread settings).
  std::function<void(host::Host&, Object effect)> configure;
  // Apply (returns the new bitmap) or ApplyInPlace (returns null).
  std::function<Object(host::Host&, Object effect, Object source, Object mask, bool inPlace)> run;
  // The reference result; `initial` is the destination before the run.
  std::function<Image(const Image& source, Image initial, const MaskValues&, bool inPlace)>
      expected;
  bool maskAsArgument = false;  // the map effect takes the mask as an argument
  // False where the bytes of one row reach into the next row's pixels, so
  // that bands on different threads write the same byte: only the
  // single-band runs are compared there.
  std::function<bool(const host::FormatInfo&)> bandsIndependent = nullptr;
};

bool NotFourColour(const host::FormatInfo& f, bool) { return !IsFourColour(f); }
bool Any(const host::FormatInfo&, bool) { return true; }

// Effects driven by "Apply(source as RawBitmap,value as Single)" and its
// in-place twin.
std::function<Object(host::Host&, Object, Object, Object, bool)> OneValue(float v) {
  return [v](host::Host& h, Object effect, Object source, Object, bool inPlace) -> Object {
    if (inPlace) {
      h.Call<void>(effect, "ApplyInPlace(source as RawBitmap, value as Single)", source, v);
      return nullptr;
    }
    return h.Call<Object>(effect, "Apply(source as RawBitmap,value as Single) as RawBitmap", source,
                          v);
  };
}

std::function<Object(host::Host&, Object, Object, Object, bool)> NoValue() {
  return [](host::Host& h, Object effect, Object source, Object, bool inPlace) -> Object {
    if (inPlace) {
      h.Call<void>(effect, "ApplyInPlace(source as RawBitmap)", source);
      return nullptr;
    }
    return h.Call<Object>(effect, "Apply(source as RawBitmap) as RawBitmap", source);
  };
}

void Nothing(host::Host&, Object) {}

// Where a three-channel effect reads its channels: the source's own
// offsets, or for a new bitmap from a gray source the gray sample three
// times (sepia: in place too, its own offsets as they stand).
reference::ThreeChannels Reads(const Image& source, Image initial, bool grayAsRed) {
  const host::FormatInfo& f = *source.format;
  reference::ThreeChannels run{&source, std::move(initial), {}};
  const uint8_t offsets[3] = {f.redOffset, grayAsRed ? f.redOffset : f.greenOffset,
                              grayAsRed ? f.redOffset : f.blueOffset};
  for (int k = 0; k < 3; ++k) run.srcIndex[k] = source.Sixteen() ? offsets[k] / 2 : offsets[k];
  return run;
}

Case BrightnessCase(float v) {
  return {"brightness " + std::to_string(v),
          "BrightnessEffectRaw",
          &NotFourColour,
          &Nothing,
          OneValue(v),
          [v](const Image& s, Image, const MaskValues& m, bool) {
            const bool sixteen = s.Sixteen();
            const int32_t level = reference::BrightnessLevel(v, sixteen);
            return reference::PerSample(s, m, [&](uint32_t o, int64_t) {
              return reference::Brightness(o, level, sixteen);
            });
          }};
}

Case ContrastCase(float v) {
  return {"contrast " + std::to_string(v),
          "ContrastEffectRaw",
          &NotFourColour,
          &Nothing,
          OneValue(v),
          [v](const Image& s, Image, const MaskValues& m, bool) {
            const double factor = reference::ContrastFactor(v);
            return reference::PerSample(s, m, [&](uint32_t o, int64_t) {
              return reference::Contrast(o, factor, s.Sixteen());
            });
          }};
}

Case BrightnessContrastCase(float vb, float vc) {
  return {"brightness-contrast " + std::to_string(vb) + " " + std::to_string(vc),
          "BrightnessContrastEffectRaw",
          &NotFourColour,
          &Nothing,
          [vb, vc](host::Host& h, Object effect, Object source, Object, bool inPlace) -> Object {
            if (inPlace) {
              h.Call<void>(effect,
                           "ApplyInPlace(source as RawBitmap, brightnessValue as Single, "
                           "contrastValue as Single)",
                           source, vb, vc);
              return nullptr;
            }
            return h.Call<Object>(effect,
                                  "Apply(source as RawBitmap,brightnessValue as Single, "
                                  "contrastValue as Single) as RawBitmap",
                                  source, vb, vc);
          },
          [vb, vc](const Image& s, Image, const MaskValues& m, bool) {
            const bool sixteen = s.Sixteen();
            const double factor = reference::ContrastFactor(vc);
            const int32_t level = reference::BrightnessLevel(vb, sixteen);
            return reference::PerSample(s, m, [&](uint32_t o, int64_t) {
              return reference::BrightnessContrast(o, factor, level, sixteen);
            });
          }};
}

Case InvertCase() {
  return {"invert",
          "InvertEffectRaw",
          &Any,
          &Nothing,
          NoValue(),
          [](const Image& s, Image, const MaskValues& m, bool) {
            return reference::PerSample(
                s, m, [&](uint32_t o, int64_t) { return reference::Invert(o, s.Sixteen()); });
          }};
}

// Levels of the colour filter in channel units.
void Levels(const float values[3], bool sixteen, int32_t out[3]) {
  for (int k = 0; k < 3; ++k) out[k] = reference::BrightnessLevel(values[k], sixteen);
}

bool ColourFilterAccepts(const host::FormatInfo& f, bool inPlace) {
  return !IsFourColour(f) && !(inPlace && IsGray(f));
}

Case ColorFilterCase(float r, float g, float b) {
  return {"colour filter " + std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b),
          "ColorFilterEffectRaw",
          &ColourFilterAccepts,
          &Nothing,
          [r, g, b](host::Host& h, Object effect, Object source, Object, bool inPlace) -> Object {
            if (inPlace) {
              h.Call<void>(effect,
                           "ApplyInPlace(source as RawBitmap, red as Single, green as Single, "
                           "blue as Single)",
                           source, r, g, b);
              return nullptr;
            }
            return h.Call<Object>(effect,
                                  "Apply(source as RawBitmap,red as Single, green as Single, "
                                  "blue as Single) as RawBitmap",
                                  source, r, g, b);
          },
          [r, g, b](const Image& s, Image initial, const MaskValues& m, bool) {
            const float values[3] = {r, g, b};
            int32_t levels[3];
            Levels(values, s.Sixteen(), levels);
            return reference::ColorFilter(Reads(s, std::move(initial), IsGray(*s.format)), m,
                                          levels);
          }};
}

Case TintTemperatureCase(float temperature, float tint) {
  return {"tint/temperature " + std::to_string(temperature) + " " + std::to_string(tint),
          "TintAndTemperatureEffectRaw",
          &ColourFilterAccepts,
          [temperature, tint](host::Host& h, Object effect) {
            h.SetProperty(effect, "Temperature", temperature);
            h.SetProperty(effect, "Tint", tint);
          },
          NoValue(),
          [temperature, tint](const Image& s, Image initial, const MaskValues& m, bool) {
            // The setters scale by 100/255 in single precision, product first.
            const float scaledTemperature = temperature * 100.0f;
            const float red = scaledTemperature / 255.0f;
            const float scaledTint = tint * 100.0f;
            const float values[3] = {red, scaledTint / 255.0f, -red};
            int32_t levels[3];
            Levels(values, s.Sixteen(), levels);
            return reference::ColorFilter(Reads(s, std::move(initial), IsGray(*s.format)), m,
                                          levels);
          }};
}

Case SepiaCase(float v) {
  return {"sepia " + std::to_string(v),
          "SepiaEffectRaw",
          &NotFourColour,
          &Nothing,
          OneValue(v),
          [v](const Image& s, Image initial, const MaskValues& m, bool inPlace) {
            const bool grayAsRed = !inPlace && IsGray(*s.format);
            return reference::Sepia(Reads(s, std::move(initial), grayAsRed), m,
                                    reference::SepiaLevel(v, s.Sixteen()));
          }};
}

Case GrayscaleCase(int64_t method, bool originalColourSpace) {
  return {"grayscale " + std::to_string(method) + (originalColourSpace ? " same format" : ""),
          "GrayscaleEffectRaw",
          [](const host::FormatInfo& f, bool) { return !IsGray(f); },
          [originalColourSpace](host::Host& h, Object effect) {
            h.SetProperty(effect, "UseOriginalColorSpace", originalColourSpace);
          },
          [method](host::Host& h, Object effect, Object source, Object, bool inPlace) -> Object {
            if (inPlace) {
              h.Call<void>(effect,
                           "ApplyInPlace(source as RawBitmap, grayscaleTypeValue as Integer)",
                           source, method);
              return nullptr;
            }
            return h.Call<Object>(
                effect, "Apply(source as RawBitmap,grayscaleMethod as Integer) as RawBitmap",
                source, method);
          },
          [method](const Image& s, Image initial, const MaskValues& m, bool) {
            return reference::Grayscale(s, std::move(initial), m, method);
          },
          false,
          [originalColourSpace](const host::FormatInfo& f) {
            // A new gray bitmap takes the gray sample at the source's red
            // offset: ABGR8's offset 3 is past the 2-byte gray-alpha pixel,
            // on the next pixel's alpha, which the row's last pixel thus
            // writes in the next row, racing with that row's own alpha.
            return originalColourSpace || f.format != host::kABGR8;
          }};
}

// Random lookup tables of the map effect, 16-bit entries at 16 bits.
struct MapTables {
  std::vector<uint16_t> red, green, blue;  // 65536 entries; 8-bit runs use 256 of them
  std::vector<uint8_t> red8, green8, blue8;
};
const MapTables& Tables() {
  static const MapTables tables = [] {
    MapTables t;
    Rng rng(4242);
    for (auto* table : {&t.red, &t.green, &t.blue}) {
      table->resize(65536);
      for (uint16_t& v : *table) v = static_cast<uint16_t>(rng());
    }
    t.red8.assign(256, 0);
    t.green8.assign(256, 0);
    t.blue8.assign(256, 0);
    for (size_t i = 0; i < 256; ++i) {
      t.red8[i] = static_cast<uint8_t>(t.red[i]);
      t.green8[i] = static_cast<uint8_t>(t.green[i]);
      t.blue8[i] = static_cast<uint8_t>(t.blue[i]);
      // The 8-bit reference reads the same values through 16-bit entries.
    }
    return t;
  }();
  return tables;
}

using MapFn = Object (*)(MPImageFilterData*, Object, Object, MapParams*, signed char, signed char);
using MapInPlaceFn = void (*)(MPImageFilterData*, Object, Object, MapParams*, signed char);

Case MapCase() {
  Case c{"map",
         "BrightnessEffectRaw",
         &Any,
         &Nothing,
         [](host::Host& h, Object effect, Object source, Object mask, bool inPlace) -> Object {
           auto* data = static_cast<MPImageFilterData*>(h.ClassData(effect, "MPImageFilterRaw"));
           const bool sixteen = host::BitmapRecord(h, source)->bitsPerChannel == 16;
           const MapTables& t = Tables();
           MapParams params{};
           params.redTable = sixteen ? static_cast<const void*>(t.red.data()) : t.red8.data();
           params.greenTable = sixteen ? static_cast<const void*>(t.green.data()) : t.green8.data();
           params.blueTable = sixteen ? static_cast<const void*>(t.blue.data()) : t.blue8.data();
           // Accepting the four-colour formats too, so the black channel is covered.
           const signed char depthFlags = sixteen ? 14 : 13;
           if (inPlace) {
             reinterpret_cast<MapInPlaceFn>(data->engine->GetMapEffectProc(2))(data, source, mask,
                                                                               &params, depthFlags);
             return nullptr;
           }
           return reinterpret_cast<MapFn>(data->engine->GetMapEffectProc(1))(
               data, source, mask, &params, depthFlags, 1);
         },
         [](const Image& s, Image, const MaskValues& m, bool) {
           const MapTables& t = Tables();
           std::vector<uint16_t> red = t.red, green = t.green, blue = t.blue;
           if (!s.Sixteen()) {
             for (auto* table : {&red, &green, &blue}) {
               for (uint16_t& v : *table) v = static_cast<uint8_t>(v);
             }
           }
           return reference::PerSample(s, m, [&](uint32_t o, int64_t i) {
             return reference::Map(*s.format, i, o, red.data(), green.data(), blue.data(),
                                   s.Sixteen());
           });
         }};
  c.maskAsArgument = true;
  return c;
}

// The blend effect's fill: a bitmap of `format`, as large as the source,
// whose bytes are a fixed scramble of the source's.
Image FillFor(const Image& source, const host::FormatInfo* format) {
  Image fill;
  fill.format = format;
  fill.width = source.width;
  fill.height = source.height;
  fill.bytes.resize(static_cast<size_t>(source.width * source.height * format->bytesPerPixel));
  for (size_t i = 0; i < fill.bytes.size(); ++i) {
    const uint32_t s = source.bytes[i % source.bytes.size()];
    fill.bytes[i] = static_cast<uint8_t>(s * 167u + static_cast<uint32_t>(i) * 31u + 5u);
  }
  return fill;
}

// The fill format of a blend case: the source's own, or the same channel
// structure with alpha toggled, so that every row worker is reached.
const host::FormatInfo* FillFormat(const host::FormatInfo& source, bool toggleAlpha) {
  if (!toggleAlpha) return &source;
  switch (source.format) {
    case host::kGray8:
      return host::FindFormat(host::kGrayAlpha8);
    case host::kGrayAlpha8:
      return host::FindFormat(host::kGray8);
    case host::kCMYK8:
      return host::FindFormat(host::kCMYKA8);
    case host::kCMYKA8:
      return host::FindFormat(host::kCMYK8);
    default:
      return host::FindFormat(source.alphaOffset != host::kNoChannel ? host::kRGB8 : host::kRGBA8);
  }
}

Case BlendCase(int mode, bool toggleAlpha) {
  constexpr double kOpacity = 0.6;
  Case c{
      std::string(mode == 0 ? "blend NORMAL" : "blend MULTIPLY") +
          (toggleAlpha ? " other fill" : ""),
      "BlendEffectRaw",
      [](const host::FormatInfo& f, bool inPlace) { return !inPlace && f.bitsPerChannel == 8; },
      [mode](host::Host& h, Object effect) { h.SetProperty(effect, "BlendMode", int64_t{mode}); },
      [toggleAlpha](host::Host& h, Object effect, Object source, Object mask, bool) -> Object {
        const RawBitmap& record = *host::BitmapRecord(h, source);
        Image packed{host::FindFormat(record.imageFormat), record.width, record.height,
                     host::ReadPixels(record)};
        const Image fillImage = FillFor(packed, FillFormat(*packed.format, toggleAlpha));
        Ref fill(h, host::CreateBitmap(h, record.width, record.height, fillImage.format->format));
        host::WritePixels(*host::BitmapRecord(h, fill.get()), fillImage.bytes);
        return h.Call<Object>(effect,
                              "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as "
                              "Double,fillMask as RawBitmapMask,location as PointF,size as "
                              "SizeF) as RawBitmap",
                              source, fill.get(), kOpacity, mask, Object{nullptr}, Object{nullptr});
      },
      [mode, toggleAlpha](const Image& s, Image initial, const MaskValues& m, bool) {
        Image fill = FillFor(s, FillFormat(*s.format, toggleAlpha));
        // The fill is read at the source's channel positions: with a fill of
        // fewer bytes per pixel the last pixel reads into the zeroed slack
        // after the fill's last row.
        fill.bytes.resize(fill.bytes.size() + kSlack, 0);
        return reference::Blend(s, fill, std::move(initial), m, kOpacity, mode);
      }};
  c.maskAsArgument = true;
  return c;
}

std::vector<Case> AllCases() {
  std::vector<Case> cases = {
      BrightnessCase(0.37f),
      BrightnessCase(-0.61f),
      ContrastCase(0.55f),
      ContrastCase(-0.3f),
      BrightnessContrastCase(-0.2f, 0.6f),
      BrightnessContrastCase(0.45f, -0.7f),
      InvertCase(),
      ColorFilterCase(0.3f, -0.6f, 0.9f),
      ColorFilterCase(-1.0f, 1.0f, 0.05f),
      TintTemperatureCase(0.8f, -0.35f),
      SepiaCase(0.3f),
      SepiaCase(1.0f),
      MapCase(),
  };
  for (int mode : {0, 1}) {
    cases.push_back(BlendCase(mode, false));
    cases.push_back(BlendCase(mode, true));
  }
  for (int64_t method : {0, 1, 2, 3}) {
    cases.push_back(GrayscaleCase(method, false));
    cases.push_back(GrayscaleCase(method, true));
  }
  return cases;
}

Image Packed(host::Host& h, Object bitmap) {
  const RawBitmap& record = *host::BitmapRecord(h, bitmap);
  Image image;
  image.format = host::FindFormat(record.imageFormat);
  image.width = record.width;
  image.height = record.height;
  image.bytes = host::ReadPixels(record);
  return image;
}

class FastPathTest : public PluginTest {
 protected:
  // Runs one case on every accepted format, shape, mask and thread setting.
  void Check(const Case& c) { Check(c, kShapes, kThreads, false); }
  // The same on the given shapes and threads, on 16-bit formats only when
  // sixteenOnly is set.
  template <size_t kShapeCount, size_t kThreadCount>
  void Check(const Case& c, const Shape (&shapes)[kShapeCount],
             const Threads (&threads)[kThreadCount], bool sixteenOnly) {
    threads_.assign(threads, threads + kThreadCount);
    uint64_t seed = 1;
    for (const host::FormatInfo& format : host::AllFormats()) {
      if (sixteenOnly && format.bitsPerChannel != 16) continue;
      for (const Shape& shape : shapes) {
        for (bool masked : {false, true}) {
          for (bool inPlace : {false, true}) {
            if (!c.accepts(format, inPlace)) continue;
            CheckOne(c, format, shape, masked, inPlace, ++seed);
            if (HasFatalFailure() || failures_ > 3) return;
          }
        }
      }
    }
  }

 private:
  void CheckOne(const Case& c, const host::FormatInfo& format, const Shape& shape, bool masked,
                bool inPlace, uint64_t seed) {
    host::Host& h = host();
    const bool sixteen = format.bitsPerChannel == 16;
    Ref pristine =
        RandomBitmap(h, shape.width, shape.height, format.format, shape.rowPadding, seed);
    ASSERT_TRUE(pristine) << format.name;
    const Image source = Packed(h, pristine.get());

    MaskValues maskValues;
    Ref mask;
    if (masked) {
      if (sixteen) {
        const auto values = RandomMaskValues16(shape.width, shape.height, seed + 7);
        maskValues.assign(values.begin(), values.end());
        mask = MaskWithValues(h, shape.width, shape.height, values);
      } else {
        const auto values = RandomMaskValues8(shape.width, shape.height, seed + 7);
        maskValues.assign(values.begin(), values.end());
        mask = MaskWithValues(h, shape.width, shape.height, values);
      }
      ASSERT_TRUE(mask);
    }

    std::vector<uint8_t> expected;
    for (const Threads& threads : threads_) {
      if (threads.hint > 1 && c.bandsIndependent && !c.bandsIndependent(format)) continue;
      const std::string where = c.name + " on " + format.name + " " + std::to_string(shape.width) +
                                "x" + std::to_string(shape.height) +
                                (masked ? " masked" : " plain") +
                                (inPlace ? " in place" : " new bitmap") + ", hint " +
                                std::to_string(threads.hint) + (threads.force ? " forced" : "");
      SCOPED_TRACE(where);
      Ref effect(h, h.New(c.className));
      ASSERT_TRUE(effect);
      h.SetProperty(effect.get(), "MultiprocessingHint", threads.hint);
      h.SetProperty(effect.get(), "ForceThreads", threads.force);
      if (masked && !c.maskAsArgument) h.SetProperty(effect.get(), "Mask", mask.get());
      c.configure(h, effect.get());

      Ref target =
          RandomBitmap(h, shape.width, shape.height, format.format, shape.rowPadding, seed);
      const OutsideBytes outside = Snapshot(*host::BitmapRecord(h, target.get()));
      Ref result(h, c.run(h, effect.get(), target.get(), mask.get(), inPlace));
      ASSERT_EQ(h.GetInteger(effect.get(), "ErrorCode"), 0);
      Object produced = inPlace ? target.get() : result.get();
      ASSERT_NE(produced, nullptr);
      const RawBitmap& out = *host::BitmapRecord(h, produced);
      ASSERT_EQ(out.width, shape.width);
      ASSERT_EQ(out.height, shape.height);
      if (expected.empty()) {
        // The destination before the run: the source itself, or a new
        // bitmap's zero-filled pixels in the format the effect chose.
        Image initial = source;
        if (!inPlace) {
          initial.format = host::FindFormat(out.imageFormat);
          initial.bytes.assign(static_cast<size_t>(out.width * out.height * out.bytesPerPixel), 0);
        }
        initial.bytes.resize(initial.bytes.size() + kSlack);
        Image reference = c.expected(source, std::move(initial), maskValues, inPlace);
        reference.bytes.resize(
            static_cast<size_t>(out.width * out.height * reference.format->bytesPerPixel));
        expected = std::move(reference.bytes);
      }
      const auto same = SamePixels(expected, out);
      EXPECT_TRUE(same);
      if (!same) ++failures_;
      if (inPlace) {
        EXPECT_TRUE(OutsideUnchanged(out, outside));
      } else {
        // A new-bitmap run only reads its source.
        EXPECT_TRUE(SamePixels(source.bytes, *host::BitmapRecord(h, target.get())));
        EXPECT_TRUE(OutsideUnchanged(*host::BitmapRecord(h, target.get()), outside));
      }
    }
  }

  int failures_ = 0;
  std::vector<Threads> threads_;
};

// One test per case, so a failing effect names itself.
class FastPathCaseTest : public FastPathTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(FastPathCaseTest, MatchesPlainReference) { Check(AllCases()[GetParam()]); }

// A 16-bit band takes the table path only from 65536 * 4 samples on: one
// band of an image that large, and two bands that fall back, per-channel
// effects only (the others have no table).
constexpr Shape kLargeShapes[] = {{611, 150, 2}};
constexpr Threads kLargeThreads[] = {{1, false}, {2, false}};
constexpr size_t kChannelCaseCount = 7;  // brightness to invert in AllCases

class FastPathLargeTest : public FastPathTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(FastPathLargeTest, SixteenBitTablesMatchPlainReference) {
  Check(AllCases()[GetParam()], kLargeShapes, kLargeThreads, true);
}

INSTANTIATE_TEST_SUITE_P(ChannelEffects, FastPathLargeTest,
                         ::testing::Range<size_t>(0, kChannelCaseCount));

// Sepia at 16 bits turns its tinted channels into integer offsets in bands
// of at least 65536 pixels: the one band of the large image does, the two
// bands do not.
std::vector<size_t> CasesOf(const std::string& className) {
  std::vector<size_t> indices;
  const std::vector<Case> cases = AllCases();
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].className == className) indices.push_back(i);
  }
  return indices;
}

INSTANTIATE_TEST_SUITE_P(Sepia, FastPathLargeTest, ::testing::ValuesIn(CasesOf("SepiaEffectRaw")));

// The 8-bit sepia and grayscale rows of 4-byte pixels run 8 pixels at a
// time where the processor has 256-bit vectors, then 4 at a time, then one
// by one: widths that end each row in every one of these loops.
constexpr Shape kVectorEndShapes[] = {{12, 7, 4}, {15, 9, 0}, {31, 5, 2}};
constexpr Threads kVectorEndThreads[] = {{1, false}, {2, false}};

std::vector<size_t> LuminanceCases() {
  std::vector<size_t> indices = CasesOf("SepiaEffectRaw");
  for (size_t i : CasesOf("GrayscaleEffectRaw")) indices.push_back(i);
  return indices;
}

class FastPathVectorEndsTest : public FastPathTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(FastPathVectorEndsTest, RowEndsMatchPlainReference) {
  Check(AllCases()[GetParam()], kVectorEndShapes, kVectorEndThreads, false);
}

INSTANTIATE_TEST_SUITE_P(LuminanceEffects, FastPathVectorEndsTest,
                         ::testing::ValuesIn(LuminanceCases()));

INSTANTIATE_TEST_SUITE_P(Effects, FastPathCaseTest, ::testing::Range<size_t>(0, AllCases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string name = AllCases()[info.param].name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name + "_" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace lumeno::testing

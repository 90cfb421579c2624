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

#include "support/effect_table.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Object;
using host::Ref;

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

// One case: an effect of the table (or the map procedure) with one value set.
struct Case {
  const Effect* effect;
  Values values;
  std::string Name() const {
    std::string name = effect->shortName;
    for (double v : values) name.append(" ").append(std::to_string(v));
    return name;
  }
};

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

// The engine's map procedure as another plug-in calls it, on a brightness
// effect, the mask an argument.
const Effect& MapEffect() {
  static const Effect map = [] {
    Effect e{"BrightnessEffectRaw",
             "map",
             {},
             nullptr,
             nullptr,
             false,
             true,
             {{}},
             [](const host::FormatInfo&, bool) { return true; },
             [](const Image& s, Image, const MaskValues& m, bool, const Values&) {
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
    e.run = [](host::Host& h, Object effect, Object source, Object mask, bool inPlace,
               const Values&) -> Object {
      const MapTables& t = Tables();
      MapParams tables8{}, tables16{};
      tables8.redTable = t.red8.data();
      tables8.greenTable = t.green8.data();
      tables8.blueTable = t.blue8.data();
      tables16.redTable = t.red.data();
      tables16.greenTable = t.green.data();
      tables16.blueTable = t.blue.data();
      // Accepting the four-colour formats too, so the black channel is covered.
      return BindMap(h, effect, inPlace, mask, tables8, tables16, 13)(source);
    };
    return e;
  }();
  return map;
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const Effect& e : Effects()) {
    for (const Values& values : e.samples) cases.push_back({&e, values});
  }
  cases.push_back({&MapEffect(), {}});
  return cases;
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
            if (!c.effect->accepts(format, inPlace)) continue;
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
      const Effect& e = *c.effect;
      if (threads.hint > 1 && e.bandsIndependent && !e.bandsIndependent(format, c.values)) {
        continue;
      }
      const std::string where = c.Name() + " on " + format.name + " " +
                                std::to_string(shape.width) + "x" + std::to_string(shape.height) +
                                (masked ? " masked" : " plain") +
                                (inPlace ? " in place" : " new bitmap") + ", hint " +
                                std::to_string(threads.hint) + (threads.force ? " forced" : "");
      SCOPED_TRACE(where);
      Ref effect(h, h.New(e.className));
      ASSERT_TRUE(effect);
      h.SetProperty(effect.get(), "MultiprocessingHint", threads.hint);
      h.SetProperty(effect.get(), "ForceThreads", threads.force);
      if (masked && !e.run) h.SetProperty(effect.get(), "Mask", mask.get());

      Ref target =
          RandomBitmap(h, shape.width, shape.height, format.format, shape.rowPadding, seed);
      const OutsideBytes outside = Snapshot(*host::BitmapRecord(h, target.get()));
      Ref result(
          h, e.run ? e.run(h, effect.get(), target.get(), mask.get(), inPlace, c.values)
                   : RunForm(h, e, PlainForm(e, inPlace), effect.get(), target.get(), c.values));
      ASSERT_EQ(h.GetInteger(effect.get(), "ErrorCode"), 0);
      Object produced = inPlace ? target.get() : result.get();
      ASSERT_NE(produced, nullptr);
      const RawBitmap& out = *host::BitmapRecord(h, produced);
      ASSERT_EQ(out.width, shape.width);
      ASSERT_EQ(out.height, shape.height);
      if (expected.empty()) {
        expected = ExpectedPixels(e, source, out, maskValues, inPlace, c.values);
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

// The cases of these classes, in table order.
std::vector<size_t> CasesOf(const std::vector<std::string>& classNames) {
  std::vector<size_t> indices;
  const std::vector<Case> cases = AllCases();
  for (size_t i = 0; i < cases.size(); ++i) {
    for (const std::string& name : classNames) {
      if (cases[i].effect->className == name && !cases[i].effect->run) indices.push_back(i);
    }
  }
  return indices;
}

// A 16-bit band takes the table path only from 65536 * 4 samples on: one
// band of an image that large, and two bands that fall back, per-channel
// effects only (the others have no table).
constexpr Shape kLargeShapes[] = {{611, 150, 2}};
constexpr Threads kLargeThreads[] = {{1, false}, {2, false}};

class FastPathLargeTest : public FastPathTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(FastPathLargeTest, SixteenBitTablesMatchPlainReference) {
  Check(AllCases()[GetParam()], kLargeShapes, kLargeThreads, true);
}

INSTANTIATE_TEST_SUITE_P(ChannelEffects, FastPathLargeTest,
                         ::testing::ValuesIn(CasesOf({"BrightnessEffectRaw", "ContrastEffectRaw",
                                                      "BrightnessContrastEffectRaw",
                                                      "InvertEffectRaw"})));

// The 16-bit stretch of the contrast effects in vector lanes at its edges:
// the widest stretch, the brightest and darkest levels on top of it.
TEST_F(FastPathTest, SixteenBitStretchEdgesMatchPlainReference) {
  const std::pair<const char*, Values> edges[] = {{"ContrastEffectRaw", {1.0}},
                                                  {"BrightnessContrastEffectRaw", {1.0, 1.0}},
                                                  {"BrightnessContrastEffectRaw", {-1.0, 1.0}}};
  for (const auto& [className, values] : edges) {
    Check({&EffectNamed(className), values}, kLargeShapes, kLargeThreads, true);
  }
}

// Sepia at 16 bits turns its tinted channels into integer offsets in bands
// of at least 65536 pixels: the one band of the large image does, the two
// bands do not.
INSTANTIATE_TEST_SUITE_P(Sepia, FastPathLargeTest,
                         ::testing::ValuesIn(CasesOf({"SepiaEffectRaw"})));

// The 8-bit sepia and grayscale rows of 4-byte pixels run 8 pixels at a
// time where the processor has 256-bit vectors, then 4 at a time, then one
// by one: widths that end each row in every one of these loops.
constexpr Shape kVectorEndShapes[] = {{12, 7, 4}, {15, 9, 0}, {31, 5, 2}};
constexpr Threads kVectorEndThreads[] = {{1, false}, {2, false}};

std::vector<size_t> LuminanceCases() { return CasesOf({"SepiaEffectRaw", "GrayscaleEffectRaw"}); }

class FastPathVectorEndsTest : public FastPathTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(FastPathVectorEndsTest, RowEndsMatchPlainReference) {
  Check(AllCases()[GetParam()], kVectorEndShapes, kVectorEndThreads, false);
}

INSTANTIATE_TEST_SUITE_P(LuminanceEffects, FastPathVectorEndsTest,
                         ::testing::ValuesIn(LuminanceCases()));

INSTANTIATE_TEST_SUITE_P(Effects, FastPathCaseTest, ::testing::Range<size_t>(0, AllCases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string name = AllCases()[info.param].Name();
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name + "_" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace lumeno::testing

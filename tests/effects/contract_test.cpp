// What every effect class promises a script besides its pixels: which
// forms refuse which sources and values with which code (and that a refusal
// changes nothing, leaks nothing and calls no completion), the stored values
// the parameterless forms use, the Mask property's reference, the code 3 of
// a failed destination, and the class records' sizes and flags.
#include <cfloat>
#include <cmath>
#include <limits>
#include <tuple>

#include "support/effect_fixture.h"

namespace lumeno::testing {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();

enum FormBits : unsigned {
  A = 1u << static_cast<int>(Form::kApply),
  S = 1u << static_cast<int>(Form::kApplyStored),
  I = 1u << static_cast<int>(Form::kApplyInPlace),
  J = 1u << static_cast<int>(Form::kApplyInPlaceStored),
  X = 1u << static_cast<int>(Form::kAsync),
  Y = 1u << static_cast<int>(Form::kInPlaceAsync),
  kSync = A | S | I | J,
  kAll = kSync | X | Y,
};

// The source of a run: none, or a small bitmap of a format, its depth field
// optionally overwritten.
struct Source {
  int64_t format;  // -1: no source
  int depth = -1;  // -1: the format's own
};
constexpr Source kNone{-1};
constexpr Source kRGB8{host::kRGB8};
const std::vector<Source> kFourColour = {
    {host::kCMYK8}, {host::kCMYKA8}, {host::kCMYK16}, {host::kCMYKA16}};
const std::vector<Source> kOddDepths = {
    {host::kRGB8, 0}, {host::kRGBA8, 1}, {host::kRGBA8, 4}, {host::kRGB8, 12}, {host::kRGBA16, 32}};
const std::vector<Source> kGray = {
    {host::kGray8}, {host::kGrayAlpha8}, {host::kGray16}, {host::kGrayAlpha16}};

struct Contract {
  const char* className;
  unsigned forms;  // forms the class lacks are passed over
  Values values;   // arguments, or the stored values of the other forms
  std::vector<Source> sources;
  int64_t code;
};

std::vector<Contract> Contracts() {
  std::vector<Contract> list = {
      {kTT, kAll, {3, -7}, {kRGB8}, 0},  // the setters limit the values
      {kGr, kAll, {7, 0}, {kRGB8}, 0},   // any method is one of the four
      {kGr, kSync, {-1, 1}, {kRGB8}, 0},
  };
  for (const Effect& e : Effects()) {
    if (e.run) continue;
    const std::string name = e.className;
    const bool fourColour = e.accepts(*host::FindFormat(host::kCMYK8), false);
    list.push_back({e.className, kAll, e.samples[0], {kNone}, 4});
    list.push_back({e.className, kAll, e.samples[0], kFourColour, fourColour ? 0 : 5});
    list.push_back({e.className, kAll, e.samples[0], kOddDepths, 6});
    // Gray sources: the colour filters run only into a new bitmap.
    if (name != kGr) {
      const bool grayInPlace = e.accepts(*host::FindFormat(host::kGray8), true);
      list.push_back({e.className, I | J | Y, e.samples[0], kGray, grayInPlace ? 0 : 4});
      list.push_back({e.className, A | S | X, e.samples[0], kGray, 0});
    }
    // Each Single at its limits, NaN (level 0), just past the limits and far
    // beyond them (where a conversion to an integer overflows).
    for (size_t i = 0; i < e.values.size(); ++i) {
      const EffectValue& v = e.values[i];
      const auto row = [&](double x, unsigned forms, int64_t code) {
        Values values(e.values.size(), 0.0);
        values[i] = x;
        list.push_back({e.className, forms, values, {kRGB8, {host::kRGBA16}}, code});
      };
      if (v.type != 'f') continue;
      row(v.low, kAll, 0);
      row(v.high, kAll, 0);
      row(kNaN, kSync, 0);
      const float high = static_cast<float>(v.high), low = static_cast<float>(v.low);
      for (float x : {std::nextafter(high, 2.0f), std::nextafter(low, -2.0f), kInfF, -kInfF,
                      FLT_MAX, 1e30f, -3e9f}) {
        row(x, v.checkedAsync ? kAll : kSync, v.clamped ? 0 : 4);
        if (!v.checkedAsync) row(x, X | Y, 0);
      }
    }
  }
  // Without a source the stored values are judged after the source.
  list.push_back({kBC, kSync, {0.5, -0.5}, {kNone}, 4});
  return list;
}

class ContractTest : public EffectTest, public ::testing::WithParamInterface<Contract> {};

TEST_P(ContractTest, CodeOfEveryForm) {
  const Contract& c = GetParam();
  const Effect& e = EffectNamed(c.className);
  for (const Source& from : c.sources) {
    for (Form form : kAllForms) {
      if (!(c.forms & (1u << static_cast<int>(form))) || !Declaration(e, form)) continue;
      SCOPED_TRACE(::testing::Message() << "form " << static_cast<int>(form) << " format "
                                        << from.format << " depth " << from.depth);
      Ref effect = NewEffect(c.className);
      Ref target = Target();
      Ref source;
      if (from.format >= 0) {
        source = RandomBitmap(host(), 3, 2, from.format, 0, 5);
        if (from.depth >= 0) Rec(source.get()).bitsPerChannel = static_cast<uint8_t>(from.depth);
      }
      const std::vector<uint8_t> before =
          source ? host::ReadPixels(Rec(source.get())) : std::vector<uint8_t>{};
      const size_t live = host().LiveObjects();
      Ref result(host(), RunForm(host(), e, form, effect.get(), source.get(), c.values,
                                 target.get(), CompletionMethod()));
      EXPECT_EQ(Error(effect), c.code);
      if (c.code == 0) {
        if (Async(form)) {
          ASSERT_TRUE(WaitForCompletion(target));
          EXPECT_EQ(Completions(target), 1);
          result = Ref(host(), host().GetObject(effect.get(), "AsyncResult"));
        } else {
          EXPECT_EQ(static_cast<bool>(result), !InPlace(form));
          if (InPlace(form)) {
            host().Lock(source.get());
            result = Ref(host(), source.get());
          }
        }
        // The reference's pixels, where the setters keep the values as given.
        bool asGiven = true;
        for (size_t i = 0; i < e.values.size(); ++i) {
          const EffectValue& v = e.values[i];
          asGiven = asGiven && !(v.clamped && (c.values[i] < v.low || c.values[i] > v.high));
        }
        if (asGiven && result) {
          const Image in{host::FindFormat(Rec(source.get()).imageFormat), 3, 2, before};
          const RawBitmap& out = Rec(result.get());
          EXPECT_TRUE(SamePixels(ExpectedPixels(e, in, out, {}, InPlace(form), c.values), out));
        }
        continue;
      }
      EXPECT_FALSE(result);
      EXPECT_EQ(host().LiveObjects(), live) << "a refused run left an object";
      EXPECT_TRUE(Flag(effect, "AsyncCompleted"));
      EXPECT_FALSE(Ref(host(), host().GetObject(effect.get(), "AsyncResult")));
      host().PumpTasks();
      EXPECT_EQ(Completions(target), 0);
      if (!source) continue;
      if (from.depth >= 0) {
        Rec(source.get()).bitsPerChannel =
            static_cast<uint8_t>(host::FindFormat(from.format)->bitsPerChannel);
      }
      EXPECT_EQ(host::ReadPixels(Rec(source.get())), before) << "a refused run wrote";
      // A good run afterwards clears the code (grayscale keeps it).
      Ref good = RandomBitmap(host(), 2, 2, host::kRGB8, 0, 6);
      Ref out(host(),
              RunForm(host(), e, Form::kApplyStored, effect.get(), good.get(), e.samples[0]));
      EXPECT_TRUE(out);
      EXPECT_EQ(Error(effect), e.successKeepsErrorCode ? c.code : 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Effects, ContractTest, ::testing::ValuesIn(Contracts()));

// Each value a property of its own: its value on a new effect (0, sepia
// 0.3), and what a setter keeps of what it is given (any value is kept for
// the run to judge, the tint and temperature are limited).
TEST_F(EffectTest, StoredValuesAsSetAndRead) {
  for (const Effect& e : Effects()) {
    for (const EffectValue& v : e.values) {
      if (!v.property || e.run) continue;
      const host::Value initial = ToValue(v, e.className == std::string(kSe) ? 0.3 : 0);
      EXPECT_EQ(host().GetProperty(NewEffect(e.className).get(), v.property), initial)
          << v.property;
    }
  }
  const std::tuple<const char*, const char*, float, float> set[] = {
      {kB, "BrightnessValue", 5, 5}, {kC, "ContrastValue", 5, 5},   {kSe, "SepiaValue", -2, -2},
      {kCF, "Blue", 3, 3},           {kTT, "Temperature", 3, 1},    {kTT, "Temperature", -3, -1},
      {kTT, "Tint", 7, 1},           {kTT, "Tint", -0.25f, -0.25f},
  };
  for (const auto& [className, property, given, kept] : set) {
    Ref effect = NewEffect(className);
    ASSERT_TRUE(host().SetProperty(effect.get(), property, given));
    EXPECT_EQ(host().GetProperty(effect.get(), property), host::Value(kept)) << property;
  }
}

TEST_F(EffectTest, MaskPropertyHoldsOneReference) {
  for (const Effect& e : Effects()) {
    if (e.run) continue;  // the blend's mask is FillMask
    SCOPED_TRACE(e.className);
    Ref effect = NewEffect(e.className);
    Ref mask = Mask(2, {0, 255}, false);
    const int64_t refs = host().RefCount(mask.get());
    ASSERT_TRUE(host().SetProperty(effect.get(), "Mask", mask.get()));
    EXPECT_EQ(host().RefCount(mask.get()), refs + 1);
    EXPECT_EQ(Ref(host(), host().GetObject(effect.get(), "Mask")).get(), mask.get());
    ASSERT_TRUE(host().SetProperty(effect.get(), "Mask", Object{nullptr}));
    EXPECT_EQ(host().RefCount(mask.get()), refs);
    ASSERT_TRUE(host().SetProperty(effect.get(), "Mask", mask.get()));  // dropped by the destructor
  }
}

// Record sizes the plug-in's instances reserve, and the flags every member
// of an effect's record carries (the class's own flags and version are
// checked at start-up, tests/shell).
TEST_F(EffectTest, ClassRecordsSizesAndFlags) {
  const std::pair<const char*, int64_t> sizes[] = {{kC, 16}, {kBC, 16}, {kGr, 24}, {kSe, 16},
                                                   {kIn, 8}, {kCF, 32}, {kTT, 32}};
  for (const auto& [name, size] : sizes) {
    EXPECT_EQ(host().FindClass(name)->definition->dataSize, size) << name;
  }
  for (const Effect& e : Effects()) {
    SCOPED_TRACE(e.className);
    const ZARKclassDefinition& d = *host().FindClass(e.className)->definition;
    EXPECT_STREQ(d.superName, "MPImageFilterRaw");
    EXPECT_NE(d.constructor, nullptr);
    EXPECT_NE(d.destructor, nullptr);
    for (int64_t i = 0; i < d.propertyCount; ++i) EXPECT_EQ(d.properties[i].flags, 4);
    for (int64_t i = 0; i < d.methodCount; ++i) {
      EXPECT_EQ(d.methods[i].flags, 4);
      EXPECT_NE(d.methods[i].function, nullptr);
    }
  }
}

// A host whose bitmap instances cannot be created: every effect reports
// code 3 and leaves nothing behind.
class NoBitmapsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string error;
    ASSERT_TRUE(host().LoadPlugin(LUMENO_PLUGIN_PATH, &error, true)) << error;
  }
};

TEST_F(NoBitmapsTest, DestinationFailureReportsCode3) {
  for (const Effect& e : Effects()) {
    if (e.run) continue;
    SCOPED_TRACE(e.className);
    Ref effect(host(), host().New(e.className));
    Ref source(host(), host::CreateBitmap(host(), 4, 4, host::kRGB8));
    Ref target = NewCompletionTarget(host());
    host().HideEntry("CreateInstance");
    const size_t live = host().LiveObjects();
    EXPECT_FALSE(Ref(
        host(), RunForm(host(), e, Form::kApplyStored, effect.get(), source.get(), e.samples[0])));
    EXPECT_EQ(host().GetInteger(effect.get(), "ErrorCode"), 3);
    RunForm(host(), e, Form::kAsync, effect.get(), source.get(), e.samples[0], target.get(),
            CompletionMethod());
    EXPECT_EQ(host().GetInteger(effect.get(), "ErrorCode"), 3);
    EXPECT_TRUE(host().GetBoolean(effect.get(), "AsyncCompleted"));
    EXPECT_EQ(host().LiveObjects(), live);
    host().ShowEntry("CreateInstance");
    host().PumpTasks();
    EXPECT_EQ(CompletionOf(target.get()).count, 0);
  }
}

}  // namespace
}  // namespace lumeno::testing

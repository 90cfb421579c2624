// Method lookup by declaration and calls with typed or run-time arguments.
#include <string>
#include <vector>

#include "records.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Host;
using host::MethodDecl;
using host::Value;

int64_t BaseName(Object) { return 1; }
int64_t LeafName(Object) { return 2; }
int64_t Add(Object, int64_t a, int64_t b) { return a + b; }

// Records what it received; returns a value computed from all arguments.
struct MixArgs {
  Object self;
  int64_t i;
  float f;
  double d;
  bool flag;
  Object other;
  bool* cancel;
};
MixArgs gMix;
double Mix(Object self, int64_t i, float f, double d, bool flag, Object other, bool* cancel) {
  gMix = {self, i, f, d, flag, other, cancel};
  if (cancel != nullptr) *cancel = true;
  return d * 2.0 + static_cast<double>(f) + static_cast<double>(i) + (flag ? 1000.0 : 0.0);
}
float Half(Object, float x) { return x * 0.5f; }
bool IsPositive(Object, int64_t x) { return x > 0; }
Object Self(Object self) { return self; }
uint64_t Bytes(Object, uint8_t a, uint64_t b) { return b + a; }
int64_t gMode = -1;
void SetMode(Object, int64_t mode) { gMode = mode; }
uint8_t Low(Object, int64_t x) { return static_cast<uint8_t>(x & 0xFF); }

const char* const kModeFields[] = {"OFF = 0", "ON = 1"};

ZARKclassDefinition* BaseClass() {
  static ZARKmethodDefinition methods[] = {
      MethodRecord(&BaseName, "Name() as Integer"),
      MethodRecord(&Add, "Add(a as Integer, b as Integer) as Integer"),
  };
  static ZARKclassDefinition c = [] {
    auto r = ClassRecord("CallBase", nullptr, 8);
    r.methods = methods;
    r.methodCount = 2;
    return r;
  }();
  return &c;
}

ZARKclassDefinition* LeafClass() {
  static ZARKenumDefinition enums[] = {{"Modes", "Integer", 32, kModeFields, 2, {}}};
  static ZARKmethodDefinition methods[] = {
      MethodRecord(&LeafName, "Name() as Integer"),
      MethodRecord(&Mix,
                   "Mix(i as Integer, f as Single,d as Double, flag as Boolean, other as CallBase, "
                   "ByRef cancel as Boolean) as Double"),
      MethodRecord(&Half, "Half(x as Single) as Single"),
      MethodRecord(&IsPositive, "IsPositive(x as Integer) as Boolean"),
      MethodRecord(&Self, "Self() as CallLeaf"),
      MethodRecord(&Bytes, "Bytes(a as UInt8, b as UInt64) as UInt64"),
      MethodRecord(&SetMode, "SetMode(mode as CallLeaf.Modes)"),
      MethodRecord(&Low, "Low(x as Integer) as UInt8"),
  };
  static ZARKclassDefinition c = [] {
    auto r = ClassRecord("CallLeaf", "CallBase", 8);
    r.methods = methods;
    r.methodCount = std::size(methods);
    r.enums = enums;
    r.enumCount = 1;
    return r;
  }();
  return &c;
}

class MethodsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    host().RegisterClass(BaseClass());
    host().RegisterClass(LeafClass());
    base_ = host::Ref(host(), host().New("CallBase"));
    leaf_ = host::Ref(host(), host().New("CallLeaf"));
  }
  void TearDown() override {
    base_.Reset();
    leaf_.Reset();
    HostTest::TearDown();
  }
  host::Ref base_, leaf_;
};

TEST_F(MethodsTest, LookupByExactDeclarationThroughTheChain) {
  auto load = Entry<void*(Object, const char*)>("ZARKLoadObjectMethod");
  struct Case {
    Object* object;
    const char* declaration;
    void* expected;
  };
  Object base = base_.get(), leaf = leaf_.get();
  const Case cases[] = {
      {&base, "Name() as Integer", reinterpret_cast<void*>(&BaseName)},
      {&leaf, "Name() as Integer", reinterpret_cast<void*>(&LeafName)},  // subclass first
      {&leaf, "Add(a as Integer, b as Integer) as Integer", reinterpret_cast<void*>(&Add)},
      {&base, "Half(x as Single) as Single", nullptr},                // only the subclass has it
      {&leaf, "Add(a as Integer,b as Integer) as Integer", nullptr},  // spacing differs
      {&leaf, "name() as Integer", nullptr},
      {&leaf, "Name()", nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host().FindMethod(*c.object, c.declaration), c.expected) << c.declaration;
    EXPECT_EQ(load(*c.object, c.declaration), c.expected) << c.declaration;
  }
  EXPECT_EQ(load(nullptr, "Name() as Integer"), nullptr);
}

TEST_F(MethodsTest, TypedCallsGoStraightToTheEntry) {
  EXPECT_EQ((host().Call<int64_t>(leaf_.get(), "Add(a as Integer, b as Integer) as Integer",
                                  int64_t{40}, int64_t{2})),
            42);
  EXPECT_THROW(host().Call<int64_t>(base_.get(), "Missing()"), std::exception);
}

TEST_F(MethodsTest, DynamicCallsConvertMixedArguments) {
  bool cancel = false;
  Value result = host().CallDynamic(
      leaf_.get(),
      "Mix(i as Integer, f as Single,d as Double, flag as Boolean, other as CallBase, "
      "ByRef cancel as Boolean) as Double",
      {int64_t{-5}, 0.25f, 1.5, true, base_.get(), static_cast<void*>(&cancel)});
  EXPECT_EQ(gMix.self, leaf_.get());
  EXPECT_EQ(gMix.i, -5);
  EXPECT_EQ(gMix.f, 0.25f);
  EXPECT_EQ(gMix.d, 1.5);
  EXPECT_TRUE(gMix.flag);
  EXPECT_EQ(gMix.other, base_.get());
  EXPECT_EQ(gMix.cancel, &cancel);
  EXPECT_TRUE(cancel);
  EXPECT_EQ(std::get<double>(result), 3.0 + 0.25 - 5.0 + 1000.0);

  // Arguments of another numeric type convert; false is passed as zero.
  result = host().CallDynamic(
      leaf_.get(),
      "Mix(i as Integer, f as Single,d as Double, flag as Boolean, other as CallBase, "
      "ByRef cancel as Boolean) as Double",
      {3.0, int64_t{2}, 0.5f, false, Value{}, false});
  EXPECT_EQ(gMix.i, 3);
  EXPECT_EQ(gMix.f, 2.0f);
  EXPECT_EQ(gMix.d, 0.5);
  EXPECT_FALSE(gMix.flag);
  EXPECT_EQ(gMix.other, nullptr);
  EXPECT_NE(gMix.cancel, nullptr);
  EXPECT_EQ(std::get<double>(result), 1.0 + 2.0 + 3.0);
}

TEST_F(MethodsTest, DynamicCallsReturnEachType) {
  Object leaf = leaf_.get();
  EXPECT_EQ(host().CallDynamic(leaf, "Half(x as Single) as Single", {3.0f}), Value{1.5f});
  EXPECT_EQ(host().CallDynamic(leaf, "IsPositive(x as Integer) as Boolean", {int64_t{3}}),
            Value{true});
  EXPECT_EQ(host().CallDynamic(leaf, "IsPositive(x as Integer) as Boolean", {int64_t{-3}}),
            Value{false});
  EXPECT_EQ(host().CallDynamic(leaf, "Self() as CallLeaf", {}), Value{leaf});
  EXPECT_EQ(host().CallDynamic(leaf, "Bytes(a as UInt8, b as UInt64) as UInt64",
                               {uint8_t{255}, uint64_t{0xFFFFFFFFFFFFFF00ull}}),
            Value{uint64_t{0xFFFFFFFFFFFFFFFFull}});
  EXPECT_EQ(host().CallDynamic(leaf, "Low(x as Integer) as UInt8", {int64_t{0x1234}}),
            Value{uint8_t{0x34}});
  EXPECT_EQ(host().CallDynamic(leaf, "Add(a as Integer, b as Integer) as Integer",
                               {int64_t{1} << 40, int64_t{-1}}),
            Value{(int64_t{1} << 40) - 1});
  gMode = -1;
  EXPECT_EQ(host().CallDynamic(leaf, "SetMode(mode as CallLeaf.Modes)", {int64_t{1}}), Value{});
  EXPECT_EQ(gMode, 1) << "an enumeration travels as an Integer";
}

TEST_F(MethodsTest, DynamicCallsRefuseWhatCannotBeCalled) {
  EXPECT_THROW(host().CallDynamic(leaf_.get(), "Missing()", {}), std::runtime_error);
  EXPECT_THROW(host().CallDynamic(leaf_.get(), "Half(x as Single) as Single", {}),
               std::invalid_argument);
  EXPECT_THROW(host().CallDynamic(leaf_.get(), "Half(x as Single) as Single", {base_.get()}),
               std::invalid_argument);
}

TEST(ParseDeclaration, SplitsNamesParametersAndResult) {
  struct Case {
    const char* text;
    bool ok;
    const char* name;
    std::vector<host::ParamDecl> params;
    const char* result;
  };
  const Case cases[] = {
      {"Apply(source as RawBitmap,value as Single) as RawBitmap",
       true,
       "Apply",
       {{"source", "RawBitmap", false}, {"value", "Single", false}},
       "RawBitmap"},
      {"OnProgress(value as UInt64,total as UInt64,extraInfo as UInt64,ByRef cancel as Boolean)",
       true,
       "OnProgress",
       {{"value", "UInt64", false},
        {"total", "UInt64", false},
        {"extraInfo", "UInt64", false},
        {"cancel", "Boolean", true}},
       ""},
      {"Constructor(srcBlock as MemoryBlock, width as Integer,height as Integer,rowBytes as "
       "Integer,imageFormat as RawBitmap.RawBitmapFormat)",
       true,
       "Constructor",
       {{"srcBlock", "MemoryBlock", false},
        {"width", "Integer", false},
        {"height", "Integer", false},
        {"rowBytes", "Integer", false},
        {"imageFormat", "RawBitmap.RawBitmapFormat", false}},
       ""},
      {"Cancel()", true, "Cancel", {}, ""},
      {"Count() As Integer", true, "Count", {}, "Integer"},
      {"Cancel", false, "", {}, ""},
      {"Apply(source RawBitmap)", false, "", {}, ""},
      {"Apply(a as Integer,)", false, "", {}, ""},
      {"Apply() RawBitmap", false, "", {}, ""},
  };
  for (const Case& c : cases) {
    MethodDecl decl;
    ASSERT_EQ(host::ParseDeclaration(c.text, &decl), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(decl.name, c.name);
    ASSERT_EQ(decl.params.size(), c.params.size()) << c.text;
    for (size_t i = 0; i < c.params.size(); ++i) {
      EXPECT_EQ(decl.params[i].name, c.params[i].name) << c.text;
      EXPECT_EQ(decl.params[i].type, c.params[i].type) << c.text;
      EXPECT_EQ(decl.params[i].byRef, c.params[i].byRef) << c.text;
    }
    EXPECT_EQ(decl.result, c.result) << c.text;
  }
}

}  // namespace
}  // namespace lumeno::testing

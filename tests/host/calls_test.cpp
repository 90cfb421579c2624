// Refused declarations, method lookup by exact declaration through the
// chain, and calls with run-time arguments of every kind libffi passes.
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_test.h"

namespace lumeno::testing {
namespace {

int64_t BaseName(Object) { return 1; }
int64_t LeafName(Object) { return 2; }
int64_t Add(Object, int64_t a, int64_t b) { return a + b; }
// Integer and floating arguments alternate, so each lands in its own
// register class; the result tells what arrived.
double Mix(Object self, int64_t i, float f, double d, bool flag, Object other, bool* cancel) {
  *cancel = true;
  return static_cast<double>(i) + f + d * 2.0 + (flag ? 1000.0 : 0.0) + (other == self ? 0.5 : 0.0);
}
constexpr const char* kMix =
    "Mix(i as Integer, f as Single,d as Double, flag as Boolean, other as CallBase, "
    "ByRef cancel as Boolean) as Double";
float Half(Object, float x) { return x * 0.5f; }
bool IsPositive(Object, int64_t x) { return x > 0; }
Object Self(Object self) { return self; }
uint64_t Bytes(Object, uint8_t a, uint64_t b) { return b + a; }
uint8_t Low(Object, int64_t x) { return static_cast<uint8_t>(x & 0xFF); }
void* Bump(Object, int64_t* n) { return ++*n, n; }

const char* const kModeFields[] = {"OFF = 0", "ON = 1"};
const ZARKenumDefinition kEnums[] = {{"Modes", "Integer", 32, kModeFields, 2, {}}};

ZARKclassDefinition* BaseClass() {
  static const ZARKmethodDefinition methods[] = {
      records::Method(&BaseName, "Name() as Integer"),
      records::Method(&Add, "Add(a as Integer, b as Integer) as Integer")};
  static auto c = records::WithMembers(records::Class("CallBase", nullptr, 8), methods, kEnums);
  return &c;
}

ZARKclassDefinition* LeafClass() {
  using records::Method;
  static const ZARKmethodDefinition methods[] = {
      Method(&LeafName, "Name() as Integer"),
      Method(&Mix, kMix),
      Method(&Half, "Half(x as Single) as Single"),
      Method(&IsPositive, "IsPositive(x as Integer) as Boolean"),
      Method(&Self, "Self() as CallLeaf"),
      Method(&Bytes, "Bytes(a as UInt8, b as UInt64) as UInt64"),
      Method(&Low, "Low(x as Integer) as UInt8"),
      Method(&Add, "Mode(a as Integer, m as CallBase.Modes) as Integer"),
      Method(&Add, "AddMode(a as Integer, m as Modes) as Integer"),
      Method(&Bump, "Bump(ByRef n as Integer) as Ptr"),
  };
  static auto c = records::WithMembers(records::Class("CallLeaf", "CallBase", 8), methods, kEnums);
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

TEST_F(MethodsTest, DynamicCallsPassAndReturnEachKind) {
  Object leaf = leaf_.get();
  int64_t counter = 41;
  bool cancel = false;
  struct Case {
    const char* declaration;
    std::vector<Value> args;
    Value result;
  };
  const Case cases[] = {
      {kMix, {int64_t{-5}, 0.25f, 1.5, true, leaf, static_cast<void*>(&cancel)}, 998.75},
      // Other numeric types convert; a plain bool for ByRef goes through a copy.
      {kMix, {3.0, int64_t{2}, 0.5f, false, Value{}, false}, 6.0},
      {"Name() as Integer", {}, int64_t{2}},  // the subclass's method comes first
      {"Add(a as Integer, b as Integer) as Integer",
       {int64_t{1} << 40, int64_t{-1}},
       (int64_t{1} << 40) - 1},
      {"Half(x as Single) as Single", {3.0f}, 1.5f},
      {"IsPositive(x as Integer) as Boolean", {int64_t{3}}, true},
      {"IsPositive(x as Integer) as Boolean", {int64_t{-3}}, false},
      {"Self() as CallLeaf", {}, leaf},
      {"Bytes(a as UInt8, b as UInt64) as UInt64",
       {uint8_t{255}, uint64_t{0xFFFFFFFFFFFFFF00ull}},
       uint64_t{0xFFFFFFFFFFFFFFFFull}},
      {"Low(x as Integer) as UInt8", {int64_t{0x1234}}, uint8_t{0x34}},
      // Enumerations, of a named class or of the method's own, travel as Integer.
      {"Mode(a as Integer, m as CallBase.Modes) as Integer", {int64_t{1}, int64_t{1}}, int64_t{2}},
      {"AddMode(a as Integer, m as Modes) as Integer", {int64_t{1}, int64_t{2}}, int64_t{3}},
      {"Bump(ByRef n as Integer) as Ptr",
       {static_cast<void*>(&counter)},
       static_cast<void*>(&counter)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host().CallDynamic(leaf, c.declaration, c.args), c.result) << c.declaration;
  }
  EXPECT_TRUE(cancel);
  EXPECT_EQ(counter, 42);
}

// Lookup by the exact declaration through the chain; arguments that do not
// fit the declaration are refused.
TEST_F(MethodsTest, DynamicCallsRefuseWhatCannotBeCalled) {
  auto load = Entry<void*(Object, const char*)>("ZARKLoadObjectMethod");
  Object leaf = leaf_.get();
  EXPECT_NE(load(leaf, "Add(a as Integer, b as Integer) as Integer"), nullptr) << "inherited";
  for (const char* declaration : {"Add(a as Integer,b as Integer) as Integer", "Name()"}) {
    EXPECT_EQ(load(leaf, declaration), nullptr) << declaration;
    EXPECT_THROW(host().CallDynamic(leaf, declaration, {}), std::runtime_error);
  }
  EXPECT_EQ(load(base_.get(), "Half(x as Single) as Single"), nullptr) << "only the subclass";
  EXPECT_EQ(load(nullptr, "Name() as Integer"), nullptr);
  const double infinity = std::numeric_limits<double>::infinity();
  EXPECT_THROW(host().CallDynamic(leaf, "Half(x as Single) as Single", {}), std::invalid_argument);
  EXPECT_THROW(host().CallDynamic(leaf, "Half(x as Single) as Single", {Value{}}),
               std::invalid_argument);
  EXPECT_THROW(host().CallDynamic(leaf, "Low(x as Integer) as UInt8", {infinity}),
               std::invalid_argument);
  try {
    host().CallDynamic(leaf, "Bytes(a as UInt8, b as UInt64) as UInt64",
                       {int64_t{256}, uint64_t{0}});
    ADD_FAILURE() << "256 passed as a UInt8";
  } catch (const std::invalid_argument& e) {  // the message names the argument
    EXPECT_NE(std::string(e.what()).find("argument 1 of"), std::string::npos) << e.what();
  }
}

// Well-formed declarations are parsed by every plug-in test; malformed
// ones are refused.
TEST(ParseDeclaration, RefusesMalformedDeclarations) {
  host::MethodDecl decl;
  for (const char* text :
       {"Cancel", "(a as Integer)", "Run)(", "Apply(source RawBitmap)", "Apply(as Integer)",
        "Apply(a as )", "Apply(a as Integer,)", "Apply(a as Integer,,b as Integer)",
        "Apply() RawBitmap", "Apply() as"}) {
    EXPECT_FALSE(host::ParseDeclaration(text, &decl)) << text;
  }
}

}  // namespace
}  // namespace lumeno::testing

// Properties: standard accessors of every field type, object holds, custom
// accessors, read-only properties, and "ZARKGetPropValueSingle".
#include <cstring>
#include <limits>
#include <string>

#include "records.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Host;
using host::Value;

// Field layout of the test class's own data (standard accessors).
constexpr intptr_t kIntAt = 0, kSingleAt = 8, kDoubleAt = 16, kBoolAt = 24, kObjectAt = 32,
                   kEnumAt = 40, kByteAt = 48, kWordAt = 56;

// Custom accessors keep their values in plain globals and remember the
// parameter they were called with.
float gCustomSingle = 0.0f;
double gCustomDouble = 0.0;
intptr_t gLastParameter = 0;
float GetSingleCustom(Object, intptr_t parameter) {
  gLastParameter = parameter;
  return gCustomSingle;
}
void SetSingleCustom(Object, intptr_t parameter, float value) {
  gLastParameter = parameter;
  gCustomSingle = value;
}
double GetDoubleCustom(Object, intptr_t parameter) {
  gLastParameter = parameter;
  return gCustomDouble;
}
void SetDoubleCustom(Object, intptr_t parameter, double value) {
  gLastParameter = parameter;
  gCustomDouble = value;
}
int64_t GetConstant(Object, intptr_t) { return 42; }

void FieldsDtor(Object self) {
  Object held;
  std::memcpy(&held, static_cast<uint8_t*>(Host::Current()->ClassData(self, "Fields")) + kObjectAt,
              sizeof held);
  Host::Current()->Unlock(held);
}

const char* const kModeFields[] = {"FIRST = 0", "SECOND = 1"};

ZARKclassDefinition* FieldsClass() {
  static ZARKenumDefinition enums[] = {{"Modes", "Integer", 32, kModeFields, 2, {}}};
  static ZARKpropertyDefinition properties[] = {
      StandardRecord("Count", "Integer", kIntAt),
      StandardRecord("Scale", "Single", kSingleAt),
      StandardRecord("Precise", "Double", kDoubleAt),
      StandardRecord("Enabled", "Boolean", kBoolAt),
      StandardRecord("Partner", "Fields", kObjectAt),
      StandardRecord("Mode", "Fields.Modes", kEnumAt),
      StandardRecord("Byte", "UInt8", kByteAt),
      StandardRecord("Word", "UInt64", kWordAt),
      PropertyRecord("CustomSingle", "Single", reinterpret_cast<void*>(&GetSingleCustom),
                     reinterpret_cast<void*>(&SetSingleCustom), 7),
      PropertyRecord("CustomDouble", "Double", reinterpret_cast<void*>(&GetDoubleCustom),
                     reinterpret_cast<void*>(&SetDoubleCustom), 9),
      PropertyRecord("Constant", "Integer", reinterpret_cast<void*>(&GetConstant), nullptr, 0),
  };
  static ZARKclassDefinition c = [] {
    auto r = ClassRecord("Fields", nullptr, 64);
    r.properties = properties;
    r.propertyCount = std::size(properties);
    r.enums = enums;
    r.enumCount = 1;
    r.destructor = &FieldsDtor;
    return r;
  }();
  return &c;
}

// A subclass that redeclares "Count" over its own data and inherits the rest.
ZARKclassDefinition* DerivedFieldsClass() {
  static ZARKpropertyDefinition properties[] = {StandardRecord("Count", "Integer", 8)};
  static ZARKclassDefinition c = [] {
    auto r = ClassRecord("DerivedFields", "Fields", 16);
    r.properties = properties;
    r.propertyCount = 1;
    return r;
  }();
  return &c;
}

class PropertiesTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    host().RegisterClass(FieldsClass());
    host().RegisterClass(DerivedFieldsClass());
  }
  uint8_t* FieldsData(Object o) { return static_cast<uint8_t*>(host().ClassData(o, "Fields")); }
};

template <typename T>
T Raw(const uint8_t* data, intptr_t offset) {
  T value;
  std::memcpy(&value, data + offset, sizeof value);
  return value;
}

TEST_F(PropertiesTest, StandardAccessorsWriteFieldsOfTheirWidth) {
  host::Ref o(host(), host().New("Fields"));
  ASSERT_TRUE(o);
  uint8_t* data = FieldsData(o.get());
  std::memset(data, 0xEE, 64);
  uint8_t* object = reinterpret_cast<uint8_t*>(o.get());
  std::memset(object + FieldsClass()->dataOffset + kObjectAt, 0, 8);  // no partner held

  EXPECT_TRUE(host().SetProperty(o.get(), "Count", int64_t{-1234567890123}));
  EXPECT_TRUE(host().SetProperty(o.get(), "Scale", 0.1f));
  EXPECT_TRUE(host().SetProperty(o.get(), "Precise", 0.1));
  EXPECT_TRUE(host().SetProperty(o.get(), "Enabled", true));
  EXPECT_TRUE(host().SetProperty(o.get(), "Mode", int64_t{0x0102030405060708}));
  EXPECT_TRUE(host().SetProperty(o.get(), "Byte", uint8_t{200}));
  EXPECT_TRUE(host().SetProperty(o.get(), "Word", uint64_t{0xFEDCBA9876543210ull}));

  EXPECT_EQ(Raw<int64_t>(data, kIntAt), -1234567890123);
  EXPECT_EQ(Raw<float>(data, kSingleAt), 0.1f);
  EXPECT_EQ(Raw<uint32_t>(data, kSingleAt + 4), 0xEEEEEEEEu) << "a Single is 4 bytes wide";
  EXPECT_EQ(Raw<double>(data, kDoubleAt), 0.1);
  EXPECT_EQ(data[kBoolAt], 1);
  EXPECT_EQ(data[kBoolAt + 1], 0xEE) << "a Boolean is one byte wide";
  EXPECT_EQ(Raw<int64_t>(data, kEnumAt), 0x0102030405060708) << "an enumeration is an Integer";
  EXPECT_EQ(data[kByteAt], 200);
  EXPECT_EQ(data[kByteAt + 1], 0xEE);
  EXPECT_EQ(Raw<uint64_t>(data, kWordAt), 0xFEDCBA9876543210ull);

  EXPECT_EQ(host().GetInteger(o.get(), "Count"), -1234567890123);
  EXPECT_EQ(host().GetSingle(o.get(), "Scale"), 0.1f);
  EXPECT_EQ(host().GetDouble(o.get(), "Precise"), 0.1);
  EXPECT_TRUE(host().GetBoolean(o.get(), "Enabled"));
  EXPECT_EQ(std::get<int64_t>(host().GetProperty(o.get(), "Mode")), 0x0102030405060708);
  EXPECT_EQ(std::get<uint8_t>(host().GetProperty(o.get(), "Byte")), 200);
  EXPECT_EQ(std::get<uint64_t>(host().GetProperty(o.get(), "Word")), 0xFEDCBA9876543210ull);

  // Values of another numeric type convert to the declared one.
  EXPECT_TRUE(host().SetProperty(o.get(), "Count", 7.9));
  EXPECT_EQ(Raw<int64_t>(data, kIntAt), 7);
  EXPECT_TRUE(host().SetProperty(o.get(), "Enabled", int64_t{0}));
  EXPECT_EQ(data[kBoolAt], 0);
  // ... but nothing converts that does not fit.
  EXPECT_FALSE(host().SetProperty(o.get(), "Count", std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(host().SetProperty(o.get(), "Byte", int64_t{256}));
  EXPECT_FALSE(host().SetProperty(o.get(), "Count", o.get()));
  EXPECT_EQ(Raw<int64_t>(data, kIntAt), 7);
}

TEST_F(PropertiesTest, ObjectFieldsHoldOneReference) {
  host::Ref holder(host(), host().New("Fields"));
  Object first = host().New("Fields");
  Object second = host().New("Fields");

  ASSERT_TRUE(host().SetProperty(holder.get(), "Partner", first));
  EXPECT_EQ(host().RefCount(first), 2);
  EXPECT_EQ(Raw<Object>(FieldsData(holder.get()), kObjectAt), first);

  Object got = host().GetObject(holder.get(), "Partner");
  EXPECT_EQ(got, first);
  EXPECT_EQ(host().RefCount(first), 3) << "the getter hands out a new reference";
  host().Unlock(got);

  ASSERT_TRUE(host().SetProperty(holder.get(), "Partner", second));
  EXPECT_EQ(host().RefCount(first), 1) << "replacing drops the old hold";
  EXPECT_EQ(host().RefCount(second), 2);

  // Storing the same object again keeps exactly one hold.
  ASSERT_TRUE(host().SetProperty(holder.get(), "Partner", second));
  EXPECT_EQ(host().RefCount(second), 2);

  ASSERT_TRUE(host().SetProperty(holder.get(), "Partner", Value{}));
  EXPECT_EQ(host().RefCount(second), 1);
  EXPECT_EQ(host().GetObject(holder.get(), "Partner"), nullptr);

  // The holder's destructor drops what the field keeps.
  ASSERT_TRUE(host().SetProperty(holder.get(), "Partner", first));
  host().Unlock(first);
  host().Unlock(second);
  EXPECT_EQ(host().LiveObjects(), 2u);
  holder.Reset();
  EXPECT_EQ(host().LiveObjects(), 0u);
}

TEST_F(PropertiesTest, CustomAccessorsPassFloatingValuesAndTheParameter) {
  host::Ref o(host(), host().New("Fields"));
  struct Case {
    const char* name;
    Value value;
    intptr_t parameter;
  };
  const Case cases[] = {
      {"CustomSingle", 0.1f, 7},
      {"CustomSingle", -3.4028235e38f, 7},
      {"CustomDouble", 0.1, 9},
      {"CustomDouble", 1e-310, 9},
  };
  for (const Case& c : cases) {
    gLastParameter = 0;
    ASSERT_TRUE(host().SetProperty(o.get(), c.name, c.value)) << c.name;
    EXPECT_EQ(gLastParameter, c.parameter);
    gLastParameter = 0;
    EXPECT_EQ(host().GetProperty(o.get(), c.name), c.value) << c.name;
    EXPECT_EQ(gLastParameter, c.parameter);
  }
  EXPECT_EQ(gCustomSingle, -3.4028235e38f);
  EXPECT_EQ(gCustomDouble, 1e-310);
}

TEST_F(PropertiesTest, ReadOnlyAndUnknownProperties) {
  host::Ref o(host(), host().New("Fields"));
  EXPECT_EQ(host().GetInteger(o.get(), "Constant"), 42);
  EXPECT_FALSE(host().SetProperty(o.get(), "Constant", int64_t{1}));
  EXPECT_EQ(host().GetInteger(o.get(), "Constant"), 42);
  EXPECT_FALSE(host().SetProperty(o.get(), "NoSuchProperty", int64_t{1}));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(host().GetProperty(o.get(), "NoSuch")));
  EXPECT_EQ(host().FindProperty(o.get(), "NoSuch"), nullptr);
  EXPECT_FALSE(host().SetProperty(nullptr, "Count", int64_t{1}));
}

TEST_F(PropertiesTest, SubclassDeclarationsComeFirstAndInheritedFieldsUseTheBaseData) {
  host::Ref o(host(), host().New("DerivedFields"));
  ASSERT_TRUE(host().SetProperty(o.get(), "Count", int64_t{11}));  // the subclass's own
  ASSERT_TRUE(host().SetProperty(o.get(), "Precise", 2.5));        // inherited
  auto* derived = static_cast<uint8_t*>(host().ClassData(o.get(), "DerivedFields"));
  EXPECT_EQ(Raw<int64_t>(derived, 8), 11);
  EXPECT_EQ(Raw<int64_t>(FieldsData(o.get()), kIntAt), 0);
  EXPECT_EQ(Raw<double>(FieldsData(o.get()), kDoubleAt), 2.5);
  EXPECT_EQ(host().FindProperty(o.get(), "Count"), &DerivedFieldsClass()->properties[0]);
}

TEST_F(PropertiesTest, GetPropValueSingleReadsPointAndSize) {
  auto read = Entry<bool(Object, const char*, float*)>("ZARKGetPropValueSingle");
  ASSERT_NE(read, nullptr);
  host::Ref point(host(), host().New("PointF"));
  host::Ref size(host(), host().New("SizeF"));
  host::Ref fields(host(), host().New("Fields"));
  ASSERT_TRUE(host().SetProperty(point.get(), "x", 1.5f));
  ASSERT_TRUE(host().SetProperty(point.get(), "y", -2.25f));
  host().CallDynamic(size.get(), "Constructor(width as Single, height as Single)", {640.0f, 0.5f});
  ASSERT_TRUE(host().SetProperty(fields.get(), "Count", int64_t{-7}));
  ASSERT_TRUE(host().SetProperty(fields.get(), "Precise", 0.1));

  struct Case {
    Object object;
    const char* name;
    bool found;
    float value;
  };
  const Case cases[] = {
      {point.get(), "x", true, 1.5f},         {point.get(), "y", true, -2.25f},
      {size.get(), "Width", true, 640.0f},    {size.get(), "Height", true, 0.5f},
      {point.get(), "Width", false, 0.0f},    {size.get(), "x", false, 0.0f},
      {fields.get(), "Count", true, -7.0f},   {fields.get(), "Precise", true, 0.1f},
      {fields.get(), "Partner", false, 0.0f}, {nullptr, "x", false, 0.0f},
  };
  for (const Case& c : cases) {
    float out = 123.0f;
    EXPECT_EQ(read(c.object, c.name, &out), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(out, c.value) << c.name;
    }
  }
  EXPECT_EQ(host().GetSingle(point.get(), "x"), 1.5f);
  EXPECT_EQ(static_cast<float*>(host().ClassData(size.get(), "SizeF"))[0], 640.0f);
}

}  // namespace
}  // namespace lumeno::testing

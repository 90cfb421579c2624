// Standard accessors: the field each reads and writes, by declared type, and
// value conversions.
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "host_test.h"

namespace lumeno::testing {
namespace {

constexpr intptr_t kPartnerAt = 32;
constexpr int64_t kFieldsSize = 72;

const char* const kModeFields[] = {"FIRST = 0", "SECOND = 1"};

ZARKclassDefinition* FieldsClass() {
  using records::StandardProperty;
  static ZARKenumDefinition enums[] = {{"Modes", "Integer", 32, kModeFields, 2, {}}};
  static ZARKpropertyDefinition properties[] = {
      StandardProperty("Count", "Integer", 0),
      StandardProperty("Scale", "Single", 8),
      StandardProperty("Precise", "Double", 16),
      StandardProperty("Enabled", "Boolean", 24),
      StandardProperty("Partner", "Fields", kPartnerAt),
      StandardProperty("Mode", "Fields.Modes", 40),
      StandardProperty("Byte", "UInt8", 48),
      StandardProperty("Word", "UInt64", 56),
      StandardProperty("Address", "Ptr", 64),
  };
  static auto c = records::WithMembers(
      records::Class("Fields", nullptr, kFieldsSize), properties, enums);
  return &c;
}

class PropertiesTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    host().RegisterClass(FieldsClass());
  }
};

TEST_F(PropertiesTest, StandardAccessorsUseExactlyTheDeclaredField) {
  host::Ref o(host(), host().New("Fields"));
  void* address = reinterpret_cast<void*>(uintptr_t{0x123456789ABCull});
  struct Case {
    const char* name;
    Value value;
    Value stored;  // monostate: the value is refused
  };
  const Case cases[] = {
      {"Count", int64_t{-1234567890123}, int64_t{-1234567890123}},
      {"Scale", 0.1f, 0.1f},
      {"Precise", 0.1, 0.1},
      {"Enabled", true, true},
      {"Mode", int64_t{0x0102030405060708}, int64_t{0x0102030405060708}},
      {"Byte", uint8_t{200}, uint8_t{200}},
      {"Word", uint64_t{0xFEDCBA9876543210ull}, uint64_t{0xFEDCBA9876543210ull}},
      {"Address", address, address},
      // Values of another type convert to the declared one when they fit.
      {"Count", 7.9, int64_t{7}},
      {"Count", uint8_t{9}, int64_t{9}},
      {"Scale", int64_t{-3}, -3.0f},
      {"Enabled", int64_t{0}, false},
      {"Enabled", 0.5, true},
      {"Byte", int64_t{255}, uint8_t{255}},
      {"Word", 1.0e19, uint64_t{10000000000000000000ull}},
      {"Count", std::numeric_limits<double>::quiet_NaN(), {}},
      {"Count", 0x1p63, {}},
      {"Count", -0x1p63, std::numeric_limits<int64_t>::min()},
      {"Count", o.get(), {}},
      {"Byte", int64_t{256}, {}},
      {"Word", -1.0, {}},
      {"Word", 0x1p64, {}},
      {"Precise", Value{}, {}},
      {"Address", 1.0, {}},
  };
  auto* data = static_cast<uint8_t*>(host().ClassData(o.get(), "Fields"));
  for (const Case& c : cases) {
    uint8_t expected[kFieldsSize];
    std::memset(expected, 0xEE, sizeof expected);
    std::memset(expected + kPartnerAt, 0, sizeof(Object));  // no partner held
    std::memcpy(data, expected, sizeof expected);
    const bool refused = std::holds_alternative<std::monostate>(c.stored);
    EXPECT_EQ(host().SetProperty(o.get(), c.name, c.value), !refused) << c.name;
    std::visit(
        [&](auto v) {
          if constexpr (!std::is_same_v<decltype(v), std::monostate>) {
            std::memcpy(expected + host().FindProperty(o.get(), c.name)->parameter, &v, sizeof v);
          }
        },
        c.stored);
    EXPECT_EQ(std::memcmp(data, expected, sizeof expected), 0) << c.name;
    EXPECT_EQ(refused ? Value{} : host().GetProperty(o.get(), c.name), c.stored) << c.name;
  }
}

}  // namespace
}  // namespace lumeno::testing

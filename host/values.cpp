// Conversions of Values to the host-language types that properties and
// method arguments are declared with.
#include "host/host_state.h"

namespace lumeno::host {
namespace {

// The value of a Single or a Double.
bool AsFloating(const Value& value, double* out) {
  if (auto* v = std::get_if<float>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<double>(&value)) return *out = *v, true;
  return false;
}

}  // namespace

bool AsInt64(const Value& value, int64_t* out) {
  if (auto* v = std::get_if<int64_t>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<bool>(&value)) return *out = *v ? 1 : 0, true;
  if (auto* v = std::get_if<uint8_t>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<uint64_t>(&value)) return *out = static_cast<int64_t>(*v), true;
  double d;
  if (!AsFloating(value, &d)) return false;
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  *out = static_cast<int64_t>(d);
  return true;
}

bool AsUInt64(const Value& value, uint64_t* out) {
  if (auto* v = std::get_if<uint64_t>(&value)) return *out = *v, true;
  double d;
  if (!AsFloating(value, &d)) {
    int64_t i;
    if (!AsInt64(value, &i)) return false;
    *out = static_cast<uint64_t>(i);
    return true;
  }
  if (!(d >= 0.0 && d < 18446744073709551616.0)) return false;
  *out = static_cast<uint64_t>(d);
  return true;
}

bool AsDouble(const Value& value, double* out) {
  if (AsFloating(value, out)) return true;
  if (auto* v = std::get_if<int64_t>(&value)) return *out = static_cast<double>(*v), true;
  if (auto* v = std::get_if<uint64_t>(&value)) return *out = static_cast<double>(*v), true;
  if (auto* v = std::get_if<uint8_t>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<bool>(&value)) return *out = *v ? 1.0 : 0.0, true;
  return false;
}

bool AsBool(const Value& value, bool* out) {
  if (auto* v = std::get_if<bool>(&value)) return *out = *v, true;
  double d;
  if (std::holds_alternative<int64_t>(value) || std::holds_alternative<uint64_t>(value) ||
      std::holds_alternative<uint8_t>(value)) {
    uint64_t u;
    if (!AsUInt64(value, &u)) return false;
    return *out = u != 0, true;
  }
  if (!AsDouble(value, &d)) return false;
  *out = d != 0.0;
  return true;
}

bool AsObject(const Value& value, Object* out) {
  if (auto* v = std::get_if<Object>(&value)) return *out = *v, true;
  if (std::holds_alternative<std::monostate>(value)) return *out = nullptr, true;
  return false;
}

bool AsPointer(const Value& value, void** out) {
  if (auto* v = std::get_if<void*>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<Object>(&value)) return *out = *v, true;
  if (std::holds_alternative<std::monostate>(value)) return *out = nullptr, true;
  return false;
}

}  // namespace lumeno::host

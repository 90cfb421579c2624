// Properties found by name through the class chain: standard accessors read
// and write the declared field of the declaring class's data; custom ones
// are called with the declared type.
#include <cstring>
#include <utility>

#include "host/host_state.h"

namespace lumeno::host {
namespace {

template <typename T>
T ReadField(const uint8_t* field) {
  T value;
  std::memcpy(&value, field, sizeof value);
  return value;
}

template <typename T>
void WriteField(uint8_t* field, T value) {
  std::memcpy(field, &value, sizeof value);
}

template <typename T>
T CallGetter(const ZARKpropertyDefinition* p, Object self) {
  return reinterpret_cast<T (*)(Object, intptr_t)>(p->getter)(self, p->parameter);
}

template <typename T>
void CallSetter(const ZARKpropertyDefinition* p, Object self, T value) {
  reinterpret_cast<void (*)(Object, intptr_t, T)>(p->setter)(self, p->parameter, value);
}

// Property and the class that declares it, searched subclass first.
std::pair<const ZARKpropertyDefinition*, const ClassInfo*> FindIn(const ClassInfo* cls,
                                                                  const std::string& name) {
  for (const ClassInfo* c = cls; c != nullptr; c = c->super) {
    const ZARKclassDefinition* d = c->definition;
    for (int64_t i = 0; d->properties != nullptr && i < d->propertyCount; ++i) {
      if (d->properties[i].name != nullptr && name == d->properties[i].name) {
        return {&d->properties[i], c};
      }
    }
  }
  return {nullptr, nullptr};
}

}  // namespace

const ZARKpropertyDefinition* Host::FindProperty(Object object, const std::string& name) const {
  if (object == nullptr) return nullptr;
  return FindIn(state_->UsableClass(object, "property lookup"), name).first;
}

Value Host::GetProperty(Object object, const std::string& name) {
  if (object == nullptr) return {};
  // Named, not bound: lambdas below capture them (clang 14 cannot capture
  // structured bindings).
  const auto found = FindIn(state_->UsableClass(object, "property read"), name);
  const auto* p = found.first;
  const auto* owner = found.second;
  if (p == nullptr || p->type == nullptr || p->getter == nullptr) return {};
  Kind kind = state_->KindOf(p->type, false, owner);
  const bool standard = p->getter == ZARK_STANDARD_ACCESSOR;
  const uint8_t* field = reinterpret_cast<uint8_t*>(object) + owner->dataOffset + p->parameter;
  // Reads the field in place, or asks the getter.
  auto get = [&](auto type) -> Value {
    using T = decltype(type);
    return standard ? ReadField<T>(field) : CallGetter<T>(p, object);
  };
  switch (kind) {
    case Kind::kInteger:
      return get(int64_t{});
    case Kind::kSingle:
      return get(float{});
    case Kind::kDouble:
      return get(double{});
    case Kind::kBoolean:  // a standard field holds one byte
      return standard ? ReadField<uint8_t>(field) != 0 : CallGetter<bool>(p, object);
    case Kind::kUInt8:
      return get(uint8_t{});
    case Kind::kUInt64:
      return get(uint64_t{});
    case Kind::kPtr:
      return get(static_cast<void*>(nullptr));
    case Kind::kObject: {
      if (!standard) return CallGetter<Object>(p, object);
      // The caller receives a hold of its own on what the field stores.
      Object held = ReadField<Object>(field);
      Lock(held);
      return held;
    }
    default:
      return {};
  }
}

bool Host::SetProperty(Object object, const std::string& name, const Value& value) {
  if (object == nullptr) return false;
  const auto found = FindIn(state_->UsableClass(object, "property write"), name);
  const auto* p = found.first;
  const auto* owner = found.second;
  if (p == nullptr || p->type == nullptr || p->setter == nullptr) return false;
  Kind kind = state_->KindOf(p->type, false, owner);
  bool standard = p->setter == ZARK_STANDARD_ACCESSOR;
  uint8_t* field = reinterpret_cast<uint8_t*>(object) + owner->dataOffset + p->parameter;
  // Stores the converted value in the field, or hands it to the setter.
  auto put = [&](auto v) {
    standard ? WriteField(field, v) : CallSetter(p, object, v);
    return true;
  };
  int64_t integer;
  double real;
  uint64_t unsignedValue;
  bool flag;
  void* pointer;
  switch (kind) {
    case Kind::kInteger:
      return AsInt64(value, &integer) && put(integer);
    case Kind::kSingle:
      return AsDouble(value, &real) && put(static_cast<float>(real));
    case Kind::kDouble:
      return AsDouble(value, &real) && put(real);
    case Kind::kBoolean:  // a standard field holds one byte, 0 or 1
      return AsBool(value, &flag) && put(flag);
    case Kind::kUInt8:
      return AsUInt64(value, &unsignedValue) && unsignedValue <= 255 &&
             put(static_cast<uint8_t>(unsignedValue));
    case Kind::kUInt64:
      return AsUInt64(value, &unsignedValue) && put(unsignedValue);
    case Kind::kPtr:
      return AsPointer(value, &pointer) && put(pointer);
    case Kind::kObject: {
      Object v;
      if (!AsObject(value, &v)) return false;
      if (!standard) {
        CallSetter(p, object, v);
        return true;
      }
      // The field keeps one hold on what it stores.
      Lock(v);
      Object old = ReadField<Object>(field);
      WriteField(field, v);
      Unlock(old);
      return true;
    }
    default:
      return false;
  }
}

int64_t Host::GetInteger(Object object, const std::string& name) {
  int64_t v = 0;
  return AsInt64(GetProperty(object, name), &v) ? v : 0;
}

float Host::GetSingle(Object object, const std::string& name) {
  double v = 0;
  return AsDouble(GetProperty(object, name), &v) ? static_cast<float>(v) : 0.0f;
}

double Host::GetDouble(Object object, const std::string& name) {
  double v = 0;
  return AsDouble(GetProperty(object, name), &v) ? v : 0.0;
}

bool Host::GetBoolean(Object object, const std::string& name) {
  bool v = false;
  return AsBool(GetProperty(object, name), &v) ? v : false;
}

Object Host::GetObject(Object object, const std::string& name) {
  Value v = GetProperty(object, name);
  if (auto* o = std::get_if<Object>(&v)) return *o;
  return nullptr;
}

}  // namespace lumeno::host

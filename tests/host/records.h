// Definition records written as plain data, the way a plug-in lays them out,
// for driving the host through its entries.
#pragma once

#include <cstdint>

#include "host/host.h"
#include "lumeno/zark.h"

namespace lumeno::testing {

using host::Object;

inline ZARKpropertyDefinition PropertyRecord(const char* name, const char* type, void* getter,
                                             void* setter, intptr_t parameter) {
  ZARKpropertyDefinition p{};
  p.name = name;
  p.type = type;
  p.flags = 4;
  p.getter = getter;
  p.setter = setter;
  p.parameter = parameter;
  return p;
}

inline ZARKpropertyDefinition StandardRecord(const char* name, const char* type, intptr_t offset) {
  return PropertyRecord(name, type, ZARK_STANDARD_ACCESSOR, ZARK_STANDARD_ACCESSOR, offset);
}

template <typename F>
ZARKmethodDefinition MethodRecord(F* function, const char* declaration) {
  ZARKmethodDefinition m{};
  m.function = reinterpret_cast<void*>(function);
  m.declaration = declaration;
  m.flags = 4;
  return m;
}

inline ZARKclassDefinition ClassRecord(const char* name, const char* superName, int64_t dataSize) {
  ZARKclassDefinition c{};
  c.version = kZARKRecordVersion;
  c.name = name;
  c.superName = superName;
  c.dataSize = dataSize;
  c.interfaces = "";
  return c;
}

// Typed views of the resolver's entries, as a plug-in's wrappers see them.
template <typename F>
F* Entry(const char* name) {
  return reinterpret_cast<F*>(host::Host::ResolverEntry(name));
}

}  // namespace lumeno::testing

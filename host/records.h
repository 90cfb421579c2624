// Definition records written as plain data, the way a plug-in lays them out:
// the host's own class modules and the host's tests build their classes with
// these, so every record gets the same flags and an empty interface list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host.h"
#include "lumeno/zark.h"

namespace lumeno::host::records {

// A function as the untyped entry a record stores.
template <typename F>
void* Function(F* function) {
  return reinterpret_cast<void*>(function);
}

inline ZARKpropertyDefinition Property(const char* name, const char* type, void* getter,
                                       void* setter, intptr_t parameter = 0) {
  ZARKpropertyDefinition p{};
  p.name = name;
  p.type = type;
  p.flags = 4;
  p.getter = getter;
  p.setter = setter;
  p.parameter = parameter;
  return p;
}

// A property the host reads and writes at `offset` of the declaring class's data.
inline ZARKpropertyDefinition StandardProperty(const char* name, const char* type,
                                               intptr_t offset) {
  return Property(name, type, ZARK_STANDARD_ACCESSOR, ZARK_STANDARD_ACCESSOR, offset);
}

// A property with a custom getter and no setter.
template <typename F>
ZARKpropertyDefinition ReadOnlyProperty(const char* name, const char* type, F* getter) {
  return Property(name, type, Function(getter), nullptr);
}

template <typename F>
ZARKmethodDefinition Method(F* function, const char* declaration) {
  ZARKmethodDefinition m{};
  m.function = Function(function);
  m.declaration = declaration;
  m.flags = 4;
  return m;
}

// A class without members; WithMembers adds them.
inline ZARKclassDefinition Class(const char* name, const char* superName, int64_t dataSize,
                                 void (*constructor)(Object) = nullptr,
                                 void (*destructor)(Object) = nullptr) {
  ZARKclassDefinition c{};
  c.version = kZARKRecordVersion;
  c.name = name;
  c.superName = superName;
  c.dataSize = dataSize;
  c.constructor = constructor;
  c.destructor = destructor;
  c.interfaces = "";
  c.flags = kZARKClassConsoleSafe;
  return c;
}

template <size_t N>
void SetMembers(ZARKclassDefinition& c, const ZARKpropertyDefinition (&properties)[N]) {
  c.properties = properties;
  c.propertyCount = N;
}
template <size_t N>
void SetMembers(ZARKclassDefinition& c, const ZARKmethodDefinition (&methods)[N]) {
  c.methods = methods;
  c.methodCount = N;
}
template <size_t N>
void SetMembers(ZARKclassDefinition& c, const ZARKenumDefinition (&enums)[N]) {
  c.enums = enums;
  c.enumCount = N;
}

// The class pointing at its arrays of properties, methods and enumerations
// (any of them, in any order), which live as long as the record.
template <typename... Arrays>
ZARKclassDefinition WithMembers(ZARKclassDefinition c, const Arrays&... arrays) {
  (SetMembers(c, arrays), ...);
  return c;
}

// The data of the class `definition` inside an instance, found by the offset
// the registry wrote into the record, as a plug-in finds it.
template <typename T>
T* DataOf(Object self, const ZARKclassDefinition& definition) {
  return reinterpret_cast<T*>(reinterpret_cast<char*>(self) + definition.dataOffset);
}

}  // namespace lumeno::host::records

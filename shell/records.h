// Helpers that write the definition records the host reads: one call per
// property or method row and one per class, so the flags, the reserved slots
// and the counts are filled in one place. The counts come from the tables
// themselves.
//
// A row that holds a function's address cannot be a constant expression (the
// slot is a void*, and turning a function pointer into one is a
// reinterpret_cast), so only the class record is built at compile time. The
// rows are still fixed when the library loads: no row reads another
// translation unit's records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "lumeno/zark.h"

namespace lumeno {

// The flags of every property and method record.
inline constexpr int64_t kMemberFlags = 4;

// A function's address as a record slot holds it.
template <typename F>
void* Entry(F* function) {
  return reinterpret_cast<void*>(function);
}

// A property with custom accessors; a null setter makes it read-only.
inline ZARKpropertyDefinition Property(const char* name, const char* type, void* getter,
                                       void* setter) {
  return {0, name, type, kMemberFlags, getter, setter, 0, {}};
}

// A property the host's standard accessor serves from byte `offset` of the
// class's own data; read-only unless `writable`.
inline ZARKpropertyDefinition Field(const char* name, const char* type, std::size_t offset,
                                    bool writable = true) {
  return {0,
          name,
          type,
          kMemberFlags,
          ZARK_STANDARD_ACCESSOR,
          writable ? ZARK_STANDARD_ACCESSOR : nullptr,
          static_cast<intptr_t>(offset),
          {}};
}

template <typename F>
ZARKmethodDefinition Method(F* function, const char* declaration) {
  return {Entry(function), 0, declaration, kMemberFlags, {}};
}

// The parts of a class record that vary; everything else is zero, and the
// host writes dataOffset at registration.
struct ClassParts {
  const char* name;
  const char* superName;  // null for a root class
  std::size_t dataSize;
  void (*constructor)(ZARKobjectStruct*);
  void (*destructor)(ZARKobjectStruct*);
  std::span<const ZARKpropertyDefinition> properties;
  std::span<const ZARKmethodDefinition> methods;
  const char* interfaces;                                  // "" for a root class, never null
  std::span<const ZARKconstantDefinition> constants = {};  // none: a null pointer
  std::span<const ZARKenumDefinition> enums = {};
};

constexpr ZARKclassDefinition Class(const ClassParts& c) {
  return {kZARKRecordVersion,
          c.name,
          c.superName,
          static_cast<int64_t>(c.dataSize),
          0,
          c.constructor,
          c.destructor,
          c.properties.data(),
          static_cast<int64_t>(c.properties.size()),
          c.methods.data(),
          static_cast<int64_t>(c.methods.size()),
          {},
          c.interfaces,
          {},
          c.constants.data(),
          static_cast<int64_t>(c.constants.size()),
          0,
          0,
          {},
          c.enums.data(),
          static_cast<int64_t>(c.enums.size())};
}

}  // namespace lumeno

// Host interface types shared by the plug-in, the project's host runtime and
// other plug-ins: opaque handle types, the resolver, and the definition
// records a host reads when a plug-in registers modules and classes.
//
// Every record is an array of 8-byte little-endian slots; the layouts below
// are pinned with static_assert because the host reads them in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/layout.h"

// Opaque handles owned by the host.
struct ZARKobjectStruct;
struct ZARKstringStruct;
struct ZARKarrayStruct;
struct ZARKclassRefStruct;
struct ZARKpictureDescription;
struct ZARKcontrolDefinition;
struct RuntimeText;

// Maps a host entry name to the entry's address, or null.
using ZARKResolver = void* (*)(const char* name);

// Getter/setter slot value selecting the host's standard accessor.
#define ZARK_STANDARD_ACCESSOR (reinterpret_cast<void*>(static_cast<intptr_t>(-1)))

// Class flag values.
constexpr uint32_t kZARKClassConsoleSafe = 4;
constexpr uint32_t kZARKClassFlag8 = 8;
constexpr uint32_t kZARKClassWebOnly = 0x100;

// The interface version of every record this project writes.
constexpr int64_t kZARKRecordVersion = 13;

struct ZARKpropertyDefinition {
  uint64_t reserved0;
  const char* name;
  const char* type;  // "Single", "Integer", "RawBitmap", "BlendEffectRaw.BlendModeValues", ...
  int64_t flags;     // 4
  void* getter;      // custom accessor, ZARK_STANDARD_ACCESSOR, or null
  void* setter;      // custom accessor, ZARK_STANDARD_ACCESSOR, or null (read-only)
  intptr_t parameter;  // byte offset of the field for the standard accessor
  uint64_t reserved1[5];
};

struct ZARKmethodDefinition {
  void* function;
  uint64_t reserved0;
  const char* declaration;  // "Apply(source as RawBitmap,value as Single) as RawBitmap"
  int64_t flags;            // 4
  uint64_t reserved1[2];
};

struct ZARKconstantDefinition {
  const char* declaration;  // "NAME = value"
  uint64_t reserved[4];
};

struct ZARKenumDefinition {
  const char* name;
  const char* type;  // "Integer"
  int64_t flags;     // 32
  const char* const* fields;  // "NAME = value" texts
  int64_t fieldCount;
  uint64_t reserved[2];
};

struct ZARKmoduleDefinition {
  int64_t version;
  const char* name;
  uint64_t reserved0[2];
  const ZARKconstantDefinition* constants;
  int64_t constantCount;
  uint64_t reserved1[18];
};

struct ZARKclassDefinition {
  int64_t version;
  const char* name;
  const char* superName;  // null for a root class
  int64_t dataSize;
  int64_t dataOffset;  // written by the host at registration
  void (*constructor)(ZARKobjectStruct*);
  void (*destructor)(ZARKobjectStruct*);
  const ZARKpropertyDefinition* properties;
  int64_t propertyCount;
  const ZARKmethodDefinition* methods;
  int64_t methodCount;
  uint64_t reserved0[4];
  const char* interfaces;  // "" for a root class, never null
  uint64_t reserved1[2];
  const ZARKconstantDefinition* constants;
  int64_t constantCount;
  uint32_t flags;
  uint32_t flagsHigh;  // always zero
  uint64_t reserved2[6];
  const ZARKenumDefinition* enums;
  int64_t enumCount;
};

LUMENO_LAYOUT(ZARKpropertyDefinition, 96, name, 8, type, 16, flags, 24, getter, 32, setter, 40,
              parameter, 48);
LUMENO_LAYOUT(ZARKmethodDefinition, 48, declaration, 16, flags, 24);
static_assert(sizeof(ZARKconstantDefinition) == 40);
LUMENO_LAYOUT(ZARKenumDefinition, 56, fields, 24, fieldCount, 32);
LUMENO_LAYOUT(ZARKmoduleDefinition, 192, constants, 32, constantCount, 40);
LUMENO_LAYOUT(ZARKclassDefinition, 232, dataSize, 24, dataOffset, 32, constructor, 40,
              destructor, 48, properties, 56, methods, 72, interfaces, 120, constants, 144,
              flags, 160, enums, 216, enumCount, 224);

// Host interface types shared by the plug-in, the project's host runtime and
// other plug-ins: opaque handle types, the resolver, and the definition
// records a host reads when a plug-in registers modules and classes.
//
// Every record is an array of 8-byte little-endian slots; the layouts below
// are pinned with static_assert because the host reads them in place.
#pragma once

#include <cstddef>
#include <cstdint>

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

static_assert(sizeof(ZARKpropertyDefinition) == 96);
static_assert(offsetof(ZARKpropertyDefinition, name) == 8);
static_assert(offsetof(ZARKpropertyDefinition, type) == 16);
static_assert(offsetof(ZARKpropertyDefinition, flags) == 24);
static_assert(offsetof(ZARKpropertyDefinition, getter) == 32);
static_assert(offsetof(ZARKpropertyDefinition, setter) == 40);
static_assert(offsetof(ZARKpropertyDefinition, parameter) == 48);
static_assert(sizeof(ZARKmethodDefinition) == 48);
static_assert(offsetof(ZARKmethodDefinition, declaration) == 16);
static_assert(offsetof(ZARKmethodDefinition, flags) == 24);
static_assert(sizeof(ZARKconstantDefinition) == 40);
static_assert(sizeof(ZARKenumDefinition) == 56);
static_assert(offsetof(ZARKenumDefinition, fields) == 24);
static_assert(offsetof(ZARKenumDefinition, fieldCount) == 32);
static_assert(sizeof(ZARKmoduleDefinition) == 192);
static_assert(offsetof(ZARKmoduleDefinition, constants) == 32);
static_assert(offsetof(ZARKmoduleDefinition, constantCount) == 40);
static_assert(sizeof(ZARKclassDefinition) == 232);
static_assert(offsetof(ZARKclassDefinition, dataSize) == 24);
static_assert(offsetof(ZARKclassDefinition, dataOffset) == 32);
static_assert(offsetof(ZARKclassDefinition, constructor) == 40);
static_assert(offsetof(ZARKclassDefinition, destructor) == 48);
static_assert(offsetof(ZARKclassDefinition, properties) == 56);
static_assert(offsetof(ZARKclassDefinition, methods) == 72);
static_assert(offsetof(ZARKclassDefinition, interfaces) == 120);
static_assert(offsetof(ZARKclassDefinition, constants) == 144);
static_assert(offsetof(ZARKclassDefinition, flags) == 160);
static_assert(offsetof(ZARKclassDefinition, enums) == 216);
static_assert(offsetof(ZARKclassDefinition, enumCount) == 224);

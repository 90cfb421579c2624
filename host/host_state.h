// What the host's own files share and nobody else sees: the instance header,
// the host-language types, value conversions and the Host's state.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/host.h"

namespace lumeno::host {

// Bookkeeping at the start of every instance. The plug-in never reads it: it
// reaches its data through the offsets the registry wrote into its records.
struct ObjectHeader {
  uint64_t magic;
  const ClassInfo* cls;
  int64_t refCount;  // touched through std::atomic_ref only
  uint64_t serial;
};
static_assert(sizeof(ObjectHeader) == kObjectHeaderSize);

constexpr uint64_t kObjectMagic = 0x4C554D454E4F4F42ull;  // "LUMENOOB"

inline ObjectHeader* HeaderOf(Object object) { return reinterpret_cast<ObjectHeader*>(object); }

// An object's address as text, for error messages.
std::string Describe(Object object);

// The host-language types as the host passes them in registers and fields
// (declarations.cpp).
enum class Kind {
  kVoid,
  kInteger,
  kSingle,
  kDouble,
  kBoolean,
  kUInt8,
  kUInt64,
  kPtr,
  kObject,
  kBoolRef
};

// The kind of a type name; every name that is no scalar is an object type.
Kind ScalarKind(const std::string& type);

// Value conversions (values.cpp): false when the value has no such reading.
// Floating values reach integers only when they fit, so no conversion is
// undefined.
bool AsInt64(const Value& value, int64_t* out);
bool AsUInt64(const Value& value, uint64_t* out);
bool AsDouble(const Value& value, double* out);
bool AsBool(const Value& value, bool* out);
bool AsObject(const Value& value, Object* out);
bool AsPointer(const Value& value, void** out);

// The entry the resolver offers under `name` unless a test replaced or hid
// it (entries.cpp); null for an unknown name.
void* BuiltinEntry(const std::string& name);

struct Host::State {
  enum class Status : uint8_t { kLive, kDying, kDead };
  struct ObjectRecord {
    Status status;
    uint64_t serial;
  };
  struct Task {
    int32_t id;
    PollProc poll;
    uint32_t interval;
    Object data;
  };

  HostOptions options;
  int32_t pluginVersion = 0;

  mutable std::mutex resolveMutex;
  std::map<std::string, void*> addedEntries;
  std::map<std::string, int> resolveCounts;

  std::vector<std::unique_ptr<ClassInfo>> classStore;
  std::vector<const ClassInfo*> classes;
  std::map<std::string, const ClassInfo*> classesByName;
  std::unordered_map<const ZARKclassDefinition*, const ClassInfo*> classesByDefinition;
  std::vector<ModuleInfo> modules;

  // Objects: every block ever handed out stays here until the Host goes, so
  // a late lock or unlock finds a record instead of reused memory.
  mutable std::mutex objectMutex;
  std::unordered_map<Object, ObjectRecord> objects;
  size_t liveCount = 0;
  uint64_t nextSerial = 1;
  std::vector<std::string> errors;
  bool tearingDown = false;
  // Classes the host's class modules registered (PointF, SizeF, bitmaps).
  std::set<const ClassInfo*> hostClasses;

  std::vector<Task> tasks;
  std::vector<std::function<void()>> teardownHooks;

  void AddErrorLocked(std::string text) { errors.push_back(std::move(text)); }
  void AddError(std::string text) {
    std::lock_guard<std::mutex> guard(objectMutex);
    AddErrorLocked(std::move(text));
  }

  // Class of a live (or dying: its destructors are running) object; records
  // an error for a destroyed or unknown one (objects.cpp).
  const ClassInfo* UsableClass(Object object, const char* what);
  // The record of a live object, with objectMutex held; records an error
  // ("<what> of destroyed object ...") for any other and answers null.
  ObjectRecord* LiveRecordLocked(Object object, const char* what);
  // Runs the destructors of an object marked dying, subclass first, then
  // marks it dead.
  void Destroy(Object object, const ClassInfo* cls);

  // The kind a declared type travels as: ByRef parameters as pointers (a
  // Boolean one as kBoolRef), enumerations of `context` or of a named class
  // as Integer (declarations.cpp).
  Kind KindOf(const std::string& type, bool byRef, const ClassInfo* context) const;
  bool IsEnumeration(const std::string& type, const ClassInfo* context) const;
};

}  // namespace lumeno::host

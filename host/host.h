// The project's host runtime: loads plug-ins through a resolver, registers
// their classes from definition records, owns reference-counted objects and
// runs background tasks on the host's thread. Tests, benchmarks and the
// command-line tool drive plug-ins through this API, never around it.
//
// One Host is active at a time (the resolver handed to plug-ins carries no
// context); constructing a Host makes it the active one. A plug-in library
// stays loaded for the whole process; loading it into a later Host calls its
// ZARKPluginMain again, which registers its classes into that Host.
//
// The host core knows no class of its own: the class modules named in
// HostOptions (by default PointF/SizeF and the bitmap classes) register them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "lumeno/raw_bitmap.h"
#include "lumeno/zark.h"

namespace lumeno::host {

using Object = ZARKobjectStruct*;

// A property or method argument value of one of the host's scalar types.
using Value =
    std::variant<std::monostate, int64_t, float, double, bool, uint8_t, uint64_t, void*, Object>;

// Bytes of host bookkeeping at the start of every instance; the data of the
// root class of a chain starts right after it.
constexpr int64_t kObjectHeaderSize = 32;

// One parameter of a method declaration ("ByRef cancel as Boolean").
struct ParamDecl {
  std::string name;
  std::string type;
  bool byRef = false;
};

// A method declaration split into its parts: "Name(a as T, b as U) as R".
struct MethodDecl {
  std::string name;
  std::vector<ParamDecl> params;
  std::string result;  // empty: no result
};

// Splits a declaration; false when it is malformed (no parentheses, a
// parameter without "as").
bool ParseDeclaration(const std::string& declaration, MethodDecl* out);

// The host version reported by "ZARKGetHXVersion" unless a test sets another.
constexpr double kCurrentHostVersion = 2024.0;

class Host;

// A class module: registers its classes into the host it is given.
using ClassModule = void (*)(Host&);

// PointF and SizeF (geometry_classes.h), then MemoryBlock, RawBitmap and
// RawBitmapMask (raw_bitmap_class.h).
std::vector<ClassModule> StandardModules();

struct HostOptions {
  double version = kCurrentHostVersion;
  // Entry names the resolver pretends not to know.
  std::set<std::string> hiddenEntries;
  // Registered in this order when the Host is constructed; their objects
  // are destroyed after the plug-ins' ones at teardown.
  std::vector<ClassModule> modules = StandardModules();
};

// What the host knows of a registered class (read from its definition record).
struct ClassInfo {
  const ZARKclassDefinition* definition;
  const ClassInfo* super;  // null for a root class
  int64_t dataOffset;      // offset of this class's data inside an instance
  int64_t instanceSize;    // header + data of the whole chain
};

struct ModuleInfo {
  const ZARKmoduleDefinition* definition;
};

class Host {
 public:
  explicit Host(HostOptions options = {});
  ~Host();  // destroys every object still alive (running destructors), then unregisters tasks
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  static Host* Current();

  // -- Plug-ins and the resolver -------------------------------------------
  // dlopen(path) once per process and call its ZARKPluginMain with the
  // resolver. With freshCopy the library is first copied to a private file,
  // so the new copy starts with all its caches and globals empty.
  bool LoadPlugin(const std::string& path, std::string* error = nullptr, bool freshCopy = false);
  void* Resolve(const char* name);               // what the plug-in's resolver answers
  static void* ResolverEntry(const char* name);  // the resolver function itself
  void SetVersion(double version);
  void HideEntry(const std::string& name);
  void ShowEntry(const std::string& name);
  int32_t RegisteredPluginVersion() const;  // last value given to "RegisterPluginVersion"
  // Adds or replaces an entry the resolver offers (tests of wrappers).
  void AddEntry(const std::string& name, void* entry);
  // How many times the resolver was asked for a name.
  int ResolveCount(const std::string& name) const;

  // -- Registration ---------------------------------------------------------
  // Runs `hook` when the Host goes, after every object is destroyed (for a
  // class module that keeps the host it registered into).
  void AtTeardown(std::function<void()> hook);
  void RegisterModule(ZARKmoduleDefinition* module);
  void RegisterClass(ZARKclassDefinition* definition);
  const ClassInfo* FindClass(const std::string& name) const;
  const std::vector<const ClassInfo*>& Classes() const;  // in registration order
  const std::vector<ModuleInfo>& Modules() const;
  // The class reference handed to plug-ins ("pluginObjectType").
  ZARKclassRefStruct* ClassRef(const std::string& name) const;
  const ClassInfo* ClassOf(Object object) const;
  bool IsA(Object object, const std::string& className) const;

  // -- Objects ----------------------------------------------------------------
  // New instance carrying one reference owned by the caller; null for an
  // unknown class. Constructors run base first on zero-filled data.
  Object New(const std::string& className);
  Object NewWithClass(ZARKclassRefStruct* classRef);
  void Lock(Object object);    // null ignored
  void Unlock(Object object);  // null ignored; destructors run subclass first at zero
  int64_t RefCount(Object object) const;
  size_t LiveObjects() const;
  // Locks or unlocks of destroyed or unknown objects, with a description each.
  std::vector<std::string> Errors() const;
  void ClearErrors();
  void* PluginData(Object object, ZARKclassRefStruct* classRef) const;
  void* ClassData(Object object, const std::string& className) const;

  // -- Properties -------------------------------------------------------------
  // Properties are found by name through the class chain; standard accessors
  // read and write the field at `parameter` of the declaring class's data.
  // Object values returned by GetProperty carry a new reference.
  Value GetProperty(Object object, const std::string& name);
  bool SetProperty(Object object, const std::string& name, const Value& value);
  int64_t GetInteger(Object object, const std::string& name);
  float GetSingle(Object object, const std::string& name);
  double GetDouble(Object object, const std::string& name);
  bool GetBoolean(Object object, const std::string& name);
  Object GetObject(Object object, const std::string& name);  // with a new reference
  const ZARKpropertyDefinition* FindProperty(Object object, const std::string& name) const;

  // -- Methods ----------------------------------------------------------------
  // Entry of the method with exactly this declaration, searched from the
  // object's class up through its superclasses; null when none.
  void* FindMethod(Object object, const std::string& declaration) const;
  // Calls a method by declaration with typed arguments (host C types of
  // abi.md: int64_t, float, double, bool, uint8_t, uint64_t, void*, Object).
  template <typename R, typename... A>
  R Call(Object object, const std::string& declaration, A... args) {
    void* fn = FindMethod(object, declaration);
    if (fn == nullptr) MissingMethod(object, declaration);
    return reinterpret_cast<R (*)(Object, A...)>(fn)(object, args...);
  }
  // Calls a method by declaration with arguments converted from Values by the
  // declared parameter types (for tools that know types only at run time).
  Value CallDynamic(Object object, const std::string& declaration, const std::vector<Value>& args);

  // -- Background tasks -------------------------------------------------------
  using PollProc = void (*)(Object);
  int32_t RegisterTask(PollProc poll, uint32_t interval, Object data);
  void UnregisterTask(int32_t taskId);
  size_t TaskCount() const;
  // Calls every registered poll once, in registration order.
  void PumpTasks();
  // Pumps until `until` holds (checked before each round), no task is left,
  // or `timeoutSeconds` pass. Returns whether `until` held at the end.
  bool RunLoop(const std::function<bool()>& until, double timeoutSeconds = 30.0);

 private:
  [[noreturn]] void MissingMethod(Object object, const std::string& declaration) const;
  struct State;           // host_state.h
  friend struct Entries;  // the resolver's entry functions (entries.cpp)
  std::unique_ptr<State> state_;
};

// Owns one reference to a host object and drops it when it goes away.
class Ref {
 public:
  Ref() = default;
  Ref(Host& host, Object object) : host_(&host), object_(object) {}  // adopts the reference
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : host_(other.host_), object_(other.Release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Reset();
      host_ = other.host_;
      object_ = other.Release();
    }
    return *this;
  }
  ~Ref() { Reset(); }
  Object get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  Object Release() {
    Object o = object_;
    object_ = nullptr;
    return o;
  }
  void Reset() {
    if (object_ != nullptr && host_ != nullptr) host_->Unlock(object_);
    object_ = nullptr;
  }

 private:
  Host* host_ = nullptr;
  Object object_ = nullptr;
};

}  // namespace lumeno::host

// The host runtime: resolver and entry trampolines, class registry, reference-
// counted objects with a quarantine for destroyed ones, properties, method
// lookup and calls by declaration, and background tasks.
#include "host/host.h"

#include <dlfcn.h>
#include <ffi.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "host/raw_bitmap_class.h"

namespace lumeno::host {

namespace {

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

ObjectHeader* HeaderOf(Object object) { return reinterpret_cast<ObjectHeader*>(object); }

// The host-language types as the host passes them in registers and fields.
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

Kind ScalarKind(const std::string& type) {
  if (type.empty()) return Kind::kVoid;
  if (type == "Integer" || type == "Int64") return Kind::kInteger;
  if (type == "Single") return Kind::kSingle;
  if (type == "Double") return Kind::kDouble;
  if (type == "Boolean") return Kind::kBoolean;
  if (type == "UInt8") return Kind::kUInt8;
  if (type == "UInt64") return Kind::kUInt64;
  if (type == "Ptr") return Kind::kPtr;
  return Kind::kObject;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool StartsWithWord(const std::string& text, const char* word) {
  size_t n = std::strlen(word);
  if (text.size() <= n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return text[n] == ' ' || text[n] == '\t';
}

// Position of the keyword " as " (any case), or npos.
size_t FindAs(const std::string& text) {
  for (size_t i = 0; i + 4 <= text.size(); ++i) {
    if ((text[i] == ' ' || text[i] == '\t') &&
        std::tolower(static_cast<unsigned char>(text[i + 1])) == 'a' &&
        std::tolower(static_cast<unsigned char>(text[i + 2])) == 's' &&
        (text[i + 3] == ' ' || text[i + 3] == '\t')) {
      return i;
    }
  }
  return std::string::npos;
}

// Strips a default value ("x as Integer = 3" keeps "Integer").
std::string TypeText(const std::string& text) {
  size_t eq = text.find('=');
  return Trim(eq == std::string::npos ? text : text.substr(0, eq));
}

std::string Describe(Object object) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", static_cast<void*>(object));
  return buffer;
}

// Value conversions. Floating values reach integers only when they fit, so
// no conversion is undefined.
bool AsInt64(const Value& value, int64_t* out) {
  if (auto* v = std::get_if<int64_t>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<bool>(&value)) return *out = *v ? 1 : 0, true;
  if (auto* v = std::get_if<uint8_t>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<uint64_t>(&value)) return *out = static_cast<int64_t>(*v), true;
  double d;
  if (auto* v = std::get_if<float>(&value)) {
    d = *v;
  } else if (auto* v2 = std::get_if<double>(&value)) {
    d = *v2;
  } else {
    return false;
  }
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  *out = static_cast<int64_t>(d);
  return true;
}

bool AsUInt64(const Value& value, uint64_t* out) {
  if (auto* v = std::get_if<uint64_t>(&value)) return *out = *v, true;
  double d;
  if (auto* v = std::get_if<float>(&value)) {
    d = *v;
  } else if (auto* v2 = std::get_if<double>(&value)) {
    d = *v2;
  } else {
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
  if (auto* v = std::get_if<float>(&value)) return *out = *v, true;
  if (auto* v = std::get_if<double>(&value)) return *out = *v, true;
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

// -- Host classes -------------------------------------------------------------

ZARKpropertyDefinition StandardProperty(const char* name, const char* type, intptr_t offset) {
  ZARKpropertyDefinition p{};
  p.name = name;
  p.type = type;
  p.flags = 4;
  p.getter = ZARK_STANDARD_ACCESSOR;
  p.setter = ZARK_STANDARD_ACCESSOR;
  p.parameter = offset;
  return p;
}

ZARKclassDefinition HostClass(const char* name, int64_t dataSize,
                              const ZARKpropertyDefinition* properties, int64_t propertyCount,
                              const ZARKmethodDefinition* methods, int64_t methodCount) {
  ZARKclassDefinition c{};
  c.version = kZARKRecordVersion;
  c.name = name;
  c.dataSize = dataSize;
  c.properties = properties;
  c.propertyCount = propertyCount;
  c.methods = methods;
  c.methodCount = methodCount;
  c.interfaces = "";
  c.flags = kZARKClassConsoleSafe;
  return c;
}

void StoreTwoSingles(Object self, const char* className, float a, float b) {
  Host* host = Host::Current();
  if (host == nullptr) return;
  auto* data = static_cast<float*>(host->ClassData(self, className));
  if (data == nullptr) return;
  data[0] = a;
  data[1] = b;
}

void PointFConstructor(Object self, float x, float y) { StoreTwoSingles(self, "PointF", x, y); }
void SizeFConstructor(Object self, float w, float h) { StoreTwoSingles(self, "SizeF", w, h); }

ZARKmethodDefinition HostMethod(void* function, const char* declaration) {
  ZARKmethodDefinition m{};
  m.function = function;
  m.declaration = declaration;
  m.flags = 4;
  return m;
}

// The records live for the process, like a plug-in's; each Host writes the
// same data offsets into them.
ZARKclassDefinition* PointFClass() {
  static ZARKpropertyDefinition properties[] = {StandardProperty("x", "Single", 0),
                                                StandardProperty("y", "Single", 4)};
  static ZARKmethodDefinition methods[] = {HostMethod(reinterpret_cast<void*>(&PointFConstructor),
                                                      "Constructor(x as Single, y as Single)")};
  static ZARKclassDefinition definition = HostClass("PointF", 8, properties, 2, methods, 1);
  return &definition;
}

ZARKclassDefinition* SizeFClass() {
  static ZARKpropertyDefinition properties[] = {StandardProperty("Width", "Single", 0),
                                                StandardProperty("Height", "Single", 4)};
  static ZARKmethodDefinition methods[] = {
      HostMethod(reinterpret_cast<void*>(&SizeFConstructor),
                 "Constructor(width as Single, height as Single)")};
  static ZARKclassDefinition definition = HostClass("SizeF", 8, properties, 2, methods, 1);
  return &definition;
}

// -- Process-wide state ---------------------------------------------------------

std::atomic<Host*> gCurrent{nullptr};
std::atomic<int32_t> gLastTaskId{0};

std::mutex gLibraryMutex;
std::map<std::string, void*>& LoadedLibraries() {
  static auto* libraries = new std::map<std::string, void*>;
  return *libraries;
}

}  // namespace

bool ParseDeclaration(const std::string& declaration, MethodDecl* out) {
  size_t open = declaration.find('(');
  size_t close = declaration.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  MethodDecl decl;
  decl.name = Trim(declaration.substr(0, open));
  if (decl.name.empty()) return false;
  std::string inner = declaration.substr(open + 1, close - open - 1);
  if (!Trim(inner).empty()) {
    std::stringstream parts(inner);
    std::string part;
    while (std::getline(parts, part, ',')) {
      std::string text = Trim(part);
      ParamDecl param;
      if (StartsWithWord(text, "byref")) {
        param.byRef = true;
        text = Trim(text.substr(5));
      } else if (StartsWithWord(text, "byval")) {
        text = Trim(text.substr(5));
      }
      size_t as = FindAs(text);
      if (as == std::string::npos) return false;
      param.name = Trim(text.substr(0, as));
      param.type = TypeText(text.substr(as + 4));
      if (param.name.empty() || param.type.empty()) return false;
      decl.params.push_back(std::move(param));
    }
    if (inner.back() == ',') return false;
  }
  std::string rest = Trim(declaration.substr(close + 1));
  if (!rest.empty()) {
    if (!StartsWithWord(rest, "as")) return false;
    decl.result = Trim(rest.substr(2));
    if (decl.result.empty()) return false;
  }
  *out = std::move(decl);
  return true;
}

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
  // Classes the host itself provides (PointF, SizeF, the bitmap module).
  std::set<const ClassInfo*> hostClasses;

  std::vector<Task> tasks;

  void AddErrorLocked(std::string text) { errors.push_back(std::move(text)); }
  void AddError(std::string text) {
    std::lock_guard<std::mutex> guard(objectMutex);
    AddErrorLocked(std::move(text));
  }

  // Class of a live (or dying: its destructors are running) object; records
  // an error for a destroyed or unknown one.
  const ClassInfo* UsableClass(Object object, const char* what) {
    std::lock_guard<std::mutex> guard(objectMutex);
    auto it = objects.find(object);
    if (it == objects.end()) {
      AddErrorLocked(std::string(what) + " on unknown object " + Describe(object));
      return nullptr;
    }
    if (it->second.status == Status::kDead) {
      if (!tearingDown)
        AddErrorLocked(std::string(what) + " on destroyed object " + Describe(object));
      return nullptr;
    }
    return HeaderOf(object)->cls;
  }

  static bool HasEnum(const ClassInfo* cls, const std::string& name) {
    for (const ClassInfo* c = cls; c != nullptr; c = c->super) {
      const ZARKclassDefinition* d = c->definition;
      for (int64_t i = 0; d->enums != nullptr && i < d->enumCount; ++i) {
        if (d->enums[i].name != nullptr && name == d->enums[i].name) return true;
      }
    }
    return false;
  }

  // Whether a type text names an enumeration: "Class.Enum" of a registered
  // class, or a bare enumeration name of the class where it is used.
  bool IsEnumeration(const std::string& type, const ClassInfo* context) const {
    size_t dot = type.rfind('.');
    if (dot != std::string::npos) {
      auto it = classesByName.find(type.substr(0, dot));
      return it != classesByName.end() && HasEnum(it->second, type.substr(dot + 1));
    }
    return HasEnum(context, type);
  }

  Kind KindOf(const std::string& type, bool byRef, const ClassInfo* context) const {
    Kind kind = ScalarKind(type);
    if (byRef) return kind == Kind::kBoolean ? Kind::kBoolRef : Kind::kPtr;
    if (kind == Kind::kObject && IsEnumeration(type, context)) return Kind::kInteger;
    return kind;
  }

  static std::vector<const ClassInfo*> ChainBaseFirst(const ClassInfo* cls) {
    std::vector<const ClassInfo*> chain;
    for (const ClassInfo* c = cls; c != nullptr; c = c->super) chain.push_back(c);
    std::reverse(chain.begin(), chain.end());
    return chain;
  }

  static void RunDestructors(Object object, const ClassInfo* cls) {
    for (const ClassInfo* c = cls; c != nullptr; c = c->super) {
      if (c->definition->destructor != nullptr) c->definition->destructor(object);
    }
  }

  void FinishDestroy(Object object) {
    std::lock_guard<std::mutex> guard(objectMutex);
    auto it = objects.find(object);
    if (it != objects.end() && it->second.status == Status::kDying) {
      it->second.status = Status::kDead;
      --liveCount;
    }
  }

  // -- Entry trampolines: plain functions the resolver hands out. They carry
  // no context and forward to the current Host.
  static void RegisterPluginVersionEntry(int32_t version) {
    if (Host* h = Current()) h->state_->pluginVersion = version;
  }
  static double GetHXVersionEntry() {
    Host* h = Current();
    return h != nullptr ? h->state_->options.version : 0.0;
  }
  static ZARKclassRefStruct* ObjectTypeEntry(const char* name) {
    Host* h = Current();
    return h != nullptr && name != nullptr ? h->ClassRef(name) : nullptr;
  }
  static void LockEntry(Object object) {
    if (Host* h = Current()) h->Lock(object);
  }
  static void UnlockEntry(Object object) {
    if (Host* h = Current()) h->Unlock(object);
  }
  static void InstallInstanceEventHandlerEntry(void*, void*) {}
  static void RegisterModuleEntry(ZARKmoduleDefinition* module) {
    if (Host* h = Current()) h->RegisterModule(module);
  }
  static void RegisterClassEntry(ZARKclassDefinition* definition) {
    if (Host* h = Current()) h->RegisterClass(definition);
  }
  static Object CreateInstanceEntry(ZARKclassRefStruct* classRef) {
    Host* h = Current();
    return h != nullptr ? h->NewWithClass(classRef) : nullptr;
  }
  static void* GetPluginDataEntry(Object object, ZARKclassRefStruct* classRef) {
    Host* h = Current();
    return h != nullptr ? h->PluginData(object, classRef) : nullptr;
  }
  static void* LoadObjectMethodEntry(Object object, const char* declaration) {
    Host* h = Current();
    return h != nullptr && declaration != nullptr ? h->FindMethod(object, declaration) : nullptr;
  }
  static bool GetPropValueSingleEntry(Object object, const char* name, float* out) {
    Host* h = Current();
    if (h == nullptr || object == nullptr || name == nullptr || out == nullptr) return false;
    const ZARKpropertyDefinition* property = h->FindProperty(object, name);
    if (property == nullptr || property->type == nullptr) return false;
    Kind kind = ScalarKind(property->type);
    if (kind != Kind::kSingle && kind != Kind::kDouble && kind != Kind::kInteger &&
        kind != Kind::kUInt8 && kind != Kind::kUInt64) {
      return false;
    }
    double value;
    if (!AsDouble(h->GetProperty(object, name), &value)) return false;
    *out = static_cast<float>(value);
    return true;
  }
  static int32_t RegisterBackgroundTaskEntry(void (*poll)(Object), uint32_t interval, Object data) {
    Host* h = Current();
    return h != nullptr ? h->RegisterTask(poll, interval, data) : -1;
  }
  static void UnregisterBackgroundTaskEntry(int32_t taskId) {
    if (Host* h = Current()) h->UnregisterTask(taskId);
  }

  static void* BuiltinEntry(const std::string& name) {
    static const std::map<std::string, void*> entries = {
        {"RegisterPluginVersion", reinterpret_cast<void*>(&RegisterPluginVersionEntry)},
        {"ZARKGetHXVersion", reinterpret_cast<void*>(&GetHXVersionEntry)},
        {"pluginObjectType", reinterpret_cast<void*>(&ObjectTypeEntry)},
        {"ZARKLockObject", reinterpret_cast<void*>(&LockEntry)},
        {"ZARKUnlockObject", reinterpret_cast<void*>(&UnlockEntry)},
        {"RuntimeInstallInstanceEventHandler",
         reinterpret_cast<void*>(&InstallInstanceEventHandlerEntry)},
        {"PluginRegisterModule", reinterpret_cast<void*>(&RegisterModuleEntry)},
        {"PluginRegisterClass", reinterpret_cast<void*>(&RegisterClassEntry)},
        {"CreateInstance", reinterpret_cast<void*>(&CreateInstanceEntry)},
        {"PluginGetPluginData", reinterpret_cast<void*>(&GetPluginDataEntry)},
        {"ZARKLoadObjectMethod", reinterpret_cast<void*>(&LoadObjectMethodEntry)},
        {"ZARKGetPropValueSingle", reinterpret_cast<void*>(&GetPropValueSingleEntry)},
        {"PluginRegisterBackgroundTask", reinterpret_cast<void*>(&RegisterBackgroundTaskEntry)},
        {"PluginUnregisterBackgroundTask", reinterpret_cast<void*>(&UnregisterBackgroundTaskEntry)},
    };
    auto it = entries.find(name);
    return it != entries.end() ? it->second : nullptr;
  }
};

// -- Construction -----------------------------------------------------------------

Host::Host(HostOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  gCurrent.store(this);
  RegisterClass(PointFClass());
  RegisterClass(SizeFClass());
  RegisterBitmapClasses(*this);
  for (const ClassInfo* cls : state_->classes) state_->hostClasses.insert(cls);
}

Host::~Host() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> guard(s.objectMutex);
    s.tearingDown = true;
  }
  // Destroy what is still alive: objects of plug-in classes first (a filter
  // ends its background run, whose threads still use bitmaps), then the
  // host's own objects (bitmaps, masks, points); newest first within each.
  // Destructors may drop holds on other objects (which then go the ordinary
  // way) or create new ones.
  for (;;) {
    std::vector<std::tuple<bool, uint64_t, Object>> alive;
    {
      std::lock_guard<std::mutex> guard(s.objectMutex);
      for (auto& [object, record] : s.objects) {
        if (record.status != State::Status::kLive) continue;
        bool hostOwned = s.hostClasses.count(HeaderOf(object)->cls) != 0;
        alive.emplace_back(!hostOwned, record.serial, object);
      }
    }
    if (alive.empty()) break;
    std::sort(alive.begin(), alive.end(), std::greater<>());
    for (auto& entry : alive) {
      Object object = std::get<2>(entry);
      const ClassInfo* cls = nullptr;
      {
        std::lock_guard<std::mutex> guard(s.objectMutex);
        auto it = s.objects.find(object);
        if (it == s.objects.end() || it->second.status != State::Status::kLive) continue;
        it->second.status = State::Status::kDying;
        cls = HeaderOf(object)->cls;
      }
      State::RunDestructors(object, cls);
      s.FinishDestroy(object);
    }
  }
  s.tasks.clear();
  for (auto& entry : s.objects) std::free(entry.first);
  s.objects.clear();
  Host* self = this;
  gCurrent.compare_exchange_strong(self, nullptr);
}

Host* Host::Current() { return gCurrent.load(); }

// -- Plug-ins and the resolver ------------------------------------------------------

bool Host::LoadPlugin(const std::string& path, std::string* error, bool freshCopy) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  void* handle = nullptr;
  if (freshCopy) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot read " + path);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp") + "/lumeno-plugin-XXXXXX.so";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemps(name.data(), 3);
    if (fd < 0) return fail("cannot create a private copy of " + path);
    size_t written = 0;
    while (written < bytes.size()) {
      ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    close(fd);
    if (written != bytes.size()) {
      unlink(name.data());
      return fail("cannot write a private copy of " + path);
    }
    handle = dlopen(name.data(), RTLD_NOW | RTLD_LOCAL);
    const char* why = handle == nullptr ? dlerror() : nullptr;
    unlink(name.data());  // the mapping stays; the file is not needed any more
    if (handle == nullptr) return fail(why != nullptr ? why : "dlopen failed");
  } else {
    std::lock_guard<std::mutex> guard(gLibraryMutex);
    auto& libraries = LoadedLibraries();
    auto it = libraries.find(path);
    if (it != libraries.end()) {
      handle = it->second;
    } else {
      handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) {
        const char* why = dlerror();
        return fail(why != nullptr ? why : "dlopen failed");
      }
      libraries.emplace(path, handle);
    }
  }
  void* symbol = dlsym(handle, "ZARKPluginMain");
  if (symbol == nullptr) return fail(path + " has no ZARKPluginMain");
  auto pluginMain = reinterpret_cast<void (*)(ZARKResolver)>(symbol);
  pluginMain(&Host::ResolverEntry);
  return true;
}

void* Host::Resolve(const char* name) {
  if (name == nullptr) return nullptr;
  std::string key(name);
  {
    std::lock_guard<std::mutex> guard(state_->resolveMutex);
    ++state_->resolveCounts[key];
    if (state_->options.hiddenEntries.count(key) != 0) return nullptr;
    auto it = state_->addedEntries.find(key);
    if (it != state_->addedEntries.end()) return it->second;
  }
  return State::BuiltinEntry(key);
}

void* Host::ResolverEntry(const char* name) {
  Host* host = Current();
  return host != nullptr ? host->Resolve(name) : nullptr;
}

void Host::SetVersion(double version) { state_->options.version = version; }

void Host::HideEntry(const std::string& name) {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  state_->options.hiddenEntries.insert(name);
}

void Host::ShowEntry(const std::string& name) {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  state_->options.hiddenEntries.erase(name);
}

int32_t Host::RegisteredPluginVersion() const { return state_->pluginVersion; }

void Host::AddEntry(const std::string& name, void* entry) {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  state_->addedEntries[name] = entry;
}

int Host::ResolveCount(const std::string& name) const {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  auto it = state_->resolveCounts.find(name);
  return it != state_->resolveCounts.end() ? it->second : 0;
}

// -- Registration --------------------------------------------------------------------

void Host::RegisterModule(ZARKmoduleDefinition* module) {
  if (module == nullptr) {
    state_->AddError("module registration without a record");
    return;
  }
  state_->modules.push_back(ModuleInfo{module});
}

void Host::RegisterClass(ZARKclassDefinition* definition) {
  State& s = *state_;
  if (definition == nullptr || definition->name == nullptr) {
    s.AddError("class registration without a record or a name");
    return;
  }
  std::string name(definition->name);
  auto existing = s.classesByName.find(name);
  if (existing != s.classesByName.end()) {
    // The same record again (a plug-in started twice) is harmless; another
    // class of the same name is refused.
    if (existing->second->definition != definition) {
      s.AddError("class " + name + " is already registered");
    } else {
      definition->dataOffset = existing->second->dataOffset;
    }
    return;
  }
  if (definition->dataSize < 0) {
    s.AddError("class " + name + " has a negative data size");
    return;
  }
  const ClassInfo* super = nullptr;
  if (definition->superName != nullptr) {
    auto it = s.classesByName.find(definition->superName);
    if (it == s.classesByName.end()) {
      s.AddError("class " + name + ": superclass " + definition->superName + " is not registered");
      return;
    }
    super = it->second;
  }
  int64_t offset = super != nullptr ? super->instanceSize : kObjectHeaderSize;
  auto info = std::make_unique<ClassInfo>(
      ClassInfo{definition, super, offset, offset + definition->dataSize});
  definition->dataOffset = offset;
  const ClassInfo* stored = info.get();
  s.classStore.push_back(std::move(info));
  s.classes.push_back(stored);
  s.classesByName.emplace(name, stored);
  s.classesByDefinition.emplace(definition, stored);
}

const ClassInfo* Host::FindClass(const std::string& name) const {
  auto it = state_->classesByName.find(name);
  return it != state_->classesByName.end() ? it->second : nullptr;
}

const std::vector<const ClassInfo*>& Host::Classes() const { return state_->classes; }

const std::vector<ModuleInfo>& Host::Modules() const { return state_->modules; }

ZARKclassRefStruct* Host::ClassRef(const std::string& name) const {
  const ClassInfo* info = FindClass(name);
  if (info == nullptr) return nullptr;
  // The record's address: stable for the process, so a reference a plug-in
  // cached stays valid in a later Host.
  return reinterpret_cast<ZARKclassRefStruct*>(const_cast<ZARKclassDefinition*>(info->definition));
}

const ClassInfo* Host::ClassOf(Object object) const {
  if (object == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(state_->objectMutex);
  auto it = state_->objects.find(object);
  if (it == state_->objects.end() || it->second.status == State::Status::kDead) return nullptr;
  return HeaderOf(object)->cls;
}

bool Host::IsA(Object object, const std::string& className) const {
  for (const ClassInfo* c = ClassOf(object); c != nullptr; c = c->super) {
    if (className == c->definition->name) return true;
  }
  return false;
}

// -- Objects -------------------------------------------------------------------------

Object Host::New(const std::string& className) {
  const ClassInfo* info = FindClass(className);
  if (info == nullptr) return nullptr;
  return NewWithClass(ClassRef(className));
}

Object Host::NewWithClass(ZARKclassRefStruct* classRef) {
  State& s = *state_;
  auto it = s.classesByDefinition.find(reinterpret_cast<const ZARKclassDefinition*>(classRef));
  if (classRef == nullptr || it == s.classesByDefinition.end()) return nullptr;
  const ClassInfo* info = it->second;
  void* block = std::calloc(1, static_cast<size_t>(info->instanceSize));
  if (block == nullptr) return nullptr;
  Object object = static_cast<Object>(block);
  ObjectHeader* header = HeaderOf(object);
  header->magic = kObjectMagic;
  header->cls = info;
  header->refCount = 1;
  {
    std::lock_guard<std::mutex> guard(s.objectMutex);
    header->serial = s.nextSerial++;
    s.objects[object] = State::ObjectRecord{State::Status::kLive, header->serial};
    ++s.liveCount;
  }
  for (const ClassInfo* c : State::ChainBaseFirst(info)) {
    if (c->definition->constructor != nullptr) c->definition->constructor(object);
  }
  return object;
}

void Host::Lock(Object object) {
  if (object == nullptr) return;
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.objectMutex);
  auto it = s.objects.find(object);
  if (it == s.objects.end()) {
    s.AddErrorLocked("lock of unknown object " + Describe(object));
    return;
  }
  if (it->second.status != State::Status::kLive) {
    if (!s.tearingDown) s.AddErrorLocked("lock of destroyed object " + Describe(object));
    return;
  }
  std::atomic_ref<int64_t>(HeaderOf(object)->refCount).fetch_add(1);
}

void Host::Unlock(Object object) {
  if (object == nullptr) return;
  State& s = *state_;
  const ClassInfo* cls = nullptr;
  {
    std::lock_guard<std::mutex> guard(s.objectMutex);
    auto it = s.objects.find(object);
    if (it == s.objects.end()) {
      s.AddErrorLocked("unlock of unknown object " + Describe(object));
      return;
    }
    if (it->second.status != State::Status::kLive) {
      if (!s.tearingDown) s.AddErrorLocked("unlock of destroyed object " + Describe(object));
      return;
    }
    int64_t left = std::atomic_ref<int64_t>(HeaderOf(object)->refCount).fetch_sub(1) - 1;
    if (left > 0) return;
    it->second.status = State::Status::kDying;
    cls = HeaderOf(object)->cls;
  }
  State::RunDestructors(object, cls);
  s.FinishDestroy(object);
}

int64_t Host::RefCount(Object object) const {
  if (object == nullptr) return 0;
  std::lock_guard<std::mutex> guard(state_->objectMutex);
  auto it = state_->objects.find(object);
  if (it == state_->objects.end() || it->second.status == State::Status::kDead) return 0;
  return std::atomic_ref<int64_t>(HeaderOf(object)->refCount).load();
}

size_t Host::LiveObjects() const {
  std::lock_guard<std::mutex> guard(state_->objectMutex);
  return state_->liveCount;
}

std::vector<std::string> Host::Errors() const {
  std::lock_guard<std::mutex> guard(state_->objectMutex);
  return state_->errors;
}

void Host::ClearErrors() {
  std::lock_guard<std::mutex> guard(state_->objectMutex);
  state_->errors.clear();
}

void* Host::PluginData(Object object, ZARKclassRefStruct* classRef) const {
  if (object == nullptr || classRef == nullptr) return nullptr;
  auto it =
      state_->classesByDefinition.find(reinterpret_cast<const ZARKclassDefinition*>(classRef));
  if (it == state_->classesByDefinition.end()) return nullptr;
  const ClassInfo* target = it->second;
  for (const ClassInfo* c = state_->UsableClass(object, "data access"); c != nullptr;
       c = c->super) {
    if (c == target) return reinterpret_cast<uint8_t*>(object) + target->dataOffset;
  }
  return nullptr;
}

void* Host::ClassData(Object object, const std::string& className) const {
  return PluginData(object, ClassRef(className));
}

// -- Properties -------------------------------------------------------------------------

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
  auto [p, owner] = FindIn(state_->UsableClass(object, "property read"), name);
  if (p == nullptr || p->type == nullptr || p->getter == nullptr) return {};
  Kind kind = state_->KindOf(p->type, false, owner);
  if (p->getter == ZARK_STANDARD_ACCESSOR) {
    const uint8_t* field = reinterpret_cast<uint8_t*>(object) + owner->dataOffset + p->parameter;
    switch (kind) {
      case Kind::kInteger:
        return ReadField<int64_t>(field);
      case Kind::kSingle:
        return ReadField<float>(field);
      case Kind::kDouble:
        return ReadField<double>(field);
      case Kind::kBoolean:
        return ReadField<uint8_t>(field) != 0;
      case Kind::kUInt8:
        return ReadField<uint8_t>(field);
      case Kind::kUInt64:
        return ReadField<uint64_t>(field);
      case Kind::kPtr:
        return ReadField<void*>(field);
      case Kind::kObject: {
        Object held = ReadField<Object>(field);
        Lock(held);
        return held;
      }
      default:
        return {};
    }
  }
  switch (kind) {
    case Kind::kInteger:
      return CallGetter<int64_t>(p, object);
    case Kind::kSingle:
      return CallGetter<float>(p, object);
    case Kind::kDouble:
      return CallGetter<double>(p, object);
    case Kind::kBoolean:
      return CallGetter<bool>(p, object);
    case Kind::kUInt8:
      return CallGetter<uint8_t>(p, object);
    case Kind::kUInt64:
      return CallGetter<uint64_t>(p, object);
    case Kind::kPtr:
      return CallGetter<void*>(p, object);
    case Kind::kObject:
      return CallGetter<Object>(p, object);
    default:
      return {};
  }
}

bool Host::SetProperty(Object object, const std::string& name, const Value& value) {
  if (object == nullptr) return false;
  auto [p, owner] = FindIn(state_->UsableClass(object, "property write"), name);
  if (p == nullptr || p->type == nullptr || p->setter == nullptr) return false;
  Kind kind = state_->KindOf(p->type, false, owner);
  bool standard = p->setter == ZARK_STANDARD_ACCESSOR;
  uint8_t* field = reinterpret_cast<uint8_t*>(object) + owner->dataOffset + p->parameter;
  switch (kind) {
    case Kind::kInteger: {
      int64_t v;
      if (!AsInt64(value, &v)) return false;
      standard ? WriteField(field, v) : CallSetter(p, object, v);
      return true;
    }
    case Kind::kSingle: {
      double v;
      if (!AsDouble(value, &v)) return false;
      standard ? WriteField(field, static_cast<float>(v))
               : CallSetter(p, object, static_cast<float>(v));
      return true;
    }
    case Kind::kDouble: {
      double v;
      if (!AsDouble(value, &v)) return false;
      standard ? WriteField(field, v) : CallSetter(p, object, v);
      return true;
    }
    case Kind::kBoolean: {
      bool v;
      if (!AsBool(value, &v)) return false;
      standard ? WriteField<uint8_t>(field, v ? 1 : 0) : CallSetter(p, object, v);
      return true;
    }
    case Kind::kUInt8: {
      uint64_t v;
      if (!AsUInt64(value, &v) || v > 255) return false;
      standard ? WriteField(field, static_cast<uint8_t>(v))
               : CallSetter(p, object, static_cast<uint8_t>(v));
      return true;
    }
    case Kind::kUInt64: {
      uint64_t v;
      if (!AsUInt64(value, &v)) return false;
      standard ? WriteField(field, v) : CallSetter(p, object, v);
      return true;
    }
    case Kind::kPtr: {
      void* v;
      if (!AsPointer(value, &v)) return false;
      standard ? WriteField(field, v) : CallSetter(p, object, v);
      return true;
    }
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

// -- Methods ----------------------------------------------------------------------------

void* Host::FindMethod(Object object, const std::string& declaration) const {
  if (object == nullptr) return nullptr;
  for (const ClassInfo* c = state_->UsableClass(object, "method lookup"); c != nullptr;
       c = c->super) {
    const ZARKclassDefinition* d = c->definition;
    for (int64_t i = 0; d->methods != nullptr && i < d->methodCount; ++i) {
      if (d->methods[i].declaration != nullptr && declaration == d->methods[i].declaration) {
        return d->methods[i].function;
      }
    }
  }
  return nullptr;
}

void Host::MissingMethod(Object object, const std::string& declaration) const {
  const ClassInfo* cls = ClassOf(object);
  throw std::runtime_error("no method \"" + declaration + "\" on " +
                           (cls != nullptr ? cls->definition->name : "object " + Describe(object)));
}

namespace {

ffi_type* FfiType(Kind kind) {
  switch (kind) {
    case Kind::kVoid:
      return &ffi_type_void;
    case Kind::kInteger:
      return &ffi_type_sint64;
    case Kind::kSingle:
      return &ffi_type_float;
    case Kind::kDouble:
      return &ffi_type_double;
    case Kind::kBoolean:
    case Kind::kUInt8:
      return &ffi_type_uint8;
    case Kind::kUInt64:
      return &ffi_type_uint64;
    default:
      return &ffi_type_pointer;
  }
}

// Storage of one argument; libffi reads it through a pointer.
struct ArgSlot {
  union {
    int64_t i;
    float f;
    double d;
    uint8_t b;
    uint64_t u;
    void* p;
  };
  bool byRefValue;
};

}  // namespace

Value Host::CallDynamic(Object object, const std::string& declaration,
                        const std::vector<Value>& args) {
  void* fn = FindMethod(object, declaration);
  if (fn == nullptr) MissingMethod(object, declaration);
  MethodDecl decl;
  if (!ParseDeclaration(declaration, &decl)) {
    throw std::invalid_argument("malformed declaration \"" + declaration + "\"");
  }
  if (decl.params.size() != args.size()) {
    throw std::invalid_argument("\"" + declaration + "\" takes " +
                                std::to_string(decl.params.size()) + " arguments, got " +
                                std::to_string(args.size()));
  }
  const ClassInfo* context = ClassOf(object);
  size_t n = args.size();
  std::vector<ArgSlot> slots(n + 1);
  std::vector<ffi_type*> types(n + 1);
  std::vector<void*> values(n + 1);
  slots[0].p = object;
  types[0] = &ffi_type_pointer;
  values[0] = &slots[0].p;
  for (size_t k = 0; k < n; ++k) {
    const ParamDecl& param = decl.params[k];
    const Value& arg = args[k];
    ArgSlot& slot = slots[k + 1];
    Kind kind = state_->KindOf(param.type, param.byRef, context);
    bool ok = true;
    switch (kind) {
      case Kind::kInteger:
        ok = AsInt64(arg, &slot.i);
        break;
      case Kind::kSingle: {
        double d = 0;
        ok = AsDouble(arg, &d);
        slot.f = static_cast<float>(d);
        break;
      }
      case Kind::kDouble:
        ok = AsDouble(arg, &slot.d);
        break;
      case Kind::kBoolean: {
        bool v = false;
        ok = AsBool(arg, &v);
        slot.b = v ? 1 : 0;
        break;
      }
      case Kind::kUInt8: {
        uint64_t v = 0;
        ok = AsUInt64(arg, &v) && v <= 255;
        slot.b = static_cast<uint8_t>(v);
        break;
      }
      case Kind::kUInt64:
        ok = AsUInt64(arg, &slot.u);
        break;
      case Kind::kBoolRef:
        // A bool* travels as is; a plain bool is passed through a local copy.
        if (auto* b = std::get_if<bool>(&arg)) {
          slot.byRefValue = *b;
          slot.p = &slot.byRefValue;
        } else {
          ok = AsPointer(arg, &slot.p);
        }
        break;
      case Kind::kPtr:
        ok = AsPointer(arg, &slot.p);
        break;
      default: {
        Object o = nullptr;
        ok = AsObject(arg, &o);
        slot.p = o;
        break;
      }
    }
    if (!ok) {
      throw std::invalid_argument("argument " + std::to_string(k + 1) + " of \"" + declaration +
                                  "\" does not convert to " + param.type);
    }
    types[k + 1] = FfiType(kind);
    values[k + 1] = &slot;
  }
  Kind resultKind = state_->KindOf(decl.result, false, context);
  ffi_cif cif;
  if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(n + 1), FfiType(resultKind),
                   types.data()) != FFI_OK) {
    throw std::runtime_error("cannot prepare a call of \"" + declaration + "\"");
  }
  union {
    ffi_arg a;
    int64_t i;
    uint64_t u;
    float f;
    double d;
    void* p;
  } result{};
  ffi_call(&cif, reinterpret_cast<void (*)()>(fn), &result, values.data());
  switch (resultKind) {
    case Kind::kVoid:
      return {};
    case Kind::kInteger:
      return result.i;
    case Kind::kSingle:
      return result.f;
    case Kind::kDouble:
      return result.d;
    case Kind::kBoolean:
      return static_cast<uint8_t>(result.a) != 0;
    case Kind::kUInt8:
      return static_cast<uint8_t>(result.a);
    case Kind::kUInt64:
      return result.u;
    case Kind::kPtr:
    case Kind::kBoolRef:
      return result.p;
    default:
      return static_cast<Object>(result.p);
  }
}

// -- Background tasks ---------------------------------------------------------------------

int32_t Host::RegisterTask(PollProc poll, uint32_t interval, Object data) {
  if (poll == nullptr) return -1;
  int32_t id = gLastTaskId.fetch_add(1) + 1;
  state_->tasks.push_back(State::Task{id, poll, interval, data});
  return id;
}

void Host::UnregisterTask(int32_t taskId) {
  auto& tasks = state_->tasks;
  tasks.erase(std::remove_if(tasks.begin(), tasks.end(),
                             [taskId](const State::Task& t) { return t.id == taskId; }),
              tasks.end());
}

size_t Host::TaskCount() const { return state_->tasks.size(); }

void Host::PumpTasks() {
  // One round over the tasks registered when it starts; a poll may register
  // or unregister tasks (itself included), so each is looked up again.
  std::vector<int32_t> ids;
  ids.reserve(state_->tasks.size());
  for (const State::Task& t : state_->tasks) ids.push_back(t.id);
  for (int32_t id : ids) {
    PollProc poll = nullptr;
    Object data = nullptr;
    for (const State::Task& t : state_->tasks) {
      if (t.id == id) {
        poll = t.poll;
        data = t.data;
        break;
      }
    }
    if (poll != nullptr) poll(data);
  }
}

bool Host::RunLoop(const std::function<bool()>& until, double timeoutSeconds) {
  auto holds = [&] { return until ? until() : false; };
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (holds()) return true;
    if (state_->tasks.empty()) return holds();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed.count() >= timeoutSeconds) return holds();
    PumpTasks();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace lumeno::host

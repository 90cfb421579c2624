// The class registry and object lifetime: reference counts, constructors and
// destructors along the chain, and the quarantine that keeps destroyed
// objects' records so that misuse of them is reported instead of touching
// reused memory.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "host/host_state.h"

namespace lumeno::host {
namespace {

std::vector<const ClassInfo*> ChainBaseFirst(const ClassInfo* cls) {
  std::vector<const ClassInfo*> chain;
  for (const ClassInfo* c = cls; c != nullptr; c = c->super) chain.push_back(c);
  std::reverse(chain.begin(), chain.end());
  return chain;
}

}  // namespace

std::string Describe(Object object) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", static_cast<void*>(object));
  return buffer;
}

const ClassInfo* Host::State::UsableClass(Object object, const char* what) {
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

Host::State::ObjectRecord* Host::State::LiveRecordLocked(Object object, const char* what) {
  auto it = objects.find(object);
  if (it == objects.end()) {
    AddErrorLocked(std::string(what) + " of unknown object " + Describe(object));
    return nullptr;
  }
  if (it->second.status != Status::kLive) {
    if (!tearingDown)
      AddErrorLocked(std::string(what) + " of destroyed object " + Describe(object));
    return nullptr;
  }
  return &it->second;
}

void Host::State::Destroy(Object object, const ClassInfo* cls) {
  for (const ClassInfo* c = cls; c != nullptr; c = c->super) {
    if (c->definition->destructor != nullptr) c->definition->destructor(object);
  }
  std::lock_guard<std::mutex> guard(objectMutex);
  auto it = objects.find(object);
  if (it != objects.end() && it->second.status == Status::kDying) {
    it->second.status = Status::kDead;
    --liveCount;
  }
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
  for (const ClassInfo* c : ChainBaseFirst(info)) {
    if (c->definition->constructor != nullptr) c->definition->constructor(object);
  }
  return object;
}

void Host::Lock(Object object) {
  if (object == nullptr) return;
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.objectMutex);
  if (s.LiveRecordLocked(object, "lock") == nullptr) return;
  std::atomic_ref<int64_t>(HeaderOf(object)->refCount).fetch_add(1);
}

void Host::Unlock(Object object) {
  if (object == nullptr) return;
  State& s = *state_;
  const ClassInfo* cls = nullptr;
  {
    std::lock_guard<std::mutex> guard(s.objectMutex);
    State::ObjectRecord* record = s.LiveRecordLocked(object, "unlock");
    if (record == nullptr) return;
    int64_t left = std::atomic_ref<int64_t>(HeaderOf(object)->refCount).fetch_sub(1) - 1;
    if (left > 0) return;
    record->status = State::Status::kDying;
    cls = HeaderOf(object)->cls;
  }
  s.Destroy(object, cls);
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

}  // namespace lumeno::host

// Host-entry wrappers: runtime and classes, and the members whose fallback
// is not zero.
#include <atomic>
#include <cstring>

#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_RUNTIME(LUMENO_DEFINE_WRAPPER)
LUMENO_WRAPPERS_WITH_FALLBACK(LUMENO_DEFINE_WRAPPER_WITH_FALLBACK)

namespace {

void* newInstanceWithClassSlot = nullptr;
void* newInstanceOfClassSlot = nullptr;
void* loadFrameworkMethodSlot = nullptr;

void* countPropertiesSlot = nullptr;
void* countPropertiesClassOfSlot = nullptr;
void* getPropertySlot = nullptr;
void* getPropertyClassOfSlot = nullptr;

// Byte offset of the data offset the host stores in a control definition.
constexpr size_t kControlDataOffsetSlot = 104;

using ClassOfProc = ZARKclassRefStruct* (*)(ZARKobjectStruct* object);

// Fills both slots through the script resolver when both are empty and
// answers the two entries (either may be null).
void FillScriptSlots(ZARKResolver scriptResolver, void*& entrySlot, const char* entryName,
                     void*& classOfSlot) {
  std::atomic_ref<void*> entry(entrySlot);
  std::atomic_ref<void*> classOf(classOfSlot);
  if (entry.load(std::memory_order_acquire) == nullptr &&
      classOf.load(std::memory_order_acquire) == nullptr) {
    entry.store(scriptResolver(entryName), std::memory_order_release);
    classOf.store(scriptResolver("RuntimeClassOf"), std::memory_order_release);
  }
}

void* LoadSlot(void*& slot) { return std::atomic_ref<void*>(slot).load(std::memory_order_acquire); }

}  // namespace

ZARKobjectStruct* ZARKnewInstanceWithClass(ZARKclassRefStruct* classRef) {
  void* entry = lumeno::shell::ResolveSlot(newInstanceWithClassSlot, "CreateInstance");
  if (entry == nullptr || classRef == nullptr) return nullptr;
  return reinterpret_cast<ZARKobjectStruct* (*)(ZARKclassRefStruct*)>(entry)(classRef);
}

ZARKobjectStruct* ZARKnewInstance(ZARKclassRefStruct* classRef) {
  return ZARKnewInstanceWithClass(classRef);
}

ZARKobjectStruct* ZARKnewInstanceOfClass(ZARKclassDefinition* definition) {
  void* entry = lumeno::shell::ResolveSlot(newInstanceOfClassSlot, "PluginNewInstanceOfClass");
  if (entry != nullptr) {
    return reinterpret_cast<ZARKobjectStruct* (*)(ZARKclassDefinition*)>(entry)(definition);
  }
  // Older hosts: find the registered class by the definition's name.
  ZARKclassRefStruct* classRef = ZARKGetClassRef(definition->name);
  if (classRef == nullptr) return nullptr;
  return ZARKnewInstanceWithClass(classRef);
}

void* ZARKLoadFrameworkMethod(const char* declaration) {
  void* entry = lumeno::shell::ResolveSlot(loadFrameworkMethodSlot, "ZARKLoadGlobalMethod");
  if (entry == nullptr) return nullptr;
  // Framework methods belong to no module.
  return reinterpret_cast<void* (*)(const char*, const char*)>(entry)(nullptr, declaration);
}

void* ZARKLoadGlobalMethod(const char* /*module*/, const char* declaration) {
  return ZARKLoadFrameworkMethod(declaration);
}

void* ZARKGetClassData(ZARKobjectStruct* instance, ZARKclassDefinition* definition) {
  return reinterpret_cast<char*>(instance) + definition->dataOffset;
}

void* ZARKGetControlData(ZARKobjectStruct* instance, ZARKcontrolDefinition* definition) {
  int64_t offset = 0;
  std::memcpy(&offset, reinterpret_cast<const char*>(definition) + kControlDataOffsetSlot,
              sizeof offset);
  return reinterpret_cast<char*>(instance) + offset;
}

int32_t ZARKCountClassProperties(ZARKobjectStruct* object) {
  static const ZARKResolver scriptResolver =
      reinterpret_cast<ZARKResolver>(CallResolver("GetHXScriptResolver"));
  if (scriptResolver == nullptr) return 0;
  FillScriptSlots(scriptResolver, countPropertiesSlot, "ZARKCountClassProperties",
                  countPropertiesClassOfSlot);
  void* count = LoadSlot(countPropertiesSlot);
  void* classOf = LoadSlot(countPropertiesClassOfSlot);
  if (count == nullptr || classOf == nullptr) return 0;
  ZARKclassRefStruct* classRef = reinterpret_cast<ClassOfProc>(classOf)(object);
  if (classRef == nullptr) return 0;
  return reinterpret_cast<int32_t (*)(ZARKclassRefStruct*)>(count)(classRef);
}

bool ZARKGetClassProperty(ZARKobjectStruct* object, int32_t index, void** getter, void** setter,
                          intptr_t* parameter, const char** declaration) {
  static const ZARKResolver scriptResolver =
      reinterpret_cast<ZARKResolver>(CallResolver("GetHXScriptResolver"));
  if (scriptResolver == nullptr) return false;
  FillScriptSlots(scriptResolver, getPropertySlot, "ZARKGetClassProperty", getPropertyClassOfSlot);
  void* property = LoadSlot(getPropertySlot);
  void* classOf = LoadSlot(getPropertyClassOfSlot);
  if (property == nullptr || classOf == nullptr) return false;
  ZARKclassRefStruct* classRef = reinterpret_cast<ClassOfProc>(classOf)(object);
  if (classRef == nullptr) return false;
  using PropertyProc =
      bool (*)(ZARKclassRefStruct*, int32_t, void**, void**, intptr_t*, const char**);
  return reinterpret_cast<PropertyProc>(property)(classRef, index, getter, setter, parameter,
                                                  declaration);
}

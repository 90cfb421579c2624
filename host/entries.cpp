// The entries the resolver hands out to plug-ins: plain functions that carry
// no context and forward to the current Host, doing nothing without one.
#include "host/host_state.h"
#include "host/records.h"

namespace lumeno::host {

struct Entries {
  static void RegisterPluginVersionEntry(int32_t version) {
    if (Host* h = Host::Current()) h->state_->pluginVersion = version;
  }
  static double GetHXVersionEntry() {
    Host* h = Host::Current();
    return h != nullptr ? h->state_->options.version : 0.0;
  }
  static ZARKclassRefStruct* ObjectTypeEntry(const char* name) {
    Host* h = Host::Current();
    return h != nullptr && name != nullptr ? h->ClassRef(name) : nullptr;
  }
  static void LockEntry(Object object) {
    if (Host* h = Host::Current()) h->Lock(object);
  }
  static void UnlockEntry(Object object) {
    if (Host* h = Host::Current()) h->Unlock(object);
  }
  static void InstallInstanceEventHandlerEntry(void*, void*) {}
  static void RegisterModuleEntry(ZARKmoduleDefinition* module) {
    if (Host* h = Host::Current()) h->RegisterModule(module);
  }
  static void RegisterClassEntry(ZARKclassDefinition* definition) {
    if (Host* h = Host::Current()) h->RegisterClass(definition);
  }
  static Object CreateInstanceEntry(ZARKclassRefStruct* classRef) {
    Host* h = Host::Current();
    return h != nullptr ? h->NewWithClass(classRef) : nullptr;
  }
  static void* GetPluginDataEntry(Object object, ZARKclassRefStruct* classRef) {
    Host* h = Host::Current();
    return h != nullptr ? h->PluginData(object, classRef) : nullptr;
  }
  static void* LoadObjectMethodEntry(Object object, const char* declaration) {
    Host* h = Host::Current();
    return h != nullptr && declaration != nullptr ? h->FindMethod(object, declaration) : nullptr;
  }
  static bool GetPropValueSingleEntry(Object object, const char* name, float* out) {
    Host* h = Host::Current();
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
    Host* h = Host::Current();
    return h != nullptr ? h->RegisterTask(poll, interval, data) : -1;
  }
  static void UnregisterBackgroundTaskEntry(int32_t taskId) {
    if (Host* h = Host::Current()) h->UnregisterTask(taskId);
  }
};

void* BuiltinEntry(const std::string& name) {
  using records::Function;
  static const std::map<std::string, void*> entries = {
      {"RegisterPluginVersion", Function(&Entries::RegisterPluginVersionEntry)},
      {"ZARKGetHXVersion", Function(&Entries::GetHXVersionEntry)},
      {"pluginObjectType", Function(&Entries::ObjectTypeEntry)},
      {"ZARKLockObject", Function(&Entries::LockEntry)},
      {"ZARKUnlockObject", Function(&Entries::UnlockEntry)},
      {"RuntimeInstallInstanceEventHandler", Function(&Entries::InstallInstanceEventHandlerEntry)},
      {"PluginRegisterModule", Function(&Entries::RegisterModuleEntry)},
      {"PluginRegisterClass", Function(&Entries::RegisterClassEntry)},
      {"CreateInstance", Function(&Entries::CreateInstanceEntry)},
      {"PluginGetPluginData", Function(&Entries::GetPluginDataEntry)},
      {"ZARKLoadObjectMethod", Function(&Entries::LoadObjectMethodEntry)},
      {"ZARKGetPropValueSingle", Function(&Entries::GetPropValueSingleEntry)},
      {"PluginRegisterBackgroundTask", Function(&Entries::RegisterBackgroundTaskEntry)},
      {"PluginUnregisterBackgroundTask", Function(&Entries::UnregisterBackgroundTaskEntry)},
  };
  auto it = entries.find(name);
  return it != entries.end() ? it->second : nullptr;
}

}  // namespace lumeno::host

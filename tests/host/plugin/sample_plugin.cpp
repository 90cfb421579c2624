// A minimal plug-in for the host's loading tests: it registers one class and
// counts how often its entry ran in this copy of the library. Like a real
// plug-in it resolves the lock entries once and keeps them for the process.
#include <cstdint>

#include "lumeno/zark.h"

namespace {

int64_t gStarts = 0;
ZARKResolver gHostResolver = nullptr;
void (*gLock)(ZARKobjectStruct*) = nullptr;
void (*gUnlock)(ZARKobjectStruct*) = nullptr;

int64_t GetStarts(ZARKobjectStruct*, intptr_t) { return gStarts; }

// Takes and drops a hold through the entries cached at the first start.
void Touch(ZARKobjectStruct*, ZARKobjectStruct* other) {
  gLock(other);
  gUnlock(other);
}

ZARKpropertyDefinition gProperties[1];
ZARKmethodDefinition gMethods[1];
ZARKclassDefinition gClass;

}  // namespace

extern "C" __attribute__((visibility("default"))) void ZARKPluginMain(ZARKResolver resolver) {
  gHostResolver = resolver;
  ++gStarts;
  reinterpret_cast<void (*)(int32_t)>(resolver("RegisterPluginVersion"))(13);
  if (gLock == nullptr) {
    gLock = reinterpret_cast<void (*)(ZARKobjectStruct*)>(resolver("ZARKLockObject"));
    gUnlock = reinterpret_cast<void (*)(ZARKobjectStruct*)>(resolver("ZARKUnlockObject"));
  }
  gProperties[0].name = "Starts";
  gProperties[0].type = "Integer";
  gProperties[0].flags = 4;
  gProperties[0].getter = reinterpret_cast<void*>(&GetStarts);
  gMethods[0].function = reinterpret_cast<void*>(&Touch);
  gMethods[0].declaration = "Touch(other as Object)";
  gMethods[0].flags = 4;
  gClass.version = kZARKRecordVersion;
  gClass.name = "SampleRaw";
  gClass.dataSize = 8;
  gClass.properties = gProperties;
  gClass.propertyCount = 1;
  gClass.methods = gMethods;
  gClass.methodCount = 1;
  gClass.interfaces = "";
  reinterpret_cast<void (*)(ZARKclassDefinition*)>(resolver("PluginRegisterClass"))(&gClass);
}

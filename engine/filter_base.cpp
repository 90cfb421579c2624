// MPImageFilterRaw: the base class of every effect. Its data carries the
// engine table and the multiprocessing, progress and error state; its
// records describe it to the host.
#include "engine/filter_base.h"

namespace {

// -- Construction -------------------------------------------------------------

void Construct(ZARKobjectStruct* self) {
  MPImageFilterData* data = FilterData(self);
  *data = {};
  data->engine = &kEngineOperations;
  data->maximumCPUCores = 8;
}

void Destruct(ZARKobjectStruct* self) {
  MPImageFilterData* data = FilterData(self);
  if (data->asyncRun != nullptr) lumeno::EndAsyncRunOnDestruction(self, data);
  for (ZARKobjectStruct** held :
       {&data->progressHandler, &data->asyncResult, &data->completeTarget}) {
    if (*held != nullptr) ZARKUnlockObject(*held);
    *held = nullptr;
  }
}

// -- Custom accessors ---------------------------------------------------------

// The progress handler's holds go through the entries cached at start-up,
// also for an empty reference.
void LockCached(ZARKobjectStruct* object) {
  if (ELockObject != nullptr) ELockObject(object);
}
void UnlockCached(ZARKobjectStruct* object) {
  if (EUnlockObject != nullptr) EUnlockObject(object);
}

ZARKobjectStruct* GetProgressHandler(ZARKobjectStruct* self, intptr_t) {
  ZARKobjectStruct* handler = FilterData(self)->progressHandler;
  LockCached(handler);
  return handler;
}
void SetProgressHandler(ZARKobjectStruct* self, intptr_t, ZARKobjectStruct* handler) {
  MPImageFilterData* data = FilterData(self);
  UnlockCached(data->progressHandler);
  data->progressHandler = handler;
  LockCached(handler);
}

int64_t GetCPUCoreCount(ZARKobjectStruct*, intptr_t) { return MachineCoreCount(); }
bool GetCanceled(ZARKobjectStruct* self, intptr_t) { return FilterData(self)->canceled; }
ZARKobjectStruct* GetAsyncResult(ZARKobjectStruct* self, intptr_t) {
  return GetHeldObject(&FilterData(self)->asyncResult);
}
bool GetAsyncCompleted(ZARKobjectStruct* self, intptr_t) {
  return FilterData(self)->asyncRun == nullptr;
}

using lumeno::Entry;
using lumeno::Field;
using lumeno::Property;

const ZARKmethodDefinition kMethods[] = {
    lumeno::Method(&lumeno::CancelFilter, "Cancel()"),
};

}  // namespace

// The properties in their registered order; the standard accessors address
// fields of MPImageFilterData.
ZARKpropertyDefinition MPImageFilterPropertiesRaw[9] = {
    Property("ProgressHandler", "IProgressHandlerV2", Entry(&GetProgressHandler),
             Entry(&SetProgressHandler)),
    Field("ErrorCode", "Integer", offsetof(MPImageFilterData, errorCode), false),
    Field("MultiprocessingHint", "Integer", offsetof(MPImageFilterData, multiprocessingHint)),
    Property("CPUCoreCount", "Integer", Entry(&GetCPUCoreCount), nullptr),
    Property("Canceled", "Boolean", Entry(&GetCanceled), nullptr),
    Property("AsyncResult", "RawBitmap", Entry(&GetAsyncResult), nullptr),
    Property("AsyncCompleted", "Boolean", Entry(&GetAsyncCompleted), nullptr),
    Field("MaximumCPUCores", "Integer", offsetof(MPImageFilterData, maximumCPUCores), false),
    Field("ForceThreads", "Boolean", offsetof(MPImageFilterData, forceThreads)),
};

ZARKconstantDefinition LumenoCPUUsageConstantsRaw[10] = {
#define LUMENO_CPU_CONSTANT(name, value) {#name " = " #value, {}},
    LUMENO_CPU_USAGE_CONSTANTS(LUMENO_CPU_CONSTANT)
#undef LUMENO_CPU_CONSTANT
};

ZARKclassDefinition MPImageFilterRaw = lumeno::Class({
    .name = "MPImageFilterRaw",
    .superName = nullptr,
    .dataSize = sizeof(MPImageFilterData),
    .constructor = &Construct,
    .destructor = &Destruct,
    .properties = MPImageFilterPropertiesRaw,
    .methods = kMethods,
    .interfaces = "",
    .constants = LumenoCPUUsageConstantsRaw,
});

const MPEngineOperations kEngineOperations = {
    &lumeno::RunFilterRows,           &lumeno::StartFilterRowsAsync, &lumeno::ApplyFilter,
    &lumeno::ApplyFilterInPlace,      &lumeno::GetMapEffectProc,     &lumeno::ApplyFilterAsync,
    &lumeno::ApplyFilterInPlaceAsync,
};

// -- Held object references ------------------------------------------------------

ZARKobjectStruct* GetHeldObject(ZARKobjectStruct* const* field) {
  ZARKobjectStruct* object = *field;
  if (object != nullptr) ZARKLockObject(object);
  return object;
}

void SetHeldObject(ZARKobjectStruct** field, ZARKobjectStruct* value) {
  if (*field != nullptr) ZARKUnlockObject(*field);
  *field = value;
  if (value != nullptr) ZARKLockObject(value);
}

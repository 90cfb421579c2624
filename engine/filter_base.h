// MPImageFilterRaw as the effects see it: its definition record, the one
// engine table, and the helpers of the effect class frame.
#pragma once

#include "lumeno/engine.h"
#include "shell/class_list.h"
#include "shell/host_services.h"

extern const MPEngineOperations kEngineOperations;

// The MPImageFilterData of any filter object.
inline MPImageFilterData* FilterData(ZARKobjectStruct* self) {
  return static_cast<MPImageFilterData*>(ZARKGetClassData(self, &MPImageFilterRaw));
}

// Machine core count (cached once non-zero) and the thread-count and band
// policies of a run, as pure functions.
int64_t MachineCoreCount();
int32_t ThreadCountFor(int32_t height, int32_t multiprocessingHint, int32_t automaticThreadCount,
                       int64_t machineCores, int64_t maximumCPUCores);
void CutBands(int32_t height, int32_t count, FilterJob* jobs, GenericMPParams* params);

// Accessors every effect uses for its `Mask` property (an object reference
// held in the effect's data): read returns a new hold, write swaps holds.
ZARKobjectStruct* GetHeldObject(ZARKobjectStruct* const* field);
void SetHeldObject(ZARKobjectStruct** field, ZARKobjectStruct* value);

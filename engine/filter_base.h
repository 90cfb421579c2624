// MPImageFilterRaw as the effects see it: its definition record, the one
// engine table, and the helpers every effect class uses (the effect frame,
// engine/effect_frame.h, builds on them; grayscale and blend use them
// directly).
#pragma once

#include <pthread.h>

#include <cstdlib>
#include <type_traits>

#include "engine/row_walker.h"
#include "lumeno/declarations.h"
#include "lumeno/engine.h"
#include "shell/class_list.h"
#include "shell/host_services.h"
#include "shell/records.h"

extern const MPEngineOperations kEngineOperations;

// Exported record tables of the base class.
extern LUMENO_EXPORT ZARKpropertyDefinition MPImageFilterPropertiesRaw[9];
extern LUMENO_EXPORT ZARKconstantDefinition LumenoCPUUsageConstantsRaw[10];

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

namespace lumeno {

// The `Mask` property of an effect class (definition record kRecord) whose
// instance data Data holds the stored RawBitmapMask in `mask`: the
// accessors, the property's definition row and the release its destructor
// makes.
template <typename Data, ZARKclassDefinition* kRecord>
struct MaskMember {
  static Data* Of(ZARKobjectStruct* self) {
    return static_cast<Data*>(ZARKGetClassData(self, kRecord));
  }
  static ZARKobjectStruct* Get(ZARKobjectStruct* self, intptr_t) {
    return GetHeldObject(&Of(self)->mask);
  }
  static void Set(ZARKobjectStruct* self, intptr_t, ZARKobjectStruct* mask) {
    SetHeldObject(&Of(self)->mask, mask);
  }
  // Drops the stored mask's hold (the class's destructor).
  static void Release(ZARKobjectStruct* self) {
    Data* own = Of(self);
    if (own->mask != nullptr) ZARKUnlockObject(own->mask);
    own->mask = nullptr;
  }
  static ZARKpropertyDefinition Property() {
    return lumeno::Property("Mask", "RawBitmapMask", Entry(&Get), Entry(&Set));
  }
};

}  // namespace lumeno

// One active asynchronous run, owned by the filter through `asyncRun`. The
// fields after `releaseParamsProc` are the engine's own bookkeeping: which
// band threads really started, and the holds that keep the run's progress
// handler and mask alive until the run ends.
struct AsyncFilterRun {
  ZARKobjectStruct* sourceObject;  // held
  FilterJob jobs[kMaxFilterThreads];
  pthread_t threads[kMaxFilterThreads];
  GenericMPParams* params;
  int32_t threadCount;
  int32_t backgroundTaskId;  // -1 when no poll is registered
  ProgressProc progressProc;
  ReleaseParamsProc releaseParamsProc;
  bool threadStarted[kMaxFilterThreads];
  ZARKobjectStruct* progressHandler;  // held: the handler progressProc belongs to
  ZARKobjectStruct* maskObject;       // held: the mask the workers read
};

namespace lumeno {

// The engine operations (slots of kEngineOperations), each declared with
// the type of its slot in MPEngineOperations (lumeno/engine.h), which names
// the parameters, so declaration and slot cannot differ.
template <typename Slot>
using Operation = std::remove_pointer_t<Slot>;
Operation<decltype(MPEngineOperations::RunFilterRows)> RunFilterRows;
Operation<decltype(MPEngineOperations::StartFilterRowsAsync)> StartFilterRowsAsync;
Operation<decltype(MPEngineOperations::ApplyFilter)> ApplyFilter;
Operation<decltype(MPEngineOperations::ApplyFilterInPlace)> ApplyFilterInPlace;
Operation<decltype(MPEngineOperations::GetMapEffectProc)> GetMapEffectProc;
Operation<decltype(MPEngineOperations::ApplyFilterAsync)> ApplyFilterAsync;
Operation<decltype(MPEngineOperations::ApplyFilterInPlaceAsync)> ApplyFilterInPlaceAsync;

// Shared by the synchronous and asynchronous operations.
// Code 5 or 6 when the source's colour space or depth is refused, else 0.
LumenoRawError CheckSource(const RawBitmap& source, signed char depthFlags);
// The destination format for a source (gray promotion, format zero).
int64_t DestinationFormat(const RawBitmap& source, signed char destinationOptions);
// Fills the context from the source and destination records and the filter.
void FillContext(GenericMPParams* params, const MPImageFilterData& data, RawBitmap* source,
                 RawBitmap* destination);
// Sets `mask` from the mask object and picks the worker it calls for.
FilterRowProc ChooseWorker(GenericMPParams* params, ZARKobjectStruct* maskObject,
                           FilterRowProc plainWorker, FilterRowProc maskedWorker);

// Ends the active asynchronous run (joins its bands, drops its holds,
// releases its context); nothing happens without one. Used by the poll and
// by Cancel().
void EndAsyncRun(ZARKobjectStruct* self, MPImageFilterData* data);
// The destructor's part: stops and ends an active run without completion.
void EndAsyncRunOnDestruction(ZARKobjectStruct* self, MPImageFilterData* data);
// "Cancel()".
void CancelFilter(ZARKobjectStruct* self);

// -- Effect helpers ------------------------------------------------------------

// Stores a failure code for ErrorCode; returns the null result of the call.
inline ZARKobjectStruct* FailWith(MPImageFilterData* data, LumenoRawError code) {
  data->errorCode = code;
  return nullptr;
}

// What an effect hands the engine for one source: the worker pair picked for
// its depth and the matching depthFlags.
struct EffectWorkers {
  WorkerPair workers;
  signed char depthFlags;
};

// The usual choice: 8 or 16 bits with the per-channel kernel's workers
// (depthFlags 5 or 6). False for any other depth.
template <template <int> class Kernel>
inline bool ChannelWorkersFor(const RawBitmap& source, EffectWorkers* out) {
  if (source.bitsPerChannel == 16) {
    *out = {kChannelWorkers<Kernel, 16>, static_cast<signed char>(kDepth16 | kDepthLibraryMark)};
    return true;
  }
  if (source.bitsPerChannel == 8) {
    *out = {kChannelWorkers<Kernel, 8>, static_cast<signed char>(kDepth8 | kDepthLibraryMark)};
    return true;
  }
  return false;
}

// A zero-filled heap context for an asynchronous run; the engine frees it.
template <typename Params>
inline Params* NewAsyncParams() {
  return static_cast<Params*>(std::calloc(1, sizeof(Params)));
}

}  // namespace lumeno

// Asynchronous runs: band threads that outlive the starting call, a poll on
// the host's thread that reports progress and ends the run, the completion
// call, Cancel() and the destructor's part.
#include <cstdlib>

#include "engine/filter_base.h"

namespace lumeno {
namespace {

// The host calls the poll about every this many (host-defined) units.
constexpr uint32_t kPollInterval = 25;

using CompletionProc = void (*)(ZARKobjectStruct* target, ZARKobjectStruct* filter);

// Hands the context back: the callback decides (zero: it took the context
// over); without a callback the engine frees it.
void ReleaseContext(ZARKobjectStruct* self, ReleaseParamsProc releaseParamsProc,
                    GenericMPParams* params) {
  if (params == nullptr) return;
  if (releaseParamsProc == nullptr || releaseParamsProc(self, params) != 0) std::free(params);
}

void JoinBands(AsyncFilterRun* run) {
  for (int32_t i = 0; i < run->threadCount; ++i) {
    if (run->threadStarted[i]) pthread_join(run->threads[i], nullptr);
    run->threadStarted[i] = false;
  }
}

// Drops the run record and every hold of the run, also when no poll could be
// registered: nothing else would ever drop them. The filter's own hold goes
// last, after `asyncRun` is cleared, so that a destructor it triggers finds
// no run.
void FinishRun(ZARKobjectStruct* self, MPImageFilterData* data) {
  AsyncFilterRun* run = data->asyncRun;
  ReleaseContext(self, run->releaseParamsProc, run->params);
  ZARKobjectStruct* source = run->sourceObject;
  ZARKobjectStruct* handler = run->progressHandler;
  ZARKobjectStruct* mask = run->maskObject;
  std::free(run);
  data->asyncRun = nullptr;
  ZARKUnlockObject(mask);
  ZARKUnlockObject(handler);
  ZARKUnlockObject(source);
  ZARKUnlockObject(self);
}

// Called by the host on its own thread with the filter object.
void PollRun(ZARKobjectStruct* self) {
  MPImageFilterData* data = FilterData(self);
  AsyncFilterRun* run = data->asyncRun;
  if (run == nullptr) return;
  GenericMPParams* params = run->params;
  CancelFlag(*params).store(data->canceled, std::memory_order_relaxed);
  // The method was looked up on the handler of the run's start, which the
  // run holds; a handler replaced since then does not receive it.
  if (run->progressProc != nullptr) {
    run->progressProc(run->progressHandler,
                      static_cast<uint64_t>(RowsDone(*params).load(std::memory_order_relaxed)),
                      static_cast<uint64_t>(static_cast<int64_t>(params->height)), 0,
                      &params->cancel);
    // The handler may have ended the run itself (Cancel() from its script).
    if (data->asyncRun != run) return;
  }
  if (!CancelFlag(*params).load(std::memory_order_relaxed)) {
    for (int32_t i = 0; i < run->threadCount; ++i) {
      if (!JobDone(run->jobs[i]).load(std::memory_order_acquire)) return;
    }
  }
  ZARKLockObject(self);
  EndAsyncRun(self, data);
  if (!data->canceled && data->completeTarget != nullptr && data->completeMethod != nullptr) {
    reinterpret_cast<CompletionProc>(data->completeMethod)(data->completeTarget, self);
  }
  ZARKUnlockObject(self);
}

// Starts a run; `maskObject` is held for the run when given.
void StartRun(ZARKobjectStruct* self, MPImageFilterData* data, ZARKobjectStruct* sourceObject,
              GenericMPParams* params, FilterRowProc worker, int32_t automaticThreadCount,
              ReleaseParamsProc releaseParamsProc, ZARKobjectStruct* maskObject) {
  auto* run = static_cast<AsyncFilterRun*>(std::calloc(1, sizeof(AsyncFilterRun)));
  if (run == nullptr) {
    ReleaseContext(self, releaseParamsProc, params);
    FailWith(data, kLumeno_OUT_OF_MEMORY);
    return;
  }
  data->asyncRun = run;
  run->params = params;
  run->sourceObject = sourceObject;
  run->progressHandler = params->progressHandler;
  run->progressProc = GetProgressProc(params->progressHandler);
  run->releaseParamsProc = releaseParamsProc;
  run->backgroundTaskId = -1;
  run->maskObject = maskObject;
  ZARKLockObject(run->progressHandler);
  ZARKLockObject(maskObject);
  ZARKLockObject(sourceObject);
  RowsDone(*params).store(0, std::memory_order_relaxed);
  CancelFlag(*params).store(false, std::memory_order_relaxed);
  ZARKLockObject(self);

  run->threadCount =
      ThreadCountFor(params->height, params->multiprocessingHint, automaticThreadCount,
                     MachineCoreCount(), data->maximumCPUCores);
  CutBands(params->height, run->threadCount, run->jobs, params);
  for (int32_t i = 0; i < run->threadCount; ++i) {
    run->threadStarted[i] = pthread_create(&run->threads[i], nullptr, worker, &run->jobs[i]) == 0;
  }
  // A band whose thread could not be created runs here, before the call
  // returns; the poll then finds it done.
  for (int32_t i = 0; i < run->threadCount; ++i) {
    if (!run->threadStarted[i]) worker(&run->jobs[i]);
  }
  run->backgroundTaskId = ZARKRegisterBackgroundTask(&PollRun, kPollInterval, self);
}

// The part both asynchronous operations share after their own checks.
bool RefuseStart(ZARKobjectStruct* self, MPImageFilterData* data, GenericMPParams* params,
                 const RawBitmap& source, signed char depthFlags,
                 ReleaseParamsProc releaseParamsProc) {
  data->errorCode = kLumeno_NO_ERROR;
  LumenoRawError refused = kLumeno_ASYNC_METHOD_ALLREADY_RUNNING_ON_THIS_INSTANCE;
  if (data->asyncRun == nullptr) refused = CheckSource(source, depthFlags);
  if (refused == kLumeno_NO_ERROR) return false;
  data->errorCode = refused;
  ReleaseContext(self, releaseParamsProc, params);
  return true;
}

void StoreCompletion(MPImageFilterData* data, ZARKobjectStruct* completeTarget,
                     void* completeMethod) {
  ZARKobjectStruct* previous = data->completeTarget;
  ZARKLockObject(completeTarget);
  data->completeTarget = completeTarget;
  data->completeMethod = completeMethod;
  ZARKUnlockObject(previous);
}

void DropAsyncResult(MPImageFilterData* data) {
  ZARKobjectStruct* previous = data->asyncResult;
  data->asyncResult = nullptr;
  ZARKUnlockObject(previous);
}

}  // namespace

void StartFilterRowsAsync(ZARKobjectStruct* self, MPImageFilterData* data,
                          ZARKobjectStruct* sourceObject, GenericMPParams* params,
                          FilterRowProc worker, int32_t automaticThreadCount,
                          ReleaseParamsProc releaseParamsProc) {
  StartRun(self, data, sourceObject, params, worker, automaticThreadCount, releaseParamsProc,
           nullptr);
}

void ApplyFilterAsync(ZARKobjectStruct* self, MPImageFilterData* data,
                      ZARKobjectStruct* sourceObject, GenericMPParams* params,
                      FilterRowProc plainWorker, FilterRowProc maskedWorker, RawBitmap* source,
                      ZARKobjectStruct* maskObject, int32_t automaticThreadCount,
                      signed char depthFlags, signed char destinationOptions,
                      ZARKobjectStruct* completeTarget, void* completeMethod,
                      ReleaseParamsProc releaseParamsProc) {
  if (RefuseStart(self, data, params, *source, depthFlags, releaseParamsProc)) return;
  // Format zero is a synchronous option only.
  const int64_t format = DestinationFormat(
      *source, static_cast<signed char>(destinationOptions & ~kDestinationFormatZero));
  DropAsyncResult(data);
  data->asyncResult =
      CreateRawBitmap(source->width, source->height, 0, format, &params->destination);
  if (data->asyncResult == nullptr) {
    data->errorCode = kLumeno_UNABLE_TO_CREATE_DESTINATION;
    ReleaseContext(self, releaseParamsProc, params);
    return;
  }
  StoreCompletion(data, completeTarget, completeMethod);
  RawBitmap* destination = params->destination;
  if ((destinationOptions & kDestinationCopyExtraData) != 0 && source->extraRef != 0) {
    CopyExtraData(*source, *destination);
  }
  CopyMetadata(*source, *destination);
  FillContext(params, *data, source, destination);
  const FilterRowProc worker = ChooseWorker(params, maskObject, plainWorker, maskedWorker);
  StartRun(self, data, sourceObject, params, worker, automaticThreadCount, releaseParamsProc,
           maskObject);
  data->canceled = false;
}

void ApplyFilterInPlaceAsync(ZARKobjectStruct* self, MPImageFilterData* data,
                             ZARKobjectStruct* sourceObject, GenericMPParams* params,
                             FilterRowProc plainWorker, FilterRowProc maskedWorker,
                             RawBitmap* source, ZARKobjectStruct* maskObject,
                             int32_t automaticThreadCount, signed char depthFlags,
                             ZARKobjectStruct* completeTarget, void* completeMethod,
                             ReleaseParamsProc releaseParamsProc) {
  if (RefuseStart(self, data, params, *source, depthFlags, releaseParamsProc)) return;
  StoreCompletion(data, completeTarget, completeMethod);
  ZARKLockObject(sourceObject);
  DropAsyncResult(data);
  data->asyncResult = sourceObject;
  FillContext(params, *data, source, source);
  const FilterRowProc worker = ChooseWorker(params, maskObject, plainWorker, maskedWorker);
  StartRun(self, data, sourceObject, params, worker, automaticThreadCount, releaseParamsProc,
           maskObject);
  data->canceled = false;
}

void EndAsyncRun(ZARKobjectStruct* self, MPImageFilterData* data) {
  AsyncFilterRun* run = data->asyncRun;
  if (run == nullptr) return;
  JoinBands(run);
  if (run->backgroundTaskId != -1) {
    ZARKUnregisterBackgroundTask(run->backgroundTaskId);
    run->backgroundTaskId = -1;
  }
  FinishRun(self, data);
}

void EndAsyncRunOnDestruction(ZARKobjectStruct* self, MPImageFilterData* data) {
  AsyncFilterRun* run = data->asyncRun;
  if (run == nullptr) return;
  data->canceled = true;
  CancelFlag(*run->params).store(true, std::memory_order_relaxed);
  if (run->backgroundTaskId != -1) {
    ZARKUnregisterBackgroundTask(run->backgroundTaskId);
    run->backgroundTaskId = -1;
  }
  JoinBands(run);
  FinishRun(self, data);
}

void CancelFilter(ZARKobjectStruct* self) {
  MPImageFilterData* data = FilterData(self);
  data->canceled = true;
  if (data->asyncRun == nullptr) return;
  CancelFlag(*data->asyncRun->params).store(true, std::memory_order_relaxed);
  EndAsyncRun(self, data);
}

}  // namespace lumeno

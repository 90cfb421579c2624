// The synchronous run: rows cut into bands on up to eight threads, progress
// calls on the calling thread or a progress thread, and the two synchronous
// engine operations that check the source and create the destination.
#include <time.h>

#include "engine/filter_base.h"

namespace lumeno {
namespace {

// Rows per chunk of the single-threaded mode between two progress calls.
constexpr int32_t kProgressChunkRows = 100;
// Pause between two calls of the progress thread.
constexpr long kProgressIntervalNanoseconds = 2'000'000;

struct ProgressLoop {
  ProgressProc progress;
  GenericMPParams* params;
};

void CallProgress(ProgressProc progress, GenericMPParams* params, int32_t value) {
  progress(params->progressHandler, static_cast<uint64_t>(static_cast<int64_t>(value)),
           static_cast<uint64_t>(static_cast<int64_t>(params->height)), 0, &params->cancel);
}

// The progress thread: reports rowsDone until it reaches the height, which
// the calling thread forces once every band has been joined.
void* RunProgressLoop(void* argument) {
  const ProgressLoop& loop = *static_cast<ProgressLoop*>(argument);
  GenericMPParams* params = loop.params;
  for (;;) {
    const int32_t done = RowsDone(*params).load(std::memory_order_relaxed);
    if (done >= params->height) break;
    CallProgress(loop.progress, params, done);
    const timespec pause = {0, kProgressIntervalNanoseconds};
    nanosleep(&pause, nullptr);
  }
  return nullptr;
}

void RunOnCallingThread(GenericMPParams* params, FilterRowProc worker, ProgressProc progress) {
  if (progress == nullptr) {
    FilterJob job = {0, params->height, false, params};
    worker(&job);
    return;
  }
  // The chunk loop leaves cancel to the worker: after a request every later
  // chunk still processes its first row.
  for (int32_t start = 0; start < params->height;) {
    const int32_t end =
        params->height - start > kProgressChunkRows ? start + kProgressChunkRows : params->height;
    FilterJob job = {start, end, false, params};
    worker(&job);
    CallProgress(progress, params, RowsDone(*params).load(std::memory_order_relaxed));
    start = end;
  }
}

// Bands whose thread could not be created run on the calling thread once the
// other threads are under way; only started threads are joined.
void RunOnThreads(GenericMPParams* params, FilterRowProc worker, ProgressProc progress,
                  int32_t count) {
  FilterJob jobs[kMaxFilterThreads];
  pthread_t threads[kMaxFilterThreads];
  bool started[kMaxFilterThreads] = {};
  CutBands(params->height, count, jobs, params);
  for (int32_t i = 0; i < count; ++i) {
    started[i] = pthread_create(&threads[i], nullptr, worker, &jobs[i]) == 0;
  }
  ProgressLoop loop = {progress, params};
  pthread_t progressThread;
  const bool progressStarted =
      progress != nullptr && pthread_create(&progressThread, nullptr, &RunProgressLoop, &loop) == 0;
  for (int32_t i = 0; i < count; ++i) {
    if (!started[i]) worker(&jobs[i]);
  }
  for (int32_t i = 0; i < count; ++i) {
    if (started[i]) pthread_join(threads[i], nullptr);
  }
  if (progress != nullptr) RowsDone(*params).store(params->height, std::memory_order_relaxed);
  if (progressStarted) pthread_join(progressThread, nullptr);
}

}  // namespace

void RunFilterRows(MPImageFilterData* data, GenericMPParams* params, FilterRowProc worker,
                   int32_t automaticThreadCount) {
  RowsDone(*params).store(0, std::memory_order_relaxed);
  CancelFlag(*params).store(false, std::memory_order_relaxed);
  const ProgressProc progress = GetProgressProc(params->progressHandler);
  const int32_t count =
      ThreadCountFor(params->height, params->multiprocessingHint, automaticThreadCount,
                     MachineCoreCount(), data->maximumCPUCores);
  if (count < 2 && !data->forceThreads) {
    RunOnCallingThread(params, worker, progress);
  } else {
    RunOnThreads(params, worker, progress, count);
  }
  if (progress != nullptr) CallProgress(progress, params, params->height);
}

LumenoRawError CheckSource(const RawBitmap& source, signed char depthFlags) {
  if ((depthFlags & kDepthFourColour) == 0 && source.imageFormat >= 13 &&
      source.imageFormat <= 16) {
    return kLumeno_NOT_SUPPORTED_COLOR_SPACE;
  }
  const bool depthAccepted = ((depthFlags & kDepth8) != 0 && source.bitsPerChannel == 8) ||
                             ((depthFlags & kDepth16) != 0 && source.bitsPerChannel == 16);
  return depthAccepted ? kLumeno_NO_ERROR : kLumeno_NOT_SUPPORTED_DEPTH;
}

int64_t DestinationFormat(const RawBitmap& source, signed char destinationOptions) {
  if ((destinationOptions & kDestinationGrayPromotion) != 0 && source.channelCount <= 2) {
    if (source.bitsPerChannel == 8) return source.imageFormat == 0 ? 3 : 5;
    return source.imageFormat == 0 ? 20 : 21;
  }
  return (destinationOptions & kDestinationFormatZero) != 0 ? 0 : source.imageFormat;
}

void FillContext(GenericMPParams* params, const MPImageFilterData& data, RawBitmap* source,
                 RawBitmap* destination) {
  params->width = static_cast<int32_t>(source->width);
  params->height = static_cast<int32_t>(source->height);
  params->srcPixels = source->pixelData;
  params->srcRowBytes = static_cast<int32_t>(source->rowBytes);
  params->srcPixelBytes = static_cast<int32_t>(source->bytesPerPixel);
  params->dstPixels = destination->pixelData;
  params->dstRowBytes = static_cast<int32_t>(destination->rowBytes);
  params->dstPixelBytes = static_cast<int32_t>(destination->bytesPerPixel);
  params->source = source;
  params->destination = destination;
  params->progressHandler = data.progressHandler;
  params->multiprocessingHint = static_cast<int32_t>(data.multiprocessingHint);
}

FilterRowProc ChooseWorker(GenericMPParams* params, ZARKobjectStruct* maskObject,
                           FilterRowProc plainWorker, FilterRowProc maskedWorker) {
  if (maskObject == nullptr) return plainWorker;
  params->mask = GetRawBitmapMaskData(maskObject);
  return maskedWorker;
}

ZARKobjectStruct* ApplyFilter(MPImageFilterData* data, GenericMPParams* params,
                              FilterRowProc plainWorker, FilterRowProc maskedWorker,
                              RawBitmap* source, ZARKobjectStruct* maskObject,
                              int32_t automaticThreadCount, signed char depthFlags,
                              signed char destinationOptions) {
  data->errorCode = kLumeno_NO_ERROR;
  if (const LumenoRawError refused = CheckSource(*source, depthFlags); refused != 0) {
    return FailWith(data, refused);
  }
  RawBitmap* destination = nullptr;
  ZARKobjectStruct* result =
      CreateRawBitmap(source->width, source->height, 0,
                      DestinationFormat(*source, destinationOptions), &destination);
  if (result == nullptr) return FailWith(data, kLumeno_UNABLE_TO_CREATE_DESTINATION);
  if ((destinationOptions & kDestinationCopyExtraData) != 0 && source->extraRef != 0) {
    CopyExtraData(*source, *destination);
  }
  CopyMetadata(*source, *destination);
  FillContext(params, *data, source, destination);
  const FilterRowProc worker = ChooseWorker(params, maskObject, plainWorker, maskedWorker);
  RunFilterRows(data, params, worker, automaticThreadCount);
  data->canceled = CancelFlag(*params).load(std::memory_order_relaxed);
  return result;
}

void ApplyFilterInPlace(MPImageFilterData* data, GenericMPParams* params, FilterRowProc plainWorker,
                        FilterRowProc maskedWorker, RawBitmap* source, ZARKobjectStruct* maskObject,
                        int32_t automaticThreadCount, signed char depthFlags) {
  data->errorCode = kLumeno_NO_ERROR;
  if (const LumenoRawError refused = CheckSource(*source, depthFlags); refused != 0) {
    FailWith(data, refused);
    return;
  }
  FillContext(params, *data, source, source);
  const FilterRowProc worker = ChooseWorker(params, maskObject, plainWorker, maskedWorker);
  RunFilterRows(data, params, worker, automaticThreadCount);
  data->canceled = CancelFlag(*params).load(std::memory_order_relaxed);
}

}  // namespace lumeno

// The multiprocessing filter engine as other code sees it: the instance data
// of MPImageFilterRaw, the engine operation table, the filter context of one
// run and the row worker types. Other plug-ins reach the engine through the
// `engine` pointer of any filter object's MPImageFilterData, so every layout
// here is pinned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/layout.h"
#include "lumeno/raw_bitmap.h"
#include "lumeno/zark.h"

// The error codes of the LumenoRawError module: one list drives the enum,
// the registered constants and every message that names them.
#define LUMENO_RAW_ERRORS(X)                          \
  X(NO_ERROR, 0)                                      \
  X(INVALID_MASK, 1)                                  \
  X(INVALID_SOURCE_IMAGE, 2)                          \
  X(UNABLE_TO_CREATE_DESTINATION, 3)                  \
  X(ILLEGAL_INPUT_PARAMETER, 4)                       \
  X(NOT_SUPPORTED_COLOR_SPACE, 5)                     \
  X(NOT_SUPPORTED_DEPTH, 6)                           \
  X(DEPTH_NOT_MATCHING, 7)                            \
  X(CHANNEL_STRUCTURE_NOT_MATCHING, 8)                \
  X(PARAMETER_NOT_SUPPORTED_ON_COLOR_SPACE, 9)        \
  X(ASYNC_METHOD_ALLREADY_RUNNING_ON_THIS_INSTANCE, 10) \
  X(OUT_OF_MEMORY, 11)

enum LumenoRawError : int64_t {
#define LUMENO_RAW_ERROR_ENUM(name, value) kLumeno_##name = value,
  LUMENO_RAW_ERRORS(LUMENO_RAW_ERROR_ENUM)
#undef LUMENO_RAW_ERROR_ENUM
};

// Values of MultiprocessingHint.
#define LUMENO_CPU_USAGE_CONSTANTS(X) \
  X(CPU_USE_MACHINE_CORE_COUNT, -1)   \
  X(CPU_USE_AUTOMATIC, 0)             \
  X(CPU_USE_1_CORE, 1)                \
  X(CPU_USE_2_CORES, 2)               \
  X(CPU_USE_3_CORES, 3)               \
  X(CPU_USE_4_CORES, 4)               \
  X(CPU_USE_5_CORES, 5)               \
  X(CPU_USE_6_CORES, 6)               \
  X(CPU_USE_7_CORES, 7)               \
  X(CPU_USE_8_CORES, 8)

// FilterDepthFlags: what an effect accepts.
enum FilterDepthFlags : int8_t {
  kDepth8 = 1,
  kDepth16 = 2,
  kDepthLibraryMark = 4,  // set by every effect of the library; not examined
  kDepthFourColour = 8,   // also accept imageFormat 13 to 16
};

// DestinationOptions of ApplyFilter / ApplyFilterAsync.
enum DestinationOptions : int8_t {
  kDestinationCopyExtraData = 1,
  kDestinationGrayPromotion = 2,
  kDestinationFormatZero = 4,  // ApplyFilter only
};

constexpr int kMaxFilterThreads = 8;

struct AsyncFilterRun;
struct MPEngineOperations;

// Instance data of MPImageFilterRaw (88 bytes); an effect's data follows it.
struct MPImageFilterData {
  const MPEngineOperations* engine;
  int64_t multiprocessingHint;
  int64_t errorCode;
  ZARKobjectStruct* progressHandler;  // held
  bool canceled;
  AsyncFilterRun* asyncRun;
  ZARKobjectStruct* asyncResult;     // held
  ZARKobjectStruct* completeTarget;  // held
  void* completeMethod;
  int64_t maximumCPUCores;
  bool forceThreads;
};

LUMENO_LAYOUT(MPImageFilterData, 88, multiprocessingHint, 8, errorCode, 16, progressHandler, 24,
              canceled, 32, asyncRun, 40, asyncResult, 48, completeTarget, 56, completeMethod, 64,
              maximumCPUCores, 72, forceThreads, 80);

// The filter context of one run, followed by the effect's parameter block.
// rowsDone and cancel are shared between threads: the engine and the workers
// access them only atomically (std::atomic_ref).
struct GenericMPParams {
  int32_t width;
  int32_t height;
  int32_t rowsDone;
  int32_t multiprocessingHint;
  ZARKobjectStruct* progressHandler;  // not held again
  uint8_t* srcPixels;
  uint8_t* dstPixels;
  bool cancel;
  int32_t srcRowBytes;
  int32_t dstRowBytes;
  int32_t srcPixelBytes;
  int32_t dstPixelBytes;
  RawBitmap* source;
  RawBitmap* destination;
  RawBitmapMask* mask;  // set only when a mask object is given
};

LUMENO_LAYOUT(GenericMPParams, 88, rowsDone, 8, multiprocessingHint, 12, progressHandler, 16,
              srcPixels, 24, dstPixels, 32, cancel, 40, srcRowBytes, 44, dstRowBytes, 48,
              srcPixelBytes, 52, dstPixelBytes, 56, source, 64, destination, 72, mask, 80);

// One band of rows for one worker.
struct FilterJob {
  int32_t firstRow;
  int32_t endRow;  // exclusive
  bool done;       // written by the worker thread, read by the poll: atomic access
  GenericMPParams* params;
};

static_assert(offsetof(FilterJob, done) == 8);
static_assert(offsetof(FilterJob, params) == 16);

// A row worker: a thread start routine taking a FilterJob*, returning null.
using FilterRowProc = void* (*)(void* job);

// Decides who frees an asynchronous run's heap context: non-zero lets the
// engine free it, zero means the callback took it over.
using ReleaseParamsProc = signed char (*)(ZARKobjectStruct* filter, GenericMPParams* params);

// The engine operation table; the slot order is part of the interface.
struct MPEngineOperations {
  void (*RunFilterRows)(MPImageFilterData* data, GenericMPParams* params, FilterRowProc worker,
                        int32_t automaticThreadCount);
  void (*StartFilterRowsAsync)(ZARKobjectStruct* self, MPImageFilterData* data,
                               ZARKobjectStruct* sourceObject, GenericMPParams* params,
                               FilterRowProc worker, int32_t automaticThreadCount,
                               ReleaseParamsProc releaseParamsProc);
  ZARKobjectStruct* (*ApplyFilter)(MPImageFilterData* data, GenericMPParams* params,
                                   FilterRowProc plainWorker, FilterRowProc maskedWorker,
                                   RawBitmap* source, ZARKobjectStruct* maskObject,
                                   int32_t automaticThreadCount, signed char depthFlags,
                                   signed char destinationOptions);
  void (*ApplyFilterInPlace)(MPImageFilterData* data, GenericMPParams* params,
                             FilterRowProc plainWorker, FilterRowProc maskedWorker,
                             RawBitmap* source, ZARKobjectStruct* maskObject,
                             int32_t automaticThreadCount, signed char depthFlags);
  void* (*GetMapEffectProc)(int32_t index);
  void (*ApplyFilterAsync)(ZARKobjectStruct* self, MPImageFilterData* data,
                           ZARKobjectStruct* sourceObject, GenericMPParams* params,
                           FilterRowProc plainWorker, FilterRowProc maskedWorker,
                           RawBitmap* source, ZARKobjectStruct* maskObject,
                           int32_t automaticThreadCount, signed char depthFlags,
                           signed char destinationOptions, ZARKobjectStruct* completeTarget,
                           void* completeMethod, ReleaseParamsProc releaseParamsProc);
  void (*ApplyFilterInPlaceAsync)(ZARKobjectStruct* self, MPImageFilterData* data,
                                  ZARKobjectStruct* sourceObject, GenericMPParams* params,
                                  FilterRowProc plainWorker, FilterRowProc maskedWorker,
                                  RawBitmap* source, ZARKobjectStruct* maskObject,
                                  int32_t automaticThreadCount, signed char depthFlags,
                                  ZARKobjectStruct* completeTarget, void* completeMethod,
                                  ReleaseParamsProc releaseParamsProc);
};

// The map effect's context: a GenericMPParams followed by three tables
// (256 bytes each at 8 bits, 65536 16-bit values each at 16 bits).
struct MapParams {
  GenericMPParams base;
  const void* redTable;
  const void* greenTable;
  const void* blueTable;
};

static_assert(offsetof(MapParams, redTable) == 88);
static_assert(offsetof(MapParams, greenTable) == 96);
static_assert(offsetof(MapParams, blueTable) == 104);

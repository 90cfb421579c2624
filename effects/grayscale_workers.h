// What the grayscale class (effects/grayscale.cpp) and its row workers
// (effects/grayscale_workers.cpp) share: the run context and the choice of
// worker.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/engine.h"

// The context of one run. The destination indices are byte offsets at 8 bits
// and sample indices at 16 bits, as are the two pixel steps of the context.
struct GrayscaleParams {
  GenericMPParams base;
  double redWeight;
  double greenWeight;
  double blueWeight;
  int32_t dstRedIndex;
  int32_t dstGreenIndex;
  int32_t dstBlueIndex;
  // The mask object of an asynchronous run, held until the engine releases
  // the context: the engine's row-level start knows only the mask's lookup
  // object, and the workers must not outlive the mask they read.
  ZARKobjectStruct* runMask;
};
static_assert(offsetof(GrayscaleParams, redWeight) == sizeof(GenericMPParams));

namespace lumeno::gray {

enum Method : uint64_t { kNtscPal = 0, kItuR = 1, kAverage = 2, kWeightedAverage = 3 };

// The row worker of a depth (8 or 16), plain or masked, for a method
// compared unsigned: kWeightedAverage, larger and negative values all
// select the weighted average. The weights of the context are read only by
// the first two methods.
FilterRowProc Worker(int32_t bits, bool masked, uint64_t method);

}  // namespace lumeno::gray

// The policies of a run as pure functions: the machine core count, the
// thread count and the cutting of the rows into bands. They depend on no
// host service, so the tests build this file on its own.
#include <sched.h>

#include <atomic>
#include <bit>

#include "engine/filter_base.h"

int64_t MachineCoreCount() {
  static int64_t cached = 0;
  std::atomic_ref<int64_t> cache(cached);
  const int64_t known = cache.load(std::memory_order_relaxed);
  if (known != 0) return known;
  unsigned char mask[128] = {};
  (void)sched_getaffinity(0, sizeof(mask), reinterpret_cast<cpu_set_t*>(mask));
  int64_t count = 0;
  for (int i = 0; i < 16; ++i) count += std::popcount(static_cast<unsigned>(mask[i]));
  if (count != 0) cache.store(count, std::memory_order_relaxed);
  return count;
}

int32_t ThreadCountFor(int32_t height, int32_t multiprocessingHint, int32_t automaticThreadCount,
                       int64_t machineCores, int64_t maximumCPUCores) {
  int64_t count;
  if (height < 16) {
    count = 1;
  } else if (multiprocessingHint >= 1) {
    count = multiprocessingHint < kMaxFilterThreads ? multiprocessingHint : kMaxFilterThreads;
  } else if (multiprocessingHint < 0) {
    count = machineCores > 7 ? 8 : machineCores;
  } else {
    count = machineCores >= automaticThreadCount ? automaticThreadCount : machineCores;
  }
  if (count > maximumCPUCores) count = maximumCPUCores;
  if (count < 1) count = 1;
  // The run's job and thread arrays hold eight bands.
  if (count > kMaxFilterThreads) count = kMaxFilterThreads;
  return static_cast<int32_t>(count);
}

void CutBands(int32_t height, int32_t count, FilterJob* jobs, GenericMPParams* params) {
  const int32_t band = height / count;
  for (int32_t i = 0; i < count; ++i) {
    jobs[i].firstRow = i * band;
    jobs[i].endRow = i + 1 < count ? (i + 1) * band : height;
    jobs[i].done = false;
    jobs[i].params = params;
  }
}

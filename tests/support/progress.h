// Test classes that stand in for a script's objects in runs: a progress
// handler that records every OnProgress call (and can ask for a cancel),
// and a completion target whose Done function records completion calls.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host.h"

namespace lumeno::testing {

struct ProgressCall {
  uint64_t value;
  uint64_t total;
  uint64_t extraInfo;
  std::thread::id thread;
};

// What a progress handler recorded, and how it behaves. Safe to use while a
// run calls the handler from another thread.
class ProgressLog {
 public:
  std::vector<ProgressCall> Calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  // Sets the run's cancel flag in the n-th call (1 = first); 0 never.
  void CancelAtCall(size_t n) {
    std::lock_guard<std::mutex> guard(mutex_);
    cancelAt_ = n;
  }
  void Record(uint64_t value, uint64_t total, uint64_t extraInfo, bool* cancel);

 private:
  mutable std::mutex mutex_;
  std::vector<ProgressCall> calls_;
  size_t cancelAt_ = 0;
};

// A new "TestProgressHandler" carrying one reference owned by the caller
// (the first one registers the test classes in the host).
host::Ref NewProgressHandler(host::Host& host);
ProgressLog& ProgressOf(host::Object handler);

// A new "TestCompletionTarget" carrying one reference owned by the caller.
host::Ref NewCompletionTarget(host::Host& host);

struct CompletionLog {
  int count = 0;
  host::Object lastFilter = nullptr;
  std::thread::id thread;
  // Runs inside each completion call, after it is recorded.
  std::function<void(host::Object filter)> hook;
};
CompletionLog& CompletionOf(host::Object target);

// The completion function to pass as "completeMethod as Ptr".
void* CompletionMethod();

}  // namespace lumeno::testing

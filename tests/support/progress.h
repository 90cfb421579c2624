// Test classes that stand in for a script's objects in runs: a progress
// handler that records every OnProgress call (and can ask for a cancel),
// and a completion target whose Done function records completion calls.
#pragma once

#include <cstdint>
#include <functional>
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

// Registers "TestProgressHandler" and "TestCompletionTarget" in the host
// (once per host; the New* functions call it).
void RegisterTestClasses(host::Host& host);

// A new "TestProgressHandler" carrying one reference owned by the caller.
host::Ref NewProgressHandler(host::Host& host);

// What a progress handler recorded, and how it behaves. Safe to use while a
// run calls the handler from another thread.
class ProgressLog {
 public:
  virtual ~ProgressLog() = default;
  virtual std::vector<ProgressCall> Calls() const = 0;
  virtual size_t CallCount() const = 0;
  // Sets the run's cancel flag in the n-th call (1 = first); 0 never.
  virtual void CancelAtCall(size_t n) = 0;
  // Runs `hook` (on the calling thread) after each call is recorded.
  virtual void OnEachCall(std::function<void(const ProgressCall&)> hook) = 0;
};
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

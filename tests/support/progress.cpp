#include "support/progress.h"

#include <atomic>

#include "host/records.h"

namespace lumeno::testing {
namespace {

using host::records::DataOf;

void OnProgress(host::Object self, uint64_t value, uint64_t total, uint64_t extraInfo,
                bool* cancel);
void Done(host::Object target, host::Object filter);

// Each class's instance data is one pointer to its C++ log.
template <typename Log>
ZARKclassDefinition& Definition();

template <typename Log>
void Construct(host::Object self) {
  *DataOf<Log*>(self, Definition<Log>()) = new Log;
}
template <typename Log>
void Destruct(host::Object self) {
  delete *DataOf<Log*>(self, Definition<Log>());
}

template <>
ZARKclassDefinition& Definition<ProgressLog>() {
  static const ZARKmethodDefinition methods[] = {host::records::Method(
      &OnProgress,
      "OnProgress(value as UInt64,total as UInt64,extraInfo as UInt64,ByRef cancel as Boolean)")};
  static ZARKclassDefinition c = host::records::WithMembers(
      host::records::Class("TestProgressHandler", nullptr, sizeof(void*),
                           &Construct<ProgressLog>, &Destruct<ProgressLog>),
      methods);
  return c;
}

template <>
ZARKclassDefinition& Definition<CompletionLog>() {
  static const ZARKmethodDefinition methods[] = {
      host::records::Method(&Done, "Done(filter as Object)")};
  static ZARKclassDefinition c = host::records::WithMembers(
      host::records::Class("TestCompletionTarget", nullptr, sizeof(void*),
                           &Construct<CompletionLog>, &Destruct<CompletionLog>),
      methods);
  return c;
}

void OnProgress(host::Object self, uint64_t value, uint64_t total, uint64_t extraInfo,
                bool* cancel) {
  ProgressOf(self).Record(value, total, extraInfo, cancel);
}

void Done(host::Object target, host::Object filter) {
  CompletionLog& log = CompletionOf(target);
  ++log.count;
  log.lastFilter = filter;
  log.thread = std::this_thread::get_id();
  if (log.hook) log.hook(filter);
}

template <typename Log>
host::Ref New(host::Host& host) {
  ZARKclassDefinition& c = Definition<Log>();
  if (host.FindClass(c.name) == nullptr) host.RegisterClass(&c);
  return host::Ref(host, host.New(c.name));
}

}  // namespace

void ProgressLog::Record(uint64_t value, uint64_t total, uint64_t extraInfo, bool* cancel) {
  std::lock_guard<std::mutex> guard(mutex_);
  calls_.push_back({value, total, extraInfo, std::this_thread::get_id()});
  // Worker threads read the flag atomically while this thread writes it.
  if (calls_.size() == cancelAt_) std::atomic_ref<bool>(*cancel).store(true);
}

host::Ref NewProgressHandler(host::Host& host) { return New<ProgressLog>(host); }
ProgressLog& ProgressOf(host::Object handler) {
  return **DataOf<ProgressLog*>(handler, Definition<ProgressLog>());
}

host::Ref NewCompletionTarget(host::Host& host) { return New<CompletionLog>(host); }
CompletionLog& CompletionOf(host::Object target) {
  return **DataOf<CompletionLog*>(target, Definition<CompletionLog>());
}

void* CompletionMethod() { return reinterpret_cast<void*>(&Done); }

}  // namespace lumeno::testing

#include "support/progress.h"

#include <atomic>
#include <mutex>

namespace lumeno::testing {
namespace {

class Recorder : public ProgressLog {
 public:
  std::vector<ProgressCall> Calls() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  size_t CallCount() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_.size();
  }
  void CancelAtCall(size_t n) override {
    std::lock_guard<std::mutex> guard(mutex_);
    cancelAt_ = n;
  }
  void OnEachCall(std::function<void(const ProgressCall&)> hook) override {
    std::lock_guard<std::mutex> guard(mutex_);
    hook_ = std::move(hook);
  }

  void Record(uint64_t value, uint64_t total, uint64_t extraInfo, bool* cancel) {
    ProgressCall call{value, total, extraInfo, std::this_thread::get_id()};
    std::function<void(const ProgressCall&)> hook;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      calls_.push_back(call);
      // Worker threads read the flag atomically while this thread writes it.
      if (calls_.size() == cancelAt_) std::atomic_ref<bool>(*cancel).store(true);
      hook = hook_;
    }
    if (hook) hook(call);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ProgressCall> calls_;
  size_t cancelAt_ = 0;
  std::function<void(const ProgressCall&)> hook_;
};

// Each class's instance data is one pointer to its C++ log.
ZARKclassDefinition progressClass{};
ZARKclassDefinition completionClass{};

template <typename T>
T*& Slot(ZARKclassDefinition& definition, host::Object self) {
  return *reinterpret_cast<T**>(reinterpret_cast<uint8_t*>(self) + definition.dataOffset);
}

void ConstructProgress(host::Object self) { Slot<Recorder>(progressClass, self) = new Recorder; }
void DestructProgress(host::Object self) {
  delete Slot<Recorder>(progressClass, self);
  Slot<Recorder>(progressClass, self) = nullptr;
}
void OnProgress(host::Object self, uint64_t value, uint64_t total, uint64_t extraInfo,
                bool* cancel) {
  Slot<Recorder>(progressClass, self)->Record(value, total, extraInfo, cancel);
}

void ConstructCompletion(host::Object self) {
  Slot<CompletionLog>(completionClass, self) = new CompletionLog;
}
void DestructCompletion(host::Object self) {
  delete Slot<CompletionLog>(completionClass, self);
  Slot<CompletionLog>(completionClass, self) = nullptr;
}
void Done(host::Object target, host::Object filter) {
  CompletionLog& log = *Slot<CompletionLog>(completionClass, target);
  ++log.count;
  log.lastFilter = filter;
  log.thread = std::this_thread::get_id();
  if (log.hook) log.hook(filter);
}

ZARKmethodDefinition progressMethods[] = {
    {reinterpret_cast<void*>(&OnProgress),
     0,
     "OnProgress(value as UInt64,total as UInt64,extraInfo as UInt64,ByRef cancel as Boolean)",
     4,
     {}}};
ZARKmethodDefinition completionMethods[] = {
    {reinterpret_cast<void*>(&Done), 0, "Done(filter as Object)", 4, {}}};

void Describe(ZARKclassDefinition& c, const char* name, void (*ctor)(host::Object),
              void (*dtor)(host::Object), ZARKmethodDefinition* methods) {
  c.version = kZARKRecordVersion;
  c.name = name;
  c.dataSize = sizeof(void*);
  c.constructor = ctor;
  c.destructor = dtor;
  c.methods = methods;
  c.methodCount = 1;
  c.interfaces = "";
  c.flags = kZARKClassConsoleSafe;
}

}  // namespace

void RegisterTestClasses(host::Host& host) {
  if (progressClass.name == nullptr) {
    Describe(progressClass, "TestProgressHandler", &ConstructProgress, &DestructProgress,
             progressMethods);
    Describe(completionClass, "TestCompletionTarget", &ConstructCompletion, &DestructCompletion,
             completionMethods);
  }
  if (host.FindClass("TestProgressHandler") == nullptr) host.RegisterClass(&progressClass);
  if (host.FindClass("TestCompletionTarget") == nullptr) host.RegisterClass(&completionClass);
}

host::Ref NewProgressHandler(host::Host& host) {
  RegisterTestClasses(host);
  return host::Ref(host, host.New("TestProgressHandler"));
}

ProgressLog& ProgressOf(host::Object handler) { return *Slot<Recorder>(progressClass, handler); }

host::Ref NewCompletionTarget(host::Host& host) {
  RegisterTestClasses(host);
  return host::Ref(host, host.New("TestCompletionTarget"));
}

CompletionLog& CompletionOf(host::Object target) {
  return *Slot<CompletionLog>(completionClass, target);
}

void* CompletionMethod() { return reinterpret_cast<void*>(&Done); }

}  // namespace lumeno::testing

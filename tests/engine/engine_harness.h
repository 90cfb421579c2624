// Drives the filter engine directly through the operation table of a filter
// object, with a row worker of the tests that records which thread ran which
// row (and can be slowed down), and with bitmap records made in the test.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "lumeno/engine.h"
#include "support/images.h"
#include "support/plugin_fixture.h"
#include "support/progress.h"

namespace lumeno::testing {

struct RowVisit {
  int32_t row;
  std::thread::id thread;
};

// What the recording workers saw. One log for the process: a worker is a
// plain function.
class RowLog {
 public:
  static RowLog& Get() {
    static RowLog log;
    return log;
  }
  void Reset(int sleepMicros = 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    visits_.clear();
    sleepMicros_ = sleepMicros;
  }
  void Visit(int32_t row) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      visits_.push_back({row, std::this_thread::get_id()});
    }
    std::this_thread::sleep_for(std::chrono::microseconds(sleepMicros_.load()));
  }
  std::vector<RowVisit> Visits() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return visits_;
  }
  // Rows per thread, in visiting order.
  std::map<std::thread::id, std::vector<int32_t>> RowsByThread() const {
    std::map<std::thread::id, std::vector<int32_t>> out;
    for (const RowVisit& v : Visits()) out[v.thread].push_back(v.row);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<RowVisit> visits_;
  std::atomic<int> sleepMicros_{0};
};

// A row worker that follows the worker contract on its own (written apart
// from the library's row walker) and touches no pixel; it serves as both the
// plain and the masked worker.
inline void* RecordingWorker(void* jobPointer) {
  FilterJob& job = *static_cast<FilterJob*>(jobPointer);
  GenericMPParams& p = *job.params;
  for (int32_t r = job.firstRow; r < job.endRow; ++r) {
    RowLog::Get().Visit(r);
    std::atomic_ref<int32_t>(p.rowsDone).fetch_add(1);
    if (std::atomic_ref<bool>(p.cancel).load()) break;
  }
  std::atomic_ref<bool>(job.done).store(true);
  return nullptr;
}
inline constexpr FilterRowProc kPlainRecorder = &RecordingWorker;
inline constexpr FilterRowProc kMaskedRecorder = &RecordingWorker;

// A RawBitmap record over memory of the test (no host object).
struct FakeImage {
  FakeImage(int64_t width, int64_t height, int64_t format = 3, int bits = 8, int channels = 3)
      : pixels(static_cast<size_t>(width * height * channels * (bits / 8) + 16)) {
    record.width = width;
    record.height = height;
    record.pixelData = pixels.data();
    record.bytesPerPixel = channels * (bits / 8);
    record.rowBytes = width * record.bytesPerPixel;
    record.channelCount = channels;
    record.redOffset = 0;
    record.greenOffset = static_cast<uint8_t>(bits / 8);
    record.blueOffset = static_cast<uint8_t>(2 * bits / 8);
    record.alphaOffset = 0xFF;
    record.blackOffset = 0xFF;
    record.isValid = 1;
    record.imageFormat = format;
    record.bitsPerChannel = static_cast<uint8_t>(bits);
  }
  std::vector<uint8_t> pixels;
  RawBitmap record{};
};

class EngineTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    RowLog::Get().Reset();
  }
  // Any filter will do; the brightness effect is the simplest.
  host::Ref NewFilter() { return host::Ref(host(), host().New("BrightnessEffectRaw")); }
  MPImageFilterData& Data(const host::Ref& filter) {
    return *static_cast<MPImageFilterData*>(host().ClassData(filter.get(), "MPImageFilterRaw"));
  }
  const MPEngineOperations& Engine(const host::Ref& filter) { return *Data(filter).engine; }
  void Set(const host::Ref& object, const char* name, const host::Value& value) {
    ASSERT_TRUE(host().SetProperty(object.get(), name, value)) << name;
  }
  int64_t Integer(const host::Ref& object, const char* name) {
    return host().GetInteger(object.get(), name);
  }
  bool Boolean(const host::Ref& object, const char* name) {
    return host().GetBoolean(object.get(), name);
  }
  // Runs the recording worker in place over a record of the test.
  void RunInPlace(const host::Ref& filter, RawBitmap& record, GenericMPParams& params,
                  host::Object mask = nullptr, signed char depthFlags = 5) {
    Engine(filter).ApplyFilterInPlace(&Data(filter), &params, kPlainRecorder, kMaskedRecorder,
                                      &record, mask, 2, depthFlags);
  }
  // Starts an asynchronous run of the recording worker into a new bitmap.
  void StartRecorderAsync(const host::Ref& filter, const host::Ref& source,
                          host::Object target = nullptr, void* method = nullptr) {
    auto* params = static_cast<GenericMPParams*>(std::calloc(1, sizeof(GenericMPParams)));
    Engine(filter).ApplyFilterAsync(
        filter.get(), &Data(filter), source.get(), params, kPlainRecorder, kMaskedRecorder,
        host::BitmapRecord(host(), source.get()), nullptr, 2, 5, 1, target, method, nullptr);
  }
  bool WaitForEnd(const host::Ref& filter) {
    return host().RunLoop([&] { return Boolean(filter, "AsyncCompleted"); }, 20.0);
  }
};

}  // namespace lumeno::testing

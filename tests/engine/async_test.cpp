// Asynchronous runs: states, completion, progress from the poll, Cancel(),
// refused starts, holds, and the ends of a filter during a run.
#include "engine_harness.h"

namespace lumeno::testing {
namespace {

using host::Object;
using host::Ref;

constexpr const char* kApplyAsync =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
constexpr const char* kApplyInPlaceAsync =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";

class AsyncRunTest : public EngineTest {
 protected:
  Ref Bitmap(int64_t w, int64_t h, int64_t format = host::kRGB8) {
    return Ref(host(), host::CreateBitmap(host(), w, h, format));
  }
  void ApplyAsync(const Ref& filter, const Ref& source, const Ref& target,
                  const char* declaration = kApplyAsync) {
    host().Call<void>(filter.get(), declaration, source.get(), target.get(), CompletionMethod());
  }
  Ref Result(const Ref& filter) {
    return Ref(host(), host().GetObject(filter.get(), "AsyncResult"));
  }
};

// What the effect-table runs do not look at: the task, the completion's
// thread, the result's life and the holds of the run.
TEST_F(AsyncRunTest, StatesAndCompletion) {
  Ref filter = NewFilter();
  Ref target = NewCompletionTarget(host());
  Ref source = Bitmap(4, 40);
  ApplyAsync(filter, source, target);
  EXPECT_EQ(host().TaskCount(), 1u);
  EXPECT_EQ(CompletionOf(target.get()).count, 0) << "no completion before the poll";
  ApplyAsync(filter, source, target, kApplyInPlaceAsync);
  EXPECT_EQ(Integer(filter, "ErrorCode"), 10) << "a second start while one runs";
  ASSERT_TRUE(WaitForEnd(filter));
  EXPECT_EQ(CompletionOf(target.get()).thread, std::this_thread::get_id());
  EXPECT_EQ(host().TaskCount(), 0u);
  Ref result = Result(filter);
  ASSERT_TRUE(result);
  // The result stays until the next start replaces it.
  host().PumpTasks();
  EXPECT_EQ(Result(filter).get(), result.get());
  // The filter and the source carry no hold of the run any more.
  EXPECT_EQ(host().RefCount(filter.get()), 1);
  EXPECT_EQ(host().RefCount(source.get()), 1);
}

TEST_F(AsyncRunTest, CancelDuringRun) {
  Ref filter = NewFilter();
  Ref target = NewCompletionTarget(host());
  Ref source = Bitmap(2, 400);
  Set(filter, "MultiprocessingHint", host::Value(int64_t{4}));
  RowLog::Get().Reset(1000);
  StartRecorderAsync(filter, source, target.get(), CompletionMethod());
  host().PumpTasks();
  host().Call<void>(filter.get(), "Cancel()");
  EXPECT_TRUE(Boolean(filter, "AsyncCompleted"));
  EXPECT_TRUE(Boolean(filter, "Canceled"));
  EXPECT_EQ(host().TaskCount(), 0u);
  host().PumpTasks();
  EXPECT_EQ(CompletionOf(target.get()).count, 0);
  Ref result = Result(filter);
  ASSERT_TRUE(result);
  EXPECT_NE(result.get(), source.get());
  EXPECT_LT(RowLog::Get().Visits().size(), 400u) << "bands stop after their current row";
  EXPECT_EQ(host().RefCount(filter.get()), 1);
  EXPECT_EQ(host().RefCount(source.get()), 1);
}

// Cancel() without a run; a start clears Canceled. A run without a target or
// a method ends without a call; a small image still runs on a thread of its own.
TEST_F(AsyncRunTest, QuietEnds) {
  Ref filter = NewFilter();
  Ref target = NewCompletionTarget(host());
  host().Call<void>(filter.get(), "Cancel()");
  EXPECT_TRUE(Boolean(filter, "Canceled"));
  EXPECT_TRUE(Boolean(filter, "AsyncCompleted"));
  Ref source = Bitmap(3, 10);
  ApplyAsync(filter, source, target);
  EXPECT_FALSE(Boolean(filter, "Canceled"));
  ASSERT_TRUE(WaitForEnd(filter));
  EXPECT_EQ(CompletionOf(target.get()).count, 1);
  RowLog::Get().Reset();
  StartRecorderAsync(filter, source, nullptr, CompletionMethod());
  ASSERT_TRUE(WaitForEnd(filter));
  const auto threads = RowLog::Get().RowsByThread();
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(threads.begin()->first, std::this_thread::get_id());
  EXPECT_EQ(RowLog::Get().Visits().size(), 10u);
  StartRecorderAsync(filter, source, target.get(), nullptr);
  ASSERT_TRUE(WaitForEnd(filter));
  EXPECT_EQ(CompletionOf(target.get()).count, 1);
  EXPECT_EQ(host().TaskCount(), 0u);
}

TEST_F(AsyncRunTest, RefusedStarts) {
  Ref filter = NewFilter();
  Ref target = NewCompletionTarget(host());
  Ref source = Bitmap(3, 20);
  StartRecorderAsync(filter, source);
  ASSERT_TRUE(WaitForEnd(filter));
  ASSERT_TRUE(Result(filter));

  struct Case {
    int64_t format;
    int bits;
    int64_t error;
  };
  // 99: a format the bitmap class cannot create.
  const Case cases[] = {{13, 8, 5}, {20, 16, 6}, {99, 8, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    FakeImage image(2, 2, c.format, c.bits);
    auto* params = static_cast<GenericMPParams*>(std::calloc(1, sizeof(GenericMPParams)));
    Engine(filter).ApplyFilterAsync(filter.get(), &Data(filter), source.get(), params,
                                    kPlainRecorder, kMaskedRecorder, &image.record, nullptr, 2, 5,
                                    0, target.get(), CompletionMethod(), nullptr);
    EXPECT_EQ(Integer(filter, "ErrorCode"), c.error);
    EXPECT_TRUE(Boolean(filter, "AsyncCompleted"));
    EXPECT_EQ(host().TaskCount(), 0u);
    // Only a failed creation empties the result.
    EXPECT_EQ(static_cast<bool>(Result(filter)), c.error != 3);
  }
}

TEST_F(AsyncRunTest, ProgressFromThePoll) {
  Ref filter = NewFilter();
  Ref handler = NewProgressHandler(host());
  Ref target = NewCompletionTarget(host());
  Set(filter, "ProgressHandler", host::Value(handler.get()));
  Ref source = Bitmap(1, 120);
  RowLog::Get().Reset(200);
  StartRecorderAsync(filter, source, target.get(), CompletionMethod());
  ASSERT_TRUE(WaitForEnd(filter));
  const auto calls = ProgressOf(handler.get()).Calls();
  ASSERT_FALSE(calls.empty());
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[i].total, 120u);
    EXPECT_EQ(calls[i].extraInfo, 0u);
    if (i > 0) {
      EXPECT_GE(calls[i].value, calls[i - 1].value);
    }
  }
  EXPECT_EQ(calls.back().value, 120u) << "the ending poll sees every row done";
  EXPECT_EQ(CompletionOf(target.get()).count, 1);
}

// The run keeps its mask alive when the Mask property lets go of it.
TEST_F(AsyncRunTest, MaskHeldForTheRun) {
  Ref filter = NewFilter();
  Ref target = NewCompletionTarget(host());
  Ref source = Bitmap(5, 50);
  Ref mask = MaskWithValues(host(), 5, 50, std::vector<uint8_t>(250, 255));
  Set(filter, "Mask", host::Value(mask.get()));
  Set(filter, "BrightnessValue", host::Value(1.0f));
  ApplyAsync(filter, source, target);
  Set(filter, "Mask", host::Value(Object{nullptr}));
  Object maskObject = mask.Release();
  host().Unlock(maskObject);
  EXPECT_EQ(host().RefCount(maskObject), 1);
  ASSERT_TRUE(WaitForEnd(filter));
  EXPECT_EQ(host().RefCount(maskObject), 0) << "released with the run";
  EXPECT_EQ(CompletionOf(target.get()).count, 1);
}

// Destroying the filter's host with runs active cancels and joins them.
TEST_F(AsyncRunTest, HostDestroyedWithRunsActive) {
  Ref source = Bitmap(2, 200);
  Ref filter = NewFilter();
  Ref other = NewFilter();
  Ref target = NewCompletionTarget(host());
  RowLog::Get().Reset(1000);
  StartRecorderAsync(filter, source, target.get(), CompletionMethod());
  host().Call<void>(other.get(), kApplyInPlaceAsync, source.get(), target.get(),
                    CompletionMethod());
  ASSERT_FALSE(Boolean(filter, "AsyncCompleted"));
  ASSERT_FALSE(Boolean(other, "AsyncCompleted"));
  // The host owns everything from here on.
  source.Release();
  filter.Release();
  other.Release();
  target.Release();
  host_.reset();
  EXPECT_LT(RowLog::Get().Visits().size(), 200u);
  host_ = std::make_unique<host::Host>();
}

}  // namespace
}  // namespace lumeno::testing

namespace lumeno::testing {
namespace {

// Without the host's background-task service no poll runs: the bands work,
// but the run stays active until Cancel(), which drops all its holds.
class NoBackgroundTasksTest : public HostTest {};

TEST_F(NoBackgroundTasksTest, RunWaitsForCancel) {
  host().HideEntry("PluginRegisterBackgroundTask");
  std::string error;
  // A fresh copy of the library, whose wrappers have not found the entry yet.
  ASSERT_TRUE(host().LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
  host::Ref filter(host(), host().New("BrightnessEffectRaw"));
  host::Ref source(host(), host::CreateBitmap(host(), 3, 30, host::kRGB8));
  host::Ref target = NewCompletionTarget(host());
  host().Call<void>(
      filter.get(),
      "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
      source.get(), target.get(), CompletionMethod());
  EXPECT_EQ(host().GetInteger(filter.get(), "ErrorCode"), 0);
  EXPECT_EQ(host().TaskCount(), 0u);
  EXPECT_FALSE(host().GetBoolean(filter.get(), "AsyncCompleted"));
  EXPECT_EQ(host().RefCount(filter.get()), 2);
  EXPECT_EQ(host().RefCount(source.get()), 2);
  host().Call<void>(filter.get(), "Cancel()");
  EXPECT_TRUE(host().GetBoolean(filter.get(), "AsyncCompleted"));
  EXPECT_EQ(host().RefCount(filter.get()), 1);
  EXPECT_EQ(host().RefCount(source.get()), 1);
  EXPECT_EQ(CompletionOf(target.get()).count, 0);
}

}  // namespace
}  // namespace lumeno::testing

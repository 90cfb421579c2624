// The synchronous run: modes, bands, progress sequences, cancelling, source
// checks and the destination, through the filter object's engine table.
#include <sched.h>

#include <tuple>

#include "engine_harness.h"

namespace lumeno::testing {
namespace {

using host::Object;
using host::Ref;

using Pairs = std::vector<std::pair<uint64_t, uint64_t>>;

Pairs ValuesAndTotals(const std::vector<ProgressCall>& calls) {
  Pairs out;
  for (const ProgressCall& c : calls) out.emplace_back(c.value, c.total);
  return out;
}

class SyncRunTest : public EngineTest {
 protected:
  Ref WithHandler(const Ref& filter) {
    Ref handler = NewProgressHandler(host());
    Set(filter, "ProgressHandler", host::Value(handler.get()));
    return handler;
  }
};

TEST_F(SyncRunTest, BaseClassDefaults) {
  Ref filter = NewFilter();
  EXPECT_EQ(std::tuple(Integer(filter, "MultiprocessingHint"), Integer(filter, "ErrorCode"),
                       Integer(filter, "MaximumCPUCores")),
            std::tuple(0, 0, 8));
  EXPECT_FALSE(Boolean(filter, "ForceThreads"));
  EXPECT_FALSE(Boolean(filter, "Canceled"));
  EXPECT_TRUE(Boolean(filter, "AsyncCompleted"));
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ASSERT_EQ(sched_getaffinity(0, sizeof(cpus), &cpus), 0);
  EXPECT_EQ(std::tuple(Integer(filter, "CPUCoreCount"),
                       Ref(host(), host().GetObject(filter.get(), "ProgressHandler")).get(),
                       Ref(host(), host().GetObject(filter.get(), "AsyncResult")).get()),
            std::tuple(CPU_COUNT(&cpus), nullptr, nullptr));
  // The read-only properties refuse a write.
  EXPECT_FALSE(host().SetProperty(filter.get(), "ErrorCode", host::Value(int64_t{3})));
  EXPECT_FALSE(host().SetProperty(filter.get(), "MaximumCPUCores", host::Value(int64_t{3})));
}

// The base class's record: what the host reads beyond the names, types and
// accessors the catalogue lists (docs/effects.md).
TEST_F(SyncRunTest, BaseClassRecord) {
  const ZARKclassDefinition& c = *host().FindClass("MPImageFilterRaw")->definition;
  EXPECT_EQ(std::tuple(c.version, c.superName, c.dataSize, c.propertyCount, c.methodCount,
                       c.constantCount),
            std::tuple(13, nullptr, 88, 9, 1, 10));
  for (int64_t i = 0; i < c.propertyCount; ++i) {
    EXPECT_EQ(c.properties[i].flags, 4) << c.properties[i].name;
    EXPECT_NE(c.properties[i].getter, nullptr) << c.properties[i].name;
  }
  EXPECT_EQ(c.methods[0].flags, 4);
}

// Which threads ran the rows: one band runs on the calling thread unless
// threads are forced. The counts and bands themselves are the policy tables'.
TEST_F(SyncRunTest, ModesAndBands) {
  struct Case {
    int32_t height;
    int64_t hint;
    bool force;
    size_t threads;
    bool onCallingThread;
  };
  for (const Case& c : {Case{15, 4, false, 1, true}, Case{15, 4, true, 1, false},
                        Case{100, 3, false, 3, false}}) {
    SCOPED_TRACE(::testing::Message()
                 << c.height << " rows, hint " << c.hint << (c.force ? " forced" : ""));
    RowLog::Get().Reset();
    Ref filter = NewFilter();
    Set(filter, "MultiprocessingHint", host::Value(c.hint));
    Set(filter, "ForceThreads", host::Value(c.force));
    FakeImage image(2, c.height);
    GenericMPParams params{};
    RunInPlace(filter, image.record, params);
    const auto byThread = RowLog::Get().RowsByThread();
    ASSERT_EQ(byThread.size(), c.threads);
    for (const auto& [thread, rows] : byThread) {
      EXPECT_EQ(thread == std::this_thread::get_id(), c.onCallingThread);
    }
    EXPECT_EQ(RowLog::Get().Visits().size(), static_cast<size_t>(c.height));
    EXPECT_EQ(params.rowsDone, c.height);
  }
}

// Progress sequences: every call, or only the last where threads make the
// count of the calls before it open. A handler without OnProgress gets no
// call and does not stop the run.
TEST_F(SyncRunTest, ProgressSequences) {
  struct Case {
    const char* what;
    int32_t height;
    int64_t hint;
    bool force;
    int sleepMicros;
    Pairs calls;
    bool lastOnly;
  };
  const Case cases[] = {
      {"one thread: 100-row chunks, the end twice",
       250,
       1,
       false,
       0,
       {{100, 250}, {200, 250}, {250, 250}, {250, 250}},
       false},
      {"no rows: only the last call", 0, 0, false, 0, {{0, 0}}, false},
      {"no rows, forced threads", 0, 0, true, 0, {{0, 0}}, false},
      {"three threads: rising values up to the height", 90, 3, false, 300, {{90, 90}}, true},
      {"no OnProgress", 30, 0, false, 0, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RowLog::Get().Reset(c.sleepMicros);
    Ref filter = NewFilter();
    Ref handler = c.calls.empty() ? NewCompletionTarget(host()) : NewProgressHandler(host());
    Set(filter, "ProgressHandler", host::Value(handler.get()));
    Set(filter, "MultiprocessingHint", host::Value(c.hint));
    Set(filter, "ForceThreads", host::Value(c.force));
    FakeImage image(3, c.height);
    GenericMPParams params{};
    RunInPlace(filter, image.record, params);
    EXPECT_EQ(RowLog::Get().Visits().size(), static_cast<size_t>(c.height));
    EXPECT_FALSE(Boolean(filter, "Canceled"));
    if (c.calls.empty()) continue;
    const auto calls = ProgressOf(handler.get()).Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(c.lastOnly ? ValuesAndTotals({calls.back()}) : ValuesAndTotals(calls), c.calls);
    EXPECT_EQ(calls.back().thread, std::this_thread::get_id()) << "last call on the caller";
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].extraInfo, 0u);
      EXPECT_GE(calls[i].value, i > 0 ? calls[i - 1].value : 0);
      EXPECT_TRUE(c.hint != 1 || calls[i].thread == std::this_thread::get_id()) << i;
    }
  }
}

TEST_F(SyncRunTest, CancelAfterFirstChunkSingleThreaded) {
  Ref filter = NewFilter();
  Ref handler = WithHandler(filter);
  Set(filter, "MultiprocessingHint", host::Value(int64_t{1}));
  ProgressOf(handler.get()).CancelAtCall(1);
  Ref source(host(), host::CreateBitmap(host(), 2, 1000, host::kRGB8));
  Ref result(host(), host().Call<Object>(filter.get(),
                                         "Apply(source as RawBitmap,value as Single) as RawBitmap",
                                         source.get(), 1.0f));
  EXPECT_TRUE(result) << "a cancelled Apply still returns its destination";
  EXPECT_EQ(Integer(filter, "ErrorCode"), 0);
  EXPECT_TRUE(Boolean(filter, "Canceled"));
  // One call per 100-row chunk; after the cancel each later chunk does one row.
  Pairs expected = {{100, 1000}};
  for (uint64_t v = 101; v <= 109; ++v) expected.emplace_back(v, 1000);
  expected.emplace_back(1000, 1000);
  EXPECT_EQ(ValuesAndTotals(ProgressOf(handler.get()).Calls()), expected);
  // The next run starts with the flag cleared.
  ProgressOf(handler.get()).CancelAtCall(0);
  host().Call<void>(filter.get(), "ApplyInPlace(source as RawBitmap, value as Single)",
                    source.get(), 1.0f);
  EXPECT_FALSE(Boolean(filter, "Canceled"));
}

TEST_F(SyncRunTest, CancelOnThreads) {
  Ref filter = NewFilter();
  Ref handler = WithHandler(filter);
  Set(filter, "MultiprocessingHint", host::Value(int64_t{4}));
  ProgressOf(handler.get()).CancelAtCall(1);
  RowLog::Get().Reset(2000);  // 2 ms a row: the progress thread asks long before the end
  FakeImage image(1, 400);
  GenericMPParams params{};
  RunInPlace(filter, image.record, params);
  EXPECT_TRUE(Boolean(filter, "Canceled"));
  const auto calls = ProgressOf(handler.get()).Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(ValuesAndTotals({calls.back()}), (Pairs{{400, 400}}));
  EXPECT_EQ(calls.back().thread, std::this_thread::get_id()) << "last call on the calling thread";
  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    EXPECT_NE(calls[i].thread, std::this_thread::get_id()) << "progress thread call " << i;
    EXPECT_LT(calls[i].value, 400u);
  }
  // Every band stopped after a short prefix of its rows (at least its first).
  auto byThread = RowLog::Get().RowsByThread();
  ASSERT_EQ(byThread.size(), 4u);
  for (auto& [thread, rows] : byThread) {
    EXPECT_EQ(rows.front() % 100, 0);
    EXPECT_LT(rows.size(), 50u);
    for (size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(rows[i], rows[i - 1] + 1);
  }
}

TEST_F(SyncRunTest, SourceChecks) {
  struct Case {
    int64_t format;
    int bits;
    signed char depthFlags;
    int64_t error;
  };
  const Case cases[] = {
      {3, 8, 5, 0},   {3, 8, 1, 0},    {3, 8, 6, 6},  {20, 16, 6, 0}, {20, 16, 5, 6},
      {3, 12, 7, 6},  {13, 8, 5, 5},   {14, 8, 5, 5}, {15, 16, 6, 5}, {16, 16, 7, 5},
      {13, 8, 13, 0}, {16, 16, 14, 0}, {12, 8, 5, 0}, {17, 8, 5, 0},  {13, 16, 5, 5},
  };
  Ref filter = NewFilter();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "format " << c.format << " bits " << c.bits << " flags " << int{c.depthFlags});
    RowLog::Get().Reset();
    FakeImage image(2, 3, c.format, c.bits == 16 ? 16 : 8);
    image.record.bitsPerChannel = static_cast<uint8_t>(c.bits);
    GenericMPParams params{};
    Data(filter).errorCode = 99;
    RunInPlace(filter, image.record, params, nullptr, c.depthFlags);
    EXPECT_EQ(Integer(filter, "ErrorCode"), c.error);
    EXPECT_EQ(RowLog::Get().Visits().size(), c.error == 0 ? 3u : 0u);
    // The same checks come before any destination is made.
    Data(filter).errorCode = 99;
    Ref made(host(),
             Engine(filter).ApplyFilter(&Data(filter), &params, kPlainRecorder, kMaskedRecorder,
                                        &image.record, nullptr, 2, c.depthFlags, 0));
    EXPECT_EQ(Integer(filter, "ErrorCode"), c.error == 0 && c.format == 17 ? 3 : c.error);
  }
}

TEST_F(SyncRunTest, DestinationFormatAndContext) {
  struct Case {
    int64_t format;
    int bits;
    int channels;
    signed char options;
    int64_t expected;
  };
  const Case cases[] = {
      {0, 8, 1, 2, 3},    {1, 8, 2, 2, 5},    {0, 8, 1, 0, 0},   {1, 8, 2, 6, 5},
      {22, 16, 1, 2, 21}, {23, 16, 2, 2, 21}, {0, 16, 1, 2, 20}, {5, 8, 4, 2, 5},
      {5, 8, 4, 4, 0},    {21, 16, 4, 4, 0},  {6, 8, 4, 1, 6},   {20, 16, 3, 0, 20},
  };
  Ref filter = NewFilter();
  Set(filter, "MultiprocessingHint", host::Value(int64_t{-1}));
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << " options " << int{c.options});
    FakeImage image(3, 2, c.format, c.bits, c.channels);
    GenericMPParams params{};
    Ref made(host(),
             Engine(filter).ApplyFilter(&Data(filter), &params, kPlainRecorder, kMaskedRecorder,
                                        &image.record, nullptr, 2, c.bits == 8 ? 5 : 6, c.options));
    ASSERT_TRUE(made);
    const RawBitmap& d = *host::BitmapRecord(host(), made.get());
    EXPECT_EQ(std::tuple(d.imageFormat, d.width, d.height), std::tuple(c.expected, 3, 2));
    EXPECT_EQ(std::tuple(params.width, params.height, params.multiprocessingHint),
              std::tuple(3, 2, -1));
    EXPECT_EQ(std::tuple(params.srcPixels, params.srcRowBytes, params.srcPixelBytes, params.source),
              std::tuple(image.pixels.data(), image.record.rowBytes, image.record.bytesPerPixel,
                         &image.record));
    EXPECT_EQ(
        std::tuple(params.dstPixels, params.dstRowBytes, params.dstPixelBytes, params.destination),
        std::tuple(d.pixelData, d.rowBytes, d.bytesPerPixel, &d));
  }
}

TEST_F(SyncRunTest, ExtraDataAndMetadataCopy) {
  Ref filter = NewFilter();
  for (signed char options : {0, 1}) {
    for (uint64_t extraRef : {uint64_t{0}, uint64_t{77}}) {
      SCOPED_TRACE(::testing::Message() << "options " << int{options} << " extraRef " << extraRef);
      FakeImage image(2, 2);
      image.record.metadata1 = 0x1111;
      image.record.metadata2 = 0x2222;
      image.record.extraRef = extraRef;
      image.record.extraData = 0x3333;
      image.record.extraKind = 4;
      image.record.extraFlag = 1;
      image.record.extraValue = 55;
      GenericMPParams params{};
      Ref made(host(),
               Engine(filter).ApplyFilter(&Data(filter), &params, kPlainRecorder, kMaskedRecorder,
                                          &image.record, nullptr, 2, 5, options));
      ASSERT_TRUE(made);
      const RawBitmap& d = *host::BitmapRecord(host(), made.get());
      const bool copied = options == 1 && extraRef != 0;
      EXPECT_EQ(std::tuple(d.metadata1, d.metadata2, d.extraValue, d.extraFlag, d.extraRef),
                std::tuple(0x1111u, 0x2222u, copied ? 55 : 0, copied ? 1 : 0, copied ? 77u : 0u));
    }
  }
}

}  // namespace
}  // namespace lumeno::testing

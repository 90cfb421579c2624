// The map effect as another plug-in uses it: the exported functions found by
// their symbols and through the engine table, run with a filter object's
// MPImageFilterData and lookup tables of the test.
#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "lumeno/engine.h"
#include "support/images.h"
#include "support/plugin_fixture.h"
#include "support/progress.h"

namespace lumeno::testing {
namespace {

using host::Object;
using host::Ref;

using ReleaseProc = signed char (*)(Object, GenericMPParams*);
using MapFn = Object (*)(MPImageFilterData*, Object, Object, MapParams*, signed char, signed char);
using MapInPlaceFn = void (*)(MPImageFilterData*, Object, Object, MapParams*, signed char);
using MapAsyncFn = void (*)(Object, MPImageFilterData*, Object, Object, MapParams*, signed char,
                            signed char, Object, void*, ReleaseProc);
using MapInPlaceAsyncFn = void (*)(Object, MPImageFilterData*, Object, Object, MapParams*,
                                   signed char, Object, void*, ReleaseProc);

// The symbols other plug-ins link against: names and parameter lists.
constexpr const char* kSymbols[] = {
    "_Z14ApplyMapEffectP17MPImageFilterDataP16ZARKobjectStructS2_P9MapParamsaa",
    "_Z21ApplyMapEffectInPlaceP17MPImageFilterDataP16ZARKobjectStructS2_P9MapParamsa",
    "_Z19ApplyMapEffectAsyncP16ZARKobjectStructP17MPImageFilterDataS0_S0_P9MapParamsaaS0_PvPFaS0_"
    "P15GenericMPParamsE",
    "_Z26ApplyMapEffectInPlaceAsyncP16ZARKobjectStructP17MPImageFilterDataS0_S0_P9MapParamsaS0_"
    "PvPFaS0_P15GenericMPParamsE",
};

std::array<uint8_t, 256> Table8(int (*f)(int)) {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(f(i));
  return t;
}
int Identity(int i) { return i; }
int Inverse(int i) { return 255 - i; }

// Counts the release callback's calls; keeps the context (returns 0).
struct ReleaseLog {
  int calls = 0;
  Object filter = nullptr;
  GenericMPParams* params = nullptr;
};
ReleaseLog gRelease;
signed char KeepParams(Object filter, GenericMPParams* params) {
  ++gRelease.calls;
  gRelease.filter = filter;
  gRelease.params = params;
  return 0;
}
signed char FreeParams(Object filter, GenericMPParams* params) {
  KeepParams(filter, params);
  return 1;
}

class MapTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    gRelease = {};
    filter_ = Ref(host(), host().New("BrightnessEffectRaw"));
    data_ = static_cast<MPImageFilterData*>(host().ClassData(filter_.get(), "MPImageFilterRaw"));
    ASSERT_NE(data_, nullptr);
  }
  void TearDown() override {
    filter_.Reset();
    PluginTest::TearDown();
  }
  void* Proc(int index) { return data_->engine->GetMapEffectProc(index); }
  MapFn Apply() { return reinterpret_cast<MapFn>(Proc(1)); }
  MapInPlaceFn ApplyInPlace() { return reinterpret_cast<MapInPlaceFn>(Proc(2)); }
  MapAsyncFn ApplyAsync() { return reinterpret_cast<MapAsyncFn>(Proc(3)); }
  MapInPlaceAsyncFn ApplyInPlaceAsync() { return reinterpret_cast<MapInPlaceAsyncFn>(Proc(4)); }
  RawBitmap& Record(const Ref& bitmap) { return *host::BitmapRecord(host(), bitmap.get()); }
  static MapParams Tables(const void* red, const void* green, const void* blue) {
    MapParams p{};
    p.redTable = red;
    p.greenTable = green;
    p.blueTable = blue;
    return p;
  }
  bool WaitForEnd() {
    return host().RunLoop([&] { return host().GetBoolean(filter_.get(), "AsyncCompleted"); }, 20);
  }

  Ref filter_;
  MPImageFilterData* data_ = nullptr;
};

TEST_F(MapTest, ProcsByIndexAreTheExportedFunctions) {
  void* library = dlopen(LUMENO_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  for (int index = 1; index <= 4; ++index) {
    void* symbol = dlsym(library, kSymbols[index - 1]);
    EXPECT_NE(symbol, nullptr) << kSymbols[index - 1];
    EXPECT_EQ(Proc(index), symbol) << index;
  }
  for (int index : {-1, 0, 5, 1000}) EXPECT_EQ(Proc(index), nullptr) << index;
  dlclose(library);
}

// The pixels of every format, mask and table depth, channel priorities
// included, are the fast-path test's; here what the map's own entries add.
// Format 4 is an option of the synchronous form only.
TEST_F(MapTest, FormatZeroOnlySynchronously) {
  const auto id = Table8(Identity);
  Ref source = RandomBitmap(host(), 4, 4, host::kRGB8, 0, 8);
  MapParams syncParams = Tables(id.data(), id.data(), id.data());
  Ref made(host(), Apply()(data_, source.get(), nullptr, &syncParams, 5, 4));
  ASSERT_TRUE(made);
  EXPECT_EQ(Record(made).imageFormat, 0);

  auto* params = static_cast<MapParams*>(std::calloc(1, sizeof(MapParams)));
  *params = Tables(id.data(), id.data(), id.data());
  ApplyAsync()(filter_.get(), data_, source.get(), nullptr, params, 5, 4, nullptr, nullptr,
               nullptr);
  ASSERT_TRUE(WaitForEnd());
  Ref result(host(), host().GetObject(filter_.get(), "AsyncResult"));
  ASSERT_TRUE(result);
  EXPECT_EQ(Record(result).imageFormat, host::kRGB8);
  EXPECT_TRUE(SamePixels(Record(source), Record(result)));
}

TEST_F(MapTest, ReleaseCallbackDecidesWhoFrees) {
  const auto inverse = Table8(Inverse);
  Ref source = RandomBitmap(host(), 5, 30, host::kRGB8, 0, 2);
  const std::vector<uint8_t> before = host::ReadPixels(Record(source));
  Ref target = NewCompletionTarget(host());

  // Zero: the engine calls it once at the end and leaves the context alone.
  auto* kept = static_cast<MapParams*>(std::calloc(1, sizeof(MapParams)));
  *kept = Tables(inverse.data(), inverse.data(), inverse.data());
  ApplyInPlaceAsync()(filter_.get(), data_, source.get(), nullptr, kept, 5, target.get(),
                      CompletionMethod(), &KeepParams);
  EXPECT_EQ(gRelease.calls, 0);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(std::tuple(gRelease.calls, gRelease.filter, gRelease.params),
            std::tuple(1, filter_.get(), &kept->base));
  EXPECT_EQ(kept->redTable, inverse.data()) << "context still readable";
  EXPECT_EQ(CompletionOf(target.get()).count, 1);
  EXPECT_EQ(Sample8(Record(source), 4, 29, 1), 255 - before[(29 * 5 + 4) * 3 + 1]);
  std::free(kept);

  // Non-zero on a refused start (a four-colour source): called once, freed
  // by the engine.
  gRelease = {};
  Ref cmyk(host(), host::CreateBitmap(host(), 2, 2, host::kCMYK8));
  auto* freed = static_cast<MapParams*>(std::calloc(1, sizeof(MapParams)));
  ApplyAsync()(filter_.get(), data_, cmyk.get(), nullptr, freed, 5, 1, target.get(),
               CompletionMethod(), &FreeParams);
  EXPECT_EQ(data_->errorCode, 5);
  EXPECT_EQ(gRelease.calls, 1);
  EXPECT_TRUE(host().GetBoolean(filter_.get(), "AsyncCompleted"));
}

}  // namespace
}  // namespace lumeno::testing

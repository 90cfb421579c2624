// Every effect of the plug-in, driven through the host exactly as a script
// drives it: an effect object with its properties set, then Apply or
// ApplyInPlace on a source bitmap, with and without a mask, at each thread
// count (MultiprocessingHint). The map effect runs through the engine table
// the way another plug-in calls it; the blend effect runs every mode.
#include <benchmark/benchmark.h>

#include <array>
#include <functional>
#include <type_traits>
#include <vector>

#include "bench/bench_support.h"
#include "lumeno/engine.h"
#include "support/effect_table.h"

namespace lumeno::bench {
namespace {

// One call of the effect on a source; returns the new bitmap (Apply) or null.
using Runner = std::function<Object(Object source)>;

// A typed method of the effect object, looked up once by its declaration.
template <typename R, typename... A>
Runner Method(Object effect, const char* declaration, A... args) {
  void* entry = TheHost().FindMethod(effect, declaration);
  if (entry == nullptr) return {};
  auto fn = reinterpret_cast<R (*)(Object, Object, A...)>(entry);
  return [=](Object source) -> Object {
    if constexpr (std::is_void_v<R>) {
      fn(effect, source, args...);
      return nullptr;
    } else {
      return fn(effect, source, args...);
    }
  };
}

struct EffectCase {
  std::string name;
  std::string className;
  bool sixteenBit;  // runs on 16-bit sources
  bool inPlace;     // has an in-place form
  // Sets the effect's properties and returns its runner for the chosen form.
  std::function<Runner(Object effect, bool inPlace, Object mask, int64_t size)> make;
};

// Lookup tables of the map effect: a curve on each channel.
const std::array<uint8_t, 256>& Table8() {
  static const auto table = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = static_cast<uint8_t>(i * i / 255);
    return t;
  }();
  return table;
}
const std::vector<uint16_t>& Table16() {
  static const auto table = [] {
    std::vector<uint16_t> t(65536);
    for (uint32_t i = 0; i < 65536; ++i) t[i] = static_cast<uint16_t>(uint64_t{i} * i / 65535);
    return t;
  }();
  return table;
}

// The map effect as another plug-in runs it: through slot 4 of the engine
// table of a filter object's MPImageFilterData (bound as the tests bind it).
Runner MapRunner(Object effect, bool inPlace, Object mask, int64_t) {
  MapParams tables8{}, tables16{};
  tables8.redTable = tables8.greenTable = tables8.blueTable = Table8().data();
  tables16.redTable = tables16.greenTable = tables16.blueTable = Table16().data();
  return testing::BindMap(TheHost(), effect, inPlace, mask, tables8, tables16, 5);
}

const char* const kGrayscaleMethods[] = {"NTSC_PAL", "ITU_R", "AVERAGE", "WEIGHTEDAVERAGE"};
const char* const kBlendModes[] = {
    "NORMAL",      "MULTIPLY",     "SCREEN",      "OVERLAY",     "DARKEN",       "LIGHTEN",
    "COLOR_DODGE", "COLOR_BURN",   "SOFT_LIGHT",  "HARD_LIGHT",  "DIFFERENCE",   "EXCLUSION",
    "HUE",         "SATURATION",   "COLOR",       "LUMINOSITY",  "PIN_LIGHT",    "SHARP_LIGHT",
    "VIVID_LIGHT", "LINEAR_LIGHT", "POWER_LIGHT", "LINEAR_BURN", "LINEAR_DODGE", "ADD"};

// The effects of the test suite's effect table with their first values
// (grayscale: each method), the map effect, and the blend in every mode.
std::vector<EffectCase> MakeCases() {
  std::vector<EffectCase> cases;
  for (const testing::Effect& e : testing::Effects()) {
    if (e.run) continue;  // the blend, below
    std::vector<std::pair<std::string, testing::Values>> runs;
    if (std::string(e.className) == "GrayscaleEffectRaw") {
      for (int method = 0; method < 4; ++method) {
        runs.push_back({std::string("grayscale.") + kGrayscaleMethods[method], {double(method), 0}});
      }
    } else {
      std::string name = e.shortName;
      for (char& c : name) c = c == '-' ? '_' : c;
      runs.push_back({name, e.samples[0]});
    }
    for (const auto& [name, values] : runs) {
      cases.push_back({name, e.className, true, e.inPlaceForms,
                       [&e, values = values](Object effect, bool inPlace, Object, int64_t) {
                         return testing::BindForm(TheHost(), e, effect, inPlace, values);
                       }});
    }
  }
  cases.push_back({"map", "BrightnessEffectRaw", true, true, &MapRunner});
  for (int64_t mode = 0; mode < 24; ++mode) {
    cases.push_back({std::string("blend.") + kBlendModes[mode], "BlendEffectRaw", false, false,
                     [mode](Object effect, bool, Object mask, int64_t size) {
                       TheHost().SetProperty(effect, "BlendMode", mode);
                       return Method<Object>(
                           effect,
                           "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as "
                           "Double,fillMask as RawBitmapMask,location as PointF,size as "
                           "SizeF) as RawBitmap",
                           FillImage(size), 0.75, mask, Object{nullptr}, Object{nullptr});
                     }});
  }
  return cases;
}

const std::vector<EffectCase>& Cases() {
  static const std::vector<EffectCase> cases = MakeCases();
  return cases;
}

bool UsesFillMask(const EffectCase& c) { return c.className == "BlendEffectRaw"; }
bool UsesMaskProperty(const EffectCase& c) {
  return !UsesFillMask(c) && c.name != "map";  // the map effect takes its mask as an argument
}

void RunEffect(benchmark::State& state, const EffectCase* c, int64_t format, bool masked,
               bool inPlace, int64_t size, int threads) {
  host::Host& h = TheHost();
  Object source = SourceImage(format, size);
  Object mask = masked ? MaskImage(size) : nullptr;
  host::Ref effect(h, h.New(c->className));
  h.SetProperty(effect.get(), "MultiprocessingHint", int64_t{threads});
  if (masked && UsesMaskProperty(*c)) h.SetProperty(effect.get(), "Mask", mask);
  const Runner run = c->make(effect.get(), inPlace, masked ? mask : nullptr, size);
  if (!run) {
    state.SkipWithError("method not found");
  }
  for (auto _ : state) {
    Object result = run(source);
    if (!inPlace) {
      if (result == nullptr) {
        state.SkipWithError("Apply returned no bitmap");
        break;
      }
      h.Unlock(result);
    }
  }
  if (run && h.GetInteger(effect.get(), "ErrorCode") != 0) {
    state.SkipWithError(
        ("ErrorCode " + std::to_string(h.GetInteger(effect.get(), "ErrorCode"))).c_str());
  }
  state.SetBytesProcessed(state.iterations() * PixelBytes(format, size));
}

}  // namespace

void RegisterEffects(int64_t size, int threads, int64_t format) {
  const bool sixteen = host::FindFormat(format)->bitsPerChannel == 16;
  for (const EffectCase& c : Cases()) {
    if (sixteen && !c.sixteenBit) continue;
    if (format == host::kRGB8 && !UsesFillMask(c)) continue;
    for (bool inPlace : {true, false}) {
      if (inPlace && !c.inPlace) continue;
      for (bool masked : {false, true}) {
        const EffectCase* pc = &c;
        benchmark::RegisterBenchmark(
            EffectName(c.name, format, masked, inPlace, size, threads).c_str(),
            [=](benchmark::State& s) { RunEffect(s, pc, format, masked, inPlace, size, threads); })
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
}

}  // namespace lumeno::bench

// The seeded random stress run, a systematic sweep of hostile values over
// every Single and Double property and argument of every filter class, and
// the replay of the checked-in fuzz corpora.
//
// LUMENO_STRESS_OPS sets the number of random operations (default: a short
// run, shorter in sanitizer builds), LUMENO_STRESS_SEED the seed.
// scripts/stress-long.sh runs a long one.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/corpus_replay.h"
#include "stress/stress_driver.h"
#include "support/images.h"
#include "support/plugin_fixture.h"
#include "support/progress.h"

#ifndef LUMENO_STRESS_DEFAULT_OPS
#define LUMENO_STRESS_DEFAULT_OPS 20000
#endif

namespace lumeno::stress {
namespace {

using host::Object;
using host::Ref;
using host::Value;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text == nullptr || *text == '\0' ? fallback : std::strtoull(text, nullptr, 0);
}

class StressTest : public testing::PluginTest {};

// Every float-to-integer conversion must stay defined for NaN, infinities
// and huge values: the sanitizer builds turn a plain cast into a failure.
// Each value goes on one Single or Double property at a time (the blend's
// fill set, so that runs reach the workers), then every method runs, with
// the value as its float arguments and placement, to the end.
std::vector<double> Hostile(bool single) {
  return {std::numeric_limits<double>::quiet_NaN(),
          INFINITY,
          -INFINITY,
          single ? FLT_MAX : DBL_MAX,
          single ? -FLT_MAX : -DBL_MAX,
          single ? 1e30 : 1e300,
          -3e9,
          std::nextafter(1.0f, 2.0f)};
}

// A PointF or SizeF at (v, -v), kept alive by `keep`.
Object Placed(host::Host& h, const std::string& type, Value v, Value minusV,
              std::vector<Ref>& keep) {
  keep.emplace_back(h, h.New(type));
  h.SetProperty(keep.back().get(), type == "PointF" ? "x" : "Width", v);
  h.SetProperty(keep.back().get(), type == "PointF" ? "y" : "Height", minusV);
  return keep.back().get();
}

// A new filter of the class with `property` (null: Location, Size and
// Opacity, where the class has them) set to the hostile value, each method
// called with it and run to the end.
void CallEveryMethod(host::Host& h, const host::ClassInfo* cls, Object source, Object fill,
                     double hostile, const ZARKpropertyDefinition* property) {
  Ref filter(h, h.New(cls->definition->name));
  std::vector<Ref> keep;
  if (h.FindProperty(filter.get(), "FillBitmap")) h.SetProperty(filter.get(), "FillBitmap", fill);
  const float single = static_cast<float>(hostile);
  if (property != nullptr) {
    const bool isSingle = std::string(property->type) == "Single";
    ASSERT_TRUE(h.SetProperty(filter.get(), property->name, isSingle ? Value(single) : hostile));
  }
  for (const char* name : {"Location", "Size"}) {
    const ZARKpropertyDefinition* p = h.FindProperty(filter.get(), name);
    if (property != nullptr || p == nullptr) continue;
    h.SetProperty(filter.get(), name, Placed(h, p->type, single, -single, keep));
    h.SetProperty(filter.get(), "Opacity", hostile);
  }
  for (const host::ClassInfo* c = cls; c != nullptr; c = c->super) {
    for (int64_t i = 0; i < c->definition->methodCount; ++i) {
      const std::string declaration = c->definition->methods[i].declaration;
      host::MethodDecl decl;
      ASSERT_TRUE(host::ParseDeclaration(declaration, &decl)) << declaration;
      std::vector<Value> args;
      for (size_t k = 0; k < decl.params.size(); ++k) {
        const std::string& type = decl.params[k].type;
        Value arg = type == "Boolean" ? Value(true) : Value(Object{nullptr});
        if (type == "Single") arg = single;
        if (type == "Double") arg = hostile;
        if (type == "Integer" || type.find('.') != std::string::npos) arg = int64_t{-7};
        if (type == "RawBitmap") arg = k == 0 ? source : fill;
        if (type == "PointF" || type == "SizeF") arg = Placed(h, type, hostile, -hostile, keep);
        if (type == "Object") arg = keep.emplace_back(testing::NewCompletionTarget(h)).get();
        if (type == "Ptr") arg = testing::CompletionMethod();
        args.push_back(arg);
      }
      Value result = h.CallDynamic(filter.get(), declaration, args);
      if (auto* o = std::get_if<Object>(&result)) h.Unlock(*o);
      h.RunLoop([&] { return h.GetBoolean(filter.get(), "AsyncCompleted"); }, 20.0);
      EXPECT_TRUE(h.GetBoolean(filter.get(), "AsyncCompleted")) << declaration;
    }
  }
}

TEST_F(StressTest, RandomScriptKeepsEveryPromise) {
  const uint64_t ops = EnvNumber("LUMENO_STRESS_OPS", LUMENO_STRESS_DEFAULT_OPS);
  const uint64_t seed = EnvNumber("LUMENO_STRESS_SEED", 20261205);
  unsigned long long failures = 0;  // the first 20 are reported
  DriverOptions options;
  options.fail = [&](const std::string& message) {
    if (++failures <= 20) ADD_FAILURE() << message;
  };
  RandomChooser chooser(seed);
  const Counts n = RunScript(host(), chooser, options, ops);
  std::printf("stress seed %llu: %llu error-code checks, %llu completions, %llu failures\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(n.codeChecks),
              static_cast<unsigned long long>(n.completions), failures);
  EXPECT_GT(n.codeChecks, 0u);
  EXPECT_GT(n.completions, 0u);
  EXPECT_EQ(host().LiveObjects(), 0u) << "seed " << seed;
}

TEST_F(StressTest, HostileValuesOnEveryFloatPropertyAndArgument) {
  for (int64_t format : {host::kRGBA8, host::kGray8, host::kRGB16, host::kCMYK8}) {
    Ref source = testing::RandomBitmap(host(), 20, 17, format, 0, 7);
    Ref fill = testing::RandomBitmap(host(), 9, 11, format, 0, 8);
    for (const host::ClassInfo* info : host().Classes()) {
      bool filter = false;
      for (const host::ClassInfo* c = info; c != nullptr; c = c->super) {
        filter = filter || std::string(c->definition->name) == "MPImageFilterRaw";
      }
      if (!filter) continue;
      SCOPED_TRACE(info->definition->name);
      for (const host::ClassInfo* c = info; c != nullptr; c = c->super) {
        for (int64_t p = 0; p < c->definition->propertyCount; ++p) {
          const ZARKpropertyDefinition& prop = c->definition->properties[p];
          const std::string type = prop.type;
          if (prop.setter == nullptr || (type != "Single" && type != "Double")) continue;
          SCOPED_TRACE(prop.name);
          for (double v : Hostile(type == "Single")) {
            CallEveryMethod(host(), info, source.get(), fill.get(), v, &prop);
          }
        }
      }
      for (double v : Hostile(true))
        CallEveryMethod(host(), info, source.get(), fill.get(), v, nullptr);
    }
  }
}

TEST_F(StressTest, ReplayFuzzCorpora) {
  fuzz::ReplayCorpus("blend",
                     [&](const uint8_t* d, size_t n) { return fuzz::FuzzBlend(host(), d, n); });
  fuzz::ReplayCorpus("effects",
                     [&](const uint8_t* d, size_t n) { return fuzz::FuzzEffects(host(), d, n); });
  fuzz::ReplayCorpus("colormath", fuzz::FuzzColorMath);
}

}  // namespace
}  // namespace lumeno::stress

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
#include <set>
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

TEST_F(StressTest, RandomScriptKeepsEveryPromise) {
  const uint64_t ops = EnvNumber("LUMENO_STRESS_OPS", LUMENO_STRESS_DEFAULT_OPS);
  const uint64_t seed = EnvNumber("LUMENO_STRESS_SEED", 20261205);
  // Each kind of failure (the class and the complaint, without numbers and
  // format names) is reported once, so one fault does not hide the others.
  std::set<std::string> kinds;
  unsigned long long failures = 0;
  DriverOptions options;
  options.fail = [&](const std::string& message) {
    ++failures;
    const size_t open = message.find('[');
    const size_t space = message.find(' ', open == std::string::npos ? 0 : open);
    const size_t colon = message.rfind(": ");
    std::string kind = open == std::string::npos ? "" : message.substr(open, space - open);
    for (char ch : colon == std::string::npos ? message : message.substr(colon)) {
      if ((ch < '0' || ch > '9') && (ch < 'A' || ch > 'Z') && ch != '_') kind += ch;
    }
    if (kinds.size() < 25 && kinds.insert(kind).second) ADD_FAILURE() << message;
  };
  RandomChooser chooser(seed);
  {
    Driver driver(host(), chooser, options);
    for (uint64_t i = 0; i < ops; ++i) driver.Step();
    driver.Finish();
    const Driver::Counts& n = driver.counts();
    std::printf("stress seed %llu: %llu operations, %llu method calls, %llu async starts, %llu "
                "completions, %llu error-code checks, %llu failures\n",
                static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(n.operations),
                static_cast<unsigned long long>(n.methodCalls),
                static_cast<unsigned long long>(n.asyncStarts),
                static_cast<unsigned long long>(n.completions),
                static_cast<unsigned long long>(n.codeChecks), failures);
    EXPECT_GT(n.codeChecks, 0u);
    EXPECT_GT(n.completions, 0u);
  }
  EXPECT_EQ(host().LiveObjects(), 0u) << "seed " << seed;
}

// -- Hostile values, systematically -------------------------------------------

constexpr double kInf = std::numeric_limits<double>::infinity();
const std::vector<double> kHostileSingles = {
    std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, FLT_MAX, -FLT_MAX, 1e30, -3e9,
    std::nextafter(1.0f, 2.0f)};
const std::vector<double> kHostileDoubles = {
    std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, DBL_MAX, -DBL_MAX, 1e300, -3e9};

// Calls every method of `filter` with `source` wherever a RawBitmap is taken,
// `hostile` for every Single or Double argument, and typed placeholders for
// the rest, waiting for asynchronous runs to end.
void CallEveryMethod(host::Host& h, Object filter, const host::ClassInfo* cls, Object source,
                     double hostile, Object fill) {
  for (const host::ClassInfo* c = cls; c != nullptr; c = c->super) {
    for (int64_t i = 0; i < c->definition->methodCount; ++i) {
      const std::string declaration = c->definition->methods[i].declaration;
      host::MethodDecl decl;
      ASSERT_TRUE(host::ParseDeclaration(declaration, &decl)) << declaration;
      std::vector<Value> args;
      std::vector<Ref> keep;
      for (size_t k = 0; k < decl.params.size(); ++k) {
        const std::string& type = decl.params[k].type;
        if (type == "Single") {
          args.emplace_back(static_cast<float>(hostile));
        } else if (type == "Double") {
          args.emplace_back(hostile);
        } else if (type == "Integer" || type.find('.') != std::string::npos) {
          args.emplace_back(int64_t{-7});
        } else if (type == "RawBitmap") {
          args.emplace_back(k == 0 ? source : fill);
        } else if (type == "PointF" || type == "SizeF") {
          keep.emplace_back(h, h.New(type));
          h.SetProperty(keep.back().get(), type == "PointF" ? "x" : "Width", hostile);
          h.SetProperty(keep.back().get(), type == "PointF" ? "y" : "Height", -hostile);
          args.emplace_back(keep.back().get());
        } else if (type == "Object") {
          keep.push_back(testing::NewCompletionTarget(h));
          args.emplace_back(keep.back().get());
        } else if (type == "Ptr") {
          args.emplace_back(testing::CompletionMethod());
        } else {
          args.emplace_back(type == "Boolean" ? Value(true) : Value(Object{nullptr}));
        }
      }
      Value result = h.CallDynamic(filter, declaration, args);
      if (auto* o = std::get_if<Object>(&result)) h.Unlock(*o);
      h.RunLoop([&] { return h.GetBoolean(filter, "AsyncCompleted"); }, 20.0);
      EXPECT_TRUE(h.GetBoolean(filter, "AsyncCompleted")) << declaration;
    }
  }
}

// Every float-to-integer conversion must stay defined for NaN, infinities
// and huge values: the sanitizer builds turn a plain cast into a failure.
TEST_F(StressTest, HostileValuesOnEveryFloatPropertyAndArgument) {
  std::vector<const host::ClassInfo*> classes;
  for (const host::ClassInfo* info : host().Classes()) {
    for (const host::ClassInfo* c = info; c != nullptr; c = c->super) {
      if (std::string(c->definition->name) == "MPImageFilterRaw") classes.push_back(info);
    }
  }
  ASSERT_FALSE(classes.empty());
  for (int64_t format : {host::kRGBA8, host::kGray8, host::kRGB16, host::kCMYK8}) {
    Ref source = testing::RandomBitmap(host(), 20, 17, format, 0, 7);
    Ref fill = testing::RandomBitmap(host(), 9, 11, format, 0, 8);
    ASSERT_TRUE(source && fill);
    for (const host::ClassInfo* cls : classes) {
      SCOPED_TRACE(cls->definition->name);
      // A filter of the class whose blend fill is set, so runs reach the workers.
      auto newFilter = [&] {
        Ref filter(host(), host().New(cls->definition->name));
        if (host().FindProperty(filter.get(), "FillBitmap") != nullptr) {
          host().SetProperty(filter.get(), "FillBitmap", fill.get());
        }
        return filter;
      };
      for (const host::ClassInfo* c = cls; c != nullptr; c = c->super) {
        for (int64_t p = 0; p < c->definition->propertyCount; ++p) {
          const ZARKpropertyDefinition& prop = c->definition->properties[p];
          const std::string type = prop.type;
          if (prop.setter == nullptr || (type != "Single" && type != "Double")) continue;
          SCOPED_TRACE(prop.name);
          for (double hostile : type == "Single" ? kHostileSingles : kHostileDoubles) {
            Ref filter = newFilter();
            ASSERT_TRUE(host().SetProperty(
                filter.get(), prop.name,
                type == "Single" ? Value(static_cast<float>(hostile)) : Value(hostile)));
            CallEveryMethod(host(), filter.get(), cls, source.get(), hostile, fill.get());
          }
        }
      }
      // Methods with float arguments, with hostile placement objects and opacity.
      for (double hostile : kHostileSingles) {
        Ref filter = newFilter();
        for (const char* name : {"Location", "Size"}) {
          const ZARKpropertyDefinition* p = host().FindProperty(filter.get(), name);
          if (p == nullptr) continue;
          Ref o(host(), host().New(p->type));
          for (int64_t k = 0; k < 2; ++k) {
            const ZARKclassDefinition* d = host().ClassOf(o.get())->definition;
            host().SetProperty(o.get(), d->properties[k].name,
                               static_cast<float>(k == 0 ? hostile : -hostile));
          }
          host().SetProperty(filter.get(), name, o.get());
          host().SetProperty(filter.get(), "Opacity", hostile);
        }
        CallEveryMethod(host(), filter.get(), cls, source.get(), hostile, fill.get());
      }
    }
  }
}

// -- The checked-in fuzz corpora ----------------------------------------------

TEST_F(StressTest, ReplayBlendCorpus) {
  fuzz::ReplayCorpus("blend",
                     [&](const uint8_t* d, size_t n) { return fuzz::FuzzBlend(host(), d, n); });
}
TEST_F(StressTest, ReplayEffectsCorpus) {
  fuzz::ReplayCorpus("effects",
                     [&](const uint8_t* d, size_t n) { return fuzz::FuzzEffects(host(), d, n); });
}
TEST_F(StressTest, ReplayColorMathCorpus) { fuzz::ReplayCorpus("colormath", fuzz::FuzzColorMath); }

}  // namespace
}  // namespace lumeno::stress

// The seeded random stress run and a systematic sweep of hostile values over
// every Single and Double property and argument of every filter class.
//
// LUMENO_STRESS_OPS sets the number of random operations (default: a short
// run, shorter in sanitizer builds), LUMENO_STRESS_SEED the seed.
// scripts/stress-long.sh runs a long one.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "host/raw_bitmap_class.h"
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
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 0);
}

class StressTest : public testing::PluginTest {};

TEST_F(StressTest, RandomScriptKeepsEveryPromise) {
  const uint64_t ops = EnvNumber("LUMENO_STRESS_OPS", LUMENO_STRESS_DEFAULT_OPS);
  const uint64_t seed = EnvNumber("LUMENO_STRESS_SEED", 20261205);
  // Each kind of failure is reported once (the same message with other
  // numbers counts as the same kind), so one fault does not hide the others.
  std::set<std::string> kinds;
  uint64_t failures = 0;
  DriverOptions options;
  options.fail = [&](const std::string& message) {
    ++failures;
    // The class and the complaint, without numbers and format names.
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
    std::printf(
        "stress seed %llu: %llu operations, %llu method calls, %llu async starts, %llu "
        "completions, %llu pixel checks, %llu error-code checks, %llu failures\n",
        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(n.operations),
        static_cast<unsigned long long>(n.methodCalls),
        static_cast<unsigned long long>(n.asyncStarts),
        static_cast<unsigned long long>(n.completions),
        static_cast<unsigned long long>(n.pixelChecks),
        static_cast<unsigned long long>(n.codeChecks), static_cast<unsigned long long>(failures));
    EXPECT_GT(n.pixelChecks, 0u);
  }
  EXPECT_EQ(host().LiveObjects(), 0u) << "seed " << seed;
}

// -- Hostile values, systematically -------------------------------------------

const std::vector<float>& HostileSingles() {
  static const std::vector<float> values = {std::numeric_limits<float>::quiet_NaN(),
                                            std::numeric_limits<float>::infinity(),
                                            -std::numeric_limits<float>::infinity(),
                                            FLT_MAX,
                                            -FLT_MAX,
                                            1e30f,
                                            -3e9f,
                                            std::nextafter(1.0f, 2.0f)};
  return values;
}

const std::vector<double>& HostileDoubles() {
  static const std::vector<double> values = {std::numeric_limits<double>::quiet_NaN(),
                                             std::numeric_limits<double>::infinity(),
                                             -std::numeric_limits<double>::infinity(),
                                             DBL_MAX,
                                             -DBL_MAX,
                                             1e300,
                                             -3e9};
  return values;
}

std::vector<const host::ClassInfo*> FilterClasses(host::Host& h) {
  std::vector<const host::ClassInfo*> out;
  for (const host::ClassInfo* info : h.Classes()) {
    for (const host::ClassInfo* c = info; c != nullptr; c = c->super) {
      if (std::strcmp(c->definition->name, "MPImageFilterRaw") == 0) {
        out.push_back(info);
        break;
      }
    }
  }
  return out;
}

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
          Ref o(h, h.New(type));
          h.SetProperty(o.get(), type == "PointF" ? "x" : "Width", hostile);
          h.SetProperty(o.get(), type == "PointF" ? "y" : "Height", -hostile);
          args.emplace_back(o.get());
          keep.push_back(std::move(o));
        } else if (type == "Object") {
          Ref o = testing::NewCompletionTarget(h);
          args.emplace_back(o.get());
          keep.push_back(std::move(o));
        } else if (type == "Ptr") {
          args.emplace_back(testing::CompletionMethod());
        } else if (type == "Boolean") {
          args.emplace_back(true);
        } else {
          args.emplace_back(Object{nullptr});
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
  const std::vector<const host::ClassInfo*> classes = FilterClasses(host());
  ASSERT_FALSE(classes.empty());
  for (int64_t format : {host::kRGBA8, host::kGray8, host::kRGB16, host::kCMYK8}) {
    Ref source = testing::RandomBitmap(host(), 20, 17, format, 0, 7);
    Ref fill = testing::RandomBitmap(host(), 9, 11, format, 0, 8);
    ASSERT_TRUE(source && fill);
    for (const host::ClassInfo* cls : classes) {
      SCOPED_TRACE(cls->definition->name);
      for (const host::ClassInfo* c = cls; c != nullptr; c = c->super) {
        for (int64_t p = 0; p < c->definition->propertyCount; ++p) {
          const ZARKpropertyDefinition& prop = c->definition->properties[p];
          const std::string type = prop.type;
          if (prop.setter == nullptr || (type != "Single" && type != "Double")) continue;
          SCOPED_TRACE(prop.name);
          const size_t count = type == "Single" ? HostileSingles().size() : HostileDoubles().size();
          for (size_t v = 0; v < count; ++v) {
            const double hostile =
                type == "Single" ? static_cast<double>(HostileSingles()[v]) : HostileDoubles()[v];
            Ref filter(host(), host().New(cls->definition->name));
            // Blend needs its fill and placement objects set to reach the workers.
            if (host().FindProperty(filter.get(), "FillBitmap") != nullptr) {
              host().SetProperty(filter.get(), "FillBitmap", fill.get());
            }
            ASSERT_TRUE(host().SetProperty(
                filter.get(), prop.name,
                type == "Single" ? Value(static_cast<float>(hostile)) : Value(hostile)));
            CallEveryMethod(host(), filter.get(), cls, source.get(), hostile, fill.get());
          }
        }
      }
      // Methods with float arguments, on a filter with default properties.
      for (float hostile : HostileSingles()) {
        Ref filter(host(), host().New(cls->definition->name));
        // Placement objects of the blend, read by its parameterless forms.
        for (const char* name : {"Location", "Size"}) {
          const ZARKpropertyDefinition* p = host().FindProperty(filter.get(), name);
          if (p == nullptr) continue;
          Ref o(host(), host().New(p->type));
          for (int64_t k = 0; k < 2; ++k) {
            const ZARKclassDefinition* d = host().ClassOf(o.get())->definition;
            host().SetProperty(o.get(), d->properties[k].name, k == 0 ? hostile : -hostile);
          }
          host().SetProperty(filter.get(), name, o.get());
        }
        if (host().FindProperty(filter.get(), "FillBitmap") != nullptr) {
          host().SetProperty(filter.get(), "FillBitmap", fill.get());
          host().SetProperty(filter.get(), "Opacity", static_cast<double>(hostile));
        }
        CallEveryMethod(host(), filter.get(), cls, source.get(), hostile, fill.get());
      }
    }
  }
}

}  // namespace
}  // namespace lumeno::stress

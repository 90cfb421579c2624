// Start-up: the version gate, the registration order of the error module and
// the ten classes, the console-safe flag, the class flag helpers and the
// globals start-up fills.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "host/host.h"
#include "lumeno/zark.h"
#include "shell/plugin_copy.h"

namespace lumeno::testing {
namespace {

using host::Host;
using host::HostOptions;

const std::vector<std::string> kClassOrder = {
    "MPImageFilterRaw",  "BrightnessEffectRaw",  "BrightnessContrastEffectRaw",
    "ContrastEffectRaw", "GrayscaleEffectRaw",   "SepiaEffectRaw",
    "InvertEffectRaw",   "ColorFilterEffectRaw", "TintAndTemperatureEffectRaw",
    "BlendEffectRaw"};

// Registration log: the fakes forward to the host after noting the name.
std::vector<std::string> gRegistrations;
void RegisterModuleFake(ZARKmoduleDefinition* module) {
  gRegistrations.push_back(std::string("module ") + module->name);
  Host::Current()->RegisterModule(module);
}
void RegisterClassFake(ZARKclassDefinition* definition) {
  gRegistrations.push_back(definition->name);
  Host::Current()->RegisterClass(definition);
}

// Loads a fresh copy into a host made with `options` and answers what the
// load registered (the host registers its own bitmap classes first).
std::vector<std::string> Load(const HostOptions& options,
                              const std::function<void(Host&)>& check = nullptr) {
  gRegistrations.clear();
  Host host(options);
  host.AddEntry("PluginRegisterModule", reinterpret_cast<void*>(&RegisterModuleFake));
  host.AddEntry("PluginRegisterClass", reinterpret_cast<void*>(&RegisterClassFake));
  std::string error;
  EXPECT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
  EXPECT_EQ(host.LiveObjects(), 0u);
  if (check) check(host);
  return gRegistrations;
}

TEST(StartUp, VersionGateAndRegistrationOrder) {
  std::vector<std::string> all = {"module LumenoRawError"};
  all.insert(all.end(), kClassOrder.begin(), kClassOrder.end());
  struct Case {
    double version;
    const char* hidden;
    bool registers;
  };
  const Case cases[] = {
      {2011.0, "", true},   {2010.99, "", false}, {100.0, "", true},   {0.0, "", false},
      {99.99, "", false},   {100.01, "", false},  {2024.0, "", true},  {-2011.0, "", false},
      {2011.0, "ZARKGetHXVersion", false},  // a host without its version registers nothing
      {2011.0, "RegisterPluginVersion", true},  // nor needs to hear the plug-in's version
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.version << " " << c.hidden);
    HostOptions options;
    options.version = c.version;
    if (*c.hidden) options.hiddenEntries = {c.hidden};
    const auto registered = Load(options, [&](Host& host) {
      EXPECT_EQ(*c.hidden ? host.ResolveCount(c.hidden) : host.RegisteredPluginVersion(),
                *c.hidden ? 1 : 13);
    });
    EXPECT_EQ(registered, c.registers ? all : std::vector<std::string>{});
  }
}

// The error module's record, and every class console-safe (flag 4), not
// web-only (0x100), version 13; reserved slots zero.
TEST(StartUp, ErrorModuleAndClassRecords) {
  Load(HostOptions{}, [](Host& host) {
    const ZARKmoduleDefinition& module = *host.Modules().back().definition;
    EXPECT_EQ(std::tuple(module.version, std::string(module.name), module.constantCount),
              std::tuple(13, "LumenoRawError", 12));
    for (int64_t i = 0; i < module.constantCount; ++i) {
      for (uint64_t slot : module.constants[i].reserved) EXPECT_EQ(slot, 0u);
    }
    for (uint64_t slot : module.reserved0) EXPECT_EQ(slot, 0u);
    for (uint64_t slot : module.reserved1) EXPECT_EQ(slot, 0u);
    const auto& classes = host.Classes();
    for (size_t i = classes.size() - kClassOrder.size(); i < classes.size(); ++i) {
      const ZARKclassDefinition& c = *classes[i]->definition;
      EXPECT_EQ(std::tuple(c.flags & 0x104u, c.flagsHigh, c.version), std::tuple(4u, 0u, 13))
          << c.name;
    }
  });
}

TEST(StartUp, ClassFlagHelpers) {
  PluginCopy copy;
  using Helper = void (*)(ZARKclassDefinition*);
  auto consoleSafe = copy.Function<Helper>("SetClassConsoleSafe(ZARKclassDefinition*)");
  auto webOnly = copy.Function<Helper>("SetClassWebOnly(ZARKclassDefinition*)");
  const uint32_t cases[][3] = {  // before, console-safe, web-only
      {0, 4, 0x100}, {12, 12, 0x104}, {8, 12, 0x100}, {0x100, 0x104, 0x100}, {0xFF, 0xFF, 0x1F7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    for (int k = 1; k <= 2; ++k) {
      ZARKclassDefinition definition{};
      definition.flags = c[0];
      (k == 1 ? consoleSafe : webOnly)(&definition);
      EXPECT_EQ(definition.flags, c[k]);
      EXPECT_EQ(definition.flagsHigh, 0u);
    }
  }
}

// Start-up globals, through a copy whose start-up this test runs itself.
std::vector<std::string> gClassRefNames;
ZARKclassRefStruct* ObjectTypeFake(const char* name) {
  gClassRefNames.push_back(name);
  return Host::Current()->ClassRef(name);
}

TEST(StartUp, FillsTheStartUpGlobals) {
  for (double version : {2011.0, 2010.0}) {
    SCOPED_TRACE(version);
    gClassRefNames.clear();
    PluginCopy copy;
    HostOptions options;
    options.version = version;
    Host host(options);
    host.AddEntry("pluginObjectType", reinterpret_cast<void*>(&ObjectTypeFake));
    copy.Global<void*>("gTimerResolver") = reinterpret_cast<void*>(uintptr_t{1});
    copy.Function<void (*)(void* (*)(const char*))>("ZARKPluginMain")(&Host::ResolverEntry);
    // Both clear the timer resolver and announce the version.
    EXPECT_EQ(copy.Global<void*>("gTimerResolver"), nullptr);
    EXPECT_EQ(host.RegisteredPluginVersion(), 13);
    if (version < 2011.0) {  // a closed gate fills nothing else
      EXPECT_EQ(copy.Global<void*>("ELockObject"), nullptr);
      EXPECT_EQ(copy.Global<void*>("EInstallInstanceEventHandler"), nullptr);
      EXPECT_EQ(host.ResolveCount("pluginObjectType"), 0);
      continue;
    }
    EXPECT_EQ(copy.Global<void*>("gResolver"), reinterpret_cast<void*>(&Host::ResolverEntry));
    EXPECT_EQ(copy.Global<void*>("EInstallInstanceEventHandler"),
              host.Resolve("RuntimeInstallInstanceEventHandler"));
    EXPECT_EQ(copy.Global<void*>("ELockObject"), host.Resolve("ZARKLockObject"));
    EXPECT_EQ(copy.Global<void*>("EUnlockObject"), host.Resolve("ZARKUnlockObject"));
    EXPECT_NE(copy.Global<void*>("ELockObject"), nullptr);
    // "Timer" is asked for and not kept; the bitmap classes are not looked up.
    EXPECT_EQ(gClassRefNames, std::vector<std::string>{"Timer"});
    EXPECT_EQ(copy.Global<void*>("RawBitmapRef"), nullptr);
  }
}

}  // namespace
}  // namespace lumeno::testing

// Start-up: the version gate, the registration order of the error module and
// the ten classes, the console-safe flag, the class flag helpers and the
// globals start-up fills.
#include <gtest/gtest.h>

#include <string>
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

const std::vector<std::string> kErrorConstants = {
    "NO_ERROR = 0",
    "INVALID_MASK = 1",
    "INVALID_SOURCE_IMAGE = 2",
    "UNABLE_TO_CREATE_DESTINATION = 3",
    "ILLEGAL_INPUT_PARAMETER = 4",
    "NOT_SUPPORTED_COLOR_SPACE = 5",
    "NOT_SUPPORTED_DEPTH = 6",
    "DEPTH_NOT_MATCHING = 7",
    "CHANNEL_STRUCTURE_NOT_MATCHING = 8",
    "PARAMETER_NOT_SUPPORTED_ON_COLOR_SPACE = 9",
    "ASYNC_METHOD_ALLREADY_RUNNING_ON_THIS_INSTANCE = 10",
    "OUT_OF_MEMORY = 11"};

// The classes and modules a load added to the host (the host registers its
// own bitmap classes first).
struct Registered {
  size_t classesBefore;
  size_t modulesBefore;
};
Registered Before(const Host& host) { return {host.Classes().size(), host.Modules().size()}; }
std::vector<std::string> NewClasses(const Host& host, const Registered& before) {
  std::vector<std::string> names;
  for (size_t i = before.classesBefore; i < host.Classes().size(); ++i) {
    names.push_back(host.Classes()[i]->definition->name);
  }
  return names;
}
std::vector<const ZARKmoduleDefinition*> NewModules(const Host& host, const Registered& before) {
  std::vector<const ZARKmoduleDefinition*> modules;
  for (size_t i = before.modulesBefore; i < host.Modules().size(); ++i) {
    modules.push_back(host.Modules()[i].definition);
  }
  return modules;
}

struct GateCase {
  double version;
  bool registers;
};

TEST(StartUp, VersionGate) {
  const GateCase cases[] = {
      {2011.0, true}, {2010.99, false}, {100.0, true},  {0.0, false},
      {99.99, false}, {100.01, false},  {2024.0, true}, {-2011.0, false},
  };
  for (const GateCase& c : cases) {
    SCOPED_TRACE(c.version);
    HostOptions options;
    options.version = c.version;
    Host host(options);
    const Registered before = Before(host);
    std::string error;
    ASSERT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
    EXPECT_EQ(host.RegisteredPluginVersion(), 13);
    EXPECT_EQ(NewModules(host, before).size(), c.registers ? 1u : 0u);
    EXPECT_EQ(NewClasses(host, before), c.registers ? kClassOrder : std::vector<std::string>{});
    EXPECT_EQ(host.LiveObjects(), 0u);
  }
}

TEST(StartUp, HostWithoutVersionEntryRegistersNothing) {
  HostOptions options;
  options.hiddenEntries = {"ZARKGetHXVersion"};
  Host host(options);
  const Registered before = Before(host);
  std::string error;
  ASSERT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
  EXPECT_EQ(host.ResolveCount("ZARKGetHXVersion"), 1);
  EXPECT_TRUE(NewModules(host, before).empty());
  EXPECT_TRUE(NewClasses(host, before).empty());
}

// Registration log: the fakes forward to the host after noting the name.
std::vector<std::string> gRegistrations;
void RegisterModuleFake(ZARKmoduleDefinition* module) {
  gRegistrations.push_back(std::string("module ") + module->name);
  Host::Current()->RegisterModule(module);
}
void RegisterClassFake(ZARKclassDefinition* definition) {
  gRegistrations.push_back(std::string("class ") + definition->name);
  Host::Current()->RegisterClass(definition);
}

TEST(StartUp, RegistersTheModuleThenTheClassesInOrder) {
  gRegistrations.clear();
  Host host;
  const Registered before = Before(host);
  host.AddEntry("PluginRegisterModule", reinterpret_cast<void*>(&RegisterModuleFake));
  host.AddEntry("PluginRegisterClass", reinterpret_cast<void*>(&RegisterClassFake));
  std::string error;
  ASSERT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;

  std::vector<std::string> expected = {"module LumenoRawError"};
  for (const auto& name : kClassOrder) expected.push_back("class " + name);
  EXPECT_EQ(gRegistrations, expected);
  EXPECT_EQ(NewClasses(host, before), kClassOrder);
}

TEST(StartUp, ErrorModuleRecord) {
  Host host;
  const Registered before = Before(host);
  std::string error;
  ASSERT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
  const auto modules = NewModules(host, before);
  ASSERT_EQ(modules.size(), 1u);
  const ZARKmoduleDefinition* module = modules[0];
  EXPECT_EQ(module->version, 13);
  EXPECT_STREQ(module->name, "LumenoRawError");
  ASSERT_EQ(module->constantCount, static_cast<int64_t>(kErrorConstants.size()));
  for (size_t i = 0; i < kErrorConstants.size(); ++i) {
    EXPECT_EQ(module->constants[i].declaration, kErrorConstants[i]);
    for (uint64_t slot : module->constants[i].reserved) EXPECT_EQ(slot, 0u);
  }
  for (uint64_t slot : module->reserved0) EXPECT_EQ(slot, 0u);
  for (uint64_t slot : module->reserved1) EXPECT_EQ(slot, 0u);
}

TEST(StartUp, EveryClassIsConsoleSafeAndVersion13) {
  Host host;
  const Registered before = Before(host);
  std::string error;
  ASSERT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
  ASSERT_EQ(NewClasses(host, before), kClassOrder);
  for (size_t i = before.classesBefore; i < host.Classes().size(); ++i) {
    const host::ClassInfo* info = host.Classes()[i];
    SCOPED_TRACE(info->definition->name);
    EXPECT_EQ(info->definition->flags & 4u, 4u);
    EXPECT_EQ(info->definition->flags & 0x100u, 0u);
    EXPECT_EQ(info->definition->flagsHigh, 0u);
    EXPECT_EQ(info->definition->version, 13);
  }
}

TEST(StartUp, ClassFlagHelpers) {
  PluginCopy copy;
  auto consoleSafe =
      copy.Function<void (*)(ZARKclassDefinition*)>("SetClassConsoleSafe(ZARKclassDefinition*)");
  auto webOnly =
      copy.Function<void (*)(ZARKclassDefinition*)>("SetClassWebOnly(ZARKclassDefinition*)");
  struct FlagCase {
    uint32_t before;
    uint32_t consoleSafe;
    uint32_t webOnly;
  };
  const FlagCase cases[] = {
      {0, 4, 0x100}, {12, 12, 0x104}, {8, 12, 0x100}, {0x100, 0x104, 0x100}, {0xFF, 0xFF, 0x1F7},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(c.before);
    ZARKclassDefinition definition{};
    definition.flags = c.before;
    consoleSafe(&definition);
    EXPECT_EQ(definition.flags, c.consoleSafe);
    EXPECT_EQ(definition.flagsHigh, 0u);
    definition.flags = c.before;
    webOnly(&definition);
    EXPECT_EQ(definition.flags, c.webOnly);
    EXPECT_EQ(definition.flagsHigh, 0u);
  }
}

// Start-up globals, through a copy whose start-up this test runs itself.
std::vector<std::string> gClassRefNames;
ZARKclassRefStruct* ObjectTypeFake(const char* name) {
  gClassRefNames.push_back(name);
  return Host::Current()->ClassRef(name);
}

TEST(StartUp, FillsTheStartUpGlobals) {
  gClassRefNames.clear();
  PluginCopy copy;
  Host host;
  host.AddEntry("pluginObjectType", reinterpret_cast<void*>(&ObjectTypeFake));
  copy.Global<void*>("gTimerResolver") = reinterpret_cast<void*>(uintptr_t{1});
  copy.Function<void (*)(void* (*)(const char*))>("ZARKPluginMain")(&Host::ResolverEntry);

  EXPECT_EQ(copy.Global<void*>("gTimerResolver"), nullptr);
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

TEST(StartUp, GateClosedStillClearsTheTimerResolverOnly) {
  PluginCopy copy;
  HostOptions options;
  options.version = 2010.0;
  Host host(options);
  copy.Global<void*>("gTimerResolver") = reinterpret_cast<void*>(uintptr_t{1});
  copy.Function<void (*)(void* (*)(const char*))>("ZARKPluginMain")(&Host::ResolverEntry);
  EXPECT_EQ(copy.Global<void*>("gTimerResolver"), nullptr);
  EXPECT_EQ(copy.Global<void*>("ELockObject"), nullptr);
  EXPECT_EQ(copy.Global<void*>("EInstallInstanceEventHandler"), nullptr);
  EXPECT_EQ(host.ResolveCount("pluginObjectType"), 0);
  EXPECT_EQ(host.RegisteredPluginVersion(), 13);
}

TEST(StartUp, HostWithoutVersionAnnouncementStillStarts) {
  HostOptions options;
  options.hiddenEntries = {"RegisterPluginVersion"};
  Host host(options);
  const Registered before = Before(host);
  std::string error;
  ASSERT_TRUE(host.LoadPlugin(LUMENO_PLUGIN_PATH, &error, /*freshCopy=*/true)) << error;
  EXPECT_EQ(NewClasses(host, before), kClassOrder);
}

}  // namespace
}  // namespace lumeno::testing

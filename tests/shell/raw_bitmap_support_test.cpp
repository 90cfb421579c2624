// The RawBitmap support functions in a private copy of the plug-in (so the
// cached class references and constructor entry start empty) against the
// host's bitmap classes; then start-up: the version gate, the registration
// order of the error module and the ten classes, the console-safe flag, the
// class flag helpers and the globals start-up fills.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "host/host.h"
#include "host/raw_bitmap_class.h"
#include "lumeno/zark.h"
#include "shell/host_services.h"
#include "shell/plugin_copy.h"

namespace lumeno::testing {
namespace {

using host::Object;

// "ZARKLoadObjectMethod" and "pluginObjectType" stand-ins that note what was
// asked and forward to the host's own entries.
std::vector<std::string> gMethodLookups;
std::vector<std::string> gClassLookups;
void* gHostLoadObjectMethod = nullptr;
void* gHostObjectType = nullptr;
bool gHideClasses = false;  // the spy answers null, as for a class the host lacks

void* LoadObjectMethodSpy(Object object, const char* declaration) {
  gMethodLookups.push_back(declaration);
  return reinterpret_cast<void* (*)(Object, const char*)>(gHostLoadObjectMethod)(object,
                                                                                 declaration);
}
ZARKclassRefStruct* ObjectTypeSpy(const char* name) {
  gClassLookups.push_back(name);
  if (gHideClasses) return nullptr;
  return reinterpret_cast<ZARKclassRefStruct* (*)(const char*)>(gHostObjectType)(name);
}

const std::string kBitmapConstructor =
    "Constructor(srcBlock as MemoryBlock, width as Integer,height as Integer,rowBytes as "
    "Integer,imageFormat as RawBitmap.RawBitmapFormat)";
const std::string kMaskConstructor =
    "Constructor(bitMap as RawBitmap, inverted as Boolean, activeChannel as UInt8)";
using CreateProc = Object (*)(int64_t, int64_t, int64_t, int64_t, RawBitmap**);

class RawBitmapSupport : public ::testing::Test {
 protected:
  void SetUp() override {
    gMethodLookups.clear();
    gClassLookups.clear();
    gHideClasses = false;
    gHostLoadObjectMethod = host_.Resolve("ZARKLoadObjectMethod");
    gHostObjectType = host_.Resolve("pluginObjectType");
    host_.AddEntry("ZARKLoadObjectMethod", reinterpret_cast<void*>(&LoadObjectMethodSpy));
    host_.AddEntry("pluginObjectType", reinterpret_cast<void*>(&ObjectTypeSpy));
  }
  void TearDown() override {
    EXPECT_EQ(host_.LiveObjects(), 0u) << "host objects leaked";
    EXPECT_TRUE(host_.Errors().empty()) << (host_.Errors().empty() ? "" : host_.Errors()[0]);
  }
  CreateProc Create() {
    return copy_.Function<CreateProc>("CreateRawBitmap(long, long, long, long, RawBitmap**)");
  }

  PluginCopy copy_;  // declared first: outlives the host
  host::Host host_;
};

// The record's fields are checked wherever the engine makes a destination;
// here the lookups: one constructor and one class lookup for every bitmap.
TEST_F(RawBitmapSupport, CreateRawBitmapLooksUpItsClassAndConstructorOnce) {
  RawBitmap* record = nullptr;
  host::Ref first(host_, Create()(5, 3, 0, host::kRGBA8, &record));
  ASSERT_TRUE(first);
  EXPECT_EQ(record, host::BitmapRecord(host_, first.get()));
  host::Ref other(host_, Create()(2, 2, 0, host::kRGB16, &record));
  ASSERT_TRUE(other);
  EXPECT_EQ(gMethodLookups, std::vector<std::string>{kBitmapConstructor});
  EXPECT_EQ(gClassLookups, std::vector<std::string>{"RawBitmap"});
}

// An unknown format (the class's constructor leaves the record invalid)
// drops the object but leaves its record in out; without the class nothing
// is made, out is left alone and no class is kept.
TEST_F(RawBitmapSupport, CreateRawBitmapRefusals) {
  RawBitmap* record = nullptr;
  EXPECT_EQ(Create()(4, 4, 0, 99, &record), nullptr);
  EXPECT_NE(record, nullptr);
  EXPECT_EQ(host_.LiveObjects(), 0u);
  copy_.Global<void*>("RawBitmapRef") = nullptr;
  gHideClasses = true;
  record = reinterpret_cast<RawBitmap*>(uintptr_t{0x10});
  EXPECT_EQ(Create()(4, 4, 0, host::kRGBA8, &record), nullptr);
  EXPECT_EQ(record, reinterpret_cast<RawBitmap*>(uintptr_t{0x10}));
  EXPECT_EQ(copy_.Global<void*>("RawBitmapRef"), nullptr);
}

TEST_F(RawBitmapSupport, DataAccessorsCacheFoundClassesOnly) {
  auto bitmapData = copy_.Function<RawBitmap* (*)(Object)>("GetRawBitmapData(ZARKobjectStruct*)");
  auto maskData =
      copy_.Function<RawBitmapMask* (*)(Object)>("GetRawBitmapMaskData(ZARKobjectStruct*)");
  host::Ref bitmap(host_, host::CreateBitmap(host_, 3, 2, host::kRGB8));
  host::Ref mask(host_, host::CreateMask(host_, bitmap.get(), false, 0));
  bitmapData(bitmap.get());
  EXPECT_EQ(bitmapData(bitmap.get()), host::BitmapRecord(host_, bitmap.get()));
  EXPECT_EQ(maskData(mask.get()), host::MaskObject(host_, mask.get()));
  EXPECT_EQ(gClassLookups, (std::vector<std::string>{"RawBitmap", "RawBitmapMask"}));

  // A class the host cannot find is asked for again on every use.
  gClassLookups.clear();
  copy_.Global<void*>("RawBitmapMaskRef") = nullptr;
  gHideClasses = true;
  maskData(mask.get());
  maskData(mask.get());
  EXPECT_EQ(gClassLookups, (std::vector<std::string>{"RawBitmapMask", "RawBitmapMask"}));
}

TEST_F(RawBitmapSupport, CreateRawBitmapMaskLooksUpItsConstructorEachTime) {
  auto createMask = copy_.Function<Object (*)(Object, uint8_t)>(
      "CreateRawBitmapMask(ZARKobjectStruct*, unsigned char)");
  host::Ref bitmap(host_, host::CreateBitmap(host_, 3, 2, host::kRGB8));
  host::Ref first(host_, createMask(bitmap.get(), 1));
  host::Ref second(host_, createMask(bitmap.get(), 2));
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_TRUE(host_.IsA(first.get(), "RawBitmapMask"));
  EXPECT_NE(host::MaskObject(host_, first.get()), nullptr);
  EXPECT_EQ(gMethodLookups, (std::vector<std::string>{kMaskConstructor, kMaskConstructor}));
}

TEST_F(RawBitmapSupport, ReinitialisationForgetsTheLookups) {
  RawBitmap* record = nullptr;
  host::Ref bitmap(host_, Create()(1, 1, 0, host::kRGB8, &record));
  ASSERT_TRUE(bitmap);
  gClassLookups.clear();
  copy_.Function<void (*)()>("InitializeRawBitmapSupport()")();
  EXPECT_EQ(copy_.Global<void*>("RawBitmapRef"), nullptr);
  EXPECT_EQ(copy_.Global<void*>("RawBitmapMaskRef"), nullptr);
  EXPECT_EQ(copy_.Global<void*>("RawBitmapConstructor"), nullptr);
  EXPECT_EQ(gClassLookups, (std::vector<std::string>{"RawBitmap", "RawBitmapMask"}));
  // The next bitmap looks everything up again.
  gMethodLookups.clear();
  host::Ref again(host_, Create()(1, 1, 0, host::kRGB8, &record));
  EXPECT_EQ(gMethodLookups, std::vector<std::string>{kBitmapConstructor});
}

// -- Colour parts in sample order --------------------------------------------------

RawBitmap Layout(int bits, int64_t channelCount, int64_t bytesPerPixel, uint8_t red, uint8_t green,
                 uint8_t blue, uint8_t alpha, uint8_t black = 0xFF) {
  RawBitmap record{};
  record.bitsPerChannel = static_cast<uint8_t>(bits);
  record.channelCount = channelCount;
  record.bytesPerPixel = bytesPerPixel;
  record.redOffset = red;
  record.greenOffset = green;
  record.blueOffset = blue;
  record.alphaOffset = alpha;
  record.blackOffset = black;
  return record;
}

struct OrderCase {
  const char* what;
  RawBitmap layout;
  signed char includeAlpha;
  std::vector<int32_t> expected;  // followed by untouched sentinels
};

// Runs an order function over every case: it writes the expected values
// and nothing after them.
template <typename Color>
void ExpectOrders(void (*order)(RawBitmap*, signed char, int32_t*, Color), const Color& color,
                  const std::vector<OrderCase>& cases) {
  constexpr int32_t kUntouched = 0x7EADBEEF;
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.what);
    RawBitmap layout = c.layout;
    std::vector<int32_t> values(c.expected.size() + 2, kUntouched);
    order(&layout, c.includeAlpha, values.data(), color);
    std::vector<int32_t> expected = c.expected;
    expected.insert(expected.end(), 2, kUntouched);
    EXPECT_EQ(values, expected);
  }
}

TEST_F(RawBitmapSupport, RGBColorPartsToChannelOrder) {
  auto order = copy_.Function<void (*)(RawBitmap*, signed char, int32_t*, RGBColorData)>(
      "RGBColorPartsToChannelOrder(RawBitmap*, signed char, int*, RGBColorData)");
  ExpectOrders(order, RGBColorData{200, 150, 100, 250, 60000, 50000, 40000, 65000}, {
      {"8-bit RGBA, alpha left out", Layout(8, 4, 4, 0, 1, 2, 3), 0, {200, 150, 100, -1}},
      {"8-bit RGBA, alpha included", Layout(8, 4, 4, 0, 1, 2, 3), 1, {200, 150, 100, 250}},
      {"8-bit BGRA", Layout(8, 4, 4, 2, 1, 0, 3), 1, {100, 150, 200, 250}},
      {"8-bit ARGB", Layout(8, 4, 4, 1, 2, 3, 0), 1, {250, 200, 150, 100}},
      {"8-bit padded RGBX", Layout(8, 3, 4, 0, 1, 2, 0xFF), 1, {200, 150, 100, -1}},
      {"8-bit RGB", Layout(8, 3, 3, 0, 1, 2, 0xFF), 1, {200, 150, 100}},
      {"16-bit RGBA offsets 0,2,4,6",
       Layout(16, 4, 8, 0, 2, 4, 6),
       1,
       {60000, 50000, 40000, 65000}},
      {"16-bit RGBA, alpha left out", Layout(16, 4, 8, 0, 2, 4, 6), 0, {60000, 50000, 40000, -1}},
      {"16-bit BGR", Layout(16, 3, 6, 4, 2, 0, 0xFF), 1, {40000, 50000, 60000}},
      {"first match wins", Layout(8, 3, 3, 1, 1, 1, 1), 1, {-1, 200, -1}},
      {"negative flag counts as set", Layout(8, 4, 4, 0, 1, 2, 3), -128, {200, 150, 100, 250}},
      {"no samples", Layout(8, 0, 0, 0, 1, 2, 3), 1, {}},
  });
}

TEST_F(RawBitmapSupport, CMYKPartsToChannelOrder) {
  auto order = copy_.Function<void (*)(RawBitmap*, signed char, int32_t*, CMYKColorData)>(
      "CMYKPartsToChannelOrder(RawBitmap*, signed char, int*, CMYKColorData)");
  ExpectOrders(order, CMYKColorData{10, 20, 30, 40, 50, 1000, 2000, 3000, 4000, 5000}, {
      {"8-bit CMYK", Layout(8, 4, 4, 0, 1, 2, 0xFF, 3), 1, {10, 20, 30, 40}},
      {"8-bit CMYKA", Layout(8, 5, 5, 0, 1, 2, 4, 3), 1, {10, 20, 30, 40, 50}},
      {"8-bit CMYKA, alpha left out", Layout(8, 5, 5, 0, 1, 2, 4, 3), 0, {10, 20, 30, 40, -1}},
      {"16-bit CMYKA", Layout(16, 5, 10, 0, 2, 4, 8, 6), 1, {1000, 2000, 3000, 4000, 5000}},
      // Yellow (blue position) is tested before cyan (red position).
      {"yellow wins over cyan", Layout(8, 2, 2, 0, 1, 0, 0xFF, 0xFF), 1, {30, 20}},
      {"black before alpha", Layout(8, 2, 2, 0xFF, 0xFF, 0xFF, 1, 1), 1, {-1, 40}},
  });
}

// -- Start-up ---------------------------------------------------------------------

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

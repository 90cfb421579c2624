// Start-up: the entry the host calls once after loading the library, the
// host version gate, and registration of the error-code module and the ten
// classes.
#include <iterator>

#include "shell/class_list.h"
#include "shell/host_services.h"

void* gTimerResolver = nullptr;
void* EInstallInstanceEventHandler = nullptr;

namespace {

// The plug-in interface version announced to the host.
constexpr int32_t kPluginInterfaceVersion = 13;

// Oldest host this plug-in registers with; 100.0 is a development host that
// reports that exact number and is accepted too.
constexpr double kMinimumHostVersion = 2011.0;
constexpr double kDevelopmentHostVersion = 100.0;

#define LUMENO_ERROR_CONSTANT(name, value) {#name " = " #value, {}},
ZARKconstantDefinition gErrorConstants[] = {LUMENO_RAW_ERRORS(LUMENO_ERROR_CONSTANT)};
#undef LUMENO_ERROR_CONSTANT

ZARKmoduleDefinition gLumenoRawErrorModule = {kZARKRecordVersion,
                                              "LumenoRawError",
                                              {},
                                              gErrorConstants,
                                              static_cast<int64_t>(std::size(gErrorConstants)),
                                              {}};

static_assert(std::size(gErrorConstants) == 12);

}  // namespace

void SetClassConsoleSafe(ZARKclassDefinition* definition) {
  definition->flags |= kZARKClassConsoleSafe;
}

void SetClassWebOnly(ZARKclassDefinition* definition) {
  definition->flags = (definition->flags & ~kZARKClassFlag8) | kZARKClassWebOnly;
}

void PluginEntry() {
  gTimerResolver = nullptr;

  const double version = ZARKGetHXVersion();
  if (version < kMinimumHostVersion && version != kDevelopmentHostVersion) return;

  // Asked for so the host has the class ready; the plug-in keeps no timer.
  ZARKGetClassRef("Timer");
  LoadCommonEntryPoints(version);
  EInstallInstanceEventHandler = HCallResolver("RuntimeInstallInstanceEventHandler");

  ZARKRegisterModule(&gLumenoRawErrorModule);

#define LUMENO_MARK_CONSOLE_SAFE(symbol) symbol.flags |= kZARKClassConsoleSafe;
  LUMENO_CLASS_DEFINITIONS(LUMENO_MARK_CONSOLE_SAFE)
#undef LUMENO_MARK_CONSOLE_SAFE

#define LUMENO_REGISTER_CLASS(symbol) ZARKRegisterClass(&symbol);
  LUMENO_CLASS_DEFINITIONS(LUMENO_REGISTER_CLASS)
#undef LUMENO_REGISTER_CLASS
}

extern "C" void ZARKPluginMain(ZARKResolver resolver) {
  gResolver = resolver;
  // A host without the version entry gets no announcement rather than a
  // call through null.
  auto registerVersion = reinterpret_cast<void (*)(int32_t)>(resolver("RegisterPluginVersion"));
  if (registerVersion != nullptr) registerVersion(kPluginInterfaceVersion);
  PluginEntry();
}

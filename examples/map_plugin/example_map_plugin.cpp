// An example plug-in that uses the lumeno raw effects engine from outside:
// it registers "ExampleInvertRaw", a filter class derived from
// MPImageFilterRaw, whose one method inverts the colour channels of a
// RawBitmap with the map effect. It needs nothing of liblumenoraw.so at link
// time: the host hands it the filter's MPImageFilterData (the plug-in data of
// the base class), and the engine table in that record gives out the map
// effect functions by number.
#include <lumeno/lumenoraw.h>

#include <cstdint>
#include <vector>

namespace {

ZARKResolver gHost = nullptr;

template <typename Fn>
Fn Entry(const char* name) {
  return reinterpret_cast<Fn>(gHost(name));
}

ZARKclassRefStruct* ClassRef(const char* name) {
  return Entry<ZARKclassRefStruct* (*)(const char*)>("pluginObjectType")(name);
}

void* PluginData(ZARKobjectStruct* object, ZARKclassRefStruct* cls) {
  return Entry<void* (*)(ZARKobjectStruct*, ZARKclassRefStruct*)>("PluginGetPluginData")(object,
                                                                                          cls);
}

// Inverting tables for both depths, built once.
struct InvertTables {
  uint8_t table8[256];
  std::vector<uint16_t> table16 = std::vector<uint16_t>(65536);
  InvertTables() {
    for (int i = 0; i < 256; ++i) table8[i] = static_cast<uint8_t>(255 - i);
    for (int i = 0; i < 65536; ++i) table16[i] = static_cast<uint16_t>(65535 - i);
  }
};

// "Invert(source as RawBitmap) as RawBitmap": a new bitmap with the colour
// channels inverted and alpha kept, or null with ErrorCode set.
ZARKobjectStruct* Invert(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  static const InvertTables tables;
  auto* data = static_cast<MPImageFilterData*>(PluginData(self, ClassRef("MPImageFilterRaw")));
  if (source == nullptr) {
    data->errorCode = kLumeno_ILLEGAL_INPUT_PARAMETER;
    return nullptr;
  }
  auto* record = static_cast<RawBitmap*>(PluginData(source, ClassRef("RawBitmap")));
  const bool wide = record->bitsPerChannel == 16;
  MapParams params{};
  params.redTable = params.greenTable = params.blueTable =
      wide ? static_cast<const void*>(tables.table16.data()) : tables.table8;
  auto apply = reinterpret_cast<ApplyMapEffectProc>(data->engine->GetMapEffectProc(1));
  return apply(data, source, /*mask=*/nullptr, &params,
               kDepth8 | kDepth16 | kDepthLibraryMark, kDestinationCopyExtraData);
}

ZARKmethodDefinition gMethods[] = {
    {reinterpret_cast<void*>(&Invert), 0, "Invert(source as RawBitmap) as RawBitmap", 4, {}},
};

ZARKclassDefinition gExampleInvertRaw = {
    kZARKRecordVersion, "ExampleInvertRaw", "MPImageFilterRaw", 8, 0, nullptr, nullptr,
    nullptr, 0, gMethods, 1, {}, "", {}, nullptr, 0, kZARKClassConsoleSafe, 0, {}, nullptr, 0};

}  // namespace

extern "C" __attribute__((visibility("default"))) void ZARKPluginMain(ZARKResolver resolver) {
  gHost = resolver;
  Entry<void (*)(int32_t)>("RegisterPluginVersion")(13);
  Entry<void (*)(ZARKclassDefinition*)>("PluginRegisterClass")(&gExampleInvertRaw);
}

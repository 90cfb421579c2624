// The host services the plug-in uses on its own paths, the RawBitmap support
// functions and the exported globals. Every host entry is reached by name
// through the resolver that ZARKPluginMain stores (see wrappers in shell/).
#pragma once

#include <cstdint>

#include "lumeno/engine.h"
#include "lumeno/raw_bitmap.h"
#include "lumeno/wrappers.h"
#include "lumeno/zark.h"

#ifndef LUMENO_EXPORT
#define LUMENO_EXPORT __attribute__((visibility("default")))
#endif

// -- Start-up (C linkage) ------------------------------------------------------
extern "C" {
LUMENO_EXPORT void ZARKPluginMain(ZARKResolver resolver);
LUMENO_EXPORT void* HCallResolver(const char* name);
}
LUMENO_EXPORT void PluginEntry();
LUMENO_EXPORT void SetClassConsoleSafe(ZARKclassDefinition* definition);
LUMENO_EXPORT void SetClassWebOnly(ZARKclassDefinition* definition);
LUMENO_EXPORT void* CallResolver(const char* name);

// -- Exported globals -------------------------------------------------------------
extern LUMENO_EXPORT ZARKResolver gResolver;
extern LUMENO_EXPORT void* gTimerResolver;
extern LUMENO_EXPORT void* EInstallInstanceEventHandler;
extern LUMENO_EXPORT void (*ELockObject)(ZARKobjectStruct*);
extern LUMENO_EXPORT void (*EUnlockObject)(ZARKobjectStruct*);
extern LUMENO_EXPORT ZARKclassRefStruct* RawBitmapRef;
extern LUMENO_EXPORT ZARKclassRefStruct* RawBitmapMaskRef;
extern LUMENO_EXPORT void* RawBitmapConstructor;

// -- Host-entry wrappers on the plug-in's own paths ---------------------------------
// (the whole family, with these among it, is declared in lumeno/wrappers.h and
// generated in shell/wrappers_*.cpp)
LUMENO_EXPORT double ZARKGetHXVersion();
LUMENO_EXPORT ZARKclassRefStruct* ZARKGetClassRef(const char* className);
LUMENO_EXPORT void ZARKLockObject(ZARKobjectStruct* object);
LUMENO_EXPORT void ZARKUnlockObject(ZARKobjectStruct* object);
LUMENO_EXPORT void ZARKRegisterModule(ZARKmoduleDefinition* module);
LUMENO_EXPORT void ZARKRegisterClass(ZARKclassDefinition* definition);
LUMENO_EXPORT ZARKobjectStruct* ZARKnewInstanceWithClass(ZARKclassRefStruct* classRef);
LUMENO_EXPORT void* ZARKGetPluginData(ZARKobjectStruct* object, ZARKclassRefStruct* classRef);
LUMENO_EXPORT void* ZARKLoadObjectMethod(ZARKobjectStruct* object, const char* declaration);
LUMENO_EXPORT bool ZARKGetPropValueSingle(ZARKobjectStruct* object, const char* name, float* out);
LUMENO_EXPORT int32_t ZARKRegisterBackgroundTask(void (*poll)(ZARKobjectStruct*), uint32_t interval,
                                                 ZARKobjectStruct* data);
LUMENO_EXPORT void ZARKUnregisterBackgroundTask(int32_t taskId);
// Instance address plus the definition's dataOffset; calls no entry.
LUMENO_EXPORT void* ZARKGetClassData(ZARKobjectStruct* instance, ZARKclassDefinition* definition);

// -- RawBitmap support ------------------------------------------------------------
struct RGBColorData {
  uint8_t red8, green8, blue8, alpha8;
  uint16_t red16, green16, blue16, alpha16;
};
struct CMYKColorData {
  uint8_t cyan8, magenta8, yellow8, black8, alpha8;
  uint16_t cyan16, magenta16, yellow16, black16, alpha16;
};

LUMENO_EXPORT RawBitmap* GetRawBitmapData(ZARKobjectStruct* object);
LUMENO_EXPORT RawBitmapMask* GetRawBitmapMaskData(ZARKobjectStruct* object);
LUMENO_EXPORT ZARKobjectStruct* CreateRawBitmap(int64_t width, int64_t height, int64_t rowBytes,
                                                int64_t imageFormat, RawBitmap** out);
LUMENO_EXPORT ZARKobjectStruct* CreateRawBitmapMask(ZARKobjectStruct* bitmap,
                                                    uint8_t activeChannel);
LUMENO_EXPORT void RGBColorPartsToChannelOrder(RawBitmap* record, signed char includeAlpha,
                                               int32_t* channelValues, RGBColorData color);
LUMENO_EXPORT void CMYKPartsToChannelOrder(RawBitmap* record, signed char includeAlpha,
                                           int32_t* channelValues, CMYKColorData color);
using ProgressProc = void (*)(ZARKobjectStruct* handler, uint64_t value, uint64_t total,
                              uint64_t extraInfo, bool* cancel);
LUMENO_EXPORT ProgressProc GetProgressProc(ZARKobjectStruct* handler);
LUMENO_EXPORT void LoadCommonEntryPoints(double hostVersion);
LUMENO_EXPORT void InitializeRawBitmapSupport();

// Copies extra data (when the source has any) and metadata to a bitmap the
// plug-in derived from `source`.
void CopyExtraData(const RawBitmap& source, RawBitmap& destination);
void CopyMetadata(const RawBitmap& source, RawBitmap& destination);

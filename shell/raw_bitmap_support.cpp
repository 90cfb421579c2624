// Access to the sibling RawBitmap and RawBitmapMask classes: finding their
// records, creating bitmaps and masks through the host, mapping colours to a
// bitmap's sample order. Carrying extra data and metadata over to derived
// bitmaps lives in bitmap_copy.cpp.
#include "shell/host_services.h"

ZARKclassRefStruct* RawBitmapRef = nullptr;
ZARKclassRefStruct* RawBitmapMaskRef = nullptr;
void* RawBitmapConstructor = nullptr;
void (*ELockObject)(ZARKobjectStruct*) = nullptr;
void (*EUnlockObject)(ZARKobjectStruct*) = nullptr;

namespace {

using BitmapConstructorProc = void (*)(ZARKobjectStruct* self, ZARKobjectStruct* srcBlock,
                                       int64_t width, int64_t height, int64_t rowBytes,
                                       int64_t imageFormat);
using MaskConstructorProc = void (*)(ZARKobjectStruct* self, ZARKobjectStruct* bitmap,
                                     bool inverted, uint8_t activeChannel);

// A class reference that the host cannot find stays zero, so the next use
// asks again.
ZARKclassRefStruct* BitmapClass() {
  if (RawBitmapRef == nullptr) RawBitmapRef = ZARKGetClassRef("RawBitmap");
  return RawBitmapRef;
}

ZARKclassRefStruct* MaskClass() {
  if (RawBitmapMaskRef == nullptr) RawBitmapMaskRef = ZARKGetClassRef("RawBitmapMask");
  return RawBitmapMaskRef;
}

// One value per sample position of a pixel: the part of the first channel
// whose offset matches, or -1. `offsets` and `parts` are in test order.
template <typename Part, size_t N>
void PartsToChannelOrder(int64_t bound, int shift, const uint8_t (&offsets)[N],
                         const Part (&parts)[N], bool includeAlpha, uint8_t alphaOffset,
                         Part alphaPart, int32_t* channelValues) {
  const int64_t alphaIndex = alphaOffset >> shift;
  for (int64_t i = 0; i < bound; ++i) {
    int32_t value = -1;
    bool found = false;
    for (size_t c = 0; c < N && !found; ++c) {
      if (i == (offsets[c] >> shift)) {
        value = static_cast<int32_t>(parts[c]);
        found = true;
      }
    }
    if (!found && includeAlpha && i == alphaIndex) value = static_cast<int32_t>(alphaPart);
    channelValues[i] = value;
  }
}

}  // namespace

RawBitmap* GetRawBitmapData(ZARKobjectStruct* object) {
  return static_cast<RawBitmap*>(ZARKGetPluginData(object, BitmapClass()));
}

RawBitmapMask* GetRawBitmapMaskData(ZARKobjectStruct* object) {
  return static_cast<RawBitmapMask*>(ZARKGetPluginData(object, MaskClass()));
}

ZARKobjectStruct* CreateRawBitmap(int64_t width, int64_t height, int64_t rowBytes,
                                  int64_t imageFormat, RawBitmap** out) {
  ZARKobjectStruct* bitmap = ZARKnewInstanceWithClass(BitmapClass());
  if (bitmap == nullptr) return nullptr;

  // The constructor entry is the same for every RawBitmap: look it up once.
  if (RawBitmapConstructor == nullptr) {
    RawBitmapConstructor = ZARKLoadObjectMethod(bitmap, RAW_BITMAP_CONSTRUCTOR_DECLARATION);
  }
  if (RawBitmapConstructor == nullptr) {
    // A class without the constructor cannot make a usable bitmap.
    ZARKUnlockObject(bitmap);
    return nullptr;
  }
  reinterpret_cast<BitmapConstructorProc>(RawBitmapConstructor)(bitmap, nullptr, width, height,
                                                                rowBytes, imageFormat);
  *out = static_cast<RawBitmap*>(ZARKGetPluginData(bitmap, RawBitmapRef));
  if (*out != nullptr && (*out)->isValid != 0) return bitmap;

  // The record stays in *out but belongs to the dropped object.
  ZARKUnlockObject(bitmap);
  return nullptr;
}

ZARKobjectStruct* CreateRawBitmapMask(ZARKobjectStruct* bitmap, uint8_t activeChannel) {
  ZARKobjectStruct* mask = ZARKnewInstanceWithClass(MaskClass());
  if (mask == nullptr) return nullptr;
  // Not cached: masks are rare and the lookup is cheap next to building one.
  auto constructor = reinterpret_cast<MaskConstructorProc>(
      ZARKLoadObjectMethod(mask, RAW_BITMAP_MASK_CONSTRUCTOR_DECLARATION));
  if (constructor == nullptr) {
    ZARKUnlockObject(mask);
    return nullptr;
  }
  constructor(mask, bitmap, false, activeChannel);
  return mask;
}

void RGBColorPartsToChannelOrder(RawBitmap* record, signed char includeAlpha,
                                 int32_t* channelValues, RGBColorData color) {
  const uint8_t offsets[3] = {record->redOffset, record->greenOffset, record->blueOffset};
  if (record->bitsPerChannel == 8) {
    const uint8_t parts[3] = {color.red8, color.green8, color.blue8};
    PartsToChannelOrder(record->bytesPerPixel, 0, offsets, parts, includeAlpha != 0,
                        record->alphaOffset, color.alpha8, channelValues);
  } else {
    // 16-bit samples: a byte offset halved is the sample index.
    const uint16_t parts[3] = {color.red16, color.green16, color.blue16};
    PartsToChannelOrder(record->channelCount, 1, offsets, parts, includeAlpha != 0,
                        record->alphaOffset, color.alpha16, channelValues);
  }
}

void CMYKPartsToChannelOrder(RawBitmap* record, signed char includeAlpha, int32_t* channelValues,
                             CMYKColorData color) {
  // Yellow sits in the blue position, cyan in red, magenta in green.
  const uint8_t offsets[4] = {record->blueOffset, record->redOffset, record->greenOffset,
                              record->blackOffset};
  if (record->bitsPerChannel == 8) {
    const uint8_t parts[4] = {color.yellow8, color.cyan8, color.magenta8, color.black8};
    PartsToChannelOrder(record->bytesPerPixel, 0, offsets, parts, includeAlpha != 0,
                        record->alphaOffset, color.alpha8, channelValues);
  } else {
    const uint16_t parts[4] = {color.yellow16, color.cyan16, color.magenta16, color.black16};
    PartsToChannelOrder(record->channelCount, 1, offsets, parts, includeAlpha != 0,
                        record->alphaOffset, color.alpha16, channelValues);
  }
}

ProgressProc GetProgressProc(ZARKobjectStruct* handler) {
  if (handler == nullptr) return nullptr;
  // Looked up on every run: the handler may change between runs.
  return reinterpret_cast<ProgressProc>(ZARKLoadObjectMethod(handler, ON_PROGRESS_DECLARATION));
}

void LoadCommonEntryPoints(double /*hostVersion*/) {
  ELockObject = reinterpret_cast<void (*)(ZARKobjectStruct*)>(HCallResolver("ZARKLockObject"));
  EUnlockObject = reinterpret_cast<void (*)(ZARKobjectStruct*)>(HCallResolver("ZARKUnlockObject"));
}

void InitializeRawBitmapSupport() {
  RawBitmapRef = nullptr;
  RawBitmapMaskRef = nullptr;
  RawBitmapConstructor = nullptr;
  // Asked for, not kept: the next use of each support function looks again.
  ZARKGetClassRef("RawBitmap");
  ZARKGetClassRef("RawBitmapMask");
}

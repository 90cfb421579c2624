// The RawBitmap record and the RawBitmapMask lookup object: the plug-in data
// of the two bitmap classes that a sibling module registers with the host.
// The plug-in and other plug-ins read and write these directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/layout.h"

struct RawBitmap;

// Table of operations of a RawBitmap; the plug-in calls only SetExtraData.
struct RawBitmapOperations {
  void* reserved0;
  void* reserved1;
  void* reserved2;
  void (*SetExtraData)(RawBitmap* record, uint64_t extraData, uint64_t extraRef, int32_t extraKind);
};

struct RawBitmap {
  int64_t width;
  int64_t height;
  uint8_t* pixelData;
  int64_t rowBytes;
  int64_t channelCount;
  uint64_t metadata1;
  uint64_t metadata2;
  int64_t bytesPerPixel;
  uint8_t redOffset;
  uint8_t greenOffset;
  uint8_t blueOffset;
  uint8_t alphaOffset;
  uint8_t blackOffset;
  uint8_t isValid;
  int64_t imageFormat;
  const RawBitmapOperations* operations;
  uint8_t extraFlag;
  int32_t extraValue;
  uint64_t extraData;
  int32_t extraKind;
  uint64_t extraRef;
  uint8_t hasAlpha;
  uint8_t bitsPerChannel;
};

LUMENO_LAYOUT(RawBitmap, 128, pixelData, 16, bytesPerPixel, 56, redOffset, 64, isValid, 69,
              imageFormat, 72, operations, 80, extraFlag, 88, extraValue, 92, extraData, 96,
              extraKind, 104, extraRef, 112, hasAlpha, 120, bitsPerChannel, 121);

// The plug-in data of a RawBitmapMask object. Lookups are called from several
// worker threads at once and must only read. Slots 0 and 3 exist for the
// owner's use; the plug-in calls slots 1, 2, 4 and 5 by position.
class RawBitmapMask {
 public:
  virtual int64_t Reserved0() = 0;                        // slot 0
  virtual int64_t GetRow8(int32_t y) = 0;                 // slot 1: row handle
  virtual uint32_t GetValue8(int64_t row, int32_t x) = 0;   // slot 2: low 8 bits used
  virtual int64_t Reserved3() = 0;                        // slot 3
  virtual int64_t GetRow16(int32_t y) = 0;                // slot 4: row handle
  virtual uint32_t GetValue16(int64_t row, int32_t x) = 0;  // slot 5: low 16 bits used
};

// Declarations of the two constructors, looked up by exact text.
#define RAW_BITMAP_CONSTRUCTOR_DECLARATION                                                      \
  "Constructor(srcBlock as MemoryBlock, width as Integer,height as Integer,rowBytes as Integer," \
  "imageFormat as RawBitmap.RawBitmapFormat)"
#define RAW_BITMAP_MASK_CONSTRUCTOR_DECLARATION \
  "Constructor(bitMap as RawBitmap, inverted as Boolean, activeChannel as UInt8)"

// The progress method a progress handler ("IProgressHandlerV2") offers.
#define ON_PROGRESS_DECLARATION \
  "OnProgress(value as UInt64,total as UInt64,extraInfo as UInt64,ByRef cancel as Boolean)"

// What the MemoryBlock, RawBitmap and RawBitmapMask classes share among their
// files (raw_bitmap_class.cpp, memory_block_class.cpp, bitmap_mask_class.cpp).
#pragma once

#include <cstdint>

#include "host/raw_bitmap_class.h"
#include "host/records.h"

namespace lumeno::host {

struct MemoryBlockData {
  uint8_t* bytes;
  int64_t size;
};

// The definition records; they live for the process, and each Host that
// registers them writes the same data offsets into them.
ZARKclassDefinition& MemoryBlockClass();
ZARKclassDefinition& RawBitmapClass();
ZARKclassDefinition& RawBitmapMaskClass();

inline MemoryBlockData* BlockData(Object self) {
  return records::DataOf<MemoryBlockData>(self, MemoryBlockClass());
}
inline RawBitmap* BitmapData(Object self) {
  return records::DataOf<RawBitmap>(self, RawBitmapClass());
}

// Whether an object handed in as an argument is a live instance of the class
// in the host that registered the classes (when that host still lives), so
// that a wrong object makes an invalid result rather than a crash.
bool IsObjectOf(Object object, const char* className);

}  // namespace lumeno::host

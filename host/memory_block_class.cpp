// The MemoryBlock class: a run of zeroed bytes of a fixed size, the source a
// RawBitmap may be constructed from.
#include <cstdlib>
#include <iterator>

#include "host/bitmap_classes.h"

namespace lumeno::host {
namespace {

void FreeBlock(MemoryBlockData* block) {
  std::free(block->bytes);
  block->bytes = nullptr;
  block->size = 0;
}

void MemoryBlockInit(Object) {}  // the host hands over zeroed data: an empty block
void MemoryBlockDestructor(Object self) { FreeBlock(BlockData(self)); }

// "Constructor(size as Integer)": size zeroed bytes; a negative, too large
// or unobtainable size leaves an empty block (Size 0).
void MemoryBlockConstructor(Object self, int64_t size) {
  MemoryBlockData* block = BlockData(self);
  FreeBlock(block);
  if (size <= 0 || size > kMaxPixelBytes) return;
  block->bytes = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
  if (block->bytes != nullptr) block->size = size;
}

int64_t MemoryBlockSize(Object self, intptr_t) { return BlockData(self)->size; }

}  // namespace

ZARKclassDefinition& MemoryBlockClass() {
  static const ZARKpropertyDefinition properties[] = {
      records::ReadOnlyProperty("Size", "Integer", &MemoryBlockSize),
  };
  static const ZARKmethodDefinition methods[] = {
      records::Method(&MemoryBlockConstructor, "Constructor(size as Integer)"),
  };
  static ZARKclassDefinition definition =
      records::WithMembers(records::Class("MemoryBlock", nullptr, sizeof(MemoryBlockData),
                                          &MemoryBlockInit, &MemoryBlockDestructor),
                           properties, methods);
  return definition;
}

Object CreateMemoryBlock(Host& host, int64_t size) {
  Object block = host.New("MemoryBlock");
  if (block == nullptr) return nullptr;
  host.Call<void>(block, "Constructor(size as Integer)", size);
  return block;
}

uint8_t* MemoryBlockBytes(Host& host, Object block, int64_t* size) {
  const auto* data = block == nullptr
                         ? nullptr
                         : static_cast<MemoryBlockData*>(host.ClassData(block, "MemoryBlock"));
  if (size != nullptr) *size = data == nullptr ? 0 : data->size;
  return data == nullptr ? nullptr : data->bytes;
}

}  // namespace lumeno::host

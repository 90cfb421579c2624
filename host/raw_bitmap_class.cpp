// The MemoryBlock, RawBitmap and RawBitmapMask classes. The host registers
// them as a module of its own, the way a sibling plug-in would: every class
// is a definition record, and its functions find their instance data by the
// record's dataOffset, exactly as plug-ins do.
//
// A RawBitmap's data is the RawBitmap record itself. Its pixel memory is
// aligned to kPixelAlignment, zero-filled and followed by kPixelSlackBytes of
// zeroed slack, so a writer that puts a gray sample at a colour source's red
// offset (up to a few bytes past the last pixel) stays inside the block.
//
// A RawBitmapMask's data holds a BitmapMask object: a copy of one channel of
// a bitmap taken when the mask is constructed, answered by read-only lookups.
#include "host/raw_bitmap_class.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace lumeno::host {
namespace {

constexpr uint8_t N = kNoChannel;

// One row per RawBitmap.RawBitmapFormat value, in value order:
// enum constant, enumeration field name, value, bits per channel, channels
// (colour + alpha), bytes per pixel, red, green, blue, alpha, black offsets.
// Cyan, magenta and yellow take the red, green and blue offsets.
#define LUMENO_BITMAP_FORMATS(X)                         \
  X(kGray8, GRAY8, 0, 8, 1, 1, 0, 0, 0, N, N)            \
  X(kGrayAlpha8, GRAY_ALPHA8, 1, 8, 2, 2, 0, 0, 0, 1, N) \
  X(kRGB8, RGB8, 3, 8, 3, 3, 0, 1, 2, N, N)              \
  X(kBGR8, BGR8, 4, 8, 3, 3, 2, 1, 0, N, N)              \
  X(kRGBA8, RGBA8, 5, 8, 4, 4, 0, 1, 2, 3, N)            \
  X(kBGRA8, BGRA8, 6, 8, 4, 4, 2, 1, 0, 3, N)            \
  X(kARGB8, ARGB8, 7, 8, 4, 4, 1, 2, 3, 0, N)            \
  X(kABGR8, ABGR8, 8, 8, 4, 4, 3, 2, 1, 0, N)            \
  X(kRGBX8, RGBX8, 9, 8, 3, 4, 0, 1, 2, N, N)            \
  X(kBGRX8, BGRX8, 10, 8, 3, 4, 2, 1, 0, N, N)           \
  X(kXRGB8, XRGB8, 11, 8, 3, 4, 1, 2, 3, N, N)           \
  X(kXBGR8, XBGR8, 12, 8, 3, 4, 3, 2, 1, N, N)           \
  X(kCMYK8, CMYK8, 13, 8, 4, 4, 0, 1, 2, N, 3)           \
  X(kCMYKA8, CMYKA8, 14, 8, 5, 5, 0, 1, 2, 4, 3)         \
  X(kCMYK16, CMYK16, 15, 16, 4, 8, 0, 2, 4, N, 6)        \
  X(kCMYKA16, CMYKA16, 16, 16, 5, 10, 0, 2, 4, 8, 6)     \
  X(kRGB16, RGB16, 20, 16, 3, 6, 0, 2, 4, N, N)          \
  X(kRGBA16, RGBA16, 21, 16, 4, 8, 0, 2, 4, 6, N)        \
  X(kGray16, GRAY16, 22, 16, 1, 2, 0, 0, 0, N, N)        \
  X(kGrayAlpha16, GRAY_ALPHA16, 23, 16, 2, 4, 0, 0, 0, 2, N)

#define LUMENO_CHECK_FORMAT_VALUE(id, name, value, ...) static_assert(id == value);
LUMENO_BITMAP_FORMATS(LUMENO_CHECK_FORMAT_VALUE)
#undef LUMENO_CHECK_FORMAT_VALUE

#define LUMENO_FORMAT_INFO(id, name, value, bits, channels, bpp, r, g, b, a, k) \
  FormatInfo{id, #name, bits, channels, bpp, r, g, b, a, k},
#define LUMENO_FORMAT_FIELD(id, name, value, ...) #name " = " #value,

const char* const kFormatFields[] = {LUMENO_BITMAP_FORMATS(LUMENO_FORMAT_FIELD)};

// ---------------------------------------------------------------------------
// Class data.

struct MemoryBlockData {
  uint8_t* bytes;
  int64_t size;
};

// The RawBitmapMask implementation: one channel of a bitmap at the bitmap's
// depth. A row handle is the row number, or -1 outside the mask. Rows and
// columns outside the mask (negative ones too) answer 0. Lookups only read.
class BitmapMask final : public RawBitmapMask {
 public:
  int64_t Reserved0() override { return 0; }
  int64_t GetRow8(int32_t y) override { return RowHandle(y); }
  uint32_t GetValue8(int64_t row, int32_t x) override {
    const uint32_t v = Value(row, x);
    return sixteenBit_ ? v >> 8 : v;
  }
  int64_t Reserved3() override { return 0; }
  int64_t GetRow16(int32_t y) override { return RowHandle(y); }
  uint32_t GetValue16(int64_t row, int32_t x) override {
    const uint32_t v = Value(row, x);
    return sixteenBit_ ? v : v * 257u;
  }

  // Takes the channel at byte offset `channel` of every pixel (for 16-bit
  // bitmaps the sample at index channel / 2). An unusable bitmap or a
  // channel outside the pixel leaves an empty mask.
  void Fill(const RawBitmap* bitmap, bool inverted, uint8_t channel) {
    Clear();
    if (bitmap == nullptr || bitmap->isValid == 0 || bitmap->pixelData == nullptr) return;
    const int64_t bpp = bitmap->bytesPerPixel;
    const bool sixteen = bitmap->bitsPerChannel == 16;
    if (!sixteen && bitmap->bitsPerChannel != 8) return;
    const int64_t sample = sixteen ? channel >> 1 : channel;
    if (sample >= (sixteen ? bpp / 2 : bpp)) return;
    try {
      values_.resize(static_cast<size_t>(bitmap->width * bitmap->height));
    } catch (const std::exception&) {
      return;
    }
    for (int64_t y = 0; y < bitmap->height; ++y) {
      const uint8_t* row = bitmap->pixelData + y * bitmap->rowBytes;
      uint16_t* out = values_.data() + y * bitmap->width;
      for (int64_t x = 0; x < bitmap->width; ++x) {
        uint16_t v;
        if (sixteen) {
          std::memcpy(&v, row + x * bpp + sample * 2, sizeof v);
          if (inverted) v = static_cast<uint16_t>(65535 - v);
        } else {
          v = row[x * bpp + sample];
          if (inverted) v = static_cast<uint16_t>(255 - v);
        }
        out[x] = v;
      }
    }
    width_ = bitmap->width;
    height_ = bitmap->height;
    sixteenBit_ = sixteen;
  }

  void Clear() {
    std::vector<uint16_t>().swap(values_);
    width_ = 0;
    height_ = 0;
    sixteenBit_ = false;
  }

 private:
  int64_t RowHandle(int32_t y) const { return y >= 0 && y < height_ ? y : -1; }
  uint32_t Value(int64_t row, int32_t x) const {
    if (row < 0 || row >= height_ || x < 0 || x >= width_) return 0;
    return values_[static_cast<size_t>(row * width_ + x)];
  }

  int64_t width_ = 0;
  int64_t height_ = 0;
  bool sixteenBit_ = false;
  std::vector<uint16_t> values_;
};

static_assert(alignof(BitmapMask) <= 8, "instance data is 8-byte aligned");

ZARKclassDefinition& MemoryBlockClass();
ZARKclassDefinition& RawBitmapClass();
ZARKclassDefinition& RawBitmapMaskClass();

template <typename T>
T* DataOf(Object self, const ZARKclassDefinition& definition) {
  return reinterpret_cast<T*>(reinterpret_cast<char*>(self) + definition.dataOffset);
}

RawBitmap* BitmapData(Object self) { return DataOf<RawBitmap>(self, RawBitmapClass()); }
MemoryBlockData* BlockData(Object self) {
  return DataOf<MemoryBlockData>(self, MemoryBlockClass());
}
BitmapMask* MaskData(Object self) { return DataOf<BitmapMask>(self, RawBitmapMaskClass()); }

// Objects handed in as arguments are checked against the class when a host
// is active, so a wrong object makes an invalid result rather than a crash.
bool IsA(Object object, const char* className) {
  if (object == nullptr) return false;
  Host* host = Host::Current();
  return host == nullptr || host->IsA(object, className);
}

// ---------------------------------------------------------------------------
// MemoryBlock

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

// ---------------------------------------------------------------------------
// RawBitmap

void SetExtraData(RawBitmap* record, uint64_t extraData, uint64_t extraRef, int32_t extraKind) {
  record->extraData = extraData;
  record->extraRef = extraRef;
  record->extraKind = extraKind;
}

const RawBitmapOperations kBitmapOperations = {nullptr, nullptr, nullptr, &SetExtraData};

// Pixel memory. Every block starts with a header, one alignment unit long,
// that says how it was obtained, so that it is given back the same way.
// Blocks below 32 MiB come from the C allocator, which reuses memory freed
// by earlier bitmaps, and are zero-filled. Larger ones are
// mapped straight from the kernel: fresh anonymous pages are zero already,
// so no filling pass touches them, and advised as transparent huge pages
// they fault in 2 MiB at a time instead of 4 KiB (a 64 MiB bitmap takes 32
// faults instead of 16384). AddressSanitizer builds keep every block in the
// C allocator, where overruns are caught.
struct PixelBlock {
  void* base;
  size_t mappedLength;  // 0: the block came from the C allocator
};
constexpr int64_t kPixelHeaderBytes = kPixelAlignment;
static_assert(sizeof(PixelBlock) <= kPixelHeaderBytes);
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif
constexpr int64_t kMapThresholdBytes = int64_t{32} << 20;
constexpr int64_t kHugePageBytes = int64_t{2} << 20;

PixelBlock* BlockHeader(uint8_t* pixels) {
  return reinterpret_cast<PixelBlock*>(pixels - kPixelHeaderBytes);
}

void FreePixels(RawBitmap* record) {
  if (record->pixelData != nullptr) {
    const PixelBlock block = *BlockHeader(record->pixelData);
    if (block.mappedLength != 0) {
      munmap(block.base, block.mappedLength);
    } else {
      std::free(block.base);
    }
  }
  record->pixelData = nullptr;
}

void RawBitmapInit(Object self) {
  RawBitmap* record = BitmapData(self);
  record->operations = &kBitmapOperations;
  record->alphaOffset = kNoChannel;
  record->blackOffset = kNoChannel;
}

void RawBitmapDestructor(Object self) { FreePixels(BitmapData(self)); }

// Pixel memory of `bytes` bytes plus slack, aligned and zero-filled.
uint8_t* AllocatePixels(int64_t bytes) {
  const int64_t total = bytes + kPixelSlackBytes;
  const int64_t rounded = (total + kPixelAlignment - 1) / kPixelAlignment * kPixelAlignment;
  if (kMapLargeBlocks && rounded >= kMapThresholdBytes) {
    // Room to start the header on a huge-page boundary.
    const size_t length = static_cast<size_t>(kPixelHeaderBytes + rounded + kHugePageBytes);
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED) {
      const uintptr_t address = reinterpret_cast<uintptr_t>(base);
      const uintptr_t start = (address + kHugePageBytes - 1) & ~uintptr_t{kHugePageBytes - 1};
      // Advice only: where the kernel declines, small pages serve as well.
      madvise(reinterpret_cast<void*>(start), length - (start - address), MADV_HUGEPAGE);
      uint8_t* pixels = reinterpret_cast<uint8_t*>(start) + kPixelHeaderBytes;
      *BlockHeader(pixels) = PixelBlock{base, length};
      return pixels;
    }
  }
  void* memory =
      std::aligned_alloc(kPixelAlignment, static_cast<size_t>(kPixelHeaderBytes + rounded));
  if (memory == nullptr) return nullptr;
  uint8_t* pixels = static_cast<uint8_t*>(memory) + kPixelHeaderBytes;
  std::memset(pixels, 0, static_cast<size_t>(rounded));
  *BlockHeader(pixels) = PixelBlock{memory, 0};
  return pixels;
}

// The bitmap constructor. Every refused request (negative or oversized
// dimensions, unknown format, rows too short or odd for 16-bit samples, a
// block too small, no memory) leaves the record invalid and without pixels.
// Width, height and rowBytes must fit 32 bits, as the filter engine's run
// context keeps them that way.
void RawBitmapConstructor(Object self, Object srcBlock, int64_t width, int64_t height,
                          int64_t rowBytes, int64_t imageFormat) {
  RawBitmap* record = BitmapData(self);
  FreePixels(record);
  *record = RawBitmap{};
  record->operations = &kBitmapOperations;
  record->alphaOffset = kNoChannel;
  record->blackOffset = kNoChannel;

  constexpr int64_t kMax32 = std::numeric_limits<int32_t>::max();
  const FormatInfo* format = FindFormat(imageFormat);
  if (format == nullptr || width < 0 || height < 0 || rowBytes < 0) return;
  if (width > kMax32 || height > kMax32 || rowBytes > kMax32) return;
  const int64_t packedRow = width * format->bytesPerPixel;  // both below 2^31: no overflow
  if (rowBytes == 0) rowBytes = packedRow;
  if (rowBytes < packedRow || rowBytes > kMax32) return;
  if (format->bitsPerChannel == 16 && rowBytes % 2 != 0) return;
  const int64_t imageBytes = rowBytes * height;  // both below 2^31: no overflow
  if (imageBytes > kMaxPixelBytes - kPixelSlackBytes) return;

  const MemoryBlockData* block = nullptr;
  if (srcBlock != nullptr) {
    if (!IsA(srcBlock, "MemoryBlock")) return;
    block = BlockData(srcBlock);
    // The last row of the block need not carry its padding.
    const int64_t needed = height == 0 ? 0 : (height - 1) * rowBytes + packedRow;
    if (block->size < needed) return;
  }

  uint8_t* pixels = AllocatePixels(imageBytes);
  if (pixels == nullptr) return;
  if (block != nullptr && packedRow > 0) {
    for (int64_t y = 0; y < height; ++y) {
      std::memcpy(pixels + y * rowBytes, block->bytes + y * rowBytes,
                  static_cast<size_t>(packedRow));
    }
  }

  record->width = width;
  record->height = height;
  record->pixelData = pixels;
  record->rowBytes = rowBytes;
  record->channelCount = format->channelCount;
  record->bytesPerPixel = format->bytesPerPixel;
  record->redOffset = format->redOffset;
  record->greenOffset = format->greenOffset;
  record->blueOffset = format->blueOffset;
  record->alphaOffset = format->alphaOffset;
  record->blackOffset = format->blackOffset;
  record->imageFormat = format->format;
  record->hasAlpha = format->alphaOffset != kNoChannel;
  record->bitsPerChannel = static_cast<uint8_t>(format->bitsPerChannel);
  record->isValid = 1;
}

template <auto Field>
int64_t GetIntegerField(Object self, intptr_t) {
  return static_cast<int64_t>(BitmapData(self)->*Field);
}
template <auto Field>
bool GetFlagField(Object self, intptr_t) {
  return BitmapData(self)->*Field != 0;
}

// ---------------------------------------------------------------------------
// RawBitmapMask

void RawBitmapMaskInit(Object self) { new (MaskData(self)) BitmapMask(); }
void RawBitmapMaskDestructor(Object self) { std::destroy_at(MaskData(self)); }

void RawBitmapMaskConstructor(Object self, Object bitmap, bool inverted, uint8_t activeChannel) {
  const RawBitmap* record = IsA(bitmap, "RawBitmap") ? BitmapData(bitmap) : nullptr;
  MaskData(self)->Fill(record, inverted, activeChannel);
}

// ---------------------------------------------------------------------------
// Definition records.

template <typename F>
void* Entry(F* function) {
  return reinterpret_cast<void*>(function);
}

ZARKpropertyDefinition ReadOnlyProperty(const char* name, const char* type, void* getter) {
  ZARKpropertyDefinition p{};
  p.name = name;
  p.type = type;
  p.flags = 4;
  p.getter = getter;
  return p;
}

ZARKmethodDefinition Method(void* function, const char* declaration) {
  ZARKmethodDefinition m{};
  m.function = function;
  m.declaration = declaration;
  m.flags = 4;
  return m;
}

ZARKclassDefinition RootClass(const char* name, int64_t dataSize, void (*constructor)(Object),
                              void (*destructor)(Object)) {
  ZARKclassDefinition c{};
  c.version = kZARKRecordVersion;
  c.name = name;
  c.dataSize = dataSize;
  c.constructor = constructor;
  c.destructor = destructor;
  c.interfaces = "";
  c.flags = kZARKClassConsoleSafe;
  return c;
}

ZARKclassDefinition& MemoryBlockClass() {
  static const ZARKpropertyDefinition properties[] = {
      ReadOnlyProperty("Size", "Integer", Entry(&MemoryBlockSize)),
  };
  static const ZARKmethodDefinition methods[] = {
      Method(Entry(&MemoryBlockConstructor), "Constructor(size as Integer)"),
  };
  static ZARKclassDefinition definition = [] {
    ZARKclassDefinition c =
        RootClass("MemoryBlock", sizeof(MemoryBlockData), &MemoryBlockInit, &MemoryBlockDestructor);
    c.properties = properties;
    c.propertyCount = std::size(properties);
    c.methods = methods;
    c.methodCount = std::size(methods);
    return c;
  }();
  return definition;
}

ZARKclassDefinition& RawBitmapClass() {
  static const ZARKpropertyDefinition properties[] = {
      ReadOnlyProperty("Width", "Integer", Entry(&GetIntegerField<&RawBitmap::width>)),
      ReadOnlyProperty("Height", "Integer", Entry(&GetIntegerField<&RawBitmap::height>)),
      ReadOnlyProperty("RowBytes", "Integer", Entry(&GetIntegerField<&RawBitmap::rowBytes>)),
      ReadOnlyProperty("Format", "RawBitmap.RawBitmapFormat",
                       Entry(&GetIntegerField<&RawBitmap::imageFormat>)),
      ReadOnlyProperty("BitsPerChannel", "Integer",
                       Entry(&GetIntegerField<&RawBitmap::bitsPerChannel>)),
      ReadOnlyProperty("BytesPerPixel", "Integer",
                       Entry(&GetIntegerField<&RawBitmap::bytesPerPixel>)),
      ReadOnlyProperty("ChannelCount", "Integer",
                       Entry(&GetIntegerField<&RawBitmap::channelCount>)),
      ReadOnlyProperty("HasAlpha", "Boolean", Entry(&GetFlagField<&RawBitmap::hasAlpha>)),
      ReadOnlyProperty("IsValid", "Boolean", Entry(&GetFlagField<&RawBitmap::isValid>)),
  };
  static const ZARKmethodDefinition methods[] = {
      Method(Entry(&RawBitmapConstructor), RAW_BITMAP_CONSTRUCTOR_DECLARATION),
  };
  static const ZARKenumDefinition enums[] = {[] {
    ZARKenumDefinition e{};
    e.name = "RawBitmapFormat";
    e.type = "Integer";
    e.flags = 32;
    e.fields = kFormatFields;
    e.fieldCount = std::size(kFormatFields);
    return e;
  }()};
  static ZARKclassDefinition definition = [] {
    ZARKclassDefinition c =
        RootClass("RawBitmap", sizeof(RawBitmap), &RawBitmapInit, &RawBitmapDestructor);
    c.properties = properties;
    c.propertyCount = std::size(properties);
    c.methods = methods;
    c.methodCount = std::size(methods);
    c.enums = enums;
    c.enumCount = std::size(enums);
    return c;
  }();
  return definition;
}

ZARKclassDefinition& RawBitmapMaskClass() {
  static const ZARKmethodDefinition methods[] = {
      Method(Entry(&RawBitmapMaskConstructor), RAW_BITMAP_MASK_CONSTRUCTOR_DECLARATION),
  };
  static ZARKclassDefinition definition = [] {
    ZARKclassDefinition c = RootClass("RawBitmapMask", sizeof(BitmapMask), &RawBitmapMaskInit,
                                      &RawBitmapMaskDestructor);
    c.methods = methods;
    c.methodCount = std::size(methods);
    return c;
  }();
  return definition;
}

}  // namespace

const std::vector<FormatInfo>& AllFormats() {
  static const std::vector<FormatInfo> formats = {LUMENO_BITMAP_FORMATS(LUMENO_FORMAT_INFO)};
  return formats;
}

const FormatInfo* FindFormat(int64_t format) {
  for (const FormatInfo& info : AllFormats()) {
    if (info.format == format) return &info;
  }
  return nullptr;
}

const FormatInfo* FindFormatByName(const std::string& name) {
  auto same = [](const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
      if (std::toupper(static_cast<unsigned char>(a[i])) !=
          std::toupper(static_cast<unsigned char>(b[i]))) {
        return false;
      }
    }
    return i == a.size() && b[i] == '\0';
  };
  for (const FormatInfo& info : AllFormats()) {
    if (same(name, info.name)) return &info;
  }
  return nullptr;
}

void RegisterBitmapClasses(Host& host) {
  host.RegisterClass(&MemoryBlockClass());
  host.RegisterClass(&RawBitmapClass());
  host.RegisterClass(&RawBitmapMaskClass());
}

Object CreateBitmap(Host& host, int64_t width, int64_t height, int64_t format, int64_t rowBytes) {
  Object bitmap = host.New("RawBitmap");
  if (bitmap == nullptr) return nullptr;
  host.Call<void>(bitmap, RAW_BITMAP_CONSTRUCTOR_DECLARATION, Object{nullptr}, width, height,
                  rowBytes, format);
  const RawBitmap* record = BitmapRecord(host, bitmap);
  if (record == nullptr || record->isValid == 0) {
    host.Unlock(bitmap);
    return nullptr;
  }
  return bitmap;
}

RawBitmap* BitmapRecord(Host& host, Object bitmap) {
  if (bitmap == nullptr) return nullptr;
  return static_cast<RawBitmap*>(host.ClassData(bitmap, "RawBitmap"));
}

Object CreateMask(Host& host, Object bitmap, bool inverted, uint8_t activeChannel) {
  Object mask = host.New("RawBitmapMask");
  if (mask == nullptr) return nullptr;
  host.Call<void>(mask, RAW_BITMAP_MASK_CONSTRUCTOR_DECLARATION, bitmap, inverted, activeChannel);
  return mask;
}

RawBitmapMask* MaskObject(Host& host, Object mask) {
  if (mask == nullptr) return nullptr;
  void* data = host.ClassData(mask, "RawBitmapMask");
  return data == nullptr ? nullptr : static_cast<BitmapMask*>(data);
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

std::vector<uint8_t> ReadPixels(const RawBitmap& bitmap) {
  if (bitmap.pixelData == nullptr || bitmap.width <= 0 || bitmap.height <= 0) return {};
  const size_t packedRow = static_cast<size_t>(bitmap.width * bitmap.bytesPerPixel);
  std::vector<uint8_t> packed(packedRow * static_cast<size_t>(bitmap.height));
  for (int64_t y = 0; y < bitmap.height; ++y) {
    std::memcpy(packed.data() + y * packedRow, bitmap.pixelData + y * bitmap.rowBytes, packedRow);
  }
  return packed;
}

// Writes as many whole rows as `packed` holds (and a partial last one);
// row padding and slack stay untouched.
void WritePixels(RawBitmap& bitmap, const std::vector<uint8_t>& packed) {
  if (bitmap.pixelData == nullptr || bitmap.width <= 0 || bitmap.height <= 0) return;
  const size_t packedRow = static_cast<size_t>(bitmap.width * bitmap.bytesPerPixel);
  for (int64_t y = 0; y < bitmap.height; ++y) {
    const size_t start = static_cast<size_t>(y) * packedRow;
    if (start >= packed.size()) break;
    std::memcpy(bitmap.pixelData + y * bitmap.rowBytes, packed.data() + start,
                std::min(packedRow, packed.size() - start));
  }
}

}  // namespace lumeno::host

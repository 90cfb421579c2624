// The RawBitmap class and the bitmap module's registration. The module (this
// file, memory_block_class.cpp and bitmap_mask_class.cpp) is registered the
// way a sibling plug-in would be: every class is a definition record, and its
// functions find their instance data by the record's dataOffset, exactly as
// plug-ins do.
//
// A RawBitmap's data is the RawBitmap record itself. Its pixel memory is
// aligned to kPixelAlignment, zero-filled and followed by kPixelSlackBytes of
// zeroed slack, so a writer that puts a gray sample at a colour source's red
// offset (up to a few bytes past the last pixel) stays inside the block.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>

#include "host/bitmap_classes.h"

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

// The host the classes were registered into last, while it lives: arguments
// are checked against it.
std::atomic<Host*> gHost{nullptr};

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
    if (!IsObjectOf(srcBlock, "MemoryBlock")) return;
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

}  // namespace

ZARKclassDefinition& RawBitmapClass() {
  static const ZARKpropertyDefinition properties[] = {
      records::ReadOnlyProperty("Width", "Integer", &GetIntegerField<&RawBitmap::width>),
      records::ReadOnlyProperty("Height", "Integer", &GetIntegerField<&RawBitmap::height>),
      records::ReadOnlyProperty("RowBytes", "Integer", &GetIntegerField<&RawBitmap::rowBytes>),
      records::ReadOnlyProperty("Format", "RawBitmap.RawBitmapFormat",
                                &GetIntegerField<&RawBitmap::imageFormat>),
      records::ReadOnlyProperty("BitsPerChannel", "Integer",
                                &GetIntegerField<&RawBitmap::bitsPerChannel>),
      records::ReadOnlyProperty("BytesPerPixel", "Integer",
                                &GetIntegerField<&RawBitmap::bytesPerPixel>),
      records::ReadOnlyProperty("ChannelCount", "Integer",
                                &GetIntegerField<&RawBitmap::channelCount>),
      records::ReadOnlyProperty("HasAlpha", "Boolean", &GetFlagField<&RawBitmap::hasAlpha>),
      records::ReadOnlyProperty("IsValid", "Boolean", &GetFlagField<&RawBitmap::isValid>),
  };
  static const ZARKmethodDefinition methods[] = {
      records::Method(&RawBitmapConstructor, RAW_BITMAP_CONSTRUCTOR_DECLARATION),
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
  static ZARKclassDefinition definition = records::WithMembers(
      records::Class("RawBitmap", nullptr, sizeof(RawBitmap), &RawBitmapInit, &RawBitmapDestructor),
      properties, methods, enums);
  return definition;
}

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

bool IsObjectOf(Object object, const char* className) {
  if (object == nullptr) return false;
  Host* host = gHost.load();
  return host == nullptr || host->IsA(object, className);
}

void RegisterBitmapClasses(Host& host) {
  gHost.store(&host);
  host.AtTeardown([gone = &host] {
    Host* expected = gone;
    gHost.compare_exchange_strong(expected, nullptr);
  });
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

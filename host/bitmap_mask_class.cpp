// The RawBitmapMask class. Its data holds a BitmapMask object: a copy of one
// channel of a bitmap taken when the mask is constructed, answered by
// read-only lookups.
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "host/bitmap_classes.h"

namespace lumeno::host {
namespace {

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

BitmapMask* MaskData(Object self) {
  return records::DataOf<BitmapMask>(self, RawBitmapMaskClass());
}

void RawBitmapMaskInit(Object self) { new (MaskData(self)) BitmapMask(); }
void RawBitmapMaskDestructor(Object self) { std::destroy_at(MaskData(self)); }

void RawBitmapMaskConstructor(Object self, Object bitmap, bool inverted, uint8_t activeChannel) {
  const RawBitmap* record = IsObjectOf(bitmap, "RawBitmap") ? BitmapData(bitmap) : nullptr;
  MaskData(self)->Fill(record, inverted, activeChannel);
}

}  // namespace

ZARKclassDefinition& RawBitmapMaskClass() {
  static const ZARKmethodDefinition methods[] = {
      records::Method(&RawBitmapMaskConstructor, RAW_BITMAP_MASK_CONSTRUCTOR_DECLARATION),
  };
  static ZARKclassDefinition definition =
      records::WithMembers(records::Class("RawBitmapMask", nullptr, sizeof(BitmapMask),
                                          &RawBitmapMaskInit, &RawBitmapMaskDestructor),
                           methods);
  return definition;
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

}  // namespace lumeno::host

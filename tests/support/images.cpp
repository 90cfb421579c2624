#include "support/images.h"

#include <cstring>

namespace lumeno::testing {
namespace {

int64_t PackedRow(const RawBitmap& b) { return b.width * b.bytesPerPixel; }

// About a quarter 0, an eighth the maximum, the rest anything.
template <typename T>
std::vector<T> MaskValues(int64_t width, int64_t height, uint64_t seed, T maximum) {
  Rng rng(seed);
  std::vector<T> values(static_cast<size_t>(width * height));
  for (T& v : values) {
    const uint64_t pick = rng() % 8;
    v = pick < 2 ? 0 : pick == 2 ? maximum : static_cast<T>(rng() % (uint64_t{maximum} + 1));
  }
  return values;
}

template <typename T>
host::Ref GrayBitmapWith(host::Host& host, int64_t width, int64_t height,
                         const std::vector<T>& values) {
  const int64_t format = sizeof(T) == 1 ? host::kGray8 : host::kGray16;
  host::Ref bitmap(host, host::CreateBitmap(host, width, height, format));
  for (int64_t i = 0; bitmap && i < width * height && i < static_cast<int64_t>(values.size());
       ++i) {
    SetSample(*host::BitmapRecord(host, bitmap.get()), i % width, i / width, 0,
              values[static_cast<size_t>(i)]);
  }
  return bitmap;
}

template <typename T>
host::Ref MaskFrom(host::Host& host, int64_t width, int64_t height, const std::vector<T>& values) {
  host::Ref bitmap = GrayBitmapWith(host, width, height, values);
  return bitmap ? host::Ref(host, host::CreateMask(host, bitmap.get(), false, 0)) : host::Ref();
}

}  // namespace

host::Ref RandomBitmap(host::Host& host, int64_t width, int64_t height, int64_t format,
                       int64_t rowPaddingBytes, uint64_t seed) {
  const host::FormatInfo* info = host::FindFormat(format);
  if (info == nullptr) return {};
  const int64_t rowBytes = width * info->bytesPerPixel + rowPaddingBytes;
  host::Ref bitmap(host, host::CreateBitmap(host, width, height, format, rowBytes));
  if (!bitmap) return bitmap;
  RawBitmap& record = *host::BitmapRecord(host, bitmap.get());
  Rng rng(seed);
  for (int64_t i = 0; i < record.rowBytes * record.height; ++i) {
    record.pixelData[i] = static_cast<uint8_t>(rng());
  }
  return bitmap;
}

OutsideBytes Snapshot(const RawBitmap& b) {
  OutsideBytes out;
  if (b.pixelData == nullptr) return out;
  for (int64_t y = 0; y < b.height; ++y) {
    const uint8_t* row = b.pixelData + y * b.rowBytes;
    out.bytes.insert(out.bytes.end(), row + PackedRow(b), row + b.rowBytes);
  }
  const uint8_t* slack = b.pixelData + b.height * b.rowBytes;
  out.bytes.insert(out.bytes.end(), slack, slack + host::kPixelSlackBytes);
  return out;
}

bool Unchanged(const RawBitmap& bitmap, const OutsideBytes& before) {
  return Snapshot(bitmap).bytes == before.bytes;
}

::testing::AssertionResult OutsideUnchanged(const RawBitmap& bitmap, const OutsideBytes& before) {
  const std::vector<uint8_t> now = Snapshot(bitmap).bytes;
  const int64_t padding = bitmap.rowBytes - PackedRow(bitmap);
  for (size_t i = 0; i < now.size() && now.size() == before.bytes.size(); ++i) {
    if (now[i] == before.bytes[i]) continue;
    const int64_t k = static_cast<int64_t>(i);
    return ::testing::AssertionFailure()
           << (k < padding * bitmap.height ? "padding" : "slack") << " byte " << i
           << " changed from " << int{before.bytes[i]} << " to " << int{now[i]};
  }
  if (now.size() == before.bytes.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "bitmap layout changed since the snapshot";
}

uint8_t Sample8(const RawBitmap& b, int64_t x, int64_t y, int byteOffset) {
  return b.pixelData[y * b.rowBytes + x * b.bytesPerPixel + byteOffset];
}

uint16_t Sample16(const RawBitmap& b, int64_t x, int64_t y, int byteOffset) {
  uint16_t v;
  std::memcpy(&v, b.pixelData + y * b.rowBytes + x * b.bytesPerPixel + (byteOffset >> 1) * 2,
              sizeof v);
  return v;
}

uint32_t Sample(const RawBitmap& b, int64_t x, int64_t y, int byteOffset) {
  return b.bitsPerChannel == 16 ? Sample16(b, x, y, byteOffset) : Sample8(b, x, y, byteOffset);
}

void SetSample(RawBitmap& b, int64_t x, int64_t y, int byteOffset, uint32_t value) {
  uint8_t* pixel = b.pixelData + y * b.rowBytes + x * b.bytesPerPixel;
  const uint16_t v = static_cast<uint16_t>(value);
  if (b.bitsPerChannel == 16) std::memcpy(pixel + (byteOffset >> 1) * 2, &v, sizeof v);
  if (b.bitsPerChannel != 16) pixel[byteOffset] = static_cast<uint8_t>(value);
}

::testing::AssertionResult SamePixels(const std::vector<uint8_t>& expected,
                                      const RawBitmap& actual) {
  const int64_t packedRow = PackedRow(actual);
  if (static_cast<int64_t>(expected.size()) != packedRow * actual.height) {
    return ::testing::AssertionFailure()
           << "expected " << expected.size() << " bytes, bitmap has " << packedRow * actual.height;
  }
  if (packedRow == 0) return ::testing::AssertionSuccess();  // no pixels
  const int64_t sampleBytes = actual.bitsPerChannel == 16 ? 2 : 1;
  for (int64_t y = 0; y < actual.height; ++y) {
    const uint8_t* want = expected.data() + y * packedRow;
    const uint8_t* got = actual.pixelData + y * actual.rowBytes;
    if (std::memcmp(want, got, static_cast<size_t>(packedRow)) == 0) continue;
    for (int64_t i = 0; i < packedRow; i += sampleBytes) {
      uint32_t a = 0, b = 0;
      std::memcpy(&a, want + i, static_cast<size_t>(sampleBytes));
      std::memcpy(&b, got + i, static_cast<size_t>(sampleBytes));
      if (a == b) continue;
      return ::testing::AssertionFailure()
             << "pixel (" << i / actual.bytesPerPixel << ", " << y << ") sample at byte offset "
             << i % actual.bytesPerPixel << ": expected " << a << ", got " << b;
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SamePixels(const RawBitmap& expected, const RawBitmap& actual) {
  if (expected.width != actual.width || expected.height != actual.height ||
      expected.imageFormat != actual.imageFormat) {
    return ::testing::AssertionFailure()
           << "expected " << expected.width << "x" << expected.height << " format "
           << expected.imageFormat << ", got " << actual.width << "x" << actual.height << " format "
           << actual.imageFormat;
  }
  return SamePixels(host::ReadPixels(expected), actual);
}

host::Ref MaskWithValues(host::Host& host, int64_t width, int64_t height,
                         const std::vector<uint8_t>& values) {
  return MaskFrom(host, width, height, values);
}
host::Ref MaskWithValues(host::Host& host, int64_t width, int64_t height,
                         const std::vector<uint16_t>& values) {
  return MaskFrom(host, width, height, values);
}
std::vector<uint8_t> RandomMaskValues8(int64_t width, int64_t height, uint64_t seed) {
  return MaskValues<uint8_t>(width, height, seed, 255);
}
std::vector<uint16_t> RandomMaskValues16(int64_t width, int64_t height, uint64_t seed) {
  return MaskValues<uint16_t>(width, height, seed, 65535);
}

host::Ref RandomMaskBitmap(host::Host& host, int64_t width, int64_t height, int bitsPerChannel,
                           uint64_t seed) {
  if (bitsPerChannel == 16) {
    return GrayBitmapWith(host, width, height, RandomMaskValues16(width, height, seed));
  }
  return GrayBitmapWith(host, width, height, RandomMaskValues8(width, height, seed));
}

}  // namespace lumeno::testing

// Helpers of the tone and grayscale tests: random bitmaps, pixel snapshots,
// mask values read through the mask's own lookups, a completion recorder and
// a progress handler class registered with the test's host.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "host/host.h"
#include "host/raw_bitmap_class.h"
#include "lumeno/raw_bitmap.h"

namespace tone_test {

using lumeno::host::Host;
using lumeno::host::Object;
using lumeno::host::Ref;

// Pixel bytes of every row (width * bytesPerPixel each), in row order.
inline std::vector<uint8_t> Snapshot(const RawBitmap& b) {
  const int64_t rowLength = b.width * b.bytesPerPixel;
  std::vector<uint8_t> out(static_cast<size_t>(rowLength * b.height));
  for (int64_t y = 0; y < b.height; ++y) {
    std::memcpy(out.data() + y * rowLength, b.pixelData + y * b.rowBytes,
                static_cast<size_t>(rowLength));
  }
  return out;
}

// The whole pixel memory: all rows with their padding plus the slack after
// the last row, for checks of bytes outside the pixels.
inline std::vector<uint8_t> RawMemory(const RawBitmap& b) {
  const int64_t size = b.rowBytes * b.height + lumeno::host::kPixelSlackBytes;
  return std::vector<uint8_t>(b.pixelData, b.pixelData + size);
}

inline void FillRandom(RawBitmap& b, uint32_t seed) {
  std::mt19937 rng(seed);
  const int64_t rowLength = b.width * b.bytesPerPixel;
  for (int64_t y = 0; y < b.height; ++y) {
    for (int64_t i = 0; i < rowLength; ++i) b.pixelData[y * b.rowBytes + i] = rng() & 0xFF;
  }
}

// A bitmap of the format filled with seeded random bytes; fails the test
// when the host cannot make it.
inline Ref RandomBitmap(Host& host, int64_t width, int64_t height, int64_t format, uint32_t seed) {
  Ref bitmap(host, lumeno::host::CreateBitmap(host, width, height, format));
  EXPECT_TRUE(bitmap) << "format " << format;
  if (bitmap) FillRandom(*lumeno::host::BitmapRecord(host, bitmap.get()), seed);
  return bitmap;
}

// Sets the samples of pixel (x, y): 8-bit byte index i, or 16-bit sample i.
inline void SetSample(RawBitmap& b, int64_t x, int64_t y, int i, uint32_t v) {
  uint8_t* p = b.pixelData + y * b.rowBytes + x * b.bytesPerPixel;
  if (b.bitsPerChannel == 16) {
    const uint16_t s = static_cast<uint16_t>(v);
    std::memcpy(p + 2 * i, &s, 2);
  } else {
    p[i] = static_cast<uint8_t>(v);
  }
}
inline uint32_t GetSample(const RawBitmap& b, int64_t x, int64_t y, int i) {
  const uint8_t* p = b.pixelData + y * b.rowBytes + x * b.bytesPerPixel;
  if (b.bitsPerChannel == 16) {
    uint16_t s;
    std::memcpy(&s, p + 2 * i, 2);
    return s;
  }
  return p[i];
}

// A mask made from the first channel of a random 8-bit bitmap whose first
// column is 0 and second column 255, so both ends of the blend are covered.
struct MaskPair {
  Ref bitmap;
  Ref mask;
};
inline MaskPair RandomMask(Host& host, int64_t width, int64_t height, uint32_t seed) {
  MaskPair pair;
  pair.bitmap = RandomBitmap(host, width, height, lumeno::host::kRGBA8, seed);
  RawBitmap& b = *lumeno::host::BitmapRecord(host, pair.bitmap.get());
  for (int64_t y = 0; y < height; ++y) {
    b.pixelData[y * b.rowBytes + 0] = 0;
    if (width > 1) b.pixelData[y * b.rowBytes + b.bytesPerPixel] = 255;
  }
  pair.mask = Ref(host, lumeno::host::CreateMask(host, pair.bitmap.get(), false, 0));
  EXPECT_TRUE(pair.mask);
  return pair;
}

// Mask values per pixel as the mask itself answers them, at 8 or 16 bits.
inline std::vector<uint32_t> MaskValues(Host& host, Object mask, int64_t width, int64_t height,
                                        int bits) {
  RawBitmapMask* m = lumeno::host::MaskObject(host, mask);
  std::vector<uint32_t> values;
  for (int32_t y = 0; y < height; ++y) {
    const int64_t row = bits == 16 ? m->GetRow16(y) : m->GetRow8(y);
    for (int32_t x = 0; x < width; ++x) {
      values.push_back(bits == 16 ? (m->GetValue16(row, x) & 0xFFFFu)
                                  : (m->GetValue8(row, x) & 0xFFu));
    }
  }
  return values;
}

// -- Completion calls ------------------------------------------------------------

struct CompletionLog {
  int calls = 0;
  Object target = nullptr;
  Object filter = nullptr;
};
inline CompletionLog& Completions() {
  static CompletionLog log;
  return log;
}
inline void RecordCompletion(Object target, Object filter) {
  CompletionLog& log = Completions();
  ++log.calls;
  log.target = target;
  log.filter = filter;
}
inline void* CompletionMethod() { return reinterpret_cast<void*>(&RecordCompletion); }

// -- A progress handler class ---------------------------------------------------

struct ProgressLog {
  std::atomic<int> calls{0};
  std::atomic<uint64_t> lastValue{0};
  std::atomic<uint64_t> lastTotal{0};
  std::atomic<bool> cancelOnFirstCall{false};
};
inline ProgressLog& Progress() {
  static ProgressLog log;
  return log;
}
inline void OnProgress(Object, uint64_t value, uint64_t total, uint64_t, bool* cancel) {
  ProgressLog& log = Progress();
  log.calls.fetch_add(1);
  log.lastValue.store(value);
  log.lastTotal.store(total);
  if (log.cancelOnFirstCall.load()) std::atomic_ref<bool>(*cancel).store(true);
}

inline ZARKclassDefinition* ProgressHandlerClass() {
  static ZARKmethodDefinition methods[] = {
      {reinterpret_cast<void*>(&OnProgress),
       0,
       "OnProgress(value as UInt64,total as UInt64,extraInfo as UInt64,ByRef cancel as Boolean)",
       4,
       {}},
  };
  static ZARKclassDefinition definition = {13,
                                           "ToneProgressHandler",
                                           nullptr,
                                           8,
                                           0,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           0,
                                           methods,
                                           1,
                                           {},
                                           "IProgressHandlerV2",
                                           {},
                                           nullptr,
                                           0,
                                           0,
                                           0,
                                           {},
                                           nullptr,
                                           0};
  return &definition;
}

// A new progress handler object (the class is registered on first use in
// each host) with the log cleared.
inline Ref NewProgressHandler(Host& host, bool cancelOnFirstCall) {
  if (host.FindClass("ToneProgressHandler") == nullptr) host.RegisterClass(ProgressHandlerClass());
  ProgressLog& log = Progress();
  log.calls = 0;
  log.lastValue = 0;
  log.lastTotal = 0;
  log.cancelOnFirstCall = cancelOnFirstCall;
  return Ref(host, host.New("ToneProgressHandler"));
}

}  // namespace tone_test

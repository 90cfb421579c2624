// Drives a tone effect through the host over every format class, masked and
// plain, into a new bitmap and in place, and compares each result byte for
// byte with a plain reference.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tone/tone_reference.h"
#include "tone/tone_support.h"

namespace tone_test {

// The formats a tone effect accepts: gray, gray+alpha, RGB in several
// orders, alpha first and last, a padding byte, at 8 and 16 bits.
inline const std::vector<int64_t>& AcceptedFormats() {
  using namespace lumeno::host;
  static const std::vector<int64_t> formats = {kGray8, kGrayAlpha8, kRGB8,   kBGR8,
                                               kRGBA8, kARGB8,      kRGBX8,  kBGRA8,
                                               kRGB16, kRGBA16,     kGray16, kGrayAlpha16};
  return formats;
}

struct ToneRunner {
  std::function<Object(Object effect, Object source)> apply;
  std::function<void(Object effect, Object source)> applyInPlace;
  std::function<uint32_t(uint32_t o, int bits)> reference;
};

inline lumeno::host::Value NoObject() { return lumeno::host::Value(static_cast<Object>(nullptr)); }

// One comparison: a random source of `format`, optionally masked, new bitmap
// or in place.
inline void CompareOnce(Host& host, Object effect, const ToneRunner& runner, int64_t format,
                        bool masked, bool inPlace, uint32_t seed, int64_t width = 23,
                        int64_t height = 37) {
  SCOPED_TRACE(::testing::Message() << "format " << format << (masked ? " masked" : " plain")
                                    << (inPlace ? " in place" : " new bitmap"));
  Ref source = RandomBitmap(host, width, height, format, seed);
  ASSERT_TRUE(source);
  RawBitmap& record = *lumeno::host::BitmapRecord(host, source.get());
  const int bits = record.bitsPerChannel;
  MaskPair mask;
  std::vector<uint32_t> maskValues;
  if (masked) {
    mask = RandomMask(host, width, height, seed + 1);
    host.SetProperty(effect, "Mask", mask.mask.get());
    maskValues = MaskValues(host, mask.mask.get(), width, height, bits);
  } else {
    host.SetProperty(effect, "Mask", NoObject());
  }
  const std::vector<uint8_t> before = Snapshot(record);
  const std::vector<uint8_t> rawBefore = RawMemory(record);
  const std::vector<uint8_t> expected =
      tone_ref::ApplyPerSample(record, before, masked ? &maskValues : nullptr,
                               [&](uint32_t o) { return runner.reference(o, bits); });
  if (inPlace) {
    runner.applyInPlace(effect, source.get());
    EXPECT_EQ(Snapshot(record), expected);
    // Row padding and the slack after the last row stay as they were.
    std::vector<uint8_t> rawAfter = RawMemory(record);
    const int64_t rowLength = record.width * record.bytesPerPixel;
    for (int64_t i = 0; i < static_cast<int64_t>(rawAfter.size()); ++i) {
      const bool inRow = i < record.rowBytes * record.height && i % record.rowBytes < rowLength;
      if (!inRow) {
        ASSERT_EQ(rawAfter[i], rawBefore[i]) << "byte " << i << " outside the pixels";
      }
    }
  } else {
    Ref result(host, runner.apply(effect, source.get()));
    ASSERT_TRUE(result);
    const RawBitmap& out = *lumeno::host::BitmapRecord(host, result.get());
    EXPECT_EQ(out.imageFormat, record.imageFormat);
    EXPECT_EQ(out.width, width);
    EXPECT_EQ(out.height, height);
    EXPECT_EQ(Snapshot(out), expected);
    EXPECT_EQ(Snapshot(record), before) << "the source changed";
  }
  EXPECT_EQ(host.GetInteger(effect, "ErrorCode"), 0);
  host.SetProperty(effect, "Mask", NoObject());
}

inline void CompareAllFormats(Host& host, Object effect, const ToneRunner& runner, uint32_t seed) {
  for (int64_t format : AcceptedFormats()) {
    for (bool masked : {false, true}) {
      for (bool inPlace : {false, true}) {
        CompareOnce(host, effect, runner, format, masked, inPlace, seed++);
      }
    }
  }
}

// Identical results whatever the thread count (and with a forced thread).
inline void CompareThreadCounts(Host& host, Object effect, const ToneRunner& runner, int64_t format,
                                uint32_t seed) {
  for (int64_t hint : {1, 2, 3, 4, 5, 6, 7, 8, -1}) {
    SCOPED_TRACE(::testing::Message() << "MultiprocessingHint " << hint);
    host.SetProperty(effect, "MultiprocessingHint", hint);
    CompareOnce(host, effect, runner, format, hint % 2 == 0, hint % 3 == 0, seed++, 31, 67);
  }
  host.SetProperty(effect, "MultiprocessingHint", int64_t{1});
  host.SetProperty(effect, "ForceThreads", true);
  CompareOnce(host, effect, runner, format, true, false, seed, 31, 67);
  host.SetProperty(effect, "ForceThreads", false);
  host.SetProperty(effect, "MultiprocessingHint", int64_t{0});
}

}  // namespace tone_test

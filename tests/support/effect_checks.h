// Helpers shared by the effect tests: a packed copy of a bitmap's pixels
// addressed by pixel and channel offset, and the check of an effect class's
// registration record against the member texts it must carry.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/host.h"
#include "host/raw_bitmap_class.h"

namespace lumeno::testing {

namespace host = lumeno::host;

struct Pixels {
  std::vector<uint8_t> bytes;
  int64_t width = 0;
  int64_t bytesPerPixel = 0;
  int bits = 8;

  uint32_t Get(int64_t x, int64_t y, int offset) const {
    const size_t at = static_cast<size_t>((y * width + x) * bytesPerPixel);
    if (bits == 8) return bytes[at + offset];
    uint16_t v;
    std::memcpy(&v, &bytes[at + (offset / 2) * 2], 2);
    return v;
  }
  void Set(int64_t x, int64_t y, int offset, uint32_t value) {
    const size_t at = static_cast<size_t>((y * width + x) * bytesPerPixel);
    if (bits == 8) {
      bytes[at + offset] = static_cast<uint8_t>(value);
      return;
    }
    const uint16_t v = static_cast<uint16_t>(value);
    std::memcpy(&bytes[at + (offset / 2) * 2], &v, 2);
  }
};

inline Pixels PixelsOf(const RawBitmap& b) {
  return {host::ReadPixels(b), b.width, b.bytesPerPixel, b.bitsPerChannel};
}
inline Pixels ZeroPixelsLike(const RawBitmap& b) {
  return {std::vector<uint8_t>(static_cast<size_t>(b.width * b.height * b.bytesPerPixel), 0),
          b.width, b.bytesPerPixel, b.bitsPerChannel};
}

struct MemberText {
  const char* name;
  const char* type;
};

inline void ExpectRecord(const host::ClassInfo* info, const char* name, int64_t dataSize,
                         const char* interfaces, const std::vector<MemberText>& properties,
                         const std::vector<const char*>& methods) {
  ASSERT_NE(info, nullptr) << name;
  const ZARKclassDefinition& d = *info->definition;
  EXPECT_EQ(d.version, 13);
  EXPECT_STREQ(d.name, name);
  EXPECT_STREQ(d.superName, "MPImageFilterRaw");
  EXPECT_EQ(d.dataSize, dataSize);
  EXPECT_STREQ(d.interfaces, interfaces);
  EXPECT_NE(d.constructor, nullptr);
  EXPECT_NE(d.destructor, nullptr);
  EXPECT_EQ(d.constantCount, 0);
  EXPECT_EQ(d.enumCount, 0);
  EXPECT_EQ(d.flags & 4u, 4u);
  ASSERT_EQ(d.propertyCount, static_cast<int64_t>(properties.size()));
  for (size_t i = 0; i < properties.size(); ++i) {
    EXPECT_STREQ(d.properties[i].name, properties[i].name);
    EXPECT_STREQ(d.properties[i].type, properties[i].type);
    EXPECT_EQ(d.properties[i].flags, 4);
  }
  ASSERT_EQ(d.methodCount, static_cast<int64_t>(methods.size()));
  for (size_t i = 0; i < methods.size(); ++i) {
    EXPECT_STREQ(d.methods[i].declaration, methods[i]);
    EXPECT_EQ(d.methods[i].flags, 4);
    EXPECT_NE(d.methods[i].function, nullptr);
  }
}

}  // namespace lumeno::testing

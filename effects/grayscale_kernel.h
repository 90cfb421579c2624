// What the plain grayscale workers (effects/grayscale_workers.cpp) and their
// faster rows (effects/x86/grayscale_*.cpp) share: the exact divisions of
// the two averaging methods, the vector rows' description and the rows
// themselves.
//
// Only constants, plain records, declarations and one template that the
// level files instantiate with their own private types (so each copy stays
// private): a level file compiled for AVX2 must emit no inline function the
// plain code might take in its place.
#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/pixel_lanes.h"

namespace lumeno::gray {

// Division of a small whole sum by a constant as a multiply by a 16-bit
// reciprocal and a shift: exact for every sum up to maxSum, checked here for
// each one.
constexpr bool DividesExactly(uint32_t maxSum, uint32_t divisor, uint32_t multiplier,
                              int32_t shift) {
  for (uint32_t s = 0; s <= maxSum; ++s) {
    if (((s * multiplier) >> 16 >> shift) != s / divisor) return false;
  }
  return true;
}
constexpr uint32_t kThirdMultiplier = 0xAAAB;  // ceil(2^17 / 3)
constexpr int32_t kThirdShift = 1;
constexpr uint32_t kNinthMultiplier = 58255;  // ceil(2^19 / 9)
constexpr int32_t kNinthShift = 3;
static_assert(DividesExactly(3 * 255, 3, kThirdMultiplier, kThirdShift));
static_assert(DividesExactly(9 * 255, 9, kNinthMultiplier, kNinthShift));

// The same for sums of 16-bit samples, with 64-bit products, checked over
// [first, last] (in pieces, as the compiler bounds the steps of one check).
constexpr bool DividesExactly64(uint64_t first, uint64_t last, uint64_t divisor,
                                uint64_t multiplier, int32_t shift) {
  for (uint64_t s = first; s <= last; ++s) {
    if (((s * multiplier) >> shift) != s / divisor) return false;
  }
  return true;
}
constexpr uint64_t kThird16Multiplier = 174763;  // ceil(2^19 / 3)
constexpr int32_t kThird16Shift = 19;
constexpr uint64_t kNinth16Multiplier = 466034;  // ceil(2^22 / 9)
constexpr int32_t kNinth16Shift = 22;
static_assert(DividesExactly64(0, 3 * 65535, 3, kThird16Multiplier, kThird16Shift));
static_assert(DividesExactly64(0, 199999, 9, kNinth16Multiplier, kNinth16Shift));
static_assert(DividesExactly64(200000, 399999, 9, kNinth16Multiplier, kNinth16Shift));
static_assert(DividesExactly64(400000, 9 * 65535, 9, kNinth16Multiplier, kNinth16Shift));

// The gray value's formula: the weighted sum (r * wr + g * wg) + b * wb in
// double precision, truncated; (r + g + b) / 3; (3r + 4g + 2b) / 9.
enum class Formula : int32_t { kWeighted, kAverage, kWeightedAverage };

// The vector rows over pixels of four samples (4 bytes at 8 bits, 8 at 16):
// the colour samples read at the source's offsets, the gray value written to
// every destination colour sample, alpha taken from the source at the same
// offset, every other byte left as it is. Only where no write leaves its
// pixel and alpha falls on no colour sample (one store order to keep): then
// a row writes exactly what the pixel loop would.
struct Vector {
  int32_t srcShift[3];  // bit positions of red, green, blue in the pixel
  uint64_t grayBits;    // destination bits that take the gray value
  uint64_t srcKeep;     // destination bits taken from the source pixel (alpha)
  uint64_t dstKeep;     // destination bits left as they are (beyond the pixel at 8 bits)
  Formula formula;
  double weights[3];  // red, green, blue, for kWeighted
};

// A row: does the first pixels of a row of `width` and returns how many;
// the plain form does the rest.
using Row = int32_t (*)(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                        int32_t width);

// The rows from pixels of four samples into a gray bitmap: the gray value
// (its low kBits bits, as a sample store keeps them) at sample `gray` of a
// destination pixel of `samples` samples, and with two samples the source's
// alpha (at bit srcAlphaShift of the source pixel) at the other one; one
// sample at 8 bits only. The colour reads and the formula are those of
// Vector.
struct GrayOut {
  int32_t samples;  // 1 or 2
  int32_t gray;     // 0, or 0 or 1 with two samples
  int32_t srcAlphaShift;
};
using GrayRow = int32_t (*)(const Vector& v, const GrayOut& out, const uint8_t* src, uint8_t* dst,
                            int32_t width);

// For the level files: run(std::type_identity<F>{}) with F the level's
// form of v.formula, one of Weighted, Average and WeightedAverage.
template <typename Weighted, typename Average, typename WeightedAverage, typename Run>
inline int32_t ByFormula(Formula formula, Run&& run) {
  switch (formula) {
    case Formula::kWeighted:
      return run(std::type_identity<Weighted>{});
    case Formula::kAverage:
      return run(std::type_identity<Average>{});
    case Formula::kWeightedAverage:
      break;
  }
  return run(std::type_identity<WeightedAverage>{});
}

#if defined(LUMENO_X86_PATHS)
// effects/x86/grayscale_sse2.cpp, effects/x86/grayscale_avx2.cpp
int32_t Row8Sse2(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width);
int32_t Row8Avx2(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width);
int32_t Row16Avx2(const Vector& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                  int32_t width);
int32_t GrayRow8Avx2(const Vector& v, const GrayOut& out, const uint8_t* src, uint8_t* dst,
                     int32_t width);
int32_t GrayRow16Avx2(const Vector& v, const GrayOut& out, const uint8_t* src, uint8_t* dst,
                      int32_t width);
#endif

}  // namespace lumeno::gray

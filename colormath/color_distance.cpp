// Euclidean colour distances between two RGB triples, plain and weighted.
// 8-bit sums fit 32 bits and use a single-precision root; 16-bit sums need
// 64 bits (9 * 65535^2) and use a double-precision root.
#include <cmath>
#include <cstdint>

#include "lumeno/colormath.h"

namespace {

// Weights of the squared red, green and blue differences.
struct Weights {
  int32_t red, green, blue;
};
constexpr Weights kPlain{1, 1, 1};
constexpr Weights kWeighted{2, 4, 3};

int Distance8(Weights w, unsigned char r1, unsigned char g1, unsigned char b1, unsigned char r2,
              unsigned char g2, unsigned char b2) {
  const int32_t dr = static_cast<int32_t>(r1) - static_cast<int32_t>(r2);
  const int32_t dg = static_cast<int32_t>(g1) - static_cast<int32_t>(g2);
  const int32_t db = static_cast<int32_t>(b1) - static_cast<int32_t>(b2);
  const int32_t sum = w.red * dr * dr + w.green * dg * dg + w.blue * db * db;
  // The root of a non-negative sum below 2^24 is finite and small: a plain
  // truncating cast is exact and safe.
  return static_cast<int>(sqrtf(static_cast<float>(sum)));
}

int Distance16(Weights w, unsigned short r1, unsigned short g1, unsigned short b1,
               unsigned short r2, unsigned short g2, unsigned short b2) {
  const int64_t dr = static_cast<int64_t>(r1) - static_cast<int64_t>(r2);
  const int64_t dg = static_cast<int64_t>(g1) - static_cast<int64_t>(g2);
  const int64_t db = static_cast<int64_t>(b1) - static_cast<int64_t>(b2);
  const int64_t sum = w.red * dr * dr + w.green * dg * dg + w.blue * db * db;
  return static_cast<int>(sqrt(static_cast<double>(sum)));
}

}  // namespace

int ColorDistanceEuclidean(unsigned char r1, unsigned char g1, unsigned char b1, unsigned char r2,
                           unsigned char g2, unsigned char b2) {
  return Distance8(kPlain, r1, g1, b1, r2, g2, b2);
}

int ColorDistanceEuclideanWeighted(unsigned char r1, unsigned char g1, unsigned char b1,
                                   unsigned char r2, unsigned char g2, unsigned char b2) {
  return Distance8(kWeighted, r1, g1, b1, r2, g2, b2);
}

int ColorDistanceEuclidean16(unsigned short r1, unsigned short g1, unsigned short b1,
                             unsigned short r2, unsigned short g2, unsigned short b2) {
  return Distance16(kPlain, r1, g1, b1, r2, g2, b2);
}

int ColorDistanceEuclideanWeighted16(unsigned short r1, unsigned short g1, unsigned short b1,
                                     unsigned short r2, unsigned short g2, unsigned short b2) {
  return Distance16(kWeighted, r1, g1, b1, r2, g2, b2);
}

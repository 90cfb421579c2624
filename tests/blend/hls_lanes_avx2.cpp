// The eight-lane HLS pair of the blend's AVX2 rows, on arrays, for the
// exhaustive comparison with the scalar pair (compiled for AVX2 alone, on
// x86 processors only).
#if defined(LUMENO_TEST_HLS_LANES)
#include "effects/x86/hls_lanes_avx2.h"

#include <cstdint>

namespace lumeno::testing {

// Eight colours in place: components x, y, z; RGB to HLS or the way back.
void HlsLanes(bool toHls, int32_t* x, int32_t* y, int32_t* z) {
  auto load = [](const int32_t* v) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
  };
  const blend::HlsCorrections& c = blend::HlsCorrectionTable();
  const blend::avx2::Triple in{load(x), load(y), load(z)};
  const blend::avx2::Triple out =
      toHls ? blend::avx2::RgbToHls(in, c) : blend::avx2::HlsToRgb(in, c);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(x), out.x);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(y), out.y);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(z), out.z);
}

}  // namespace lumeno::testing
#endif

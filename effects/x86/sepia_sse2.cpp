// Sepia's 8-bit rows with SSE2, four 4-byte pixels at a time: the luminance
// in double lanes (the same conversions, products and sums in the same
// order as one pixel at a time, truncated by the truncating conversion),
// then the luminance in every byte of its pixel and each tinted channel as
// a saturating byte add or subtract of the table's k (where every table has
// the form y + k limited to the channel range, checked entry by entry), and
// the bytes that are no channel kept or set as one pixel would.
#include <emmintrin.h>

#include <initializer_list>

#include "effects/sepia_kernel.h"
#include "engine/x86/lanes_sse2.h"

namespace lumeno::sepia {

namespace {

// A tinted channel table of the form min(max(y + k, 0), 255): its amount k,
// found by comparing every entry (so the operation gives the table's bytes).
bool LimitedOffset(const uint8_t* table, int32_t* amount) {
  for (const int32_t k : {int32_t{table[0]}, int32_t{table[255]} - 255}) {
    bool same = true;
    for (int32_t y = 0; y < 256 && same; ++y) {
      const int32_t v = y + k;
      same = table[y] == (v < 0 ? 0 : v > 255 ? 255 : v);
    }
    if (same) {
      *amount = k;
      return true;
    }
  }
  return false;
}

}  // namespace

bool PrepareVector8(const GenericMPParams& p, const Samples& at, const uint8_t* const* tables,
                    Vector8* v) {
  if (p.srcPixelBytes != 4 || p.dstPixelBytes != 4) return false;
  const int32_t src[3] = {at.srcRed, at.srcGreen, at.srcBlue};
  const int32_t dst[3] = {at.dstRed, at.dstGreen, at.dstBlue};
  *v = {};
  uint32_t written = 0;
  for (int k = 0; k < 3; ++k) {
    int32_t amount = 0;
    if (src[k] < 0 || src[k] > 3 || dst[k] < 0 || dst[k] > 3) return false;
    if (!LimitedOffset(tables[k], &amount)) return false;
    v->srcShift[k] = 8 * src[k];
    const int32_t bit = 8 * dst[k];
    const uint32_t byte = 0xFFu << bit;
    if ((written & byte) != 0) return false;  // one store order to keep: leave it to the loop
    written |= byte;
    if (amount >= 0) {
      v->raise |= static_cast<uint32_t>(amount) << bit;
    } else {
      v->lower |= static_cast<uint32_t>(-amount) << bit;
    }
  }
  v->colour = written;
  if (at.copyAlpha) {
    if (at.dstAlpha < 0 || at.dstAlpha > 3) return false;
    const uint32_t byte = 0xFFu << (8 * at.dstAlpha);
    if ((written & byte) != 0) return false;
    written |= byte;
    if (!at.loadAlpha) {
      v->opaque = byte;
    } else if (at.srcAlpha == at.dstAlpha) {
      v->srcKeep = byte;
    } else {
      return false;
    }
  }
  v->dstKeep = ~written;
  return true;
}

int32_t Row8Sse2(const Vector8& v, const StoreLanes& lanes, const uint8_t* src, uint8_t* dst,
                 int32_t width) {
  const __m128i top = _mm_set1_epi32(255);
  const __m128d weightRed = _mm_set1_pd(kWeightRed);
  const __m128d weightGreen = _mm_set1_pd(kWeightGreen);
  const __m128d weightBlue = _mm_set1_pd(kWeightBlue);
  const __m128i shiftRed = _mm_cvtsi32_si128(v.srcShift[0]);
  const __m128i shiftGreen = _mm_cvtsi32_si128(v.srcShift[1]);
  const __m128i shiftBlue = _mm_cvtsi32_si128(v.srcShift[2]);
  const __m128i colour = _mm_set1_epi32(static_cast<int32_t>(v.colour));
  const __m128i raise = _mm_set1_epi32(static_cast<int32_t>(v.raise));
  const __m128i lower = _mm_set1_epi32(static_cast<int32_t>(v.lower));
  const __m128i srcKeep = _mm_set1_epi32(static_cast<int32_t>(lanes.srcKeep));
  const __m128i dstKeep = _mm_set1_epi32(static_cast<int32_t>(v.dstKeep));
  const __m128i opaque = _mm_set1_epi32(static_cast<int32_t>(v.opaque));
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m128i pixels =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + static_cast<int64_t>(x) * 4));
    const __m128i y =
        WeightedSum4(ByteLanes4(pixels, shiftRed), ByteLanes4(pixels, shiftGreen),
                     ByteLanes4(pixels, shiftBlue), weightRed, weightGreen, weightBlue);
    const __m128i spread = SpreadByte4(_mm_min_epi16(y, top));
    const __m128i tinted = _mm_subs_epu8(_mm_adds_epu8(spread, raise), lower);
    const __m128i out = _mm_or_si128(_mm_and_si128(tinted, colour),
                                     _mm_or_si128(_mm_and_si128(pixels, srcKeep), opaque));
    StoreKeeping4(dst + static_cast<int64_t>(x) * 4, out, lanes, dstKeep);
  }
  return x;
}

}  // namespace lumeno::sepia

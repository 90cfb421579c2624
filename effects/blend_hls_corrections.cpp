// The correction tables of the blend's eight-lane HLS pair
// (effects/blend_hls_corrections.h), found by asking the scalar pair.
#include "effects/blend_hls_corrections.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "lumeno/colormath.h"

namespace lumeno::blend {

namespace {

// The integers of the way back for lightness l and saturation s, with
// m2 = P / 65025 and m1 = Q / 65025 exactly.
struct Levels {
  int32_t p, q;
};
Levels LevelsOf(int32_t l, int32_t s) {
  const int32_t p = 255 * l + (l > 127 ? 255 * s - l * s : l * s);
  return {p, 510 * l - p};
}
// A channel at twice its ramp position j2 (0: m1; 85: m2; else twice the
// hue's distance, 1 to 42, from the nearest of 0 and 170) is
// (j2 * (P - Q) + 85 * Q) / 21675, truncated.
int32_t Numerator(Levels v, int32_t j2) { return j2 * (v.p - v.q) + 85 * v.q; }

// The tables, and the pairs of bit 1 of `levels` (l * 256 + s ascending)
// with bit RampBit(j2) set for each ramp position that lands below.
struct Tables {
  HlsCorrections c;
  std::vector<std::pair<int32_t, uint64_t>> ramps;
};

// Twice the ramp position of a channel hue 0..255: 2 hue clamped to 0..85
// as min(2 hue, 85, max(340 - 2 hue, 0)); 0 is m1, 85 m2.
int32_t RampPosition(int32_t hue) {
  const int32_t twice = 2 * hue, falling = 340 - twice > 0 ? 340 - twice : 0;
  return std::min({twice, 85, falling});
}
int32_t RampBit(int32_t j2) { return j2 == 85 ? 43 : j2 / 2; }

Tables Build() {
  Tables t{};
  HlsCorrections& c = t.c;
  // One colour per exact hue k, delta 85: hue = (diff / 85 + offset) * 42.5
  // with diff = 2k - 85 * offset in the red (k < 43), green (k < 128) or
  // blue sector, the largest component 85 and the smallest 0.
  for (int32_t raw = -42; raw <= 212; ++raw) {
    const int32_t sector = raw < 43 ? 0 : raw < 128 ? 1 : 2;
    const int32_t diff = 2 * raw - 170 * sector;
    int32_t rgb[3] = {0, 0, 0};
    rgb[sector] = 85;
    const int32_t up = (sector + 1) % 3, down = (sector + 2) % 3;
    (diff >= 0 ? rgb[up] : rgb[down]) = diff >= 0 ? diff : -diff;
    const int32_t k = raw < 0 ? raw + 255 : raw;
    Convert_RGB_To_HSL(&rgb[0], &rgb[1], &rgb[2]);
    if (rgb[0] != k) c.hue[k % 8] |= 1u << (k / 8);
  }
  // The way back: green takes hue h itself, so hue 200 gives m1, hue 85
  // m2 and hue j the rising ramp at j (the falling one at 170 - j is the
  // same).
  for (int32_t l = 0; l < 256; ++l) {
    for (int32_t s = 1; s < 256; ++s) {
      const Levels v = LevelsOf(l, s);
      uint32_t bits = 0;
      uint64_t below = 0;
      const auto check = [&](int32_t j2) {
        const int32_t n = Numerator(v, j2);
        if (n % 21675 != 0) return;
        int32_t h = j2 == 0 ? 200 : j2 == 85 ? 85 : j2 / 2, green = l, sat = s;
        Convert_HSL_To_RGB(&h, &green, &sat);
        if (green == n / 21675) return;
        bits |= j2 == 0 ? 1u : 2u;
        if (j2 != 0) below |= uint64_t{1} << RampBit(j2);
      };
      // 21675 = 85 * 255 and 17 divides 85 Q: unless 17 divides P - Q, only
      // j2 of 0, 34, 68 and 85 can give a multiple.
      if ((v.p - v.q) % 17 == 0) {
        for (int32_t j2 = 0; j2 <= 85; j2 += j2 == 84 ? 1 : 2) check(j2);
      } else {
        constexpr int32_t kSeventeens[] = {0, 34, 68, 85};
        for (const int32_t j2 : kSeventeens) check(j2);
      }
      c.levels[l * 16 + s / 16] |= bits << (2 * (s % 16));
      if (below != 0) t.ramps.push_back({l * 256 + s, below});
    }
  }
  return t;
}

const Tables& TheTables() {
  static const Tables tables = Build();
  return tables;
}

}  // namespace

const HlsCorrections& HlsCorrectionTable() { return TheTables().c; }

void CorrectRampLanes(const int32_t (&hls)[3][8], int32_t (&rgb)[3][8], int lanes) {
  const std::vector<std::pair<int32_t, uint64_t>>& ramps = TheTables().ramps;
  for (; lanes != 0; lanes &= lanes - 1) {
    const int i = __builtin_ctz(static_cast<unsigned>(lanes));
    const auto pair = std::lower_bound(ramps.begin(), ramps.end(),
                                       std::make_pair(hls[1][i] * 256 + hls[2][i], uint64_t{0}));
    for (int k = 0; k < 3; ++k) {
      // The channel's hue: h + 85, h, h - 85, wrapped by 255 once.
      int32_t hue = hls[0][i] + 85 * (1 - k);
      hue += hue > 255 ? -255 : hue < 0 ? 255 : 0;
      const int32_t j2 = RampPosition(hue);
      if (j2 != 0 && (pair->second >> RampBit(j2) & 1) != 0) --rgb[k][i];
    }
  }
}

}  // namespace lumeno::blend

// The 23 pixel functions of the blend modes MULTIPLY to ADD. Each
// per-channel mode is one small formula of the scaled samples a (source) and
// b (fill); one template turns a formula into a pixel function. The four
// colour-space modes work on the whole RGB triple.
//
// Integer arithmetic is exact and 32-bit; where a formula shifts instead of
// dividing by 255, or divides by 127, that is the mode's definition here and
// not an approximation to be "fixed".
#include "effects/blend_modes.h"

#include <cstdint>

#include "engine/row_walker.h"
#include "lumeno/colormath.h"

namespace {

using lumeno::TruncToInt;

// What a per-channel formula may look at: the scaled source and fill samples
// a = trunc(S * sa) and b = trunc(F * cov), and for the modes that work in
// floating point the raw samples and factors themselves.
struct Channel {
  int32_t a, b;
  uint32_t S, F;
  float sa, cov;
};

int32_t Clamp255(int32_t v) { return v > 255 ? 255 : (v < 0 ? 0 : v); }
int32_t Min(int32_t x, int32_t y) { return x < y ? x : y; }
int32_t Max(int32_t x, int32_t y) { return x > y ? x : y; }
// Products of samples are non-negative and below 2^24 (255^3): logical
// shifts of unsigned values, then combined as signed.
int32_t Shr(uint32_t product, int bits) { return static_cast<int32_t>(product >> bits); }
uint32_t U(int32_t v) { return static_cast<uint32_t>(v); }

int32_t Multiply(const Channel& c) { return Shr(U(c.a) * U(c.b), 8); }

// Inverted samples are formed in single precision before truncation.
int32_t Screen(const Channel& c) {
  const int32_t a = TruncToInt(255.0f - static_cast<float>(c.S) * c.sa);
  const int32_t b = TruncToInt(255.0f - static_cast<float>(c.F) * c.cov);
  return 255 - (a * b) / 255;
}

// Branch on the source; divides by 127 (not 127.5) and uses the unscaled
// product F * cov in place of b.
int32_t Overlay(const Channel& c) {
  const float fill = static_cast<float>(c.F) * c.cov;
  if (c.a < 128) return TruncToInt((fill * static_cast<float>(c.a)) / 127.0f);
  return TruncToInt(((255.0f - fill) * static_cast<float>(255 - c.a)) / -127.0f + 255.0f);
}

int32_t Darken(const Channel& c) { return Min(c.a, c.b); }
int32_t Lighten(const Channel& c) { return Max(c.a, c.b); }

int32_t ColorDodge(const Channel& c) {
  if (c.b == 255) return 255;  // would divide by zero
  return Min((c.a * 256) / (255 - c.b), 255);
}

int32_t ColorBurn(const Channel& c) {
  if (c.b == 0) return 0;  // would divide by zero
  return 255 - Clamp255(((255 - c.a) * 256) / c.b);
}

int32_t SoftLight(const Channel& c) {
  const uint32_t a = U(c.a), b = U(c.b);
  return Clamp255(Shr(a * a, 8) - Shr(a * a * b, 15) + Shr(a * b, 7));
}

// Branch on the fill; divides by 127.
int32_t HardLight(const Channel& c) {
  if (c.b < 128) return (c.a * c.b) / 127;
  return 255 - ((255 - c.a) * (255 - c.b)) / 127;
}

int32_t Difference(const Channel& c) { return c.a > c.b ? c.a - c.b : c.b - c.a; }

int32_t Exclusion(const Channel& c) { return Clamp255(c.a + c.b - (2 * c.a * c.b) / 255); }

int32_t PinLight(const Channel& c) { return Max(2 * c.b - 255, Min(2 * c.b, c.a)); }

int32_t SharpLight(const Channel& c) {
  const uint32_t a = U(c.a), b = U(c.b);
  return Clamp255(Shr(a * a, 8) - Shr(a * a * b, 15) + Shr(a * b * b, 15));
}

// Branch on the source; a = 0 and a = 255 are the divisions by zero.
int32_t VividLight(const Channel& c) {
  if (c.a == 0) return 127;
  if (c.a < 128) return Clamp255(255 - ((255 - c.b) * 256) / (2 * c.a));
  if (c.a == 255) return Clamp255(c.b * 128);
  return Clamp255((c.b * 256) / (510 - 2 * c.a));
}

int32_t LinearLight(const Channel& c) {
  const int32_t t = c.a + 2 * c.b;
  return t < 255 ? 0 : (t > 510 ? 255 : t - 255);
}

int32_t PowerLight(const Channel& c) {
  const uint32_t a = U(c.a), b = U(c.b);
  return Clamp255(Shr(a * a, 8) - Shr(a * a * b, 15) + Shr(b * b, 8) + Shr(a * b * b, 15));
}

int32_t LinearBurn(const Channel& c) {
  const int32_t t = c.a + c.b;
  return t < 255 ? 0 : (t > 510 ? 255 : t - 255);
}

// LINEAR_DODGE and ADD.
int32_t Add(const Channel& c) { return Min(c.a + c.b, 255); }

// Scales a sample by a factor in single precision and truncates.
int32_t Scaled(uint32_t sample, float factor) {
  return TruncToInt(static_cast<float>(sample) * factor);
}

// The destination sample: the raw source sample weighed against the mode's
// result.
uint8_t Weigh(uint32_t S, int32_t result, uint32_t sw, uint32_t fw) {
  return static_cast<uint8_t>((S * sw + U(result) * fw) >> 8);
}

template <int32_t (*kFormula)(const Channel&)>
void PerChannel(const uint8_t* source, const uint8_t* fill, uint8_t* destination,
                const BlendParams* context, uint32_t sw, uint32_t fw, float sa, float cov) {
  for (int i = 0; i < context->colourChannelCount; ++i) {
    const int p = context->colourChannels[i];
    Channel c;
    c.S = source[p];
    c.F = fill[p];
    c.sa = sa;
    c.cov = cov;
    c.a = Scaled(c.S, sa);
    c.b = Scaled(c.F, cov);
    destination[p] = Weigh(c.S, kFormula(c), sw, fw);
  }
}

struct Rgb {
  int32_t r, g, b;
};

Rgb ScaledRgb(const uint8_t* pixel, const RawBitmap& record, float factor) {
  return {Scaled(pixel[record.redOffset], factor), Scaled(pixel[record.greenOffset], factor),
          Scaled(pixel[record.blueOffset], factor)};
}

// Writes a new red, green and blue through the destination's own offsets.
void WriteRgb(const uint8_t* source, uint8_t* destination, const BlendParams* context, Rgb x,
              uint32_t sw, uint32_t fw) {
  const RawBitmap& src = *context->base.source;
  const RawBitmap& dst = *context->base.destination;
  destination[dst.redOffset] = Weigh(source[src.redOffset], x.r, sw, fw);
  destination[dst.greenOffset] = Weigh(source[src.greenOffset], x.g, sw, fw);
  destination[dst.blueOffset] = Weigh(source[src.blueOffset], x.b, sw, fw);
}

// Which layer gives each HLS component of the result.
enum class From { kSource, kFill };
struct HlsPick {
  From hue, lightness;  // the saturation always comes from the source
};
constexpr HlsPick kHue{From::kFill, From::kSource};
constexpr HlsPick kSaturation{From::kSource, From::kFill};
constexpr HlsPick kColor{From::kFill, From::kFill};

// HUE, SATURATION and COLOR through the integer HLS pair. SATURATION takes
// the fill's lightness (not its saturation) and COLOR the fill's hue and
// lightness with the source's saturation: no mode uses the fill saturation.
template <const HlsPick& kPick>
void HlsMode(const uint8_t* source, const uint8_t* fill, uint8_t* destination,
             const BlendParams* context, uint32_t sw, uint32_t fw, float sa, float cov) {
  Rgb s = ScaledRgb(source, *context->base.source, sa);
  Rgb f = ScaledRgb(fill, *context->fill, cov);
  Convert_RGB_To_HSL(&s.r, &s.g, &s.b);  // now hue, lightness, saturation
  Convert_RGB_To_HSL(&f.r, &f.g, &f.b);
  Rgb x{kPick.hue == From::kFill ? f.r : s.r, kPick.lightness == From::kFill ? f.g : s.g, s.b};
  Convert_HSL_To_RGB(&x.r, &x.g, &x.b);
  WriteRgb(source, destination, context, x, sw, fw);
}

// One component of the LUMINOSITY result: limited to 0..255, else truncated.
int32_t LumaChannel(double v) { return v < 0.0 ? 0 : (v > 255.0 ? 255 : TruncToInt(v)); }

// The fill's luma with the source's chroma, through a YUV split. The fill's
// samples times cov stay untruncated single-precision values; the additions
// run in the written order, which decides the truncations.
void Luminosity(const uint8_t* source, const uint8_t* fill, uint8_t* destination,
                const BlendParams* context, uint32_t sw, uint32_t fw, float sa, float cov) {
  const Rgb s = ScaledRgb(source, *context->base.source, sa);
  const RawBitmap& fr = *context->fill;
  const double fR = static_cast<double>(static_cast<float>(fill[fr.redOffset]) * cov);
  const double fG = static_cast<double>(static_cast<float>(fill[fr.greenOffset]) * cov);
  const double fB = static_cast<double>(static_cast<float>(fill[fr.blueOffset]) * cov);
  const int32_t y = TruncToInt((fG * 0.587 + fR * 0.299) + fB * 0.114);
  const double rs = s.r, gs = s.g, bs = s.b;
  const int32_t u = TruncToInt((rs * -0.14 + gs * -0.289) + bs * 0.436);
  const int32_t v = TruncToInt((rs * 0.615 + gs * -0.515) + bs * -0.1);
  const Rgb x{LumaChannel(v * 1.14 + y), LumaChannel((y + u * -0.395) + v * -0.581),
              LumaChannel(u * 2.032 + y)};
  WriteRgb(source, destination, context, x, sw, fw);
}

}  // namespace

namespace {

using Formula = int32_t (*)(const Channel&);

// The formulas of the modes 1 to 23 that read a and b alone; null for the
// others.
constexpr Formula kTableFormulas[kBlendModeCount - 1] = {
    &Multiply,  nullptr,      nullptr,     &Darken,   &Lighten,     &ColorDodge,
    &ColorBurn, &SoftLight,   &HardLight,  &Difference, &Exclusion, nullptr,
    nullptr,    nullptr,      nullptr,     &PinLight, &SharpLight,  &VividLight,
    &LinearLight, &PowerLight, &LinearBurn, &Add,     &Add,
};

}  // namespace

bool FillChannelModeTable(int64_t mode, uint8_t* table) {
  const Formula formula =
      kTableFormulas[mode >= 1 && mode < kBlendModeCount ? mode - 1 : 0];
  if (formula == nullptr) return false;
  Channel c{};
  for (int32_t a = 0; a < 256; ++a) {
    for (int32_t b = 0; b < 256; ++b) {
      c.a = a;
      c.b = b;
      const int32_t result = formula(c);
      if (result < 0 || result > 255) return false;
      table[a * 256 + b] = static_cast<uint8_t>(result);
    }
  }
  return true;
}

const BlendPixelProc kBlendModeTable[kBlendModeCount - 1] = {
    &PerChannel<Multiply>,     // 1 MULTIPLY
    &PerChannel<Screen>,       // 2 SCREEN
    &PerChannel<Overlay>,      // 3 OVERLAY
    &PerChannel<Darken>,       // 4 DARKEN
    &PerChannel<Lighten>,      // 5 LIGHTEN
    &PerChannel<ColorDodge>,   // 6 COLOR_DODGE
    &PerChannel<ColorBurn>,    // 7 COLOR_BURN
    &PerChannel<SoftLight>,    // 8 SOFT_LIGHT
    &PerChannel<HardLight>,    // 9 HARD_LIGHT
    &PerChannel<Difference>,   // 10 DIFFERENCE
    &PerChannel<Exclusion>,    // 11 EXCLUSION
    &HlsMode<kHue>,            // 12 HUE
    &HlsMode<kSaturation>,     // 13 SATURATION
    &HlsMode<kColor>,          // 14 COLOR
    &Luminosity,               // 15 LUMINOSITY
    &PerChannel<PinLight>,     // 16 PIN_LIGHT
    &PerChannel<SharpLight>,   // 17 SHARP_LIGHT
    &PerChannel<VividLight>,   // 18 VIVID_LIGHT
    &PerChannel<LinearLight>,  // 19 LINEAR_LIGHT
    &PerChannel<PowerLight>,   // 20 POWER_LIGHT
    &PerChannel<LinearBurn>,   // 21 LINEAR_BURN
    &PerChannel<Add>,          // 22 LINEAR_DODGE
    &PerChannel<Add>,          // 23 ADD
};

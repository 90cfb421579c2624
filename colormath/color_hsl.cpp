// RGB <-> HSL in single precision, for 8-bit and 16-bit channels. The two
// depths differ only in the channel scale (255 or 65535), so one template
// holds each direction. Hue is in sector units and never wrapped: a
// red-dominant colour with more blue than green gets a hue between -1 and 0,
// and the reverse conversion extends its outer sectors linearly.
#include <cstdint>

#include "engine/row_walker.h"
#include "lumeno/colormath.h"

namespace {

template <typename Channel>
void RgbToHsl(Channel red, Channel green, Channel blue, float scale, float* hue, float* saturation,
              float* lightness) {
  const float r = static_cast<float>(red) / scale;
  const float g = static_cast<float>(green) / scale;
  const float b = static_cast<float>(blue) / scale;
  float max = r;
  if (g > max) max = g;
  if (b > max) max = b;
  float min = r;
  if (g < min) min = g;
  if (b < min) min = b;
  const float l = (max + min) * 0.5f;
  *lightness = l;
  if (max == min) {
    *saturation = 0.0f;
    *hue = 0.0f;
    return;
  }
  const float delta = max - min;
  *saturation = l <= 0.5f ? delta / (max + min) : delta / ((2.0f - max) - min);
  // Tested in this order so that on a tie red wins over green, green over blue.
  if (r == max) {
    *hue = (g - b) / delta;
  } else if (g == max) {
    *hue = (b - r) / delta + 2.0f;
  } else {
    *hue = (r - g) / delta + 4.0f;
  }
}

template <typename Channel>
void HslToRgb(float hue, float saturation, float lightness, float scale, Channel* red,
              Channel* green, Channel* blue) {
  float r, g, b;
  if (saturation == 0.0f) {
    r = g = b = lightness;
  } else {
    const float m1 = lightness <= 0.5f ? (1.0f - saturation) * lightness
                                       : lightness - (1.0f - lightness) * saturation;
    const float m2 = (lightness + lightness) - m1;
    const float d = m2 - m1;
    if (hue < 1.0f) {
      if (hue < 0.0f) {
        r = m2, g = m1, b = m1 - d * hue;
      } else {
        r = m2, g = m1 + d * hue, b = m1;
      }
    } else if (hue < 3.0f) {
      if (hue < 2.0f) {
        r = m1 - (hue - 2.0f) * d, g = m2, b = m1;
      } else {
        r = m1, g = m2, b = m1 + (hue - 2.0f) * d;
      }
    } else {
      if (hue < 4.0f) {
        r = m1, g = m1 - (hue - 4.0f) * d, b = m2;
      } else {
        r = m1 + (hue - 4.0f) * d, g = m1, b = m2;
      }
    }
  }
  // Truncated to a 32-bit integer, then its low 8 (16) bits are stored.
  *red = static_cast<Channel>(static_cast<uint32_t>(lumeno::TruncToInt(r * scale)));
  *green = static_cast<Channel>(static_cast<uint32_t>(lumeno::TruncToInt(g * scale)));
  *blue = static_cast<Channel>(static_cast<uint32_t>(lumeno::TruncToInt(b * scale)));
}

}  // namespace

void Convert_RGB_To_HSL(unsigned char red, unsigned char green, unsigned char blue, float* hue,
                        float* saturation, float* lightness) {
  RgbToHsl(red, green, blue, 255.0f, hue, saturation, lightness);
}

void Convert_RGB_To_HSL16(unsigned short red, unsigned short green, unsigned short blue, float* hue,
                          float* saturation, float* lightness) {
  RgbToHsl(red, green, blue, 65535.0f, hue, saturation, lightness);
}

void Convert_HSL_To_RGB(float hue, float saturation, float lightness, unsigned char* red,
                        unsigned char* green, unsigned char* blue) {
  HslToRgb(hue, saturation, lightness, 255.0f, red, green, blue);
}

void Convert_HSL_To_RGB16(float hue, float saturation, float lightness, unsigned short* red,
                          unsigned short* green, unsigned short* blue) {
  HslToRgb(hue, saturation, lightness, 65535.0f, red, green, blue);
}

// RGB <-> HLS on a 0..255 scale for every component, in double precision,
// converting in place. The blend modes HUE, SATURATION and COLOR use this
// pair. Every step truncates toward zero, so a round trip may lose a unit or
// a few (pure red comes back as 254, 0, 0): that is the pair's contract.
#include "engine/row_walker.h"
#include "lumeno/colormath.h"

void Convert_RGB_To_HSL(int* redHue, int* greenLightness, int* blueSaturation) {
  const int red = *redHue;
  const int green = *greenLightness;
  const int blue = *blueSaturation;
  int max, min;
  if (red > green) {
    max = red > blue ? red : blue;
    min = green < blue ? green : blue;
  } else {
    max = green > blue ? green : blue;
    min = red < blue ? red : blue;
  }
  const double lightness = static_cast<double>(max + min) * 0.5;
  double hue = 0.0;
  double saturation = 0.0;
  if (max != min) {
    const double delta = static_cast<double>(max - min);
    // The lighter half divides by 511 - (max + min), one more than the
    // textbook 510: deliberate, it is what callers of this pair expect.
    saturation = lightness < 128.0 ? (delta * 255.0) / static_cast<double>(max + min)
                                   : (delta * 255.0) / static_cast<double>(511 - (max + min));
    if (red == max) {
      hue = static_cast<double>(green - blue) / delta;
    } else if (green == max) {
      hue = static_cast<double>(blue - red) / delta + 2.0;
    } else {
      hue = static_cast<double>(red - green) / delta + 4.0;
    }
    hue = hue * 42.5;
    if (hue < 0.0) {
      hue += 255.0;
    } else if (hue > 255.0) {
      hue -= 255.0;
    }
  }
  *redHue = lumeno::TruncToInt(hue);
  *greenLightness = lumeno::TruncToInt(lightness);
  *blueSaturation = lumeno::TruncToInt(saturation);
}

void Convert_HSL_To_RGB(int* hueRed, int* lightnessGreen, int* saturationBlue) {
  const int hue = *hueRed;
  const int lightness = *lightnessGreen;
  const int saturation = *saturationBlue;
  if (saturation == 0) {
    *hueRed = lightness;
    *lightnessGreen = lightness;
    *saturationBlue = lightness;
    return;
  }
  const double l = static_cast<double>(lightness);
  const double s = static_cast<double>(saturation);
  const double m2 =
      lightness > 127 ? ((l + s) - (l * s) / 255.0) / 255.0 : ((s + 255.0) * l) / 65025.0;
  const double m1 = l / 127.5 - m2;
  const double h = static_cast<double>(hue);
  *hueRed = HLS_Value(m1, m2, h + 85.0);
  *lightnessGreen = HLS_Value(m1, m2, h);
  *saturationBlue = HLS_Value(m1, m2, h - 85.0);
}

int HLS_Value(double m1, double m2, double hue) {
  // One wrap at most: callers pass hue +- 85 of a 0..255 hue.
  if (hue > 255.0) {
    hue -= 255.0;
  } else if (hue < 0.0) {
    hue += 255.0;
  }
  double value;
  if (hue < 42.5) {
    value = (m2 - m1) * (hue / 42.5) + m1;
  } else if (hue < 127.5) {
    value = m2;
  } else if (hue < 170.0) {
    value = (m2 - m1) * ((170.0 - hue) / 42.5) + m1;
  } else {
    value = m1;
  }
  return lumeno::TruncToInt(value * 255.0);
}

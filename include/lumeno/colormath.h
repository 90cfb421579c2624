// Colour conversions and colour distances offered to other plug-ins of the
// host. The functions have C++ linkage so that their exported symbols encode
// their parameter lists: `Convert_RGB_To_HSL` and `Convert_HSL_To_RGB` each
// exist as a float form for 8-bit channels and as an in-place integer form.
//
// None of them keeps state, allocates or locks; any thread may call them.
// They never clamp and report no errors: callers pass values in range.
//
// Scales:
//   float HSL: hue in sector units (red 0, yellow 1, green 2, cyan 3, blue 4,
//              magenta -1, never wrapped), saturation and lightness 0..1;
//   integer HLS: hue 0..254 (42.5 per sector), lightness and saturation
//              0..255, stored in place in hue, lightness, saturation order.
#pragma once

#define LUMENO_COLORMATH_EXPORT __attribute__((visibility("default")))

// Distance between (r1, g1, b1) and (r2, g2, b2): the square root of the sum of
// squared differences, truncated. The weighted forms weigh the squared red,
// green and blue differences 2, 4 and 3.
LUMENO_COLORMATH_EXPORT int ColorDistanceEuclidean(unsigned char r1, unsigned char g1,
                                                   unsigned char b1, unsigned char r2,
                                                   unsigned char g2, unsigned char b2);
LUMENO_COLORMATH_EXPORT int ColorDistanceEuclideanWeighted(unsigned char r1, unsigned char g1,
                                                           unsigned char b1, unsigned char r2,
                                                           unsigned char g2, unsigned char b2);
LUMENO_COLORMATH_EXPORT int ColorDistanceEuclidean16(unsigned short r1, unsigned short g1,
                                                     unsigned short b1, unsigned short r2,
                                                     unsigned short g2, unsigned short b2);
LUMENO_COLORMATH_EXPORT int ColorDistanceEuclideanWeighted16(unsigned short r1, unsigned short g1,
                                                             unsigned short b1, unsigned short r2,
                                                             unsigned short g2, unsigned short b2);

// Float forms: RGB by value, HSL through the pointers (hue, saturation,
// lightness), and back.
LUMENO_COLORMATH_EXPORT void Convert_RGB_To_HSL(unsigned char red, unsigned char green,
                                                unsigned char blue, float* hue, float* saturation,
                                                float* lightness);
LUMENO_COLORMATH_EXPORT void Convert_RGB_To_HSL16(unsigned short red, unsigned short green,
                                                  unsigned short blue, float* hue,
                                                  float* saturation, float* lightness);
LUMENO_COLORMATH_EXPORT void Convert_HSL_To_RGB(float hue, float saturation, float lightness,
                                                unsigned char* red, unsigned char* green,
                                                unsigned char* blue);
LUMENO_COLORMATH_EXPORT void Convert_HSL_To_RGB16(float hue, float saturation, float lightness,
                                                  unsigned short* red, unsigned short* green,
                                                  unsigned short* blue);

// Integer forms, in place: red, green, blue in; hue, lightness, saturation
// out (and the reverse), so a caller converts, edits and converts back
// without reordering.
LUMENO_COLORMATH_EXPORT void Convert_RGB_To_HSL(int* redHue, int* greenLightness,
                                                int* blueSaturation);
LUMENO_COLORMATH_EXPORT void Convert_HSL_To_RGB(int* hueRed, int* lightnessGreen,
                                                int* saturationBlue);

// One channel of the integer HLS to RGB conversion: m1 and m2 are the low and
// high levels (0..1), hue is on the 0..255 scale. Returns 0..255.
LUMENO_COLORMATH_EXPORT int HLS_Value(double m1, double m2, double hue);

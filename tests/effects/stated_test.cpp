// The worked examples of each effect, one row each: a one-pixel source
// given sample by sample in pixel order (8-bit: bytes, 16-bit: samples),
// the values, an optional mask value, and the destination's format and
// samples. A row runs as a new bitmap and, where the destination keeps the
// source's format, in place as well.
#include <limits>

#include "support/effect_fixture.h"

namespace lumeno::testing {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int64_t kSame = -1;
constexpr int64_t kNoMask = -1;

struct Stated {
  const char* className;
  int64_t format;
  Values values;
  int64_t mask;
  Samples in;
  int64_t outFormat;
  Samples out;  // empty: the format alone is checked
};

using namespace host;  // format names

const Stated kStated[] = {
    // Brightness: level = value x 255 (65535) truncated, o + level limited;
    // the mask mixes (o x m + e x (255 - m)) >> 8; alpha is kept.
    {kB, kRGB8, {1}, kNoMask, {0, 0, 0}, kSame, {255, 255, 255}},
    {kB, kRGB8, {0.5}, kNoMask, {0, 0, 0}, kSame, {127, 127, 127}},
    {kB, kRGB8, {-0.5}, kNoMask, {255, 255, 255}, kSame, {128, 128, 128}},
    {kB, kRGB8, {0.1}, kNoMask, {0, 0, 0}, kSame, {25, 25, 25}},
    {kB, kRGB8, {0.003}, kNoMask, {7, 7, 7}, kSame, {7, 7, 7}},
    {kB, kRGB8, {0.1}, kNoMask, {250, 250, 250}, kSame, {255, 255, 255}},
    {kB, kRGB8, {-0.1}, kNoMask, {10, 10, 10}, kSame, {0, 0, 0}},
    {kB, kRGB8, {-1}, kNoMask, {255, 255, 255}, kSame, {0, 0, 0}},
    {kB, kRGB8, {kNaN}, kNoMask, {9, 8, 7}, kSame, {9, 8, 7}},
    {kB, kRGB16, {1}, kNoMask, {0, 0, 0}, kSame, {65535, 65535, 65535}},
    {kB, kRGB16, {0.5}, kNoMask, {0, 0, 0}, kSame, {32767, 32767, 32767}},
    {kB, kRGB16, {-0.5}, kNoMask, {65535, 65535, 65535}, kSame, {32768, 32768, 32768}},
    {kB, kRGB16, {0.1}, kNoMask, {0, 0, 0}, kSame, {6553, 6553, 6553}},
    {kB, kRGB16, {0.003}, kNoMask, {0, 0, 0}, kSame, {196, 196, 196}},
    {kB, kRGB16, {0.1}, kNoMask, {60000, 60000, 60000}, kSame, {65535, 65535, 65535}},
    {kB, kRGB16, {0}, kNoMask, {1234, 1234, 1234}, kSame, {1234, 1234, 1234}},
    {kB, kRGB16, {-1}, kNoMask, {1000, 1000, 1000}, kSame, {0, 0, 0}},
    {kB, kRGBA8, {1}, 128, {100, 100, 100, 100}, kSame, {176, 176, 176, 100}},
    {kB, kRGBA8, {1}, 255, {200, 200, 200, 200}, kSame, {199, 199, 199, 200}},
    {kB, kRGBA8, {-1}, 255, {200, 200, 200, 200}, kSame, {199, 199, 199, 200}},
    {kB, kRGBA8, {1}, 0, {100, 100, 100, 100}, kSame, {255, 255, 255, 100}},
    {kB, kRGBA8, {0}, 255, {100, 100, 100, 100}, kSame, {99, 99, 99, 100}},
    {kB, kRGBA8, {0}, 1, {0, 0, 0, 0}, kSame, {0, 0, 0, 0}},
    {kB, kRGBA8, {-1}, kNoMask, {3, 200, 9, 77}, kSame, {0, 0, 0, 77}},
    // Contrast: factor ((100 x value + 100) / 100)^2 around 128 (32768),
    // truncated after the limits.
    {kC, kRGBA8, {0.5}, kNoMask, {129, 129, 129, 77}, kSame, {130, 130, 130, 77}},
    {kC, kRGBA8, {0.5}, kNoMask, {127, 127, 127, 77}, kSame, {125, 125, 125, 77}},
    {kC, kRGBA8, {0.5}, kNoMask, {200, 200, 200, 77}, kSame, {255, 255, 255, 77}},
    {kC, kRGBA8, {0.5}, kNoMask, {10, 10, 10, 77}, kSame, {0, 0, 0, 77}},
    {kC, kRGBA8, {1}, kNoMask, {100, 160, 0, 77}, kSame, {16, 255, 0, 77}},
    {kC, kRGBA8, {1}, kNoMask, {128, 128, 128, 77}, kSame, {128, 128, 128, 77}},
    {kC, kRGBA8, {-1}, kNoMask, {0, 255, 0, 77}, kSame, {128, 128, 128, 77}},
    {kC, kRGBA8, {0}, kNoMask, {0, 77, 255, 77}, kSame, {0, 77, 255, 77}},
    {kC, kRGBA8, {-0.5}, kNoMask, {200, 200, 200, 77}, kSame, {146, 146, 146, 77}},
    {kC, kRGBA8, {kNaN}, kNoMask, {200, 200, 200, 90}, kSame, {0, 0, 0, 90}},
    {kC, kRGBA16, {-1}, kNoMask, {0, 65535, 0, 4321}, kSame, {32768, 32768, 32768, 4321}},
    {kC, kRGBA16, {0}, kNoMask, {12345, 65535, 0, 4321}, kSame, {12345, 65535, 0, 4321}},
    {kC, kRGBA16, {1}, kNoMask, {40000, 40000, 40000, 1}, kSame, {61696, 61696, 61696, 1}},
    {kC, kRGBA16, {0.5}, kNoMask, {33000, 33000, 33000, 1}, kSame, {33290, 33290, 33290, 1}},
    {kC, kRGB8, {0.5}, 0, {129, 129, 129}, kSame, {130, 130, 130}},
    {kC, kRGB8, {0.5}, 255, {129, 129, 129}, kSame, {128, 128, 128}},
    // Brightness and contrast: the stretch, then the level, then the limits.
    {kBC, kRGBA8, {0, 0}, kNoMask, {0, 77, 255, 55}, kSame, {0, 77, 255, 55}},
    {kBC, kRGBA16, {0, 0}, kNoMask, {12345, 0, 0, 999}, kSame, {12345, 0, 0, 999}},
    {kBC, kRGBA8, {0, -1}, kNoMask, {3, 250, 3, 55}, kSame, {128, 128, 128, 55}},
    {kBC, kRGBA16, {0, -1}, kNoMask, {60000, 0, 0, 9}, kSame, {32768, 32768, 32768, 9}},
    {kBC, kRGBA8, {0, 0.5}, kNoMask, {200, 100, 128, 55}, kSame, {255, 65, 128, 55}},
    {kBC, kRGBA8, {0.1, 0.5}, kNoMask, {100, 100, 100, 55}, kSame, {90, 90, 90, 55}},
    {kBC, kRGBA16, {0, 0.1}, kNoMask, {30000, 30000, 30000, 9}, kSame, {29418, 29418, 29418, 9}},
    {kBC, kRGBA8, {1, -1}, kNoMask, {17, 17, 17, 55}, kSame, {255, 255, 255, 55}},
    {kBC, kRGBA8, {-1, -1}, kNoMask, {17, 17, 17, 55}, kSame, {0, 0, 0, 55}},
    {kBC, kRGBA8, {0, kNaN}, kNoMask, {200, 200, 200, 55}, kSame, {0, 0, 0, 55}},
    {kBC, kRGBA8, {kNaN, 0.5}, kNoMask, {129, 129, 129, 55}, kSame, {130, 130, 130, 55}},
    {kBC, kRGBA8, {-0.5, 0}, kNoMask, {100, 200, 0, 55}, kSame, {0, 73, 0, 55}},
    {kBC, kRGBA16, {-0.5, 0}, kNoMask, {40000, 0, 0, 9}, kSame, {7233, 0, 0, 9}},
    {kBC, kRGBA16, {0.003, 0}, kNoMask, {1000, 0, 0, 9}, kSame, {1196, 196, 196, 9}},
    {kBC, kRGBA8, {0.003, 0}, kNoMask, {232, 0, 0, 55}, kSame, {232, 0, 0, 55}},
    {kBC, kRGBA8, {0, 1}, kNoMask, {100, 100, 100, 55}, kSame, {16, 16, 16, 55}},
    {kBC, kRGB16, {0, 0.1}, 32768, {30000, 30000, 30000}, kSame, {29708, 29708, 29708}},
    {kBC, kRGBA16, {0, 0.1}, 0, {30000, 30000, 30000, 9}, kSame, {29418, 29418, 29418, 9}},
    // Invert: every sample but alpha complemented, padding bytes too.
    {kIn, kRGBA8, {}, kNoMask, {10, 20, 30, 40}, kSame, {245, 235, 225, 40}},
    {kIn, kARGB8, {}, kNoMask, {40, 10, 20, 30}, kSame, {40, 245, 235, 225}},
    {kIn, kCMYK8, {}, kNoMask, {0, 64, 128, 255}, kSame, {255, 191, 127, 0}},
    {kIn, kCMYKA8, {}, kNoMask, {0, 64, 128, 255, 9}, kSame, {255, 191, 127, 0, 9}},
    {kIn, kRGBX8, {}, kNoMask, {1, 2, 3, 4}, kSame, {254, 253, 252, 251}},
    {kIn, kGray8, {}, kNoMask, {100}, kSame, {155}},
    {kIn, kGrayAlpha8, {}, kNoMask, {100, 7}, kSame, {155, 7}},
    {kIn, kRGB16, {}, kNoMask, {0, 1000, 65535}, kSame, {65535, 64535, 0}},
    {kIn, kRGBA16, {}, kNoMask, {0, 1000, 30000, 12345}, kSame, {65535, 64535, 35535, 12345}},
    {kIn, kCMYK16, {}, kNoMask, {0, 1000, 2, 65535}, kSame, {65535, 64535, 65533, 0}},
    {kIn, kCMYKA16, {}, kNoMask, {0, 1000, 2, 65535, 5}, kSame, {65535, 64535, 65533, 0, 5}},
    {kIn, kGray16, {}, kNoMask, {1}, kSame, {65534}},
    {kIn, kCMYKA8, {}, 128, {0, 0, 0, 0, 33}, kSame, {126, 126, 126, 126, 33}},
    {kIn, kCMYKA8, {}, 128, {255, 255, 255, 255, 33}, kSame, {127, 127, 127, 127, 33}},
    {kIn, kCMYKA8, {}, 255, {200, 200, 200, 200, 33}, kSame, {199, 199, 199, 199, 33}},
    {kIn, kCMYKA8, {}, 0, {200, 200, 200, 200, 33}, kSame, {55, 55, 55, 55, 33}},
    {kIn, kRGBA16, {}, 32768, {0, 0, 0, 4242}, kSame, {32766, 32766, 32766, 4242}},
    {kIn, kRGBA16, {}, 65535, {60000, 60000, 60000, 4242}, kSame, {59999, 59999, 59999, 4242}},
    {kIn, kRGBA16, {}, 0, {1000, 1000, 1000, 4242}, kSame, {64535, 64535, 64535, 4242}},
    // Sepia: level = value x 45 + 10 (x 11565 + 2570), Y + 0.956 L,
    // Y - 0.272 L, Y - 1.105 L limited; gray sources become colour.
    {kSe, kRGB8, {0.3}, kNoMask, {255, 255, 255}, kSame, {255, 248, 229}},
    {kSe, kRGB8, {0.3}, kNoMask, {0, 0, 0}, kSame, {21, 0, 0}},
    {kSe, kRGB8, {0.3}, kNoMask, {128, 128, 128}, kSame, {148, 120, 101}},
    {kSe, kRGB8, {0.3}, kNoMask, {200, 100, 50}, kSame, {145, 117, 98}},
    {kSe, kRGB8, {0}, kNoMask, {255, 255, 255}, kSame, {255, 252, 243}},
    {kSe, kRGB8, {0}, kNoMask, {0, 0, 0}, kSame, {9, 0, 0}},
    {kSe, kRGB8, {1}, kNoMask, {255, 255, 255}, kSame, {255, 240, 194}},
    {kSe, kRGB8, {1}, kNoMask, {0, 0, 0}, kSame, {52, 0, 0}},
    {kSe, kRGB8, {0.8}, kNoMask, {0, 0, 0}, kSame, {43, 0, 0}},
    {kSe, kRGB8, {kNaN}, kNoMask, {0, 0, 0}, kSame, {0, 0, 0}},
    {kSe, kBGRA8, {0.3}, kNoMask, {50, 100, 200, 9}, kSame, {98, 117, 145, 9}},
    {kSe, kRGB16, {0}, kNoMask, {65535, 65535, 65535}, kSame, {65535, 64834, 62694}},
    {kSe, kRGB16, {1}, kNoMask, {0, 0, 0}, kSame, {13513, 0, 0}},
    {kSe, kRGBA16, {0}, kNoMask, {65535, 65535, 65535, 7}, kSame, {65535, 64834, 62694, 7}},
    {kSe, kRGBA8, {0.3}, 255, {200, 100, 50, 77}, kSame, {199, 99, 49, 77}},
    {kSe, kGray8, {0.3}, kNoMask, {255}, kRGB8, {255, 248, 229}},
    {kSe, kGrayAlpha8, {0.3}, kNoMask, {255, 6}, kRGBA8, {255, 248, 229, 6}},
    {kSe, kGray16, {0.5}, kNoMask, {0}, kRGBA16, {}},
    {kSe, kGrayAlpha16, {0.5}, kNoMask, {0, 0}, kRGBA16, {}},
    // Colour filter: level = value x 255 (65535) per channel, added, limited.
    {kCF, kRGB8, {1, 1, 1}, kNoMask, {0, 0, 0}, kSame, {255, 255, 255}},
    {kCF, kRGB8, {0.5, 0.25, 0.1}, kNoMask, {0, 0, 0}, kSame, {127, 63, 25}},
    {kCF, kRGB8, {-0.5, -1, 0}, kNoMask, {255, 255, 255}, kSame, {128, 0, 255}},
    {kCF, kRGBA16, {1, 0, 0.5}, kNoMask, {0, 0, 0, 3}, kSame, {65535, 0, 32767, 3}},
    {kCF, kRGBA16, {0.25, 0.1, -1}, kNoMask, {0, 0, 65535, 3}, kSame, {16383, 6553, 0, 3}},
    {kCF, kRGBA16, {-0.5, 0, 0}, kNoMask, {65535, 0, 0, 3}, kSame, {32768, 0, 0, 3}},
    {kCF, kRGB8, {0.5, 0, 0}, kNoMask, {200, 1, 2}, kSame, {255, 1, 2}},
    {kCF, kRGB8, {0.5, 0, 0}, kNoMask, {100, 1, 2}, kSame, {227, 1, 2}},
    {kCF, kRGB8, {-0.5, 0, 0}, kNoMask, {100, 1, 2}, kSame, {0, 1, 2}},
    {kCF, kBGRA8, {-0.5, 0, 0}, kNoMask, {2, 1, 200, 4}, kSame, {2, 1, 73, 4}},
    {kCF, kXBGR8, {0, -1, 1}, kNoMask, {0, 254, 99, 17}, kSame, {0, 255, 0, 17}},
    {kCF, kRGB8, {0.1, 0.1, 0.1}, kNoMask, {10, 20, 30}, kSame, {35, 45, 55}},
    {kCF, kGray8, {0.5, 0, -0.2}, kNoMask, {100}, kSame, {49}},  // blue is written last
    // Tint and temperature: Temperature t adds t x 100/255 to red and takes
    // it from blue, Tint adds to green, as colour-filter levels.
    {kTT, kRGB8, {1, 0}, kNoMask, {100, 100, 100}, kSame, {200, 100, 0}},
    {kTT, kRGB8, {0.5, 0}, kNoMask, {100, 100, 100}, kSame, {150, 100, 50}},
    {kTT, kRGB8, {-1, 0}, kNoMask, {100, 100, 100}, kSame, {0, 100, 200}},
    {kTT, kRGB8, {0, 1}, kNoMask, {100, 100, 100}, kSame, {100, 200, 100}},
    {kTT, kRGB8, {0, -0.25}, kNoMask, {100, 100, 100}, kSame, {100, 75, 100}},
    {kTT, kRGB8, {0.5, 1}, kNoMask, {100, 100, 100}, kSame, {150, 200, 50}},
    {kTT, kRGB8, {0.5, -0.25}, kNoMask, {100, 100, 100}, kSame, {150, 75, 50}},
    {kTT, kRGBA16, {1, 0}, kNoMask, {30000, 30000, 30000, 1}, kSame, {55700, 30000, 4300, 1}},
    {kTT, kRGBA16, {0.5, 0}, kNoMask, {30000, 30000, 30000, 1}, kSame, {42850, 30000, 17150, 1}},
    {kTT, kRGBA16, {-1, 0}, kNoMask, {30000, 30000, 30000, 1}, kSame, {4300, 30000, 55700, 1}},
    {kTT, kRGBA16, {0, 1}, kNoMask, {30000, 30000, 30000, 1}, kSame, {30000, 55700, 30000, 1}},
    {kTT, kRGBA16, {0, -0.25}, kNoMask, {30000, 30000, 30000, 1}, kSame, {30000, 23575, 30000, 1}},
    {kTT, kRGBA8, {1, 0}, 128, {100, 100, 100, 61}, kSame, {149, 99, 50, 61}},
    {kTT, kRGBA8, {1, 0}, 255, {200, 100, 150, 62}, kSame, {199, 99, 149, 62}},
    // Grayscale: 0 weights .299/.587/.114, 1 .2125/.7154/.0721 (truncated),
    // 2 the mean, 3 (3R + 4G + 2B) / 9 (any other method); a new bitmap is
    // gray unless masked or asked to keep the colour space.
    {kGr, kRGB8, {0, 0}, kNoMask, {255, 255, 255}, kGray8, {255}},
    {kGr, kRGB8, {0, 0}, kNoMask, {128, 128, 128}, kGray8, {127}},
    {kGr, kRGB8, {0, 0}, kNoMask, {1, 1, 1}, kGray8, {0}},
    {kGr, kRGB8, {0, 0}, kNoMask, {255, 0, 0}, kGray8, {76}},
    {kGr, kRGB8, {0, 0}, kNoMask, {0, 255, 0}, kGray8, {149}},
    {kGr, kRGB8, {0, 0}, kNoMask, {0, 0, 255}, kGray8, {29}},
    {kGr, kRGB16, {0, 0}, kNoMask, {65535, 65535, 65535}, kGray16, {65534}},
    {kGr, kRGB8, {1, 0}, kNoMask, {128, 128, 128}, kGray8, {128}},
    {kGr, kRGB8, {1, 0}, kNoMask, {255, 0, 0}, kGray8, {54}},
    {kGr, kRGB8, {1, 0}, kNoMask, {0, 255, 0}, kGray8, {182}},
    {kGr, kRGB8, {1, 0}, kNoMask, {0, 0, 255}, kGray8, {18}},
    {kGr, kRGB8, {2, 0}, kNoMask, {255, 0, 0}, kGray8, {85}},
    {kGr, kRGB8, {2, 0}, kNoMask, {10, 20, 30}, kGray8, {20}},
    {kGr, kRGB8, {3, 0}, kNoMask, {0, 255, 0}, kGray8, {113}},
    {kGr, kRGB8, {3, 0}, kNoMask, {0, 0, 255}, kGray8, {56}},
    {kGr, kRGB8, {3, 0}, kNoMask, {10, 20, 30}, kGray8, {18}},
    {kGr, kRGB8, {7, 0}, kNoMask, {10, 20, 30}, kGray8, {18}},
    {kGr, kRGB8, {-1, 0}, kNoMask, {0, 255, 0}, kGray8, {113}},
    {kGr, kRGB8, {-1e300, 0}, kNoMask, {10, 20, 30}, kGray8, {18}},
    {kGr, kRGB16, {2, 0}, kNoMask, {65535, 65535, 65534}, kGray16, {65534}},
    {kGr, kRGB16, {3, 0}, kNoMask, {0, 65535, 0}, kGray16, {29126}},
    {kGr, kRGB8, {3, 0}, 0, {10, 20, 30}, kSame, {18, 18, 18}},
    {kGr, kRGB8, {3, 0}, 255, {10, 20, 30}, kSame, {9, 19, 29}},
    {kGr, kBGR8, {0, 0}, kNoMask, {}, kGray8, {}},
    {kGr, kRGBA8, {0, 0}, kNoMask, {}, kGrayAlpha8, {}},
    {kGr, kARGB8, {0, 0}, kNoMask, {}, kGrayAlpha8, {}},
    {kGr, kCMYK8, {0, 0}, kNoMask, {}, kGrayAlpha8, {}},
    {kGr, kRGBA16, {0, 0}, kNoMask, {}, kGrayAlpha16, {}},
    {kGr, kCMYKA16, {0, 0}, kNoMask, {}, kGrayAlpha16, {}},
    {kGr, kRGB8, {0, 1}, kNoMask, {}, kRGB8, {}},
    {kGr, kRGBA16, {0, 1}, kNoMask, {}, kRGBA16, {}},
    {kGr, kBGRA8, {0, 0}, 7, {}, kBGRA8, {}},
    {kGr, kRGB16, {0, 0}, 7, {}, kRGB16, {}},
    {kGr, kCMYK8, {0, 1}, 7, {}, kCMYK8, {}},
};

TEST_F(EffectTest, StatedValues) {
  for (const Stated& s : kStated) {
    const Effect& e = EffectNamed(s.className);
    SCOPED_TRACE(::testing::Message() << s.className << " format " << s.format << " values "
                                      << ::testing::PrintToString(s.values) << " mask " << s.mask
                                      << " in " << ::testing::PrintToString(s.in));
    Ref effect = NewEffect(s.className);
    Ref mask;
    if (s.mask != kNoMask) {
      mask = Mask(1, {static_cast<uint32_t>(s.mask)}, FindFormat(s.format)->bitsPerChannel == 16);
      ASSERT_TRUE(host().SetProperty(effect.get(), "Mask", mask.get()));
    }
    Ref source = Pixels(s.format, s.in);
    Rec(source.get()).metadata1 = 0x1122334455667788ull;
    Rec(source.get()).metadata2 = 42;
    const Samples before = SamplesAt(source.get());
    Ref out(host(), RunForm(host(), e, PlainForm(e, false), effect.get(), source.get(), s.values));
    ASSERT_TRUE(out);
    EXPECT_EQ(Error(effect), 0);
    const int64_t outFormat = s.outFormat == kSame ? s.format : s.outFormat;
    EXPECT_EQ(Rec(out.get()).imageFormat, outFormat);
    EXPECT_EQ(Rec(out.get()).metadata1, 0x1122334455667788ull);
    EXPECT_EQ(Rec(out.get()).metadata2, 42u);
    if (!s.out.empty()) {
      EXPECT_EQ(SamplesAt(out.get()), s.out);
    }
    EXPECT_EQ(SamplesAt(source.get()), before) << "a new-bitmap run wrote its source";
    if (outFormat != s.format || s.out.empty() || !e.accepts(*FindFormat(s.format), true)) {
      continue;
    }
    RunForm(host(), e, PlainForm(e, true), effect.get(), source.get(), s.values);
    EXPECT_EQ(Error(effect), 0);
    EXPECT_EQ(SamplesAt(source.get()), s.out) << "in place";
  }
}

}  // namespace
}  // namespace lumeno::testing

// Pictures the demo command draws in code, and the contact sheet of results.
#pragma once

#include <cstdint>
#include <vector>

#include "cli/image_io.h"

namespace lumeno::cli {

// RGBA8: a colour gradient with discs, stripes and a half-transparent square.
Image DemoPicture(int64_t width, int64_t height);
// RGBA8: concentric coloured rings fading out towards the corners.
Image DemoFillPicture(int64_t width, int64_t height);
// Gray8: a radial gradient, black in the middle (full effect) to white.
Image DemoMaskPicture(int64_t width, int64_t height);
// RGBA8 thumbnails of `images` (RGBA8 each) in a grid of `columns`, each
// scaled down by box averaging to fit thumbWidth x thumbHeight.
Image ContactSheet(const std::vector<Image>& images, int columns, int64_t thumbWidth,
                   int64_t thumbHeight, int64_t gap);

}  // namespace lumeno::cli

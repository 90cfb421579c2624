// Pictures the demo command draws in code, and the labelled sheets of results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/caption.h"
#include "cli/image_io.h"

namespace lumeno::cli {

// RGBA8: a colour gradient with discs, stripes and a half-transparent square.
Image DemoPicture(int64_t width, int64_t height);
// RGBA8: concentric coloured rings fading out towards the corners.
Image DemoFillPicture(int64_t width, int64_t height);
// Gray8: a radial gradient, black in the middle (full effect) to white.
Image DemoMaskPicture(int64_t width, int64_t height);
// One picture of a sheet with its caption: a title line and a detail text
// wrapped onto the lines below it.
struct SheetTile {
  Image image;  // RGBA8
  std::string title;
  std::string detail;
};

// Grid of a sheet: thumbnails of thumbWidth x thumbHeight, each above a
// caption strip of captionLines text lines, `gap` pixels apart.
struct SheetLayout {
  int columns = 4;
  int64_t thumbWidth = 256, thumbHeight = 192;
  int captionLines = 1;
  int64_t gap = 8;
};

struct PixelRect {
  int64_t x = 0, y = 0, width = 0, height = 0;
};

// Where tile `index` puts its caption strip on the sheet.
PixelRect CaptionStrip(const SheetLayout& layout, int64_t index);

// RGBA8 sheet of the tiles: each image scaled down by box averaging to fit
// its cell, over a checker where transparent, and its caption below. Without
// a font the strips stay plain.
Image LabelledSheet(const std::vector<SheetTile>& tiles, const SheetLayout& layout,
                    const CaptionFont* font);

}  // namespace lumeno::cli

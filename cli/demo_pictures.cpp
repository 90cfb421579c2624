// Demo pictures drawn with plain arithmetic, so the demo needs no files.
#include "cli/demo_pictures.h"

#include <algorithm>
#include <cmath>

namespace lumeno::cli {

namespace {

uint8_t Clamp8(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

// Hue (0..1) at full saturation as RGB 0..255.
void HueToRgb(double h, double* r, double* g, double* b) {
  const double x = h * 6.0;
  *r = std::clamp(std::fabs(x - 3.0) - 1.0, 0.0, 1.0) * 255.0;
  *g = std::clamp(2.0 - std::fabs(x - 2.0), 0.0, 1.0) * 255.0;
  *b = std::clamp(2.0 - std::fabs(x - 4.0), 0.0, 1.0) * 255.0;
}

Image NewImage(int64_t width, int64_t height, ColorModel model, bool alpha) {
  Image image;
  image.width = width;
  image.height = height;
  image.model = model;
  image.alpha = alpha;
  image.Allocate();
  return image;
}

Image NewRgba(int64_t width, int64_t height) {
  return NewImage(width, height, ColorModel::kRGB, true);
}

// Caption text: a title and detail lines, kLineHeight apart, inside a strip
// with kCaptionPadding around.
constexpr int kTitleSize = 14, kDetailSize = 12;
constexpr int64_t kLineHeight = 16, kCaptionPadding = 4;

void FillRect(Image* image, const PixelRect& r, uint8_t gray) {
  for (int64_t y = r.y; y < r.y + r.height; ++y) {
    for (int64_t x = r.x; x < r.x + r.width; ++x) {
      uint8_t* p = &image->data[static_cast<size_t>((y * image->width + x) * 4)];
      p[0] = p[1] = p[2] = gray;
    }
  }
}

// `src` scaled down by box averaging to fit width x height, centred in that
// cell at (left, top) of the RGBA8 sheet, over a checker so transparent
// parts stay visible.
void DrawThumbnail(const Image& src, Image* sheet, int64_t left, int64_t top, int64_t width,
                   int64_t height) {
  if (src.width <= 0 || src.height <= 0) return;
  const double scale = std::max(static_cast<double>(src.width) / width,
                                static_cast<double>(src.height) / height);
  const int64_t tw = std::max<int64_t>(1, static_cast<int64_t>(src.width / scale));
  const int64_t th = std::max<int64_t>(1, static_cast<int64_t>(src.height / scale));
  const int64_t ox = left + (width - tw) / 2, oy = top + (height - th) / 2;
  for (int64_t y = 0; y < th; ++y) {
    const int64_t y0 = y * src.height / th, y1 = std::max(y0 + 1, (y + 1) * src.height / th);
    for (int64_t x = 0; x < tw; ++x) {
      const int64_t x0 = x * src.width / tw, x1 = std::max(x0 + 1, (x + 1) * src.width / tw);
      double sum[4] = {0, 0, 0, 0};
      for (int64_t sy = y0; sy < y1; ++sy) {
        for (int64_t sx = x0; sx < x1; ++sx) {
          const uint8_t* p = &src.data[static_cast<size_t>((sy * src.width + sx) * 4)];
          for (int c = 0; c < 4; ++c) sum[c] += p[c];
        }
      }
      const double area = static_cast<double>((y1 - y0) * (x1 - x0));
      uint8_t* d = &sheet->data[static_cast<size_t>(((oy + y) * sheet->width + ox + x) * 4)];
      const double a = sum[3] / area / 255.0;
      const double back = ((x / 8 + y / 8) % 2 == 0) ? 200.0 : 150.0;
      for (int c = 0; c < 3; ++c) d[c] = Clamp8(sum[c] / area * a + back * (1.0 - a) + 0.5);
    }
  }
}

// Words of `text` filled greedily onto at most maxLines lines of `width`
// pixels; what does not fit stays on the last line (and is clipped there).
std::vector<std::string> WrapWords(const CaptionFont& font, const std::string& text,
                                   int64_t width, int maxLines) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size() && maxLines > 0) {
    const size_t end = text.find(' ', at);
    const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    if (word.empty()) continue;
    const std::string joined = lines.empty() ? word : lines.back() + " " + word;
    if (!lines.empty() && (font.Width(joined, kDetailSize) <= width ||
                           static_cast<int>(lines.size()) == maxLines)) {
      lines.back() = joined;
    } else {
      lines.push_back(word);
    }
  }
  return lines;
}

}  // namespace

Image DemoPicture(int64_t width, int64_t height) {
  Image image = NewRgba(width, height);
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  struct Disc {
    double cx, cy, radius, r, g, b;
  };
  const Disc discs[] = {{0.25, 0.35, 0.16, 250, 240, 230},
                        {0.62, 0.55, 0.22, 30, 40, 60},
                        {0.82, 0.25, 0.10, 255, 210, 0}};
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const double u = x / w, v = y / h;
      double r, g, b;
      HueToRgb(u, &r, &g, &b);
      // Fade the hue gradient to dark at the bottom.
      const double shade = 1.0 - 0.7 * v;
      r *= shade;
      g *= shade;
      b *= shade;
      for (const Disc& d : discs) {
        const double dx = (u - d.cx) * w, dy = (v - d.cy) * h;
        const double dist = std::sqrt(dx * dx + dy * dy) / (d.radius * h);
        if (dist < 1.0) {
          const double t = 1.0 - dist * dist * 0.4;
          r = d.r * t;
          g = d.g * t;
          b = d.b * t;
        }
      }
      if (y > height * 3 / 4 && (x / 16) % 2 == 0) {
        r = 255 - r;
        g = 255 - g;
        b = 255 - b;
      }
      uint8_t* p = &image.data[static_cast<size_t>((y * width + x) * 4)];
      p[0] = Clamp8(r);
      p[1] = Clamp8(g);
      p[2] = Clamp8(b);
      const bool inSquare = u > 0.05 && u < 0.25 && v > 0.62 && v < 0.9;
      p[3] = inSquare ? 128 : 255;
    }
  }
  return image;
}

Image DemoFillPicture(int64_t width, int64_t height) {
  Image image = NewRgba(width, height);
  const double cx = width / 2.0, cy = height / 2.0;
  const double maxDist = std::sqrt(cx * cx + cy * cy);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const double dist = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) / maxDist;
      double r, g, b;
      HueToRgb(std::fmod(dist * 3.0, 1.0), &r, &g, &b);
      uint8_t* p = &image.data[static_cast<size_t>((y * width + x) * 4)];
      p[0] = Clamp8(r);
      p[1] = Clamp8(g);
      p[2] = Clamp8(b);
      p[3] = Clamp8(255.0 * (1.0 - dist));
    }
  }
  return image;
}

Image DemoMaskPicture(int64_t width, int64_t height) {
  Image image = NewImage(width, height, ColorModel::kGray, false);
  const double cx = width / 2.0, cy = height / 2.0;
  const double radius = std::min(cx, cy);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const double dist = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) / radius;
      image.data[static_cast<size_t>(y * width + x)] = Clamp8(dist * 255.0);
    }
  }
  return image;
}

PixelRect CaptionStrip(const SheetLayout& layout, int64_t index) {
  const int64_t strip = layout.captionLines * kLineHeight + 2 * kCaptionPadding;
  PixelRect r;
  r.x = layout.gap + (index % layout.columns) * (layout.thumbWidth + layout.gap);
  r.y = layout.gap + (index / layout.columns) * (layout.thumbHeight + strip + layout.gap) +
        layout.thumbHeight;
  r.width = layout.thumbWidth;
  r.height = strip;
  return r;
}

Image LabelledSheet(const std::vector<SheetTile>& tiles, const SheetLayout& layout,
                    const CaptionFont* font) {
  const int64_t count = static_cast<int64_t>(tiles.size());
  const int64_t rows = std::max<int64_t>(1, (count + layout.columns - 1) / layout.columns);
  const PixelRect last = CaptionStrip(layout, (rows - 1) * layout.columns);
  Image sheet = NewRgba(layout.gap + layout.columns * (layout.thumbWidth + layout.gap),
                        last.y + last.height + layout.gap);
  for (size_t i = 0; i < sheet.data.size(); i += 4) {
    sheet.data[i] = sheet.data[i + 1] = sheet.data[i + 2] = 40;
    sheet.data[i + 3] = 255;
  }
  for (int64_t n = 0; n < count; ++n) {
    const SheetTile& tile = tiles[static_cast<size_t>(n)];
    const PixelRect strip = CaptionStrip(layout, n);
    FillRect(&sheet, strip, 24);
    DrawThumbnail(tile.image, &sheet, strip.x, strip.y - layout.thumbHeight, layout.thumbWidth,
                  layout.thumbHeight);
    if (font == nullptr) continue;
    const int64_t left = strip.x + kCaptionPadding, right = strip.x + strip.width - kCaptionPadding;
    int64_t baseline = strip.y + kCaptionPadding + kLineHeight - 4;
    font->Draw(&sheet, left, baseline, right, tile.title, kTitleSize, 250);
    for (const std::string& line :
         WrapWords(*font, tile.detail, right - left, layout.captionLines - 1)) {
      baseline += kLineHeight;
      font->Draw(&sheet, left, baseline, right, line, kDetailSize, 185);
    }
  }
  return sheet;
}

}  // namespace lumeno::cli

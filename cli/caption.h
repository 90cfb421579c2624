// Text drawn into RGBA8 images with FreeType and a system font: the captions
// of the demo's sheets. Without FreeType, or without a font, Open() fails and
// the sheets are drawn unlabelled.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cli/image_io.h"

namespace lumeno::cli {

class CaptionFont {
 public:
  // Opens the font: the file named by $LUMENO_FONT when that is set (and
  // nothing else then), else DejaVu Sans as found at build time, else the
  // file fontconfig's fc-match gives for "DejaVu Sans". Null, with the
  // reason in *error, when no font can be opened.
  static std::unique_ptr<CaptionFont> Open(std::string* error);
  ~CaptionFont();
  CaptionFont(const CaptionFont&) = delete;
  CaptionFont& operator=(const CaptionFont&) = delete;

  // Width in pixels of an ASCII text at a pixel size.
  int64_t Width(const std::string& text, int pixelSize) const;
  // Draws an ASCII text with its baseline at (x, baseline) into an RGBA8
  // image, clipped to [x, right), antialiased over what is there.
  void Draw(Image* image, int64_t x, int64_t baseline, int64_t right, const std::string& text,
            int pixelSize, uint8_t gray) const;

 private:
  struct Face;
  explicit CaptionFont(std::unique_ptr<Face> face);
  std::unique_ptr<Face> face_;
};

}  // namespace lumeno::cli

// Captions through FreeType: glyphs rendered antialiased (8-bit coverage) and
// mixed into the image, one ASCII character after another.
#include "cli/caption.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#if defined(LUMENO_HAVE_FREETYPE)
#include <ft2build.h>
#include FT_FREETYPE_H
#endif

namespace lumeno::cli {

#if defined(LUMENO_HAVE_FREETYPE)

struct CaptionFont::Face {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  ~Face() {
    if (face != nullptr) FT_Done_Face(face);
    if (library != nullptr) FT_Done_FreeType(library);
  }
  // Renders one character at the size; null when the font lacks it.
  FT_GlyphSlot Glyph(char c, int pixelSize) {
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelSize)) != 0) return nullptr;
    if (FT_Load_Char(face, static_cast<unsigned char>(c), FT_LOAD_RENDER) != 0) return nullptr;
    return face->glyph;
  }
};

namespace {

// The file fontconfig picks for a family, or "" (no fc-match, no match).
std::string FontconfigMatch(const char* family) {
  const std::string command = std::string("fc-match -f '%{file}' '") + family + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string path;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) path.append(buffer, n);
  return ::pclose(pipe) == 0 ? path : "";
}

}  // namespace

std::unique_ptr<CaptionFont> CaptionFont::Open(std::string* error) {
  std::vector<std::string> candidates;
  if (const char* chosen = std::getenv("LUMENO_FONT"); chosen != nullptr) {
    candidates.push_back(chosen);
  } else {
#if defined(LUMENO_CAPTION_FONT)
    candidates.push_back(LUMENO_CAPTION_FONT);
#endif
    candidates.push_back(FontconfigMatch("DejaVu Sans"));
  }
  auto face = std::make_unique<Face>();
  if (FT_Init_FreeType(&face->library) != 0) {
    *error = "FreeType could not start";
    return nullptr;
  }
  for (const std::string& path : candidates) {
    if (!path.empty() && FT_New_Face(face->library, path.c_str(), 0, &face->face) == 0) {
      return std::unique_ptr<CaptionFont>(new CaptionFont(std::move(face)));
    }
  }
  *error = candidates.front().empty() ? std::string("no font found")
                                      : "cannot open the font " + candidates.front();
  *error += " (install fonts-dejavu-core, or set LUMENO_FONT to a TrueType file)";
  return nullptr;
}

int64_t CaptionFont::Width(const std::string& text, int pixelSize) const {
  int64_t width = 0;
  for (char c : text) {
    if (FT_GlyphSlot g = face_->Glyph(c, pixelSize); g != nullptr) width += g->advance.x >> 6;
  }
  return width;
}

void CaptionFont::Draw(Image* image, int64_t x, int64_t baseline, int64_t right,
                       const std::string& text, int pixelSize, uint8_t gray) const {
  for (char c : text) {
    const FT_GlyphSlot g = face_->Glyph(c, pixelSize);
    if (g == nullptr) continue;
    const FT_Bitmap& b = g->bitmap;
    for (unsigned row = 0; row < b.rows; ++row) {
      const int64_t y = baseline - g->bitmap_top + row;
      if (y < 0 || y >= image->height) continue;
      for (unsigned col = 0; col < b.width; ++col) {
        const int64_t px = x + g->bitmap_left + col;
        if (px < 0 || px >= right || px >= image->width) continue;
        const int coverage = b.buffer[static_cast<ptrdiff_t>(row) * b.pitch + col];
        uint8_t* d = &image->data[static_cast<size_t>((y * image->width + px) * 4)];
        for (int ch = 0; ch < 3; ++ch) {
          d[ch] = static_cast<uint8_t>(d[ch] + (gray - d[ch]) * coverage / 255);
        }
      }
    }
    x += g->advance.x >> 6;
  }
}

#else  // built without FreeType: no captions

struct CaptionFont::Face {};

std::unique_ptr<CaptionFont> CaptionFont::Open(std::string* error) {
  *error = "lumeno was built without FreeType (install libfreetype-dev and rebuild)";
  return nullptr;
}

int64_t CaptionFont::Width(const std::string&, int) const { return 0; }

void CaptionFont::Draw(Image*, int64_t, int64_t, int64_t, const std::string&, int, uint8_t) const {}

#endif

CaptionFont::CaptionFont(std::unique_ptr<Face> face) : face_(std::move(face)) {}
CaptionFont::~CaptionFont() = default;

}  // namespace lumeno::cli

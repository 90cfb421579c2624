// EXIF orientation, pixel turning and the metadata description.
#include "cli/metadata.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace lumeno::cli {

namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kShortType = 3;
constexpr uint16_t kLongType = 4;
constexpr uint16_t kIfdType = 13;
// Entries that point to further directories.
constexpr uint16_t kExifPointer = 0x8769, kGpsPointer = 0x8825, kInteropPointer = 0xA005;

// Reads and writes the integers of a TIFF-structured block in its byte order.
struct ExifBytes {
  uint8_t* data;
  size_t size;
  bool bigEndian;

  bool Fits(size_t at, size_t n) const { return at <= size && n <= size - at; }
  uint32_t Get(size_t at, int n) const {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      const uint32_t b = data[at + static_cast<size_t>(i)];
      v |= bigEndian ? b << (8 * (n - 1 - i)) : b << (8 * i);
    }
    return v;
  }
  void Put16(size_t at, uint16_t v) {
    data[at + (bigEndian ? 1 : 0)] = static_cast<uint8_t>(v);
    data[at + (bigEndian ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
  }
};

// Offset of the Orientation entry's value in the first directory, or 0.
size_t OrientationValueAt(const ExifBytes& b) {
  if (!b.Fits(0, 8)) return 0;
  const size_t ifd = b.Get(4, 4);
  if (!b.Fits(ifd, 2)) return 0;
  const size_t count = b.Get(ifd, 2);
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = ifd + 2 + i * 12;
    if (!b.Fits(entry, 12)) return 0;
    if (b.Get(entry, 2) == kOrientationTag && b.Get(entry + 2, 2) == kShortType &&
        b.Get(entry + 4, 4) == 1) {
      return entry + 8;
    }
  }
  return 0;
}

bool OpenExif(const std::vector<uint8_t>& exif, ExifBytes* b) {
  if (exif.size() < 8) return false;
  const bool little = exif[0] == 'I' && exif[1] == 'I' && exif[2] == 42 && exif[3] == 0;
  const bool big = exif[0] == 'M' && exif[1] == 'M' && exif[2] == 0 && exif[3] == 42;
  if (!little && !big) return false;
  *b = {const_cast<uint8_t*>(exif.data()), exif.size(), big};
  return true;
}

// Appends the directory at `ifd` to `entries`, values turned little-endian;
// the EXIF and GPS directory offsets it holds go to `pointers` (0: none).
bool ParseDirectory(const ExifBytes& b, size_t ifd, std::vector<ExifEntry>* entries,
                    uint32_t pointers[2]) {
  if (!b.Fits(ifd, 2)) return false;
  const size_t count = b.Get(ifd, 2);
  if (!b.Fits(ifd + 2, count * 12)) return false;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = ifd + 2 + i * 12;
    ExifEntry e{static_cast<uint16_t>(b.Get(at, 2)),
                static_cast<uint16_t>(b.Get(at + 2, 2)),
                b.Get(at + 4, 4),
                {}};
    if (e.tag == kExifPointer || e.tag == kGpsPointer || e.tag == kInteropPointer) {
      if (pointers != nullptr && e.tag != kInteropPointer && e.count == 1 &&
          (e.type == kLongType || e.type == kIfdType)) {
        pointers[e.tag == kGpsPointer ? 1 : 0] = b.Get(at + 8, 4);
      }
      continue;
    }
    const int unit = ExifTypeSize(e.type);
    if (unit == 0) continue;
    const uint64_t size = uint64_t{e.count} * static_cast<unsigned>(unit);
    const size_t value = size <= 4 ? at + 8 : b.Get(at + 8, 4);
    if (size > b.size || !b.Fits(value, static_cast<size_t>(size))) return false;
    // Each number is reversed from a big-endian block (both halves of a fraction).
    const size_t number = e.type == 5 || e.type == 10 ? 4 : static_cast<size_t>(unit);
    e.value.resize(static_cast<size_t>(size));
    for (size_t k = 0; k < e.value.size(); ++k) {
      const size_t inNumber = k % number;
      e.value[k] = b.data[value + k - inNumber + (b.bigEndian ? number - 1 - inNumber : inNumber)];
    }
    entries->push_back(std::move(e));
  }
  return true;
}

void PutLittle(std::vector<uint8_t>* out, size_t at, uint32_t v, int n) {
  for (int i = 0; i < n; ++i)
    (*out)[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// Appends a directory of `entries`, sorted by tag, followed by the values
// that do not fit in their entries; returns its offset.
size_t AppendDirectory(std::vector<uint8_t>* out, std::vector<ExifEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const ExifEntry& a, const ExifEntry& b) { return a.tag < b.tag; });
  if (out->size() % 2 != 0) out->push_back(0);  // directories start on a word
  const size_t ifd = out->size();
  out->resize(ifd + 2 + entries.size() * 12 + 4, 0);  // the next-directory offset stays 0
  PutLittle(out, ifd, static_cast<uint32_t>(entries.size()), 2);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ExifEntry& e = entries[i];
    const size_t at = ifd + 2 + i * 12;
    PutLittle(out, at, e.tag, 2);
    PutLittle(out, at + 2, e.type, 2);
    PutLittle(out, at + 4, e.count, 4);
    if (e.value.size() <= 4) {
      std::copy(e.value.begin(), e.value.end(), out->begin() + static_cast<ptrdiff_t>(at + 8));
    } else {
      if (out->size() % 2 != 0) out->push_back(0);
      PutLittle(out, at + 8, static_cast<uint32_t>(out->size()), 4);
      out->insert(out->end(), e.value.begin(), e.value.end());
    }
  }
  return ifd;
}

}  // namespace

int ExifTypeSize(uint16_t type) {
  // BYTE, ASCII, SHORT, LONG, RATIONAL, SBYTE, UNDEFINED, SSHORT, SLONG,
  // SRATIONAL, FLOAT, DOUBLE.
  static const int kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < std::size(kSizes) ? kSizes[type] : 0;
}

bool ParseExif(const std::vector<uint8_t>& exif, ExifDirectories* dirs) {
  *dirs = {};
  ExifBytes b{};
  uint32_t pointers[2] = {0, 0};
  return OpenExif(exif, &b) && ParseDirectory(b, b.Get(4, 4), &dirs->main, pointers) &&
         (pointers[0] == 0 || ParseDirectory(b, pointers[0], &dirs->exif, nullptr)) &&
         (pointers[1] == 0 || ParseDirectory(b, pointers[1], &dirs->gps, nullptr));
}

std::vector<uint8_t> BuildExif(const ExifDirectories& dirs) {
  std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
  // The pointers get their values once the directories they point to are placed.
  std::vector<ExifEntry> main = dirs.main;
  const struct {
    uint16_t tag;
    const std::vector<ExifEntry>& entries;
  } kSubs[] = {{kExifPointer, dirs.exif}, {kGpsPointer, dirs.gps}};
  for (const auto& sub : kSubs) {
    if (!sub.entries.empty()) main.push_back({sub.tag, kLongType, 1, {0, 0, 0, 0}});
  }
  AppendDirectory(&out, main);
  const size_t count = out[8] | size_t{out[9]} << 8;
  for (const auto& sub : kSubs) {
    if (sub.entries.empty()) continue;
    const size_t ifd = AppendDirectory(&out, sub.entries);
    for (size_t i = 0; i < count; ++i) {
      if ((out[10 + i * 12] | out[11 + i * 12] << 8) == sub.tag) {
        PutLittle(&out, 18 + i * 12, static_cast<uint32_t>(ifd), 4);
      }
    }
  }
  return out;
}

int ExifOrientation(const std::vector<uint8_t>& exif) {
  ExifBytes b{};
  if (!OpenExif(exif, &b)) return 0;
  const size_t at = OrientationValueAt(b);
  if (at == 0) return 0;
  const uint32_t v = b.Get(at, 2);
  return v >= 1 && v <= 8 ? static_cast<int>(v) : 0;
}

void SetExifOrientation(std::vector<uint8_t>* exif, int orientation) {
  ExifBytes b{};
  if (!OpenExif(*exif, &b)) return;
  if (const size_t at = OrientationValueAt(b); at != 0) {
    b.Put16(at, static_cast<uint16_t>(orientation));
  }
}

std::vector<uint8_t> ExifForWriting(const Metadata& meta) {
  std::vector<uint8_t> exif = meta.exif;
  if (ExifOrientation(exif) != 0) {
    SetExifOrientation(&exif, meta.orientation);
  } else if (meta.orientation != 1 && exif.empty()) {
    // Little-endian header, one directory at offset 8 with one SHORT entry.
    exif = {'I',
            'I',
            42,
            0,
            8,
            0,
            0,
            0,
            1,
            0,
            0x12,
            0x01,
            3,
            0,
            1,
            0,
            0,
            0,
            static_cast<uint8_t>(meta.orientation),
            0,
            0,
            0,
            0,
            0,
            0,
            0};
  }
  return exif;
}

Image Oriented(const Image& image) {
  const int o = image.meta.orientation;
  const bool quarter = o >= 5 && o <= 8;
  Image out;
  out.model = image.model;
  out.alpha = image.alpha;
  out.bits = image.bits;
  out.meta = image.meta;
  out.width = quarter ? image.height : image.width;
  out.height = quarter ? image.width : image.height;
  out.Allocate();
  // Each orientation as a swap of the axes followed by mirrorings of the
  // stored picture's x and y.
  static const struct {
    bool transpose, mirrorX, mirrorY;
  } kTurns[9] = {{},
                 {false, false, false},
                 {false, true, false},
                 {false, true, true},
                 {false, false, true},
                 {true, false, false},
                 {true, false, true},
                 {true, true, true},
                 {true, true, false}};
  const auto turn = kTurns[o >= 1 && o <= 8 ? o : 1];
  const int64_t w = image.width, h = image.height;
  const size_t pixel = static_cast<size_t>(image.PixelBytes());
  for (int64_t dy = 0; dy < out.height; ++dy) {
    uint8_t* row = out.MutableRow(dy);
    for (int64_t dx = 0; dx < out.width; ++dx) {
      // The stored pixel a viewer shows at (dx, dy).
      const int64_t u = turn.transpose ? dy : dx, v = turn.transpose ? dx : dy;
      const int64_t sx = turn.mirrorX ? w - 1 - u : u, sy = turn.mirrorY ? h - 1 - v : v;
      std::memcpy(row + static_cast<size_t>(dx) * pixel,
                  image.Row(sy) + static_cast<size_t>(sx) * pixel, pixel);
    }
  }
  if (quarter) std::swap(out.meta.resolutionX, out.meta.resolutionY);
  out.meta.orientation = 1;
  SetExifOrientation(&out.meta.exif, 1);
  return out;
}

bool IccMatches(const std::vector<uint8_t>& icc, ColorModel model) {
  if (icc.size() < 20) return false;
  const char* space = model == ColorModel::kGray  ? "GRAY"
                      : model == ColorModel::kRGB ? "RGB "
                                                  : "CMYK";
  return std::memcmp(icc.data() + 16, space, 4) == 0;
}

bool DropUnfittingIcc(Metadata* meta, ColorModel model) {
  if (meta->icc.empty() || IccMatches(meta->icc, model)) return false;
  meta->icc.clear();
  return true;
}

double PerInch(double value, Metadata::Unit unit) {
  return unit == Metadata::Unit::kCentimetre ? value * 2.54 : value;
}

std::vector<std::pair<std::string, std::string>> DescribeMetadata(const Metadata& meta) {
  std::vector<std::pair<std::string, std::string>> lines;
  char text[160];
  if (meta.pageCount > 1) {
    std::snprintf(text, sizeof text, "%d (this is page %d)", meta.pageCount, meta.page + 1);
    lines.emplace_back("pages", text);
  }
  if (!meta.icc.empty()) {
    // The profile's description is not parsed; its size and class are shown.
    std::string cls =
        meta.icc.size() >= 16 ? std::string(meta.icc.begin() + 12, meta.icc.begin() + 16) : "?";
    std::snprintf(text, sizeof text, "%zu bytes (class '%s')", meta.icc.size(), cls.c_str());
    lines.emplace_back("ICC profile", text);
  }
  if (meta.HasResolution()) {
    const char* unit = meta.resolutionUnit == Metadata::Unit::kInch         ? "pixels per inch"
                       : meta.resolutionUnit == Metadata::Unit::kCentimetre ? "pixels per cm"
                                                                            : "(aspect only)";
    std::snprintf(text, sizeof text, "%g x %g %s", meta.resolutionX, meta.resolutionY, unit);
    lines.emplace_back("resolution", text);
  }
  if (meta.orientation != 1) {
    static const char* const kTurn[] = {"",
                                        "",
                                        "mirror left-right",
                                        "turn 180 degrees",
                                        "mirror top-bottom",
                                        "mirror along the main diagonal",
                                        "turn 90 degrees clockwise",
                                        "mirror along the other diagonal",
                                        "turn 90 degrees counter-clockwise"};
    std::snprintf(text, sizeof text, "%d (viewers %s; --auto-orient applies it)", meta.orientation,
                  kTurn[meta.orientation]);
    lines.emplace_back("orientation", text);
  }
  if (!meta.exif.empty()) lines.emplace_back("EXIF", std::to_string(meta.exif.size()) + " bytes");
  if (!meta.xmp.empty()) lines.emplace_back("XMP", std::to_string(meta.xmp.size()) + " bytes");
  for (const auto& [key, value] : meta.text) {
    std::string shown = value.size() > 60 ? value.substr(0, 57) + "..." : value;
    for (char& c : shown) {
      if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    lines.emplace_back("text " + key, shown);
  }
  return lines;
}

}  // namespace lumeno::cli

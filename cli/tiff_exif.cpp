// EXIF between TIFF pages and the tool's EXIF block. A TIFF page holds its
// camera tags (Make, Model, DateTime, ...) in its own directory and points to
// an EXIF and a GPS directory, which libtiff reads and writes as custom
// directories; the block holds the same tags in a TIFF structure of its own.
//
// A custom directory is written before the page it belongs to: libtiff keeps
// one directory in memory at a time, and writing the page first would mean
// reading it back and writing it a second time to add the pointer. So the
// EXIF and GPS directories go first, a fresh page directory is started, and
// the page (its pointers set) is written after its rows as usual; this also
// suits a page whose rows arrive band by band.
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

#include "cli/codec_common.h"
#include "cli/metadata.h"

namespace lumeno::cli::codec {

namespace {

// Tags of a page's own directory that describe the camera and the picture;
// those of the pixel layout are the writer's own. Orientation, read into the
// block too, is written from the metadata's orientation.
constexpr uint16_t kCameraTags[] = {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE,     TIFFTAG_MODEL,
                                    TIFFTAG_SOFTWARE,         TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                                    TIFFTAG_COPYRIGHT};

// Field types holding the same kind of value, converted into one another:
// unsigned and signed integers, unsigned and signed fractions, floating
// point, text; 0 for the others.
char Kind(int type) {
  switch (type) {
    case TIFF_BYTE:
    case TIFF_SHORT:
    case TIFF_LONG:
    case TIFF_UNDEFINED:
      return 'u';
    case TIFF_SBYTE:
    case TIFF_SSHORT:
    case TIFF_SLONG:
      return 's';
    case TIFF_RATIONAL:
      return 'r';
    case TIFF_SRATIONAL:
      return 'q';
    case TIFF_FLOAT:
    case TIFF_DOUBLE:
      return 'f';
    case TIFF_ASCII:
      return 'a';
    default:
      return 0;
  }
}

uint64_t GetLittle(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

void PutLittle(uint8_t* p, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Value i of a block entry as a number; false for a fraction over zero.
bool EntryNumber(const ExifEntry& e, size_t i, double* v) {
  const int unit = ExifTypeSize(e.type);
  const uint8_t* p = e.value.data() + i * static_cast<size_t>(unit);
  const uint64_t bits = GetLittle(p, std::min(unit, 4));
  switch (e.type) {
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL: {
      const uint64_t den = GetLittle(p + 4, 4);
      if (den == 0) return false;
      *v = e.type == TIFF_RATIONAL
               ? static_cast<double>(bits) / static_cast<double>(den)
               : static_cast<int32_t>(bits) / static_cast<double>(static_cast<int32_t>(den));
      return true;
    }
    case TIFF_FLOAT: {
      float f;
      const auto b32 = static_cast<uint32_t>(bits);
      std::memcpy(&f, &b32, 4);
      *v = f;
      return true;
    }
    case TIFF_DOUBLE: {
      const uint64_t b64 = GetLittle(p, 8);
      std::memcpy(v, &b64, 8);
      return true;
    }
    default: {
      const int shift = 64 - 8 * unit;  // sign-extends a signed integer
      *v = Kind(e.type) == 's' ? static_cast<double>(static_cast<int64_t>(bits << shift) >> shift)
                               : static_cast<double>(bits);
      return true;
    }
  }
}

// Stores `v` at `to` as libtiff's set and get calls take a value of this
// field type: `size` bytes, fractions as float or double; false when it does
// not fit.
bool PutNative(double v, TIFFDataType type, int size, uint8_t* to) {
  const char kind = Kind(type);
  if (kind == 'r' || kind == 'q' || kind == 'f') {
    if (size == 4) {
      const auto f = static_cast<float>(v);
      std::memcpy(to, &f, 4);
    } else if (size == 8) {
      std::memcpy(to, &v, 8);
    } else {
      return false;
    }
    return true;
  }
  if (size != 1 && size != 2 && size != 4) return false;
  const double top = std::ldexp(1.0, 8 * size - (kind == 's' ? 1 : 0));
  if (v != std::floor(v) || v >= top || v < (kind == 's' ? -top : 0.0)) return false;
  const auto bits = static_cast<uint32_t>(static_cast<int64_t>(v));
  const uint8_t b8 = static_cast<uint8_t>(bits);
  const uint16_t b16 = static_cast<uint16_t>(bits);
  const void* from = &bits;
  if (size < 4) from = size == 1 ? static_cast<const void*>(&b8) : &b16;
  std::memcpy(to, from, static_cast<size_t>(size));
  return true;
}

// A fraction as libtiff hands it out: a float or a double (`size` 4 or 8).
double NativeFraction(const uint8_t* p, int size) {
  if (size == 4) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  double d;
  std::memcpy(&d, p, 8);
  return d;
}

// The fraction of 32-bit terms (31 bits signed) nearest to `v` that equals
// it to the precision it was kept in (float: `size` 4, or double), by
// continued fractions: 0.004 becomes 1/250, 2.8 becomes 14/5.
void PutFraction(double v, bool isSigned, int size, uint8_t* to) {
  const double limit = isSigned ? 2147483647.0 : 4294967295.0;
  double x = std::fabs(v);
  x = std::isnan(x) ? 0.0 : std::min(x, limit);
  const double target = x, tolerance = target * (size == 4 ? 1e-7 : 1e-15);
  double h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  for (int i = 0; i < 64; ++i) {
    const double a = std::floor(x), h2 = a * h1 + h0, k2 = a * k1 + k0;
    if (h2 > limit || k2 > limit) break;
    h0 = std::exchange(h1, h2);
    k0 = std::exchange(k1, k2);
    if (x == a || std::fabs(target - h1 / k1) <= tolerance) break;
    x = 1 / (x - a);
  }
  const auto num = static_cast<int64_t>(h1) * (v < 0 && isSigned ? -1 : 1);
  PutLittle(to, static_cast<uint64_t>(num), 4);
  PutLittle(to + 4, static_cast<uint64_t>(k1), 4);
}

// The value of `tag` in the current directory as a block entry of its
// field's type; false when it is not set or of a type the block does not hold.
bool GetEntry(TIFF* t, uint32_t tag, ExifEntry* e) {
  const TIFFField* f = TIFFFieldWithTag(t, tag);
  if (f == nullptr) return false;
  const TIFFDataType type = TIFFFieldDataType(f);
  const int unit = ExifTypeSize(static_cast<uint16_t>(type)), size = TIFFFieldSetGetSize(f);
  const int readCount = TIFFFieldReadCount(f);
  if (Kind(type) == 0 || unit == 0) return false;
  uint32_t count = 0;
  void* data = nullptr;
  double one = 0;  // room for one value of any size
  int got = 0;
  if (TIFFFieldPassCount(f)) {
    uint16_t count16 = 0;
    got = readCount == TIFF_VARIABLE2 ? TIFFGetField(t, tag, &count, &data)
                                      : TIFFGetField(t, tag, &count16, &data);
    if (readCount != TIFF_VARIABLE2) count = count16;
  } else if (type == TIFF_ASCII) {
    char* text = nullptr;
    got = TIFFGetField(t, tag, &text);
    data = text;
    count = text != nullptr ? static_cast<uint32_t>(std::strlen(text) + 1) : 0;
  } else if (readCount == 1) {
    got = TIFFGetField(t, tag, &one);
    data = &one;
    count = 1;
  } else if (readCount > 1) {
    got = TIFFGetField(t, tag, &data);
    count = static_cast<uint32_t>(readCount);
  }
  if (got == 0 || data == nullptr || count == 0) return false;
  const bool fraction = type == TIFF_RATIONAL || type == TIFF_SRATIONAL;
  if (type != TIFF_ASCII && (fraction ? size != 4 && size != 8 : size != unit)) return false;
  *e = {static_cast<uint16_t>(tag), static_cast<uint16_t>(type), count,
        std::vector<uint8_t>(size_t{count} * static_cast<size_t>(unit))};
  const auto* from = static_cast<const uint8_t*>(data);
  if (type == TIFF_ASCII) {
    std::copy(from, from + count, e->value.begin());
    return true;
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* at = from + i * static_cast<size_t>(size);
    uint8_t* to = e->value.data() + i * static_cast<size_t>(unit);
    if (fraction) {
      PutFraction(NativeFraction(at, size), type == TIFF_SRATIONAL, size, to);
      continue;
    }
    // The same number, from the machine's byte order to the block's.
    for (int k = 0; k < unit; ++k) {
      to[k] = at[std::endian::native == std::endian::little ? k : unit - 1 - k];
    }
  }
  return true;
}

// Sets a block entry in the current directory when libtiff knows its tag
// with a type of the same kind and takes its count; false otherwise.
bool SetEntry(TIFF* t, const ExifEntry& e) {
  const TIFFField* f = TIFFFindField(t, e.tag, TIFF_ANY);
  if (f == nullptr || e.count == 0) return false;
  const TIFFDataType type = TIFFFieldDataType(f);
  if (Kind(type) == 0 || Kind(type) != Kind(e.type)) return false;
  const bool passCount = TIFFFieldPassCount(f) != 0;
  const int writeCount = TIFFFieldWriteCount(f), size = TIFFFieldSetGetSize(f);
  if (type == TIFF_ASCII) {
    const std::string text(e.value.begin(), std::find(e.value.begin(), e.value.end(), 0));
    return !passCount && TIFFSetField(t, e.tag, text.c_str()) != 0;
  }
  if (!passCount && (writeCount <= 0 || static_cast<uint32_t>(writeCount) != e.count)) {
    return false;
  }
  if (size <= 0) return false;
  std::vector<uint8_t> values(size_t{e.count} * static_cast<size_t>(size));
  double v = 0;
  for (size_t i = 0; i < e.count; ++i) {
    if (!EntryNumber(e, i, &v) ||
        !PutNative(v, type, size, values.data() + i * static_cast<size_t>(size))) {
      return false;
    }
  }
  if (passCount) {
    if (writeCount == TIFF_VARIABLE2) return TIFFSetField(t, e.tag, e.count, values.data()) != 0;
    return e.count <= 65535 && TIFFSetField(t, e.tag, static_cast<int>(e.count), values.data());
  }
  if (e.count > 1) return TIFFSetField(t, e.tag, values.data()) != 0;
  // One value goes by value: integers as int (LONG as uint32), the rest as double.
  if (type == TIFF_LONG) return TIFFSetField(t, e.tag, static_cast<uint32_t>(v)) != 0;
  if (Kind(type) == 'u' || Kind(type) == 's') return TIFFSetField(t, e.tag, static_cast<int>(v));
  return TIFFSetField(t, e.tag, v) != 0;
}

// Writes a custom directory (`create` sets up the EXIF or GPS one) with the
// entries libtiff takes; `offset` stays 0 when it takes none.
bool WriteCustomDirectory(TIFF* t, int (*create)(TIFF*), const std::vector<ExifEntry>& entries,
                          uint64_t* offset) {
  *offset = 0;
  if (entries.empty()) return true;
  TIFFFreeDirectory(t);  // libtiff does not free the directory it leaves
  if (create(t) != 0) return false;
  int set = 0;
  for (const ExifEntry& e : entries) set += SetEntry(t, e) ? 1 : 0;
  return set == 0 || TIFFWriteCustomDirectory(t, offset) == 1;
}

}  // namespace

bool ReadTiffExif(TIFF* t, int page, Metadata* meta) {
  ExifDirectories dirs;
  ExifEntry e;
  for (const uint16_t tag : kCameraTags) {
    if (GetEntry(t, tag, &e)) dirs.main.push_back(std::move(e));
  }
  const bool camera = std::any_of(dirs.main.begin(), dirs.main.end(), [](const ExifEntry& m) {
    return m.tag == TIFFTAG_MAKE || m.tag == TIFFTAG_MODEL;
  });
  if (GetEntry(t, TIFFTAG_ORIENTATION, &e)) dirs.main.push_back(std::move(e));
  uint64_t exifAt = 0, gpsAt = 0;
  TIFFGetField(t, TIFFTAG_EXIFIFD, &exifAt);
  TIFFGetField(t, TIFFTAG_GPSIFD, &gpsAt);
  if (exifAt == 0 && gpsAt == 0 && !camera) return true;
  const struct {
    uint64_t at;
    int (*read)(TIFF*, toff_t);
    std::vector<ExifEntry>* into;
  } kSubs[] = {{exifAt, TIFFReadEXIFDirectory, &dirs.exif},
               {gpsAt, TIFFReadGPSDirectory, &dirs.gps}};
  for (const auto& sub : kSubs) {
    // A directory libtiff cannot read is left out.
    if (sub.at == 0 || !sub.read(t, sub.at)) continue;
    for (int i = 0, n = TIFFGetTagListCount(t); i < n; ++i) {
      // The interoperability directory's offset would point into the TIFF.
      const uint32_t tag = TIFFGetTagListEntry(t, i);
      if (tag != TIFFTAG_INTEROPERABILITYIFD && GetEntry(t, tag, &e)) {
        sub.into->push_back(std::move(e));
      }
    }
  }
  meta->exif = BuildExif(dirs);
  return (exifAt == 0 && gpsAt == 0) || TIFFSetDirectory(t, static_cast<tdir_t>(page));
}

bool WriteTiffExif(TIFF* t, const std::vector<uint8_t>& exif) {
  ExifDirectories dirs;
  if (exif.empty() || !ParseExif(exif, &dirs)) return true;
  uint64_t exifAt = 0, gpsAt = 0;
  const bool written = WriteCustomDirectory(t, TIFFCreateEXIFDirectory, dirs.exif, &exifAt) &&
                       WriteCustomDirectory(t, TIFFCreateGPSDirectory, dirs.gps, &gpsAt);
  if (!dirs.exif.empty() || !dirs.gps.empty()) {
    TIFFFreeDirectory(t);
    TIFFCreateDirectory(t);  // the page's own, fresh
  }
  if (!written) return false;
  if (exifAt != 0) TIFFSetField(t, TIFFTAG_EXIFIFD, exifAt);
  if (gpsAt != 0) TIFFSetField(t, TIFFTAG_GPSIFD, gpsAt);
  for (const ExifEntry& m : dirs.main) {
    if (std::find(std::begin(kCameraTags), std::end(kCameraTags), m.tag) != std::end(kCameraTags)) {
      SetEntry(t, m);
    }
  }
  return true;
}

}  // namespace lumeno::cli::codec

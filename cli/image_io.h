// Image files of the lumeno tool: PNG (libpng), JPEG (libjpeg-turbo), TIFF
// (libtiff) and WebP (libwebp) read into and written from one packed
// in-memory image that keeps the file's depth, channels and metadata.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumeno::cli {

enum class ColorModel { kGray, kRGB, kCMYK };

enum class FileType { kUnknown, kPNG, kJPEG, kTIFF, kWebP };

// What a photographer expects to survive a run besides the pixels. Each file
// type keeps what it can hold: PNG (iCCP, pHYs, eXIf, XMP and text chunks),
// JPEG (ICC, JFIF density, EXIF, XMP, comment), TIFF (ICC, resolution,
// orientation, XMP, description tags, EXIF as camera tags and EXIF and GPS
// directories), WebP (ICC, EXIF, XMP).
struct Metadata {
  std::vector<uint8_t> icc;  // an ICC profile as stored
  // Pixels per unit; 0 = not given. kNone: only the aspect ratio means anything.
  enum class Unit { kNone, kInch, kCentimetre };
  double resolutionX = 0;
  double resolutionY = 0;
  Unit resolutionUnit = Unit::kInch;
  // The EXIF block as a TIFF structure ("II*\0" or "MM\0*" first), without
  // JPEG's "Exif\0\0" prefix.
  std::vector<uint8_t> exif;
  std::string xmp;  // the XMP packet (XML)
  // How viewers turn the stored pixels (EXIF/TIFF Orientation, 1 to 8; 1 =
  // as stored). The EXIF block's own tag is kept equal to it.
  int orientation = 1;
  // Keyword and text pairs (PNG text chunks, JPEG comment as "Comment", TIFF
  // ImageDescription/Artist/Copyright/Software/DateTime).
  std::vector<std::pair<std::string, std::string>> text;
  FileType sourceType = FileType::kUnknown;  // the type of the file read
  int pageCount = 1;                         // pages in that file
  int page = 0;                              // which of them it is

  bool HasResolution() const { return resolutionX > 0 && resolutionY > 0; }
};

struct Image;

// Rows handed to a writer band by band, so that a whole picture never has to
// be in memory: the writer asks for the rows in order, and `band` gets the
// next `rows` rows (a view valid until the next call).
class RowProducer {
 public:
  virtual ~RowProducer() = default;
  virtual bool Next(int64_t rows, Image* band, std::string* error) = 0;
  // After the last rows: the text that followed the pixels in the source
  // file is added to `meta`'s text.
  virtual bool Finish(Metadata* meta, std::string* error) = 0;
};

// Samples are interleaved and tightly packed: colour channels in model order
// (gray; R, G, B; C, M, Y, K) followed by alpha when present. 16-bit samples
// are stored in native byte order.
struct Image {
  int64_t width = 0;
  int64_t height = 0;
  ColorModel model = ColorModel::kRGB;
  bool alpha = false;
  int bits = 8;  // 8 or 16
  std::vector<uint8_t> data;
  // When set, the rows live in memory the image does not own (a bitmap's
  // pixels), `stride` bytes apart, and `data` stays empty.
  uint8_t* pixels = nullptr;
  int64_t stride = 0;

  int ColorChannels() const;
  int Channels() const { return ColorChannels() + (alpha ? 1 : 0); }
  int64_t PixelBytes() const { return Channels() * (bits / 8); }
  int64_t RowBytes() const { return width * PixelBytes(); }
  void Allocate() {
    pixels = nullptr;
    data.assign(static_cast<size_t>(RowBytes() * height), 0);
  }
  const uint8_t* Row(int64_t y) const {
    return pixels != nullptr ? pixels + y * stride : data.data() + y * RowBytes();
  }
  uint8_t* MutableRow(int64_t y) {
    return pixels != nullptr ? pixels + y * stride : data.data() + y * RowBytes();
  }
  uint16_t Sample16(int64_t x, int64_t y, int c) const;

  Metadata meta;
  // Further pages written after this one (multi-page TIFF output).
  std::vector<Image> morePages;
  // When set, PNG, TIFF and JPEG writers take the rows from it band by band
  // (`data` and `pixels` stay empty).
  std::shared_ptr<RowProducer> producer;
};

// JPEG qualities from this one up keep the colour at full resolution (4:4:4).
constexpr int kFullChromaQuality = 90;

struct WriteOptions {
  int pngCompression = 2;  // zlib level 0..9
  int jpegQuality = 92;    // also WebP's; 100 writes lossless WebP
  int threads = 0;         // PNG encoding threads; 0 = automatic
};

// "PNG", "JPEG", "TIFF", "WebP" or "unknown".
const char* FileTypeName(FileType type);
// The extension, with its dot, that a batch output of this type gets.
std::string FileExtension(FileType type);
const char* ColorModelName(ColorModel model);
// By the file's first bytes.
FileType DetectFileType(const std::string& path);
FileType DetectFileType(const uint8_t* head, size_t size);
// By the extension (.png, .jpg, .jpeg, .tif, .tiff, .webp; any case).
FileType FileTypeForExtension(const std::string& path);
// By a name given on the command line ("png", "jpg", "jpeg", "tif", "tiff",
// "webp"; any case).
FileType FileTypeForName(const std::string& name);

// A file's header alone decides how much memory its pixels take, so a damaged
// or hostile file could ask for any amount. Readers refuse, before taking any
// pixel memory, sizes beyond these limits and beyond what a bitmap can hold
// (2147483647 pixels on a side, 64 GiB of pixels).
struct ReadLimits {
  // 2^30 pixels (32768 x 32768; 4 GiB at 8-bit RGBA) unless raised; 0 leaves
  // only the bitmap limits.
  static constexpr int64_t kDefaultMaxPixels = int64_t{1} << 30;
  int64_t maxPixels = kDefaultMaxPixels;
  // Which page of a multi-page file to read, counted from 0.
  int page = 0;
};

// Called by ReadImage once the size and layout are known: it may point
// `pixels`/`stride` at memory of its own for the rows (returning true), so
// that the file is decoded straight into it; otherwise the image allocates.
using PixelTarget = std::function<bool(Image* image)>;

// Called as rows are decoded or encoded (from any thread, one call at a
// time), so that a progress line can follow the file work; empty: no calls.
using RowProgress = std::function<void(int64_t done, int64_t total)>;
void SetRowProgress(RowProgress progress);

// Reads a file ("-": standard input); on failure returns false with a message
// naming the problem.
// Truncated data is a failure too (libjpeg would otherwise fill the rest of
// the picture with gray).
bool ReadImage(const std::string& path, Image* image, std::string* error,
               const PixelTarget& target = {}, const ReadLimits& limits = {});
// Rows per band when a picture is processed band by band: about 16 MB of
// rows, at least 16 (the LUMENO_BAND_ROWS environment variable sets it, for
// tests).
int64_t BandRows(int64_t rowBytes);

// A file's rows read in order, band by band.
class RowReader {
 public:
  virtual ~RowReader() = default;
  // Fills the band's rows (band->height of them) with the next rows.
  virtual bool Read(Image* band, std::string* error) = 0;
  // After the last rows: the text that follows them, added to `meta`.
  virtual bool Finish(Metadata* meta, std::string* error) = 0;
};

// Opens a file whose rows can be read in order (a PNG file that is not
// interlaced, a JPEG file, a single-page TIFF file in strips or tiles that
// the tool reads directly), filling `header` with its size, layout and
// metadata. Null with an empty error for other files (they are read whole),
// null with a message for a damaged one.
std::unique_ptr<RowReader> OpenRowReader(const std::string& path, const ReadLimits& limits,
                                         Image* header, std::string* error);

// Writes an image in the given type ("-": standard output). Conversions a type needs (JPEG holds
// neither alpha nor 16 bits; PNG holds no CMYK) are refused with an error,
// except as WriteImageConverted allows.
bool WriteImage(const std::string& path, FileType type, const Image& image,
                const WriteOptions& options, std::string* error);

// Converts an image so that `type` can store it: JPEG drops alpha, JPEG and
// WebP keep the high byte of 16-bit samples, WebP stores gray as RGB, TIFF
// leaves out a damaged EXIF block. Returns a note of what changed, or "".
std::string ConvertForFileType(FileType type, Image* image);

}  // namespace lumeno::cli

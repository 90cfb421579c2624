// PNG and JPEG files into and out of the tool's packed Image, and the entry
// points for every file type (TIFF and WebP are in tiff_io.cpp, webp_io.cpp).
//
// libpng and libjpeg report fatal errors through longjmp; the functions that
// set a jump point create every C++ object they need before it, so a jump
// never skips a destructor.
#include "cli/image_io.h"

#include <jerror.h>  // after jpeglib.h
#include <jpeglib.h>
#include <png.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "cli/codec_common.h"
#include "cli/metadata.h"
#include "host/raw_bitmap_class.h"

// libpng and libjpeg report errors by longjmp back to the reading or writing
// function. Objects used after the jump (the row vectors, the error text)
// live in memory, not registers; GCC at low optimisation still warns about
// temporaries inside std::string that are built only after the jump.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wclobbered"
#endif

namespace lumeno::cli {

int Image::ColorChannels() const {
  switch (model) {
    case ColorModel::kGray:
      return 1;
    case ColorModel::kRGB:
      return 3;
    case ColorModel::kCMYK:
      return 4;
  }
  return 3;
}

uint16_t Image::Sample16(int64_t x, int64_t y, int c) const {
  const uint8_t* p = Row(y) + x * PixelBytes();
  if (bits == 8) return p[c];
  uint16_t v;
  std::memcpy(&v, p + c * 2, 2);
  return v;
}

namespace {

// Each file type the tool writes: its name in messages, the extension its
// batch outputs get, and a second extension it is known by.
struct FileTypeFacts {
  FileType type;
  const char* name;
  const char* extension;
  const char* alias;
};
constexpr FileTypeFacts kFileTypes[] = {{FileType::kPNG, "PNG", "png", "png"},
                                        {FileType::kJPEG, "JPEG", "jpg", "jpeg"},
                                        {FileType::kTIFF, "TIFF", "tif", "tiff"},
                                        {FileType::kWebP, "WebP", "webp", "webp"}};

const FileTypeFacts* FactsOf(FileType type) {
  for (const FileTypeFacts& f : kFileTypes) {
    if (f.type == type) return &f;
  }
  return nullptr;
}

}  // namespace

const char* FileTypeName(FileType type) {
  const FileTypeFacts* f = FactsOf(type);
  return f != nullptr ? f->name : "unknown";
}

std::string FileExtension(FileType type) {
  const FileTypeFacts* f = FactsOf(type);
  return f != nullptr ? std::string(".") + f->extension : "";
}

const char* ColorModelName(ColorModel model) {
  switch (model) {
    case ColorModel::kGray:
      return "gray";
    case ColorModel::kRGB:
      return "RGB";
    case ColorModel::kCMYK:
      return "CMYK";
  }
  return "?";
}

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Megapixels(int64_t pixels) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(pixels) / 1e6);
  return text;
}

std::mutex gRowProgressLock;
RowProgress gRowProgress;

}  // namespace

void SetRowProgress(RowProgress progress) {
  std::lock_guard<std::mutex> lock(gRowProgressLock);
  gRowProgress = std::move(progress);
}

namespace codec {

void ReportRows(int64_t done, int64_t total) {
  std::lock_guard<std::mutex> lock(gRowProgressLock);
  if (gRowProgress) gRowProgress(done, total);
}

std::string ErrnoText() { return std::strerror(errno); }

std::string SizeText(int64_t width, int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

bool CheckDeclaredSize(const std::string& path, const char* type, int64_t width, int64_t height,
                       int64_t pixelBytes, const ReadLimits& limits, std::string* error) {
  constexpr int64_t kMaxSide = 0x7FFFFFFF;
  const std::string prefix = path + ": the " + type + " header declares ";
  if (width <= 0 || height <= 0) {
    *error = prefix + "an empty image (" + SizeText(width, height) + ")";
    return false;
  }
  if (width > kMaxSide || height > kMaxSide ||
      width * height > host::kMaxPixelBytes / std::max<int64_t>(pixelBytes, 1)) {
    *error = prefix + SizeText(width, height) + " pixels, more than a bitmap can hold";
    return false;
  }
  if (limits.maxPixels > 0 && width * height > limits.maxPixels) {
    *error = prefix + SizeText(width, height) + " pixels (" + Megapixels(width * height) +
             " megapixels), more than the limit of " + Megapixels(limits.maxPixels) +
             " megapixels; --max-pixels raises it";
    return false;
  }
  return true;
}

bool AllocatePixels(const std::string& path, Image* image, const PixelTarget& target,
                    std::string* error) {
  try {
    if (target && target(image)) return true;
    image->Allocate();
    return true;
  } catch (const std::bad_alloc&) {
    image->data = {};
    image->pixels = nullptr;
    *error = path + ": not enough memory for a " + SizeText(image->width, image->height) +
             " image (" + std::to_string(image->RowBytes() * image->height >> 20) + " MiB)";
    return false;
  }
}

const uint8_t* RowFeed::Row(int64_t y, std::string* error) {
  if (!image_.producer) return image_.Row(y);
  if (y == bandStart_ + band_.height) {
    bandStart_ = y;
    if (!image_.producer->Next(std::min(BandRows(image_.RowBytes()), image_.height - y), &band_,
                               error)) {
      return nullptr;
    }
  }
  return band_.Row(y - bandStart_);
}

void SetResolutionPerMetre(Metadata* meta, double x, double y, bool metres) {
  auto perInch = [&](double v) { return metres ? std::round(v * 0.0254 * 100) / 100 : v; };
  meta->resolutionX = perInch(x);
  meta->resolutionY = perInch(y);
  meta->resolutionUnit = metres ? Metadata::Unit::kInch : Metadata::Unit::kNone;
}

}  // namespace codec

namespace {

using codec::AllocatePixels;
using codec::CheckDeclaredSize;
using codec::ErrnoText;
using codec::SizeText;

// Bytes in a regular file, or -1 (a pipe).
int64_t FileBytes(FILE* file) {
  struct stat st;
  if (::fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

// ---------------------------------------------------------------------------
// PNG

struct PngError {
  std::jmp_buf jump;
  char message[256];
  int64_t height;  // for the progress of reading
  int passes;
};

void PngErrorFn(png_structp png, png_const_charp msg) {
  auto* err = static_cast<PngError*>(png_get_error_ptr(png));
  std::snprintf(err->message, sizeof err->message, "%s", msg);
  std::longjmp(err->jump, 1);
}

void PngWarningFn(png_structp, png_const_charp) {}

// Deflate packs at most 1032 bytes into one, so a file smaller than its
// filtered rows / 1032 cannot hold them: it is truncated or damaged, and is
// refused before its pixel memory is taken.
bool CheckPngDataFits(FILE* file, const std::string& path, const Image& image, int bitsPerPixel,
                      std::string* error) {
  const int64_t fileBytes = FileBytes(file);
  if (fileBytes < 0) return true;
  const int64_t rowBytes = (image.width * bitsPerPixel + 7) / 8;
  const int64_t filtered = image.height * (rowBytes + 1);
  if (filtered / 1032 <= fileBytes + 4096) return true;
  *error = path + ": the PNG header declares " + SizeText(image.width, image.height) +
           " pixels, more than its " + std::to_string(fileBytes) +
           " bytes can hold; the file is truncated or damaged";
  return false;
}

constexpr const char* kXmpKeyword = "XML:com.adobe.xmp";

// The ICC profile, resolution, EXIF block and text chunks, read once the
// whole file is (text may follow the pixels).
void ReadPngMetadata(png_structp png, png_infop info, Metadata* meta) {
  png_charp name = nullptr;
  int method = 0;
  png_bytep profile = nullptr;
  png_uint_32 size = 0;
  if (png_get_iCCP(png, info, &name, &method, &profile, &size) != 0 && profile != nullptr) {
    meta->icc.assign(profile, profile + size);
  }
  png_uint_32 x = 0, y = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &x, &y, &unit) != 0 && x > 0 && y > 0) {
    codec::SetResolutionPerMetre(meta, x, y, unit == PNG_RESOLUTION_METER);
  }
  png_bytep exif = nullptr;
  png_uint_32 exifSize = 0;
  if (png_get_eXIf_1(png, info, &exifSize, &exif) != 0 && exif != nullptr) {
    meta->exif.assign(exif, exif + exifSize);
    if (const int o = ExifOrientation(meta->exif)) meta->orientation = o;
  }
  png_textp text = nullptr;
  int count = 0;
  png_get_text(png, info, &text, &count);
  for (int i = 0; i < count; ++i) {
    const std::string key = text[i].key;
    const std::string value(text[i].text != nullptr ? text[i].text : "",
                            text[i].compression >= PNG_ITXT_COMPRESSION_NONE ? text[i].itxt_length
                                                                             : text[i].text_length);
    if (key == kXmpKeyword) {
      meta->xmp = value;
    } else {
      meta->text.emplace_back(key, value);
    }
  }
}

// A PNG file's rows in order. libpng's errors jump back into whichever
// method is running, which then returns false.
class PngRows {
 public:
  PngRows() = default;
  PngRows(const PngRows&) = delete;
  PngRows& operator=(const PngRows&) = delete;
  ~PngRows() {
    if (png_ != nullptr) png_destroy_read_struct(&png_, &info_, nullptr);
  }

  // Reads the header (after the signature), sets the transforms to the
  // image's packed layout and fills in the layout and the metadata before
  // the pixels.
  bool Start(FILE* file, const std::string& path, Image* image, const ReadLimits& limits,
             std::string* error) {
    path_ = path;
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &err_, PngErrorFn, PngWarningFn);
    if (png_ == nullptr) {
      *error = "out of memory reading " + path;
      return false;
    }
    info_ = png_create_info_struct(png_);
    if (setjmp(err_.jump)) return Failed(error);
    png_init_io(png_, file);
    png_set_sig_bytes(png_, 8);  // the caller has read and checked the signature
    png_read_info(png_, info_);
    const int colorType = png_get_color_type(png_, info_);
    const int depth = png_get_bit_depth(png_, info_);
    const int fileChannels = png_get_channels(png_, info_);
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
    if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png_);
    if (png_get_valid(png_, info_, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png_);
    if (depth == 16) {
      const uint16_t one = 1;
      uint8_t firstByte;
      std::memcpy(&firstByte, &one, 1);
      if (firstByte == 1) png_set_swap(png_);  // PNG stores 16-bit samples big-endian
    }
    err_.passes = png_set_interlace_handling(png_);
    png_set_read_status_fn(png_, [](png_structp p, png_uint_32 row, int pass) {
      const auto* e = static_cast<const PngError*>(png_get_error_ptr(p));
      codec::ReportRows(pass * e->height + row, e->passes * e->height);
    });
    png_read_update_info(png_, info_);
    const int channels = png_get_channels(png_, info_);
    image->width = png_get_image_width(png_, info_);
    image->height = png_get_image_height(png_, info_);
    err_.height = image->height;
    image->bits = png_get_bit_depth(png_, info_) == 16 ? 16 : 8;
    image->model = channels <= 2 ? ColorModel::kGray : ColorModel::kRGB;
    image->alpha = channels == 2 || channels == 4;
    ReadPngMetadata(png_, info_, &image->meta);
    textBefore_ = image->meta.text.size();
    return CheckDeclaredSize(path, "PNG", image->width, image->height, image->PixelBytes(), limits,
                             error) &&
           CheckPngDataFits(file, path, *image, depth * fileChannels, error);
  }

  // An interlaced file gives its rows only all at once.
  bool Interlaced() const { return err_.passes > 1; }

  // The next rows of the picture, all of them when interlaced.
  bool Read(png_bytepp rows, int64_t count, std::string* error) {
    if (setjmp(err_.jump)) return Failed(error);
    if (Interlaced()) {
      png_read_image(png_, rows);
    } else {
      for (int64_t i = 0; i < count; ++i) png_read_row(png_, rows[i], nullptr);
    }
    return true;
  }

  // The chunks after the pixels: text there is added to the metadata.
  bool Finish(Metadata* meta, std::string* error) {
    if (setjmp(err_.jump)) return Failed(error);
    png_read_end(png_, info_);
    Metadata all;
    ReadPngMetadata(png_, info_, &all);
    meta->text.insert(meta->text.end(), all.text.begin() + static_cast<std::ptrdiff_t>(textBefore_),
                      all.text.end());
    return true;
  }

 private:
  bool Failed(std::string* error) {
    *error = path_ + ": not a readable PNG file (" + err_.message + ")";
    return false;
  }

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  PngError err_{};
  std::string path_;
  size_t textBefore_ = 0;  // text chunks before the pixels
};

bool ReadPng(FILE* file, const std::string& path, Image* image, std::string* error,
             const PixelTarget& target, const ReadLimits& limits) {
  PngRows png;
  if (!png.Start(file, path, image, limits, error) || !AllocatePixels(path, image, target, error)) {
    return false;
  }
  std::vector<png_bytep> rows(static_cast<size_t>(image->height));
  for (int64_t y = 0; y < image->height; ++y) rows[static_cast<size_t>(y)] = image->MutableRow(y);
  return png.Read(rows.data(), image->height, error) && png.Finish(&image->meta, error);
}

class PngRowReader final : public RowReader {
 public:
  explicit PngRowReader(File file) : file_(std::move(file)) {}
  PngRows& Png() { return png_; }
  FILE* Stream() { return file_.get(); }
  bool Read(Image* band, std::string* error) override {
    std::vector<png_bytep> rows(static_cast<size_t>(band->height));
    for (int64_t y = 0; y < band->height; ++y) rows[static_cast<size_t>(y)] = band->MutableRow(y);
    return png_.Read(rows.data(), band->height, error);
  }
  bool Finish(Metadata* meta, std::string* error) override { return png_.Finish(meta, error); }

 private:
  File file_;
  PngRows png_;
};

// PNG is written here rather than through libpng so that the deflate work can
// be split across threads: the rows are cut into bands, each band is filtered
// and compressed on its own thread into a piece of one zlib stream (a raw
// deflate ending on a byte boundary with a sync flush, the last one finished),
// and the pieces' Adler-32 sums are combined. Any inflater reads the result
// as one ordinary stream; only the few bytes the bands cannot share as
// history are lost.

void PutBigEndian32(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v >> 24));
  out->push_back(static_cast<uint8_t>(v >> 16));
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

bool WriteChunk(FILE* file, const char* type, const uint8_t* data, size_t size) {
  std::vector<uint8_t> head;
  PutBigEndian32(&head, static_cast<uint32_t>(size));
  head.insert(head.end(), type, type + 4);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
  if (size > 0) crc = crc32(crc, data, static_cast<uInt>(size));
  std::vector<uint8_t> tail;
  PutBigEndian32(&tail, static_cast<uint32_t>(crc));
  return std::fwrite(head.data(), 1, head.size(), file) == head.size() &&
         (size == 0 || std::fwrite(data, 1, size, file) == size) &&
         std::fwrite(tail.data(), 1, tail.size(), file) == tail.size();
}

// Text as tEXt (plain ASCII) or uncompressed UTF-8 iTXt.
bool WritePngText(FILE* file, const std::string& key, const std::string& value) {
  const bool ascii = std::all_of(value.begin(), value.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  std::vector<uint8_t> data(key.begin(), key.begin() + std::min<size_t>(key.size(), 79));
  data.push_back(0);
  if (!ascii) data.insert(data.end(), {0, 0, 0, 0});  // not compressed, no language or translation
  data.insert(data.end(), value.begin(), value.end());
  return WriteChunk(file, ascii ? "tEXt" : "iTXt", data.data(), data.size());
}

bool WritePngTexts(FILE* file, const Metadata& meta) {
  bool ok = true;
  for (const auto& [key, value] : meta.text) {
    if (!key.empty()) ok = ok && WritePngText(file, key, value);
  }
  return ok;
}

// iCCP, pHYs, eXIf, XMP and (with `withText`) text chunks, all before the
// pixels.
bool WritePngMetadata(FILE* file, const Metadata& meta, bool withText) {
  bool ok = true;
  if (!meta.icc.empty()) {
    static const char kName[] = "ICC Profile";
    std::vector<uint8_t> data(kName, kName + sizeof kName);  // with its terminating zero
    data.push_back(0);                                       // deflate
    uLongf size = compressBound(static_cast<uLong>(meta.icc.size()));
    std::vector<uint8_t> packed(size);
    ok = compress2(packed.data(), &size, meta.icc.data(), static_cast<uLong>(meta.icc.size()), 9) ==
         Z_OK;
    data.insert(data.end(), packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(size));
    ok = ok && WriteChunk(file, "iCCP", data.data(), data.size());
  }
  if (meta.HasResolution()) {
    const bool metres = meta.resolutionUnit != Metadata::Unit::kNone;
    auto perUnit = [&](double v) {
      return static_cast<uint32_t>(
          std::lround(metres ? PerInch(v, meta.resolutionUnit) / 0.0254 : v));
    };
    std::vector<uint8_t> data;
    PutBigEndian32(&data, perUnit(meta.resolutionX));
    PutBigEndian32(&data, perUnit(meta.resolutionY));
    data.push_back(metres ? 1 : 0);
    ok = ok && WriteChunk(file, "pHYs", data.data(), data.size());
  }
  const std::vector<uint8_t> exif = ExifForWriting(meta);
  if (!exif.empty()) ok = ok && WriteChunk(file, "eXIf", exif.data(), exif.size());
  if (!meta.xmp.empty()) {
    std::vector<uint8_t> data(kXmpKeyword, kXmpKeyword + std::strlen(kXmpKeyword) + 1);
    data.insert(data.end(), {0, 0, 0, 0});
    data.insert(data.end(), meta.xmp.begin(), meta.xmp.end());
    ok = ok && WriteChunk(file, "iTXt", data.data(), data.size());
  }
  return ok && (!withText || WritePngTexts(file, meta));
}

struct PngBand {
  int64_t firstRow = 0;
  int64_t endRow = 0;
  bool last = false;
  std::vector<uint8_t> compressed;
  uLong adler = 1;
  uLong length = 0;  // uncompressed bytes
  bool ok = false;
};

// Filters rows [firstRow, endRow) with the "up" filter (one subtraction per
// byte; smooth pictures compress well and it costs far less than adaptive
// filtering) and deflates them as one piece of the stream.
// The size zlib packs `data` to at this level and strategy.
uLong PackedSize(const std::vector<uint8_t>& data, int level, int strategy) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) return ~uLong{0};
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<uint8_t*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  const uLong size = z.total_out;
  deflateEnd(&z);
  return size;
}

void CompressPngBand(const Image& image, int level, PngBand* band, const uint8_t* rowBefore,
                     std::atomic<int64_t>* rowsDone, int64_t totalRows) {
  const int64_t rowBytes = image.RowBytes();
  const bool wide = image.bits == 16;
  std::vector<uint8_t> line(static_cast<size_t>(rowBytes) + 1),
      previous(static_cast<size_t>(rowBytes)), current(static_cast<size_t>(rowBytes));
  auto bigEndianRow = [&](const uint8_t* row, std::vector<uint8_t>* out) {
    if (!wide) {
      std::memcpy(out->data(), row, static_cast<size_t>(rowBytes));
      return;
    }
    for (int64_t i = 0; i + 1 < rowBytes; i += 2) {
      uint16_t v;
      std::memcpy(&v, row + i, 2);
      (*out)[static_cast<size_t>(i)] = static_cast<uint8_t>(v >> 8);
      (*out)[static_cast<size_t>(i + 1)] = static_cast<uint8_t>(v);
    }
  };
  if (band->firstRow > 0) rowBefore = image.Row(band->firstRow - 1);
  if (rowBefore != nullptr) bigEndianRow(rowBefore, &previous);
  // The filtered row y (previous holds row y - 1) into line.
  auto filterRow = [&](int64_t y) {
    bigEndianRow(image.Row(y), &current);
    line[0] = level == 0 ? 0 : 2;  // filter type: none or up
    for (int64_t i = 0; i < rowBytes; ++i) {
      line[static_cast<size_t>(i + 1)] =
          line[0] == 2 ? static_cast<uint8_t>(current[static_cast<size_t>(i)] -
                                              previous[static_cast<size_t>(i)])
                       : current[static_cast<size_t>(i)];
    }
  };
  // At low levels zlib's run-length matching packs noisy photographs smaller
  // than its default, in about half the time, and flat noise far larger: a
  // trial on the band's first rows picks the strategy.
  int strategy = Z_DEFAULT_STRATEGY;
  if (level >= 1 && level <= 3) {
    std::vector<uint8_t> sample;
    for (int64_t y = band->firstRow; y < std::min(band->endRow, band->firstRow + 16); ++y) {
      filterRow(y);
      sample.insert(sample.end(), line.begin(), line.end());
      std::swap(previous, current);
    }
    if (!sample.empty() &&
        PackedSize(sample, level, Z_RLE) < PackedSize(sample, level, Z_DEFAULT_STRATEGY)) {
      strategy = Z_RLE;
    }
    std::fill(previous.begin(), previous.end(), uint8_t{0});
    if (rowBefore != nullptr) bigEndianRow(rowBefore, &previous);
  }
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) return;
  band->compressed.resize(
      deflateBound(&z, static_cast<uLong>((rowBytes + 1) * (band->endRow - band->firstRow))) + 16);
  z.next_out = band->compressed.data();
  z.avail_out = static_cast<uInt>(band->compressed.size());
  bool ok = true;
  for (int64_t y = band->firstRow; y < band->endRow && ok; ++y) {
    filterRow(y);
    band->adler = adler32(band->adler, line.data(), static_cast<uInt>(line.size()));
    band->length += static_cast<uLong>(line.size());
    z.next_in = line.data();
    z.avail_in = static_cast<uInt>(line.size());
    const bool lastRow = y + 1 == band->endRow;
    const int flush = !lastRow ? Z_NO_FLUSH : band->last ? Z_FINISH : Z_SYNC_FLUSH;
    const int rc = deflate(&z, flush);
    ok = (rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR) && z.avail_in == 0;
    std::swap(previous, current);
    codec::ReportRows(rowsDone->fetch_add(1) + 1, totalRows);
  }
  if (band->endRow == band->firstRow) {
    z.avail_in = 0;
    ok = deflate(&z, band->last ? Z_FINISH : Z_SYNC_FLUSH) != Z_STREAM_ERROR;
  }
  // Drop the unused tail (erase: a shrink GCC does not mistake for growth).
  band->compressed.erase(band->compressed.end() - z.avail_out, band->compressed.end());
  deflateEnd(&z);
  band->ok = ok;
}

bool WritePng(FILE* file, const std::string& path, const Image& image, const WriteOptions& options,
              std::string* error) {
  if (image.model == ColorModel::kCMYK) {
    *error = "PNG cannot store CMYK images; write a .tif file instead";
    return false;
  }
  if (image.width <= 0 || image.height <= 0 || image.width > 0x7FFFFFFF ||
      image.height > 0x7FFFFFFF) {
    *error = path + ": PNG cannot store an image of this size";
    return false;
  }
  const int level = std::clamp(options.pngCompression, 0, 9);
  std::vector<uint8_t> header;
  PutBigEndian32(&header, static_cast<uint32_t>(image.width));
  PutBigEndian32(&header, static_cast<uint32_t>(image.height));
  header.push_back(static_cast<uint8_t>(image.bits));
  header.push_back(image.model == ColorModel::kGray ? (image.alpha ? 4 : 0)
                                                    : (image.alpha ? 6 : 2));
  header.push_back(0);  // deflate
  header.push_back(0);  // adaptive filtering method (each row names its filter)
  header.push_back(0);  // not interlaced
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  bool ok = std::fwrite(kSignature, 1, 8, file) == 8 &&
            WriteChunk(file, "IHDR", header.data(), header.size()) &&
            WritePngMetadata(file, image.meta, !image.producer);
  // zlib stream header: deflate, 32K window, no dictionary; 0x7801 % 31 == 0.
  const uint8_t zlibHeader[2] = {0x78, 0x01};
  ok = ok && WriteChunk(file, "IDAT", zlibHeader, 2);
  uLong adler = 1;
  std::atomic<int64_t> rowsDone{0};
  // Rows of `rows` (all of the picture, or one band of it after `rowBefore`)
  // compressed in pieces of at least 128 rows (and about 4 MB), one thread
  // each, and written.
  auto compress = [&](const Image& rows, const uint8_t* rowBefore, bool lastRows) {
    int threads = options.threads > 0 ? options.threads
                                      : static_cast<int>(std::thread::hardware_concurrency());
    threads = std::clamp(threads, 1, 16);
    const int64_t minRows = std::max<int64_t>(128, (int64_t{4} << 20) / (rows.RowBytes() + 1));
    const int64_t count =
        std::clamp<int64_t>(rows.height / minRows, 1, static_cast<int64_t>(threads) * 2);
    std::vector<PngBand> pieces(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
      PngBand& b = pieces[static_cast<size_t>(i)];
      b.firstRow = rows.height * i / count;
      b.endRow = rows.height * (i + 1) / count;
      b.last = lastRows && i + 1 == count;
    }
    std::atomic<int64_t> next{0};
    auto work = [&] {
      for (int64_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        CompressPngBand(rows, level, &pieces[static_cast<size_t>(i)], rowBefore, &rowsDone,
                        image.height);
      }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::min<int64_t>(threads, count); ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    for (const PngBand& b : pieces) {
      ok = ok && b.ok;
      // IDAT chunks of at most 1 MB.
      for (size_t at = 0; ok && at < b.compressed.size(); at += 1 << 20) {
        const size_t n = std::min<size_t>(1 << 20, b.compressed.size() - at);
        ok = WriteChunk(file, "IDAT", b.compressed.data() + at, n);
      }
      adler = adler32_combine(adler, b.adler, static_cast<z_off_t>(b.length));
    }
  };
  if (!image.producer) {
    compress(image, nullptr, true);
  } else {
    std::vector<uint8_t> lastRow;
    for (int64_t done = 0; ok && done < image.height;) {
      Image band;
      if (!image.producer->Next(std::min(BandRows(image.RowBytes()), image.height - done), &band,
                                error)) {
        return false;
      }
      compress(band, lastRow.empty() ? nullptr : lastRow.data(),
               done + band.height == image.height);
      lastRow.assign(band.Row(band.height - 1), band.Row(band.height - 1) + band.RowBytes());
      done += band.height;
    }
  }
  std::vector<uint8_t> trailer;
  PutBigEndian32(&trailer, static_cast<uint32_t>(adler));
  ok = ok && WriteChunk(file, "IDAT", trailer.data(), trailer.size());
  if (image.producer) {
    // Text may follow the pixels in the source; it follows them here too.
    Metadata late = image.meta;
    if (!image.producer->Finish(&late, error)) return false;
    ok = ok && WritePngTexts(file, late);
  }
  ok = ok && WriteChunk(file, "IEND", nullptr, 0);
  if (!ok) *error = "cannot write " + path + ": " + ErrnoText();
  return ok;
}

// ---------------------------------------------------------------------------
// JPEG

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool truncated;
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void JpegSilent(j_common_ptr, int) {}

// Warnings are ignored (many real files carry a few stray bytes), except the
// end of the data before the last row: libjpeg would fill the rest of the
// picture with gray, and the tool would write that as a result.
void JpegReadWarning(j_common_ptr cinfo, int level) {
  if (level >= 0 || cinfo->err->msg_code != JWRN_JPEG_EOF) return;
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  err->truncated = true;
  std::longjmp(err->jump, 1);
}

constexpr char kExifPrefix[] = "Exif\0";  // with the terminating zero: "Exif\0\0"
constexpr char kXmpPrefix[] = "http://ns.adobe.com/xap/1.0/";  // and its zero

bool StartsWith(const jpeg_saved_marker_ptr m, const char* prefix, size_t size) {
  return m->data_length >= size && std::memcmp(m->data, prefix, size) == 0;
}

void ReadJpegMetadata(j_decompress_ptr cinfo, Metadata* meta) {
  if (cinfo->saw_JFIF_marker && cinfo->X_density > 0 && cinfo->Y_density > 0 &&
      (cinfo->density_unit != 0 || cinfo->X_density != cinfo->Y_density)) {
    meta->resolutionX = cinfo->X_density;
    meta->resolutionY = cinfo->Y_density;
    meta->resolutionUnit = cinfo->density_unit == 1   ? Metadata::Unit::kInch
                           : cinfo->density_unit == 2 ? Metadata::Unit::kCentimetre
                                                      : Metadata::Unit::kNone;
  }
  for (jpeg_saved_marker_ptr m = cinfo->marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && StartsWith(m, kExifPrefix, sizeof kExifPrefix)) {
      meta->exif.assign(m->data + sizeof kExifPrefix, m->data + m->data_length);
      if (const int o = ExifOrientation(meta->exif)) meta->orientation = o;
    } else if (m->marker == JPEG_APP0 + 1 && StartsWith(m, kXmpPrefix, sizeof kXmpPrefix)) {
      meta->xmp.assign(m->data + sizeof kXmpPrefix, m->data + m->data_length);
    } else if (m->marker == JPEG_COM) {
      meta->text.emplace_back("Comment", std::string(m->data, m->data + m->data_length));
    }
  }
  JOCTET* icc = nullptr;
  unsigned int iccSize = 0;
  if (jpeg_read_icc_profile(cinfo, &icc, &iccSize) && icc != nullptr) {
    meta->icc.assign(icc, icc + iccSize);
  }
  std::free(icc);
}

// APP1 markers hold at most 65533 bytes; larger EXIF or XMP blocks (which
// would need the extended XMP form) are left out.
void WriteJpegMetadata(j_compress_ptr cinfo, const Metadata& meta) {
  auto app1 = [&](const char* prefix, size_t prefixSize, const uint8_t* data, size_t size) {
    if (size == 0 || prefixSize + size > 65533) return;
    std::vector<uint8_t> bytes(prefix, prefix + prefixSize);
    bytes.insert(bytes.end(), data, data + size);
    jpeg_write_marker(cinfo, JPEG_APP0 + 1, bytes.data(), static_cast<unsigned>(bytes.size()));
  };
  const std::vector<uint8_t> exif = ExifForWriting(meta);
  app1(kExifPrefix, sizeof kExifPrefix, exif.data(), exif.size());
  if (!meta.icc.empty()) {
    jpeg_write_icc_profile(cinfo, meta.icc.data(), static_cast<unsigned>(meta.icc.size()));
  }
  app1(kXmpPrefix, sizeof kXmpPrefix, reinterpret_cast<const uint8_t*>(meta.xmp.data()),
       meta.xmp.size());
  for (const auto& [key, value] : meta.text) {
    if (strcasecmp(key.c_str(), "comment") != 0 || value.size() > 65533) continue;
    jpeg_write_marker(cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(value.data()),
                      static_cast<unsigned>(value.size()));
  }
}

// A JPEG file's rows in order. libjpeg's errors jump back into whichever
// method is running, which then returns false.
class JpegRows {
 public:
  JpegRows() = default;
  JpegRows(const JpegRows&) = delete;
  JpegRows& operator=(const JpegRows&) = delete;
  ~JpegRows() {
    if (created_) jpeg_destroy_decompress(&cinfo_);
  }

  // Reads the header and the metadata and starts decompression; the size is
  // checked before, since a progressive file's coefficients for the whole
  // picture are taken there.
  bool Start(FILE* file, const std::string& path, Image* image, const ReadLimits& limits,
             std::string* error) {
    path_ = path;
    cinfo_.err = jpeg_std_error(&err_.mgr);
    err_.mgr.error_exit = JpegErrorExit;
    err_.mgr.emit_message = JpegReadWarning;
    if (setjmp(err_.jump)) return Failed(error);
    jpeg_create_decompress(&cinfo_);
    created_ = true;
    jpeg_stdio_src(&cinfo_, file);
    jpeg_save_markers(&cinfo_, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&cinfo_, JPEG_APP0 + 2, 0xFFFF);
    jpeg_save_markers(&cinfo_, JPEG_COM, 0xFFFF);
    jpeg_read_header(&cinfo_, TRUE);
    ReadJpegMetadata(&cinfo_, &image->meta);
    if (cinfo_.jpeg_color_space == JCS_CMYK || cinfo_.jpeg_color_space == JCS_YCCK) {
      cinfo_.out_color_space = JCS_CMYK;
      image->model = ColorModel::kCMYK;
      adobeCmyk_ = cinfo_.saw_Adobe_marker;
    } else if (cinfo_.jpeg_color_space == JCS_GRAYSCALE) {
      cinfo_.out_color_space = JCS_GRAYSCALE;
      image->model = ColorModel::kGray;
    } else {
      cinfo_.out_color_space = JCS_RGB;
      image->model = ColorModel::kRGB;
    }
    image->bits = 8;
    image->alpha = false;
    if (!CheckDeclaredSize(path, "JPEG", cinfo_.image_width, cinfo_.image_height, image->Channels(),
                           limits, error)) {
      return false;
    }
    jpeg_start_decompress(&cinfo_);
    image->width = cinfo_.output_width;
    image->height = cinfo_.output_height;
    return true;
  }

  // The next band->height rows.
  bool Read(Image* band, std::string* error) {
    if (setjmp(err_.jump)) return Failed(error);
    for (int64_t y = 0; y < band->height; ++y) {
      JSAMPROW row = band->MutableRow(y);
      jpeg_read_scanlines(&cinfo_, &row, 1);
      // Files with an Adobe marker store CMYK inverted (0 = full ink).
      if (adobeCmyk_) {
        for (int64_t i = 0; i < band->RowBytes(); ++i) row[i] = static_cast<uint8_t>(255 - row[i]);
      }
      codec::ReportRows(cinfo_.output_scanline, cinfo_.output_height);
    }
    return true;
  }

  bool Finish(std::string* error) {
    if (setjmp(err_.jump)) return Failed(error);
    jpeg_finish_decompress(&cinfo_);
    return true;
  }

 private:
  bool Failed(std::string* error) {
    *error = err_.truncated
                 ? path_ + ": the JPEG data ends before the last row (the file is truncated)"
                 : path_ + ": not a readable JPEG file (" + err_.message + ")";
    return false;
  }

  jpeg_decompress_struct cinfo_{};
  JpegError err_{};
  bool created_ = false;
  bool adobeCmyk_ = false;
  std::string path_;
};

bool ReadJpeg(FILE* file, const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits) {
  JpegRows jpeg;
  return jpeg.Start(file, path, image, limits, error) &&
         AllocatePixels(path, image, target, error) && jpeg.Read(image, error) &&
         jpeg.Finish(error);
}

class JpegRowReader final : public RowReader {
 public:
  explicit JpegRowReader(File file) : file_(std::move(file)) {}
  JpegRows& Jpeg() { return jpeg_; }
  FILE* Stream() { return file_.get(); }
  bool Read(Image* band, std::string* error) override { return jpeg_.Read(band, error); }
  bool Finish(Metadata*, std::string* error) override { return jpeg_.Finish(error); }

 private:
  File file_;
  JpegRows jpeg_;
};

bool WriteJpeg(FILE* file, const std::string& path, const Image& image, const WriteOptions& options,
               std::string* error) {
  if (image.bits != 8 || image.alpha) {
    *error = "JPEG stores neither alpha nor 16-bit samples";
    return false;
  }
  jpeg_compress_struct cinfo{};
  JpegError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegSilent;
  codec::RowFeed feed(image);
  // CMYK is stored inverted (0 = full ink), as Adobe's files do.
  std::vector<uint8_t> inverted(image.model == ColorModel::kCMYK ? image.RowBytes() : 0);
  bool fed = true;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    *error = path + ": JPEG writing failed (" + err.message + ")";
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = static_cast<JDIMENSION>(image.width);
  cinfo.image_height = static_cast<JDIMENSION>(image.height);
  cinfo.input_components = image.Channels();
  cinfo.in_color_space = image.model == ColorModel::kGray  ? JCS_GRAYSCALE
                         : image.model == ColorModel::kRGB ? JCS_RGB
                                                           : JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  const int quality = std::clamp(options.jpegQuality, 1, 100);
  jpeg_set_quality(&cinfo, quality, TRUE);
  // At high qualities the colour is kept at full resolution (4:4:4), as
  // libjpeg's users expect; below, 4:2:0 halves it both ways.
  if (quality >= kFullChromaQuality) {
    for (int c = 0; c < cinfo.num_components; ++c) {
      cinfo.comp_info[c].h_samp_factor = 1;
      cinfo.comp_info[c].v_samp_factor = 1;
    }
  }
  const Metadata& meta = image.meta;
  if (meta.HasResolution()) {
    cinfo.write_JFIF_header = TRUE;
    cinfo.density_unit = meta.resolutionUnit == Metadata::Unit::kInch         ? 1
                         : meta.resolutionUnit == Metadata::Unit::kCentimetre ? 2
                                                                              : 0;
    cinfo.X_density = static_cast<UINT16>(std::clamp(std::lround(meta.resolutionX), 1L, 65535L));
    cinfo.Y_density = static_cast<UINT16>(std::clamp(std::lround(meta.resolutionY), 1L, 65535L));
  }
  jpeg_start_compress(&cinfo, TRUE);
  WriteJpegMetadata(&cinfo, meta);
  while (cinfo.next_scanline < cinfo.image_height) {
    const uint8_t* from = feed.Row(cinfo.next_scanline, error);
    if (from == nullptr) {
      fed = false;
      break;
    }
    for (size_t i = 0; i < inverted.size(); ++i) inverted[i] = static_cast<uint8_t>(255 - from[i]);
    JSAMPROW row = const_cast<JSAMPROW>(inverted.empty() ? from : inverted.data());
    jpeg_write_scanlines(&cinfo, &row, 1);
    codec::ReportRows(cinfo.next_scanline, image.height);
  }
  if (fed) jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  // Text that followed the pixels in a streamed source cannot go before
  // them any more; the source is still read to its end for its checks.
  Metadata late;
  return fed && (!image.producer || image.producer->Finish(&late, error));
}

}  // namespace

FileType DetectFileType(const uint8_t* head, size_t n) {
  if (n >= 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return FileType::kPNG;
  if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return FileType::kJPEG;
  if (n >= 4 && ((head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0) ||
                 (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 42))) {
    return FileType::kTIFF;
  }
  if (n >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0) {
    return FileType::kWebP;
  }
  return FileType::kUnknown;
}

FileType DetectFileType(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return FileType::kUnknown;
  uint8_t head[12] = {};
  return DetectFileType(head, std::fread(head, 1, sizeof head, f.get()));
}

FileType FileTypeForName(const std::string& name) {
  const std::string n = Lower(name);
  for (const FileTypeFacts& f : kFileTypes) {
    if (n == f.extension || n == f.alias) return f.type;
  }
  return FileType::kUnknown;
}

FileType FileTypeForExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return FileType::kUnknown;
  }
  return FileTypeForName(path.substr(dot + 1));
}

namespace {

// Standard input copied into an unnamed temporary file: the JPEG, TIFF and
// WebP readers seek or need the whole file.
File StandardInputCopy(std::string* error) {
  File copy(std::tmpfile());
  if (!copy) {
    *error = "cannot keep standard input in a temporary file: " + ErrnoText();
    return nullptr;
  }
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    if (std::fwrite(buffer, 1, n, copy.get()) != n) {
      *error = "cannot keep standard input in a temporary file: " + ErrnoText();
      return nullptr;
    }
  }
  if (std::ferror(stdin) || std::fflush(copy.get()) != 0) {
    *error = "cannot read standard input: " + ErrnoText();
    return nullptr;
  }
  std::rewind(copy.get());
  return copy;
}

bool CopyToStandardOutput(FILE* from, std::string* error) {
  std::rewind(from);
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, from)) > 0) {
    if (std::fwrite(buffer, 1, n, stdout) != n) {
      *error = "cannot write standard output: " + ErrnoText();
      return false;
    }
  }
  return true;
}

}  // namespace

int64_t BandRows(int64_t rowBytes) {
  if (const char* forced = std::getenv("LUMENO_BAND_ROWS"); forced != nullptr && *forced != '\0') {
    return std::max(1L, std::atol(forced));
  }
  return std::max<int64_t>(16, (int64_t{16} << 20) / std::max<int64_t>(rowBytes, 1));
}

std::unique_ptr<RowReader> OpenRowReader(const std::string& path, const ReadLimits& limits,
                                         Image* header, std::string* error) {
  // Only regular files: a pipe would be gone for the whole-file read after.
  struct stat st;
  if (path == "-" || limits.page != 0 || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return nullptr;
  }
  File f(std::fopen(path.c_str(), "rb"));
  uint8_t head[12] = {};
  if (!f || std::fread(head, 1, sizeof head, f.get()) != sizeof head) return nullptr;
  *header = Image();
  header->meta.sourceType = DetectFileType(head, sizeof head);
  switch (header->meta.sourceType) {
    case FileType::kPNG: {
      auto reader = std::make_unique<PngRowReader>(std::move(f));
      if (std::fseek(reader->Stream(), 8, SEEK_SET) != 0 ||
          !reader->Png().Start(reader->Stream(), path, header, limits, error) ||
          reader->Png().Interlaced()) {
        return nullptr;
      }
      return reader;
    }
    case FileType::kJPEG: {
      auto reader = std::make_unique<JpegRowReader>(std::move(f));
      if (std::fseek(reader->Stream(), 0, SEEK_SET) != 0 ||
          !reader->Jpeg().Start(reader->Stream(), path, header, limits, error)) {
        return nullptr;
      }
      return reader;
    }
    case FileType::kTIFF:
      return codec::OpenTiffRows(fileno(f.get()), path, limits, header, error);
    default:
      return nullptr;
  }
}

bool ReadImage(const std::string& path, Image* image, std::string* error, const PixelTarget& target,
               const ReadLimits& limits) {
  const bool standardInput = path == "-";
  File f = standardInput ? StandardInputCopy(error) : File(std::fopen(path.c_str(), "rb"));
  if (!f) {
    if (!standardInput) *error = "cannot open " + path + ": " + ErrnoText();
    return false;
  }
  const std::string name = standardInput ? "standard input" : path;
  // Eight bytes first: a PNG read from a pipe goes on from there.
  uint8_t head[12] = {};
  size_t n = std::fread(head, 1, 8, f.get());
  if (DetectFileType(head, n) != FileType::kPNG && n == 8) n += std::fread(head + 8, 1, 4, f.get());
  FileType type = DetectFileType(head, n);
  // Damaged TIFF headers get the TIFF reader's message.
  if (type == FileType::kUnknown && n >= 4 &&
      ((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M'))) {
    type = FileType::kTIFF;
  }
  if (type == FileType::kUnknown) {
    *error = name + ": not a PNG, JPEG or TIFF file, nor WebP";
    return false;
  }
  image->meta = Metadata();
  if (limits.page != 0 && type != FileType::kTIFF) {
    *error = name + ": there is no page " + std::to_string(limits.page + 1) + "; the file has 1";
    return false;
  }
  // PNG continues after its signature, so pipes work; the others seek back.
  if (type == FileType::kPNG) {
    image->meta.sourceType = type;
    return ReadPng(f.get(), name, image, error, target, limits);
  }
  if (std::fseek(f.get(), 0, SEEK_SET) != 0) {
    *error = name + ": JPEG, TIFF and WebP input must be a regular file";
    return false;
  }
  bool ok = false;
  switch (type) {
    case FileType::kJPEG:
      ok = ReadJpeg(f.get(), name, image, error, target, limits);
      break;
    case FileType::kTIFF:
      ok = codec::ReadTiff(fileno(f.get()), name, image, error, target, limits);
      break;
    default:
      ok = codec::ReadWebp(f.get(), name, image, error, target, limits);
      break;
  }
  image->meta.sourceType = type;
  return ok;
}

bool WriteImage(const std::string& path, FileType type, const Image& image,
                const WriteOptions& options, std::string* error) {
  if (type == FileType::kUnknown) {
    *error = path + ": unknown output type (use .png, .jpg, .jpeg, .tif, .tiff or .webp)";
    return false;
  }
  const bool standardOutput = path == "-";
  const std::string name = standardOutput ? "standard output" : path;
  // TIFF is written with seeks: to standard output through a temporary file.
  // libtiff reads back what it wrote to link the pages.
  File owned(!standardOutput ? std::fopen(path.c_str(), type == FileType::kTIFF ? "w+b" : "wb")
             : type == FileType::kTIFF ? std::tmpfile()
                                       : nullptr);
  FILE* f = owned ? owned.get() : standardOutput && type != FileType::kTIFF ? stdout : nullptr;
  if (f == nullptr) {
    *error = "cannot create " + name + ": " + ErrnoText();
    return false;
  }
  bool ok = false;
  switch (type) {
    case FileType::kPNG:
      ok = WritePng(f, name, image, options, error);
      break;
    case FileType::kJPEG:
      ok = WriteJpeg(f, name, image, options, error);
      break;
    case FileType::kTIFF:
      ok = codec::WriteTiff(fileno(f), name, image, error) &&
           (!standardOutput || CopyToStandardOutput(f, error));
      break;
    default:
      ok = codec::WriteWebp(f, name, image, options, error);
      break;
  }
  if (!ok) return false;
  FILE* written = standardOutput ? stdout : f;
  if (std::fflush(written) != 0 || std::ferror(written)) {
    *error = "cannot write " + name + ": " + ErrnoText();
    return false;
  }
  if (owned && std::fclose(owned.release()) != 0) {
    *error = "cannot write " + name + ": " + ErrnoText();
    return false;
  }
  return true;
}

namespace {

// What ConvertForFileType changes.
struct Conversion {
  bool dropAlpha = false;
  bool reduce = false;  // 16 bits to 8
  bool toRgb = false;
};

// `in`'s pixels in the converted layout, which `out` already has.
void ConvertRows(const Image& in, const Conversion& how, Image* out) {
  out->height = in.height;
  out->Allocate();
  const int colour = in.ColorChannels();
  uint8_t* dst = out->data.data();
  for (int64_t y = 0; y < in.height; ++y) {
    for (int64_t x = 0; x < in.width; ++x) {
      auto sample = [&](int c) {
        const uint16_t v = in.Sample16(x, y, c);
        return static_cast<uint8_t>(in.bits == 16 ? v >> 8 : v);
      };
      for (int c = 0; c < out->ColorChannels(); ++c) *dst++ = sample(how.toRgb ? 0 : c);
      if (out->alpha) *dst++ = sample(colour);
    }
  }
}

// A producer's bands converted as they come.
class ConvertedBands final : public RowProducer {
 public:
  ConvertedBands(std::shared_ptr<RowProducer> from, const Conversion& how, const Image& layout)
      : from_(std::move(from)), how_(how), layout_(layout) {}
  bool Next(int64_t rows, Image* band, std::string* error) override {
    Image in;
    if (!from_->Next(rows, &in, error)) return false;
    *band = layout_;
    ConvertRows(in, how_, band);
    return true;
  }
  bool Finish(Metadata* meta, std::string* error) override { return from_->Finish(meta, error); }

 private:
  std::shared_ptr<RowProducer> from_;
  Conversion how_;
  Image layout_;  // width, model, alpha and depth of the bands
};

}  // namespace

std::string ConvertForFileType(FileType type, Image* image) {
  if (type == FileType::kTIFF) {
    // A TIFF holds EXIF tags in directories of its own, made from the
    // block's entries, which a damaged block does not give.
    const auto dropDamaged = [](Metadata* meta) {
      ExifDirectories dirs;
      if (meta->exif.empty() || ParseExif(meta->exif, &dirs)) return false;
      meta->exif.clear();
      return true;
    };
    bool damaged = dropDamaged(&image->meta);
    for (Image& page : image->morePages) damaged = dropDamaged(&page.meta) || damaged;
    return damaged ? "TIFF output: the EXIF block is damaged; left out" : "";
  }
  const bool jpeg = type == FileType::kJPEG;
  const bool webp = type == FileType::kWebP && image->model != ColorModel::kCMYK;
  Conversion how;
  how.dropAlpha = jpeg && image->alpha;
  how.reduce = (jpeg || webp) && image->bits == 16;
  how.toRgb = webp && image->model == ColorModel::kGray;
  if (!how.dropAlpha && !how.reduce && !how.toRgb) return "";
  Image out;
  out.width = image->width;
  out.model = how.toRgb ? ColorModel::kRGB : image->model;
  out.alpha = image->alpha && !how.dropAlpha;
  out.bits = 8;
  if (image->producer) {
    out.producer = std::make_shared<ConvertedBands>(std::move(image->producer), how, out);
    out.height = image->height;
  } else {
    ConvertRows(*image, how, &out);
  }
  out.meta = std::move(image->meta);
  if (how.toRgb) out.meta.icc.clear();  // a gray profile does not describe RGB
  std::string note = std::string(FileTypeName(type)) + " output:";
  const char* sep = " ";
  if (how.dropAlpha) note += std::exchange(sep, ", ") + std::string("alpha dropped");
  if (how.reduce) note += std::exchange(sep, ", ") + std::string("16 bits reduced to 8");
  if (how.toRgb) note += std::exchange(sep, ", ") + std::string("gray stored as RGB");
  *image = std::move(out);
  return note;
}

}  // namespace lumeno::cli

// PNG, JPEG and TIFF files into and out of the tool's packed Image.
//
// libpng and libjpeg report fatal errors through longjmp; the functions that
// set a jump point create every C++ object they need before it, so a jump
// never skips a destructor.
#include "cli/image_io.h"

#include <sys/stat.h>

#include <cstdio>  // before jpeglib.h, which uses FILE
#include <jpeglib.h>
#include <jerror.h>  // after jpeglib.h
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

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

const char* FileTypeName(FileType type) {
  switch (type) {
    case FileType::kPNG:
      return "PNG";
    case FileType::kJPEG:
      return "JPEG";
    case FileType::kTIFF:
      return "TIFF";
    case FileType::kUnknown:
      break;
  }
  return "unknown";
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

std::string ErrnoText() { return std::strerror(errno); }

std::string SizeText(int64_t width, int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

std::string Megapixels(int64_t pixels) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(pixels) / 1e6);
  return text;
}

// The size a header declares, checked before any pixel memory is taken.
// `pixelBytes` is the size of one decoded pixel.
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

// Takes the pixel memory once the size is accepted: the target's when it
// offers some, else the image's own.
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

bool ReadPng(FILE* file, const std::string& path, Image* image, std::string* error,
             const PixelTarget& target, const ReadLimits& limits) {
  PngError err{};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &err, PngErrorFn, PngWarningFn);
  if (png == nullptr) {
    *error = "out of memory reading " + path;
    return false;
  }
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows;
  if (setjmp(err.jump)) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = path + ": not a readable PNG file (" + err.message + ")";
    return false;
  }
  png_init_io(png, file);
  png_set_sig_bytes(png, 8);  // the caller has read and checked the signature
  png_read_info(png, info);
  const int colorType = png_get_color_type(png, info);
  const int depth = png_get_bit_depth(png, info);
  const int fileChannels = png_get_channels(png, info);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (depth == 16) {
    const uint16_t one = 1;
    uint8_t firstByte;
    std::memcpy(&firstByte, &one, 1);
    if (firstByte == 1) png_set_swap(png);  // PNG stores 16-bit samples big-endian
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const int channels = png_get_channels(png, info);
  image->width = png_get_image_width(png, info);
  image->height = png_get_image_height(png, info);
  image->bits = png_get_bit_depth(png, info) == 16 ? 16 : 8;
  image->model = channels <= 2 ? ColorModel::kGray : ColorModel::kRGB;
  image->alpha = channels == 2 || channels == 4;
  if (!CheckDeclaredSize(path, "PNG", image->width, image->height, image->PixelBytes(), limits,
                         error) ||
      !CheckPngDataFits(file, path, *image, depth * fileChannels, error) ||
      !AllocatePixels(path, image, target, error)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  rows.resize(static_cast<size_t>(image->height));
  for (int64_t y = 0; y < image->height; ++y) rows[static_cast<size_t>(y)] = image->MutableRow(y);
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

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
void CompressPngBand(const Image& image, int level, PngBand* band) {
  const int64_t rowBytes = image.RowBytes();
  const bool wide = image.bits == 16;
  std::vector<uint8_t> line(static_cast<size_t>(rowBytes) + 1),
      previous(static_cast<size_t>(rowBytes)), current(static_cast<size_t>(rowBytes));
  auto bigEndianRow = [&](int64_t y, std::vector<uint8_t>* out) {
    const uint8_t* row = image.Row(y);
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
  if (band->firstRow > 0) bigEndianRow(band->firstRow - 1, &previous);
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  band->compressed.resize(
      deflateBound(&z, static_cast<uLong>((rowBytes + 1) * (band->endRow - band->firstRow))) + 16);
  z.next_out = band->compressed.data();
  z.avail_out = static_cast<uInt>(band->compressed.size());
  bool ok = true;
  for (int64_t y = band->firstRow; y < band->endRow && ok; ++y) {
    bigEndianRow(y, &current);
    line[0] = level == 0 ? 0 : 2;  // filter type: none or up
    for (int64_t i = 0; i < rowBytes; ++i) {
      line[static_cast<size_t>(i + 1)] =
          line[0] == 2 ? static_cast<uint8_t>(current[static_cast<size_t>(i)] -
                                              previous[static_cast<size_t>(i)])
                       : current[static_cast<size_t>(i)];
    }
    band->adler = adler32(band->adler, line.data(), static_cast<uInt>(line.size()));
    band->length += static_cast<uLong>(line.size());
    z.next_in = line.data();
    z.avail_in = static_cast<uInt>(line.size());
    const bool lastRow = y + 1 == band->endRow;
    const int flush = !lastRow ? Z_NO_FLUSH : band->last ? Z_FINISH : Z_SYNC_FLUSH;
    const int rc = deflate(&z, flush);
    ok = (rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR) && z.avail_in == 0;
    std::swap(previous, current);
  }
  if (band->endRow == band->firstRow) {
    z.avail_in = 0;
    ok = deflate(&z, band->last ? Z_FINISH : Z_SYNC_FLUSH) != Z_STREAM_ERROR;
  }
  band->compressed.resize(band->compressed.size() - z.avail_out);
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
  // Bands of at least 128 rows (and about 4 MB), one thread each.
  int threads =
      options.threads > 0 ? options.threads : static_cast<int>(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, 16);
  const int64_t minRows = std::max<int64_t>(128, (int64_t{4} << 20) / (image.RowBytes() + 1));
  const int64_t bandCount =
      std::clamp<int64_t>(image.height / minRows, 1, static_cast<int64_t>(threads) * 2);
  std::vector<PngBand> bands(static_cast<size_t>(bandCount));
  for (int64_t i = 0; i < bandCount; ++i) {
    PngBand& b = bands[static_cast<size_t>(i)];
    b.firstRow = image.height * i / bandCount;
    b.endRow = image.height * (i + 1) / bandCount;
    b.last = i + 1 == bandCount;
  }
  std::atomic<int64_t> next{0};
  auto work = [&] {
    for (int64_t i = next.fetch_add(1); i < bandCount; i = next.fetch_add(1)) {
      CompressPngBand(image, level, &bands[static_cast<size_t>(i)]);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < std::min<int64_t>(threads, bandCount); ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();

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
            WriteChunk(file, "IHDR", header.data(), header.size());
  // zlib stream header: deflate, 32K window, no dictionary; 0x7801 % 31 == 0.
  const uint8_t zlibHeader[2] = {0x78, 0x01};
  ok = ok && WriteChunk(file, "IDAT", zlibHeader, 2);
  uLong adler = 1;
  for (const PngBand& b : bands) {
    ok = ok && b.ok;
    // IDAT chunks of at most 1 MB.
    for (size_t at = 0; ok && at < b.compressed.size(); at += 1 << 20) {
      const size_t n = std::min<size_t>(1 << 20, b.compressed.size() - at);
      ok = WriteChunk(file, "IDAT", b.compressed.data() + at, n);
    }
    adler = adler32_combine(adler, b.adler, static_cast<z_off_t>(b.length));
  }
  std::vector<uint8_t> trailer;
  PutBigEndian32(&trailer, static_cast<uint32_t>(adler));
  ok = ok && WriteChunk(file, "IDAT", trailer.data(), trailer.size()) &&
       WriteChunk(file, "IEND", nullptr, 0);
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

bool ReadJpeg(FILE* file, const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits) {
  jpeg_decompress_struct cinfo{};
  JpegError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegReadWarning;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    *error = err.truncated ? path + ": the JPEG data ends before the last row (the file is truncated)"
                           : path + ": not a readable JPEG file (" + err.message + ")";
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  bool adobeCmyk = false;
  if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
    cinfo.out_color_space = JCS_CMYK;
    image->model = ColorModel::kCMYK;
    adobeCmyk = cinfo.saw_Adobe_marker;
  } else if (cinfo.jpeg_color_space == JCS_GRAYSCALE) {
    cinfo.out_color_space = JCS_GRAYSCALE;
    image->model = ColorModel::kGray;
  } else {
    cinfo.out_color_space = JCS_RGB;
    image->model = ColorModel::kRGB;
  }
  image->bits = 8;
  image->alpha = false;
  // Checked before decompression starts: a progressive file's coefficient
  // buffer for the whole picture is taken there.
  if (!CheckDeclaredSize(path, "JPEG", cinfo.image_width, cinfo.image_height, image->Channels(),
                         limits, error)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  image->width = cinfo.output_width;
  image->height = cinfo.output_height;
  if (!AllocatePixels(path, image, target, error)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = image->MutableRow(cinfo.output_scanline);
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  // Files with an Adobe marker store CMYK inverted (0 = full ink).
  if (adobeCmyk) {
    for (int64_t y = 0; y < image->height; ++y) {
      uint8_t* row = image->MutableRow(y);
      for (int64_t i = 0; i < image->RowBytes(); ++i) row[i] = static_cast<uint8_t>(255 - row[i]);
    }
  }
  return true;
}

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
  std::vector<uint8_t> inverted;
  if (image.model == ColorModel::kCMYK) {
    inverted.resize(static_cast<size_t>(image.RowBytes() * image.height));
    for (int64_t y = 0; y < image.height; ++y) {
      const uint8_t* row = image.Row(y);
      for (int64_t i = 0; i < image.RowBytes(); ++i) {
        inverted[static_cast<size_t>(y * image.RowBytes() + i)] =
            static_cast<uint8_t>(255 - row[i]);
      }
    }
  }
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
  jpeg_set_quality(&cinfo, std::clamp(options.jpegQuality, 1, 100), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(inverted.empty() ? image.Row(cinfo.next_scanline)
                                                         : inverted.data() + cinfo.next_scanline *
                                                                                 image.RowBytes());
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

// ---------------------------------------------------------------------------
// TIFF

struct TiffCloser {
  void operator()(TIFF* t) const {
    if (t != nullptr) TIFFClose(t);
  }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

void TiffSilent(const char*, const char*, va_list) {}

// Reads any TIFF that libtiff can turn into 8-bit RGBA (palette, YCbCr,
// tiles, odd depths), for files the direct path does not take.
bool ReadTiffViaRgba(TIFF* tif, const std::string& path, Image* image, std::string* error,
                     const PixelTarget& target, const ReadLimits& limits) {
  uint32_t w = 0, h = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  if (!CheckDeclaredSize(path, "TIFF", w, h, 4, limits, error)) return false;
  std::vector<uint32_t> raster;
  try {
    raster.resize(static_cast<size_t>(w) * h);
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory for a " + SizeText(w, h) + " image";
    return false;
  }
  if (!TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
    *error = path + ": this TIFF layout cannot be read";
    return false;
  }
  image->width = w;
  image->height = h;
  image->bits = 8;
  image->model = ColorModel::kRGB;
  image->alpha = true;
  if (!AllocatePixels(path, image, target, error)) return false;
  for (int64_t y = 0; y < image->height; ++y) {
    uint8_t* row = image->MutableRow(y);
    for (int64_t x = 0; x < image->width; ++x) {
      const uint32_t v = raster[static_cast<size_t>(y * image->width + x)];
      row[x * 4 + 0] = static_cast<uint8_t>(TIFFGetR(v));
      row[x * 4 + 1] = static_cast<uint8_t>(TIFFGetG(v));
      row[x * 4 + 2] = static_cast<uint8_t>(TIFFGetB(v));
      row[x * 4 + 3] = static_cast<uint8_t>(TIFFGetA(v));
    }
  }
  return true;
}

bool ReadTiff(const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits) {
  TIFFSetErrorHandler(TiffSilent);
  TIFFSetWarningHandler(TiffSilent);
  Tiff tif(TIFFOpen(path.c_str(), "r"));
  if (!tif) {
    *error = path + ": not a readable TIFF file";
    return false;
  }
  uint32_t w = 0, h = 0;
  uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  if (!TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric)) {
    photometric = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }
  ColorModel model;
  int colorChannels;
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
      model = ColorModel::kGray;
      colorChannels = 1;
      break;
    case PHOTOMETRIC_RGB:
      model = ColorModel::kRGB;
      colorChannels = 3;
      break;
    case PHOTOMETRIC_SEPARATED:
      model = ColorModel::kCMYK;
      colorChannels = 4;
      break;
    default:
      return ReadTiffViaRgba(tif.get(), path, image, error, target, limits);
  }
  const bool direct = (bps == 8 || bps == 16) && planar == PLANARCONFIG_CONTIG &&
                      sampleFormat == SAMPLEFORMAT_UINT && !TIFFIsTiled(tif.get()) &&
                      (spp == colorChannels || spp == colorChannels + 1);
  if (!direct) {
    if (model == ColorModel::kCMYK) {
      *error = path + ": only 8- and 16-bit contiguous CMYK TIFF files are read";
      return false;
    }
    return ReadTiffViaRgba(tif.get(), path, image, error, target, limits);
  }
  image->width = w;
  image->height = h;
  image->bits = bps;
  image->model = model;
  image->alpha = spp == colorChannels + 1;
  if (!CheckDeclaredSize(path, "TIFF", w, h, image->PixelBytes(), limits, error) ||
      !AllocatePixels(path, image, target, error)) {
    return false;
  }
  for (uint32_t y = 0; y < h; ++y) {
    if (TIFFReadScanline(tif.get(), image->MutableRow(y), y, 0) < 0) {
      *error = path + ": damaged TIFF data at row " + std::to_string(y);
      return false;
    }
  }
  if (photometric == PHOTOMETRIC_MINISWHITE) {
    // White is zero in these files; the gray sample is stored the other way up.
    for (int64_t y = 0; y < image->height; ++y) {
      uint8_t* row = image->MutableRow(y);
      for (int64_t x = 0; x < image->width; ++x) {
        uint8_t* p = row + x * image->PixelBytes();
        if (bps == 8) {
          p[0] = static_cast<uint8_t>(255 - p[0]);
        } else {
          uint16_t v;
          std::memcpy(&v, p, 2);
          v = static_cast<uint16_t>(65535 - v);
          std::memcpy(p, &v, 2);
        }
      }
    }
  }
  return true;
}

bool WriteTiff(const std::string& path, const Image& image, std::string* error) {
  TIFFSetErrorHandler(TiffSilent);
  TIFFSetWarningHandler(TiffSilent);
  Tiff tif(TIFFOpen(path.c_str(), "w"));
  if (!tif) {
    *error = path + ": cannot create TIFF file";
    return false;
  }
  TIFF* t = tif.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(image.bits));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(image.Channels()));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t, TIFFTAG_ZIPQUALITY, 3);
  TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  const uint16_t photometric = image.model == ColorModel::kGray  ? PHOTOMETRIC_MINISBLACK
                               : image.model == ColorModel::kRGB ? PHOTOMETRIC_RGB
                                                                 : PHOTOMETRIC_SEPARATED;
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
  if (image.model == ColorModel::kCMYK) TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
  if (image.alpha) {
    uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint8_t> row(static_cast<size_t>(image.RowBytes()));
  for (int64_t y = 0; y < image.height; ++y) {
    // libtiff may change the buffer (predictor), so each row goes through a copy.
    std::memcpy(row.data(), image.Row(y), row.size());
    if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0) {
      *error = path + ": TIFF writing failed";
      return false;
    }
  }
  tif.reset();
  return true;
}

}  // namespace

FileType DetectFileType(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return FileType::kUnknown;
  unsigned char head[8] = {};
  const size_t n = std::fread(head, 1, sizeof head, f.get());
  if (n >= 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return FileType::kPNG;
  if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return FileType::kJPEG;
  if (n >= 4 && ((head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0) ||
                 (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 42))) {
    return FileType::kTIFF;
  }
  return FileType::kUnknown;
}

FileType FileTypeForExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return FileType::kUnknown;
  }
  const std::string ext = Lower(path.substr(dot + 1));
  if (ext == "png") return FileType::kPNG;
  if (ext == "jpg" || ext == "jpeg") return FileType::kJPEG;
  if (ext == "tif" || ext == "tiff") return FileType::kTIFF;
  return FileType::kUnknown;
}

bool ReadImage(const std::string& path, Image* image, std::string* error,
               const PixelTarget& target, const ReadLimits& limits) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    *error = "cannot open " + path + ": " + ErrnoText();
    return false;
  }
  unsigned char head[8] = {};
  const size_t n = std::fread(head, 1, sizeof head, f.get());
  // PNG continues after its signature, so pipes work; the others seek back.
  if (n >= 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) {
    return ReadPng(f.get(), path, image, error, target, limits);
  }
  if (std::fseek(f.get(), 0, SEEK_SET) != 0) {
    *error = path + ": JPEG and TIFF input must be a regular file";
    return false;
  }
  if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
    return ReadJpeg(f.get(), path, image, error, target, limits);
  }
  if (n >= 4 && ((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M'))) {
    f.reset();
    return ReadTiff(path, image, error, target, limits);
  }
  *error = path + ": not a PNG, JPEG or TIFF file";
  return false;
}

bool WriteImage(const std::string& path, FileType type, const Image& image,
                const WriteOptions& options, std::string* error) {
  if (type == FileType::kTIFF) return WriteTiff(path, image, error);
  if (type != FileType::kPNG && type != FileType::kJPEG) {
    *error = path + ": unknown output type (use .png, .jpg, .jpeg, .tif or .tiff)";
    return false;
  }
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    *error = "cannot create " + path + ": " + ErrnoText();
    return false;
  }
  const bool ok = type == FileType::kPNG ? WritePng(f.get(), path, image, options, error)
                                         : WriteJpeg(f.get(), path, image, options, error);
  if (!ok) return false;
  if (std::fflush(f.get()) != 0 || std::ferror(f.get())) {
    *error = "cannot write " + path + ": " + ErrnoText();
    return false;
  }
  if (std::fclose(f.release()) != 0) {
    *error = "cannot write " + path + ": " + ErrnoText();
    return false;
  }
  return true;
}

std::string ConvertForFileType(FileType type, Image* image) {
  if (type != FileType::kJPEG || (image->bits == 8 && !image->alpha)) return "";
  Image out;
  out.width = image->width;
  out.height = image->height;
  out.model = image->model;
  out.alpha = false;
  out.bits = 8;
  out.Allocate();
  const int channels = out.Channels();
  uint8_t* dst = out.data.data();
  for (int64_t y = 0; y < image->height; ++y) {
    for (int64_t x = 0; x < image->width; ++x) {
      for (int c = 0; c < channels; ++c) {
        const uint16_t v = image->Sample16(x, y, c);
        *dst++ = static_cast<uint8_t>(image->bits == 16 ? v >> 8 : v);
      }
    }
  }
  std::string note = "JPEG output:";
  if (image->alpha) note += " alpha dropped";
  if (image->bits == 16) note += std::string(image->alpha ? "," : "") + " 16 bits reduced to 8";
  *image = std::move(out);
  return note;
}

}  // namespace lumeno::cli

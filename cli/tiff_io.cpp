// TIFF files: strips or tiles, contiguous or separate planes, 8 or 16 bits,
// every page, with their ICC profile, resolution, orientation, XMP,
// description tags and EXIF (tiff_exif.cpp).
#include <strings.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "cli/codec_common.h"

namespace lumeno::cli::codec {

namespace {

struct TiffCloser {
  void operator()(TIFF* t) const {
    if (t != nullptr) TIFFClose(t);
  }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

void TiffSilent(const char*, const char*, va_list) {}

// libtiff closes the descriptor it was given; it gets a duplicate so that the
// caller's file stays open.
Tiff OpenTiff(int fd, const std::string& path, const char* mode) {
  // libtiff's handlers are process-wide: set once, not by each thread that
  // opens a file (a band run reads on one thread and writes on another).
  static std::once_flag silenced;
  std::call_once(silenced, [] {
    TIFFSetErrorHandler(TiffSilent);
    TIFFSetWarningHandler(TiffSilent);
  });
  // libtiff reads the header from where the descriptor stands.
  const int copy = ::dup(fd);
  if (copy < 0 || ::lseek(copy, 0, SEEK_SET) != 0) {
    if (copy >= 0) ::close(copy);
    return nullptr;
  }
  TIFF* t = TIFFFdOpen(copy, path.c_str(), mode);
  if (t == nullptr) ::close(copy);
  return Tiff(t);
}

// Text tags and the keywords they carry in PNG text chunks.
const struct {
  ttag_t tag;
  const char* keyword;
} kTextTags[] = {{TIFFTAG_IMAGEDESCRIPTION, "Description"},
                 {TIFFTAG_ARTIST, "Author"},
                 {TIFFTAG_COPYRIGHT, "Copyright"},
                 {TIFFTAG_SOFTWARE, "Software"},
                 {TIFFTAG_DATETIME, "Creation Time"}};

// False when the page cannot be made current again after its EXIF.
bool ReadMetadata(TIFF* t, int page, Metadata* meta) {
  uint32_t count = 0;
  void* data = nullptr;
  if (TIFFGetField(t, TIFFTAG_ICCPROFILE, &count, &data) && data != nullptr) {
    const auto* p = static_cast<const uint8_t*>(data);
    meta->icc.assign(p, p + count);
  }
  if (TIFFGetField(t, TIFFTAG_XMLPACKET, &count, &data) && data != nullptr) {
    meta->xmp.assign(static_cast<const char*>(data), count);
  }
  float x = 0, y = 0;
  uint16_t unit = RESUNIT_INCH;
  if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &y) &&
      x > 0 && y > 0) {
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    meta->resolutionX = x;
    meta->resolutionY = y;
    meta->resolutionUnit = unit == RESUNIT_CENTIMETER ? Metadata::Unit::kCentimetre
                           : unit == RESUNIT_NONE     ? Metadata::Unit::kNone
                                                      : Metadata::Unit::kInch;
  }
  uint16_t orientation = ORIENTATION_TOPLEFT;
  if (TIFFGetField(t, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8) {
    meta->orientation = orientation;
  }
  for (const auto& tt : kTextTags) {
    char* text = nullptr;
    if (TIFFGetField(t, tt.tag, &text) && text != nullptr && *text != '\0') {
      meta->text.emplace_back(tt.keyword, text);
    }
  }
  return ReadTiffExif(t, page, meta);
}

void WriteTextTags(TIFF* t, const Metadata& meta) {
  for (const auto& tt : kTextTags) {
    for (const auto& [key, value] : meta.text) {
      // DateTime has one fixed form, "YYYY:MM:DD HH:MM:SS".
      if (strcasecmp(key.c_str(), tt.keyword) != 0 ||
          (tt.tag == TIFFTAG_DATETIME && value.size() != 19)) {
        continue;
      }
      TIFFSetField(t, tt.tag, value.c_str());
      break;
    }
  }
}

void WriteMetadata(TIFF* t, const Metadata& meta) {
  if (!meta.icc.empty()) {
    TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(meta.icc.size()), meta.icc.data());
  }
  if (!meta.xmp.empty()) {
    TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<uint32_t>(meta.xmp.size()), meta.xmp.data());
  }
  if (meta.HasResolution()) {
    TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(meta.resolutionX));
    TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(meta.resolutionY));
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT,
                 meta.resolutionUnit == Metadata::Unit::kCentimetre ? RESUNIT_CENTIMETER
                 : meta.resolutionUnit == Metadata::Unit::kNone     ? RESUNIT_NONE
                                                                    : RESUNIT_INCH);
  }
  if (meta.orientation != 1) {
    TIFFSetField(t, TIFFTAG_ORIENTATION, static_cast<uint16_t>(meta.orientation));
  }
  WriteTextTags(t, meta);
}

// Reads any TIFF that libtiff can turn into 8-bit RGBA (palette, YCbCr, odd
// depths), for files the direct path does not take. The pixels keep the
// stored orientation, and alpha only where the file has an extra sample.
bool ReadViaRgba(TIFF* tif, const std::string& path, Image* image, std::string* error,
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
  uint16_t extras = 0;
  uint16_t* extraTypes = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extras, &extraTypes);
  if (!TIFFReadRGBAImageOriented(tif, w, h, raster.data(), image->meta.orientation, 0)) {
    *error = path + ": this TIFF layout cannot be read";
    return false;
  }
  image->width = w;
  image->height = h;
  image->bits = 8;
  image->model = ColorModel::kRGB;
  image->alpha = extras > 0;
  if (!AllocatePixels(path, image, target, error)) return false;
  const int64_t pixel = image->PixelBytes();
  for (int64_t y = 0; y < image->height; ++y) {
    uint8_t* row = image->MutableRow(y);
    for (int64_t x = 0; x < image->width; ++x) {
      const uint32_t v = raster[static_cast<size_t>(y * image->width + x)];
      uint8_t* p = row + x * pixel;
      p[0] = static_cast<uint8_t>(TIFFGetR(v));
      p[1] = static_cast<uint8_t>(TIFFGetG(v));
      p[2] = static_cast<uint8_t>(TIFFGetB(v));
      if (image->alpha) p[3] = static_cast<uint8_t>(TIFFGetA(v));
    }
  }
  return true;
}

// Copies `count` samples of `bytes` each from a packed plane into every
// `step`-th sample place of a row.
void Scatter(const uint8_t* from, uint8_t* to, int64_t count, int bytes, int64_t step) {
  for (int64_t i = 0; i < count; ++i) std::memcpy(to + i * step, from + i * bytes, bytes);
}

void InvertGray(Image* image) {
  for (int64_t y = 0; y < image->height; ++y) {
    uint8_t* row = image->MutableRow(y);
    for (int64_t x = 0; x < image->width; ++x) {
      uint8_t* p = row + x * image->PixelBytes();
      if (image->bits == 8) {
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

// One page's rows in order: strips or tiles, one plane or one per sample.
// Contiguous strips are read row by row; tiles and the strips of separate
// planes a row of blocks at a time (libtiff reads compressed strips only in
// order), straight into the rows asked for when they cover the whole block
// row, else through a buffer of one block row.
class TiffRows final : public RowReader {
 public:
  enum class Kind { kFailed, kDirect, kViaRgba };

  // Opens the page that `limits` names and fills in the layout and the
  // metadata. kViaRgba: a layout that only libtiff's RGBA reader takes.
  Kind Start(int fd, const std::string& path, Image* image, const ReadLimits& limits,
             std::string* error) {
    path_ = path;
    // Read, not mapped: a mapped file's pages count as the tool's memory
    // until it is closed, the whole file for a run band by band.
    tif_ = OpenTiff(fd, path, "rm");
    if (!tif_) {
      *error = path + ": not a readable TIFF file";
      return Kind::kFailed;
    }
    TIFF* t = tif_.get();
    const int pages = TIFFNumberOfDirectories(t);
    if (limits.page < 0 || limits.page >= pages) {
      *error = path + ": there is no page " + std::to_string(limits.page + 1) + "; the file has " +
               std::to_string(pages);
      return Kind::kFailed;
    }
    image->meta.pageCount = pages;
    image->meta.page = limits.page;
    if (!TIFFSetDirectory(t, static_cast<tdir_t>(limits.page)) ||
        !ReadMetadata(t, limits.page, &image->meta)) {
      *error = path + ": page " + std::to_string(limits.page + 1) + " cannot be read";
      return Kind::kFailed;
    }
    uint32_t w = 0, h = 0;
    uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) {
      photometric = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    }
    switch (photometric) {
      case PHOTOMETRIC_MINISBLACK:
      case PHOTOMETRIC_MINISWHITE:
        image->model = ColorModel::kGray;
        break;
      case PHOTOMETRIC_RGB:
        image->model = ColorModel::kRGB;
        break;
      case PHOTOMETRIC_SEPARATED:
        image->model = ColorModel::kCMYK;
        break;
      default:
        return Kind::kViaRgba;
    }
    const int colorChannels = image->ColorChannels();
    if ((bps != 8 && bps != 16) || sampleFormat != SAMPLEFORMAT_UINT ||
        (spp != colorChannels && spp != colorChannels + 1)) {
      if (image->model != ColorModel::kCMYK) return Kind::kViaRgba;
      *error = path + ": only 8- and 16-bit CMYK TIFF files are read";
      return Kind::kFailed;
    }
    image->width = w;
    image->height = h;
    image->bits = bps;
    image->alpha = spp == colorChannels + 1;
    if (!CheckDeclaredSize(path, "TIFF", w, h, image->PixelBytes(), limits, error)) {
      return Kind::kFailed;
    }
    // White is zero in these files; the gray sample is stored the other way up.
    minIsWhite_ = photometric == PHOTOMETRIC_MINISWHITE;
    separate_ = planar == PLANARCONFIG_SEPARATE;
    samples_ = spp;
    layout_ = *image;
    layout_.meta = Metadata();
    return StartBlocks(error) ? Kind::kDirect : Kind::kFailed;
  }

  TIFF* Handle() { return tif_.get(); }

  bool Read(Image* band, std::string* error) override {
    for (int64_t y = 0; y < band->height;) {
      const int64_t row = next_ + y;
      if (bh_ == 0) {  // contiguous strips
        if (TIFFReadScanline(tif_.get(), band->MutableRow(y), static_cast<uint32_t>(row), 0) < 0) {
          return Damaged(row, error);
        }
        ++y;
      } else if (row % bh_ == 0 &&
                 (band->height - y >= bh_ || row + band->height - y == layout_.height)) {
        const int64_t rows = std::min<int64_t>(bh_, layout_.height - row);
        if (!ReadBlockRow(row, band, y, error)) return false;
        y += rows;
      } else {
        const int64_t start = row / bh_ * bh_;
        if (start != bufferStart_) {
          if (buffer_.data.empty()) {
            buffer_.height = std::min<int64_t>(bh_, layout_.height);
            buffer_.Allocate();
          }
          if (!ReadBlockRow(start, &buffer_, 0, error)) return false;
          bufferStart_ = start;
        }
        std::memcpy(band->MutableRow(y), buffer_.Row(row - start),
                    static_cast<size_t>(layout_.RowBytes()));
        ++y;
      }
      ReportRows(next_ + y, layout_.height);
    }
    next_ += band->height;
    if (minIsWhite_) InvertGray(band);
    return true;
  }

  bool Finish(Metadata*, std::string*) override { return true; }

 private:
  // The block size of tiles and of separate planes' strips (bh_ stays 0 for
  // contiguous strips), checked against the picture.
  bool StartBlocks(std::string* error) {
    TIFF* t = tif_.get();
    const bool tiled = TIFFIsTiled(t) != 0;
    if (!tiled && !separate_) return true;
    tiled_ = tiled;
    uint32_t bw = static_cast<uint32_t>(layout_.width), bh = 0;
    if (tiled) {
      TIFFGetField(t, TIFFTAG_TILEWIDTH, &bw);
      TIFFGetField(t, TIFFTAG_TILELENGTH, &bh);
    } else {
      TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &bh);
      bh = static_cast<uint32_t>(std::min<int64_t>(bh, layout_.height));
    }
    const int64_t blockBytes = tiled ? TIFFTileSize64(t) : TIFFStripSize64(t);
    // A hostile header may declare tiles far larger than the picture.
    const int64_t blockLimit =
        std::max<int64_t>(layout_.RowBytes() * layout_.height, int64_t{64} << 20);
    const int bytes = layout_.bits / 8;
    if (bw == 0 || bh == 0 ||
        blockBytes < int64_t{bw} * bh * (separate_ ? bytes : layout_.PixelBytes()) ||
        blockBytes > blockLimit) {
      *error = path_ + ": this TIFF block layout cannot be read";
      return false;
    }
    bw_ = bw;
    bh_ = bh;
    buffer_ = layout_;
    try {
      block_.resize(static_cast<size_t>(blockBytes));
    } catch (const std::bad_alloc&) {
      *error = path_ + ": not enough memory for the TIFF blocks";
      return false;
    }
    return true;
  }

  // The block row from picture row `by` into `to`'s rows from `at`.
  bool ReadBlockRow(int64_t by, Image* to, int64_t at, std::string* error) {
    TIFF* t = tif_.get();
    const int bytes = layout_.bits / 8;
    const int64_t pixel = layout_.PixelBytes();
    const int64_t rows = std::min<int64_t>(bh_, layout_.height - by);
    for (int64_t bx = 0; bx < layout_.width; bx += bw_) {
      const int64_t cols = std::min<int64_t>(bw_, layout_.width - bx);
      for (int s = 0; s < (separate_ ? samples_ : 1); ++s) {
        const auto x = static_cast<uint32_t>(bx), y = static_cast<uint32_t>(by);
        const auto plane = static_cast<uint16_t>(s);
        const auto size = static_cast<tmsize_t>(block_.size());
        const tmsize_t got =
            tiled_ ? TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, plane), block_.data(), size)
                   : TIFFReadEncodedStrip(t, TIFFComputeStrip(t, y, plane), block_.data(), size);
        if (got < 0) return Damaged(by, error);
        for (int64_t r = 0; r < rows; ++r) {
          uint8_t* into = to->MutableRow(at + r) + bx * pixel;
          if (separate_) {
            Scatter(block_.data() + r * bw_ * bytes, into + s * bytes, cols, bytes, pixel);
          } else {
            std::memcpy(into, block_.data() + r * bw_ * pixel, static_cast<size_t>(cols * pixel));
          }
        }
      }
    }
    return true;
  }

  bool Damaged(int64_t y, std::string* error) {
    *error = path_ + ": damaged TIFF data at row " + std::to_string(y);
    return false;
  }

  Tiff tif_;
  std::string path_;
  Image layout_;  // the page's size and layout, without pixels
  int samples_ = 1;
  bool separate_ = false;
  bool tiled_ = false;
  bool minIsWhite_ = false;
  int64_t bw_ = 0, bh_ = 0;  // block size; bh_ 0: contiguous strips, row by row
  std::vector<uint8_t> block_;
  Image buffer_;  // one block row, for bands that start or end inside one
  int64_t bufferStart_ = -1;
  int64_t next_ = 0;  // the next row to read
};

// libtiff reports a failed write without a reason; the system's is in errno.
bool WriteFailed(const std::string& path, std::string* error) {
  *error = path + ": TIFF writing failed" + (errno != 0 ? ": " + ErrnoText() : std::string());
  return false;
}

}  // namespace

bool ReadTiff(int fd, const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits) {
  TiffRows rows;
  switch (rows.Start(fd, path, image, limits, error)) {
    case TiffRows::Kind::kDirect:
      return AllocatePixels(path, image, target, error) && rows.Read(image, error);
    case TiffRows::Kind::kViaRgba:
      return ReadViaRgba(rows.Handle(), path, image, error, target, limits);
    case TiffRows::Kind::kFailed:
      break;
  }
  return false;
}

std::unique_ptr<RowReader> OpenTiffRows(int fd, const std::string& path, const ReadLimits& limits,
                                        Image* header, std::string* error) {
  auto rows = std::make_unique<TiffRows>();
  if (rows->Start(fd, path, header, limits, error) != TiffRows::Kind::kDirect ||
      header->meta.pageCount != 1) {
    return nullptr;
  }
  return rows;
}

bool WriteTiff(int fd, const std::string& path, const Image& image, std::string* error) {
  Tiff tif = OpenTiff(fd, path, "w");
  if (!tif) {
    *error = path + ": cannot create TIFF file";
    return false;
  }
  TIFF* t = tif.get();
  errno = 0;  // what is left in it afterwards is the writes' own
  std::vector<const Image*> pages{&image};
  for (const Image& p : image.morePages) pages.push_back(&p);
  const auto pageCount = static_cast<uint16_t>(pages.size());
  for (uint16_t n = 0; n < pageCount; ++n) {
    const Image& page = *pages[n];
    if (!WriteTiffExif(t, page.meta.exif)) return WriteFailed(path, error);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(page.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(page.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(page.bits));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(page.Channels()));
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_ZIPQUALITY, 3);
    TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    const uint16_t photometric = page.model == ColorModel::kGray  ? PHOTOMETRIC_MINISBLACK
                                 : page.model == ColorModel::kRGB ? PHOTOMETRIC_RGB
                                                                  : PHOTOMETRIC_SEPARATED;
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    if (page.model == ColorModel::kCMYK) TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
    if (page.alpha) {
      uint16_t extra = EXTRASAMPLE_UNASSALPHA;
      TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (pageCount > 1) {
      TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(t, TIFFTAG_PAGENUMBER, n, pageCount);
    }
    WriteMetadata(t, page.meta);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    std::vector<uint8_t> row(static_cast<size_t>(page.RowBytes()));
    RowFeed feed(page);
    for (int64_t y = 0; y < page.height; ++y) {
      const uint8_t* from = feed.Row(y, error);
      if (from == nullptr) return false;
      // libtiff may change the buffer (predictor), so each row goes through a copy.
      std::memcpy(row.data(), from, row.size());
      if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0) {
        return WriteFailed(path, error);
      }
      ReportRows(y + 1, page.height);
    }
    if (page.producer) {
      // Text that followed the pixels in the source.
      Metadata late = page.meta;
      if (!page.producer->Finish(&late, error)) return false;
      WriteTextTags(t, late);
    }
    if (!TIFFWriteDirectory(t)) {
      return WriteFailed(path, error);
    }
  }
  // Closing flushes what is left; a failure there (a full disk) is a failure.
  if (TIFFFlush(t) != 1) {
    return WriteFailed(path, error);
  }
  tif.reset();
  return true;
}

}  // namespace lumeno::cli::codec

// TIFF files: strips or tiles, contiguous or separate planes, 8 or 16 bits,
// every page, with their ICC profile, resolution, orientation, XMP and
// description tags.
#include <strings.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
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
  TIFFSetErrorHandler(TiffSilent);
  TIFFSetWarningHandler(TiffSilent);
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

void ReadMetadata(TIFF* t, Metadata* meta) {
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

// Strips or tiles, one plane or one per sample, straight into the rows.
// Contiguous strips are read row by row; tiles and the strips of separate
// planes block by block (libtiff reads compressed strips only in order).
bool ReadDirect(TIFF* t, const std::string& path, Image* image, int samples, bool separate,
                std::string* error) {
  const int bytes = image->bits / 8;
  const int64_t pixel = image->PixelBytes();
  const int planes = separate ? samples : 1;
  auto damaged = [&](int64_t y) {
    *error = path + ": damaged TIFF data at row " + std::to_string(y);
    return false;
  };
  const bool tiled = TIFFIsTiled(t) != 0;
  if (!tiled && !separate) {
    for (int64_t y = 0; y < image->height; ++y) {
      if (TIFFReadScanline(t, image->MutableRow(y), static_cast<uint32_t>(y), 0) < 0) {
        return damaged(y);
      }
      ReportRows(y + 1, image->height);
    }
    return true;
  }
  uint32_t bw = static_cast<uint32_t>(image->width), bh = 0;
  if (tiled) {
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &bw);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &bh);
  } else {
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &bh);
    bh = static_cast<uint32_t>(std::min<int64_t>(bh, image->height));
  }
  const int64_t blockBytes = tiled ? TIFFTileSize64(t) : TIFFStripSize64(t);
  // A hostile header may declare tiles far larger than the picture.
  const int64_t blockLimit =
      std::max<int64_t>(image->RowBytes() * image->height, int64_t{64} << 20);
  if (bw == 0 || bh == 0 || blockBytes < int64_t{bw} * bh * (separate ? bytes : pixel) ||
      blockBytes > blockLimit) {
    *error = path + ": this TIFF block layout cannot be read";
    return false;
  }
  try {
    std::vector<uint8_t> block(static_cast<size_t>(blockBytes));
    for (int64_t by = 0; by < image->height; by += bh) {
      for (int64_t bx = 0; bx < image->width; bx += bw) {
        const int64_t rows = std::min<int64_t>(bh, image->height - by);
        const int64_t cols = std::min<int64_t>(bw, image->width - bx);
        for (int s = 0; s < planes; ++s) {
          const auto x = static_cast<uint32_t>(bx), y = static_cast<uint32_t>(by);
          const auto plane = static_cast<uint16_t>(s);
          const tmsize_t got =
              tiled ? TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, plane), block.data(),
                                          static_cast<tmsize_t>(blockBytes))
                    : TIFFReadEncodedStrip(t, TIFFComputeStrip(t, y, plane), block.data(),
                                           static_cast<tmsize_t>(blockBytes));
          if (got < 0) return damaged(by);
          for (int64_t r = 0; r < rows; ++r) {
            uint8_t* at = image->MutableRow(by + r) + bx * pixel;
            if (separate) {
              Scatter(block.data() + r * bw * bytes, at + s * bytes, cols, bytes, pixel);
            } else {
              std::memcpy(at, block.data() + r * bw * pixel, static_cast<size_t>(cols * pixel));
            }
          }
        }
      }
      ReportRows(std::min<int64_t>(by + bh, image->height), image->height);
    }
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory for the TIFF blocks";
    return false;
  }
  return true;
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

}  // namespace

bool ReadTiff(int fd, const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits) {
  Tiff tif = OpenTiff(fd, path, "r");
  if (!tif) {
    *error = path + ": not a readable TIFF file";
    return false;
  }
  TIFF* t = tif.get();
  const int pages = TIFFNumberOfDirectories(t);
  if (limits.page < 0 || limits.page >= pages) {
    *error = path + ": there is no page " + std::to_string(limits.page + 1) + "; the file has " +
             std::to_string(pages);
    return false;
  }
  if (!TIFFSetDirectory(t, static_cast<tdir_t>(limits.page))) {
    *error = path + ": page " + std::to_string(limits.page + 1) + " cannot be read";
    return false;
  }
  image->meta.pageCount = pages;
  image->meta.page = limits.page;
  ReadMetadata(t, &image->meta);
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
  ColorModel model;
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
      model = ColorModel::kGray;
      break;
    case PHOTOMETRIC_RGB:
      model = ColorModel::kRGB;
      break;
    case PHOTOMETRIC_SEPARATED:
      model = ColorModel::kCMYK;
      break;
    default:
      return ReadViaRgba(t, path, image, error, target, limits);
  }
  image->model = model;
  const int colorChannels = image->ColorChannels();
  const bool direct = (bps == 8 || bps == 16) && sampleFormat == SAMPLEFORMAT_UINT &&
                      (spp == colorChannels || spp == colorChannels + 1);
  if (!direct) {
    if (model == ColorModel::kCMYK) {
      *error = path + ": only 8- and 16-bit CMYK TIFF files are read";
      return false;
    }
    return ReadViaRgba(t, path, image, error, target, limits);
  }
  image->width = w;
  image->height = h;
  image->bits = bps;
  image->alpha = spp == colorChannels + 1;
  if (!CheckDeclaredSize(path, "TIFF", w, h, image->PixelBytes(), limits, error) ||
      !AllocatePixels(path, image, target, error) ||
      !ReadDirect(t, path, image, spp, planar == PLANARCONFIG_SEPARATE, error)) {
    return false;
  }
  // White is zero in these files; the gray sample is stored the other way up.
  if (photometric == PHOTOMETRIC_MINISWHITE) InvertGray(image);
  return true;
}

bool WriteTiff(int fd, const std::string& path, const Image& image, std::string* error) {
  Tiff tif = OpenTiff(fd, path, "w");
  if (!tif) {
    *error = path + ": cannot create TIFF file";
    return false;
  }
  TIFF* t = tif.get();
  std::vector<const Image*> pages{&image};
  for (const Image& p : image.morePages) pages.push_back(&p);
  const auto pageCount = static_cast<uint16_t>(pages.size());
  for (uint16_t n = 0; n < pageCount; ++n) {
    const Image& page = *pages[n];
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
    Image band;  // the rows from the page's producer, if it has one
    for (int64_t y = 0, bandStart = 0; y < page.height; ++y) {
      if (page.producer && y == bandStart + band.height) {
        bandStart = y;
        if (!page.producer->Next(std::min(BandRows(page.RowBytes()), page.height - y), &band,
                                 error)) {
          return false;
        }
      }
      // libtiff may change the buffer (predictor), so each row goes through a copy.
      std::memcpy(row.data(), page.producer ? band.Row(y - bandStart) : page.Row(y), row.size());
      if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0) {
        *error = path + ": TIFF writing failed";
        return false;
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
      *error = path + ": TIFF writing failed";
      return false;
    }
  }
  // Closing flushes what is left; a failure there (a full disk) is a failure.
  if (TIFFFlush(t) != 1) {
    *error = path + ": TIFF writing failed";
    return false;
  }
  tif.reset();
  return true;
}

}  // namespace lumeno::cli::codec

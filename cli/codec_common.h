// Pieces shared by the tool's file readers and writers (image_io.cpp,
// tiff_io.cpp, webp_io.cpp); not for use outside them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/image_io.h"

struct tiff;  // libtiff's handle, TIFF in tiffio.h

namespace lumeno::cli::codec {

std::string ErrnoText();

// Passes the rows done to the SetRowProgress function, one call at a time.
void ReportRows(int64_t done, int64_t total);
std::string SizeText(int64_t width, int64_t height);

// The size a header declares, checked before any pixel memory is taken.
// `pixelBytes` is the size of one decoded pixel.
bool CheckDeclaredSize(const std::string& path, const char* type, int64_t width, int64_t height,
                       int64_t pixelBytes, const ReadLimits& limits, std::string* error);

// Takes the pixel memory once the size is accepted: the target's when it
// offers some, else the image's own.
bool AllocatePixels(const std::string& path, Image* image, const PixelTarget& target,
                    std::string* error);

// Resolution given as pixels per metre (PNG, WebP has none): kept in pixels
// per inch, rounded to the hundredth so that 300 dpi comes back as 300.
void SetResolutionPerMetre(Metadata* meta, double x, double y, bool metres);

// An image's rows in order for a writer: its own, or those its producer
// hands out band by band.
class RowFeed {
 public:
  explicit RowFeed(const Image& image) : image_(image) {}
  // Row y, asked for in order; null with a message when the producer fails.
  const uint8_t* Row(int64_t y, std::string* error);

 private:
  const Image& image_;
  Image band_;
  int64_t bandStart_ = 0;
};

// TIFF files (tiff_io.cpp) read from and written to a file descriptor that
// stays open (the TIFF side works on a duplicate).
bool ReadTiff(int fd, const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits);
// A single-page TIFF whose rows the tool can read in order, else null (with a
// message when the file is damaged).
std::unique_ptr<RowReader> OpenTiffRows(int fd, const std::string& path, const ReadLimits& limits,
                                        Image* header, std::string* error);
bool WriteTiff(int fd, const std::string& path, const Image& image, std::string* error);
// EXIF on TIFF pages (tiff_exif.cpp). ReadTiffExif puts the current page's
// camera tags (Make, Model, DateTime, ...), EXIF and GPS directories into
// `meta` as an EXIF block (none when the page has neither directory nor
// Make or Model), then makes page `page` current again (false when it
// cannot). WriteTiffExif, called before a page's fields are set, writes the
// block's EXIF and GPS directories and starts the page with pointers to them
// and the block's camera tags; tags libtiff does not know or of another type
// are left out, and so is a damaged block. False when the writing fails.
bool ReadTiffExif(tiff* t, int page, Metadata* meta);
bool WriteTiffExif(tiff* t, const std::vector<uint8_t>& exif);

// WebP files (webp_io.cpp).
bool ReadWebp(FILE* file, const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits);
bool WriteWebp(FILE* file, const std::string& path, const Image& image, const WriteOptions& options,
               std::string* error);

}  // namespace lumeno::cli::codec

// Metadata helpers of the lumeno tool: the EXIF Orientation tag, turning
// pixels the way a viewer would, resolution units, and the lines `lumeno
// info` prints.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/image_io.h"

namespace lumeno::cli {

// The Orientation tag (1 to 8) of an EXIF block's first directory, or 0 when
// the block has none or is damaged.
int ExifOrientation(const std::vector<uint8_t>& exif);
// Changes the Orientation tag in place where the block has one.
void SetExifOrientation(std::vector<uint8_t>* exif, int orientation);

// The EXIF block to store with an image: the block read, its Orientation
// tag equal to `meta.orientation`; a block holding only that tag when the
// image has none and is turned. Empty when there is nothing to store.
std::vector<uint8_t> ExifForWriting(const Metadata& meta);

// One entry of an EXIF directory: tag, TIFF field type, value count and the
// value bytes, little-endian whatever the block's byte order.
struct ExifEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  std::vector<uint8_t> value;
};
// An EXIF block's first directory (IFD0) and its EXIF and GPS directories,
// without the entries that point from one to another.
struct ExifDirectories {
  std::vector<ExifEntry> main, exif, gps;
};
// The bytes of one value of a TIFF field type (BYTE 1 ... DOUBLE 8), 0 for
// a type the block cannot hold.
int ExifTypeSize(uint16_t type);
// Reads a block's directories (entries of unknown types left out); false
// when it is damaged: a bad header, a directory or a value outside it.
bool ParseExif(const std::vector<uint8_t>& exif, ExifDirectories* dirs);
// A little-endian block holding these directories, entries in tag order.
std::vector<uint8_t> BuildExif(const ExifDirectories& dirs);

// The image as a viewer shows it: pixels turned and mirrored by
// `meta.orientation`, which becomes 1 (in the EXIF block too); the
// resolution follows a quarter turn. Metadata is copied; the rows are new.
Image Oriented(const Image& image);

// Whether an ICC profile describes pixels of this colour model (its header's
// colour space is GRAY, RGB or CMYK to match). A profile that does not match
// (an RGB profile on a grayscale result) must not be stored with the pixels.
bool IccMatches(const std::vector<uint8_t>& icc, ColorModel model);
// Clears a profile that does not match; true when one was cleared.
bool DropUnfittingIcc(Metadata* meta, ColorModel model);

// Pixels per inch of a resolution in its unit (kNone: the number as given).
double PerInch(double value, Metadata::Unit unit);

// Labelled lines about the metadata for `lumeno info` ({"resolution", "300 x
// 300 pixels per inch"}, {"orientation", "6 (viewers turn ...)"}, ...). Empty
// for a file without any.
std::vector<std::pair<std::string, std::string>> DescribeMetadata(const Metadata& meta);

}  // namespace lumeno::cli

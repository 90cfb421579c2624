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

// Moves pixels between the tool's packed Image and host RawBitmap objects,
// choosing the RawBitmap format that keeps the image's depth and channels.
#pragma once

#include <cstdint>
#include <string>

#include "cli/image_io.h"
#include "host/host.h"

namespace lumeno::cli {

// The RawBitmap format for an image's model, alpha and depth (gray8 -> 0,
// RGBA8 -> 5, CMYK8 -> 13, CMYKA16 -> 16, RGB16 -> 20, ...).
int64_t FormatForImage(const Image& image);

// A new RawBitmap object holding the image (one reference, owned by the
// caller), or null with a message.
host::Object BitmapFromImage(host::Host& host, const Image& image, std::string* error);

// A new RawBitmap object for an image's size and layout whose pixel memory
// can take the image's rows as they are: then `image->pixels` and `stride`
// point into it, so that a file decodes straight into the bitmap. Null (and
// the image untouched) when the layouts differ or creation fails.
host::Object BitmapForDirectRows(host::Host& host, Image* image);

// The pixels of a RawBitmap object as an Image, channels in model order
// whatever the bitmap's byte layout (BGRA, XRGB, ...). With `view`, a bitmap
// whose layout already is the image's is not copied: the image points into
// it and is valid while the bitmap lives. False with a message for an
// unknown format.
bool ImageFromBitmap(host::Host& host, host::Object bitmap, Image* image, std::string* error,
                     bool view = false);

// Byte offset of a named channel inside a pixel of the format the image
// maps to: "gray", "red"/"r", "green"/"g", "blue"/"b", "alpha"/"a",
// "cyan"/"c", "magenta"/"m", "yellow"/"y", "black"/"k", or a channel number
// counted from 0 in model order. -1 when the image has no such channel.
int ChannelByteOffset(const Image& image, const std::string& channel);

// Why an effect's result would mean nothing for CMYK pixels (a message for
// the user), or null when it may run on them.
const char* CmykRefusal(const std::string& effectShortName);

}  // namespace lumeno::cli

// Image <-> RawBitmap through the bitmap class's format table.
#include "cli/bitmap_bridge.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "host/raw_bitmap_class.h"

namespace lumeno::cli {

namespace {

using host::FormatInfo;
using host::kNoChannel;

// Byte offsets of an image's channels (model order, then alpha) inside a
// pixel of `format`; empty when the format lacks one of them.
std::vector<int> ChannelOffsets(const FormatInfo& format, ColorModel model, bool alpha) {
  std::vector<int> offsets;
  auto add = [&](uint8_t offset) { offsets.push_back(offset == kNoChannel ? -1 : offset); };
  switch (model) {
    case ColorModel::kGray:
      // Gray formats keep their one colour sample first.
      offsets.push_back(format.redOffset == kNoChannel ? 0 : format.redOffset);
      break;
    case ColorModel::kRGB:
      add(format.redOffset);
      add(format.greenOffset);
      add(format.blueOffset);
      break;
    case ColorModel::kCMYK:
      add(format.redOffset);
      add(format.greenOffset);
      add(format.blueOffset);
      add(format.blackOffset);
      break;
  }
  if (alpha) add(format.alphaOffset);
  for (int o : offsets) {
    if (o < 0) return {};
  }
  return offsets;
}

ColorModel ModelOfFormat(const FormatInfo& format, bool* alpha) {
  *alpha = format.alphaOffset != kNoChannel;
  if (format.blackOffset != kNoChannel) return ColorModel::kCMYK;
  const int colour = format.channelCount - (*alpha ? 1 : 0);
  return colour <= 1 ? ColorModel::kGray : ColorModel::kRGB;
}

bool IsIdentityLayout(const std::vector<int>& offsets, int sampleBytes, int64_t pixelBytes) {
  for (size_t i = 0; i < offsets.size(); ++i) {
    if (offsets[i] != static_cast<int>(i) * sampleBytes) return false;
  }
  return pixelBytes == static_cast<int64_t>(offsets.size()) * sampleBytes;
}

}  // namespace

int64_t FormatForImage(const Image& image) {
  const bool wide = image.bits == 16;
  switch (image.model) {
    case ColorModel::kGray:
      if (wide) return image.alpha ? host::kGrayAlpha16 : host::kGray16;
      return image.alpha ? host::kGrayAlpha8 : host::kGray8;
    case ColorModel::kRGB:
      if (wide) return image.alpha ? host::kRGBA16 : host::kRGB16;
      return image.alpha ? host::kRGBA8 : host::kRGB8;
    case ColorModel::kCMYK:
      if (wide) return image.alpha ? host::kCMYKA16 : host::kCMYK16;
      return image.alpha ? host::kCMYKA8 : host::kCMYK8;
  }
  return host::kRGB8;
}

host::Object BitmapFromImage(host::Host& host, const Image& image, std::string* error) {
  const int64_t format = FormatForImage(image);
  const FormatInfo* info = host::FindFormat(format);
  if (info == nullptr) {
    *error = "the host has no RawBitmap format " + std::to_string(format);
    return nullptr;
  }
  const std::vector<int> offsets = ChannelOffsets(*info, image.model, image.alpha);
  if (offsets.empty()) {
    *error = std::string("RawBitmap format ") + info->name + " lacks a channel of the image";
    return nullptr;
  }
  host::Object bitmap = host::CreateBitmap(host, image.width, image.height, format);
  RawBitmap* record = bitmap != nullptr ? host::BitmapRecord(host, bitmap) : nullptr;
  if (record == nullptr || record->pixelData == nullptr) {
    if (bitmap != nullptr) host.Unlock(bitmap);
    *error = "cannot create a " + std::to_string(image.width) + "x" + std::to_string(image.height) +
             " " + info->name + " bitmap";
    return nullptr;
  }
  const int sampleBytes = image.bits / 8;
  const int64_t srcPixel = image.PixelBytes();
  const int channels = image.Channels();
  const bool identity = IsIdentityLayout(offsets, sampleBytes, record->bytesPerPixel);
  for (int64_t y = 0; y < image.height; ++y) {
    const uint8_t* src = image.Row(y);
    uint8_t* dst = record->pixelData + y * record->rowBytes;
    if (identity) {
      std::memcpy(dst, src, static_cast<size_t>(image.RowBytes()));
      continue;
    }
    for (int64_t x = 0; x < image.width; ++x) {
      for (int c = 0; c < channels; ++c) {
        std::memcpy(dst + x * record->bytesPerPixel + offsets[static_cast<size_t>(c)],
                    src + x * srcPixel + c * sampleBytes, static_cast<size_t>(sampleBytes));
      }
    }
  }
  return bitmap;
}

host::Object BitmapForDirectRows(host::Host& host, Image* image) {
  const int64_t format = FormatForImage(*image);
  const FormatInfo* info = host::FindFormat(format);
  if (info == nullptr) return nullptr;
  const std::vector<int> offsets = ChannelOffsets(*info, image->model, image->alpha);
  if (offsets.empty() || !IsIdentityLayout(offsets, image->bits / 8, info->bytesPerPixel)) {
    return nullptr;
  }
  host::Object bitmap = host::CreateBitmap(host, image->width, image->height, format);
  RawBitmap* record = bitmap != nullptr ? host::BitmapRecord(host, bitmap) : nullptr;
  if (record == nullptr || record->pixelData == nullptr ||
      record->bytesPerPixel != image->PixelBytes()) {
    if (bitmap != nullptr) host.Unlock(bitmap);
    return nullptr;
  }
  image->data.clear();
  image->pixels = record->pixelData;
  image->stride = record->rowBytes;
  return bitmap;
}

bool ImageFromBitmap(host::Host& host, host::Object bitmap, Image* image, std::string* error,
                     bool view) {
  RawBitmap* record = host::BitmapRecord(host, bitmap);
  if (record == nullptr) {
    *error = "the result is not a RawBitmap";
    return false;
  }
  const FormatInfo* info = host::FindFormat(record->imageFormat);
  if (info == nullptr) {
    *error = "the result has an unknown RawBitmap format " + std::to_string(record->imageFormat);
    return false;
  }
  bool alpha = false;
  image->model = ModelOfFormat(*info, &alpha);
  image->alpha = alpha;
  image->bits = info->bitsPerChannel == 16 ? 16 : 8;
  image->width = record->width;
  image->height = record->height;
  const std::vector<int> offsets = ChannelOffsets(*info, image->model, image->alpha);
  if (offsets.empty()) {
    *error = std::string("cannot read channels of RawBitmap format ") + info->name;
    return false;
  }
  const int sampleBytes = image->bits / 8;
  if (view && IsIdentityLayout(offsets, sampleBytes, record->bytesPerPixel)) {
    image->data.clear();
    image->pixels = record->pixelData;
    image->stride = record->rowBytes;
    return true;
  }
  image->Allocate();
  const int64_t dstPixel = image->PixelBytes();
  const int channels = image->Channels();
  const bool identity = IsIdentityLayout(offsets, sampleBytes, record->bytesPerPixel);
  for (int64_t y = 0; y < image->height; ++y) {
    const uint8_t* src = record->pixelData + y * record->rowBytes;
    uint8_t* dst = image->MutableRow(y);
    if (identity) {
      std::memcpy(dst, src, static_cast<size_t>(image->RowBytes()));
      continue;
    }
    for (int64_t x = 0; x < image->width; ++x) {
      for (int c = 0; c < channels; ++c) {
        std::memcpy(dst + x * dstPixel + c * sampleBytes,
                    src + x * record->bytesPerPixel + offsets[static_cast<size_t>(c)],
                    static_cast<size_t>(sampleBytes));
      }
    }
  }
  return true;
}

int ChannelByteOffset(const Image& image, const std::string& channel) {
  const FormatInfo* info = host::FindFormat(FormatForImage(image));
  if (info == nullptr) return -1;
  const std::vector<int> offsets = ChannelOffsets(*info, image.model, image.alpha);
  if (offsets.empty()) return -1;
  std::string c;
  for (char ch : channel) c += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  int index = -1;
  if (!c.empty() && std::isdigit(static_cast<unsigned char>(c[0]))) {
    index = std::atoi(c.c_str());
    if (c.find_first_not_of("0123456789") != std::string::npos) return -1;
  } else if (c == "alpha" || c == "a") {
    index = image.alpha ? image.ColorChannels() : -1;
  } else if (image.model == ColorModel::kGray) {
    if (c == "gray" || c == "grey") index = 0;
  } else if (image.model == ColorModel::kRGB) {
    if (c == "red" || c == "r") index = 0;
    if (c == "green" || c == "g") index = 1;
    if (c == "blue" || c == "b") index = 2;
  } else {
    if (c == "cyan" || c == "c") index = 0;
    if (c == "magenta" || c == "m") index = 1;
    if (c == "yellow" || c == "y") index = 2;
    if (c == "black" || c == "k") index = 3;
  }
  if (index < 0 || index >= static_cast<int>(offsets.size())) return -1;
  return offsets[static_cast<size_t>(index)];
}

const char* CmykRefusal(const std::string& effectShortName) {
  // Grayscale weighs its first three channels as red, green and blue and
  // writes gray with a fourth channel it leaves zero: from C, M, Y ink it
  // makes a negative-looking gray whose alpha hides it completely.
  if (effectShortName == "grayscale") {
    return "grayscale has no meaning for CMYK images (it would read the inks as red, green "
           "and blue and give a fully transparent result); convert the file to RGB first";
  }
  return nullptr;
}

}  // namespace lumeno::cli

// WebP files (libwebp): 8-bit RGB or RGBA, lossy or lossless, with their ICC
// profile, EXIF and XMP chunks.
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "cli/codec_common.h"
#include "cli/metadata.h"

namespace lumeno::cli::codec {

namespace {

bool ReadAll(FILE* file, std::vector<uint8_t>* bytes) {
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes->insert(bytes->end(), buffer, buffer + n);
  }
  return std::ferror(file) == 0;
}

std::vector<uint8_t> Chunk(WebPDemuxer* demux, const char* fourcc) {
  std::vector<uint8_t> out;
  WebPChunkIterator it;
  if (WebPDemuxGetChunk(demux, fourcc, 1, &it)) {
    out.assign(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
    WebPDemuxReleaseChunkIterator(&it);
  }
  return out;
}

struct MuxDeleter {
  void operator()(WebPMux* m) const { WebPMuxDelete(m); }
};

}  // namespace

bool ReadWebp(FILE* file, const std::string& path, Image* image, std::string* error,
              const PixelTarget& target, const ReadLimits& limits) {
  std::vector<uint8_t> bytes;
  try {
    if (!ReadAll(file, &bytes)) {
      *error = "cannot read " + path + ": " + ErrnoText();
      return false;
    }
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory to read the file";
    return false;
  }
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK) {
    *error = path + ": not a readable WebP file";
    return false;
  }
  if (features.has_animation) {
    *error = path + ": animated WebP files are not read";
    return false;
  }
  if (limits.page != 0) {
    *error = path + ": there is no page " + std::to_string(limits.page + 1) + "; the file has 1";
    return false;
  }
  const WebPData data{bytes.data(), bytes.size()};
  if (WebPDemuxer* demux = WebPDemux(&data)) {
    image->meta.icc = Chunk(demux, "ICCP");
    image->meta.exif = Chunk(demux, "EXIF");
    if (const int o = ExifOrientation(image->meta.exif)) image->meta.orientation = o;
    const std::vector<uint8_t> xmp = Chunk(demux, "XMP ");
    image->meta.xmp.assign(xmp.begin(), xmp.end());
    WebPDemuxDelete(demux);
  }
  image->width = features.width;
  image->height = features.height;
  image->bits = 8;
  image->model = ColorModel::kRGB;
  image->alpha = features.has_alpha != 0;
  if (!CheckDeclaredSize(path, "WebP", image->width, image->height, image->PixelBytes(), limits,
                         error) ||
      !AllocatePixels(path, image, target, error)) {
    return false;
  }
  const int64_t stride =
      image->height > 1 ? image->MutableRow(1) - image->MutableRow(0) : image->RowBytes();
  const size_t size = static_cast<size_t>(stride * (image->height - 1) + image->RowBytes());
  const uint8_t* ok = image->alpha
                          ? WebPDecodeRGBAInto(bytes.data(), bytes.size(), image->MutableRow(0),
                                               size, static_cast<int>(stride))
                          : WebPDecodeRGBInto(bytes.data(), bytes.size(), image->MutableRow(0),
                                              size, static_cast<int>(stride));
  if (ok == nullptr) {
    *error = path + ": damaged WebP data";
    return false;
  }
  ReportRows(image->height, image->height);
  return true;
}

bool WriteWebp(FILE* file, const std::string& path, const Image& image, const WriteOptions& options,
               std::string* error) {
  if (image.bits != 8 || image.model != ColorModel::kRGB) {
    *error = path + ": WebP stores 8-bit RGB or RGBA only";
    return false;
  }
  if (image.width > WEBP_MAX_DIMENSION || image.height > WEBP_MAX_DIMENSION) {
    *error =
        path + ": WebP holds at most " + std::to_string(WEBP_MAX_DIMENSION) + " pixels on a side";
    return false;
  }
  WebPConfig config;
  WebPPicture picture;
  if (!WebPConfigInit(&config) || !WebPPictureInit(&picture)) {
    *error = path + ": the WebP library does not match its headers";
    return false;
  }
  config.quality = static_cast<float>(std::clamp(options.jpegQuality, 1, 100));
  config.lossless = options.jpegQuality >= 100 ? 1 : 0;
  config.exact = 1;  // colours under transparent pixels stay
  picture.use_argb = 1;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  // The rows are imported one by one: the image's rows need not be contiguous.
  if (!WebPPictureAlloc(&picture)) {
    *error = path + ": not enough memory to encode WebP";
    return false;
  }
  for (int64_t y = 0; y < image.height; ++y) {
    const uint8_t* row = image.Row(y);
    uint32_t* argb = picture.argb + y * picture.argb_stride;
    for (int64_t x = 0; x < image.width; ++x) {
      const uint8_t* p = row + x * image.PixelBytes();
      const uint32_t a = image.alpha ? p[3] : 255;
      argb[x] = a << 24 | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    }
  }
  WebPMemoryWriter writer;
  WebPMemoryWriterInit(&writer);
  picture.progress_hook = [](int percent, const WebPPicture*) {
    ReportRows(percent, 100);
    return 1;
  };
  picture.writer = WebPMemoryWrite;
  picture.custom_ptr = &writer;
  const bool encoded = WebPEncode(&config, &picture) != 0;
  WebPPictureFree(&picture);
  if (!encoded) {
    WebPMemoryWriterClear(&writer);
    *error = path + ": WebP encoding failed";
    return false;
  }
  WebPData out{writer.mem, writer.size};
  WebPData assembled{nullptr, 0};
  const Metadata& meta = image.meta;
  // An orientation without a block (a TIFF tag) gets a block of its own.
  const std::vector<uint8_t> exif = ExifForWriting(meta);
  if (!meta.icc.empty() || !exif.empty() || !meta.xmp.empty()) {
    std::unique_ptr<WebPMux, MuxDeleter> mux(WebPMuxNew());
    bool ok = mux && WebPMuxSetImage(mux.get(), &out, 0) == WEBP_MUX_OK;
    auto set = [&](const char* fourcc, const void* bytes, size_t size) {
      if (size == 0) return;
      const WebPData chunk{static_cast<const uint8_t*>(bytes), size};
      ok = ok && WebPMuxSetChunk(mux.get(), fourcc, &chunk, 1) == WEBP_MUX_OK;
    };
    set("ICCP", meta.icc.data(), meta.icc.size());
    set("EXIF", exif.data(), exif.size());
    set("XMP ", meta.xmp.data(), meta.xmp.size());
    ok = ok && WebPMuxAssemble(mux.get(), &assembled) == WEBP_MUX_OK;
    if (!ok) {
      WebPMemoryWriterClear(&writer);
      *error = path + ": WebP metadata could not be stored";
      return false;
    }
    out = assembled;
  }
  const bool written = std::fwrite(out.bytes, 1, out.size, file) == out.size;
  WebPDataClear(&assembled);
  WebPMemoryWriterClear(&writer);
  if (!written) *error = "cannot write " + path + ": " + ErrnoText();
  return written;
}

}  // namespace lumeno::cli::codec

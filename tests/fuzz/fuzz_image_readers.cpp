// The tool's image-file readers (PNG, JPEG, TIFF) on arbitrary file
// contents. A read either fails with a message or yields an image whose
// buffer matches its declared shape, and never takes more memory than the
// size limit allows.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/image_io.h"
#include "fuzz/fuzz_support.h"

namespace lumeno::fuzz {

int FuzzImageReaders(const uint8_t* data, size_t size) {
  char path[] = "/tmp/lumeno-fuzz-image-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 0;
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(fd);
  cli::DetectFileType(path);
  cli::Image image;
  std::string error;
  // A header may declare any size; the limit keeps honest reads of large
  // declared sizes within the fuzzer's memory budget (4 Mpixels is at most
  // 64 MiB at 16-bit RGBA).
  cli::ReadLimits limits;
  limits.maxPixels = int64_t{1} << 22;
  const bool ok = cli::ReadImage(path, &image, &error, {}, limits);
  unlink(path);
  if (ok) {
    if (image.bits != 8 && image.bits != 16) Fail("image read with a depth other than 8 or 16");
    if (image.width < 0 || image.height < 0) Fail("image read with a negative size");
    if (image.data.size() != static_cast<size_t>(image.RowBytes() * image.height)) {
      Fail("image buffer does not match its shape");
    }
  } else if (error.empty()) {
    Fail("a failed read gave no message");
  }
  return 0;
}

}  // namespace lumeno::fuzz

#ifdef LUMENO_LIBFUZZER
LUMENO_FUZZ_ENTRY(lumeno::fuzz::FuzzImageReaders(data, size))
#endif

// Running the tool as a child process and the per-test folder.
#include "tool_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace lumeno::clitest {

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::vector<std::string> Split(const std::string& text, char at) {
  std::vector<std::string> parts;
  for (size_t b = 0, e = 0; e != std::string::npos; b = e + 1) {
    e = text.find(at, b);
    parts.push_back(text.substr(b, e == std::string::npos ? e : e - b));
  }
  return parts;
}

int StartTool(const std::vector<std::string>& args, int outFd, int errFd, long fileSizeLimit) {
  std::vector<std::string> argv = {LUMENO_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
    if (fileSizeLimit > 0) setrlimit(RLIMIT_FSIZE, &limit);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  return pid;
}

ToolResult RunTool(const std::vector<std::string>& args, long fileSizeLimit) {
  char outName[] = "/tmp/lumeno-test-out-XXXXXX";
  char errName[] = "/tmp/lumeno-test-err-XXXXXX";
  const int outFd = mkstemp(outName);
  const int errFd = mkstemp(errName);
  const pid_t pid = StartTool(args, outFd, errFd, fileSizeLimit);
  int wstatus = 0;
  struct rusage usage {};
  wait4(pid, &wstatus, 0, &usage);
  close(outFd);
  close(errFd);
  ToolResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = Slurp(outName);
  r.err = Slurp(errName);
  r.peakKb = usage.ru_maxrss;
  unlink(outName);
  unlink(errName);
  return r;
}

cli::Image PatternImage(int64_t width, int64_t height, cli::ColorModel model, bool alpha, int bits,
                        uint64_t seed) {
  cli::Image image;
  image.width = width;
  image.height = height;
  image.model = model;
  image.alpha = alpha;
  image.bits = bits;
  image.Allocate();
  std::mt19937_64 rng(seed);
  for (uint8_t& b : image.data) b = static_cast<uint8_t>(rng());
  if (bits == 8) image.data[0] = 0, image.data[1] = 255;  // the extremes occur
  return image;
}

cli::Image SmoothImage(int64_t width, int64_t height, cli::ColorModel model) {
  cli::Image image;
  image.width = width;
  image.height = height;
  image.model = model;
  image.Allocate();
  const int channels = image.Channels();
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        image.data[static_cast<size_t>((y * width + x) * channels + c)] =
            static_cast<uint8_t>(std::min<int64_t>(250, 40 + x * 2 + y * (c + 1)));
      }
    }
  }
  return image;
}

void WriteTiff(const std::string& path, const cli::Image& image, bool tiled, bool planar,
               int pages) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr);
  const auto bw = static_cast<uint32_t>(tiled ? 16 : image.width);
  const auto bh = static_cast<uint32_t>(tiled ? 16 : image.height);
  const int bytes = image.bits / 8, planes = planar ? image.Channels() : 1;
  const int per = image.Channels() / planes;
  const uint16_t photometric = image.model == cli::ColorModel::kRGB    ? PHOTOMETRIC_RGB
                               : image.model == cli::ColorModel::kCMYK ? PHOTOMETRIC_SEPARATED
                                                                       : PHOTOMETRIC_MINISBLACK;
  for (int page = 0; page < pages; ++page) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, image.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, image.Channels());
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    if (image.alpha) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    TIFFSetField(t, tiled ? TIFFTAG_TILEWIDTH : TIFFTAG_ROWSPERSTRIP, tiled ? bw : bh);
    if (tiled) TIFFSetField(t, TIFFTAG_TILELENGTH, bh);
    std::vector<uint8_t> block(size_t{bw} * bh * per * bytes);
    for (uint16_t p = 0; p < planes; ++p) {
      for (uint32_t by = 0; by < image.height; by += bh) {
        for (uint32_t bx = 0; bx < image.width; bx += bw) {
          std::fill(block.begin(), block.end(), 0);
          for (uint32_t r = 0; r < bh && by + r < image.height; ++r) {
            for (uint32_t x = 0; x < bw && bx + x < image.width; ++x) {
              for (int s = 0; s < per; ++s) {
                const auto v =
                    static_cast<uint16_t>(image.Sample16(bx + x, by + r, p * per + s) + 10 * page);
                uint8_t* at = &block[((size_t{r} * bw + x) * per + s) * bytes];
                bytes == 1 ? void(*at = static_cast<uint8_t>(v)) : void(std::memcpy(at, &v, 2));
              }
            }
          }
          const auto size = static_cast<tmsize_t>(block.size());
          tiled ? TIFFWriteEncodedTile(t, TIFFComputeTile(t, bx, by, 0, p), block.data(), size)
                : TIFFWriteEncodedStrip(t, TIFFComputeStrip(t, by, p), block.data(), size);
        }
      }
    }
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

ToolResult RunInBands(std::vector<std::string> args) {
  args.push_back("--progress");
  setenv("LUMENO_BAND_ROWS", "5", 1);
  ToolResult r = RunTool(args);
  unsetenv("LUMENO_BAND_ROWS");
  EXPECT_NE(r.err.find("decoded 100% effect 100% encoded 100%"), std::string::npos) << r.err;
  return r;
}

void ToolTest::SetUp() {
  char name[] = "/tmp/lumeno-cli-test-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  dir_ = name;
}

void ToolTest::TearDown() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string ToolTest::Write(const std::string& name, const cli::Image& image) {
  cli::WriteOptions options;
  options.pngCompression = 6;
  options.jpegQuality = 95;
  std::string error;
  const std::string path = Path(name);
  EXPECT_TRUE(cli::WriteImage(path, cli::FileTypeForExtension(path), image, options, &error))
      << error;
  return path;
}

cli::Image ToolTest::Read(const std::string& name) {
  cli::Image image;
  std::string error;
  EXPECT_TRUE(cli::ReadImage(Path(name), &image, &error)) << error;
  return image;
}

std::vector<std::string> ToolTest::Args(const std::string& text) const {
  std::vector<std::string> args = Split(text, ' ');
  for (std::string& arg : args) {
    const size_t at = arg.find('@');
    if (at != std::string::npos) arg.replace(at, 1, dir_ + "/");
  }
  return args;
}

bool ToolTest::Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

std::vector<std::string> ToolTest::Entries() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ToolTest::FileBytes(const std::string& name) const { return Slurp(Path(name)); }

}  // namespace lumeno::clitest

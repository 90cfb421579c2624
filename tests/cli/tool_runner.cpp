// Running the tool as a child process and the per-test folder.
#include "tool_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
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

int StartTool(const std::vector<std::string>& args, int outFd, int errFd) {
  std::vector<std::string> argv = {LUMENO_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  return pid;
}

ToolResult RunTool(const std::vector<std::string>& args) {
  char outName[] = "/tmp/lumeno-test-out-XXXXXX";
  char errName[] = "/tmp/lumeno-test-err-XXXXXX";
  const int outFd = mkstemp(outName);
  const int errFd = mkstemp(errName);
  const pid_t pid = StartTool(args, outFd, errFd);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  close(outFd);
  close(errFd);
  ToolResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = Slurp(outName);
  r.err = Slurp(errName);
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
  if (bits == 8) {
    for (uint8_t& b : image.data) b = static_cast<uint8_t>(rng());
    // Make sure the extremes occur.
    image.data[0] = 0;
    image.data[1] = 255;
  } else {
    for (size_t i = 0; i + 1 < image.data.size(); i += 2) {
      const uint16_t v = static_cast<uint16_t>(rng());
      std::memcpy(&image.data[i], &v, 2);
    }
  }
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

// The class catalog read from the definition records: short forms, the
// generated documentation, help and version texts; and cancelling runs with
// Ctrl-C or a signal.
#include "cli/catalog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "cli/lumeno_main.h"
#include "cli/tool_session.h"
#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

TEST(ShortClassName, FollowsTheNamingRule) {
  for (const auto& [className, shortName] : std::vector<std::pair<std::string, std::string>>{
           {"BrightnessEffectRaw", "brightness"},
           {"BrightnessContrastEffectRaw", "brightness-contrast"},
           {"ColorFilterEffectRaw", "color-filter"},
           {"TintAndTemperatureEffectRaw", "tint-and-temperature"},
           {"BlendEffectRaw", "blend"},
           {"MPImageFilterRaw", "mp-image-filter"},
           {"RawBitmap", "raw-bitmap"},
           {"HSLToRGBRaw", "hsl-to-rgb"}}) {
    EXPECT_EQ(cli::ShortClassName(className), shortName);
  }
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cli::gInterrupted.store(false);
    const cli::Failure f = session_.Load(LUMENO_PLUGIN_PATH);
    ASSERT_FALSE(f) << f.message;
  }
  void TearDown() override { cli::gInterrupted.store(false); }
  cli::Session session_;
};

TEST_F(SessionTest, EffectsAnswerToTheirShortForms) {
  const cli::ClassEntry* e = session_.Classes().FindEffect("Tint-And-Temperature");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->name, "TintAndTemperatureEffectRaw");
  EXPECT_EQ(session_.Classes().FindEffect("mp-image-filter"), nullptr);  // no Apply
}

TEST_F(SessionTest, AnInterruptCancelsSynchronousAndBackgroundRuns) {
  host::Host& host = session_.Host();
  const cli::Image image = PatternImage(64, 1000, ColorModel::kRGB, true, 8);
  const cli::ClassEntry* invert = session_.Classes().FindEffect("invert");
  ASSERT_NE(invert, nullptr);
  const std::string path = "/tmp/lumeno-cli-cancel-" + std::to_string(getpid()) + ".png";
  std::string error;
  ASSERT_TRUE(cli::WriteImage(path, cli::FileType::kPNG, image, {}, &error)) << error;
  host::Object source = nullptr;
  ASSERT_FALSE(session_.LoadBitmap(path, &source));
  unlink(path.c_str());
  cli::gInterrupted.store(true);
  for (const bool async : {false, true}) {
    for (const int64_t threads : {1, 4}) {
      SCOPED_TRACE(std::string(async ? "async" : "sync") + " threads " + std::to_string(threads));
      cli::RunOptions options;
      options.async = async;
      options.hasThreads = true;
      options.threads = threads;
      host::Object result = nullptr;
      const cli::Failure f = session_.Run(*invert, {}, options, source, &result);
      EXPECT_EQ(f.status, cli::kExitInterrupted) << f.message;
      EXPECT_EQ(result, nullptr);
      EXPECT_EQ(host.TaskCount(), 0u);
    }
  }
}

class DocsTest : public ToolTest {};

TEST_F(DocsTest, EffectsDocumentIsUpToDate) {
  const ToolResult r = RunTool({"list", "--markdown"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(std::string(LUMENO_SOURCE_DIR) + "/docs/effects.md");
  std::ostringstream checkedIn;
  checkedIn << in.rdbuf();
  EXPECT_EQ(checkedIn.str(), r.out) << "docs/effects.md is out of date: regenerate it with "
                                       "'lumeno list --markdown > docs/effects.md'";
}

// Commands that print to standard output with status 0, and a text each
// output must hold ("!" before it: must not hold).
TEST_F(DocsTest, ListHelpAndVersionShowWhatTheyShould) {
  const struct {
    const char* args;
    std::vector<std::string> texts;
  } cases[] = {
      {"list",
       {"BlendEffectRaw (blend) : MPImageFilterRaw", "CPU_USE_MACHINE_CORE_COUNT = -1",
        "NTSC_PAL = 0", "SCREEN=2", "OUT_OF_MEMORY", "read-only"}},
      // An effect: only what apply can set, with its default and range.
      {"list tint-temperature",
       {"Temperature            Single           0                  -1 to 1", "ForceThreads",
        "MultiprocessingHint", "a run needs a value for Tint", "!ProgressHandler", "!ErrorCode"}},
      {"list sepia", {"SepiaValue             Single           0.3                0 to 1"}},
      {"list grayscale",
       {"GrayscaleType          Integer          NTSC_PAL           NTSC_PAL, ITU_R, AVERAGE, "
        "WEIGHTEDAVERAGE\n"}},
      {"list blend", {"Opacity", "0 to 1", "needs a value for FillBitmap", "and Opacity"}},
      {"list MPImageFilterRaw", {"Cancel()", "CPU_USE_8_CORES = 8", "ErrorCode"}},
      {"--version", {"lumeno 1.0.0\n"}},
      {"help", {"lumeno help [COMMAND|EFFECT]"}},
      {"help apply", {"--no-clobber", "--skip-existing", "--shard K/N", "+ contrast"}},
      {"apply invert --help", {"--shard K/N"}},
      {"list --help", {"--markdown"}},
      {"info -h", {"lumeno info"}},
      {"help contrast", {"ContrastValue          Single           0                  -1 to 1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolResult r = RunTool(Args(c.args));
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& t : c.texts) {
      const bool absent = t[0] == '!';
      EXPECT_EQ(r.out.find(t.substr(absent ? 1 : 0)) == std::string::npos, absent) << t << "\n"
                                                                                   << r.out;
    }
  }
}

class InterruptTest : public ToolTest {};

// Ctrl-C, SIGTERM or SIGHUP while the tool waits for its input (a FIFO): it
// stops with status 128 + the signal's number and writes nothing.
TEST_F(InterruptTest, SignalsStopTheRunAndWriteNothing) {
  const struct {
    int signal;
    bool async;
  } cases[] = {{SIGINT, false}, {SIGINT, true}, {SIGTERM, false}, {SIGHUP, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.async ? " async" : " sync"));
    const std::string fifo = Path("in.png");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int devnull = open("/dev/null", O_WRONLY);
    std::vector<std::string> args = {"apply", "invert", fifo, Path("out.png")};
    if (c.async) args.push_back("--async");
    const pid_t pid = StartTool(args, devnull, devnull);
    close(devnull);
    // Wait until the tool has its handler (SigCgt bit signal - 1), then
    // signal it while it blocks opening the FIFO, then feed it a picture.
    bool caught = false;
    for (int i = 0; i < 500 && !caught; ++i) {
      std::ifstream status("/proc/" + std::to_string(pid) + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
          caught = (std::stoull(line.substr(7), nullptr, 16) & (1ull << (c.signal - 1))) != 0;
        }
      }
      if (!caught) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(caught);
    kill(pid, c.signal);
    {
      const cli::Image image = PatternImage(32, 300, ColorModel::kRGB, true, 8);
      std::string error;
      ASSERT_TRUE(cli::WriteImage(fifo, cli::FileType::kPNG, image, {}, &error)) << error;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 128 + c.signal);
    EXPECT_EQ(Entries(), std::vector<std::string>{"in.png"});
  }
}

}  // namespace
}  // namespace lumeno::clitest

// The class catalog read from the definition records: short forms, constant
// texts, the error table, the generated documentation and every property
// type a registered class uses; and cancelling runs with Ctrl-C.
#include "cli/catalog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "cli/lumeno_main.h"
#include "cli/tool_session.h"
#include "tool_runner.h"

namespace lumeno::clitest {
namespace {

using cli::ColorModel;

TEST(ShortClassName, FollowsTheNamingRule) {
  const struct {
    const char* className;
    const char* shortName;
  } cases[] = {
      {"BrightnessEffectRaw", "brightness"},
      {"BrightnessContrastEffectRaw", "brightness-contrast"},
      {"ColorFilterEffectRaw", "color-filter"},
      {"TintAndTemperatureEffectRaw", "tint-and-temperature"},
      {"BlendEffectRaw", "blend"},
      {"MPImageFilterRaw", "mp-image-filter"},
      {"RawBitmap", "raw-bitmap"},
      {"HSLToRGBRaw", "hsl-to-rgb"},
  };
  for (const auto& c : cases) EXPECT_EQ(cli::ShortClassName(c.className), c.shortName);
}

TEST(ParseConstantDeclaration, ReadsNameAndValue) {
  cli::NamedValue v;
  ASSERT_TRUE(cli::ParseConstantDeclaration("CPU_USE_MACHINE_CORE_COUNT = -1", &v));
  EXPECT_EQ(v.name, "CPU_USE_MACHINE_CORE_COUNT");
  EXPECT_EQ(v.value, -1);
  ASSERT_TRUE(cli::ParseConstantDeclaration("ADD = 23", &v));
  EXPECT_EQ(v.value, 23);
  EXPECT_FALSE(cli::ParseConstantDeclaration("ADD=23", &v));
  EXPECT_FALSE(cli::ParseConstantDeclaration("ADD = x", &v));
  EXPECT_FALSE(cli::ParseConstantDeclaration(" = 3", &v));
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
  std::set<std::string> names;
  for (const cli::ClassEntry* e : session_.Classes().Effects()) names.insert(e->shortName);
  const std::set<std::string> expected = {
      "brightness",   "brightness-contrast", "contrast",  "sepia", "invert",
      "color-filter", "tint-temperature",    "grayscale", "blend"};
  EXPECT_EQ(names, expected);
  const cli::ClassEntry* e = session_.Classes().FindEffect("Tint-And-Temperature");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->name, "TintAndTemperatureEffectRaw");
  EXPECT_EQ(session_.Classes().FindEffect("mp-image-filter"), nullptr);  // no Apply
}

TEST_F(SessionTest, EveryErrorConstantHasAnExplanation) {
  const auto& errors = session_.Classes().ErrorConstants();
  ASSERT_EQ(errors.size(), 12u);
  for (const cli::NamedValue& e : errors) {
    EXPECT_STRNE(cli::ExplainError(e.name), "") << e.name;
    EXPECT_EQ(
        session_.DescribeError(e.value).rfind(e.name + " (" + std::to_string(e.value) + ")", 0),
        0u);
  }
  EXPECT_EQ(session_.DescribeError(99), "error code 99");
}

TEST_F(SessionTest, AnInterruptCancelsSynchronousAndBackgroundRuns) {
  host::Host& host = session_.Host();
  const cli::Image image = PatternImage(64, 1000, ColorModel::kRGB, true, 8);
  const cli::ClassEntry* invert = session_.Classes().FindEffect("invert");
  ASSERT_NE(invert, nullptr);
  std::string error;
  cli::gInterrupted.store(true);
  for (const bool async : {false, true}) {
    for (const int64_t threads : {1, 4}) {
      SCOPED_TRACE(std::string(async ? "async" : "sync") + " threads " + std::to_string(threads));
      host::Object source = nullptr;
      {
        const std::string path = "/tmp/lumeno-cli-cancel-" + std::to_string(getpid()) + ".png";
        std::string werr;
        ASSERT_TRUE(cli::WriteImage(path, cli::FileType::kPNG, image, {}, &werr)) << werr;
        ASSERT_FALSE(session_.LoadBitmap(path, &source));
        unlink(path.c_str());
      }
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

TEST_F(DocsTest, ListShowsMembersFromTheRecords) {
  const ToolResult all = RunTool({"list"});
  ASSERT_EQ(all.status, 0) << all.err;
  for (const char* text :
       {"BlendEffectRaw (blend) : MPImageFilterRaw", "CPU_USE_MACHINE_CORE_COUNT = -1",
        "NTSC_PAL = 0", "SCREEN=2", "OUT_OF_MEMORY", "read-only"}) {
    EXPECT_NE(all.out.find(text), std::string::npos) << text;
  }
  const ToolResult one = RunTool({"list", "tint-temperature"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_NE(one.out.find("Temperature"), std::string::npos);
  EXPECT_NE(one.out.find("MultiprocessingHint"), std::string::npos);  // inherited
  EXPECT_NE(one.out.find("Cancel() (MPImageFilterRaw)"), std::string::npos);
  const ToolResult bad = RunTool({"list", "glow"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("unknown effect 'glow'"), std::string::npos);
}

// Values for each registered property type: one the tool must take, one it
// must refuse.
struct TypeValues {
  std::string good;
  std::string bad;
  int badStatus;
};

class PropertyTypeTest : public ToolTest {};

TEST_F(PropertyTypeTest, EveryRegisteredTypeParses) {
  Write("in.png", PatternImage(16, 16, ColorModel::kRGB, true, 8));
  Write("mask.png", PatternImage(16, 16, ColorModel::kGray, false, 8));
  cli::Session session;
  ASSERT_FALSE(session.Load(LUMENO_PLUGIN_PATH));
  const cli::Catalog& catalog = session.Classes();
  std::set<std::string> typesSeen;
  for (const cli::ClassEntry* effect : catalog.Effects()) {
    for (const cli::PropertyEntry& p : catalog.AllProperties(*effect)) {
      if (!p.writable) continue;
      TypeValues v;
      if (p.type == "Single" || p.type == "Double") {
        v = {"0.25", "0.25x", 2};
      } else if (p.type == "Boolean") {
        v = {"Yes", "maybe", 2};
      } else if (p.type == "Integer") {
        const auto constants = catalog.AllConstants(*effect);
        v = {constants.empty() ? "1" : constants.back().name, "1.5", 2};
      } else if (const cli::EnumEntry* e = catalog.FindEnum(p.type)) {
        std::string lower = e->fields.back().name;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
        v = {lower, "999", 2};
      } else if (p.type == "RawBitmap") {
        v = {Path("in.png"), Path("absent.png"), 3};
      } else if (p.type == "RawBitmapMask") {
        v = {Path("mask.png") + ":gray", Path("mask.png") + ":purple", 2};
      } else if (p.type == "PointF" || p.type == "SizeF") {
        v = {"3,4", "3;4", 2};
      } else if (p.type == "IProgressHandlerV2") {
        v = {"", "handler", 2};
      } else {
        ADD_FAILURE() << "no test values for type " << p.type << " of " << p.name;
        continue;
      }
      typesSeen.insert(catalog.FindEnum(p.type) != nullptr ? "enumeration" : p.type);
      SCOPED_TRACE(effect->name + "." + p.name + " (" + p.type + ")");
      if (!v.good.empty()) {
        const ToolResult ok = RunTool({"apply", effect->shortName, p.name + "=" + v.good, "--quiet",
                                       Path("in.png"), Path("out.png")});
        // The plug-in may still refuse the combination (status 1), but the
        // value itself was understood.
        EXPECT_TRUE(ok.status == 0 || ok.status == 1) << ok.err;
        EXPECT_EQ(ok.err.find("bad value"), std::string::npos) << ok.err;
        unlink(Path("out.png").c_str());
      }
      const ToolResult bad = RunTool(
          {"apply", effect->shortName, p.name + "=" + v.bad, Path("in.png"), Path("out.png")});
      EXPECT_EQ(bad.status, v.badStatus) << bad.err;
      EXPECT_NE(bad.err.find(p.name), std::string::npos) << bad.err;
      EXPECT_FALSE(Exists("out.png"));
    }
  }
  const std::set<std::string> expected = {
      "Single",    "Double",        "Boolean", "Integer", "enumeration",
      "RawBitmap", "RawBitmapMask", "PointF",  "SizeF",   "IProgressHandlerV2"};
  EXPECT_EQ(typesSeen, expected);
}

class InterruptTest : public ToolTest {};

// SIGINT while the tool waits for its input (a FIFO): it stops with status
// 130 and writes nothing.
TEST_F(InterruptTest, CtrlCExitsWith130AndWritesNothing) {
  for (const bool async : {false, true}) {
    SCOPED_TRACE(async ? "async" : "sync");
    const std::string fifo = Path("in.png");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      dup2(devnull, 2);
      std::vector<std::string> args = {LUMENO_TOOL_PATH, "apply", "invert", fifo, Path("out.png")};
      if (async) args.push_back("--async");
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    // Wait until the tool has its SIGINT handler (SigCgt bit 2), then
    // interrupt it while it blocks opening the FIFO, then feed it a picture.
    bool caught = false;
    for (int i = 0; i < 500 && !caught; ++i) {
      std::ifstream status("/proc/" + std::to_string(pid) + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
          caught = (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGINT - 1))) != 0;
        }
      }
      if (!caught) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(caught);
    kill(pid, SIGINT);
    {
      const cli::Image image = PatternImage(32, 300, ColorModel::kRGB, true, 8);
      std::string error;
      ASSERT_TRUE(cli::WriteImage(fifo, cli::FileType::kPNG, image, {}, &error)) << error;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 130);
    EXPECT_EQ(Entries(), std::vector<std::string>{"in.png"});
  }
}

}  // namespace
}  // namespace lumeno::clitest

// Entry of the benchmark suite. Registers every case, runs the ones the
// filter selects (by default the sizes up to 1024, each case for at least
// 0.05 s; "--benchmark_filter=/4096/" or "/8192/" select the big ones and
// "--benchmark_min_time" sets another time), and after the run prints each
// effect as a ratio to the limits of the same format, size and thread count,
// with the performance targets checked where they apply.
//
//   lumeno_bench [benchmark flags] [--lumeno_markdown=FILE]
//
// --lumeno_markdown writes the ratio table and a description of the machine
// as Markdown (scripts/bench.sh puts it into docs/performance.md).
#include <benchmark/benchmark.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

namespace lumeno::bench {
namespace {

// The parts of a benchmark name (see bench_support.h).
struct NameParts {
  std::string effect, format, variant, form;  // variant and form empty for limits
  std::string size, threads;
  bool isLimit = false;
};

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, '/')) {
    if (part == "real_time" || part.find(':') != std::string::npos) continue;  // run options
    parts.push_back(part);
  }
  return parts;
}

bool Parse(const std::string& name, NameParts* out) {
  const std::vector<std::string> p = Split(name);
  if (p.size() == 6) {
    *out = {p[0], p[1], p[2], p[3], p[4], p[5], false};
    return true;
  }
  if (p.size() == 4) {
    *out = {p[0], p[1], "", "", p[2], p[3], true};
    return true;
  }
  return false;
}

std::string LimitKey(const std::string& limit, const NameParts& n) {
  return limit + "/" + n.format + "/" + n.size + "/" + n.threads;
}
std::string EffectKey(const NameParts& n, const std::string& variant, const std::string& form) {
  return n.effect + "/" + n.format + "/" + variant + "/" + form + "/" + n.size + "/" + n.threads;
}

bool IsBlend(const std::string& effect) { return effect.rfind("blend.", 0) == 0; }
bool IsColourSpaceMode(const std::string& effect) {
  return effect == "blend.HUE" || effect == "blend.SATURATION" || effect == "blend.COLOR" ||
         effect == "blend.LUMINOSITY";
}

// The ratio to memcpy (touched memory, same thread count) an effect's plain
// worker should reach at the big sizes; 0 where no target is set.
double PlainTarget(const std::string& effect, bool sixteen) {
  if (effect == "brightness" || effect == "invert" || effect == "color_filter" ||
      effect == "tint_temperature" || effect == "map") {
    return sixteen ? 1.35 : 1.25;
  }
  if (effect == "contrast" || effect == "brightness_contrast") return 2.0;
  if (effect == "sepia" || effect == "grayscale.NTSC_PAL" || effect == "grayscale.ITU_R") {
    return 3.0;
  }
  if (effect == "grayscale.AVERAGE" || effect == "grayscale.WEIGHTEDAVERAGE") return 2.0;
  if (IsBlend(effect) && !IsColourSpaceMode(effect)) return 2.5;
  return 0.0;
}

// OpenCV's operation nearest to an effect (empty: none).
std::string NearestOpenCv(const std::string& effect) {
  if (effect == "invert") return "opencv.bitwise_not";
  if (effect == "brightness" || effect == "color_filter" || effect == "tint_temperature") {
    return "opencv.add";
  }
  if (effect == "map" || effect == "contrast" || effect == "brightness_contrast") {
    return "opencv.LUT";
  }
  if (effect.rfind("grayscale.", 0) == 0) return "opencv.cvtColor";
  if (effect == "sepia") return "opencv.transform";
  if (effect == "blend.NORMAL") return "opencv.addWeighted";
  if (effect == "blend.MULTIPLY") return "opencv.multiply";
  return "";
}

struct Row {
  std::string name;
  double seconds;
};

// The console output of Google Benchmark, plus the ratio table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::string markdownPath) : markdownPath_(std::move(markdownPath)) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration) continue;
      const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
      const std::string name = run.benchmark_name();
      if (times_.count(name) == 0) order_.push_back(name);
      times_[name] = seconds;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::string table = Table();
    GetOutputStream() << "\n" << table;
    if (!markdownPath_.empty()) {
      std::ofstream out(markdownPath_);
      out << Machine() << "\n" << table;
    }
  }

 private:
  double Time(const std::string& key) const {
    for (const auto& [name, seconds] : times_) {
      NameParts n;
      if (!Parse(name, &n)) continue;
      const std::string k = n.isLimit ? LimitKey(n.effect, n) : EffectKey(n, n.variant, n.form);
      if (k == key) return seconds;
    }
    return 0.0;
  }

  static std::string Fixed(double v, int digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, v);
    return buffer;
  }
  static std::string Ratio(double a, double b) {
    return a > 0 && b > 0 ? Fixed(a / b, 2) + "x" : "-";
  }

  // The target and its verdict for one effect row, or "-" where none applies.
  std::string Verdict(const NameParts& n, double seconds) const {
    if (std::stoll(n.size) < 4096) return "-";
    const bool sixteen = n.format.find("16") != std::string::npos;
    const bool blend = IsBlend(n.effect);
    const double touched = Time(LimitKey("memcpy_touched", n));
    const double fresh = Time(LimitKey("memcpy_fresh", n));
    if (n.variant == "masked") {
      const double plain = Time(EffectKey(n, "plain", n.form));
      const double lookups = Time(LimitKey("mask_lookups", n));
      if (plain <= 0 || lookups <= 0) return "-";
      const double bound = 1.25 * (plain + lookups);
      return (seconds <= bound ? "met" : "MISSED") + std::string(" (<= ") + Fixed(bound * 1e3, 1) +
             " ms)";
    }
    if (n.form == "apply" && !blend) {
      const double inPlace = Time(EffectKey(n, n.variant, "inplace"));
      if (inPlace <= 0 || fresh <= 0 || touched <= 0) return "-";
      const double bound = inPlace + (fresh - touched);
      return (seconds <= bound ? "met" : "MISSED") + std::string(" (<= ") + Fixed(bound * 1e3, 1) +
             " ms)";
    }
    const double target = PlainTarget(n.effect, sixteen);
    // The blend effect has no in-place form: its Apply is held against the
    // copy into fresh memory, which pays for the destination as well.
    const double limit = blend ? fresh : touched;
    if (target <= 0 || limit <= 0) return "-";
    return (seconds / limit <= target ? "met" : "MISSED") + std::string(" (<= ") +
           Fixed(target, 2) + "x)";
  }

  std::string Table() const {
    std::ostringstream out;
    out << "| benchmark | ms | x memcpy touched | x memcpy fresh |"
        << (HasOpenCv() ? " x OpenCV |" : "") << " target |\n";
    out << "|---|---:|---:|---:|" << (HasOpenCv() ? "---:|" : "") << "---|\n";
    for (const std::string& name : order_) {
      NameParts n;
      if (!Parse(name, &n)) continue;
      const double seconds = times_.at(name);
      out << "| " << (n.isLimit ? LimitKey(n.effect, n) : EffectKey(n, n.variant, n.form)) << " | "
          << Fixed(seconds * 1e3, 3) << " | " << Ratio(seconds, Time(LimitKey("memcpy_touched", n)))
          << " | " << Ratio(seconds, Time(LimitKey("memcpy_fresh", n))) << " |";
      if (HasOpenCv()) {
        const std::string op = n.isLimit ? "" : NearestOpenCv(n.effect);
        out << " " << (op.empty() ? "-" : Ratio(seconds, Time(LimitKey(op, n)))) << " |";
      }
      out << " " << (n.isLimit ? "-" : Verdict(n, seconds)) << " |\n";
    }
    return out.str();
  }

  bool HasOpenCv() const {
    for (const std::string& name : order_) {
      if (name.rfind("opencv.", 0) == 0) return true;
    }
    return false;
  }

  static std::string FirstLine(const char* path, const char* prefix) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (prefix == nullptr || line.rfind(prefix, 0) == 0) {
        const size_t colon = prefix != nullptr ? line.find(':') : std::string::npos;
        return colon == std::string::npos ? line : line.substr(colon + 2);
      }
    }
    return "unknown";
  }

  static std::string Machine() {
    std::ostringstream out;
    utsname u{};
    uname(&u);
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    out << "Measured " << date << " on " << FirstLine("/proc/cpuinfo", "model name") << ", "
        << std::thread::hardware_concurrency() << " logical CPUs, " << u.sysname << " " << u.release
        << ", transparent huge pages "
        << FirstLine("/sys/kernel/mm/transparent_hugepage/enabled", nullptr) << ", compiler "
        << __VERSION__
        << ". Load average at the end of the run: " << FirstLine("/proc/loadavg", nullptr) << ".\n";
    return out.str();
  }

  std::string markdownPath_;
  std::map<std::string, double> times_;
  std::vector<std::string> order_;
};

}  // namespace
}  // namespace lumeno::bench

int main(int argc, char** argv) {
  using namespace lumeno::bench;
  std::string markdown;
  bool hasFilter = false;
  bool hasMinTime = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    constexpr const char kMarkdown[] = "--lumeno_markdown=";
    if (std::strncmp(argv[i], kMarkdown, sizeof kMarkdown - 1) == 0) {
      markdown = argv[i] + sizeof kMarkdown - 1;
      continue;
    }
    if (std::strncmp(argv[i], "--benchmark_filter", 18) == 0) hasFilter = true;
    if (std::strncmp(argv[i], "--benchmark_min_time", 20) == 0) hasMinTime = true;
    args.push_back(argv[i]);
  }
  std::string defaultFilter = std::string("--benchmark_filter=") + kDefaultFilter;
  if (!hasFilter) args.push_back(defaultFilter.data());
  // Short runs by default: the big images repeat few times anyway.
  std::string defaultMinTime = "--benchmark_min_time=0.05";
  if (!hasMinTime) args.push_back(defaultMinTime.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  StartHost();
  // Grouped by size, so that the images of one size are made once.
  for (int64_t size : kSizes) {
    for (int threads : kThreadCounts) {
      for (int64_t format : kFormats) {
        RegisterLimits(size, threads, format);
        RegisterEffects(size, threads, format);
      }
    }
  }
  RatioReporter reporter(markdown);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  StopHost();
  return 0;
}

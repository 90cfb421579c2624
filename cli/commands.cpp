// The commands of the lumeno tool: apply, list, info and demo.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "cli/band_pipeline.h"
#include "cli/bitmap_bridge.h"
#include "cli/catalog.h"
#include "cli/demo_command.h"
#include "cli/image_io.h"
#include "cli/lumeno_main.h"
#include "cli/metadata.h"
#include "cli/tool_session.h"
#include "host/raw_bitmap_class.h"

namespace lumeno::cli {

namespace {

#ifndef LUMENO_VERSION
#define LUMENO_VERSION "unknown"
#endif

constexpr const char* kUsage =
    "usage:\n"
    "  lumeno apply EFFECT [PROPERTY=VALUE ...] [+ EFFECT [PROPERTY=VALUE ...]] [options]\n"
    "               INPUT OUTPUT\n"
    "  lumeno apply EFFECT [PROPERTY=VALUE ...] [options] --out-dir DIR INPUT...\n"
    "  lumeno list [EFFECT] [--markdown]\n"
    "  lumeno info [--max-pixels N] FILE...\n"
    "  lumeno demo [OUTDIR]\n"
    "  lumeno help [COMMAND|EFFECT], lumeno COMMAND --help, lumeno --version\n"
    "\n"
    "EFFECT is a class name or its short form; 'lumeno list EFFECT' shows the properties\n"
    "it takes, their ranges and defaults. 'lumeno help apply' lists apply's options.\n"
    "Exit statuses: 1 effect failed, 2 usage, 3 file, 4 plug-in, 128+N signal N.\n";

struct CommandHelp {
  const char* command;
  const char* text;
};

constexpr CommandHelp kCommandHelp[] = {
    {"apply",
     "usage:\n"
     "  lumeno apply EFFECT [PROPERTY=VALUE ...] [+ EFFECT [PROPERTY=VALUE ...]] [options]\n"
     "               INPUT OUTPUT\n"
     "  lumeno apply EFFECT [PROPERTY=VALUE ...] [options] --out-dir DIR INPUT...\n"
     "\n"
     "Runs effects on image files (PNG, JPEG, TIFF, WebP; the output's type follows its\n"
     "extension). Effects joined by '+' run in order on one decoded image, on every\n"
     "page of a multi-page TIFF. '-' as INPUT or OUTPUT is standard input or output.\n"
     "\n"
     "options:\n"
     "  --mask FILE[:CHANNEL][:inverted]  weight the effect per pixel by an image channel\n"
     "  --threads N|auto|all              threads for the run (1-8, automatic, all cores)\n"
     "  --async                           run in the background with the host's run loop\n"
     "  --in-place                        change the input bitmap itself, then write it\n"
     "  --compression N                   PNG compression level 0-9 (default 2)\n"
     "  --quality N                       JPEG and WebP quality 1-100 (default 92; JPEG keeps\n"
     "                                    full colour from 90 on; WebP 100 is lossless)\n"
     "  --auto-orient                     turn the pixels as the EXIF/TIFF orientation says\n"
     "  --page N                          only page N (from 1) of a multi-page TIFF\n"
     "  --format TYPE                     output type png, jpg, tif or webp for '-' (standard\n"
     "                                    output; default: the input's) and for a batch's outputs\n"
     "                                    (their extension is replaced; default: kept)\n"
     "  --out-dir DIR                     batch: write each input to DIR under its own name\n"
     "  --no-clobber, -n                  never replace an existing output (a failure)\n"
     "  --skip-existing                   skip inputs whose output exists (resume a batch)\n"
     "  --shard K/N                       batch: take only part K of N of the inputs\n"
     "  --progress / --no-progress        force the progress line on or off\n"
     "  --quiet, -q                       no progress line and no messages but errors\n"
     "  --plugin PATH                     load the plug-in from PATH\n"
     "  --max-pixels N                    refuse larger images (default 1073741824; 0 = no\n"
     "                                    limit but the bitmaps' own)\n"
     "  --                                what follows is files only\n"
     "\n"
     "examples:\n"
     "  lumeno apply sepia SepiaValue=0.6 photo.jpg old.jpg\n"
     "  lumeno apply brightness BrightnessValue=0.2 + contrast ContrastValue=0.3 in.png out.png\n"
     "  lumeno apply invert --out-dir inverted --skip-existing pictures/*.png\n"
     "\n"
     "Ctrl-C, SIGTERM and SIGHUP cancel a run and leave no file behind.\n"},
    {"list",
     "usage: lumeno list [EFFECT|CLASS] [--markdown] [--plugin PATH]\n"
     "\n"
     "Without a name: every registered class with its members. With an effect: the\n"
     "properties 'lumeno apply' can set, the values each accepts and its default.\n"
     "--markdown writes the reference of docs/effects.md.\n"},
    {"info",
     "usage: lumeno info [--max-pixels N] FILE...\n"
     "\n"
     "File type, size, depth, channels and the RawBitmap format each file is read as,\n"
     "then its metadata: ICC profile, resolution, orientation, EXIF, XMP, text, pages.\n"},
    {"demo",
     "usage: lumeno demo [OUTDIR] [--plugin PATH]\n"
     "\n"
     "Writes a test picture, every effect's result on it and a contact sheet to OUTDIR\n"
     "(default lumeno-demo).\n"},
    {"help", "usage: lumeno help [COMMAND|EFFECT]\n"},
};

const char* CommandHelpText(const std::string& command) {
  for (const CommandHelp& h : kCommandHelp) {
    if (command == h.command) return h.text;
  }
  return nullptr;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const CommandHelp& h : kCommandHelp) names.push_back(h.command);
  return names;
}

// Options of apply, for suggestions on a typo.
constexpr const char* kApplyOptions[] = {
    "--mask",          "--threads",     "--async",      "--in-place",   "--compression",
    "--quality",       "--out-dir",     "--no-clobber", "--shard",      "--progress",
    "--no-progress",   "--quiet",       "--plugin",     "--max-pixels", "--help",
    "--skip-existing", "--auto-orient", "--page",       "--format"};

int Fail(const Failure& f) {
  std::fprintf(stderr, "lumeno: %s\n", f.message.c_str());
  return f.status;
}

int UsageError(const std::string& message, const char* command = nullptr) {
  std::fprintf(stderr, "lumeno: %s\n(see 'lumeno help%s%s')\n", message.c_str(),
               command != nullptr ? " " : "", command != nullptr ? command : "");
  return kExitUsage;
}

// "unknown option" with the nearest known one.
int UnknownOption(const std::string& option, const std::vector<std::string>& known,
                  const char* command) {
  const std::string name = option.substr(0, option.find('='));
  return UsageError(
      "unknown option '" + option + "' (or it lacks its value)" + DidYouMean(name, known), command);
}

bool IsAssignment(const std::string& arg) {
  const size_t eq = arg.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(arg[0])) && arg[0] != '_') return false;
  for (size_t i = 1; i < eq; ++i) {
    if (!std::isalnum(static_cast<unsigned char>(arg[i])) && arg[i] != '_') return false;
  }
  return true;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool MakeDirectories(const std::string& path) {
  std::string partial;
  size_t at = 0;
  while (at != std::string::npos) {
    at = path.find('/', at + 1);
    partial = path.substr(0, at);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Takes the value of "--name VALUE" or "--name=VALUE".
bool OptionValue(const std::vector<std::string>& args, size_t* i, const std::string& name,
                 std::string* value) {
  const std::string& a = args[*i];
  if (a == name) {
    if (*i + 1 >= args.size()) return false;
    *value = args[++*i];
    return true;
  }
  if (a.rfind(name + "=", 0) == 0) {
    *value = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

bool ParseInt(const std::string& text, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *out = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0;
}

bool ParseMaxPixels(const std::string& text, ReadLimits* limits) {
  long n = 0;
  if (!ParseInt(text, &n) || n < 0) return false;
  limits->maxPixels = n;
  return true;
}

std::string BadMaxPixels(const std::string& text) {
  return "bad --max-pixels value '" + text + "': expected a pixel count, or 0 for no limit";
}

// ---------------------------------------------------------------------------
// apply

// One effect of a chain as given on the command line.
struct Step {
  std::string effect;
  std::vector<std::string> assignments;
};

struct ApplyCommand {
  std::vector<Step> steps;
  std::vector<std::string> files;
  std::string outDir;
  std::string mask;
  MaskSpec maskSpec;  // a mask file whose rows can be read in order
  std::string plugin;
  RunOptions run;
  WriteOptions write;
  ReadLimits read;
  bool quiet = false;
  int progress = -1;  // -1 automatic, 0 off, 1 on
  bool noClobber = false;
  bool skipExisting = false;
  long shard = 0, shards = 0;  // --shard K/N; 0 = every input
  bool autoOrient = false;
  int page = -1;  // counted from 0; -1: every page
  FileType format = FileType::kUnknown;
};

bool ParseShard(const std::string& text, ApplyCommand* cmd) {
  const size_t slash = text.find('/');
  return slash != std::string::npos && ParseInt(text.substr(0, slash), &cmd->shard) &&
         ParseInt(text.substr(slash + 1), &cmd->shards) && cmd->shards >= 1 && cmd->shard >= 1 &&
         cmd->shard <= cmd->shards;
}

int ParseApply(const std::vector<std::string>& args, ApplyCommand* cmd) {
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool option = !endOfOptions && a.size() > 1 && a[0] == '-';
    std::string v;
    if (!option) {
      if (!endOfOptions && a == "+") {
        if (cmd->steps.empty() || cmd->steps.back().effect.empty() || !cmd->files.empty()) {
          return UsageError("'+' goes between two effects, before the files", "apply");
        }
        cmd->steps.push_back({});
      } else if (cmd->steps.empty() || cmd->steps.back().effect.empty()) {
        if (cmd->steps.empty()) cmd->steps.push_back({});
        cmd->steps.back().effect = a;
      } else if (!endOfOptions && IsAssignment(a) && cmd->files.empty()) {
        cmd->steps.back().assignments.push_back(a);
      } else {
        cmd->files.push_back(a);
      }
    } else if (a == "--") {
      endOfOptions = true;
    } else if (a == "--async") {
      cmd->run.async = true;
    } else if (a == "--in-place") {
      cmd->run.inPlace = true;
    } else if (a == "--quiet" || a == "-q") {
      cmd->quiet = true;
    } else if (a == "--progress") {
      cmd->progress = 1;
    } else if (a == "--no-progress") {
      cmd->progress = 0;
    } else if (a == "--no-clobber" || a == "-n") {
      cmd->noClobber = true;
    } else if (a == "--skip-existing") {
      cmd->skipExisting = true;
    } else if (a == "--auto-orient") {
      cmd->autoOrient = true;
    } else if (OptionValue(args, &i, "--page", &v)) {
      long n = 0;
      if (!ParseInt(v, &n) || n < 1 || n > 65535) {
        return UsageError("bad --page value '" + v + "': expected a page number from 1", "apply");
      }
      cmd->page = static_cast<int>(n - 1);
    } else if (OptionValue(args, &i, "--format", &v)) {
      cmd->format = FileTypeForName(v);
      if (cmd->format == FileType::kUnknown) {
        return UsageError("bad --format value '" + v + "': expected png, jpg, tif or webp",
                          "apply");
      }
    } else if (OptionValue(args, &i, "--mask", &v)) {
      cmd->mask = v;
    } else if (OptionValue(args, &i, "--out-dir", &v)) {
      cmd->outDir = v;
    } else if (OptionValue(args, &i, "--plugin", &v)) {
      cmd->plugin = v;
    } else if (OptionValue(args, &i, "--shard", &v)) {
      if (!ParseShard(v, cmd)) {
        return UsageError("bad --shard value '" + v + "': expected K/N with 1 <= K <= N", "apply");
      }
    } else if (OptionValue(args, &i, "--threads", &v)) {
      long n = 0;
      cmd->run.hasThreads = true;
      if (v == "auto") {
        cmd->run.threads = 0;
      } else if (v == "all") {
        cmd->run.threads = -1;
      } else if (ParseInt(v, &n) && n >= 1 && n <= 8) {
        cmd->run.threads = n;
      } else {
        return UsageError("bad --threads value '" + v + "': expected 1 to 8, auto or all", "apply");
      }
    } else if (OptionValue(args, &i, "--compression", &v)) {
      long n = 0;
      if (!ParseInt(v, &n) || n < 0 || n > 9) {
        return UsageError("bad --compression value '" + v + "': expected 0 to 9", "apply");
      }
      cmd->write.pngCompression = static_cast<int>(n);
    } else if (OptionValue(args, &i, "--max-pixels", &v)) {
      if (!ParseMaxPixels(v, &cmd->read)) return UsageError(BadMaxPixels(v), "apply");
    } else if (OptionValue(args, &i, "--quality", &v)) {
      long n = 0;
      if (!ParseInt(v, &n) || n < 1 || n > 100) {
        return UsageError("bad --quality value '" + v + "': expected 1 to 100", "apply");
      }
      cmd->write.jpegQuality = static_cast<int>(n);
    } else {
      return UnknownOption(a, {std::begin(kApplyOptions), std::end(kApplyOptions)}, "apply");
    }
  }
  if (cmd->steps.empty()) return UsageError("apply needs an effect name", "apply");
  if (cmd->steps.back().effect.empty()) return UsageError("'+' needs an effect after it", "apply");
  if (cmd->outDir.empty() && cmd->files.size() < 2) {
    return UsageError("apply needs INPUT and OUTPUT (or --out-dir DIR with inputs)", "apply");
  }
  if (cmd->outDir.empty() && cmd->files.size() > 2) {
    std::string given;
    for (const std::string& f : cmd->files) given += (given.empty() ? "" : ", ") + f;
    return UsageError("apply takes one INPUT and one OUTPUT but was given " +
                          std::to_string(cmd->files.size()) + " files (" + given +
                          "): for several inputs use --out-dir DIR; to chain effects put '+' "
                          "between them; write values as PROPERTY=VALUE, without spaces",
                      "apply");
  }
  if (!cmd->outDir.empty() && cmd->files.empty()) {
    return UsageError("apply needs input files", "apply");
  }
  if (cmd->shards > 0 && cmd->outDir.empty()) {
    return UsageError("--shard splits a batch: it needs --out-dir DIR", "apply");
  }
  return kExitOk;
}

// One page of a file: read, run the chain; `out` views the result that
// `keep` holds.
Failure ApplyPage(Session& session, const std::vector<ResolvedStep>& steps, const ApplyCommand& cmd,
                  const std::string& input, const ReadLimits& limits, host::Ref* keep, Image* out) {
  host::Host& host = session.Host();
  Image image;
  std::string error;
  // Decode straight into the source bitmap where the layouts agree.
  host::Ref source;
  auto target = [&](Image* header) {
    source = host::Ref(host, BitmapForDirectRows(host, header));
    return static_cast<bool>(source);
  };
  session.Progress().SetStage(ProgressLine::kDecoding);
  if (!ReadImage(input, &image, &error, target, limits)) {
    if (gInterrupted.load()) return {kExitInterrupted, "interrupted; nothing written"};
    return {kExitFile, error};
  }
  if (gInterrupted.load()) return {kExitInterrupted, "interrupted; nothing written"};
  session.Progress().SetStage(ProgressLine::kEffect);
  for (const ResolvedStep& step : steps) {
    const char* why = CmykRefusal(step.effect->shortName);
    if (why != nullptr && image.model == ColorModel::kCMYK) {
      return {kExitEffectFailed, input + ": " + why};
    }
  }
  if (cmd.autoOrient && image.meta.orientation != 1) {
    image = Oriented(image);
    source.Reset();
  }
  if (cmd.run.mask != nullptr) {
    if (Failure f = CheckMaskSize(cmd.run.maskWidth, cmd.run.maskHeight, input, image)) return f;
  }
  if (!source) {
    source = host::Ref(host, BitmapFromImage(host, image, &error));
    if (!source) return {kExitFile, input + ": " + error};
  }
  Metadata meta = std::move(image.meta);
  image = Image();
  // Each effect's result is the next one's source; the previous bitmap is
  // released as soon as it has been used.
  for (const ResolvedStep& step : steps) {
    host::Object resultObject = nullptr;
    if (Failure f =
            session.Run(*step.effect, step.assignments, cmd.run, source.get(), &resultObject)) {
      return f;
    }
    source = host::Ref(host, resultObject);
  }
  *keep = std::move(source);
  // The written rows come straight from the result bitmap, kept alive by `keep`.
  if (!ImageFromBitmap(host, keep->get(), out, &error, true)) {
    return {kExitEffectFailed, error};
  }
  out->meta = std::move(meta);
  if (DropUnfittingIcc(&out->meta, out->model) && !cmd.quiet) {
    std::fprintf(stderr, "lumeno: %s: the ICC profile does not fit the %s result; left out\n",
                 input.c_str(), ColorModelName(out->model));
  }
  if (gInterrupted.load()) return {kExitInterrupted, "interrupted; nothing written"};
  return {};
}

// One file: read, run, write, page by page. The input is never written
// unless it is also the output.
Failure ApplyOne(Session& session, const std::vector<ResolvedStep>& steps, ApplyCommand& cmd,
                 const std::string& input, const std::string& output) {
  // Standard output ("-") takes the type --format names, else the input's.
  FileType type = output == "-" ? cmd.format : FileTypeForExtension(output);
  if (type == FileType::kUnknown && output != "-") {
    return {kExitUsage,
            output + ": unknown output type (use .png, .jpg, .jpeg, .tif, .tiff or .webp)"};
  }
  ReadLimits limits = session.GetReadLimits();
  limits.page = std::max(cmd.page, 0);
  // The file work shows on the progress line next to the effect's own.
  struct RowProgressScope {
    explicit RowProgressScope(ProgressLine& line) {
      SetRowProgress([&line](int64_t done, int64_t total) {
        line.Update(static_cast<uint64_t>(done), static_cast<uint64_t>(total));
      });
    }
    ~RowProgressScope() { SetRowProgress({}); }
  } rowProgress(session.Progress());
  // Large files go band by band where that gives the same pixels.
  const bool maskInBands = !cmd.mask.empty() && cmd.run.mask == nullptr;
  if (Failure f;
      output != "-" && cmd.page < 0 &&
      ApplyInBands(session, steps, cmd.run, maskInBands ? &cmd.maskSpec : nullptr, cmd.write,
                   cmd.quiet, !cmd.noClobber, cmd.autoOrient, input, output, &f)) {
    return f;
  }
  // The whole picture needs the whole mask, read once for every file.
  if (maskInBands) {
    if (Failure f =
            session.LoadMask(cmd.mask, &cmd.run.mask, &cmd.run.maskWidth, &cmd.run.maskHeight)) {
      return f;
    }
  }
  std::vector<host::Ref> results(1);
  Image out;
  if (Failure f = ApplyPage(session, steps, cmd, input, limits, &results[0], &out)) {
    return f;
  }
  if (type == FileType::kUnknown) type = out.meta.sourceType;
  const int pages = cmd.page < 0 ? out.meta.pageCount : 1;
  if (pages > 1 && input == "-") {
    return {kExitUsage, "standard input has " + std::to_string(pages) +
                            " pages and is read once; pick one with --page N"};
  }
  if (pages > 1 && type != FileType::kTIFF) {
    return {kExitUsage, input + " has " + std::to_string(pages) +
                            " pages; write a .tif to keep them all, or pick one with --page N"};
  }
  for (limits.page = 1; limits.page < pages; ++limits.page) {
    results.emplace_back();
    out.morePages.emplace_back();
    if (Failure f =
            ApplyPage(session, steps, cmd, input, limits, &results.back(), &out.morePages.back())) {
      return f;
    }
  }
  session.Progress().SetStage(ProgressLine::kEncoding);
  if (output != "-") {
    return WriteImageAtomically(output, std::move(out), cmd.write, cmd.quiet, !cmd.noClobber);
  }
  const std::string note = ConvertForFileType(type, &out);
  if (!note.empty() && !cmd.quiet) std::fprintf(stderr, "lumeno: %s\n", note.c_str());
  std::string error;
  if (!WriteImage("-", type, out, cmd.write, &error)) return {kExitFile, error};
  return {};
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Where a batch writes an input: under its own name, with the extension
// --format names if given.
std::string BatchOutput(const ApplyCommand& cmd, const std::string& input) {
  std::string name = BaseName(input);
  if (cmd.format == FileType::kUnknown) return cmd.outDir + "/" + name;
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return cmd.outDir + "/" + name + FileExtension(cmd.format);
}

// The inputs of this shard: the inputs in byte order of their names, dealt
// out in turn, so that every shard of the same list takes a fixed part.
std::vector<std::string> ShardInputs(const ApplyCommand& cmd) {
  std::vector<std::string> sorted = cmd.files;
  std::sort(sorted.begin(), sorted.end());
  if (cmd.shards == 0) return cmd.files;
  std::vector<std::string> mine;
  for (size_t i = static_cast<size_t>(cmd.shard - 1); i < sorted.size();
       i += static_cast<size_t>(cmd.shards)) {
    mine.push_back(sorted[i]);
  }
  return mine;
}

// A batch where two inputs would be written to one output is refused as a
// whole, before anything is read.
Failure CheckBatchNames(const ApplyCommand& cmd) {
  std::vector<std::pair<std::string, std::string>> outputs;  // output, input
  for (const std::string& input : cmd.files) outputs.emplace_back(BatchOutput(cmd, input), input);
  std::stable_sort(outputs.begin(), outputs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 1; i < outputs.size(); ++i) {
    if (outputs[i].first == outputs[i - 1].first) {
      return {kExitUsage, outputs[i - 1].second + " and " + outputs[i].second +
                              " would both be written to " + outputs[i].first +
                              "; nothing done (rename one, or use separate --out-dir runs)"};
    }
  }
  return {};
}

int CommandApply(const std::vector<std::string>& args) {
  ApplyCommand cmd;
  if (int status = ParseApply(args, &cmd)) return status;
  Session session;
  if (Failure f = session.Load(cmd.plugin)) return Fail(f);
  session.SetReadLimits(cmd.read);
  std::vector<ResolvedStep> steps;
  for (const Step& step : cmd.steps) {
    ResolvedStep resolved;
    if (Failure f = session.FindEffect(step.effect, &resolved.effect)) return Fail(f);
    for (const std::string& text : step.assignments) {
      ParsedAssignment parsed;
      if (Failure f = session.ParseAssignment(*resolved.effect, text, &parsed)) return Fail(f);
      resolved.assignments.push_back(parsed);
    }
    if (Failure f = session.CheckNeeded(*resolved.effect, resolved.assignments)) return Fail(f);
    steps.push_back(std::move(resolved));
  }
  if (!cmd.mask.empty()) {
    // A mask whose rows can be read in order is read band by band with
    // each input that goes that way (its channel checked here); any other
    // is read whole now.
    cmd.maskSpec = SplitMaskArgument(cmd.mask);
    Image header;
    std::string error;
    int offset = 0;
    if (OpenRowReader(cmd.maskSpec.file, session.GetReadLimits(), &header, &error)) {
      if (Failure f = MaskChannel(header, cmd.maskSpec, &offset)) return Fail(f);
    } else if (Failure f = session.LoadMask(cmd.mask, &cmd.run.mask, &cmd.run.maskWidth,
                                            &cmd.run.maskHeight)) {
      return Fail(f);
    }
  }
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  session.Progress().Enable(!cmd.quiet && (cmd.progress == 1 || (cmd.progress < 0 && terminal)));
  InstallInterruptHandler();

  std::vector<std::pair<std::string, std::string>> jobs;  // input, output
  if (cmd.outDir.empty()) {
    jobs.emplace_back(cmd.files[0], cmd.files[1]);
  } else {
    if (Failure f = CheckBatchNames(cmd)) return Fail(f);
    for (const std::string& input : ShardInputs(cmd)) {
      jobs.emplace_back(input, BatchOutput(cmd, input));
    }
    if (!MakeDirectories(cmd.outDir)) {
      return Fail({kExitFile, "cannot create the folder " + cmd.outDir});
    }
  }
  int status = kExitOk;
  int failed = 0, skipped = 0;
  const int count = static_cast<int>(jobs.size());
  for (int i = 0; i < count; ++i) {
    const auto& [input, output] = jobs[static_cast<size_t>(i)];
    const bool toFile = output != "-";  // not standard output
    if (toFile && cmd.skipExisting && Exists(output)) {
      ++skipped;
      continue;
    }
    session.Progress().BeginFile(BaseName(input), i, count);
    Failure f;
    if (!cmd.outDir.empty() && SameFile(input, output)) {
      f = {kExitUsage, output + " would replace its input; choose another --out-dir"};
    } else if (toFile && cmd.noClobber && Exists(output)) {
      f = {kExitFile, output + " exists; not replaced (--no-clobber)"};
    } else {
      f = ApplyOne(session, steps, cmd, input, output);
    }
    session.Progress().Clear();
    if (f.status == kExitInterrupted) return Fail(f);
    if (f && count == 1 && cmd.outDir.empty()) return Fail(f);
    if (f) {
      // Messages that name the input already need no prefix.
      const bool named = f.message.rfind(input, 0) == 0;
      std::fprintf(stderr, "lumeno: %s%s%s\n", named ? "" : input.c_str(), named ? "" : ": ",
                   f.message.c_str());
      if (status == kExitOk) status = f.status;
      ++failed;
    } else if (!cmd.quiet && toFile) {
      std::printf("%s\n", output.c_str());
    }
  }
  if (skipped > 0 && !cmd.quiet) {
    std::fprintf(stderr, "lumeno: %d of %d files skipped: their output exists\n", skipped, count);
  }
  if (failed > 0) {
    std::fprintf(stderr, "lumeno: %d of %d files failed\n", failed, count);
  }
  return status;
}

// ---------------------------------------------------------------------------
// list

std::string Access(const PropertyEntry& p) {
  if (p.readable && p.writable) return "read/write";
  if (p.readable) return "read-only";
  if (p.writable) return "write-only";
  return "none";
}

void PrintClassText(const Catalog& catalog, const ClassEntry& c, bool withInherited) {
  std::printf("%s", c.name.c_str());
  if (c.isEffect) std::printf(" (%s)", c.shortName.c_str());
  if (!c.superName.empty()) std::printf(" : %s", c.superName.c_str());
  std::printf("\n");
  if (!c.interfaces.empty()) std::printf("  interfaces: %s\n", c.interfaces.c_str());
  const std::vector<PropertyEntry> props =
      withInherited ? catalog.AllProperties(c) : c.ownProperties;
  if (!props.empty()) std::printf("  properties:\n");
  for (const PropertyEntry& p : props) {
    std::printf("    %-24s %-32s %s%s\n", p.name.c_str(), p.type.c_str(), Access(p).c_str(),
                p.declaredBy != c.name ? (" (" + p.declaredBy + ")").c_str() : "");
  }
  std::vector<std::pair<std::string, std::string>> methods;
  for (const ClassEntry* k = &c; k != nullptr;
       k = (withInherited && !k->superName.empty()) ? catalog.FindClass(k->superName) : nullptr) {
    for (const std::string& m : k->ownMethods) methods.emplace_back(m, k->name);
  }
  if (!methods.empty()) std::printf("  methods:\n");
  for (const auto& [m, owner] : methods) {
    std::printf("    %s%s\n", m.c_str(), owner != c.name ? (" (" + owner + ")").c_str() : "");
  }
  if (!c.constantDeclarations.empty()) std::printf("  constants:\n");
  for (const std::string& k : c.constantDeclarations) std::printf("    %s\n", k.c_str());
  for (const EnumEntry& e : c.ownEnums) {
    std::printf("  enumeration %s:", e.qualified.c_str());
    for (const NamedValue& f : e.fields) {
      std::printf(" %s=%lld", f.name.c_str(), static_cast<long long>(f.value));
    }
    std::printf("\n");
  }
}

// What 'lumeno apply' can set on an effect: one row per property with the
// values it accepts and a new object's value.
void PrintSettable(Session& session, const ClassEntry& effect) {
  std::printf("%s (%s) : %s\n", effect.name.c_str(), effect.shortName.c_str(),
              effect.superName.c_str());
  std::printf("  usage: lumeno apply %s [PROPERTY=VALUE ...] INPUT OUTPUT\n",
              effect.shortName.c_str());
  std::printf("  %-22s %-16s %-18s %s\n", "property", "type", "default", "accepts");
  for (const SettableProperty& p : session.Settable(effect)) {
    const std::string type = p.type.substr(p.type.rfind('.') + 1);
    std::printf("  %-22s %-16s %-18s %s\n", p.name.c_str(), type.c_str(), p.initial.c_str(),
                p.accepted.c_str());
  }
  const Failure needs = session.CheckNeeded(effect, {});
  if (needs) {
    const std::string what = needs.message.substr(0, needs.message.find(';'));
    std::printf("  a run %s\n", what.substr(effect.shortName.size() + 1).c_str());
  }
}

std::string MdEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

void PrintMarkdown(Session& session) {
  const Catalog& catalog = session.Classes();
  std::printf("# Effects and classes of liblumenoraw\n\n");
  std::printf(
      "Generated from the plug-in's registered definition records by `lumeno list --markdown`;\n"
      "do not edit by hand. A test fails when this file is out of date.\n\n");
  std::printf("| class | short form for `lumeno apply` | superclass |\n|---|---|---|\n");
  for (const ClassEntry& c : catalog.Classes()) {
    std::printf("| `%s` | %s | %s |\n", c.name.c_str(),
                c.isEffect ? ("`" + c.shortName + "`").c_str() : "",
                c.superName.empty() ? "" : ("`" + c.superName + "`").c_str());
  }
  for (const ClassEntry& c : catalog.Classes()) {
    std::printf("\n## %s\n\n", c.name.c_str());
    if (!c.superName.empty()) std::printf("Superclass: `%s`. ", c.superName.c_str());
    std::printf("Interfaces: %s.",
                c.interfaces.empty() ? "none" : ("\"" + c.interfaces + "\"").c_str());
    if (c.isEffect) {
      std::printf(" Command line: `lumeno apply %s`", c.shortName.c_str());
      for (const std::string& a : c.aliases) std::printf(" (also `%s`)", a.c_str());
      std::printf(".");
    }
    std::printf("\n");
    if (!c.ownProperties.empty()) {
      std::printf("\n| property | type | access |\n|---|---|---|\n");
      for (const PropertyEntry& p : c.ownProperties) {
        std::printf("| `%s` | %s | %s |\n", p.name.c_str(), MdEscape(p.type).c_str(),
                    Access(p).c_str());
      }
    }
    if (c.isEffect) {
      std::printf("\nSettable with `lumeno apply %s PROPERTY=VALUE` (inherited ones included):\n",
                  c.shortName.c_str());
      std::printf("\n| property | type | default | accepts |\n|---|---|---|---|\n");
      for (const SettableProperty& p : session.Settable(c)) {
        std::printf("| `%s` | %s | %s | %s |\n", p.name.c_str(), MdEscape(p.type).c_str(),
                    p.initial.c_str(), MdEscape(p.accepted).c_str());
      }
      const Failure needs = session.CheckNeeded(c, {});
      if (needs) {
        const std::string what = needs.message.substr(0, needs.message.find(';'));
        std::printf("\n`lumeno apply %s` %s.\n", c.shortName.c_str(),
                    what.substr(c.shortName.size() + 1).c_str());
      }
    }
    if (!c.ownMethods.empty()) {
      std::printf("\nMethods:\n\n");
      for (const std::string& m : c.ownMethods) std::printf("- `%s`\n", m.c_str());
    }
    if (!c.constantDeclarations.empty()) {
      std::printf("\nConstants:\n\n");
      for (const std::string& k : c.constantDeclarations) std::printf("- `%s`\n", k.c_str());
    }
    for (const EnumEntry& e : c.ownEnums) {
      std::printf("\nEnumeration `%s`:\n\n| name | value |\n|---|---|\n", e.qualified.c_str());
      for (const NamedValue& f : e.fields) {
        std::printf("| `%s` | %lld |\n", f.name.c_str(), static_cast<long long>(f.value));
      }
    }
  }
  if (!catalog.ErrorConstants().empty()) {
    std::printf("\n## Error codes (module `%s`)\n\n| constant | value | meaning |\n|---|---|---|\n",
                catalog.ErrorModuleName().c_str());
    for (const NamedValue& e : catalog.ErrorConstants()) {
      std::printf("| `%s` | %lld | %s |\n", e.name.c_str(), static_cast<long long>(e.value),
                  ExplainError(e.name));
    }
  }
}

int CommandList(const std::vector<std::string>& args) {
  bool markdown = false;
  std::string which;
  std::string plugin;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string v;
    if (args[i] == "--markdown") {
      markdown = true;
    } else if (OptionValue(args, &i, "--plugin", &v)) {
      plugin = v;
    } else if (args[i][0] == '-') {
      return UnknownOption(args[i], {"--markdown", "--plugin", "--help"}, "list");
    } else if (which.empty()) {
      which = args[i];
    } else {
      return UsageError("list takes at most one class name");
    }
  }
  Session session;
  if (Failure f = session.Load(plugin)) return Fail(f);
  const Catalog& catalog = session.Classes();
  if (markdown) {
    PrintMarkdown(session);
    return kExitOk;
  }
  if (!which.empty()) {
    const ClassEntry* c = catalog.FindEffect(which);
    if (c != nullptr) {
      PrintSettable(session, *c);
      return kExitOk;
    }
    c = catalog.FindClass(which);
    if (c == nullptr) {
      const ClassEntry* e = nullptr;
      return Fail(session.FindEffect(which, &e));
    }
    PrintClassText(catalog, *c, true);
    return kExitOk;
  }
  for (const ClassEntry& c : catalog.Classes()) {
    PrintClassText(catalog, c, false);
    std::printf("\n");
  }
  if (!catalog.ErrorConstants().empty()) {
    std::printf("error codes (%s):\n", catalog.ErrorModuleName().c_str());
    for (const NamedValue& e : catalog.ErrorConstants()) {
      std::printf("  %-46s %2lld  %s\n", e.name.c_str(), static_cast<long long>(e.value),
                  ExplainError(e.name));
    }
  }
  return kExitOk;
}

// ---------------------------------------------------------------------------
// info

int CommandInfo(const std::vector<std::string>& args) {
  ReadLimits limits;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string v;
    if (OptionValue(args, &i, "--max-pixels", &v)) {
      if (!ParseMaxPixels(v, &limits)) return UsageError(BadMaxPixels(v));
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return UsageError("unknown option '" + args[i] + "' (or it lacks its value)");
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty()) return UsageError("info needs a file");
  int status = kExitOk;
  for (const std::string& path : files) {
    Image image;
    std::string error;
    if (!ReadImage(path, &image, &error, {}, limits)) {
      std::fprintf(stderr, "lumeno: %s\n", error.c_str());
      status = kExitFile;
      continue;
    }
    const int64_t format = FormatForImage(image);
    const host::FormatInfo* info = host::FindFormat(format);
    std::printf("%s\n", path.c_str());
    std::printf("  file type:        %s\n", FileTypeName(image.meta.sourceType));
    std::printf("  size:             %lld x %lld\n", static_cast<long long>(image.width),
                static_cast<long long>(image.height));
    std::printf("  depth:            %d bits per channel\n", image.bits);
    std::printf("  channels:         %d (%s%s)\n", image.Channels(), ColorModelName(image.model),
                image.alpha ? " + alpha" : "");
    std::printf("  RawBitmap format: %lld (%s)\n", static_cast<long long>(format),
                info != nullptr ? info->name : "?");
    for (const auto& [label, value] : DescribeMetadata(image.meta)) {
      std::printf("  %-18s%s\n", (label + ":").c_str(), value.c_str());
    }
  }
  return status;
}

// ---------------------------------------------------------------------------
// demo

int CommandDemo(const std::vector<std::string>& args) {
  std::string outDir = "lumeno-demo";
  std::string plugin;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string v;
    if (OptionValue(args, &i, "--plugin", &v)) {
      plugin = v;
    } else if (args[i][0] == '-') {
      return UsageError("unknown option '" + args[i] + "'");
    } else {
      outDir = args[i];
    }
  }
  if (!MakeDirectories(outDir)) return Fail({kExitFile, "cannot create the folder " + outDir});
  Session session;
  if (Failure f = session.Load(plugin)) return Fail(f);
  InstallInterruptHandler();
  if (Failure f = RunDemo(session, outDir)) return Fail(f);
  return kExitOk;
}

}  // namespace

namespace {

// 'lumeno help X' and 'lumeno X --help': a command's usage, or an effect's
// settable properties.
int CommandHelp(const std::string& topic) {
  if (topic.empty()) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (const char* text = CommandHelpText(topic)) {
    std::fputs(text, stdout);
    return kExitOk;
  }
  Session session;
  if (Failure f = session.Load("")) return Fail(f);
  if (const ClassEntry* effect = session.Classes().FindEffect(topic)) {
    PrintSettable(session, *effect);
    return kExitOk;
  }
  std::vector<std::string> names = CommandNames();
  for (const ClassEntry* e : session.Classes().Effects()) names.push_back(e->shortName);
  return UsageError("no help on '" + topic + "': it is neither a command nor an effect" +
                    DidYouMean(topic, names));
}

int Dispatch(const std::string& command, const std::vector<std::string>& args) {
  // "--help" anywhere before "--" asks for the command's help.
  for (const std::string& a : args) {
    if (a == "--") break;
    if ((a == "--help" || a == "-h") && CommandHelpText(command) != nullptr) {
      return CommandHelp(command);
    }
  }
  if (command == "apply") return CommandApply(args);
  if (command == "list") return CommandList(args);
  if (command == "info") return CommandInfo(args);
  if (command == "demo") return CommandDemo(args);
  if (command == "help" || command == "--help" || command == "-h") {
    return CommandHelp(args.empty() ? "" : args.front());
  }
  if (command == "--version" || command == "-V") {
    std::printf("lumeno %s\n", LUMENO_VERSION);
    return kExitOk;
  }
  return UsageError("unknown command '" + command + "' (apply, list, info, demo, help)" +
                    DidYouMean(command, CommandNames()));
}

}  // namespace

int LumenoMain(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  const int status = Dispatch(command, args);
  // A run stopped by SIGTERM or SIGHUP ends with that signal's status.
  return status == kExitInterrupted ? InterruptedStatus() : status;
}

}  // namespace lumeno::cli

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
#include <string>
#include <vector>

#include "cli/band_pipeline.h"
#include "cli/bitmap_bridge.h"
#include "cli/catalog.h"
#include "cli/demo_pictures.h"
#include "cli/image_io.h"
#include "cli/lumeno_main.h"
#include "cli/metadata.h"
#include "cli/tool_session.h"
#include "host/raw_bitmap_class.h"

namespace lumeno::cli {

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  lumeno apply EFFECT [PROPERTY=VALUE ...] [options] INPUT OUTPUT\n"
    "  lumeno apply EFFECT [PROPERTY=VALUE ...] [options] --out-dir DIR INPUT...\n"
    "  lumeno list [EFFECT] [--markdown]\n"
    "  lumeno info [--max-pixels N] FILE...\n"
    "  lumeno demo [OUTDIR]\n"
    "\n"
    "apply options:\n"
    "  --mask FILE[:CHANNEL][:inverted]  weight the effect per pixel by an image channel\n"
    "  --threads N|auto|all              threads for the run (1-8, automatic, all cores)\n"
    "  --async                           run in the background with the host's run loop\n"
    "  --in-place                        change the input bitmap itself, then write it\n"
    "  --compression N                   PNG compression level 0-9 (default 2)\n"
    "  --quality N                       JPEG and WebP quality 1-100 (default 92; from 90 on\n"
    "                                    JPEG keeps full colour resolution; WebP 100 is lossless)\n"
    "  --auto-orient                     turn the pixels as the EXIF/TIFF orientation says\n"
    "  --page N                          only page N (from 1) of a multi-page TIFF\n"
    "  --format TYPE                     type for the output '-' (standard output): png, jpg,\n"
    "                                    tif or webp (default: the input's)\n"
    "  --progress / --no-progress        force the progress line on or off\n"
    "  --quiet                           no progress line and no messages but errors\n"
    "  --plugin PATH                     load the plug-in from PATH\n"
    "  --max-pixels N                    refuse larger images (default 1073741824; 0 = no\n"
    "                                    limit but the bitmaps' own)\n"
    "\n"
    "EFFECT is a class name or its short form (see 'lumeno list'). Ctrl-C cancels a run\n"
    "(exit status 130). Exit statuses: 1 effect failed, 2 usage, 3 file, 4 plug-in.\n";

int Fail(const Failure& f) {
  std::fprintf(stderr, "lumeno: %s\n", f.message.c_str());
  return f.status;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "lumeno: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
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

struct ApplyCommand {
  std::string effect;
  std::vector<std::string> assignments;
  std::vector<std::string> files;
  std::string outDir;
  std::string mask;
  std::string plugin;
  RunOptions run;
  WriteOptions write;
  ReadLimits read;
  bool quiet = false;
  int progress = -1;  // -1 automatic, 0 off, 1 on
  bool autoOrient = false;
  int page = -1;  // counted from 0; -1: every page
  FileType format = FileType::kUnknown;
};

int ParseApply(const std::vector<std::string>& args, ApplyCommand* cmd) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "--async") {
      cmd->run.async = true;
    } else if (a == "--in-place") {
      cmd->run.inPlace = true;
    } else if (a == "--quiet" || a == "-q") {
      cmd->quiet = true;
    } else if (a == "--progress") {
      cmd->progress = 1;
    } else if (a == "--no-progress") {
      cmd->progress = 0;
    } else if (a == "--auto-orient") {
      cmd->autoOrient = true;
    } else if (OptionValue(args, &i, "--page", &v)) {
      long n = 0;
      if (!ParseInt(v, &n) || n < 1 || n > 65535) {
        return UsageError("bad --page value '" + v + "': expected a page number from 1");
      }
      cmd->page = static_cast<int>(n - 1);
    } else if (OptionValue(args, &i, "--format", &v)) {
      cmd->format = FileTypeForName(v);
      if (cmd->format == FileType::kUnknown) {
        return UsageError("bad --format value '" + v + "': expected png, jpg, tif or webp");
      }
    } else if (OptionValue(args, &i, "--mask", &v)) {
      cmd->mask = v;
    } else if (OptionValue(args, &i, "--out-dir", &v)) {
      cmd->outDir = v;
    } else if (OptionValue(args, &i, "--plugin", &v)) {
      cmd->plugin = v;
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
        return UsageError("bad --threads value '" + v + "': expected 1 to 8, auto or all");
      }
    } else if (OptionValue(args, &i, "--compression", &v)) {
      long n = 0;
      if (!ParseInt(v, &n) || n < 0 || n > 9) {
        return UsageError("bad --compression value '" + v + "': expected 0 to 9");
      }
      cmd->write.pngCompression = static_cast<int>(n);
    } else if (OptionValue(args, &i, "--max-pixels", &v)) {
      if (!ParseMaxPixels(v, &cmd->read)) return UsageError(BadMaxPixels(v));
    } else if (OptionValue(args, &i, "--quality", &v)) {
      long n = 0;
      if (!ParseInt(v, &n) || n < 1 || n > 100) {
        return UsageError("bad --quality value '" + v + "': expected 1 to 100");
      }
      cmd->write.jpegQuality = static_cast<int>(n);
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return UsageError("unknown option '" + a + "' (or it lacks its value)");
    } else if (cmd->effect.empty()) {
      cmd->effect = a;
    } else if (IsAssignment(a) && cmd->files.empty()) {
      cmd->assignments.push_back(a);
    } else {
      cmd->files.push_back(a);
    }
  }
  if (cmd->effect.empty()) return UsageError("apply needs an effect name");
  if (cmd->outDir.empty() && cmd->files.size() != 2) {
    return UsageError("apply needs INPUT and OUTPUT (or --out-dir DIR with inputs)");
  }
  if (!cmd->outDir.empty() && cmd->files.empty()) return UsageError("apply needs input files");
  return kExitOk;
}

// One page of a file: read, run; `out` views the result that `keep` holds.
Failure ApplyPage(Session& session, const ClassEntry& effect,
                  const std::vector<ParsedAssignment>& assignments, const ApplyCommand& cmd,
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
  if (const char* why = CmykRefusal(effect.shortName); why && image.model == ColorModel::kCMYK) {
    return {kExitEffectFailed, input + ": " + why};
  }
  if (cmd.autoOrient && image.meta.orientation != 1) {
    image = Oriented(image);
    source.Reset();
  }
  if (cmd.run.mask != nullptr &&
      (cmd.run.maskWidth != image.width || cmd.run.maskHeight != image.height)) {
    return {kExitUsage, "the mask is " + std::to_string(cmd.run.maskWidth) + "x" +
                            std::to_string(cmd.run.maskHeight) + " but " + input + " is " +
                            std::to_string(image.width) + "x" + std::to_string(image.height)};
  }
  if (!source) {
    source = host::Ref(host, BitmapFromImage(host, image, &error));
    if (!source) return {kExitFile, input + ": " + error};
  }
  Metadata meta = std::move(image.meta);
  image = Image();
  host::Object resultObject = nullptr;
  if (Failure f = session.Run(effect, assignments, cmd.run, source.get(), &resultObject)) {
    return f;
  }
  *keep = host::Ref(host, resultObject);
  source.Reset();
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
Failure ApplyOne(Session& session, const ClassEntry& effect,
                 const std::vector<ParsedAssignment>& assignments, const ApplyCommand& cmd,
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
  // Large PNG files go band by band where that gives the same pixels.
  if (Failure f; output != "-" && cmd.page < 0 &&
                 ApplyInBands(session, effect, assignments, cmd.run, cmd.write, cmd.quiet,
                              cmd.autoOrient, input, output, &f)) {
    return f;
  }
  std::vector<host::Ref> results(1);
  Image out;
  if (Failure f = ApplyPage(session, effect, assignments, cmd, input, limits, &results[0], &out)) {
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
    if (Failure f = ApplyPage(session, effect, assignments, cmd, input, limits, &results.back(),
                              &out.morePages.back())) {
      return f;
    }
  }
  session.Progress().SetStage(ProgressLine::kEncoding);
  if (output != "-") return WriteImageAtomically(output, std::move(out), cmd.write, cmd.quiet);
  const std::string note = ConvertForFileType(type, &out);
  if (!note.empty() && !cmd.quiet) std::fprintf(stderr, "lumeno: %s\n", note.c_str());
  std::string error;
  if (!WriteImage("-", type, out, cmd.write, &error)) return {kExitFile, error};
  return {};
}

int CommandApply(const std::vector<std::string>& args) {
  ApplyCommand cmd;
  if (int status = ParseApply(args, &cmd)) return status;
  Session session;
  if (Failure f = session.Load(cmd.plugin)) return Fail(f);
  session.SetReadLimits(cmd.read);
  const ClassEntry* effect = nullptr;
  if (Failure f = session.FindEffect(cmd.effect, &effect)) return Fail(f);
  std::vector<ParsedAssignment> assignments;
  for (const std::string& text : cmd.assignments) {
    ParsedAssignment parsed;
    if (Failure f = session.ParseAssignment(*effect, text, &parsed)) return Fail(f);
    assignments.push_back(parsed);
  }
  if (!cmd.mask.empty()) {
    if (Failure f =
            session.LoadMask(cmd.mask, &cmd.run.mask, &cmd.run.maskWidth, &cmd.run.maskHeight)) {
      return Fail(f);
    }
  }
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  session.Progress().Enable(!cmd.quiet && (cmd.progress == 1 || (cmd.progress < 0 && terminal)));
  InstallInterruptHandler();

  if (cmd.outDir.empty()) {
    session.Progress().BeginFile(BaseName(cmd.files[0]), 0, 1);
    Failure f = ApplyOne(session, *effect, assignments, cmd, cmd.files[0], cmd.files[1]);
    session.Progress().Clear();
    if (f) return Fail(f);
    if (!cmd.quiet && cmd.files[1] != "-") std::printf("%s\n", cmd.files[1].c_str());
    return kExitOk;
  }

  if (!MakeDirectories(cmd.outDir)) {
    return Fail({kExitFile, "cannot create the folder " + cmd.outDir});
  }
  int status = kExitOk;
  int failed = 0;
  const int count = static_cast<int>(cmd.files.size());
  for (int i = 0; i < count; ++i) {
    const std::string& input = cmd.files[static_cast<size_t>(i)];
    const std::string output = cmd.outDir + "/" + BaseName(input);
    session.Progress().BeginFile(BaseName(input), i, count);
    Failure f;
    if (SameFile(input, output)) {
      f = {kExitUsage, output + " would replace its input; choose another --out-dir"};
    } else {
      f = ApplyOne(session, *effect, assignments, cmd, input, output);
    }
    session.Progress().Clear();
    if (f.status == kExitInterrupted) return Fail(f);
    if (f) {
      std::fprintf(stderr, "lumeno: %s: %s\n", input.c_str(), f.message.c_str());
      if (status == kExitOk) status = f.status;
      ++failed;
    } else if (!cmd.quiet) {
      std::printf("%s\n", output.c_str());
    }
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

std::string MdEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

void PrintMarkdown(const Catalog& catalog) {
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
      return UsageError("unknown option '" + args[i] + "'");
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
    PrintMarkdown(catalog);
    return kExitOk;
  }
  if (!which.empty()) {
    const ClassEntry* c = catalog.FindClass(which);
    if (c == nullptr) c = catalog.FindEffect(which);
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

struct DemoOutput {
  std::string file;
  Image image;
};

// Settings for one demo run of an effect, chosen from the property types:
// numbers at half strength, the second picture for bitmaps, a position for
// points, and one run per value of the first enumeration or constant set.
struct DemoVariant {
  std::string suffix;
  std::vector<std::string> assignments;
};

std::vector<DemoVariant> DemoVariants(const Catalog& catalog, const ClassEntry& effect,
                                      const std::string& fillPath) {
  std::vector<std::string> common;
  std::string variedName;
  std::vector<NamedValue> variedValues;
  for (const PropertyEntry& p : effect.ownProperties) {
    if (!p.writable) continue;
    if (p.type == "Single") {
      common.push_back(p.name + "=0.5");
    } else if (p.type == "Double") {
      common.push_back(p.name + "=0.8");
    } else if (p.type == "RawBitmap") {
      common.push_back(p.name + "=" + fillPath);
    } else if (p.type == "PointF") {
      common.push_back(p.name + "=128,96");
    } else if (const EnumEntry* e = catalog.FindEnum(p.type); e != nullptr && variedName.empty()) {
      variedName = p.name;
      // A handful of the values, evenly spread.
      const size_t step = e->fields.size() > 6 ? (e->fields.size() + 5) / 6 : 1;
      for (size_t i = 0; i < e->fields.size(); i += step) variedValues.push_back(e->fields[i]);
    } else if (p.type == "Integer" && !effect.ownConstants.empty() && variedName.empty()) {
      variedName = p.name;
      variedValues = effect.ownConstants;
    }
  }
  std::vector<DemoVariant> variants;
  if (variedName.empty()) {
    variants.push_back({"", common});
  } else {
    for (const NamedValue& v : variedValues) {
      DemoVariant d{"-" + v.name, common};
      for (char& c : d.suffix) c = c == '_' ? '-' : static_cast<char>(std::tolower(c));
      d.assignments.push_back(variedName + "=" + v.name);
      variants.push_back(d);
    }
  }
  return variants;
}

// RGBA8 copy of a demo result for the contact sheet.
Image ToRgba8(const Image& in) {
  Image out;
  out.width = in.width;
  out.height = in.height;
  out.model = ColorModel::kRGB;
  out.alpha = true;
  out.Allocate();
  for (int64_t y = 0; y < in.height; ++y) {
    for (int64_t x = 0; x < in.width; ++x) {
      uint8_t* d = &out.data[static_cast<size_t>((y * in.width + x) * 4)];
      auto sample = [&](int c) {
        const uint16_t v = in.Sample16(x, y, c);
        return static_cast<uint8_t>(in.bits == 16 ? v >> 8 : v);
      };
      if (in.model == ColorModel::kGray) {
        d[0] = d[1] = d[2] = sample(0);
      } else {
        for (int c = 0; c < 3; ++c) d[c] = sample(c);
      }
      d[3] = in.alpha ? sample(in.ColorChannels()) : 255;
    }
  }
  return out;
}

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
  host::Host& host = session.Host();
  const Catalog& catalog = session.Classes();
  InstallInterruptHandler();

  WriteOptions write;
  std::vector<std::string> written;
  std::vector<DemoOutput> sheet;
  const Image picture = DemoPicture(512, 384);
  const Image fill = DemoFillPicture(256, 192);
  const Image mask = DemoMaskPicture(512, 384);
  const std::string sourcePath = outDir + "/source.png";
  const std::string fillPath = outDir + "/fill.png";
  const std::string maskPath = outDir + "/mask.png";
  for (const auto& [path, image] :
       {std::pair{sourcePath, &picture}, std::pair{fillPath, &fill}, std::pair{maskPath, &mask}}) {
    if (Failure f = WriteImageAtomically(path, *image, write, true)) return Fail(f);
    written.push_back(path);
  }
  sheet.push_back({"source.png", picture});

  std::string error;
  host::Ref source(host, BitmapFromImage(host, picture, &error));
  if (!source) return Fail({kExitPlugin, error});
  int skipped = 0;
  auto runOne = [&](const ClassEntry& effect, const std::vector<std::string>& texts,
                    const RunOptions& options, const std::string& name) {
    std::vector<ParsedAssignment> assignments;
    Failure f;
    for (const std::string& text : texts) {
      ParsedAssignment parsed;
      f = session.ParseAssignment(effect, text, &parsed);
      if (f) break;
      assignments.push_back(parsed);
    }
    host::Object resultObject = nullptr;
    if (!f) f = session.Run(effect, assignments, options, source.get(), &resultObject);
    host::Ref result(host, resultObject);
    Image out;
    if (!f && !ImageFromBitmap(host, result.get(), &out, &error)) f = {kExitEffectFailed, error};
    if (!f) f = WriteImageAtomically(outDir + "/" + name, out, write, true);
    if (f) {
      std::fprintf(stderr, "lumeno: skipped %s: %s\n", name.c_str(), f.message.c_str());
      ++skipped;
      return;
    }
    written.push_back(outDir + "/" + name);
    sheet.push_back({name, std::move(out)});
  };

  const ClassEntry* maskedEffect = nullptr;
  for (const ClassEntry* effect : catalog.Effects()) {
    if (gInterrupted.load()) break;
    for (const DemoVariant& v : DemoVariants(catalog, *effect, fillPath)) {
      runOne(*effect, v.assignments, RunOptions{}, effect->shortName + v.suffix + ".png");
    }
    PropertyEntry storage;
    const PropertyEntry* m = catalog.FindProperty(*effect, "Mask", &storage);
    if (maskedEffect == nullptr && m != nullptr && m->type == "RawBitmapMask")
      maskedEffect = effect;
  }
  if (maskedEffect != nullptr && !gInterrupted.load()) {
    RunOptions options;
    if (!session.LoadMask(maskPath, &options.mask, &options.maskWidth, &options.maskHeight)) {
      const DemoVariant v = DemoVariants(catalog, *maskedEffect, fillPath).front();
      runOne(*maskedEffect, v.assignments, options, maskedEffect->shortName + "-masked.png");
    }
  }
  if (gInterrupted.load()) return Fail({kExitInterrupted, "interrupted"});

  std::vector<Image> thumbs;
  for (const DemoOutput& d : sheet) thumbs.push_back(ToRgba8(d.image));
  const Image contact = ContactSheet(thumbs, 4, 192, 144, 8);
  const std::string sheetPath = outDir + "/contact-sheet.png";
  if (Failure f = WriteImageAtomically(sheetPath, contact, write, true)) return Fail(f);
  written.push_back(sheetPath);
  for (const std::string& w : written) std::printf("%s\n", w.c_str());
  std::printf("contact sheet, left to right and top to bottom:");
  for (const DemoOutput& d : sheet) std::printf(" %s", d.file.c_str());
  std::printf("\n");
  if (skipped > 0) std::fprintf(stderr, "lumeno: %d demo results skipped\n", skipped);
  return kExitOk;
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
  if (command == "apply") return CommandApply(args);
  if (command == "list") return CommandList(args);
  if (command == "info") return CommandInfo(args);
  if (command == "demo") return CommandDemo(args);
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  return UsageError("unknown command '" + command + "' (apply, list, info, demo)");
}

}  // namespace lumeno::cli

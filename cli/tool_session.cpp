// The tool's session: plug-in loading, property values by registered type,
// and effect runs with progress, background runs and Ctrl-C.
#include "cli/tool_session.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/bitmap_bridge.h"
#include "cli/lumeno_main.h"
#include "host/raw_bitmap_class.h"
#include "lumeno/raw_bitmap.h"

#ifndef LUMENO_PLUGIN_PATH
#define LUMENO_PLUGIN_PATH "liblumenoraw.so"
#endif

namespace lumeno::cli {

std::atomic<bool> gInterrupted{false};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler stores a flag and the signal's number");

std::atomic<int> gSignal{0};

void OnInterrupt(int signal) {
  gSignal.store(signal);
  gInterrupted.store(true);
}

// State the tool's host class reaches from its plain-function methods.
std::atomic<ProgressLine*> gProgress{nullptr};
// Synchronous runs stop through the progress call's cancel argument;
// background runs are stopped with Cancel() from the run loop instead.
std::atomic<bool> gCancelThroughProgress{false};
std::atomic<bool> gCompleted{false};

// "OnProgress(value as UInt64,total as UInt64,extraInfo as UInt64,ByRef cancel as Boolean)"
void MonitorOnProgress(host::Object, uint64_t value, uint64_t total, uint64_t, bool* cancel) {
  if (cancel != nullptr && gCancelThroughProgress.load() && gInterrupted.load()) {
    // Workers read the flag atomically while this runs on the progress thread.
    std::atomic_ref<bool>(*cancel).store(true);
  }
  if (ProgressLine* line = gProgress.load()) line->Update(value, total);
}

// Completion method of background runs: (target, filter).
void MonitorCompleted(host::Object, host::Object) { gCompleted.store(true); }

ZARKmethodDefinition gMonitorMethods[] = {
    {reinterpret_cast<void*>(&MonitorOnProgress), 0, ON_PROGRESS_DECLARATION, 4, {}},
};

// The tool's progress handler class; its object is also the completion target.
ZARKclassDefinition gMonitorClass = {kZARKRecordVersion,
                                     "LumenoToolMonitor",
                                     nullptr,
                                     8,
                                     0,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     0,
                                     gMonitorMethods,
                                     1,
                                     {},
                                     "IProgressHandlerV2",
                                     {},
                                     nullptr,
                                     0,
                                     kZARKClassConsoleSafe,
                                     0,
                                     {},
                                     nullptr,
                                     0};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string DirectoryOfExecutable() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool ParseDoubleText(const std::string& text, double* out) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *out = std::strtod(t.c_str(), &end);
  return *end == '\0' && errno != ERANGE;
}

bool ParseFloatText(const std::string& text, float* out) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *out = std::strtof(t.c_str(), &end);
  return *end == '\0' && errno != ERANGE;
}

bool ParseIntText(const std::string& text, int64_t* out) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(t.c_str(), &end, 0);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = v;
  return true;
}

bool ParseUIntText(const std::string& text, uint64_t* out) {
  const std::string t = Trim(text);
  if (t.empty() || t[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(t.c_str(), &end, 0);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = v;
  return true;
}

bool ParseBoolText(const std::string& text, bool* out) {
  const std::string t = Lower(Trim(text));
  if (t == "true" || t == "yes" || t == "on" || t == "1") {
    *out = true;
    return true;
  }
  if (t == "false" || t == "no" || t == "off" || t == "0") {
    *out = false;
    return true;
  }
  return false;
}

// "a,b" as two floats.
bool ParsePair(const std::string& text, float* a, float* b) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return false;
  return ParseFloatText(text.substr(0, comma), a) && ParseFloatText(text.substr(comma + 1), b);
}

host::Value ObjectValue(host::Object object) {
  return host::Value(std::in_place_type<host::Object>, object);
}

std::string JoinNames(const std::vector<NamedValue>& values) {
  std::string out;
  for (const NamedValue& v : values) out += (out.empty() ? "" : ", ") + v.name;
  return out;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &sa, nullptr);
  // A write beyond the file size limit then fails like a full disk, and the
  // temporary file is removed, instead of the process dying.
  ::signal(SIGXFSZ, SIG_IGN);
}

int InterruptedStatus() {
  const int signal = gSignal.load();
  return 128 + (signal != 0 ? signal : SIGINT);
}

// ---------------------------------------------------------------------------
// Progress line

void ProgressLine::BeginFile(const std::string& label, int index, int count) {
  label_ = label;
  index_ = index;
  count_ = count < 1 ? 1 : count;
  stage_.store(kDecoding);
  lastPermille_.store(-1);
  {
    std::lock_guard<std::mutex> lock(bandsLock_);
    for (uint64_t& rows : bandRows_) rows = 0;
    lastBands_ = -1;
  }
  // A batch shows its count of files done while a file is being read.
  if (count_ > 1) Update(0, 1);
}

void ProgressLine::Update(uint64_t value, uint64_t total) {
  if (!enabled_ || bands_.load()) return;
  const double part =
      total == 0 ? 1.0 : static_cast<double>(std::min(value, total)) / static_cast<double>(total);
  const int stage = stage_.load();
  const int permille = static_cast<int>((index_ + (stage + part) / 3) / count_ * 1000.0);
  // Progress threads call in a tight loop; draw only when the line changes.
  if (lastPermille_.exchange(permille) == permille) return;
  static const char* const kStageNames[] = {"decoding", "effect", "encoding"};
  char steps[64];
  std::snprintf(steps, sizeof steps, "%s %3d%%", kStageNames[stage], static_cast<int>(part * 100));
  Draw(permille, steps);
}

void ProgressLine::UpdateBands(Stage stage, uint64_t rows, uint64_t total) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(bandsLock_);
  // Threads may report their rows out of order; the counts only grow.
  bandRows_[stage] = std::max(bandRows_[stage], std::min(rows, total));
  int percent[3];
  for (int i = 0; i < 3; ++i) {
    percent[i] = total == 0 ? 100 : static_cast<int>(bandRows_[i] * 100 / total);
  }
  const int64_t key = (percent[0] * 101 + percent[1]) * 101 + percent[2];
  if (key == lastBands_) return;
  lastBands_ = key;
  const double part = (percent[0] + percent[1] + percent[2]) / 300.0;
  char steps[64];
  std::snprintf(steps, sizeof steps, "decoded %3d%% effect %3d%% encoded %3d%%", percent[0],
                percent[1], percent[2]);
  Draw(static_cast<int>((index_ + part) / count_ * 1000.0), steps);
}

void ProgressLine::Draw(int permille, const char* steps) {
  constexpr int kWidth = 30;
  const int filled = permille * kWidth / 1000;
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = '\0';
  char batch[48] = "";
  if (count_ > 1) std::snprintf(batch, sizeof batch, "%d/%d files done, ", index_, count_);
  char line[512];
  const int n = std::snprintf(line, sizeof line, "\r%s%s [%s] %5.1f%% %s\033[K", batch,
                              label_.c_str(), bar, permille / 10.0, steps);
  lastPermille_.store(permille);
  if (n > 0) {
    [[maybe_unused]] ssize_t w =
        ::write(STDERR_FILENO, line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
  }
}

void ProgressLine::Clear() {
  if (!enabled_ || lastPermille_.load() < 0) return;
  static const char kClear[] = "\r\033[K";
  [[maybe_unused]] ssize_t w = ::write(STDERR_FILENO, kClear, sizeof kClear - 1);
  lastPermille_.store(-1);
}

// ---------------------------------------------------------------------------
// Session

Session::Session() = default;

Session::~Session() {
  gProgress.store(nullptr);
  if (host_) {
    for (host::Object o : kept_) host_->Unlock(o);
    if (monitor_ != nullptr) host_->Unlock(monitor_);
  }
}

void Session::Keep(host::Object object) {
  if (object != nullptr) kept_.push_back(object);
}

Failure Session::Load(const std::string& pluginPath) {
  host_ = std::make_unique<host::Host>();
  std::string path = pluginPath;
  if (path.empty()) {
    const std::string nextToTool = DirectoryOfExecutable() + "/liblumenoraw.so";
    path = FileExists(nextToTool) ? nextToTool : std::string(LUMENO_PLUGIN_PATH);
  }
  const size_t first = host_->Classes().size();
  std::string error;
  if (!host_->LoadPlugin(path, &error)) {
    return {kExitPlugin, "cannot load the plug-in " + path + (error.empty() ? "" : ": " + error)};
  }
  catalog_.Load(*host_, first);
  host_->RegisterClass(&gMonitorClass);
  monitor_ = host_->New(gMonitorClass.name);
  gProgress.store(&progress_);
  return {};
}

Failure Session::FindEffect(const std::string& name, const ClassEntry** effect) const {
  *effect = catalog_.FindEffect(name);
  if (*effect != nullptr) return {};
  std::string accepted;
  std::vector<std::string> names;
  for (const ClassEntry* e : catalog_.Effects()) {
    accepted += (accepted.empty() ? "" : ", ") + e->shortName;
    names.push_back(e->shortName);
    names.insert(names.end(), e->aliases.begin(), e->aliases.end());
  }
  if (accepted.empty()) accepted = "(the plug-in registered no effects)";
  if (name.find('=') != std::string::npos) {
    return {kExitUsage, "'" + name +
                            "' is a setting; the effect's name comes first (lumeno apply "
                            "EFFECT PROPERTY=VALUE ... INPUT OUTPUT)"};
  }
  return {kExitUsage, "unknown effect '" + name + "'" + DidYouMean(name, names) +
                          "; accepted: " + accepted + " (or the class names, see 'lumeno list')"};
}

std::string Session::DescribeError(int64_t code) const {
  const std::string name = catalog_.ErrorName(code);
  if (name.empty()) return "error code " + std::to_string(code);
  const char* text = ExplainError(name);
  return name + " (" + std::to_string(code) + ")" + (*text != '\0' ? std::string(": ") + text : "");
}

Failure Session::LoadBitmap(const std::string& path, host::Object* bitmap) {
  Image image;
  std::string error;
  if (!ReadImage(path, &image, &error, {}, readLimits_)) return {kExitFile, error};
  *bitmap = BitmapFromImage(*host_, image, &error);
  if (*bitmap == nullptr) return {kExitFile, path + ": " + error};
  Keep(*bitmap);
  return {};
}

MaskSpec SplitMaskArgument(const std::string& argument) {
  // FILE[:CHANNEL][:inverted], read from the end so that file names with
  // colons still work when they exist as given.
  MaskSpec request;
  request.file = argument;
  if (FileExists(request.file)) return request;
  size_t colon = request.file.rfind(':');
  if (colon != std::string::npos && Lower(request.file.substr(colon + 1)) == "inverted") {
    request.inverted = true;
    request.file.resize(colon);
  }
  colon = request.file.rfind(':');
  if (!FileExists(request.file) && colon != std::string::npos) {
    request.channel = request.file.substr(colon + 1);
    request.file.resize(colon);
  }
  return request;
}

Failure MaskChannel(const Image& layout, const MaskSpec& request, int* offset) {
  *offset = ChannelByteOffset(layout, request.channel.empty() ? "0" : request.channel);
  if (*offset >= 0) return {};
  return {kExitUsage, "mask: " + request.file + " has no channel '" + request.channel +
                          "' (its channels: " + ColorModelName(layout.model) +
                          (layout.alpha ? " + alpha" : "") +
                          "; use a name such as red, gray, alpha, black or a number from 0)"};
}

Failure CheckMaskSize(int64_t maskWidth, int64_t maskHeight, const std::string& input,
                      const Image& image) {
  if (maskWidth == image.width && maskHeight == image.height) return {};
  return {kExitUsage, "the mask is " + std::to_string(maskWidth) + "x" +
                          std::to_string(maskHeight) + " but " + input + " is " +
                          std::to_string(image.width) + "x" + std::to_string(image.height)};
}

Failure MaskFromImage(host::Host& host, const Image& image, const MaskSpec& request,
                      host::Object* mask) {
  int offset = 0;
  if (Failure f = MaskChannel(image, request, &offset)) return f;
  std::string error;
  // The mask keeps a copy of the channel; the bitmap goes with this scope.
  host::Ref bitmap(host, BitmapFromImage(host, image, &error));
  if (!bitmap) return {kExitFile, "mask: " + request.file + ": " + error};
  *mask = host::CreateMask(host, bitmap.get(), request.inverted, static_cast<uint8_t>(offset));
  if (*mask == nullptr) return {kExitFile, "mask: cannot make a mask from " + request.file};
  return {};
}

Failure Session::LoadMask(const std::string& maskArgument, host::Object* mask, int64_t* width,
                          int64_t* height) {
  const MaskSpec request = SplitMaskArgument(maskArgument);
  Image image;
  std::string error;
  if (!ReadImage(request.file, &image, &error, {}, readLimits_)) return {kExitFile, "mask: " + error};
  if (Failure f = MaskFromImage(*host_, image, request, mask)) return f;
  Keep(*mask);
  *width = image.width;
  *height = image.height;
  return {};
}

bool Session::CanParseType(const std::string& type) const {
  static const char* const kTypes[] = {"Single", "Double",    "Boolean",       "Integer", "UInt8",
                                       "UInt64", "RawBitmap", "RawBitmapMask", "PointF",  "SizeF"};
  for (const char* t : kTypes) {
    if (type == t) return true;
  }
  return catalog_.FindEnum(type) != nullptr;
}

namespace {

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// Names accepted for an Integer property: the constants of the class that
// declares it (GrayscaleType: NTSC_PAL ...; MultiprocessingHint: CPU_USE_...).
const std::vector<NamedValue>* NamesFor(const Catalog& catalog, const PropertyEntry& p) {
  if (const EnumEntry* e = catalog.FindEnum(p.type)) return &e->fields;
  if (p.type != "Integer") return nullptr;
  const ClassEntry* owner = catalog.FindClass(p.declaredBy);
  return owner != nullptr && !owner->ownConstants.empty() ? &owner->ownConstants : nullptr;
}

std::string NameOf(const std::vector<NamedValue>* names, int64_t v) {
  if (names != nullptr) {
    for (const NamedValue& n : *names) {
      if (n.value == v) return n.name;
    }
  }
  return std::to_string(v);
}

}  // namespace

std::vector<SettableProperty> Session::Settable(const ClassEntry& effect) {
  std::vector<SettableProperty> out;
  host::Ref fresh(*host_, host_->New(effect.name));
  for (const PropertyEntry& p : catalog_.AllProperties(effect)) {
    if (!p.writable || !CanParseType(p.type)) continue;
    SettableProperty s{p.name, p.type, "", "", FindLimits(p.name)};
    const std::vector<NamedValue>* names = NamesFor(catalog_, p);
    if (names != nullptr) {
      s.accepted = JoinNames(*names);
    } else if (p.type == "Single" || p.type == "Double") {
      s.accepted = s.limits != nullptr && s.limits->ranged
                       ? Number(s.limits->min) + " to " + Number(s.limits->max)
                       : "any number";
    } else if (p.type == "Boolean") {
      s.accepted = "true or false";
    } else if (p.type == "Integer") {
      s.accepted = "a whole number";
    } else if (p.type == "RawBitmap") {
      s.accepted = "an image file";
    } else if (p.type == "RawBitmapMask") {
      s.accepted = "FILE[:CHANNEL][:inverted]";
    } else {
      s.accepted = p.type == "PointF" ? "x,y" : "width,height";
    }
    // The value a new object holds, read through the property's getter.
    if (p.readable && fresh) {
      const host::Value v = host_->GetProperty(fresh.get(), p.name);
      if (const float* f = std::get_if<float>(&v)) s.initial = Number(*f);
      if (const double* d = std::get_if<double>(&v)) s.initial = Number(*d);
      if (const bool* b = std::get_if<bool>(&v)) s.initial = *b ? "true" : "false";
      if (const int64_t* i = std::get_if<int64_t>(&v)) s.initial = NameOf(names, *i);
      if (const host::Object* o = std::get_if<host::Object>(&v)) {
        s.initial = "none";
        if (*o != nullptr && (p.type == "PointF" || p.type == "SizeF")) {
          const bool point = p.type == "PointF";
          s.initial = Number(host_->GetSingle(*o, point ? "x" : "Width")) + "," +
                      Number(host_->GetSingle(*o, point ? "y" : "Height"));
        }
        if (*o != nullptr) host_->Unlock(*o);
      }
    }
    out.push_back(s);
  }
  return out;
}

Failure Session::CheckNeeded(const ClassEntry& effect,
                             const std::vector<ParsedAssignment>& assignments) {
  // Per group: the names that would do, and whether one was given.
  std::vector<std::pair<std::string, bool>> groups(4);
  std::string example;
  for (const SettableProperty& p : Settable(effect)) {
    if (p.limits == nullptr || p.limits->needGroup == 0) continue;
    auto& [names, given] = groups[static_cast<size_t>(p.limits->needGroup)];
    names += (names.empty() ? "" : " or ") + p.name + " (" + p.accepted + ")";
    for (const ParsedAssignment& a : assignments) given = given || a.property == p.name;
  }
  std::string missing;
  for (const auto& [names, given] : groups) {
    if (!names.empty() && !given) missing += (missing.empty() ? "" : ", and ") + names;
  }
  if (missing.empty()) return {};
  return {kExitUsage, effect.shortName + " needs a value for " + missing +
                          "; set it as PROPERTY=VALUE (see 'lumeno list " + effect.shortName +
                          "')"};
}

Failure Session::ParseAssignment(const ClassEntry& effect, const std::string& text,
                                 ParsedAssignment* out) {
  const size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
  PropertyEntry storage;
  const PropertyEntry* prop = catalog_.FindProperty(effect, name, &storage);
  if (prop == nullptr || !prop->writable || !CanParseType(prop->type)) {
    std::string accepted;
    std::vector<std::string> names;
    for (const SettableProperty& p : Settable(effect)) {
      accepted += (accepted.empty() ? "" : ", ") + p.name + " (" + p.type + ")";
      names.push_back(p.name);
    }
    if (prop != nullptr && prop->writable) {
      return {kExitUsage, prop->name + " (" + prop->type + ") cannot be set from the command line"};
    }
    const std::string why =
        prop == nullptr ? "has no property" : "cannot set the read-only property";
    return {kExitUsage, effect.name + " " + why + " '" + name + "'" + DidYouMean(name, names) +
                            "; settable: " + accepted};
  }
  out->property = prop->name;
  const std::string& type = prop->type;
  auto bad = [&](const std::string& accepted) {
    return Failure{kExitUsage, "bad value '" + value + "' for " + prop->name + " (" + type +
                                   "): expected " + accepted};
  };
  const PropertyLimits* limits = FindLimits(prop->name);
  const std::vector<NamedValue>* names = NamesFor(catalog_, *prop);
  if (type == "Single" || type == "Double") {
    double d = 0;
    float f = 0;
    const bool ok = type == "Single" ? ParseFloatText(value, &f) : ParseDoubleText(value, &d);
    if (type == "Single") d = f;
    const bool ranged = limits != nullptr && limits->ranged;
    const std::string range =
        ranged ? "a number from " + Number(limits->min) + " to " + Number(limits->max)
               : "a finite number such as 0.5";
    if (!ok || !std::isfinite(d)) return bad(range);
    if (ranged && (d < limits->min || d > limits->max)) return bad(range);
    if (type == "Single") {
      out->value = f;
    } else {
      out->value = d;
    }
  } else if (type == "Boolean") {
    bool b;
    if (!ParseBoolText(value, &b)) return bad("true or false (also yes/no, on/off, 1/0)");
    out->value = b;
  } else if (names != nullptr) {
    // A name of the property's own enumeration or constant set, or its number.
    int64_t v = 0;
    bool found = false;
    for (const NamedValue& n : *names) {
      if (Lower(n.name) == Lower(Trim(value))) {
        v = n.value;
        found = true;
      }
    }
    if (!found && ParseIntText(value, &v)) {
      for (const NamedValue& n : *names) found = found || n.value == v;
    }
    if (!found) {
      std::vector<std::string> candidates;
      for (const NamedValue& n : *names) candidates.push_back(n.name);
      return bad("one of " + JoinNames(*names) + " (or their numbers)" +
                 DidYouMean(Trim(value), candidates));
    }
    out->value = v;
  } else if (type == "Integer" || type == "UInt8" || type == "UInt64") {
    int64_t v = 0;
    uint64_t u = 0;
    if (type == "Integer") {
      if (!ParseIntText(value, &v)) return bad("a whole number");
      out->value = v;
    } else {
      if (!ParseUIntText(value, &u)) return bad("a whole number from 0");
      if (type == "UInt8") {
        if (u > 255) return bad("a whole number from 0 to 255");
        out->value = static_cast<uint8_t>(u);
      } else {
        out->value = u;
      }
    }
  } else if (type == "RawBitmap") {
    host::Object bitmap = nullptr;
    if (Failure f = LoadBitmap(value, &bitmap)) {
      f.message = prop->name + ": " + f.message;
      return f;
    }
    out->value = ObjectValue(bitmap);
  } else if (type == "RawBitmapMask") {
    host::Object mask = nullptr;
    int64_t w = 0, h = 0;
    if (Failure f = LoadMask(value, &mask, &w, &h)) {
      f.message = prop->name + ": " + f.message;
      return f;
    }
    out->value = ObjectValue(mask);
  } else if (type == "PointF" || type == "SizeF") {
    float a = 0, b = 0;
    const bool point = type == "PointF";
    if (!ParsePair(value, &a, &b) || !std::isfinite(a) || !std::isfinite(b)) {
      return bad(point ? "x,y such as 10,20" : "w,h such as 64,48");
    }
    host::Object object = host_->New(type);
    if (object == nullptr) return {kExitPlugin, "the host has no class " + type};
    Keep(object);
    host_->SetProperty(object, point ? "x" : "Width", a);
    host_->SetProperty(object, point ? "y" : "Height", b);
    out->value = ObjectValue(object);
  } else {
    return {kExitUsage, prop->name + " (" + type + ") cannot be set from the command line"};
  }
  return {};
}

Failure Session::Run(const ClassEntry& entry, const std::vector<ParsedAssignment>& assignments,
                     const RunOptions& options, host::Object source, host::Object* result) {
  *result = nullptr;
  host::Ref effect(*host_, host_->New(entry.name));
  if (!effect) return {kExitPlugin, "cannot create a " + entry.name + " object"};
  for (const ParsedAssignment& a : assignments) {
    if (!host_->SetProperty(effect.get(), a.property, a.value)) {
      return {kExitUsage, "cannot set " + a.property + " on " + entry.name};
    }
  }
  if (options.hasThreads) host_->SetProperty(effect.get(), "MultiprocessingHint", options.threads);
  if (options.mask != nullptr) {
    PropertyEntry storage;
    const PropertyEntry* maskProp = catalog_.FindProperty(entry, "Mask", &storage);
    if (maskProp == nullptr || maskProp->type != "RawBitmapMask" || !maskProp->writable) {
      return {kExitUsage, entry.name + " has no Mask property; --mask cannot be used with it"};
    }
    host_->SetProperty(effect.get(), maskProp->name, ObjectValue(options.mask));
  }
  host_->SetProperty(effect.get(), "ProgressHandler", ObjectValue(monitor_));

  if (options.async ||
      (options.inPlace && !host_->FindMethod(effect.get(), kApplyInPlaceDeclaration))) {
    const char* declaration =
        options.inPlace ? kApplyInPlaceAsyncDeclaration : kApplyAsyncDeclaration;
    if (host_->FindMethod(effect.get(), declaration) == nullptr) {
      return {kExitUsage,
              entry.name + (options.inPlace ? " cannot work in place" : " has no background form")};
    }
    if (Failure f = RunAsync(effect.get(), entry, declaration, source)) return f;
    *result = host_->GetObject(effect.get(), "AsyncResult");
  } else {
    gCancelThroughProgress.store(true);
    if (options.inPlace) {
      host_->Call<void>(effect.get(), kApplyInPlaceDeclaration, source);
    } else {
      *result = host_->Call<host::Object>(effect.get(), kApplyDeclaration, source);
    }
    gCancelThroughProgress.store(false);
    const bool canceled = host_->GetBoolean(effect.get(), "Canceled");
    if (canceled || gInterrupted.load()) {
      host_->Unlock(*result);
      *result = nullptr;
      return {kExitInterrupted, "interrupted; nothing written"};
    }
    if (options.inPlace) {
      const int64_t code = host_->GetInteger(effect.get(), "ErrorCode");
      if (code != 0) return {kExitEffectFailed, entry.name + " failed: " + DescribeError(code)};
      host_->Lock(source);
      *result = source;
    }
  }
  if (*result == nullptr) {
    const int64_t code = host_->GetInteger(effect.get(), "ErrorCode");
    return {kExitEffectFailed, entry.name + " failed: " + DescribeError(code)};
  }
  return {};
}

Failure Session::RunAsync(host::Object effect, const ClassEntry& entry, const char* declaration,
                          host::Object source) {
  gCompleted.store(false);
  gCancelThroughProgress.store(false);
  host_->Call<void>(effect, declaration, source, monitor_,
                    reinterpret_cast<void*>(&MonitorCompleted));
  const int64_t code = host_->GetInteger(effect, "ErrorCode");
  if (code != 0) return {kExitEffectFailed, entry.name + " failed: " + DescribeError(code)};
  if (host_->GetBoolean(effect, "AsyncCompleted") && !gCompleted.load()) {
    return {kExitEffectFailed, entry.name + " did not start its background run"};
  }
  while (!gCompleted.load() && !gInterrupted.load()) {
    const bool done = host_->RunLoop([] { return gCompleted.load() || gInterrupted.load(); }, 5.0);
    if (!done && host_->TaskCount() == 0 && !gCompleted.load()) {
      return {kExitEffectFailed, entry.name + ": the background run ended without completing"};
    }
  }
  if (!gCompleted.load()) {
    host_->Call<void>(effect, kCancelDeclaration);
    return {kExitInterrupted, "interrupted; nothing written"};
  }
  if (gInterrupted.load()) return {kExitInterrupted, "interrupted; nothing written"};
  return {};
}

// ---------------------------------------------------------------------------

std::string FollowLinks(const std::string& path) {
  std::string current = path;
  // As many links as the system itself follows before giving up.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) return current;
    const std::string target(buf.data(), static_cast<size_t>(n));
    const size_t slash = current.rfind('/');
    current = target[0] == '/' || slash == std::string::npos
                  ? target
                  : current.substr(0, slash + 1) + target;
  }
  return current;
}

Failure WriteImageAtomically(const std::string& path, Image image, const WriteOptions& options,
                             bool quiet, bool replace) {
  FileType type = FileTypeForExtension(path);
  if (type == FileType::kUnknown) {
    return {kExitUsage,
            path + ": unknown output type (use .png, .jpg, .jpeg, .tif, .tiff or .webp)"};
  }
  if (type == FileType::kPNG && image.model == ColorModel::kCMYK) {
    return {kExitFile, path + ": PNG cannot store CMYK images; write a .tif file instead"};
  }
  const std::string note = ConvertForFileType(type, &image);
  if (!note.empty() && !quiet) std::fprintf(stderr, "lumeno: %s: %s\n", path.c_str(), note.c_str());
  // A link is replaced by nothing: its target gets the new contents.
  const std::string target = FollowLinks(path);
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = dir + "/." + base + ".lumeno-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return {kExitFile, "cannot write in " + dir + ": " + std::strerror(errno)};
  ::close(fd);
  temp = name.data();
  std::string error;
  if (!WriteImage(temp, type, image, options, &error)) {
    ::unlink(temp.c_str());
    // Name the real output, not the temporary file.
    for (size_t at = error.find(temp); at != std::string::npos; at = error.find(temp)) {
      error.replace(at, temp.size(), path);
    }
    return {kExitFile, error};
  }
  if (gInterrupted.load()) {
    ::unlink(temp.c_str());
    return {kExitInterrupted, "interrupted; nothing written"};
  }
  // mkstemp made the file private: a replaced file keeps its mode and (where
  // allowed) its owner; a new one gets the mode a new file would get.
  struct stat old;
  if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    ::chmod(temp.c_str(), old.st_mode & 07777);
    if (::chown(temp.c_str(), old.st_uid, old.st_gid) != 0) {
      // Another owner cannot be given away; the mode still applies.
    }
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temp.c_str(), 0666 & ~mask);
  }
  int renamed = 0;
  if (replace) {
    renamed = ::rename(temp.c_str(), target.c_str());
  } else {
    // Refuse atomically when the output appeared in the meantime.
    renamed = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && errno != EEXIST) {
      renamed = ::link(temp.c_str(), target.c_str());
      if (renamed == 0) ::unlink(temp.c_str());
    }
    if (renamed != 0 && errno == EEXIST) {
      ::unlink(temp.c_str());
      return {kExitFile, path + " exists; not replaced (--no-clobber)"};
    }
  }
  if (renamed != 0) {
    const std::string why = std::strerror(errno);
    ::unlink(temp.c_str());
    return {kExitFile, "cannot write " + path + ": " + why};
  }
  return {};
}

}  // namespace lumeno::cli

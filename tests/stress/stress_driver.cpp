#include "stress/stress_driver.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/progress.h"

namespace lumeno::stress {

uint64_t DataChooser::Next() {
  uint64_t v = 0;
  for (int i = 0; i < 2; ++i) {
    v <<= 8;
    if (pos_ < size_) v |= data_[pos_++];
  }
  return v;
}

namespace {

using host::Object;
using host::Ref;
using host::Value;

constexpr size_t kMaxFilters = 6;
constexpr size_t kMaxBitmaps = 10;
constexpr size_t kMaxMasks = 4;
constexpr size_t kMaxHandlers = 3;

enum class MethodKind { kApply, kApplyInPlace, kApplyAsync, kApplyInPlaceAsync, kCancel, kOther };

MethodKind KindOfMethod(const std::string& name) {
  if (name == "Apply") return MethodKind::kApply;
  if (name == "ApplyInPlace") return MethodKind::kApplyInPlace;
  if (name == "ApplyAsync") return MethodKind::kApplyAsync;
  if (name == "ApplyInPlaceAsync") return MethodKind::kApplyInPlaceAsync;
  if (name == "Cancel") return MethodKind::kCancel;
  return MethodKind::kOther;
}

bool IsAsync(MethodKind k) {
  return k == MethodKind::kApplyAsync || k == MethodKind::kApplyInPlaceAsync;
}
bool IsInPlace(MethodKind k) {
  return k == MethodKind::kApplyInPlace || k == MethodKind::kApplyInPlaceAsync;
}

// Value ranges of the effects whose checks are simple: the arguments a
// value-taking method validates, the properties the parameterless and the
// asynchronous methods validate (names separated by spaces), and what the
// engine refuses.
struct EffectRule {
  const char* className;
  float lo, hi;
  const char *argNames, *syncProps, *asyncProps;
  bool refusesGrayInPlace, acceptsFourColour;
};

constexpr EffectRule kEffectRules[] = {
    {"BrightnessEffectRaw", -1, 1, "value", "BrightnessValue", "BrightnessValue", false, false},
    {"BrightnessContrastEffectRaw", -1, 1, "brightnessValue contrastValue",
     "BrightnessValue ContrastValue", "BrightnessValue", false, false},
    {"ContrastEffectRaw", -1, 1, "value", "ContrastValue", "ContrastValue", false, false},
    {"SepiaEffectRaw", 0, 1, "value", "SepiaValue", "SepiaValue", false, false},
    {"InvertEffectRaw", 0, 0, "", "", "", false, true},
    {"ColorFilterEffectRaw", -1, 1, "red green blue", "Red Green Blue", "Red Green Blue", true,
     false},
    {"TintAndTemperatureEffectRaw", 0, 0, "", "", "", true, false},
};

const EffectRule* RuleFor(const std::string& className) {
  for (const EffectRule& r : kEffectRules) {
    if (className == r.className) return &r;
  }
  return nullptr;
}

std::vector<std::string> Words(const char* text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string Describe(const std::string& what, const std::string& cls, const std::string& member) {
  return what + " [" + cls + " " + member + "]";
}

}  // namespace

struct Driver::State {
  struct BitmapEntry {
    Ref ref;
    testing::OutsideBytes outside;
  };
  struct FilterEntry {
    Ref ref;
    const host::ClassInfo* cls;
  };
  struct Run {
    int id;
    Object filter;
    bool orphan = false;          // the driver no longer holds the filter
    std::vector<Object> bitmaps;  // read or written by the run
    bool inPlace = false;
    bool grayscale = false;  // a grayscale run (see CheckFreshSlack)
    std::string what;
  };

  host::Host& host;
  Chooser& chooser;
  DriverOptions options;
  Counts counts;
  std::vector<const host::ClassInfo*> classes;  // the plug-in's filter classes
  std::vector<FilterEntry> filters;
  std::vector<BitmapEntry> bitmaps;
  std::vector<Ref> masks;
  std::vector<Ref> handlers;
  std::map<int, Run> runs;
  int nextRunId = 1;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  State(host::Host& h, Chooser& c, DriverOptions o) : host(h), chooser(c), options(std::move(o)) {
    for (const host::ClassInfo* info : host.Classes()) {
      for (const host::ClassInfo* c2 = info; c2 != nullptr; c2 = c2->super) {
        if (std::strcmp(c2->definition->name, "MPImageFilterRaw") == 0) {
          classes.push_back(info);
          break;
        }
      }
    }
    if (classes.empty()) Fail("no filter class is registered");
  }

  void Fail(const std::string& message) {
    if (options.fail) options.fail(message);
  }

  // -- Values ------------------------------------------------------------------
  float HostileSingle() {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    static const float extremes[] = {
        0.0f, -0.0f, 0.5f, -0.5f, 1.0f, -1.0f, std::nextafter(1.0f, 2.0f),
        std::nextafter(-1.0f, -2.0f), 0.3f, 5.0f, -5.0f, 1.5f, nan, -nan, inf, -inf, FLT_MAX,
        -FLT_MAX, 1e30f, -1e30f, 3e9f, -3e9f, std::numeric_limits<float>::denorm_min(), 1e-30f};
    if (chooser.Percent(40)) {
      return static_cast<float>(static_cast<double>(chooser.Below(2401)) / 1000.0 - 1.2);
    }
    return extremes[chooser.Below(std::size(extremes))];
  }

  double HostileDouble() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    static const double extremes[] = {
        0.0, 1.0, -1.0, 0.5, 0.3, 2.0, -2.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf,
        DBL_MAX, -DBL_MAX, 1e300, -1e300, 1e10, std::numeric_limits<double>::denorm_min()};
    if (chooser.Percent(40)) return static_cast<double>(chooser.Below(1401)) / 1000.0 - 0.2;
    return extremes[chooser.Below(std::size(extremes))];
  }

  int64_t HostileInteger() {
    constexpr int64_t k32 = int64_t{1} << 32;
    static const int64_t extremes[] = {
        0, 1, -1, -5, 9, 24, 100, 255, 256, 65536, k32, k32 + 3,
        std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(),
        std::numeric_limits<int32_t>::min()};
    if (chooser.Percent(60)) return chooser.Between(-2, 25);
    return extremes[chooser.Below(std::size(extremes))];
  }

  // -- Pools -------------------------------------------------------------------
  std::set<Object> BusyBitmaps() const {
    std::set<Object> busy;
    for (const auto& [id, run] : runs) busy.insert(run.bitmaps.begin(), run.bitmaps.end());
    return busy;
  }

  // A bitmap no background run touches, or null.
  Object PickIdleBitmap() {
    const std::set<Object> busy = BusyBitmaps();
    std::vector<Object> idle;
    for (const BitmapEntry& b : bitmaps) {
      if (busy.count(b.ref.get()) == 0) idle.push_back(b.ref.get());
    }
    if (idle.empty()) return nullptr;
    return idle[chooser.Below(idle.size())];
  }

  int64_t PickSide() {
    const uint64_t band = chooser.Below(100);
    if (band < 45) return chooser.Between(0, 8);
    if (band < 85) return chooser.Between(0, 40);
    return chooser.Between(0, options.maxSide);
  }

  void AddBitmap(Ref ref) {
    if (!ref) return;
    RawBitmap* record = host::BitmapRecord(host, ref.get());
    if (record == nullptr) return;
    BitmapEntry entry{std::move(ref), testing::Snapshot(*record)};
    if (bitmaps.size() >= kMaxBitmaps) DropBitmapAt(chooser.Below(bitmaps.size()));
    bitmaps.push_back(std::move(entry));
  }

  void NewBitmap() {
    const auto& formats = host::AllFormats();
    const host::FormatInfo& f = formats[chooser.Below(formats.size())];
    const int64_t width = PickSide();
    const int64_t height = PickSide();
    int64_t padding = chooser.Percent(50) ? 0 : chooser.Between(1, 40);
    if (f.bitsPerChannel == 16) padding &= ~int64_t{1};
    Ref bitmap = testing::RandomBitmap(host, width, height, f.format, padding, chooser.Next());
    if (!bitmap) {
      Fail("RandomBitmap refused " + std::string(f.name) + " " + std::to_string(width) + "x" +
           std::to_string(height));
      return;
    }
    AddBitmap(std::move(bitmap));
  }

  void CheckOutside(const BitmapEntry& b, const char* when) {
    RawBitmap* record = host::BitmapRecord(host, b.ref.get());
    if (record == nullptr) return;
    if (!testing::Unchanged(*record, b.outside)) {
      Fail(std::string("bytes outside the pixels of a bitmap changed (") + when + ")");
    }
  }

  void DropBitmapAt(size_t i) {
    CheckOutside(bitmaps[i], "checked when dropped");
    bitmaps.erase(bitmaps.begin() + static_cast<std::ptrdiff_t>(i));
  }

  void NewMask() {
    Object from = PickIdleBitmap();
    if (from == nullptr) return;
    RawBitmap* record = host::BitmapRecord(host, from);
    const auto channel = static_cast<uint8_t>(chooser.Below(
        static_cast<uint64_t>(record->bytesPerPixel > 0 ? record->bytesPerPixel : 1)));
    Ref mask(host, host::CreateMask(host, from, chooser.Percent(30), channel));
    if (!mask) return;
    if (masks.size() >= kMaxMasks)
      masks.erase(masks.begin() + static_cast<std::ptrdiff_t>(chooser.Below(masks.size())));
    masks.push_back(std::move(mask));
  }

  void NewHandler() {
    if (handlers.size() >= kMaxHandlers) {
      handlers.erase(handlers.begin() +
                     static_cast<std::ptrdiff_t>(chooser.Below(handlers.size())));
    }
    handlers.push_back(testing::NewProgressHandler(host));
    ArmHandler(handlers.back());
  }

  // The handler cancels a run at its n-th call, or never.
  void ArmHandler(const Ref& h) {
    testing::ProgressOf(h.get()).CancelAtCall(chooser.Percent(70) ? 0 : chooser.Between(1, 6));
  }

  void NewFilter() {
    const host::ClassInfo* cls = classes[chooser.Below(classes.size())];
    Ref filter(host, host.New(cls->definition->name));
    if (!filter) {
      Fail(std::string("could not create ") + cls->definition->name);
      return;
    }
    if (host.GetInteger(filter.get(), "ErrorCode") != 0 ||
        !host.GetBoolean(filter.get(), "AsyncCompleted") ||
        host.GetBoolean(filter.get(), "Canceled")) {
      Fail(std::string("a new ") + cls->definition->name + " is not idle and error-free");
    }
    filters.push_back({std::move(filter), cls});
  }

  void DropFilterAt(size_t i) {
    Object f = filters[i].ref.get();
    for (auto& [id, run] : runs) {
      if (run.filter == f) run.orphan = true;
    }
    filters.erase(filters.begin() + static_cast<std::ptrdiff_t>(i));
  }

  // An object for a property or argument of this type, or null; the caller
  // keeps `keep` alive until the call is over.
  Object ObjectFor(const std::string& type, std::vector<Ref>* keep, bool forSource) {
    if (chooser.Percent(forSource ? 4 : 20)) return nullptr;
    if (type == "RawBitmap") return PickIdleBitmap();
    if (type == "RawBitmapMask") {
      return masks.empty() ? nullptr : masks[chooser.Below(masks.size())].get();
    }
    if (type == "PointF" || type == "SizeF") {
      Ref o(host, host.New(type));
      const char* a = type == "PointF" ? "x" : "Width";
      const char* b = type == "PointF" ? "y" : "Height";
      host.SetProperty(o.get(), a,
                       chooser.Percent(60) ? static_cast<float>(PickSide() - 20) : HostileSingle());
      host.SetProperty(o.get(), b,
                       chooser.Percent(60) ? static_cast<float>(PickSide() - 20) : HostileSingle());
      Object raw = o.get();
      keep->push_back(std::move(o));
      return raw;
    }
    if (type == "IProgressHandlerV2") {
      if (chooser.Percent(10)) {  // an object without OnProgress
        Ref o = testing::NewCompletionTarget(host);
        Object raw = o.get();
        keep->push_back(std::move(o));
        return raw;
      }
      return handlers.empty() ? nullptr : handlers[chooser.Below(handlers.size())].get();
    }
    if (type == "Object") {
      Ref o = testing::NewCompletionTarget(host);
      Object raw = o.get();
      keep->push_back(std::move(o));
      return raw;
    }
    return nullptr;
  }

  Value ValueFor(const std::string& type, std::vector<Ref>* keep, bool forSource) {
    if (type == "Single") return HostileSingle();
    if (type == "Double") return HostileDouble();
    if (type == "Integer" || type.find('.') != std::string::npos) return HostileInteger();
    if (type == "Boolean") return chooser.Percent(50);
    if (type == "UInt8") return static_cast<uint8_t>(chooser.Below(256));
    if (type == "UInt64") return static_cast<uint64_t>(chooser.Next());
    if (type == "Ptr") return chooser.Percent(80) ? testing::CompletionMethod() : nullptr;
    return ObjectFor(type, keep, forSource);
  }

  // -- Properties --------------------------------------------------------------
  // Every property of a class chain; with `settable`, those with a setter.
  static std::vector<const ZARKpropertyDefinition*> Properties(const host::ClassInfo* cls,
                                                               bool settable) {
    std::vector<const ZARKpropertyDefinition*> props;
    for (const host::ClassInfo* c = cls; c != nullptr; c = c->super) {
      for (int64_t i = 0; i < c->definition->propertyCount; ++i) {
        const ZARKpropertyDefinition* p = &c->definition->properties[i];
        if ((settable ? p->setter : p->getter) != nullptr) props.push_back(p);
      }
    }
    return props;
  }

  void SetRandomProperty() {
    if (filters.empty()) return;
    FilterEntry& f = filters[chooser.Below(filters.size())];
    const auto props = Properties(f.cls, true);
    if (props.empty()) return;
    const ZARKpropertyDefinition* p = props[chooser.Below(props.size())];
    std::vector<Ref> keep;
    const std::string type = p->type;
    // Replacing FillBitmap or Mask while a run reads the old one is the
    // script's right; the new value is an idle bitmap (PickIdleBitmap), so
    // no later run reads pixels that another run writes.
    Value v = ValueFor(type, &keep, false);
    if (!host.SetProperty(f.ref.get(), p->name, v)) {
      Fail(Describe("property write refused", f.cls->definition->name, p->name));
    }
  }

  void GetProperty(FilterEntry& f, const char* name) {
    Value v = host.GetProperty(f.ref.get(), name);
    if (auto* o = std::get_if<Object>(&v)) host.Unlock(*o);
  }

  void GetRandomProperty() {
    if (filters.empty()) return;
    FilterEntry& f = filters[chooser.Below(filters.size())];
    const auto props = Properties(f.cls, false);
    if (!props.empty()) GetProperty(f, props[chooser.Below(props.size())]->name);
  }

  // -- Predictions -------------------------------------------------------------
  struct Call {
    FilterEntry* filter;
    std::string className;
    std::string declaration;
    host::MethodDecl decl;
    MethodKind kind;
    std::vector<Value> args;
    Object source = nullptr;
    Object fill = nullptr;  // blend
    bool running = false;
    int64_t codeBefore = 0;
  };

  static bool IsFourColour(int64_t format) { return format >= 13 && format <= 16; }

  std::optional<int64_t> PredictBlend(const Call& c) {
    const bool async = IsAsync(c.kind);
    if (async && c.running) return 10;
    if (c.source == nullptr || c.fill == nullptr) return 4;
    const RawBitmap* s = host::BitmapRecord(host, c.source);
    const RawBitmap* f = host::BitmapRecord(host, c.fill);
    if (s->bitsPerChannel != f->bitsPerChannel) return 7;
    if (s->bitsPerChannel != 8) return 6;
    const int64_t sf = s->imageFormat;
    const int64_t ff = f->imageFormat;
    auto in = [](int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; };
    if (in(sf, 3, 12)) {
      if (!in(ff, 3, 12)) return 8;
    } else {
      const int64_t mode = host.GetInteger(c.filter->ref.get(), "BlendMode");
      if (in(mode, 12, 15)) return 9;
      if (in(sf, 0, 2) && !in(ff, 0, 2)) return 8;
      if (in(sf, 13, 14) && !in(ff, 13, 14)) return 8;
    }
    return c.codeBefore;  // a successful blend leaves the code alone
  }

  // Values a method validates, by the rules of its class.
  std::vector<float> ValidatedValues(const Call& c, const EffectRule& rule) {
    std::vector<float> values;
    bool fromArgs = false;
    for (size_t i = 0; i < c.decl.params.size(); ++i) {
      for (const std::string& n : Words(rule.argNames)) {
        if (c.decl.params[i].name == n) {
          values.push_back(std::get<float>(c.args[i]));
          fromArgs = true;
        }
      }
    }
    if (!fromArgs) {
      for (const std::string& p : Words(IsAsync(c.kind) ? rule.asyncProps : rule.syncProps)) {
        values.push_back(host.GetSingle(c.filter->ref.get(), p));
      }
    }
    return values;
  }

  std::optional<int64_t> Predict(const Call& c) {
    if (c.kind == MethodKind::kCancel || c.kind == MethodKind::kOther) return std::nullopt;
    if (c.className == "BlendEffectRaw") return PredictBlend(c);
    if (c.className == "GrayscaleEffectRaw") {
      if (IsAsync(c.kind) && c.running) return 10;
      if (c.source == nullptr) return 4;
      return std::nullopt;
    }
    const EffectRule* rule = RuleFor(c.className);
    if (rule == nullptr) return std::nullopt;
    for (float v : ValidatedValues(c, *rule)) {
      if (v < rule->lo || v > rule->hi) return 4;
    }
    if (c.source == nullptr) return 4;
    const RawBitmap* s = host::BitmapRecord(host, c.source);
    if (rule->refusesGrayInPlace && IsInPlace(c.kind) && s->channelCount <= 2) return 4;
    if (IsAsync(c.kind) && c.running) return 10;
    if (!rule->acceptsFourColour && IsFourColour(s->imageFormat)) return 5;
    return 0;
  }

  // A new bitmap's row padding and slack stay zero. The one exception is a
  // grayscale result in a gray format: its gray samples go to the source's
  // channel offsets inside the smaller gray pixels, so for a source whose red
  // channel is not first they run on past each row and the last row into the
  // slack after it, by design.
  void CheckFreshSlack(Object bitmap, const std::string& what, bool grayscale) {
    RawBitmap* r = host::BitmapRecord(host, bitmap);
    if (r == nullptr) return;
    if (grayscale && r->channelCount <= 2) return;
    const std::vector<uint8_t> outside = testing::Snapshot(*r).bytes;
    const auto written = std::find_if(outside.begin(), outside.end(), [](uint8_t b) { return b; });
    if (written != outside.end()) {
      Fail(what + ": byte " + std::to_string(written - outside.begin()) +
           " of the row padding and slack of a new bitmap was written");
    }
  }

  // -- Methods -----------------------------------------------------------------
  void CallRandomMethod() {
    if (filters.empty()) return;
    FilterEntry& f = filters[chooser.Below(filters.size())];
    std::vector<const ZARKmethodDefinition*> methods;
    for (const host::ClassInfo* c = f.cls; c != nullptr; c = c->super) {
      for (int64_t i = 0; i < c->definition->methodCount; ++i) {
        methods.push_back(&c->definition->methods[i]);
      }
    }
    if (methods.empty()) return;
    const ZARKmethodDefinition* m = methods[chooser.Below(methods.size())];
    Call c;
    c.filter = &f;
    c.className = f.cls->definition->name;
    c.declaration = m->declaration;
    if (!host::ParseDeclaration(c.declaration, &c.decl)) {
      Fail("malformed declaration " + c.declaration);
      return;
    }
    c.kind = KindOfMethod(c.decl.name);
    std::vector<Ref> keep;
    // The first bitmap argument is the source, a later one the fill.
    for (size_t i = 0; i < c.decl.params.size(); ++i) {
      const bool bitmap = c.decl.params[i].type == "RawBitmap";
      c.args.push_back(ValueFor(c.decl.params[i].type, &keep, bitmap && i == 0));
      if (bitmap) (i == 0 ? c.source : c.fill) = std::get<Object>(c.args.back());
    }
    Object filter = f.ref.get();
    // A fill read from the property must not be busy.
    Ref storedFill;
    if (c.className == "BlendEffectRaw" && c.decl.params.size() < 6 &&
        c.kind != MethodKind::kCancel) {
      storedFill = Ref(host, host.GetObject(filter, "FillBitmap"));
      c.fill = storedFill.get();
      if (c.fill != nullptr && BusyBitmaps().count(c.fill) != 0) return;
    }
    c.running = !host.GetBoolean(filter, "AsyncCompleted");
    c.codeBefore = host.GetInteger(filter, "ErrorCode");
    const std::optional<int64_t> predicted = Predict(c);

    // A fresh completion target per asynchronous start, whose completion
    // call checks the run's result.
    int runId = 0;
    if (IsAsync(c.kind)) {
      runId = nextRunId++;
      for (size_t i = 0; i < c.args.size(); ++i) {
        if (c.decl.params[i].type != "Object") continue;
        Object target = std::get<Object>(c.args[i]);
        if (target == nullptr) continue;
        std::weak_ptr<bool> weak = alive;
        testing::CompletionOf(target).hook = [this, weak, runId](Object completedFilter) {
          if (weak.expired()) return;
          OnCompletion(runId, completedFilter);
        };
      }
    }

    ++counts.methodCalls;
    Value result = host.CallDynamic(filter, c.declaration, c.args);
    Ref resultRef;
    if (auto* o = std::get_if<Object>(&result)) resultRef = Ref(host, *o);

    std::string what = Describe("after the call", c.className, c.declaration);
    if (const RawBitmap* s = c.source ? host::BitmapRecord(host, c.source) : nullptr) {
      const host::FormatInfo* fi = host::FindFormat(s->imageFormat);
      what += " source " + std::string(fi ? fi->name : "?") + " " + std::to_string(s->width) + "x" +
              std::to_string(s->height) + " rowBytes " + std::to_string(s->rowBytes);
    }
    const int64_t code = host.GetInteger(filter, "ErrorCode");
    if (predicted) {
      ++counts.codeChecks;
      if (code != *predicted) {
        Fail(what + ": ErrorCode " + std::to_string(code) + ", expected " +
             std::to_string(*predicted));
      }
    }
    const bool canceled = host.GetBoolean(filter, "Canceled");
    const bool completed = host.GetBoolean(filter, "AsyncCompleted");

    switch (c.kind) {
      case MethodKind::kCancel:
        if (!completed || !canceled) Fail(what + ": a run is still active or Canceled is false");
        break;
      case MethodKind::kApply:
        if (predicted && *predicted != c.codeBefore && *predicted != 0 && resultRef) {
          Fail(what + ": a failed Apply returned a bitmap");
        }
        if (predicted == 0 && !resultRef) Fail(what + ": a successful Apply returned nothing");
        if (resultRef && resultRef.get() != c.source) {
          CheckFreshSlack(resultRef.get(), what, c.className == "GrayscaleEffectRaw");
        }
        if (resultRef) AddBitmap(std::move(resultRef));
        break;
      case MethodKind::kApplyAsync:
      case MethodKind::kApplyInPlaceAsync:
        ++counts.asyncStarts;
        if (predicted == 0 && !c.running && completed) {
          Fail(what + ": a started run is not active");
        }
        if (!c.running && !completed) {
          Run run;
          run.id = runId;
          run.filter = filter;
          if (c.source) run.bitmaps.push_back(c.source);
          if (c.fill) run.bitmaps.push_back(c.fill);
          run.inPlace = IsInPlace(c.kind);
          run.grayscale = c.className == "GrayscaleEffectRaw";
          run.what = what;
          runs[runId] = std::move(run);
        }
        break;
      default:
        break;
    }
  }

  void OnCompletion(int runId, Object filter) {
    ++counts.completions;
    auto it = runs.find(runId);
    if (it == runs.end()) return;  // a run that completed at its start
    Run& run = it->second;
    if (run.filter != filter) Fail(run.what + ": completion names another filter");
    if (host.GetBoolean(filter, "Canceled")) Fail(run.what + ": completion after a cancel");
    Ref result(host, host.GetObject(filter, "AsyncResult"));
    if (!result) {
      Fail(run.what + ": completed without AsyncResult");
      return;
    }
    if (!run.inPlace) CheckFreshSlack(result.get(), run.what, run.grayscale);
  }

  // Forgets runs that are over: a held filter says so itself; runs of
  // dropped filters are over once the host has no background task left.
  void SweepRuns() {
    const bool noTasks = host.TaskCount() == 0;
    for (auto it = runs.begin(); it != runs.end();) {
      const Run& run = it->second;
      const bool over = run.orphan ? noTasks : host.GetBoolean(run.filter, "AsyncCompleted");
      it = over ? runs.erase(it) : std::next(it);
    }
  }

  void Pump() {
    const int rounds = static_cast<int>(chooser.Between(1, 4));
    for (int i = 0; i < rounds; ++i) host.PumpTasks();
  }

  void Drain() {
    host.RunLoop([this] { return host.TaskCount() == 0; }, 20.0);
    if (host.TaskCount() != 0) Fail("background runs did not end within 20 s of pumping");
  }

  void Step() {
    ++counts.operations;
    const uint64_t op = chooser.Below(100);
    if (op < 7) {
      if (filters.size() < kMaxFilters) NewFilter();
    } else if (op < 10) {
      if (!filters.empty()) DropFilterAt(chooser.Below(filters.size()));
    } else if (op < 18) {
      NewBitmap();
    } else if (op < 21) {
      if (!bitmaps.empty()) DropBitmapAt(chooser.Below(bitmaps.size()));
    } else if (op < 25) {
      NewMask();
    } else if (op < 26) {
      if (!masks.empty())
        masks.erase(masks.begin() + static_cast<std::ptrdiff_t>(chooser.Below(masks.size())));
    } else if (op < 28) {
      NewHandler();
    } else if (op < 29) {
      if (!handlers.empty()) ArmHandler(handlers[chooser.Below(handlers.size())]);
    } else if (op < 48) {
      SetRandomProperty();
    } else if (op < 55) {
      GetRandomProperty();
    } else if (op < 88) {
      CallRandomMethod();
    } else if (op < 98) {
      Pump();
    } else if (op < 99) {
      Drain();
    } else {
      for (const BitmapEntry& b : bitmaps) CheckOutside(b, "periodic check");
    }
    if (filters.empty() && chooser.Percent(50)) NewFilter();
    if (bitmaps.size() < 2) NewBitmap();
    SweepRuns();
  }

  void Finish() {
    // Some runs end by themselves, the rest by Cancel() or by dropping.
    if (chooser.Percent(50)) Drain();
    for (FilterEntry& f : filters) {
      if (chooser.Percent(50)) host.Call<void>(f.ref.get(), "Cancel()");
    }
    while (!filters.empty()) DropFilterAt(filters.size() - 1);
    Drain();
    SweepRuns();
    while (!bitmaps.empty()) DropBitmapAt(bitmaps.size() - 1);
    masks.clear();
    handlers.clear();
    runs.clear();
  }
};

Driver::Driver(host::Host& host, Chooser& chooser, DriverOptions options)
    : state_(std::make_unique<State>(host, chooser, std::move(options))) {}

Driver::~Driver() = default;

void Driver::Step() { state_->Step(); }
void Driver::Finish() { state_->Finish(); }
const Driver::Counts& Driver::counts() const { return state_->counts; }

}  // namespace lumeno::stress

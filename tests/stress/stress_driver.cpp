#include "stress/stress_driver.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "host/raw_bitmap_class.h"
#include "support/effect_table.h"
#include "support/images.h"
#include "support/progress.h"

namespace lumeno::stress {
namespace {

using host::Object;
using host::Ref;
using host::Value;

constexpr size_t kMaxFilters = 6, kMaxBitmaps = 10, kMaxMasks = 4, kMaxHandlers = 3;

enum class Kind { kApply, kApplyInPlace, kAsync, kInPlaceAsync, kCancel, kOther };

Kind KindOf(const std::string& name) {
  const char* names[] = {"Apply", "ApplyInPlace", "ApplyAsync", "ApplyInPlaceAsync", "Cancel"};
  for (int k = 0; k < 5; ++k) {
    if (name == names[k]) return static_cast<Kind>(k);
  }
  return Kind::kOther;
}
bool IsAsync(Kind k) { return k == Kind::kAsync || k == Kind::kInPlaceAsync; }
bool IsInPlace(Kind k) { return k == Kind::kApplyInPlace || k == Kind::kInPlaceAsync; }

template <typename T>
void EraseAt(std::vector<T>& list, uint64_t i) {
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
}

class Driver {
 public:
  Driver(host::Host& h, Chooser& c, const DriverOptions& o) : host(h), chooser(c), options(o) {
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

  void Step();
  void Finish();
  Counts counts;

 private:
  struct BitmapEntry {
    Ref ref;
    testing::OutsideBytes outside;
  };
  struct FilterEntry {
    Ref ref;
    const host::ClassInfo* cls;
  };
  struct Run {
    Object filter;
    bool orphan = false;          // the driver no longer holds the filter
    std::vector<Object> bitmaps;  // read or written by the run
    bool inPlace = false;
    bool grayscale = false;  // a grayscale run (see CheckFreshSlack)
    std::string what;
  };
  struct Call {
    FilterEntry* filter;
    std::string className;
    std::string declaration;
    host::MethodDecl decl;
    Kind kind;
    std::vector<Value> args;
    Object source = nullptr;
    Object fill = nullptr;  // blend
    bool running = false;
    int64_t codeBefore = 0;
  };

  host::Host& host;
  Chooser& chooser;
  const DriverOptions& options;
  std::vector<const host::ClassInfo*> classes;  // the plug-in's filter classes
  std::vector<FilterEntry> filters;
  std::vector<BitmapEntry> bitmaps;
  std::vector<Ref> masks;
  std::vector<Ref> handlers;
  std::map<int, Run> runs;
  int nextRunId = 1;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

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
    return chooser.Percent(40)
               ? static_cast<float>(static_cast<double>(chooser.Below(2401)) / 1000.0 - 1.2)
               : extremes[chooser.Below(std::size(extremes))];
  }

  double HostileDouble() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    static const double extremes[] = {
        0.0, 1.0, -1.0, 0.5, 0.3, 2.0, -2.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf,
        DBL_MAX, -DBL_MAX, 1e300, -1e300, 1e10, std::numeric_limits<double>::denorm_min()};
    return chooser.Percent(40) ? static_cast<double>(chooser.Below(1401)) / 1000.0 - 0.2
                               : extremes[chooser.Below(std::size(extremes))];
  }

  int64_t HostileInteger() {
    constexpr int64_t k32 = int64_t{1} << 32;
    static const int64_t extremes[] = {
        0, 1, -1, -5, 9, 24, 100, 255, 256, 65536, k32, k32 + 3,
        std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(),
        std::numeric_limits<int32_t>::min()};
    return chooser.Percent(60) ? chooser.Between(-2, 25)
                               : extremes[chooser.Below(std::size(extremes))];
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
    return idle.empty() ? nullptr : idle[chooser.Below(idle.size())];
  }

  int64_t PickSide() {
    const uint64_t band = chooser.Below(100);
    if (band < 45) return chooser.Between(0, 8);
    return band < 85 ? chooser.Between(0, 40) : chooser.Between(0, options.maxSide);
  }

  void AddBitmap(Ref ref) {
    RawBitmap* record = ref ? host::BitmapRecord(host, ref.get()) : nullptr;
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
    if (!bitmap) Fail("RandomBitmap refused " + std::string(f.name));
    AddBitmap(std::move(bitmap));
  }

  void CheckOutside(const BitmapEntry& b, const char* when) {
    RawBitmap* record = host::BitmapRecord(host, b.ref.get());
    if (record != nullptr && !testing::Unchanged(*record, b.outside)) {
      Fail(std::string("bytes outside the pixels of a bitmap changed (") + when + ")");
    }
  }

  void DropBitmapAt(size_t i) {
    CheckOutside(bitmaps[i], "checked when dropped");
    EraseAt(bitmaps, i);
  }

  void NewMask() {
    Object from = PickIdleBitmap();
    if (from == nullptr) return;
    RawBitmap* record = host::BitmapRecord(host, from);
    const auto channel = static_cast<uint8_t>(chooser.Below(
        static_cast<uint64_t>(record->bytesPerPixel > 0 ? record->bytesPerPixel : 1)));
    Ref mask(host, host::CreateMask(host, from, chooser.Percent(30), channel));
    if (!mask) return;
    if (masks.size() >= kMaxMasks) EraseAt(masks, chooser.Below(masks.size()));
    masks.push_back(std::move(mask));
  }

  void NewHandler() {
    if (handlers.size() >= kMaxHandlers) EraseAt(handlers, chooser.Below(handlers.size()));
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
    if (!filter || host.GetInteger(filter.get(), "ErrorCode") != 0 ||
        !host.GetBoolean(filter.get(), "AsyncCompleted") ||
        host.GetBoolean(filter.get(), "Canceled")) {
      Fail(std::string("a new ") + cls->definition->name + " is missing, busy or in error");
      return;
    }
    filters.push_back({std::move(filter), cls});
  }

  void DropFilterAt(size_t i) {
    for (auto& [id, run] : runs) run.orphan = run.orphan || run.filter == filters[i].ref.get();
    EraseAt(filters, i);
  }

  // A new object kept alive by `keep` until the call is over.
  Object Kept(Ref o, std::vector<Ref>* keep) {
    keep->push_back(std::move(o));
    return keep->back().get();
  }

  // An object for a property or argument of this type, or null.
  Object ObjectFor(const std::string& type, std::vector<Ref>* keep, bool forSource) {
    if (chooser.Percent(forSource ? 4 : 20)) return nullptr;
    if (type == "RawBitmap") return PickIdleBitmap();
    if (type == "RawBitmapMask") {
      return masks.empty() ? nullptr : masks[chooser.Below(masks.size())].get();
    }
    if (type == "PointF" || type == "SizeF") {
      Object o = Kept(Ref(host, host.New(type)), keep);
      for (const char* name :
           {type == "PointF" ? "x" : "Width", type == "PointF" ? "y" : "Height"}) {
        host.SetProperty(
            o, name, chooser.Percent(60) ? static_cast<float>(PickSide() - 20) : HostileSingle());
      }
      return o;
    }
    if (type == "IProgressHandlerV2") {
      if (chooser.Percent(10))
        return Kept(testing::NewCompletionTarget(host), keep);  // no OnProgress
      return handlers.empty() ? nullptr : handlers[chooser.Below(handlers.size())].get();
    }
    return type == "Object" ? Kept(testing::NewCompletionTarget(host), keep) : nullptr;
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

  // Writes (or reads) a random property of a random filter. Replacing
  // FillBitmap or Mask while a run reads the old one is the script's right;
  // the new value is an idle bitmap (PickIdleBitmap), so no later run reads
  // pixels that another run writes.
  void TouchProperty(bool write) {
    if (filters.empty()) return;
    FilterEntry& f = filters[chooser.Below(filters.size())];
    const auto props = Properties(f.cls, write);
    if (props.empty()) return;
    const ZARKpropertyDefinition* p = props[chooser.Below(props.size())];
    std::vector<Ref> keep;
    if (write && !host.SetProperty(f.ref.get(), p->name, ValueFor(p->type, &keep, false))) {
      Fail(std::string("property write refused [") + f.cls->definition->name + " " + p->name + "]");
    }
    Value v = write ? Value() : host.GetProperty(f.ref.get(), p->name);
    if (auto* o = std::get_if<Object>(&v)) host.Unlock(*o);
  }

  // -- Predictions -------------------------------------------------------------
  // The code of a run of a class of the effect table: its values (the
  // arguments of a value-taking form, else the stored ones the form checks)
  // out of range, no source, a source the form refuses, a second start.
  // The grayscale and blend runs are judged only by the last two (the
  // blend's own test has its table of format and mode refusals).
  std::optional<int64_t> Predict(const Call& c) {
    if (c.kind == Kind::kCancel || c.kind == Kind::kOther) return std::nullopt;
    if (c.className == "GrayscaleEffectRaw" || c.className == "BlendEffectRaw") {
      if (IsAsync(c.kind) && c.running) return 10;
      const bool missing = !c.source || (c.className == "BlendEffectRaw" && !c.fill);
      return missing ? std::optional<int64_t>(4) : std::nullopt;
    }
    const testing::Effect* e = nullptr;
    for (const testing::Effect& row : testing::Effects()) {
      if (c.className == row.className) e = &row;
    }
    if (e == nullptr) return std::nullopt;
    const bool withArguments = !IsAsync(c.kind) && c.decl.params.size() > 1;
    size_t arg = 1;
    for (const testing::EffectValue& v : e->values) {
      if (withArguments ? !v.argument : IsAsync(c.kind) && !v.checkedAsync) continue;
      const float x = withArguments ? std::get<float>(c.args[arg++])
                                    : host.GetSingle(c.filter->ref.get(), v.property);
      if (!v.clamped && (x < v.low || x > v.high)) return 4;
    }
    if (c.source == nullptr) return 4;
    const RawBitmap* s = host::BitmapRecord(host, c.source);
    const host::FormatInfo& f = *host::FindFormat(s->imageFormat);
    if (IsInPlace(c.kind) && s->channelCount <= 2 && !e->accepts(f, true)) return 4;
    if (IsAsync(c.kind) && c.running) return 10;
    return e->accepts(f, false) ? 0 : 5;
  }

  // A new bitmap's row padding and slack stay zero. The one exception is a
  // grayscale result in a gray format: its gray samples go to the source's
  // channel offsets inside the smaller gray pixels, so for a source whose red
  // channel is not first they run on past each row and the last row into the
  // slack after it, by design.
  void CheckFreshSlack(Object bitmap, const std::string& what, bool grayscale) {
    RawBitmap* r = host::BitmapRecord(host, bitmap);
    if (r == nullptr || (grayscale && r->channelCount <= 2)) return;
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
    Call c;
    c.filter = &f;
    c.className = f.cls->definition->name;
    c.declaration = methods[chooser.Below(methods.size())]->declaration;
    if (!host::ParseDeclaration(c.declaration, &c.decl)) {
      Fail("malformed declaration " + c.declaration);
      return;
    }
    c.kind = KindOf(c.decl.name);
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
    if (c.className == "BlendEffectRaw" && c.decl.params.size() < 6 && c.kind != Kind::kCancel) {
      storedFill = Ref(host, host.GetObject(filter, "FillBitmap"));
      c.fill = storedFill.get();
      if (c.fill != nullptr && BusyBitmaps().count(c.fill) != 0) return;
    }
    c.running = !host.GetBoolean(filter, "AsyncCompleted");
    c.codeBefore = host.GetInteger(filter, "ErrorCode");
    const std::optional<int64_t> predicted = Predict(c);

    // A fresh completion target per asynchronous start, whose completion
    // call checks the run's result.
    const int runId = nextRunId++;
    for (size_t i = 0; i < c.args.size() && IsAsync(c.kind); ++i) {
      Object target = c.decl.params[i].type == "Object" ? std::get<Object>(c.args[i]) : nullptr;
      if (target == nullptr) continue;
      testing::CompletionOf(target).hook = [this, weak = std::weak_ptr<bool>(alive),
                                            runId](Object completed) {
        if (!weak.expired()) OnCompletion(runId, completed);
      };
    }

    Value result = host.CallDynamic(filter, c.declaration, c.args);
    Ref resultRef;
    if (auto* o = std::get_if<Object>(&result)) resultRef = Ref(host, *o);

    std::string what = "after the call [" + c.className + " " + c.declaration + "]";
    if (const RawBitmap* s = c.source ? host::BitmapRecord(host, c.source) : nullptr) {
      what += " source " + std::string(host::FindFormat(s->imageFormat)->name) + " " +
              std::to_string(s->width) + "x" + std::to_string(s->height) + " rowBytes " +
              std::to_string(s->rowBytes);
    }
    const int64_t code = host.GetInteger(filter, "ErrorCode");
    if (predicted) {
      ++counts.codeChecks;
      if (code != *predicted) {
        Fail(what + ": ErrorCode " + std::to_string(code) + ", expected " +
             std::to_string(*predicted));
      }
    }
    const bool completed = host.GetBoolean(filter, "AsyncCompleted");
    if (c.kind == Kind::kCancel && (!completed || !host.GetBoolean(filter, "Canceled"))) {
      Fail(what + ": a run is still active or Canceled is false");
    } else if (c.kind == Kind::kApply) {
      if (predicted && *predicted != c.codeBefore && *predicted != 0 && resultRef) {
        Fail(what + ": a failed Apply returned a bitmap");
      }
      if (predicted == 0 && !resultRef) Fail(what + ": a successful Apply returned nothing");
      if (resultRef && resultRef.get() != c.source) {
        CheckFreshSlack(resultRef.get(), what, c.className == "GrayscaleEffectRaw");
      }
      AddBitmap(std::move(resultRef));
    } else if (IsAsync(c.kind)) {
      if (predicted == 0 && !c.running && completed) Fail(what + ": a started run is not active");
      if (!c.running && !completed) {
        Run& run = runs[runId];
        run.filter = filter;
        if (c.source) run.bitmaps.push_back(c.source);
        if (c.fill) run.bitmaps.push_back(c.fill);
        run.inPlace = IsInPlace(c.kind);
        run.grayscale = c.className == "GrayscaleEffectRaw";
        run.what = what;
      }
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
    } else if (!run.inPlace) {
      CheckFreshSlack(result.get(), run.what, run.grayscale);
    }
  }

  // Forgets runs that are over: a held filter says so itself; runs of
  // dropped filters are over once the host has no background task left.
  void SweepRuns() {
    const bool noTasks = host.TaskCount() == 0;
    std::erase_if(runs, [&](const auto& entry) {
      const Run& run = entry.second;
      return run.orphan ? noTasks : host.GetBoolean(run.filter, "AsyncCompleted");
    });
  }

  void Drain() {
    host.RunLoop([this] { return host.TaskCount() == 0; }, 20.0);
    if (host.TaskCount() != 0) Fail("background runs did not end within 20 s of pumping");
  }
};

void Driver::Step() {
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
    if (!masks.empty()) EraseAt(masks, chooser.Below(masks.size()));
  } else if (op < 28) {
    NewHandler();
  } else if (op < 29) {
    if (!handlers.empty()) ArmHandler(handlers[chooser.Below(handlers.size())]);
  } else if (op < 55) {
    TouchProperty(op < 48);
  } else if (op < 88) {
    CallRandomMethod();
  } else if (op < 98) {
    for (int64_t i = chooser.Between(1, 4); i > 0; --i) host.PumpTasks();
  } else if (op < 99) {
    Drain();
  } else {
    for (const BitmapEntry& b : bitmaps) CheckOutside(b, "periodic check");
  }
  if (filters.empty() && chooser.Percent(50)) NewFilter();
  if (bitmaps.size() < 2) NewBitmap();
  SweepRuns();
}

// Some runs end by themselves, the rest by Cancel() or by dropping.
void Driver::Finish() {
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

}  // namespace

Counts RunScript(host::Host& host, Chooser& chooser, const DriverOptions& options, uint64_t steps) {
  Driver driver(host, chooser, options);
  for (uint64_t i = 0; i < steps && !chooser.Exhausted(); ++i) driver.Step();
  driver.Finish();
  return driver.counts;
}

}  // namespace lumeno::stress

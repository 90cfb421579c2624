#include "support/effect_table.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace lumeno::testing {
namespace {

using host::Object;
namespace ref = reference;

constexpr double kHuge = std::numeric_limits<double>::infinity();

bool IsFourColour(const host::FormatInfo& f) { return f.blackOffset != host::kNoChannel; }
bool IsGray(const host::FormatInfo& f) { return f.channelCount <= 2; }
bool NotFourColour(const host::FormatInfo& f, bool) { return !IsFourColour(f); }
bool ColourFilterAccepts(const host::FormatInfo& f, bool inPlace) {
  return !IsFourColour(f) && !(inPlace && IsGray(f));
}

// The blend's fill: a bitmap as large as the source whose bytes are a fixed
// scramble of the source's, of the source's format or (toggled) the same
// channel structure with alpha toggled, so that every row worker is reached.
Image FillFor(const Image& source, bool toggleAlpha) {
  const host::FormatInfo& f = *source.format;
  int64_t format = f.format;
  if (toggleAlpha) {
    const bool alpha = f.alphaOffset != host::kNoChannel;
    format = IsGray(f)         ? (alpha ? host::kGray8 : host::kGrayAlpha8)
             : IsFourColour(f) ? (alpha ? host::kCMYK8 : host::kCMYKA8)
                               : (alpha ? host::kRGB8 : host::kRGBA8);
  }
  Image fill{host::FindFormat(format), source.width, source.height, {}};
  fill.bytes.resize(static_cast<size_t>(source.width * source.height * fill.format->bytesPerPixel));
  for (size_t i = 0; i < fill.bytes.size(); ++i) {
    const uint32_t s = source.bytes[i % source.bytes.size()];
    fill.bytes[i] = static_cast<uint8_t>(s * 167u + static_cast<uint32_t>(i) * 31u + 5u);
  }
  return fill;
}

constexpr const char* kBlendApply =
    "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as Double,fillMask as "
    "RawBitmapMask,location as PointF,size as SizeF) as RawBitmap";

// A row of the table: the first members of an Effect, in their order.
Effect Row(const char* className, const char* shortName, std::vector<EffectValue> values,
           const char* apply, const char* applyInPlace, bool inPlaceStored, bool inPlaceForms,
           std::vector<Values> samples, bool (*accepts)(const host::FormatInfo&, bool),
           Image (*expected)(const Image&, Image, const MaskValues&, bool, const Values&)) {
  return {className,     shortName,    std::move(values),  apply,   applyInPlace,
          inPlaceStored, inPlaceForms, std::move(samples), accepts, expected};
}

std::vector<Effect> MakeEffects() {
  constexpr const char* kValue = "Apply(source as RawBitmap,value as Single) as RawBitmap";
  constexpr const char* kValueInPlace = "ApplyInPlace(source as RawBitmap, value as Single)";
  std::vector<Effect> list;
  list.push_back(Row("BrightnessEffectRaw", "brightness", {{"BrightnessValue", 'f', -1, 1, true}},
                     kValue, kValueInPlace, false, true, {{0.37}, {-0.61}}, &NotFourColour,
                     &ref::Brightness));
  list.push_back(Row("ContrastEffectRaw", "contrast", {{"ContrastValue", 'f', -1, 1, true}}, kValue,
                     kValueInPlace, false, true, {{0.55}, {-0.3}}, &NotFourColour, &ref::Contrast));
  list.push_back(Row(
      "BrightnessContrastEffectRaw", "brightness-contrast",
      {{"BrightnessValue", 'f', -1, 1, true}, {"ContrastValue", 'f', -1, 1, true, false, false}},
      "Apply(source as RawBitmap,brightnessValue as Single, contrastValue as Single) as "
      "RawBitmap",
      "ApplyInPlace(source as RawBitmap, brightnessValue as Single, contrastValue as Single)",
      false, true, {{-0.2, 0.6}, {0.45, -0.7}}, &NotFourColour, &ref::BrightnessContrast));
  list.push_back(Row(
      "InvertEffectRaw", "invert", {}, nullptr, nullptr, true, true, {{}},
      [](const host::FormatInfo&, bool) { return true; }, &ref::Invert));
  list.push_back(
      Row("ColorFilterEffectRaw", "color-filter",
          {{"Red", 'f', -1, 1, true}, {"Green", 'f', -1, 1, true}, {"Blue", 'f', -1, 1, true}},
          "Apply(source as RawBitmap,red as Single, green as Single, blue as Single) as RawBitmap",
          "ApplyInPlace(source as RawBitmap, red as Single, green as Single, blue as Single)", true,
          true, {{0.3, -0.6, 0.9}, {-1.0, 1.0, 0.05}}, &ColourFilterAccepts, &ref::ColorFilter));
  list.push_back(Row("TintAndTemperatureEffectRaw", "tint-temperature",
                     {{"Temperature", 'f', -1, 1, false, true}, {"Tint", 'f', -1, 1, false, true}},
                     nullptr, nullptr, true, true, {{0.8, -0.35}}, &ColourFilterAccepts,
                     &ref::TintAndTemperature));
  list.push_back(Row("SepiaEffectRaw", "sepia", {{"SepiaValue", 'f', 0, 1, true}}, kValue,
                     kValueInPlace, false, true, {{0.3}, {1.0}}, &NotFourColour, &ref::Sepia));

  Effect gray = Row(
      "GrayscaleEffectRaw", "grayscale",
      {{"GrayscaleType", 'i', -kHuge, kHuge, true}, {"UseOriginalColorSpace", 'b', 0, 1}},
      "Apply(source as RawBitmap,grayscaleMethod as Integer) as RawBitmap",
      "ApplyInPlace(source as RawBitmap, grayscaleTypeValue as Integer)", false, true,
      {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {0, 1}, {1, 1}, {2, 1}, {3, 1}},
      [](const host::FormatInfo& f, bool) { return !IsGray(f); }, &ref::Grayscale);
  // A new gray bitmap takes the gray sample at the source's red offset:
  // ABGR8's offset 3 is past the 2-byte gray-alpha pixel, on the next
  // pixel's alpha, which the row's last pixel thus writes in the next row.
  gray.bandsIndependent = [](const host::FormatInfo& f, const Values& v) {
    return v[1] != 0 || f.format != host::kABGR8;
  };
  gray.successKeepsErrorCode = true;
  list.push_back(gray);
  Effect blend = Row(
      "BlendEffectRaw", "blend",
      {{"BlendMode", 'i', -kHuge, kHuge}, {"Opacity", 'd', -kHuge, kHuge}, {nullptr, 'b', 0, 1}},
      nullptr, nullptr, false, false, {{0, 0.6, 0}, {1, 0.6, 0}, {0, 0.6, 1}, {1, 0.6, 1}},
      [](const host::FormatInfo& f, bool inPlace) { return !inPlace && f.bitsPerChannel == 8; },
      [](const Image& s, Image initial, const MaskValues& m, bool, const Values& v) {
        // A fill of fewer bytes per pixel read at the source's positions
        // reads into the zeroed slack after its last row.
        Image fill = FillFor(s, v[2] != 0);
        fill.bytes.resize(fill.bytes.size() + host::kPixelSlackBytes, 0);
        return ref::Blend(s, fill, std::move(initial), m, v[1], static_cast<int>(v[0]));
      });
  blend.run = [](host::Host& h, Object effect, Object source, Object mask, bool, const Values& v) {
    h.SetProperty(effect, "BlendMode", static_cast<int64_t>(v[0]));
    const Image fillImage = FillFor(Packed(h, source), v[2] != 0);
    host::Ref fill(
        h, host::CreateBitmap(h, fillImage.width, fillImage.height, fillImage.format->format));
    host::WritePixels(*host::BitmapRecord(h, fill.get()), fillImage.bytes);
    return h.Call<Object>(effect, kBlendApply, source, fill.get(), v[1], mask, Object{nullptr},
                          Object{nullptr});
  };
  list.push_back(blend);
  return list;
}

}  // namespace

bool InPlace(Form form) {
  return form == Form::kApplyInPlace || form == Form::kApplyInPlaceStored ||
         form == Form::kInPlaceAsync;
}
bool Async(Form form) { return form == Form::kAsync || form == Form::kInPlaceAsync; }

const std::vector<Effect>& Effects() {
  static const std::vector<Effect> list = MakeEffects();
  return list;
}

const Effect& EffectNamed(const std::string& className) {
  for (const Effect& e : Effects()) {
    if (className == e.className) return e;
  }
  throw std::invalid_argument("no effect " + className);
}

Form PlainForm(const Effect& e, bool inPlace) {
  if (inPlace) return e.applyInPlace ? Form::kApplyInPlace : Form::kApplyInPlaceStored;
  return e.apply ? Form::kApply : Form::kApplyStored;
}

const char* Declaration(const Effect& e, Form form) {
  const char* declarations[] = {
      e.apply,
      "Apply(source as RawBitmap) as RawBitmap",
      e.applyInPlace,
      e.inPlaceStored ? "ApplyInPlace(source as RawBitmap)" : nullptr,
      "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
      e.inPlaceForms ? "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, "
                       "completeMethod as Ptr)"
                     : nullptr};
  return declarations[static_cast<int>(form)];
}

host::Value ToValue(const EffectValue& value, double v) {
  if (value.type == 'f') return static_cast<float>(v);
  if (value.type == 'b') return v != 0;
  if (value.type != 'i') return v;
  return v <= -9.2e18 ? std::numeric_limits<int64_t>::min() : static_cast<int64_t>(v);
}

void SetValues(host::Host& h, const Effect& e, Object effect, const Values& values, bool all) {
  for (size_t i = 0; i < e.values.size() && i < values.size(); ++i) {
    const EffectValue& value = e.values[i];
    if (value.property != nullptr && (all || !value.argument)) {
      EXPECT_TRUE(h.SetProperty(effect, value.property, ToValue(value, values[i])))
          << value.property;
    }
  }
}

Object RunForm(host::Host& h, const Effect& e, Form form, Object effect, Object source,
               const Values& values, Object target, void* method) {
  const char* declaration = Declaration(e, form);
  if (declaration == nullptr) {
    ADD_FAILURE() << e.className << " has no form " << static_cast<int>(form);
    return nullptr;
  }
  const bool withArguments = form == Form::kApply || form == Form::kApplyInPlace;
  SetValues(h, e, effect, values, !withArguments);
  std::vector<host::Value> args{source};
  if (Async(form)) {
    args.push_back(target);
    args.push_back(method);
  } else if (withArguments) {
    for (size_t i = 0; i < e.values.size(); ++i) {
      if (e.values[i].argument) args.push_back(ToValue(e.values[i], values[i]));
    }
  }
  const host::Value result = h.CallDynamic(effect, declaration, args);
  const Object* bitmap = std::get_if<Object>(&result);
  return bitmap != nullptr ? *bitmap : nullptr;
}

namespace {
template <typename... A>
Runner Bound(void* entry, Object effect, bool inPlace, A... args) {
  if (entry == nullptr) return {};
  return [=](Object source) -> Object {
    if (inPlace) {
      reinterpret_cast<void (*)(Object, Object, A...)>(entry)(effect, source, args...);
      return nullptr;
    }
    return reinterpret_cast<Object (*)(Object, Object, A...)>(entry)(effect, source, args...);
  };
}
}  // namespace

Runner BindForm(host::Host& h, const Effect& e, Object effect, bool inPlace, const Values& v) {
  if (e.run) return {};
  const Form form = PlainForm(e, inPlace);
  const bool arguments = form == Form::kApply || form == Form::kApplyInPlace;
  if (Declaration(e, form) == nullptr) return {};
  SetValues(h, e, effect, v, !arguments);
  void* entry = h.FindMethod(effect, Declaration(e, form));
  if (!arguments) return Bound(entry, effect, inPlace);
  if (e.values[0].type == 'i') return Bound(entry, effect, inPlace, static_cast<int64_t>(v[0]));
  const auto f = [&](size_t i) { return static_cast<float>(v[i]); };
  switch (v.size()) {
    case 1:
      return Bound(entry, effect, inPlace, f(0));
    case 2:
      return Bound(entry, effect, inPlace, f(0), f(1));
    default:
      return Bound(entry, effect, inPlace, f(0), f(1), f(2));
  }
}

Runner BindMap(host::Host& h, Object effect, bool inPlace, Object mask, MapParams tables8,
               MapParams tables16, signed char depthFlags8) {
  using MapFn =
      Object (*)(MPImageFilterData*, Object, Object, MapParams*, signed char, signed char);
  using MapInPlaceFn = void (*)(MPImageFilterData*, Object, Object, MapParams*, signed char);
  auto* data = static_cast<MPImageFilterData*>(h.ClassData(effect, "MPImageFilterRaw"));
  void* entry = data->engine->GetMapEffectProc(inPlace ? 2 : 1);
  return [=, &h](Object source) mutable -> Object {
    const bool sixteen = host::BitmapRecord(h, source)->bitsPerChannel == 16;
    MapParams& params = sixteen ? tables16 : tables8;
    const signed char depthFlags = static_cast<signed char>(depthFlags8 + (sixteen ? 1 : 0));
    if (inPlace) {
      reinterpret_cast<MapInPlaceFn>(entry)(data, source, mask, &params, depthFlags);
      return nullptr;
    }
    return reinterpret_cast<MapFn>(entry)(data, source, mask, &params, depthFlags, 1);
  };
}

Image Packed(host::Host& h, Object bitmap) {
  const RawBitmap& record = *host::BitmapRecord(h, bitmap);
  return {host::FindFormat(record.imageFormat), record.width, record.height,
          host::ReadPixels(record)};
}

std::vector<uint8_t> ExpectedPixels(const Effect& e, const Image& source, const RawBitmap& out,
                                    const MaskValues& mask, bool inPlace, const Values& values) {
  Image initial = source;
  if (!inPlace) {
    initial.format = host::FindFormat(out.imageFormat);
    initial.bytes.assign(static_cast<size_t>(out.width * out.height * out.bytesPerPixel), 0);
  }
  // Room for the writes the gray path makes past the last pixel, as the
  // host's bitmaps have it.
  initial.bytes.resize(initial.bytes.size() + host::kPixelSlackBytes);
  Image expected = e.expected(source, std::move(initial), mask, inPlace, values);
  expected.bytes.resize(static_cast<size_t>(out.width * out.height * out.bytesPerPixel));
  return std::move(expected.bytes);
}

}  // namespace lumeno::testing

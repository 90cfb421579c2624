// The one list of the plug-in's effects for the tests and benchmarks: per
// class its values with their accepted ranges, its Apply forms, the formats
// each form takes, sample value sets, and the plain reference of its pixels.
// A new effect is one row here.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/raw_bitmap_class.h"
#include "lumeno/engine.h"
#include "support/reference.h"

namespace lumeno::testing {

// A value of an effect: a property, and (argument) a parameter of the
// value-taking Apply forms, in order. Outside [low, high] a run refuses it
// with code 4, except where `clamped` (the setter limits it instead); the
// asynchronous forms judge only the values `checkedAsync`.
struct EffectValue {
  const char* property;  // null: a setting of the tests only, no property
  char type;             // 'f' Single, 'd' Double, 'i' Integer, 'b' Boolean
  double low, high;
  bool argument = false;
  bool clamped = false;
  bool checkedAsync = true;
};

// The Apply forms of an effect class.
enum class Form { kApply, kApplyStored, kApplyInPlace, kApplyInPlaceStored, kAsync, kInPlaceAsync };
constexpr Form kAllForms[] = {Form::kApply,        Form::kApplyStored,
                              Form::kApplyInPlace, Form::kApplyInPlaceStored,
                              Form::kAsync,        Form::kInPlaceAsync};
bool InPlace(Form form);
bool Async(Form form);

using reference::Values;
using reference::Image;
using reference::MaskValues;

struct Effect {
  const char* className;
  const char* shortName;  // as `lumeno apply` names it
  std::vector<EffectValue> values;
  const char* apply;            // Apply taking the argument values; null: none
  const char* applyInPlace;     // ApplyInPlace taking them; null: none
  bool inPlaceStored;           // has ApplyInPlace(source as RawBitmap)
  bool inPlaceForms;            // has ApplyInPlaceAsync (and some ApplyInPlace)
  std::vector<Values> samples;  // value sets of the differential tests and benchmarks
  // Whether the effect runs on this format in this form (new bitmap or in place).
  std::function<bool(const host::FormatInfo&, bool inPlace)> accepts;
  // The reference result; `initial` is the destination before the run (the
  // source in place, zeros of the destination format for a new bitmap).
  std::function<Image(const Image& source, Image initial, const MaskValues&, bool inPlace,
                      const Values&)>
      expected;
  // A run of another shape than "set the values, call the form", with the
  // mask as an argument (blend; the engine's map procedure in the fast-path test).
  std::function<host::Object(host::Host&, host::Object effect, host::Object source,
                             host::Object mask, bool inPlace, const Values&)>
      run = nullptr;
  // False where one row's bytes reach into the next row's pixels, so that
  // bands on different threads write the same byte (grayscale, gray path).
  std::function<bool(const host::FormatInfo&, const Values&)> bandsIndependent = nullptr;
  bool successKeepsErrorCode = false;  // a good run leaves an earlier code
};

const std::vector<Effect>& Effects();
const Effect& EffectNamed(const std::string& className);

// The synchronous form of a run: with the argument values where the class
// has it, else the parameterless one.
Form PlainForm(const Effect& e, bool inPlace);
// The declaration of a form; null when the class lacks it.
const char* Declaration(const Effect& effect, Form form);
// Value `i` of a set as the host value of its type.
host::Value ToValue(const EffectValue& value, double v);
// Sets every value with a property (all for the stored and asynchronous
// forms, only the non-argument ones otherwise).
void SetValues(host::Host& h, const Effect& e, host::Object effect, const Values& values, bool all);
// Runs one form: the values as arguments or properties; the completion
// target and method for the asynchronous forms. Returns the new bitmap of
// the Apply forms (with its reference), else null.
host::Object RunForm(host::Host& h, const Effect& e, Form form, host::Object effect,
                     host::Object source, const Values& values, host::Object target = nullptr,
                     void* method = nullptr);

// One synchronous call with the entry looked up beforehand (no allocation
// on the host's side, no conversions): the values as typed arguments, or
// set as properties for the parameterless forms. Empty for the blend.
using Runner = std::function<host::Object(host::Object source)>;
Runner BindForm(host::Host& h, const Effect& e, host::Object effect, bool inPlace,
                const Values& values);

// The engine's map procedure of a filter object, looked up once, as another
// plug-in calls it: the mask an argument, `tables8` for 8-bit sources and
// `tables16` for 16-bit ones; depth flags `depthFlags8` (8 bits) or one more.
Runner BindMap(host::Host& h, host::Object effect, bool inPlace, host::Object mask,
               MapParams tables8, MapParams tables16, signed char depthFlags8);

// Packed copy of a bitmap's pixels.
Image Packed(host::Host& h, host::Object bitmap);
// The reference's packed pixels of a run of `e` on `source` that produced
// `out` (a new bitmap starts zeroed in the format the effect chose).
std::vector<uint8_t> ExpectedPixels(const Effect& e, const Image& source, const RawBitmap& out,
                                    const MaskValues& mask, bool inPlace, const Values& values);

}  // namespace lumeno::testing

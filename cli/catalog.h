// What the lumeno tool knows about the registered classes: everything is read
// from the definition records the plug-in registered with the host (names,
// properties with their types and accessors, method declarations, constants
// and enumerations), so a new effect class needs no change in the tool.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"

namespace lumeno::cli {

struct NamedValue {
  std::string name;
  int64_t value = 0;
};

struct PropertyEntry {
  std::string name;
  std::string type;
  bool readable = false;
  bool writable = false;
  std::string declaredBy;  // class whose record lists the property
};

struct EnumEntry {
  std::string name;       // "BlendModeValues"
  std::string qualified;  // "BlendEffectRaw.BlendModeValues"
  std::vector<NamedValue> fields;
};

struct ClassEntry {
  const host::ClassInfo* info = nullptr;
  std::string name;
  std::string superName;
  std::string interfaces;
  std::string shortName;  // effects only: "brightness-contrast"
  std::vector<std::string> aliases;
  std::vector<PropertyEntry> ownProperties;
  std::vector<std::string> ownMethods;
  std::vector<std::string> constantDeclarations;
  std::vector<NamedValue> ownConstants;
  std::vector<EnumEntry> ownEnums;
  bool isEffect = false;  // has "Apply(source as RawBitmap) as RawBitmap"
};

// The declarations the tool calls, looked up by exact text.
inline constexpr const char* kApplyDeclaration = "Apply(source as RawBitmap) as RawBitmap";
inline constexpr const char* kApplyInPlaceDeclaration = "ApplyInPlace(source as RawBitmap)";
inline constexpr const char* kApplyAsyncDeclaration =
    "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
inline constexpr const char* kApplyInPlaceAsyncDeclaration =
    "ApplyInPlaceAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)";
inline constexpr const char* kCancelDeclaration = "Cancel()";

// "NAME = value" -> {NAME, value}; false when the text has another shape.
bool ParseConstantDeclaration(const std::string& text, NamedValue* out);

// Short form of a class name: drop "EffectRaw" (else "Raw"), split the camel
// case with '-', lower case: "BrightnessContrastEffectRaw" ->
// "brightness-contrast", "MPImageFilterRaw" -> "mp-image-filter".
std::string ShortClassName(const std::string& className);

class Catalog {
 public:
  // Reads the classes registered from `firstClass` on (index into
  // Host::Classes(), so that the host's own classes can be left out).
  void Load(const host::Host& host, size_t firstClass);

  const std::vector<ClassEntry>& Classes() const { return classes_; }
  std::vector<const ClassEntry*> Effects() const;
  // By class name, short form or alias, ignoring case; null when unknown.
  const ClassEntry* FindEffect(const std::string& name) const;
  const ClassEntry* FindClass(const std::string& name) const;
  // Properties of a class and its superclasses, the class's own first.
  std::vector<PropertyEntry> AllProperties(const ClassEntry& entry) const;
  // By exact name, else ignoring case; null when unknown.
  const PropertyEntry* FindProperty(const ClassEntry& entry, const std::string& name,
                                    PropertyEntry* storage) const;
  // Constants of the class and its superclasses.
  std::vector<NamedValue> AllConstants(const ClassEntry& entry) const;
  // An enumeration named by a property type ("BlendEffectRaw.BlendModeValues").
  const EnumEntry* FindEnum(const std::string& qualified) const;
  // Constant name of a LumenoRawError code from the registered module, or "".
  std::string ErrorName(int64_t code) const { return ErrorNameIn(errors_, code); }
  const std::vector<NamedValue>& ErrorConstants() const { return errors_; }
  const std::string& ErrorModuleName() const { return errorModule_; }

  static std::string ErrorNameIn(const std::vector<NamedValue>& constants, int64_t code);

 private:
  std::vector<ClassEntry> classes_;
  std::vector<NamedValue> errors_;
  std::string errorModule_;
};

// Aliases for short forms that the naming rule makes long.
const std::vector<std::pair<std::string, std::string>>& ShortNameAliases();

// A one-line explanation of a LumenoRawError constant name, or "".
const char* ExplainError(const std::string& constantName);

// What the definition records do not carry about a settable property, keyed
// by the registered property name: the values the effects accept (both
// bounds included) and whether an effect needs the property set to do
// anything. An effect needs one property of each `needGroup` its properties
// have (brightness-contrast: BrightnessValue or ContrastValue; blend:
// FillBitmap and Opacity) and refuses a run without them.
struct PropertyLimits {
  const char* property;
  bool ranged;
  double min, max;
  int needGroup;  // 0: not needed
};
// The row for a property, or null when the records say all there is.
const PropertyLimits* FindLimits(const std::string& property);

// The candidate closest to `name` (ignoring case), or "" when none is near
// enough to be a likely typo.
std::string ClosestName(const std::string& name, const std::vector<std::string>& candidates);
// " (did you mean NAME?)" for the closest candidate, or "".
std::string DidYouMean(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace lumeno::cli

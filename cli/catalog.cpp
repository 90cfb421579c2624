// Reads the definition records of the registered classes and modules.
#include "cli/catalog.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace lumeno::cli {

namespace {

constexpr const char* kErrorModuleName = "LumenoRawError";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsUpper(char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; }
bool IsLower(char c) { return std::islower(static_cast<unsigned char>(c)) != 0; }

struct ErrorExplanation {
  const char* name;
  const char* text;
};

// One line per LumenoRawError constant, keyed by the constant's name.
constexpr ErrorExplanation kErrorExplanations[] = {
    {"NO_ERROR", "no error"},
    {"INVALID_MASK", "the mask cannot be used with this image or effect"},
    {"INVALID_SOURCE_IMAGE", "the input image cannot be processed by this effect"},
    {"UNABLE_TO_CREATE_DESTINATION", "the result image could not be created (out of memory?)"},
    {"ILLEGAL_INPUT_PARAMETER", "a property value is outside the range the effect accepts"},
    {"NOT_SUPPORTED_COLOR_SPACE", "the effect does not work on this colour space (e.g. CMYK)"},
    {"NOT_SUPPORTED_DEPTH", "the effect does not work on images of this bit depth"},
    {"DEPTH_NOT_MATCHING", "the second image's bit depth differs from the input's"},
    {"CHANNEL_STRUCTURE_NOT_MATCHING",
     "the second image's channels (gray, RGB, CMYK) do not match the input's"},
    {"PARAMETER_NOT_SUPPORTED_ON_COLOR_SPACE",
     "a chosen setting needs RGB images and the input is not RGB"},
    {"ASYNC_METHOD_ALLREADY_RUNNING_ON_THIS_INSTANCE",
     "a background run is already active on this effect object"},
    {"OUT_OF_MEMORY", "out of memory"},
};

// Ranges the effects check when they run (BrightnessValue outside -1 to 1
// fails with ILLEGAL_INPUT_PARAMETER) or limit to (Tint, Opacity): the tool
// refuses other values before any file is read.
constexpr PropertyLimits kPropertyLimits[] = {
    {"BrightnessValue", true, -1, 1, 1},
    {"ContrastValue", true, -1, 1, 1},
    {"SepiaValue", true, 0, 1, 0},
    {"Red", true, -1, 1, 1},
    {"Green", true, -1, 1, 1},
    {"Blue", true, -1, 1, 1},
    {"Tint", true, -1, 1, 1},
    {"Temperature", true, -1, 1, 1},
    {"FillBitmap", false, 0, 0, 2},
    {"Opacity", true, 0, 1, 3},
};

// Edit distance with transpositions, ignoring case.
size_t Distance(const std::string& a, const std::string& b) {
  const std::string x = Lower(a), y = Lower(b);
  std::vector<std::vector<size_t>> d(x.size() + 1, std::vector<size_t>(y.size() + 1));
  for (size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    for (size_t j = 1; j <= y.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[x.size()][y.size()];
}

}  // namespace

const PropertyLimits* FindLimits(const std::string& property) {
  for (const PropertyLimits& l : kPropertyLimits) {
    if (property == l.property) return &l;
  }
  return nullptr;
}

std::string ClosestName(const std::string& name, const std::vector<std::string>& candidates) {
  std::string best;
  // A third of the name may be wrong, at least one character.
  size_t bestDistance = std::max<size_t>(1, name.size() / 3) + 1;
  for (const std::string& c : candidates) {
    const size_t d = Distance(name, c);
    if (d < bestDistance) {
      bestDistance = d;
      best = c;
    }
  }
  if (!best.empty() || name.size() < 3) return best;
  // Else a start that only one candidate has ("gray" for grayscale).
  for (const std::string& c : candidates) {
    if (Lower(c).rfind(Lower(name), 0) != 0) continue;
    if (!best.empty()) return "";
    best = c;
  }
  return best;
}

std::string DidYouMean(const std::string& name, const std::vector<std::string>& candidates) {
  const std::string near = ClosestName(name, candidates);
  return near.empty() ? "" : " (did you mean " + near + "?)";
}

const char* ExplainError(const std::string& constantName) {
  for (const auto& e : kErrorExplanations) {
    if (constantName == e.name) return e.text;
  }
  return "";
}

const std::vector<std::pair<std::string, std::string>>& ShortNameAliases() {
  // The rule gives "tint-and-temperature"; users say "tint-temperature".
  static const std::vector<std::pair<std::string, std::string>> aliases = {
      {"tint-and-temperature", "tint-temperature"},
  };
  return aliases;
}

bool ParseConstantDeclaration(const std::string& text, NamedValue* out) {
  const size_t eq = text.find(" = ");
  if (eq == std::string::npos || eq == 0) return false;
  const std::string value = text.substr(eq + 3);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(value.c_str(), &end, 0);
  if (value.empty() || *end != '\0' || errno != 0) return false;
  out->name = text.substr(0, eq);
  out->value = v;
  return true;
}

std::string ShortClassName(const std::string& className) {
  std::string base = className;
  if (EndsWith(base, "EffectRaw")) {
    base.resize(base.size() - 9);
  } else if (EndsWith(base, "Raw")) {
    base.resize(base.size() - 3);
  }
  std::string out;
  for (size_t i = 0; i < base.size(); ++i) {
    const char c = base[i];
    if (i > 0 && IsUpper(c)) {
      const bool afterLower =
          IsLower(base[i - 1]) || std::isdigit(static_cast<unsigned char>(base[i - 1]));
      const bool endsAcronym = IsUpper(base[i - 1]) && i + 1 < base.size() && IsLower(base[i + 1]);
      if (afterLower || endsAcronym) out += '-';
    }
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

void Catalog::Load(const host::Host& host, size_t firstClass) {
  classes_.clear();
  const auto& all = host.Classes();
  for (size_t i = firstClass; i < all.size(); ++i) {
    const ZARKclassDefinition* def = all[i]->definition;
    ClassEntry entry;
    entry.info = all[i];
    entry.name = def->name != nullptr ? def->name : "";
    entry.superName = def->superName != nullptr ? def->superName : "";
    entry.interfaces = def->interfaces != nullptr ? def->interfaces : "";
    for (int64_t p = 0; p < def->propertyCount; ++p) {
      const ZARKpropertyDefinition& prop = def->properties[p];
      PropertyEntry pe;
      pe.name = prop.name != nullptr ? prop.name : "";
      pe.type = prop.type != nullptr ? prop.type : "";
      pe.readable = prop.getter != nullptr;
      pe.writable = prop.setter != nullptr;
      pe.declaredBy = entry.name;
      entry.ownProperties.push_back(pe);
    }
    for (int64_t m = 0; m < def->methodCount; ++m) {
      const char* decl = def->methods[m].declaration;
      entry.ownMethods.push_back(decl != nullptr ? decl : "");
      if (decl != nullptr && std::string(decl) == kApplyDeclaration) entry.isEffect = true;
    }
    for (int64_t c = 0; c < def->constantCount; ++c) {
      const char* decl = def->constants[c].declaration;
      if (decl == nullptr) continue;
      entry.constantDeclarations.push_back(decl);
      NamedValue nv;
      if (ParseConstantDeclaration(decl, &nv)) entry.ownConstants.push_back(nv);
    }
    for (int64_t e = 0; e < def->enumCount; ++e) {
      const ZARKenumDefinition& en = def->enums[e];
      EnumEntry ee;
      ee.name = en.name != nullptr ? en.name : "";
      ee.qualified = entry.name + "." + ee.name;
      for (int64_t f = 0; f < en.fieldCount; ++f) {
        NamedValue nv;
        if (en.fields[f] != nullptr && ParseConstantDeclaration(en.fields[f], &nv)) {
          ee.fields.push_back(nv);
        }
      }
      entry.ownEnums.push_back(ee);
    }
    if (entry.isEffect) {
      entry.shortName = ShortClassName(entry.name);
      for (const auto& [from, to] : ShortNameAliases()) {
        if (entry.shortName == from) {
          entry.aliases.push_back(entry.shortName);
          entry.shortName = to;
        }
      }
    }
    classes_.push_back(std::move(entry));
  }
  errors_.clear();
  errorModule_.clear();
  for (const host::ModuleInfo& module : host.Modules()) {
    const ZARKmoduleDefinition* def = module.definition;
    if (def == nullptr || def->name == nullptr || std::string(def->name) != kErrorModuleName) {
      continue;
    }
    errorModule_ = def->name;
    for (int64_t c = 0; c < def->constantCount; ++c) {
      NamedValue nv;
      if (def->constants[c].declaration != nullptr &&
          ParseConstantDeclaration(def->constants[c].declaration, &nv)) {
        errors_.push_back(nv);
      }
    }
  }
}

std::vector<const ClassEntry*> Catalog::Effects() const {
  std::vector<const ClassEntry*> out;
  for (const ClassEntry& c : classes_) {
    if (c.isEffect) out.push_back(&c);
  }
  return out;
}

const ClassEntry* Catalog::FindEffect(const std::string& name) const {
  const std::string want = Lower(name);
  for (const ClassEntry& c : classes_) {
    if (!c.isEffect) continue;
    if (Lower(c.name) == want || c.shortName == want) return &c;
    for (const std::string& alias : c.aliases) {
      if (alias == want) return &c;
    }
  }
  return nullptr;
}

const ClassEntry* Catalog::FindClass(const std::string& name) const {
  for (const ClassEntry& c : classes_) {
    if (c.name == name) return &c;
  }
  const std::string want = Lower(name);
  for (const ClassEntry& c : classes_) {
    if (Lower(c.name) == want || (c.isEffect && c.shortName == want)) return &c;
  }
  return nullptr;
}

std::vector<PropertyEntry> Catalog::AllProperties(const ClassEntry& entry) const {
  std::vector<PropertyEntry> out;
  for (const ClassEntry* c = &entry; c != nullptr;) {
    out.insert(out.end(), c->ownProperties.begin(), c->ownProperties.end());
    c = c->superName.empty() ? nullptr : FindClass(c->superName);
  }
  return out;
}

const PropertyEntry* Catalog::FindProperty(const ClassEntry& entry, const std::string& name,
                                           PropertyEntry* storage) const {
  const std::vector<PropertyEntry> all = AllProperties(entry);
  for (const PropertyEntry& p : all) {
    if (p.name == name) {
      *storage = p;
      return storage;
    }
  }
  for (const PropertyEntry& p : all) {
    if (Lower(p.name) == Lower(name)) {
      *storage = p;
      return storage;
    }
  }
  return nullptr;
}

std::vector<NamedValue> Catalog::AllConstants(const ClassEntry& entry) const {
  std::vector<NamedValue> out;
  for (const ClassEntry* c = &entry; c != nullptr;) {
    out.insert(out.end(), c->ownConstants.begin(), c->ownConstants.end());
    c = c->superName.empty() ? nullptr : FindClass(c->superName);
  }
  return out;
}

const EnumEntry* Catalog::FindEnum(const std::string& qualified) const {
  for (const ClassEntry& c : classes_) {
    for (const EnumEntry& e : c.ownEnums) {
      if (e.qualified == qualified) return &e;
    }
  }
  return nullptr;
}

std::string Catalog::ErrorNameIn(const std::vector<NamedValue>& constants, int64_t code) {
  for (const NamedValue& nv : constants) {
    if (nv.value == code) return nv.name;
  }
  return "";
}

}  // namespace lumeno::cli

// Method declarations ("Name(a as T, ByRef b as U) as R") and the kinds the
// declared types travel as.
#include <cctype>
#include <cstring>
#include <sstream>

#include "host/host_state.h"

namespace lumeno::host {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool StartsWithWord(const std::string& text, const char* word) {
  size_t n = std::strlen(word);
  if (text.size() <= n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return text[n] == ' ' || text[n] == '\t';
}

// Position of the keyword " as " (any case), or npos.
size_t FindAs(const std::string& text) {
  for (size_t i = 0; i + 4 <= text.size(); ++i) {
    if ((text[i] == ' ' || text[i] == '\t') &&
        std::tolower(static_cast<unsigned char>(text[i + 1])) == 'a' &&
        std::tolower(static_cast<unsigned char>(text[i + 2])) == 's' &&
        (text[i + 3] == ' ' || text[i + 3] == '\t')) {
      return i;
    }
  }
  return std::string::npos;
}

// Strips a default value ("x as Integer = 3" keeps "Integer").
std::string TypeText(const std::string& text) {
  size_t eq = text.find('=');
  return Trim(eq == std::string::npos ? text : text.substr(0, eq));
}

bool HasEnum(const ClassInfo* cls, const std::string& name) {
  for (const ClassInfo* c = cls; c != nullptr; c = c->super) {
    const ZARKclassDefinition* d = c->definition;
    for (int64_t i = 0; d->enums != nullptr && i < d->enumCount; ++i) {
      if (d->enums[i].name != nullptr && name == d->enums[i].name) return true;
    }
  }
  return false;
}

}  // namespace

bool ParseDeclaration(const std::string& declaration, MethodDecl* out) {
  size_t open = declaration.find('(');
  size_t close = declaration.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  MethodDecl decl;
  decl.name = Trim(declaration.substr(0, open));
  if (decl.name.empty()) return false;
  std::string inner = declaration.substr(open + 1, close - open - 1);
  if (!Trim(inner).empty()) {
    std::stringstream parts(inner);
    std::string part;
    while (std::getline(parts, part, ',')) {
      std::string text = Trim(part);
      ParamDecl param;
      if (StartsWithWord(text, "byref")) {
        param.byRef = true;
        text = Trim(text.substr(5));
      } else if (StartsWithWord(text, "byval")) {
        text = Trim(text.substr(5));
      }
      size_t as = FindAs(text);
      if (as == std::string::npos) return false;
      param.name = Trim(text.substr(0, as));
      param.type = TypeText(text.substr(as + 4));
      if (param.name.empty() || param.type.empty()) return false;
      decl.params.push_back(std::move(param));
    }
    if (inner.back() == ',') return false;
  }
  std::string rest = Trim(declaration.substr(close + 1));
  if (!rest.empty()) {
    if (!StartsWithWord(rest, "as")) return false;
    decl.result = Trim(rest.substr(2));
    if (decl.result.empty()) return false;
  }
  *out = std::move(decl);
  return true;
}

Kind ScalarKind(const std::string& type) {
  if (type.empty()) return Kind::kVoid;
  if (type == "Integer" || type == "Int64") return Kind::kInteger;
  if (type == "Single") return Kind::kSingle;
  if (type == "Double") return Kind::kDouble;
  if (type == "Boolean") return Kind::kBoolean;
  if (type == "UInt8") return Kind::kUInt8;
  if (type == "UInt64") return Kind::kUInt64;
  if (type == "Ptr") return Kind::kPtr;
  return Kind::kObject;
}

// Whether a type text names an enumeration: "Class.Enum" of a registered
// class, or a bare enumeration name of the class where it is used.
bool Host::State::IsEnumeration(const std::string& type, const ClassInfo* context) const {
  size_t dot = type.rfind('.');
  if (dot != std::string::npos) {
    auto it = classesByName.find(type.substr(0, dot));
    return it != classesByName.end() && HasEnum(it->second, type.substr(dot + 1));
  }
  return HasEnum(context, type);
}

Kind Host::State::KindOf(const std::string& type, bool byRef, const ClassInfo* context) const {
  Kind kind = ScalarKind(type);
  if (byRef) return kind == Kind::kBoolean ? Kind::kBoolRef : Kind::kPtr;
  if (kind == Kind::kObject && IsEnumeration(type, context)) return Kind::kInteger;
  return kind;
}

}  // namespace lumeno::host

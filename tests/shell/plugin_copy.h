// A private copy of the plug-in library, loaded apart from every other copy so
// that its entry caches, class references and globals start empty. Its
// functions are found by their C++ signature as the demangler writes it, for
// example "ZARKGetPropValue(ZARKobjectStruct*, char const*, short*)".
#pragma once

#include <string>
#include <vector>

namespace lumeno::testing {

class PluginCopy {
 public:
  // Loads a new copy and points its resolver at the active host, without
  // running its start-up.
  PluginCopy();
  ~PluginCopy();
  PluginCopy(const PluginCopy&) = delete;
  PluginCopy& operator=(const PluginCopy&) = delete;

  // Address of an exported name: a plain name ("gResolver") or a demangled
  // signature. Fails the test (and answers null) when there is none.
  void* Symbol(const std::string& name) const;
  template <typename T>
  T Function(const std::string& signature) const {
    return reinterpret_cast<T>(Symbol(signature));
  }
  template <typename T>
  T& Global(const std::string& name) const {
    return *static_cast<T*>(Symbol(name));
  }
  // Demangled signatures of every exported function called `name`.
  static std::vector<std::string> Overloads(const std::string& name);
  // Every exported name of the library, demangled.
  static std::vector<std::string> ExportedNames();

 private:
  void* handle_ = nullptr;
};

}  // namespace lumeno::testing

#include "shell/plugin_copy.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "host/host.h"

namespace lumeno::testing {
namespace {

std::string Demangle(const char* mangled) {
  int status = 0;
  char* text = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) return mangled;
  std::string result(text);
  std::free(text);
  return result;
}

// Demangled name -> symbol name, for every defined dynamic symbol of the
// built library (read from its ELF dynamic symbol table).
const std::map<std::string, std::string>& ExportTable() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> result;
    std::ifstream in(LUMENO_PLUGIN_PATH, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), {});
    if (image.size() < sizeof(Elf64_Ehdr)) return result;
    const char* base = image.data();
    Elf64_Ehdr header;
    std::memcpy(&header, base, sizeof header);
    for (int i = 0; i < header.e_shnum; ++i) {
      Elf64_Shdr section;
      std::memcpy(&section, base + header.e_shoff + i * header.e_shentsize, sizeof section);
      if (section.sh_type != SHT_DYNSYM) continue;
      Elf64_Shdr strings;
      std::memcpy(&strings, base + header.e_shoff + section.sh_link * header.e_shentsize,
                  sizeof strings);
      const size_t count = section.sh_size / sizeof(Elf64_Sym);
      for (size_t s = 0; s < count; ++s) {
        Elf64_Sym symbol;
        std::memcpy(&symbol, base + section.sh_offset + s * sizeof(Elf64_Sym), sizeof symbol);
        if (symbol.st_shndx == SHN_UNDEF || symbol.st_name == 0) continue;
        const char* name = base + strings.sh_offset + symbol.st_name;
        result[Demangle(name)] = name;
      }
    }
    return result;
  }();
  return table;
}

}  // namespace

PluginCopy::PluginCopy() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp") + "/lumeno-shell-XXXXXX.so";
  int fd = mkstemps(pattern.data(), 3);
  EXPECT_GE(fd, 0);
  if (fd < 0) return;
  close(fd);
  std::error_code error;
  std::filesystem::copy_file(LUMENO_PLUGIN_PATH, pattern,
                             std::filesystem::copy_options::overwrite_existing, error);
  EXPECT_FALSE(error) << "cannot copy " << LUMENO_PLUGIN_PATH << ": " << error.message();
  handle_ = dlopen(pattern.c_str(), RTLD_NOW | RTLD_LOCAL);
  unlink(pattern.c_str());
  EXPECT_NE(handle_, nullptr) << dlerror();
  if (handle_ == nullptr) return;
  Global<void* (*)(const char*)>("gResolver") = &host::Host::ResolverEntry;
}

PluginCopy::~PluginCopy() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* PluginCopy::Symbol(const std::string& name) const {
  if (handle_ == nullptr) return nullptr;
  const auto& table = ExportTable();
  auto it = table.find(name);
  void* address = it == table.end() ? nullptr : dlsym(handle_, it->second.c_str());
  EXPECT_NE(address, nullptr) << "no exported " << name;
  return address;
}

std::vector<std::string> PluginCopy::Overloads(const std::string& name) {
  std::vector<std::string> result;
  for (const auto& [demangled, symbol] : ExportTable()) {
    if (demangled.size() > name.size() && demangled.compare(0, name.size(), name) == 0 &&
        demangled[name.size()] == '(') {
      result.push_back(demangled);
    }
  }
  return result;
}

std::vector<std::string> PluginCopy::ExportedNames() {
  std::vector<std::string> result;
  for (const auto& entry : ExportTable()) result.push_back(entry.first);
  return result;
}

}  // namespace lumeno::testing

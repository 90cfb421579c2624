// The host runtime's facade: construction and teardown, loading plug-ins,
// and the resolver. The other concerns live beside it: declarations.cpp,
// values.cpp, entries.cpp, objects.cpp, properties.cpp, calls.cpp, tasks.cpp.
#include "host/host.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "host/host_state.h"

namespace lumeno::host {
namespace {

std::atomic<Host*> gCurrent{nullptr};

// Libraries opened by path, never closed: a later Host starts them again.
std::mutex gLibraryMutex;
std::map<std::string, void*>& LoadedLibraries() {
  static auto* libraries = new std::map<std::string, void*>;
  return *libraries;
}

}  // namespace

// -- Construction -----------------------------------------------------------------

Host::Host(HostOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  gCurrent.store(this);
  for (ClassModule module : state_->options.modules) module(*this);
  for (const ClassInfo* cls : state_->classes) state_->hostClasses.insert(cls);
}

Host::~Host() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> guard(s.objectMutex);
    s.tearingDown = true;
  }
  // Destroy what is still alive: objects of plug-in classes first (a filter
  // ends its background run, whose threads still use bitmaps), then the
  // host's own objects (bitmaps, masks, points); newest first within each.
  // Destructors may drop holds on other objects (which then go the ordinary
  // way) or create new ones.
  for (;;) {
    std::vector<std::tuple<bool, uint64_t, Object>> alive;
    {
      std::lock_guard<std::mutex> guard(s.objectMutex);
      for (auto& [object, record] : s.objects) {
        if (record.status != State::Status::kLive) continue;
        bool hostOwned = s.hostClasses.count(HeaderOf(object)->cls) != 0;
        alive.emplace_back(!hostOwned, record.serial, object);
      }
    }
    if (alive.empty()) break;
    std::sort(alive.begin(), alive.end(), std::greater<>());
    for (auto& entry : alive) {
      Object object = std::get<2>(entry);
      const ClassInfo* cls = nullptr;
      {
        std::lock_guard<std::mutex> guard(s.objectMutex);
        auto it = s.objects.find(object);
        if (it == s.objects.end() || it->second.status != State::Status::kLive) continue;
        it->second.status = State::Status::kDying;
        cls = HeaderOf(object)->cls;
      }
      s.Destroy(object, cls);
    }
  }
  s.tasks.clear();
  for (auto& hook : s.teardownHooks) hook();
  for (auto& entry : s.objects) std::free(entry.first);
  s.objects.clear();
  Host* self = this;
  gCurrent.compare_exchange_strong(self, nullptr);
}

Host* Host::Current() { return gCurrent.load(); }

void Host::AtTeardown(std::function<void()> hook) {
  state_->teardownHooks.push_back(std::move(hook));
}

// -- Plug-ins and the resolver ------------------------------------------------------

bool Host::LoadPlugin(const std::string& path, std::string* error, bool freshCopy) {
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  void* handle = nullptr;
  if (freshCopy) {
    // A file of its own, so the loader maps this library apart from any
    // copy already loaded (fresh globals and slots).
    const char* tmpdir = std::getenv("TMPDIR");
    std::string name =
        std::string(tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp") + "/lumeno-plugin-XXXXXX.so";
    int fd = mkstemps(name.data(), 3);
    if (fd < 0) return fail("cannot create a private copy of " + path);
    close(fd);
    std::error_code copyError;
    std::filesystem::copy_file(path, name, std::filesystem::copy_options::overwrite_existing,
                               copyError);
    if (copyError) {
      unlink(name.c_str());
      return fail("cannot copy " + path + ": " + copyError.message());
    }
    handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* why = handle == nullptr ? dlerror() : nullptr;
    unlink(name.c_str());  // the mapping stays; the file is not needed any more
    if (handle == nullptr) return fail(why != nullptr ? why : "dlopen failed");
  } else {
    std::lock_guard<std::mutex> guard(gLibraryMutex);
    auto& libraries = LoadedLibraries();
    auto it = libraries.find(path);
    if (it != libraries.end()) {
      handle = it->second;
    } else {
      handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) {
        const char* why = dlerror();
        return fail(why != nullptr ? why : "dlopen failed");
      }
      libraries.emplace(path, handle);
    }
  }
  void* symbol = dlsym(handle, "ZARKPluginMain");
  if (symbol == nullptr) return fail(path + " has no ZARKPluginMain");
  auto pluginMain = reinterpret_cast<void (*)(ZARKResolver)>(symbol);
  pluginMain(&Host::ResolverEntry);
  return true;
}

void* Host::Resolve(const char* name) {
  if (name == nullptr) return nullptr;
  std::string key(name);
  {
    std::lock_guard<std::mutex> guard(state_->resolveMutex);
    ++state_->resolveCounts[key];
    if (state_->options.hiddenEntries.count(key) != 0) return nullptr;
    auto it = state_->addedEntries.find(key);
    if (it != state_->addedEntries.end()) return it->second;
  }
  return BuiltinEntry(key);
}

void* Host::ResolverEntry(const char* name) {
  Host* host = Current();
  return host != nullptr ? host->Resolve(name) : nullptr;
}

void Host::SetVersion(double version) { state_->options.version = version; }

void Host::HideEntry(const std::string& name) {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  state_->options.hiddenEntries.insert(name);
}

void Host::ShowEntry(const std::string& name) {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  state_->options.hiddenEntries.erase(name);
}

int32_t Host::RegisteredPluginVersion() const { return state_->pluginVersion; }

void Host::AddEntry(const std::string& name, void* entry) {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  state_->addedEntries[name] = entry;
}

int Host::ResolveCount(const std::string& name) const {
  std::lock_guard<std::mutex> guard(state_->resolveMutex);
  auto it = state_->resolveCounts.find(name);
  return it != state_->resolveCounts.end() ? it->second : 0;
}

}  // namespace lumeno::host

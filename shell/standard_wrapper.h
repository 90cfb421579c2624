// The standard wrapper: the one pattern every member of the host-entry family
// follows. Each wrapper owns a process-wide slot, null at load, that caches
// the entry it resolved. A miss asks the resolver again on the next call; a
// hit is kept for the rest of the process.
//
// Slots are plain pointer-sized words. Two threads that miss at once both
// resolve and store the same address, so they are accessed atomically (no
// lock) only to keep that benign race well defined.
#pragma once

#include <atomic>

#include "lumeno/wrappers.h"
#include "shell/host_services.h"

namespace lumeno::shell {

// The address cached in `slot`, asking `lookup(key)` while the slot is
// empty. Null while the host lacks it.
template <typename Lookup>
inline void* CachedSlot(void*& slot, const char* key, Lookup lookup) {
  std::atomic_ref<void*> cached(slot);
  void* found = cached.load(std::memory_order_acquire);
  if (found == nullptr) {
    found = lookup(key);
    if (found != nullptr) cached.store(found, std::memory_order_release);
  }
  return found;
}

// The entry cached in `slot`, asking the resolver for `entryName`.
inline void* ResolveSlot(void*& slot, const char* entryName) {
  return CachedSlot(slot, entryName, CallResolver);
}

// Zero of a result type; nothing for void.
template <typename T>
inline T ZeroResult() {
  return T();
}
template <>
inline void ZeroResult<void>() {}

}  // namespace lumeno::shell

// Defines one wrapper and its slot from a table row.
#define LUMENO_DEFINE_WRAPPER_WITH_FALLBACK(result, name, entryName, params, args, fallback) \
  namespace {                                                                                \
  void* name##Slot = nullptr;                                                                \
  }                                                                                          \
  result name params {                                                                       \
    void* entry = lumeno::shell::ResolveSlot(name##Slot, entryName);                         \
    if (entry == nullptr) return fallback;                                                   \
    return reinterpret_cast<result(*) params>(entry) args;                                   \
  }

#define LUMENO_DEFINE_WRAPPER(result, name, entryName, params, args)         \
  LUMENO_DEFINE_WRAPPER_WITH_FALLBACK(result, name, entryName, params, args, \
                                      lumeno::shell::ZeroResult<result>())

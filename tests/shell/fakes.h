// Fake host entries of any signature for wrapper tests: each call is counted
// and answers a marker value that no wrapper returns on its own.
#pragma once

#include <cstdint>
#include <type_traits>

namespace lumeno::testing {

inline int gFakeCalls = 0;

template <typename R>
R Marker() {
  if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<R>(uintptr_t{0x5EED0});
  } else if constexpr (std::is_same_v<R, bool>) {
    return true;
  } else {
    return static_cast<R>(42);
  }
}

template <typename F>
struct Fake;

template <typename R, typename... A>
struct Fake<R (*)(A...)> {
  static R Entry(A...) {
    ++gFakeCalls;
    if constexpr (!std::is_void_v<R>) return Marker<R>();
  }
  static void* Address() { return reinterpret_cast<void*>(&Entry); }
};

// Calls a function with every argument zero (null, false, 0).
template <typename R, typename... A>
R CallWithZeros(R (*function)(A...)) {
  return function(A{}...);
}

}  // namespace lumeno::testing

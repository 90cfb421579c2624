// Shared pieces of the fuzz targets: a reader that turns input bytes into
// values (zero once the input is used up), the process-wide host with the
// plug-in loaded, and the failure report.
//
// Each target is a plain function so that the normal test suite can replay
// the checked-in corpus (tests/stress/stress_test.cpp); built with
// LUMENO_LIBFUZZER, a target's file also defines the libFuzzer entry.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "host/host.h"

namespace lumeno::fuzz {

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
  uint64_t U64() { return U32() | (static_cast<uint64_t>(U32()) << 32); }
  float F32() {
    const uint32_t bits = U32();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  double F64() {
    const uint64_t bits = U64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Where a broken promise is reported: the fuzz build prints and aborts (so
// libFuzzer keeps the input); the corpus replay turns it into a test failure.
inline std::function<void(const std::string&)>& FailureHandler() {
  static std::function<void(const std::string&)> handler = [](const std::string& message) {
    std::fprintf(stderr, "fuzz check failed: %s\n", message.c_str());
    std::abort();
  };
  return handler;
}
inline void Fail(const std::string& message) { FailureHandler()(message); }

// The host of a fuzzing process, created once with the plug-in loaded.
inline host::Host& SharedHost() {
  static host::Host* shared = [] {
    auto* h = new host::Host();
    std::string error;
    if (!h->LoadPlugin(LUMENO_PLUGIN_PATH, &error)) {
      std::fprintf(stderr, "cannot load the plug-in: %s\n", error.c_str());
      std::abort();
    }
    return h;
  }();
  return *shared;
}

// Runs `script` and reports the host objects it leaves alive.
template <typename Script>
int WithoutLeftovers(host::Host& h, const char* what, Script script) {
  const size_t liveBefore = h.LiveObjects();
  script();
  if (h.LiveObjects() != liveBefore) Fail(std::string("host objects left alive after ") + what);
  return 0;
}

int FuzzBlend(host::Host& host, const uint8_t* data, size_t size);
int FuzzEffects(host::Host& host, const uint8_t* data, size_t size);
int FuzzImageReaders(const uint8_t* data, size_t size);

}  // namespace lumeno::fuzz

#define LUMENO_FUZZ_ENTRY(call) \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return call; }

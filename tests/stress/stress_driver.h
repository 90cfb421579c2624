// A careless script for the plug-in: creates and drops effect objects,
// bitmaps, masks and handlers, sets every property to values inside and far
// outside its range, calls every registered method with random arguments,
// starts and cancels background runs and pumps the host's tasks at random
// points. Classes, properties and methods are taken from the host's
// definition records, so members added later are driven too.
//
// After each operation the driver checks what the system promises where it
// is simple to predict: error codes (by the rules of the tests' effect
// table), results returned or not, untouched row padding and slack, and the
// async state machine (pixels are the fast-path test's business). Decisions
// come from a Chooser, so the same driver serves a seeded random test and a
// fuzz target whose input bytes are the decisions.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "host/host.h"

namespace lumeno::stress {

// Source of decisions.
class Chooser {
 public:
  virtual ~Chooser() = default;
  virtual uint64_t Next() = 0;
  // True once a data-driven chooser has run out of input.
  virtual bool Exhausted() const { return false; }

  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  bool Percent(int p) { return Below(100) < static_cast<uint64_t>(p); }
  int64_t Between(int64_t lo, int64_t hi) {  // inclusive
    return lo + static_cast<int64_t>(Below(static_cast<uint64_t>(hi - lo) + 1));
  }
};

class RandomChooser final : public Chooser {
 public:
  explicit RandomChooser(uint64_t seed) : rng_(seed) {}
  uint64_t Next() override { return rng_(); }

 private:
  std::mt19937_64 rng_;
};

// Takes decisions from fuzz input, two bytes each; zero once exhausted.
class DataChooser final : public Chooser {
 public:
  DataChooser(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Next() override {
    uint64_t v = pos_ < size_ ? data_[pos_++] : 0;
    return (v << 8) | (pos_ < size_ ? data_[pos_++] : 0);
  }
  bool Exhausted() const override { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct DriverOptions {
  int maxSide = 300;  // largest bitmap width or height
  // Called with a description of each broken promise.
  std::function<void(const std::string&)> fail;
};

// Counters that show a run did what it is for.
struct Counts {
  uint64_t codeChecks = 0;
  uint64_t completions = 0;
};

// Runs `steps` random operations, each followed by its checks (fewer once
// the chooser is exhausted), then ends every run and drops every object,
// checking the padding of every bitmap on the way. The host must be left
// with no live object afterwards (the caller checks).
Counts RunScript(host::Host& host, Chooser& chooser, const DriverOptions& options, uint64_t steps);

}  // namespace lumeno::stress

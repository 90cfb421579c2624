// A synchronous run allocates nothing but its destination bitmap: the run's
// context, bands and thread handles live on the stack, and the workers build
// any tables they need in fixed storage. This program counts every heap
// allocation of the process (it replaces malloc and its relatives) around
// one run whose method entry was looked up beforehand.
//
// Sanitizer builds bring their own allocator, which must not be replaced;
// there the tests are skipped.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/effect_table.h"
#include "support/images.h"
#include "support/plugin_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LUMENO_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LUMENO_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef LUMENO_COUNT_ALLOCATIONS
#define LUMENO_COUNT_ALLOCATIONS 1
#endif

namespace {

// Allocations while counting is on: how many, and how many of them at least
// `largeBytes` long (pixel memory).
std::atomic<bool> gCounting{false};
std::atomic<int64_t> gAllocations{0};
std::atomic<int64_t> gLargeAllocations{0};
std::atomic<size_t> gLargeBytes{SIZE_MAX};

[[maybe_unused]] void Count(size_t bytes) {
  if (!gCounting.load(std::memory_order_relaxed)) return;
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (bytes >= gLargeBytes.load(std::memory_order_relaxed)) {
    gLargeAllocations.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

#if LUMENO_COUNT_ALLOCATIONS
// glibc's own entry points, which the replacements forward to. operator new
// and the C++ library allocate through malloc, so they are counted too.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t bytes) {
  Count(bytes);
  return __libc_malloc(bytes);
}
void* calloc(size_t count, size_t bytes) {
  Count(count * bytes);
  return __libc_calloc(count, bytes);
}
void* realloc(void* p, size_t bytes) {
  Count(bytes);
  return __libc_realloc(p, bytes);
}
void* memalign(size_t alignment, size_t bytes) {
  Count(bytes);
  return __libc_memalign(alignment, bytes);
}
void* aligned_alloc(size_t alignment, size_t bytes) {
  Count(bytes);
  return __libc_memalign(alignment, bytes);
}
int posix_memalign(void** out, size_t alignment, size_t bytes) {
  Count(bytes);
  void* p = __libc_memalign(alignment, bytes);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}
#endif

namespace lumeno::testing {
namespace {

using host::Object;
using host::Ref;

struct Counted {
  int64_t allocations;
  int64_t large;
};

// Counts the allocations of fn(); allocations of at least largeBytes bytes
// are counted apart as well.
Counted CountAround(size_t largeBytes, const std::function<void()>& fn) {
  gLargeBytes = largeBytes;
  gAllocations = 0;
  gLargeAllocations = 0;
  gCounting = true;
  fn();
  gCounting = false;
  return {gAllocations.load(), gLargeAllocations.load()};
}


uint16_t gTable[65536];  // any contents: the run only reads it
MapParams Tables() {
  MapParams p{};
  p.redTable = p.greenTable = p.blueTable = gTable;
  return p;
}

// An effect of the table with its first values; the blend takes the
// source as its own fill and the mask as an argument.
Runner Bind(host::Host& h, const Effect& e, Object effect, bool inPlace, Object mask) {
  if (!e.run) return BindForm(h, e, effect, inPlace, e.samples[0]);
  if (inPlace) return {};
  using Fn = Object (*)(Object, Object, Object, double, Object, Object, Object);
  auto fn = reinterpret_cast<Fn>(h.FindMethod(
      effect,
      "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as Double,fillMask as "
      "RawBitmapMask,location as PointF,size as SizeF) as RawBitmap"));
  return [=](Object source) { return fn(effect, source, source, 0.6, mask, nullptr, nullptr); };
}

class AllocationTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    if (!LUMENO_COUNT_ALLOCATIONS) GTEST_SKIP() << "sanitizer builds keep their own allocator";
  }
};

TEST_F(AllocationTest, SynchronousRunsAllocateOnlyTheirDestination) {
  host::Host& h = host();
  constexpr int64_t kSize = 96;
  for (int64_t format : {int64_t{host::kRGBA8}, int64_t{host::kRGB16}}) {
    const bool sixteen = host::FindFormat(format)->bitsPerChannel == 16;
    Ref source = RandomBitmap(h, kSize, kSize, format, 0, 3);
    Ref maskBitmap = RandomMaskBitmap(h, kSize, kSize, sixteen ? 16 : 8, 5);
    Ref mask(h, host::CreateMask(h, maskBitmap.get(), false, 0));
    ASSERT_TRUE(source && mask);
    // What the host needs for one new bitmap of this size: the bound for
    // everything an Apply may allocate.
    const int64_t pixelBytes = kSize * kSize * host::FindFormat(format)->bytesPerPixel;
    const size_t largeBytes = static_cast<size_t>(kSize * kSize);  // any pixel memory
    const Counted bitmapCost =
        CountAround(largeBytes, [&] { Ref fresh(h, host::CreateBitmap(h, kSize, kSize, format)); });

    std::vector<const Effect*> effects;
    for (const Effect& e : Effects()) effects.push_back(&e);
    effects.push_back(nullptr);  // the engine's map procedure
    for (const Effect* e : effects) {
      const bool blend = e != nullptr && e->run;
      if (blend && sixteen) continue;  // 8-bit only
      const char* className = e != nullptr ? e->className : "BrightnessEffectRaw";
      for (int64_t threads : {1, 2, 4}) {
        for (bool masked : {false, true}) {
          for (bool inPlace : {false, true}) {
            SCOPED_TRACE(std::string(e != nullptr ? e->shortName : "map") +
                         (masked ? " masked" : " plain") + (inPlace ? " in place" : " new bitmap") +
                         " on " + host::FindFormat(format)->name + ", " + std::to_string(threads) +
                         " threads");
            Ref effect(h, h.New(className));
            h.SetProperty(effect.get(), "MultiprocessingHint", threads);
            if (masked && e != nullptr && !blend) h.SetProperty(effect.get(), "Mask", mask.get());
            Object maskArgument = masked ? mask.get() : nullptr;
            const Runner call = e != nullptr ? Bind(h, *e, effect.get(), inPlace, maskArgument)
                                           : BindMap(h, effect.get(), inPlace, maskArgument, Tables(), Tables(), 5);
            if (!call) continue;
            // A first run lets the plug-in resolve and cache its host entries
            // and the C library settle its thread stacks.
            Ref(h, call(source.get()));
            Object result = nullptr;
            const Counted c = CountAround(largeBytes, [&] { result = call(source.get()); });
            Ref owned(h, result);
            EXPECT_EQ(h.GetInteger(effect.get(), "ErrorCode"), 0);
            if (inPlace) {
              EXPECT_EQ(c.allocations, 0);
              continue;
            }
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(c.large, 1) << "one block of pixel memory (" << pixelBytes << " bytes)";
            EXPECT_LE(c.allocations, bitmapCost.allocations)
                << "more than the host needs for one new bitmap";
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace lumeno::testing

#include "bench/bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>

namespace lumeno::bench {
namespace {

std::unique_ptr<host::Host> gHost;

// Cached objects of the current size; each holds one reference.
struct ImageCache {
  int64_t size = -1;
  std::map<int64_t, Object> sources;  // by format
  Object fill = nullptr;
  Object maskBitmap = nullptr;
  Object mask = nullptr;
};
ImageCache gCache;

void DropCache() {
  host::Host& h = TheHost();
  for (auto& [format, object] : gCache.sources) h.Unlock(object);
  gCache.sources.clear();
  h.Unlock(gCache.fill);
  h.Unlock(gCache.mask);
  h.Unlock(gCache.maskBitmap);
  gCache = ImageCache{};
}

void UseSize(int64_t size) {
  if (gCache.size == size) return;
  DropCache();
  gCache.size = size;
}

// Random bytes over the whole pixel memory, row padding included.
void Randomize(Object bitmap, uint64_t seed) {
  RawBitmap* record = host::BitmapRecord(TheHost(), bitmap);
  std::mt19937_64 rng(seed);
  uint8_t* p = record->pixelData;
  const int64_t bytes = record->rowBytes * record->height;
  int64_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    const uint64_t v = rng();
    for (int k = 0; k < 8; ++k) p[i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  for (; i < bytes; ++i) p[i] = static_cast<uint8_t>(rng());
}

Object NewRandomBitmap(int64_t format, int64_t size, uint64_t seed) {
  Object bitmap = host::CreateBitmap(TheHost(), size, size, format);
  if (bitmap == nullptr) {
    std::fprintf(stderr, "cannot create a %lldx%lld bitmap\n", static_cast<long long>(size),
                 static_cast<long long>(size));
    std::abort();
  }
  Randomize(bitmap, seed);
  return bitmap;
}

}  // namespace

host::Host& TheHost() { return *gHost; }

void StartHost() {
  gHost = std::make_unique<host::Host>();
  std::string error;
  if (!gHost->LoadPlugin(LUMENO_PLUGIN_PATH, &error)) {
    std::fprintf(stderr, "cannot load the plug-in: %s\n", error.c_str());
    std::exit(1);
  }
}

void StopHost() {
  DropCache();
  gHost.reset();
}

Object SourceImage(int64_t format, int64_t size) {
  UseSize(size);
  Object& slot = gCache.sources[format];
  if (slot == nullptr) slot = NewRandomBitmap(format, size, 1000 + static_cast<uint64_t>(format));
  return slot;
}

Object FillImage(int64_t size) {
  UseSize(size);
  if (gCache.fill == nullptr) gCache.fill = NewRandomBitmap(host::kRGBA8, size, 77);
  return gCache.fill;
}

Object MaskImage(int64_t size) {
  UseSize(size);
  if (gCache.mask == nullptr) {
    gCache.maskBitmap = NewRandomBitmap(host::kGray8, size, 55);
    gCache.mask = host::CreateMask(TheHost(), gCache.maskBitmap, false, 0);
  }
  return gCache.mask;
}

std::string FormatName(int64_t format) {
  const host::FormatInfo* info = host::FindFormat(format);
  return info != nullptr ? info->name : "?";
}

int64_t PixelBytes(int64_t format, int64_t size) {
  const host::FormatInfo* info = host::FindFormat(format);
  return size * size * (info != nullptr ? info->bytesPerPixel : 0);
}

std::string EffectName(const std::string& effect, int64_t format, bool masked, bool inPlace,
                       int64_t size, int threads) {
  return effect + "/" + FormatName(format) + (masked ? "/masked" : "/plain") +
         (inPlace ? "/inplace/" : "/apply/") + std::to_string(size) + "/t" +
         std::to_string(threads);
}

std::string LimitName(const std::string& limit, int64_t format, int64_t size, int threads) {
  return limit + "/" + FormatName(format) + "/" + std::to_string(size) + "/t" +
         std::to_string(threads);
}

}  // namespace lumeno::bench

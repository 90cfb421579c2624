// Shared pieces of the benchmark suite: the one host with the plug-in
// loaded, cached test images, the benchmark naming scheme and the list of
// sizes and thread counts every case runs at.
//
// Names: effects are "<effect>/<format>/<plain|masked>/<inplace|apply>/<size>/t<threads>",
// limits are "<limit>/<format>/<size>/t<threads>". The size and thread count
// are always the last two parts, so "--benchmark_filter=/4096/t2" picks one
// size and thread count across the whole suite.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/raw_bitmap_class.h"

namespace lumeno::bench {

using host::Object;

// Square image sizes (width = height) and thread counts of every case. The
// default run (no filter given) keeps to the sizes up to 1024.
inline const std::vector<int64_t> kSizes = {64, 256, 1024, 4096, 8192};
inline const std::vector<int> kThreadCounts = {1, 2, 8};
// RGB8 (the tool's format for pictures without alpha) for the blend effect only.
inline const std::vector<int64_t> kFormats = {host::kRGBA8, host::kRGB8, host::kRGBA16};
constexpr const char* kDefaultFilter = "/(64|256|1024)/t";

// The host of the whole run, with the plug-in loaded (created by main).
host::Host& TheHost();
void StartHost();
void StopHost();

// Seeded random images, cached so that every case of one size reads the same
// pixels. Asking for another size drops the images of the previous one, so
// the big sizes never sit in memory together.
Object SourceImage(int64_t format, int64_t size);
Object FillImage(int64_t size);  // RGBA8 with random alpha: the blend effect's fill
Object MaskImage(int64_t size);  // a RawBitmapMask of random 8-bit values

std::string FormatName(int64_t format);
int64_t PixelBytes(int64_t format, int64_t size);  // bytes of the packed pixels

std::string EffectName(const std::string& effect, int64_t format, bool masked, bool inPlace,
                       int64_t size, int threads);
std::string LimitName(const std::string& limit, int64_t format, int64_t size, int threads);

// Registration of the two halves of the suite (called by main, in this order
// per size so that the images of one size are made once).
void RegisterLimits(int64_t size, int threads, int64_t format);
void RegisterEffects(int64_t size, int threads, int64_t format);

}  // namespace lumeno::bench

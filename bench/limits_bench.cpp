// The limits every effect is measured against, at the same bytes and thread
// count: memcpy of the source pixels into memory already touched, into a
// fresh bitmap from the host (allocation and first touch included, what an
// Apply pays for its destination), the bare mask lookups a masked worker
// makes, and, when OpenCV is installed, OpenCV's nearest operations.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

#ifdef LUMENO_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace lumeno::bench {
namespace {

// Runs band(first, end) over `rows` rows cut into `threads` bands the way the
// engine cuts them: one band on the calling thread, otherwise one thread per
// band, created for this call.
void InBands(int64_t rows, int threads, const std::function<void(int64_t, int64_t)>& band) {
  if (threads <= 1) {
    band(0, rows);
    return;
  }
  const int64_t step = rows / threads;
  std::vector<std::thread> pool;
  pool.reserve(static_cast<size_t>(threads));
  for (int i = 0; i < threads; ++i) {
    const int64_t first = i * step;
    const int64_t end = i == threads - 1 ? rows : first + step;
    pool.emplace_back([&band, first, end] { band(first, end); });
  }
  for (std::thread& t : pool) t.join();
}

void CopyRows(const RawBitmap& from, uint8_t* to, int64_t toRowBytes, int64_t first, int64_t end) {
  const size_t packed = static_cast<size_t>(from.width * from.bytesPerPixel);
  for (int64_t y = first; y < end; ++y) {
    std::memcpy(to + y * toRowBytes, from.pixelData + y * from.rowBytes, packed);
  }
}

void MemcpyTouched(benchmark::State& state, int64_t format, int64_t size, int threads) {
  const RawBitmap& source = *host::BitmapRecord(TheHost(), SourceImage(format, size));
  std::vector<uint8_t> target(static_cast<size_t>(source.rowBytes * source.height), 1);
  for (auto _ : state) {
    InBands(size, threads, [&](int64_t first, int64_t end) {
      CopyRows(source, target.data(), source.rowBytes, first, end);
    });
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * PixelBytes(format, size));
}

void MemcpyFresh(benchmark::State& state, int64_t format, int64_t size, int threads) {
  host::Host& h = TheHost();
  const RawBitmap& source = *host::BitmapRecord(h, SourceImage(format, size));
  for (auto _ : state) {
    host::Ref fresh(h, host::CreateBitmap(h, size, size, format));
    RawBitmap* target = host::BitmapRecord(h, fresh.get());
    InBands(size, threads, [&](int64_t first, int64_t end) {
      CopyRows(source, target->pixelData, target->rowBytes, first, end);
    });
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * PixelBytes(format, size));
}

// What a masked worker pays for its mask alone: one row lookup per row and
// one value lookup per pixel, at the depth of the image.
void MaskLookups(benchmark::State& state, int64_t format, int64_t size, int threads) {
  RawBitmapMask* mask = host::MaskObject(TheHost(), MaskImage(size));
  const bool sixteen = host::FindFormat(format)->bitsPerChannel == 16;
  for (auto _ : state) {
    InBands(size, threads, [&](int64_t first, int64_t end) {
      uint32_t sum = 0;
      for (int64_t y = first; y < end; ++y) {
        const int32_t row32 = static_cast<int32_t>(y);
        const int64_t row = sixteen ? mask->GetRow16(row32) : mask->GetRow8(row32);
        for (int32_t x = 0; x < size; ++x) {
          sum += sixteen ? mask->GetValue16(row, x) & 0xFFFFu : mask->GetValue8(row, x) & 0xFFu;
        }
      }
      benchmark::DoNotOptimize(sum);
    });
  }
  state.SetBytesProcessed(state.iterations() * PixelBytes(format, size));
}

#ifdef LUMENO_BENCH_OPENCV
// OpenCV's operations nearest to the effects, on the same pixels.
void OpenCvOperation(benchmark::State& state, const std::string& operation, int64_t format,
                     int64_t size, int threads) {
  cv::setNumThreads(threads);
  RawBitmap& record = *host::BitmapRecord(TheHost(), SourceImage(format, size));
  const bool sixteen = record.bitsPerChannel == 16;
  const int type = sixteen ? CV_16UC4 : CV_8UC4;
  const int side = static_cast<int>(size);
  cv::Mat source(side, side, type, record.pixelData, static_cast<size_t>(record.rowBytes));
  RawBitmap& fillRecord = *host::BitmapRecord(TheHost(), FillImage(size));
  cv::Mat fill8(side, side, CV_8UC4, fillRecord.pixelData,
                static_cast<size_t>(fillRecord.rowBytes));
  cv::Mat fill;
  if (sixteen) {
    fill8.convertTo(fill, CV_16UC4, 257.0);
  } else {
    fill = fill8;
  }
  cv::Mat target(side, side, type);
  std::vector<uint8_t> table(256);
  for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = static_cast<uint8_t>(255 - i);
  const cv::Mat lut(1, 256, CV_8UC1, table.data());
  const cv::Matx44f sepia(0.393f, 0.769f, 0.189f, 0, 0.349f, 0.686f, 0.168f, 0, 0.272f, 0.534f,
                          0.131f, 0, 0, 0, 0, 1);
  if (operation == "LUT" && sixteen) {
    state.SkipWithError("OpenCV's LUT takes 8-bit sources only");  // the loop is not entered
  }
  for (auto _ : state) {
    if (operation == "bitwise_not") {
      cv::bitwise_not(source, target);
    } else if (operation == "add") {
      cv::add(source, cv::Scalar(25, 25, 25, 0), target);
    } else if (operation == "LUT") {
      cv::LUT(source, lut, target);
    } else if (operation == "cvtColor") {
      cv::cvtColor(source, target, cv::COLOR_RGBA2GRAY);
    } else if (operation == "transform") {
      cv::transform(source, target, sepia);
    } else if (operation == "addWeighted") {
      cv::addWeighted(source, 0.25, fill, 0.75, 0.0, target);
    } else if (operation == "multiply") {
      cv::multiply(source, fill, target, 1.0 / (sixteen ? 65535.0 : 255.0));
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * PixelBytes(format, size));
}
#endif

void Limit(const std::string& name, int64_t format, int64_t size, int threads,
           void (*fn)(benchmark::State&, int64_t, int64_t, int)) {
  benchmark::RegisterBenchmark(LimitName(name, format, size, threads).c_str(),
                               [=](benchmark::State& s) { fn(s, format, size, threads); })
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterLimits(int64_t size, int threads, int64_t format) {
  Limit("memcpy_touched", format, size, threads, &MemcpyTouched);
  Limit("memcpy_fresh", format, size, threads, &MemcpyFresh);
  Limit("mask_lookups", format, size, threads, &MaskLookups);
#ifdef LUMENO_BENCH_OPENCV
  for (const char* op :
       {"bitwise_not", "add", "LUT", "cvtColor", "transform", "addWeighted", "multiply"}) {
    const std::string operation = op;
    benchmark::RegisterBenchmark(
        LimitName("opencv." + operation, format, size, threads).c_str(),
        [=](benchmark::State& s) { OpenCvOperation(s, operation, format, size, threads); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
#endif
}

}  // namespace lumeno::bench

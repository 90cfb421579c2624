// Blend placement and weighting: formats and sizes of source and fill, row
// padding, opacity, modes (any 64-bit value), location and size objects
// (any float bits), fill masks from gray bitmaps of other sizes and depths,
// thread hints, synchronous and asynchronous runs, cancelling handlers.
//
// Checks: the source and the fill are never written; nothing outside the
// new bitmap's pixels is written; a refused blend names a blend error code;
// for finite placements every pixel outside the covered rectangle is a copy
// of the source pixel.
#include <cmath>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/raw_bitmap_class.h"
#include "support/images.h"
#include "support/progress.h"
#include "support/reference.h"

namespace lumeno::fuzz {
namespace {

using host::Object;
using host::Ref;

float Coordinate(Bytes& in, bool raw) {
  if (raw) return in.F32();
  return static_cast<float>(static_cast<int8_t>(in.U8())) + static_cast<float>(in.U8() % 4) / 4.0f;
}

Ref PlacementObject(host::Host& h, const char* cls, const char* a, const char* b, float va,
                    float vb) {
  Ref o(h, h.New(cls));
  h.SetProperty(o.get(), a, va);
  h.SetProperty(o.get(), b, vb);
  return o;
}

bool Small(float v) { return std::isfinite(v) && std::fabs(v) < 1e6f; }

// One blend from the input; every reference is let go on the way out.
void BlendOnce(host::Host& h, Bytes& in) {
  const auto& formats = host::AllFormats();
  const uint8_t formatByte = in.U8();
  const host::FormatInfo& sfi = formats[formatByte % formats.size()];
  // Mostly a fill of the source's depth, so that runs get past validation.
  const uint8_t fillByte = in.U8();
  const host::FormatInfo& ffi = formats[fillByte % formats.size()];
  const int64_t sw = in.U8() % 48, sh = in.U8() % 48, fw = in.U8() % 48, fh = in.U8() % 48;
  int64_t spad = in.U8() % 9, fpad = in.U8() % 9;
  if (sfi.bitsPerChannel == 16) spad &= ~int64_t{1};
  if (ffi.bitsPerChannel == 16) fpad &= ~int64_t{1};
  const uint64_t seed = in.U32();
  Ref source = testing::RandomBitmap(h, sw, sh, sfi.format, spad, seed);
  Ref fill = testing::RandomBitmap(h, fw, fh, ffi.format, fpad, seed + 1);
  if (!source || !fill) {
    Fail("RandomBitmap refused a small bitmap");
    return;
  }
  const uint8_t flags = in.U8();
  const uint8_t more = in.U8();
  const double opacity = (flags & 1) ? in.F64() : static_cast<double>(in.U8()) / 200.0 - 0.1;
  const int64_t mode = (flags & 2) ? static_cast<int64_t>(in.U64())
                                   : static_cast<int64_t>(static_cast<int8_t>(in.U8()) % 30);
  const bool hasLocation = flags & 4;
  const float x = Coordinate(in, flags & 8), y = Coordinate(in, flags & 8);
  const bool hasSize = flags & 16;
  const float w = Coordinate(in, more & 1), hgt = Coordinate(in, more & 1);
  Ref location, sizeObject, maskBitmap, mask, handler;
  if (hasLocation) location = PlacementObject(h, "PointF", "x", "y", x, y);
  if (hasSize) sizeObject = PlacementObject(h, "SizeF", "Width", "Height", w, hgt);
  if (flags & 32) {
    const int bits = (more & 2) ? 16 : 8;
    maskBitmap = testing::RandomMaskBitmap(h, in.U8() % 50, in.U8() % 50, bits, seed + 2);
    if (maskBitmap) {
      mask = Ref(h, host::CreateMask(h, maskBitmap.get(), more & 4, 0));
    }
  }
  Ref filter(h, h.New("BlendEffectRaw"));
  h.SetProperty(filter.get(), "BlendMode", mode);
  h.SetProperty(filter.get(), "MultiprocessingHint",
                static_cast<int64_t>(static_cast<int8_t>(in.U8()) % 10));
  h.SetProperty(filter.get(), "ForceThreads", static_cast<bool>(more & 8));
  bool mayCancel = false;
  if (more & 16) {
    handler = testing::NewProgressHandler(h);
    const size_t at = in.U8() % 4;
    testing::ProgressOf(handler.get()).CancelAtCall(at);
    mayCancel = at != 0;
    h.SetProperty(filter.get(), "ProgressHandler", handler.get());
  }

  RawBitmap& s = *host::BitmapRecord(h, source.get());
  RawBitmap& f = *host::BitmapRecord(h, fill.get());
  const std::vector<uint8_t> sourcePixels = host::ReadPixels(s);
  const std::vector<uint8_t> fillPixels = host::ReadPixels(f);
  const testing::OutsideBytes sourceOutside = testing::Snapshot(s);
  const testing::OutsideBytes fillOutside = testing::Snapshot(f);

  Ref result;
  if (flags & 64) {
    h.SetProperty(filter.get(), "FillBitmap", fill.get());
    h.SetProperty(filter.get(), "Opacity", opacity);
    h.SetProperty(filter.get(), "FillMask", mask.get());
    h.SetProperty(filter.get(), "Location", location.get());
    h.SetProperty(filter.get(), "Size", sizeObject.get());
    Ref target = testing::NewCompletionTarget(h);
    h.Call<void>(filter.get(),
                 "ApplyAsync(source as RawBitmap, completeTarget as Object, completeMethod as Ptr)",
                 source.get(), target.get(), testing::CompletionMethod());
    if (more & 32) h.Call<void>(filter.get(), "Cancel()");
    h.RunLoop([&] { return h.GetBoolean(filter.get(), "AsyncCompleted"); }, 30.0);
    if (!h.GetBoolean(filter.get(), "AsyncCompleted")) Fail("asynchronous blend did not end");
    if ((more & 32) == 0 && testing::CompletionOf(target.get()).count == 1) {
      result = Ref(h, h.GetObject(filter.get(), "AsyncResult"));
    }
    if (more & 32) mayCancel = true;
  } else {
    result = Ref(h, h.Call<Object>(filter.get(),
                                   "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as "
                                   "Double,fillMask as RawBitmapMask,location as PointF,size as "
                                   "SizeF) as RawBitmap",
                                   source.get(), fill.get(), opacity, mask.get(), location.get(),
                                   sizeObject.get()));
    if (!result) {
      const int64_t code = h.GetInteger(filter.get(), "ErrorCode");
      if (code != 4 && code != 6 && code != 7 && code != 8 && code != 9 && code != 11) {
        Fail("refused blend with ErrorCode " + std::to_string(code));
      }
    }
  }

  if (host::ReadPixels(s) != sourcePixels || !testing::Unchanged(s, sourceOutside)) {
    Fail("the blend wrote into its source");
  }
  if (host::ReadPixels(f) != fillPixels || !testing::Unchanged(f, fillOutside)) {
    Fail("the blend wrote into its fill");
  }
  if (result) {
    const RawBitmap& d = *host::BitmapRecord(h, result.get());
    if (d.width != s.width || d.height != s.height || d.imageFormat != s.imageFormat) {
      Fail("the blend result is not shaped like the source");
      return;
    }
    for (uint8_t b : testing::Snapshot(d).bytes) {
      if (b != 0) {
        Fail("the blend wrote past the pixels of its result");
        break;
      }
    }
    const bool finite =
        (!hasLocation || (Small(x) && Small(y))) && (!hasSize || (Small(w) && Small(hgt)));
    if (finite && !mayCancel) {
      const testing::reference::Rect r = testing::reference::Covered(
          s.width, s.height, f.width, f.height, {hasLocation, x, y, hasSize, w, hgt});
      const std::vector<uint8_t> out = host::ReadPixels(d);
      const int64_t bpp = s.bytesPerPixel;
      for (int64_t row = 0; row < s.height; ++row) {
        for (int64_t col = 0; col < s.width; ++col) {
          const bool covered = row >= r.y0 && row < r.y1 && col >= r.x0 && col < r.x1;
          if (covered) continue;
          const size_t at = static_cast<size_t>((row * s.width + col) * bpp);
          if (std::memcmp(out.data() + at, sourcePixels.data() + at, static_cast<size_t>(bpp))) {
            Fail("pixel (" + std::to_string(col) + ", " + std::to_string(row) +
                 ") outside the covered rectangle is not the source's");
            row = s.height;
            break;
          }
        }
      }
    }
  }
}

}  // namespace

int FuzzBlend(host::Host& h, const uint8_t* data, size_t size) {
  Bytes in(data, size);
  return WithoutLeftovers(h, "a blend", [&] { BlendOnce(h, in); });
}

}  // namespace lumeno::fuzz

#ifdef LUMENO_LIBFUZZER
LUMENO_FUZZ_ENTRY(lumeno::fuzz::FuzzBlend(lumeno::fuzz::SharedHost(), data, size))
#endif

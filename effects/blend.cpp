// BlendEffectRaw: lays a fill bitmap over part of an 8-bit source and writes
// the composite into a new bitmap. The fill is placed at a whole-pixel
// Location, may be narrowed by Size (never scaled), is weighted by Opacity,
// by an optional FillMask and by its own alpha, and is combined with the
// source by one of 24 modes. NORMAL is composited here; modes 1 to 23 call
// the pixel functions of blend_modes.cpp.
//
// Unlike the other effects this one validates, creates the destination and
// fills its own context, then runs the engine's row operations directly.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "lumeno/layout.h"
#include "effects/blend_kernel.h"
#include "effects/blend_modes.h"
#include "engine/filter_base.h"
#include "engine/row_walker.h"

namespace {

using lumeno::FailWith;
using lumeno::TruncToInt;

// Instance data following MPImageFilterData. The host's standard accessors
// read and write FillBitmap, Location, Size and Opacity at these offsets and
// hold the objects they store.
struct BlendData {
  int64_t blendMode;             // any value; outside 0..23 blends as MULTIPLY
  double opacity;                // clamped to 0..1 when used
  ZARKobjectStruct* fillBitmap;  // RawBitmap, held
  ZARKobjectStruct* fillMask;    // RawBitmapMask, held
  ZARKobjectStruct* location;    // PointF, held
  ZARKobjectStruct* size;        // SizeF, held
};
LUMENO_LAYOUT(BlendData, 48, opacity, 8, fillBitmap, 16, fillMask, 24, location, 32, size, 40);

constexpr int32_t kBlendAutomaticThreads = 3;

BlendData* Data(ZARKobjectStruct* self) {
  return static_cast<BlendData*>(ZARKGetClassData(self, &BlendEffectRaw));
}

// -- Validation and placement -----------------------------------------------

bool InRange(int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; }

// Whether a fill of `fillFormat` may be laid over a source of `sourceFormat`:
// both colour (3..12), both gray (0..2), both CMYK (13, 14), both 16-bit
// CMYK (15, 16), or, for any other source, a fill that is no 16-bit CMYK.
bool ChannelStructureMatches(int64_t sourceFormat, int64_t fillFormat) {
  if (InRange(sourceFormat, 3, 12)) return InRange(fillFormat, 3, 12);
  if (InRange(sourceFormat, 0, 2)) return InRange(fillFormat, 0, 2);
  if (InRange(sourceFormat, 13, 14)) return InRange(fillFormat, 13, 14);
  if (InRange(sourceFormat, 15, 16)) return InRange(fillFormat, 15, 16);
  return !InRange(fillFormat, 15, 16);
}

// HUE, SATURATION, COLOR and LUMINOSITY need red, green and blue channels.
bool NeedsRgb(int64_t mode) { return InRange(mode, 12, 15); }

float ReadSingle(ZARKobjectStruct* object, const char* name, float fallback) {
  float value = 0.0f;
  return ZARKGetPropValueSingle(object, name, &value) ? value : fallback;
}

// Validates the two bitmaps and fills the whole context except the
// destination fields, the mask and the pixel function. False with ErrorCode
// set when refused; the checks run in this order, so a depth mismatch is
// reported before an unsupported depth, both before a channel mismatch.
bool PrepareBlend(MPImageFilterData* filter, int64_t mode, ZARKobjectStruct* sourceObject,
                  ZARKobjectStruct* fillObject, ZARKobjectStruct* location, ZARKobjectStruct* size,
                  double opacity, BlendParams* ctx) {
  if (sourceObject == nullptr || fillObject == nullptr) {
    FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
    return false;
  }
  RawBitmap& source = *GetRawBitmapData(sourceObject);
  RawBitmap& fill = *GetRawBitmapData(fillObject);
  if (source.bitsPerChannel != fill.bitsPerChannel) {
    FailWith(filter, kLumeno_DEPTH_NOT_MATCHING);
    return false;
  }
  if (source.bitsPerChannel != 8) {
    FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    return false;
  }
  if (!InRange(source.imageFormat, 3, 12) && NeedsRgb(mode)) {
    FailWith(filter, kLumeno_PARAMETER_NOT_SUPPORTED_ON_COLOR_SPACE);
    return false;
  }
  if (!ChannelStructureMatches(source.imageFormat, fill.imageFormat)) {
    FailWith(filter, kLumeno_CHANNEL_STRUCTURE_NOT_MATCHING);
    return false;
  }

  // Placement in single precision: a failed read of "x" or "y" counts as 0;
  // a failed read of "Width" or "Height", a negative size or one wider than
  // the fill takes the fill's own size.
  const float fillWidth = static_cast<float>(fill.width);
  const float fillHeight = static_cast<float>(fill.height);
  float x = 0.0f, y = 0.0f;
  if (location != nullptr) {
    x = ReadSingle(location, "x", 0.0f);
    y = ReadSingle(location, "y", 0.0f);
  }
  float w = fillWidth, h = fillHeight;
  if (size != nullptr) {
    w = ReadSingle(size, "Width", fillWidth);
    h = ReadSingle(size, "Height", fillHeight);
    if (w < 0.0f || w > fillWidth) w = fillWidth;
    if (h < 0.0f || h > fillHeight) h = fillHeight;
  }
  float xEnd = x + w;
  if (xEnd > static_cast<float>(source.width)) xEnd = static_cast<float>(source.width);
  float yEnd = y + h;
  if (yEnd > static_cast<float>(source.height)) yEnd = static_cast<float>(source.height);
  ctx->xEnd = TruncToInt(xEnd);
  ctx->yEnd = TruncToInt(yEnd);
  int32_t rowSkip = 0, columnSkip = 0;
  if (y < 0.0f) {
    ctx->yStart = 0;
    rowSkip = TruncToInt(-y);
  } else {
    ctx->yStart = TruncToInt(y);
  }
  if (x < 0.0f) {
    ctx->xStart = 0;
    columnSkip = TruncToInt(-x);
  } else {
    ctx->xStart = TruncToInt(x);
  }

  // Weights out of 256: opacity 1 gives 0 and 256, 0.3 gives 179 and 76.
  if (opacity > 1.0) opacity = 1.0;
  if (opacity < 0.0) opacity = 0.0;
  ctx->sourceWeight = static_cast<uint32_t>(TruncToInt((1.0 - opacity) * 256.0));
  ctx->fillWeight = static_cast<uint32_t>(TruncToInt(opacity * 256.0));

  // Colour channels: every sample position that is red, green, blue or
  // black (never alpha), in ascending order.
  ctx->colourChannelCount = 0;
  for (int64_t j = 0; j < source.channelCount && ctx->colourChannelCount < 16; ++j) {
    if (j == source.redOffset || j == source.greenOffset || j == source.blueOffset ||
        j == source.blackOffset) {
      ctx->colourChannels[ctx->colourChannelCount++] = static_cast<uint8_t>(j);
    }
  }

  // Source pixel (c, r) takes fill pixel (c - trunc(x), r - trunc(y)). Only
  // the low 32 bits are kept, as for every record value of the context; a
  // far-off placement covers nothing, so its wrapped offsets are never used.
  ctx->fillRowOrigin = static_cast<int32_t>(static_cast<int64_t>(ctx->yStart) - rowSkip);
  ctx->fillColumnOffset =
      static_cast<int32_t>(static_cast<int64_t>(columnSkip) * fill.bytesPerPixel);

  GenericMPParams& base = ctx->base;
  base.width = static_cast<int32_t>(source.width);
  base.height = static_cast<int32_t>(source.height);
  base.srcPixels = source.pixelData;
  base.srcRowBytes = static_cast<int32_t>(source.rowBytes);
  base.srcPixelBytes = static_cast<int32_t>(source.bytesPerPixel);
  base.source = &source;
  base.rowsDone = 0;
  base.cancel = false;
  base.multiprocessingHint = static_cast<int32_t>(filter->multiprocessingHint);
  base.progressHandler = filter->progressHandler;
  ctx->fillPixels = fill.pixelData;
  ctx->fillRowBytes = static_cast<int32_t>(fill.rowBytes);
  ctx->fillPixelBytes = static_cast<int32_t>(fill.bytesPerPixel);
  ctx->fill = &fill;
  return true;
}

// The row workers (effects/blend_workers.cpp).
using lumeno::blend::kWorkers;

// Fills the destination fields, the mask and the pixel function, and picks
// the worker.
FilterRowProc FinishContext(BlendParams* ctx, int64_t mode, ZARKobjectStruct* fillMask,
                            RawBitmap* destination) {
  ctx->base.dstPixels = destination->pixelData;
  ctx->base.dstRowBytes = static_cast<int32_t>(destination->rowBytes);
  ctx->base.dstPixelBytes = static_cast<int32_t>(destination->bytesPerPixel);
  ctx->base.destination = destination;
  const bool masked = fillMask != nullptr;
  if (masked) ctx->fillMask = GetRawBitmapMaskData(fillMask);
  const bool isMode = mode != 0;
  ctx->mode = mode;
  if (isMode) ctx->blendProc = BlendProcFor(mode);
  const bool fillAlpha = ctx->fill->hasAlpha != 0;
  return kWorkers[(isMode ? 4 : 0) + (fillAlpha ? 2 : 0) + (masked ? 1 : 0)];
}

// A destination of the source's size and format, with its extra data and
// metadata. Null when it cannot be created.
ZARKobjectStruct* CreateDestination(const RawBitmap& source, RawBitmap** record) {
  ZARKobjectStruct* object =
      CreateRawBitmap(source.width, source.height, 0, source.imageFormat, record);
  if (object == nullptr) return nullptr;
  CopyExtraData(source, **record);
  CopyMetadata(source, **record);
  return object;
}

// -- Methods ---------------------------------------------------------------------

// Neither Apply nor ApplyAsync resets ErrorCode (no engine call here does):
// after a success it still shows the code of an earlier failure.
ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source,
                        ZARKobjectStruct* fillBitmap, double opacity, ZARKobjectStruct* fillMask,
                        ZARKobjectStruct* location, ZARKobjectStruct* size) {
  MPImageFilterData* filter = FilterData(self);
  const int64_t mode = Data(self)->blendMode;
  BlendParams ctx{};
  if (!PrepareBlend(filter, mode, source, fillBitmap, location, size, opacity, &ctx)) {
    return nullptr;
  }
  RawBitmap* destination = nullptr;
  ZARKobjectStruct* result = CreateDestination(*ctx.base.source, &destination);
  if (result == nullptr) return FailWith(filter, kLumeno_OUT_OF_MEMORY);
  const FilterRowProc worker = FinishContext(&ctx, mode, fillMask, destination);
  filter->engine->RunFilterRows(filter, &ctx.base, worker, kBlendAutomaticThreads);
  return result;  // also after a cancel, with the rows done so far
}

ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
  const BlendData& data = *Data(self);
  return Apply(self, source, data.fillBitmap, data.opacity, data.fillMask, data.location,
               data.size);
}

// Drops the holds an asynchronous run kept on its fill and fill mask; the
// engine then frees the context.
signed char ReleaseBlendRun(ZARKobjectStruct*, GenericMPParams* params) {
  auto* ctx = reinterpret_cast<BlendParams*>(params);
  if (ctx->heldFillMask != nullptr) ZARKUnlockObject(ctx->heldFillMask);
  if (ctx->heldFill != nullptr) ZARKUnlockObject(ctx->heldFill);
  ctx->heldFillMask = nullptr;
  ctx->heldFill = nullptr;
  return 1;
}

void ApplyAsync(ZARKobjectStruct* self, ZARKobjectStruct* source, ZARKobjectStruct* target,
                void* method) {
  MPImageFilterData* filter = FilterData(self);
  const BlendData& data = *Data(self);
  if (filter->asyncRun != nullptr) {
    FailWith(filter, kLumeno_ASYNC_METHOD_ALLREADY_RUNNING_ON_THIS_INSTANCE);
    return;
  }
  auto* ctx = lumeno::NewAsyncParams<BlendParams>();
  if (ctx == nullptr) {
    FailWith(filter, kLumeno_OUT_OF_MEMORY);
    return;
  }
  if (!PrepareBlend(filter, data.blendMode, source, data.fillBitmap, data.location, data.size,
                    data.opacity, ctx)) {
    std::free(ctx);
    return;
  }
  RawBitmap* destination = nullptr;
  ZARKobjectStruct* result = CreateDestination(*ctx->base.source, &destination);
  if (result == nullptr) {
    std::free(ctx);
    FailWith(filter, kLumeno_OUT_OF_MEMORY);
    return;
  }
  if (target != nullptr) ZARKLockObject(target);
  if (filter->completeTarget != nullptr) ZARKUnlockObject(filter->completeTarget);
  filter->completeTarget = target;
  filter->completeMethod = method;
  if (filter->asyncResult != nullptr) ZARKUnlockObject(filter->asyncResult);
  filter->asyncResult = result;

  const FilterRowProc worker = FinishContext(ctx, data.blendMode, data.fillMask, destination);
  // The run reads the fill's pixels and calls the mask until it ends, even
  // if the properties are replaced meanwhile: it holds both objects.
  ctx->heldFill = data.fillBitmap;
  ZARKLockObject(ctx->heldFill);
  ctx->heldFillMask = data.fillMask;
  if (ctx->heldFillMask != nullptr) ZARKLockObject(ctx->heldFillMask);
  filter->engine->StartFilterRowsAsync(self, filter, source, &ctx->base, worker,
                                       kBlendAutomaticThreads, &ReleaseBlendRun);
  // A new run starts un-cancelled, whatever an earlier Cancel() left.
  filter->canceled = false;
}

// -- Class frame -------------------------------------------------------------------

void Construct(ZARKobjectStruct* self) { Data(self)->fillMask = nullptr; }

// Drops every hold the instance data keeps (the host's standard setter took
// one for each object it stored).
void Destruct(ZARKobjectStruct* self) {
  BlendData& data = *Data(self);
  for (ZARKobjectStruct** field : {&data.fillMask, &data.fillBitmap, &data.location, &data.size}) {
    if (*field != nullptr) ZARKUnlockObject(*field);
    *field = nullptr;
  }
}

int64_t GetBlendMode(ZARKobjectStruct* self, intptr_t) { return Data(self)->blendMode; }
void SetBlendMode(ZARKobjectStruct* self, intptr_t, int64_t mode) { Data(self)->blendMode = mode; }
ZARKobjectStruct* GetFillMask(ZARKobjectStruct* self, intptr_t) {
  return GetHeldObject(&Data(self)->fillMask);
}
void SetFillMask(ZARKobjectStruct* self, intptr_t, ZARKobjectStruct* mask) {
  SetHeldObject(&Data(self)->fillMask, mask);
}

using lumeno::Entry;
using lumeno::Field;

const ZARKpropertyDefinition kProperties[] = {
    lumeno::Property("BlendMode", "BlendEffectRaw.BlendModeValues", Entry(&GetBlendMode),
                     Entry(&SetBlendMode)),
    Field("FillBitmap", "RawBitmap", offsetof(BlendData, fillBitmap)),
    lumeno::Property("FillMask", "RawBitmapMask", Entry(&GetFillMask), Entry(&SetFillMask)),
    Field("Location", "PointF", offsetof(BlendData, location)),
    Field("Size", "SizeF", offsetof(BlendData, size)),
    Field("Opacity", "Double", offsetof(BlendData, opacity)),
};

const ZARKmethodDefinition kMethods[] = {
    lumeno::Method(&ApplyStored, lumeno::kApplyDeclaration),
    lumeno::Method(
        &Apply,
        "Apply(source as RawBitmap, fillBitmap as RawBitmap,opacity as Double,fillMask as "
        "RawBitmapMask,location as PointF,size as SizeF) as RawBitmap"),
    lumeno::Method(&ApplyAsync, lumeno::kApplyAsyncDeclaration),
};

const char* const kBlendModeFields[kBlendModeCount] = {
    "NORMAL = 0",       "MULTIPLY = 1",     "SCREEN = 2",        "OVERLAY = 3",
    "DARKEN = 4",       "LIGHTEN = 5",      "COLOR_DODGE = 6",   "COLOR_BURN = 7",
    "SOFT_LIGHT = 8",   "HARD_LIGHT = 9",   "DIFFERENCE = 10",   "EXCLUSION = 11",
    "HUE = 12",         "SATURATION = 13",  "COLOR = 14",        "LUMINOSITY = 15",
    "PIN_LIGHT = 16",   "SHARP_LIGHT = 17", "VIVID_LIGHT = 18",  "LINEAR_LIGHT = 19",
    "POWER_LIGHT = 20", "LINEAR_BURN = 21", "LINEAR_DODGE = 22", "ADD = 23",
};

const ZARKenumDefinition kEnums[] = {
    {"BlendModeValues", "Integer", 32, kBlendModeFields, kBlendModeCount, {}},
};

}  // namespace

ZARKclassDefinition BlendEffectRaw = lumeno::Class({
    .name = "BlendEffectRaw",
    .superName = "MPImageFilterRaw",
    .dataSize = sizeof(BlendData),
    .constructor = &Construct,
    .destructor = &Destruct,
    .properties = kProperties,
    .methods = kMethods,
    .interfaces = lumeno::kProcessorInterfaces,
    .enums = kEnums,
});

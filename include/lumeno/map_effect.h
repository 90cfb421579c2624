// The map effect for other plug-ins: every red, green and blue (cyan,
// magenta, yellow) value of a RawBitmap replaced by its channel's lookup
// table, run on the filter engine of the caller's own filter object.
//
// Two ways in: link against liblumenoraw.so and call these functions, or,
// without linking, ask any filter's engine table for them by number:
//   auto apply = reinterpret_cast<ApplyMapEffectProc>(data->engine->GetMapEffectProc(1));
// (1 ApplyMapEffect, 2 ApplyMapEffectInPlace, 3 ApplyMapEffectAsync,
// 4 ApplyMapEffectInPlaceAsync; anything else gives null).
//
// `data` is the MPImageFilterData of a filter object (an instance of a class
// derived from MPImageFilterRaw: the host's plug-in data of that object for
// the class MPImageFilterRaw). The tables of `params` must exist for the
// three colour channels; the engine fills every GenericMPParams field.
// Failures are reported in data->errorCode (5, 6, 3; 10 for the
// asynchronous forms); the asynchronous forms release `params` through
// releaseParamsProc (or free() it when that is null) when the run ends or
// its start fails.
#pragma once

#include "lumeno/engine.h"

#ifndef LUMENO_EXPORT
#define LUMENO_EXPORT __attribute__((visibility("default")))
#endif

LUMENO_EXPORT ZARKobjectStruct* ApplyMapEffect(MPImageFilterData* data, ZARKobjectStruct* source,
                                               ZARKobjectStruct* mask, MapParams* params,
                                               signed char depthFlags,
                                               signed char destinationOptions);
LUMENO_EXPORT void ApplyMapEffectInPlace(MPImageFilterData* data, ZARKobjectStruct* source,
                                         ZARKobjectStruct* mask, MapParams* params,
                                         signed char depthFlags);
LUMENO_EXPORT void ApplyMapEffectAsync(ZARKobjectStruct* self, MPImageFilterData* data,
                                       ZARKobjectStruct* source, ZARKobjectStruct* mask,
                                       MapParams* params, signed char depthFlags,
                                       signed char destinationOptions,
                                       ZARKobjectStruct* completeTarget, void* completeMethod,
                                       ReleaseParamsProc releaseParamsProc);
LUMENO_EXPORT void ApplyMapEffectInPlaceAsync(ZARKobjectStruct* self, MPImageFilterData* data,
                                              ZARKobjectStruct* source, ZARKobjectStruct* mask,
                                              MapParams* params, signed char depthFlags,
                                              ZARKobjectStruct* completeTarget,
                                              void* completeMethod,
                                              ReleaseParamsProc releaseParamsProc);

// The types of the four functions as GetMapEffectProc hands them out.
using ApplyMapEffectProc = decltype(&ApplyMapEffect);
using ApplyMapEffectInPlaceProc = decltype(&ApplyMapEffectInPlace);
using ApplyMapEffectAsyncProc = decltype(&ApplyMapEffectAsync);
using ApplyMapEffectInPlaceAsyncProc = decltype(&ApplyMapEffectInPlaceAsync);

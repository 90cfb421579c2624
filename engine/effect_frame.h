// The effect class frame: the Apply forms of an effect (new bitmap, in
// place, each with given or stored values, and the two asynchronous forms),
// its constructor, its Mask member and its method records, written once over
// a short description of the effect. An effect file then holds only its
// formula, its validation rules and its data (effects/brightness.cpp is the
// plainest example).
#pragma once

#include <array>
#include <cstddef>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "engine/filter_base.h"
#include "lumeno/declarations.h"
#include "shell/records.h"

namespace lumeno {

// The four ways an effect runs.
enum class Form { kNewBitmap, kInPlace, kAsync, kInPlaceAsync };

constexpr bool IsAsync(Form form) { return form == Form::kAsync || form == Form::kInPlaceAsync; }
constexpr bool IsInPlace(Form form) {
  return form == Form::kInPlace || form == Form::kInPlaceAsync;
}

// When an asynchronous form takes its zero-filled heap context.
enum class AsyncAllocation {
  // After the value and source checks, before the depth is examined; a
  // context that could not be allocated is reported (code 11) by the engine
  // call, so a refused depth still reports code 6.
  kAfterValueChecks,
  // Before anything else: no memory is code 11 at once.
  kFirst,
};

// What an effect's description says, and the common choices. A description
// derives from this and declares:
//   kRecord       its class definition
//   Data          its instance data (after MPImageFilterData), with `mask`
//   Params        its run context: `base` (a GenericMPParams), then its
//                 parameter block
//   Values        an aggregate of the Single values its Apply forms take
//                 after the source, in declaration order (empty: none)
//   Construct(Data&)              the constructor's initial values
//   Stored(const Data&) -> Values the property values the stored forms use
//   Accepts(values, source object, form) -> bool
//                 the value and source checks (false: code 4); the source
//                 may be null
//   Prepare(values, source record, form, Params*, EffectWorkers*) -> bool
//                 fills the parameter block and picks the workers for the
//                 source's depth (false: code 6)
// and redeclares any of the constants below that differ for it.
struct EffectDescription {
  // Declarations of the forms with given values (when Values has any).
  static constexpr const char* kApplyValues = nullptr;
  static constexpr const char* kApplyInPlaceValues = nullptr;
  // Also register "ApplyInPlace(source as RawBitmap)" with the stored values.
  static constexpr bool kStoredInPlace = false;
  static constexpr AsyncAllocation kAllocation = AsyncAllocation::kAfterValueChecks;
  // destinationOptions of Apply and ApplyAsync.
  static constexpr signed char kNewBitmapOptions = kDestinationCopyExtraData;
};

// The common case of one Single value, with the declarations brightness,
// contrast and sepia share.
struct OneValueDescription : EffectDescription {
  struct Values {
    float value;
  };
  static constexpr const char* kApplyValues = kApplyValueDeclaration;
  static constexpr const char* kApplyInPlaceValues = kApplyInPlaceValueDeclaration;
};

// One Single value that the forms refuse below kLow or above kHigh (whole
// bounds; NaN passes), as they refuse a missing source.
template <int kLow, int kHigh>
struct OneValueWithin : OneValueDescription {
  static bool Accepts(Values v, ZARKobjectStruct* source, Form) {
    return !(v.value < static_cast<float>(kLow) || source == nullptr ||
             v.value > static_cast<float>(kHigh));
  }
};

// The number of Single values in a Values aggregate.
template <typename Values>
constexpr std::size_t kSingleCount = std::is_empty_v<Values> ? 0 : sizeof(Values) / sizeof(float);

template <std::size_t>
using Single = float;

template <typename E, typename = std::make_index_sequence<kSingleCount<typename E::Values>>>
class EffectFrame;

template <typename E, std::size_t... kValue>
class EffectFrame<E, std::index_sequence<kValue...>> {
 public:
  using Data = typename E::Data;
  using Params = typename E::Params;
  using Values = typename E::Values;
  using Mask = MaskMember<Data, E::kRecord>;

  static_assert(std::is_aggregate_v<Values> && sizeof...(kValue) * sizeof(float) ==
                                                   (std::is_empty_v<Values> ? 0 : sizeof(Values)));
  static_assert(offsetof(Params, base) == 0);

  static Data* Of(ZARKobjectStruct* self) {
    return static_cast<Data*>(ZARKGetClassData(self, E::kRecord));
  }

  static void Construct(ZARKobjectStruct* self) { E::Construct(*Of(self)); }

  // -- The Apply forms -------------------------------------------------------

  static ZARKobjectStruct* Apply(ZARKobjectStruct* self, ZARKobjectStruct* source,
                                 Single<kValue>... values) {
    return Run(self, source, Values{values...}, Form::kNewBitmap, nullptr, nullptr);
  }
  static ZARKobjectStruct* ApplyStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
    return Run(self, source, E::Stored(*Of(self)), Form::kNewBitmap, nullptr, nullptr);
  }
  static void ApplyInPlace(ZARKobjectStruct* self, ZARKobjectStruct* source,
                           Single<kValue>... values) {
    Run(self, source, Values{values...}, Form::kInPlace, nullptr, nullptr);
  }
  static void ApplyInPlaceStored(ZARKobjectStruct* self, ZARKobjectStruct* source) {
    Run(self, source, E::Stored(*Of(self)), Form::kInPlace, nullptr, nullptr);
  }
  static void ApplyAsync(ZARKobjectStruct* self, ZARKobjectStruct* source,
                         ZARKobjectStruct* completeTarget, void* completeMethod) {
    Run(self, source, E::Stored(*Of(self)), Form::kAsync, completeTarget, completeMethod);
  }
  static void ApplyInPlaceAsync(ZARKobjectStruct* self, ZARKobjectStruct* source,
                                ZARKobjectStruct* completeTarget, void* completeMethod) {
    Run(self, source, E::Stored(*Of(self)), Form::kInPlaceAsync, completeTarget, completeMethod);
  }

  // -- Records -----------------------------------------------------------------

  // A Single property kept in the instance data, with custom accessors that
  // read and write it without any check.
  template <float Data::*kField>
  static ZARKpropertyDefinition SingleProperty(const char* name) {
    return Property(name, "Single", Entry(&GetSingle<kField>), Entry(&SetSingle<kField>));
  }

  // Which of the six forms are registered, in their registered order: the
  // forms with given values when the effect takes any, each before its
  // stored-value form.
  static constexpr bool kTakesValues = sizeof...(kValue) > 0;
  static constexpr bool kRegistered[] = {
      kTakesValues, true, kTakesValues, !kTakesValues || E::kStoredInPlace, true, true};
  static constexpr std::size_t kMethodCount = [] {
    std::size_t count = 0;
    for (bool registered : kRegistered) count += registered ? 1 : 0;
    return count;
  }();

  static inline const std::array<ZARKmethodDefinition, kMethodCount> kMethods = [] {
    const ZARKmethodDefinition forms[] = {
        Method(&Apply, E::kApplyValues),
        Method(&ApplyStored, kApplyDeclaration),
        Method(&ApplyInPlace, E::kApplyInPlaceValues),
        Method(&ApplyInPlaceStored, kApplyInPlaceDeclaration),
        Method(&ApplyAsync, kApplyAsyncDeclaration),
        Method(&ApplyInPlaceAsync, kApplyInPlaceAsyncDeclaration),
    };
    std::array<ZARKmethodDefinition, kMethodCount> rows{};
    std::size_t next = 0;
    for (std::size_t i = 0; i < std::size(forms); ++i) {
      if (kRegistered[i]) rows[next++] = forms[i];
    }
    return rows;
  }();

  // The class record of an effect derived from MPImageFilterRaw.
  static constexpr ZARKclassDefinition Class(const char* name,
                                             std::span<const ZARKpropertyDefinition> properties,
                                             const char* interfaces) {
    return lumeno::Class({
        .name = name,
        .superName = "MPImageFilterRaw",
        .dataSize = sizeof(Data),
        .constructor = &Construct,
        .destructor = &Mask::Release,
        .properties = properties,
        .methods = kMethods,
        .interfaces = interfaces,
    });
  }

 private:
  static constexpr int32_t kAutomaticThreads = 2;

  template <float Data::*kField>
  static float GetSingle(ZARKobjectStruct* self, intptr_t) {
    return Of(self)->*kField;
  }
  template <float Data::*kField>
  static void SetSingle(ZARKobjectStruct* self, intptr_t, float value) {
    Of(self)->*kField = value;
  }

  // Every form: the effect's checks, its context and workers, then the
  // engine operation of the form. A failure stores its code and returns
  // null; the engine resets ErrorCode when it starts.
  static ZARKobjectStruct* Run(ZARKobjectStruct* self, ZARKobjectStruct* sourceObject,
                               const Values& values, Form form, ZARKobjectStruct* completeTarget,
                               void* completeMethod) {
    MPImageFilterData* filter = FilterData(self);
    const bool async = IsAsync(form);
    Params* heap = nullptr;
    if (async && E::kAllocation == AsyncAllocation::kFirst) {
      heap = NewAsyncParams<Params>();
      if (heap == nullptr) return FailWith(filter, kLumeno_OUT_OF_MEMORY);
    }
    if (!E::Accepts(values, sourceObject, form)) {
      std::free(heap);
      return FailWith(filter, kLumeno_ILLEGAL_INPUT_PARAMETER);
    }
    if (async && E::kAllocation == AsyncAllocation::kAfterValueChecks) {
      heap = NewAsyncParams<Params>();
    }
    RawBitmap* source = GetRawBitmapData(sourceObject);
    Params local{};
    EffectWorkers w;
    if (!E::Prepare(values, *source, form, &local, &w)) {
      std::free(heap);
      return FailWith(filter, kLumeno_NOT_SUPPORTED_DEPTH);
    }
    ZARKobjectStruct* mask = Of(self)->mask;
    const MPEngineOperations& engine = *filter->engine;
    const FilterRowProc plain = w.workers.plain;
    const FilterRowProc masked = w.workers.masked;
    switch (form) {
      case Form::kNewBitmap:
        return engine.ApplyFilter(filter, &local.base, plain, masked, source, mask,
                                  kAutomaticThreads, w.depthFlags, E::kNewBitmapOptions);
      case Form::kInPlace:
        engine.ApplyFilterInPlace(filter, &local.base, plain, masked, source, mask,
                                  kAutomaticThreads, w.depthFlags);
        return nullptr;
      case Form::kAsync:
      case Form::kInPlaceAsync:
        break;
    }
    // The engine owns the heap context once handed over and frees it when
    // the run ends (a null releaseParamsProc).
    if (heap == nullptr) return FailWith(filter, kLumeno_OUT_OF_MEMORY);
    *heap = local;
    if (form == Form::kAsync) {
      engine.ApplyFilterAsync(self, filter, sourceObject, &heap->base, plain, masked, source, mask,
                              kAutomaticThreads, w.depthFlags, E::kNewBitmapOptions, completeTarget,
                              completeMethod, nullptr);
    } else {
      engine.ApplyFilterInPlaceAsync(self, filter, sourceObject, &heap->base, plain, masked, source,
                                     mask, kAutomaticThreads, w.depthFlags, completeTarget,
                                     completeMethod, nullptr);
    }
    return nullptr;
  }
};

}  // namespace lumeno

// Host-entry wrappers: arrays. The typed wrappers resolve a procedure finder
// per element type and operation; the finder answers, for one array, the
// procedure that does the work, or null.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_ARRAYS(LUMENO_DEFINE_WRAPPER)

namespace {

using ProcedureFinder = void* (*)(ZARKarrayStruct* array);

// The array's procedure for the entry cached in `slot`, or null.
void* FindArrayProcedure(void*& slot, const char* finderName, ZARKarrayStruct* array) {
  void* finder = lumeno::shell::ResolveSlot(slot, finderName);
  if (finder == nullptr) return nullptr;
  return reinterpret_cast<ProcedureFinder>(finder)(array);
}

}  // namespace

// Insert passes (array, index, value); set passes the value before the index.
#define LUMENO_DEFINE_ARRAY_WRAPPERS(word, type)                                                 \
  namespace {                                                                                    \
  void* insert##word##Slot = nullptr;                                                            \
  void* get##word##Slot = nullptr;                                                               \
  void* set##word##Slot = nullptr;                                                               \
  }                                                                                              \
  void ZARKInsertArrayValue##word(ZARKarrayStruct* array, int64_t index, type value) {           \
    void* procedure =                                                                            \
        FindArrayProcedure(insert##word##Slot, "Plugin" #word "ArrayInsertProc", array);         \
    if (procedure == nullptr) return;                                                            \
    reinterpret_cast<void (*)(ZARKarrayStruct*, int64_t, type)>(procedure)(array, index, value); \
  }                                                                                              \
  void ZARKGetArrayValue##word(ZARKarrayStruct* array, int64_t index, type* out) {               \
    void* procedure = FindArrayProcedure(get##word##Slot, "Plugin" #word "ArrayGetProc", array); \
    if (out == nullptr || procedure == nullptr) return;                                          \
    *out = reinterpret_cast<type (*)(ZARKarrayStruct*, int64_t)>(procedure)(array, index);       \
  }                                                                                              \
  void ZARKSetArrayValue##word(ZARKarrayStruct* array, int64_t index, type value) {              \
    void* procedure = FindArrayProcedure(set##word##Slot, "Plugin" #word "ArraySetProc", array); \
    if (procedure == nullptr) return;                                                            \
    reinterpret_cast<void (*)(ZARKarrayStruct*, type, int64_t)>(procedure)(array, value, index); \
  }

LUMENO_ARRAY_ELEMENT_TYPES(LUMENO_DEFINE_ARRAY_WRAPPERS)
#undef LUMENO_DEFINE_ARRAY_WRAPPERS

// The overloads by C type (their sets are in the header), each forwarding
// to its typed wrapper.
#define LUMENO_INSERT_OVERLOAD(word, type)                                       \
  void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, type value) { \
    ZARKInsertArrayValue##word(array, index, value);                             \
  }
#define LUMENO_GET_OVERLOAD(word, type)                                      \
  void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, type* out) { \
    ZARKGetArrayValue##word(array, index, out);                              \
  }
#define LUMENO_SET_OVERLOAD(word, type)                                       \
  void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, type value) { \
    ZARKSetArrayValue##word(array, index, value);                             \
  }

LUMENO_ARRAY_INSERT_OVERLOADS(LUMENO_INSERT_OVERLOAD)
LUMENO_ARRAY_GET_OVERLOADS(LUMENO_GET_OVERLOAD)
LUMENO_ARRAY_SET_OVERLOADS(LUMENO_SET_OVERLOAD)

#undef LUMENO_INSERT_OVERLOAD
#undef LUMENO_GET_OVERLOAD
#undef LUMENO_SET_OVERLOAD

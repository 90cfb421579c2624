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

void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, int16_t value) {
  ZARKInsertArrayValueInt16(array, index, value);
}
void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, uint16_t value) {
  ZARKInsertArrayValueUInt16(array, index, value);
}
void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, double value) {
  ZARKInsertArrayValueDouble(array, index, value);
}
void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, float value) {
  ZARKInsertArrayValueSingle(array, index, value);
}
void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, ZARKstringStruct* value) {
  ZARKInsertArrayValueString(array, index, value);
}
void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, ZARKobjectStruct* value) {
  ZARKInsertArrayValueObject(array, index, value);
}

void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, int16_t* out) {
  ZARKGetArrayValueInt16(array, index, out);
}
void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, uint16_t* out) {
  ZARKGetArrayValueUInt16(array, index, out);
}
void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, ZARKstringStruct** out) {
  ZARKGetArrayValueString(array, index, out);
}
void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, RuntimeText** out) {
  ZARKGetArrayValueText(array, index, out);
}
void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, ZARKobjectStruct** out) {
  ZARKGetArrayValueObject(array, index, out);
}
void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, double* out) {
  ZARKGetArrayValueDouble(array, index, out);
}
void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, float* out) {
  ZARKGetArrayValueSingle(array, index, out);
}

void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, int16_t value) {
  ZARKSetArrayValueInt16(array, index, value);
}
void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, uint16_t value) {
  ZARKSetArrayValueUInt16(array, index, value);
}
void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, double value) {
  ZARKSetArrayValueDouble(array, index, value);
}
void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, float value) {
  ZARKSetArrayValueSingle(array, index, value);
}
void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, ZARKstringStruct* value) {
  ZARKSetArrayValueString(array, index, value);
}
void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, RuntimeText* value) {
  ZARKSetArrayValueText(array, index, value);
}
void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, ZARKobjectStruct* value) {
  ZARKSetArrayValueObject(array, index, value);
}

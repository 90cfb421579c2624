// Host-entry wrappers: property getters and setters, and their overloads.
#include "shell/standard_wrapper.h"

#define LUMENO_PROPERTY_ROW LUMENO_DEFINE_WRAPPER
LUMENO_WRAPPERS_PROPERTIES
#undef LUMENO_PROPERTY_ROW

bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, int16_t* out) {
  return ZARKGetPropValueInt16(object, name, out);
}
bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, uint16_t* out) {
  return ZARKGetPropValueUInt16(object, name, out);
}
bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, double* out) {
  return ZARKGetPropValueDouble(object, name, out);
}
bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, float* out) {
  return ZARKGetPropValueSingle(object, name, out);
}
bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, ZARKstringStruct** out) {
  return ZARKGetPropValueString(object, name, out);
}
bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, ZARKobjectStruct** out) {
  return ZARKGetPropValueObject(object, name, out);
}

bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, ZARKstringStruct* value) {
  return ZARKSetPropValueString(object, name, value);
}
bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, double value) {
  return ZARKSetPropValueDouble(object, name, value);
}
// An object handle travels through the Ptr setter.
bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, ZARKobjectStruct* value) {
  return ZARKSetPropValuePtr(object, name, value);
}
bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, uint16_t value) {
  return ZARKSetPropValueUInt16(object, name, value);
}
bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, int16_t value) {
  return ZARKSetPropValueInt16(object, name, value);
}
bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, float value) {
  return ZARKSetPropValueSingle(object, name, value);
}
bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, const char* value) {
  return ZARKSetPropValueCString(object, name, value);
}
bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, const wchar_t* value) {
  return ZARKSetPropValueWString(object, name, value);
}

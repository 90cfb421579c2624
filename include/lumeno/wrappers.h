// The host-entry wrapper family: one small exported function per host
// service. A wrapper resolves its entry by name through the resolver the host
// handed to ZARKPluginMain on its first call, keeps it for the rest of the
// process, and returns zero (null, false, 0) or does nothing while the host
// lacks the entry; a missing entry is asked for again on the next call. Other
// plug-ins in the same process may call any of them.
//
// Most members are listed in the tables below, one row each:
//   X(result type, wrapper name, "host entry name", (parameters), (arguments))
// The tables drive both these declarations and the definitions in
// shell/wrappers_*.cpp. Members that do more than "resolve, then forward"
// are declared by hand after the tables of their family.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumeno/zark.h"

#ifndef LUMENO_EXPORT
#define LUMENO_EXPORT __attribute__((visibility("default")))
#endif

// The tables below are laid out by hand: the formatter would read the
// parameter lists inside macro arguments as products.
// clang-format off

// Procedure types taken by some entries.
using ZARKBackgroundTaskProc = void (*)(ZARKobjectStruct* data);
using ZARKProtectedProc = void (*)(void* data);

// -- Runtime and classes ----------------------------------------------------------
#define LUMENO_WRAPPERS_RUNTIME(X)                                                               \
  X(void*, ZARKGetPluginData, "PluginGetPluginData",                                             \
    (ZARKobjectStruct* object, ZARKclassRefStruct* classRef), (object, classRef))                \
  X(bool, ZARKObjectIsA, "RuntimeObjectIsa",                                                      \
    (ZARKobjectStruct* object, ZARKclassRefStruct* classRef), (object, classRef))                \
  X(ZARKobjectStruct*, ZARKCallFunctionWithExceptionHandler,                                     \
    "PluginCallFunctionWithExceptionHandler", (ZARKProtectedProc function, void* data),          \
    (function, data))                                                                            \
  X(void*, ZARKGetDelegateInvoker, "PluginGetDelegateInvoker", (ZARKobjectStruct* delegate),     \
    (delegate))                                                                                  \
  X(bool, ZARKinRuntime, "ZARKinRuntime", (), ())                                                \
  X(void, ZARKUnregisterBackgroundTask, "PluginUnregisterBackgroundTask", (int32_t taskId),      \
    (taskId))                                                                                    \
  X(void, ZARKRegisterClass, "PluginRegisterClass", (ZARKclassDefinition* definition),           \
    (definition))                                                                                \
  X(void, ZARKRegisterModule, "PluginRegisterModule", (ZARKmoduleDefinition* module), (module))  \
  X(void, ZARKRegisterInterface, "PluginRegisterInterface", (void* definition), (definition))    \
  X(void, ZARKRegisterStructure, "PluginRegisterStructure", (void* definition), (definition))    \
  X(void, ZARKRegisterEnum, "PluginRegisterEnum", (ZARKenumDefinition* definition),              \
    (definition))                                                                                \
  X(void, ZARKRegisterMethod, "PluginRegisterMethod", (ZARKmethodDefinition* definition),        \
    (definition))                                                                                \
  X(void, ZARKRegisterClassExtension, "PluginRegisterClassExtension", (void* definition),        \
    (definition))                                                                                \
  X(void*, ZARKLoadObjectMethod, "ZARKLoadObjectMethod",                                         \
    (ZARKobjectStruct* object, const char* declaration), (object, declaration))                  \
  X(void*, ZARKLoadSharedMethod, "PluginLoadSharedMethod",                                       \
    (ZARKclassRefStruct* classRef, const char* declaration), (classRef, declaration))            \
  X(void, ZARKLockObject, "ZARKLockObject", (ZARKobjectStruct* object), (object))                \
  X(void, ZARKUnlockObject, "ZARKUnlockObject", (ZARKobjectStruct* object), (object))            \
  X(ZARKobjectStruct*, ZARKGetEventInstance, "GetEventInstance",                                 \
    (ZARKobjectStruct* object, void* eventDefinition), (object, eventDefinition))                \
  X(ZARKclassRefStruct*, ZARKGetClassRef, "pluginObjectType", (const char* className),          \
    (className))                                                                                 \
  X(ZARKobjectStruct*, ZARKnewInstance, "PluginNewInstance", (const char* className),           \
    (className))                                                                                 \
  X(void, ZARKRaiseException, "RuntimeRaiseException", (ZARKobjectStruct* exception),           \
    (exception))                                                                                 \
  X(void, ZARKYieldToHX, "ZARKYieldToHX", (), ())                                                \
  X(bool, ZARKInDebugMode, "ZARKInDebugMode", (), ())                                            \
  X(void*, ZARKInterfaceRoutine, "GetInterfaceRoutine",                                          \
    (ZARKobjectStruct* object, const char* interfaceName, const char* routineName),             \
    (object, interfaceName, routineName))                                                        \
  X(bool, ZARKIsDarkMode, "IsDarkMode", (), ())

// Members that answer something other than zero while their entry is missing:
//   X(result type, wrapper name, "host entry name", (parameters), (arguments), fallback)
#define LUMENO_WRAPPERS_WITH_FALLBACK(X)                                                     \
  X(double, ZARKGetHXVersion, "ZARKGetHXVersion", (), (), 0.0)                               \
  X(uint32_t, ZARKGetSystemTextEncoding, "ZARKGetSystemTextEncoding", (), (), 0x08000100u)   \
  X(int32_t, ZARKRegisterBackgroundTask, "PluginRegisterBackgroundTask",                     \
    (ZARKBackgroundTaskProc poll, uint32_t interval, ZARKobjectStruct* data),                \
    (poll, interval, data), -1)

// Creates an instance of a class; null for a null class reference, without
// calling the host ("CreateInstance").
LUMENO_EXPORT ZARKobjectStruct* ZARKnewInstanceWithClass(ZARKclassRefStruct* classRef);
// Same as ZARKnewInstanceWithClass.
LUMENO_EXPORT ZARKobjectStruct* ZARKnewInstance(ZARKclassRefStruct* classRef);
// "PluginNewInstanceOfClass"; without it, an instance of the class registered
// under the definition's name, or null.
LUMENO_EXPORT ZARKobjectStruct* ZARKnewInstanceOfClass(ZARKclassDefinition* definition);
// A global method by declaration ("ZARKLoadGlobalMethod", called with no module).
LUMENO_EXPORT void* ZARKLoadFrameworkMethod(const char* declaration);
// Same as ZARKLoadFrameworkMethod; the module argument is not used.
LUMENO_EXPORT void* ZARKLoadGlobalMethod(const char* module, const char* declaration);
// Instance address plus the offset the host stored in the definition; these
// two call no entry.
LUMENO_EXPORT void* ZARKGetClassData(ZARKobjectStruct* instance, ZARKclassDefinition* definition);
LUMENO_EXPORT void* ZARKGetControlData(ZARKobjectStruct* instance,
                                       ZARKcontrolDefinition* definition);
// Properties of an object's class, through the host's script resolver
// ("GetHXScriptResolver"); 0 when anything on the way is missing.
LUMENO_EXPORT int32_t ZARKCountClassProperties(ZARKobjectStruct* object);
LUMENO_EXPORT bool ZARKGetClassProperty(ZARKobjectStruct* object, int32_t index, void** getter,
                                        void** setter, intptr_t* parameter,
                                        const char** declaration);
// Class flag helpers: console-safe sets 4; web-only clears 8 and sets 0x100.
LUMENO_EXPORT void SetClassConsoleSafe(ZARKclassDefinition* definition);
LUMENO_EXPORT void SetClassWebOnly(ZARKclassDefinition* definition);

// -- Strings and text -------------------------------------------------------------
#define LUMENO_WRAPPERS_STRINGS(X)                                                             \
  X(void*, ZARKGetStringData, "PluginGetStringData",                                           \
    (ZARKstringStruct* string, uint32_t encoding, size_t* length), (string, encoding, length)) \
  X(void, ZARKDisposeStringData, "PluginDisposeStringData", (void* data), (data))              \
  X(int32_t, ZARKCompareStrings, "RuntimeStringCompare",                                       \
    (ZARKstringStruct* left, ZARKstringStruct* right), (left, right))                          \
  X(ZARKstringStruct*, ZARKAddStrings, "RuntimeAddString",                                     \
    (ZARKstringStruct* left, ZARKstringStruct* right), (left, right))                          \
  X(ZARKstringStruct*, ZARKBuildString, "ZARKBuildString", (const char* text, int32_t length), \
    (text, length))                                                                            \
  X(ZARKstringStruct*, ZARKBuildStringWithEncoding, "ZARKBuildStringWithEncoding",             \
    (const char* text, int32_t length, uint32_t encoding), (text, length, encoding))           \
  X(void, ZARKLockString, "ZARKLockString", (ZARKstringStruct* string), (string))              \
  X(void, ZARKUnlockString, "ZARKUnlockString", (ZARKstringStruct* string), (string))          \
  X(void, ZARKLockText, "ZARKLockText", (RuntimeText* text), (text))                           \
  X(void, ZARKUnlockText, "ZARKUnlockText", (RuntimeText* text), (text))                       \
  X(RuntimeText*, ZARKBuildText, "PluginBuildText",                                            \
    (const void* data, size_t length, uint32_t encoding), (data, length, encoding))            \
  X(int32_t, ZARKCompareText, "PluginCompareText",                                             \
    (RuntimeText* left, RuntimeText* right, uint32_t options), (left, right, options))         \
  X(RuntimeText*, ZARKConcatenateText, "PluginConcatenateText",                                \
    (RuntimeText* left, RuntimeText* right), (left, right))                                    \
  X(void*, ZARKGetTextData, "PluginGetTextData",                                               \
    (RuntimeText* text, uint32_t encoding, size_t* length), (text, encoding, length))          \
  X(void, ZARKDisposeTextData, "PluginDisposeTextData", (void* data), (data))                  \
  X(ZARKstringStruct*, ZARKStripAmpersands, "ZARKStripAmpersands", (ZARKstringStruct* string), \
    (string))                                                                                  \
  X(uint32_t, ZARKGetStringEncoding, "ZARKGetStringEncoding", (ZARKstringStruct* string),      \
    (string))                                                                                  \
  X(ZARKstringStruct*, ZARKConvertString, "ZARKConvertString",                                 \
    (ZARKstringStruct* string, uint32_t encoding), (string, encoding))                         \
  X(void, ZARKSetStringEncoding, "ZARKSetStringEncoding",                                      \
    (ZARKstringStruct* string, uint32_t encoding), (string, encoding))                         \
  X(uint32_t, ZARKstringToOSType, "StringToOSType", (ZARKstringStruct* string), (string))      \
  X(const char*, ZARKCString, "StringGetCString", (ZARKstringStruct* string), (string))        \
  X(const unsigned char*, ZARKPString, "StringGetPString", (ZARKstringStruct* string), (string))

// Same as ZARKBuildStringWithEncoding.
LUMENO_EXPORT ZARKstringStruct* ZARKBuildString(const char* text, int32_t length,
                                                uint32_t encoding);
// The text of a string ("StringGetCString") and, when `length` is given, its
// length in bytes from the framework method "LenB( s as string ) as integer".
// A null string answers null and leaves `length` alone.
LUMENO_EXPORT const char* ZARKGetStringContents(ZARKstringStruct* string, int64_t* length);
// Length in bytes through the framework method "LenB( s as string ) as integer".
LUMENO_EXPORT int64_t ZARKStringLength(ZARKstringStruct* string);

// -- Properties -------------------------------------------------------------------
// Getters store the value through `out` and answer whether it could be read;
// setters answer whether it could be written.
//   T(type word, C type, "host entry name")
#define LUMENO_PROPERTY_GETTER_TYPES(T)                  \
  T(Int32, int32_t, "ZARKGetPropValueInt")               \
  T(String, ZARKstringStruct*, "ZARKGetPropValueString") \
  T(Double, double, "ZARKGetPropValueDouble")            \
  T(Object, ZARKobjectStruct*, "ZARKGetPropValueObject") \
  T(Ptr, void*, "ZARKGetPropValuePtr")                   \
  T(CString, const char*, "ZARKGetPropValueCString")     \
  T(WString, const wchar_t*, "ZARKGetPropValueWString")  \
  T(PString, const unsigned char*, "ZARKGetPropValuePString") \
  T(Int64, int64_t, "ZARKGetPropValueInt64")             \
  T(UInt64, uint64_t, "ZARKGetPropValueUInt64")          \
  T(UInt32, uint32_t, "ZARKGetPropValueUInt32")          \
  T(UInt16, uint16_t, "ZARKGetPropValueUInt16")          \
  T(Int16, int16_t, "ZARKGetPropValueInt16")             \
  T(Boolean, bool, "ZARKGetPropValueBool")               \
  T(Single, float, "ZARKGetPropValueSingle")             \
  T(Color, uint32_t, "ZARKGetPropValueColor")            \
  T(Currency, int64_t, "ZARKGetPropValueCurrency")       \
  T(Integer, int64_t, "ZARKGetPropValueInteger")         \
  T(Text, RuntimeText*, "PluginGetPropValueText")

#define LUMENO_PROPERTY_SETTER_TYPES(T)                  \
  T(Int32, int32_t, "ZARKSetPropValueInt")               \
  T(String, ZARKstringStruct*, "ZARKSetPropValueString") \
  T(Double, double, "ZARKSetPropValueDouble")            \
  T(Object, ZARKobjectStruct*, "ZARKSetPropValueObject") \
  T(Color, uint32_t, "ZARKSetPropValueColor")            \
  T(Currency, int64_t, "ZARKSetPropValueCurrency")       \
  T(Integer, int64_t, "ZARKSetPropValueInteger")         \
  T(UInt32, uint32_t, "ZARKSetPropValueUInt32")          \
  T(UInt64, uint64_t, "ZARKSetPropValueUInt64")          \
  T(Int64, int64_t, "ZARKSetPropValueInt64")             \
  T(Int16, int16_t, "ZARKSetPropValueInt16")             \
  T(UInt16, uint16_t, "ZARKSetPropValueUInt16")          \
  T(Int8, int8_t, "ZARKSetPropValueInt8")                \
  T(UInt8, uint8_t, "ZARKSetPropValueBoolean")           \
  T(Boolean, bool, "ZARKSetPropValueBoolean")            \
  T(Single, float, "ZARKSetPropValueSingle")             \
  T(Ptr, void*, "ZARKSetPropValuePtr")                   \
  T(CString, const char*, "ZARKSetPropValueCString")     \
  T(WString, const wchar_t*, "ZARKSetPropValueWString")  \
  T(PString, const unsigned char*, "ZARKSetPropValuePString") \
  T(Text, RuntimeText*, "PluginSetPropValueText")

// One row of the getter or setter table in the form of the other tables.
#define LUMENO_PROPERTY_GETTER_ROW(X, word, type, entry)                                 \
  X(bool, ZARKGetPropValue##word, entry, (ZARKobjectStruct* object, const char* name,    \
                                          type* out), (object, name, out))
#define LUMENO_PROPERTY_SETTER_ROW(X, word, type, entry)                                 \
  X(bool, ZARKSetPropValue##word, entry, (ZARKobjectStruct* object, const char* name,    \
                                          type value), (object, name, value))

// Every getter and setter row, handed to the macro that LUMENO_PROPERTY_ROW
// names where this expands (declarations below, definitions in the shell).
#define LUMENO_PROPERTY_GETTER_OF(word, type, entry) \
  LUMENO_PROPERTY_GETTER_ROW(LUMENO_PROPERTY_ROW, word, type, entry)
#define LUMENO_PROPERTY_SETTER_OF(word, type, entry) \
  LUMENO_PROPERTY_SETTER_ROW(LUMENO_PROPERTY_ROW, word, type, entry)
#define LUMENO_WRAPPERS_PROPERTIES                           \
  LUMENO_PROPERTY_GETTER_TYPES(LUMENO_PROPERTY_GETTER_OF) \
  LUMENO_PROPERTY_SETTER_TYPES(LUMENO_PROPERTY_SETTER_OF)

// Overloads: the typed getter or setter of the argument's type. The object
// form of ZARKSetPropValue stores the handle through the Ptr setter.
LUMENO_EXPORT bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, int16_t* out);
LUMENO_EXPORT bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, uint16_t* out);
LUMENO_EXPORT bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, double* out);
LUMENO_EXPORT bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name, float* out);
LUMENO_EXPORT bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name,
                                    ZARKstringStruct** out);
LUMENO_EXPORT bool ZARKGetPropValue(ZARKobjectStruct* object, const char* name,
                                    ZARKobjectStruct** out);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name,
                                    ZARKstringStruct* value);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, double value);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name,
                                    ZARKobjectStruct* value);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, uint16_t value);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, int16_t value);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, float value);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name, const char* value);
LUMENO_EXPORT bool ZARKSetPropValue(ZARKobjectStruct* object, const char* name,
                                    const wchar_t* value);

// -- Variants ---------------------------------------------------------------------
#define LUMENO_WRAPPERS_VARIANTS(X)                                                            \
  X(ZARKobjectStruct*, ZARKNewVariantString, "StringToVariant", (ZARKstringStruct* value),    \
    (value))                                                                                   \
  X(ZARKobjectStruct*, ZARKNewVariantStructure, "PluginStructureToVariant",                    \
    (void* definition, const void* data), (definition, data))                                  \
  X(ZARKobjectStruct*, ZARKNewVariantPtr, "PtrToVariant", (void* value), (value))              \
  X(ZARKobjectStruct*, ZARKNewVariantCString, "CStringToVariant", (const char* value),        \
    (value))                                                                                   \
  X(ZARKobjectStruct*, ZARKNewVariantWString, "WStringToVariant", (const wchar_t* value),     \
    (value))                                                                                   \
  X(ZARKobjectStruct*, ZARKNewVariantPString, "PStringToVariant",                              \
    (const unsigned char* value), (value))                                                     \
  X(ZARKobjectStruct*, ZARKNewVariantOSType, "OSTypeToVariant", (uint32_t value), (value))     \
  X(ZARKobjectStruct*, ZARKNewVariantInteger, "Int32ToVariant", (int32_t value), (value))      \
  X(ZARKobjectStruct*, ZARKNewVariantHXInteger, "IntegerToVariant", (int64_t value), (value))  \
  X(ZARKobjectStruct*, ZARKNewVariantDouble, "DoubleToVariant", (double value), (value))       \
  X(ZARKobjectStruct*, ZARKNewVariantBoolean, "BooleanToVariant", (bool value), (value))       \
  X(ZARKobjectStruct*, ZARKNewVariantColor, "ColorToVariant", (uint32_t value), (value))       \
  X(ZARKobjectStruct*, ZARKNewVariantUInt32, "UInt32ToVariant", (uint32_t value), (value))     \
  X(ZARKobjectStruct*, ZARKNewVariantInt64, "Int64ToVariant", (int64_t value), (value))        \
  X(ZARKobjectStruct*, ZARKNewVariantUInt64, "UInt64ToVariant", (uint64_t value), (value))     \
  X(ZARKobjectStruct*, ZARKNewVariantSingle, "SingleToVariant", (float value), (value))        \
  X(ZARKobjectStruct*, ZARKNewVariantCurrency, "CurrencyToVariant", (int64_t value), (value))  \
  X(ZARKobjectStruct*, ZARKNewVariantText, "PluginNewVariantText", (RuntimeText* value),      \
    (value))                                                                                   \
  X(bool, ZARKGetVariantStructure, "PluginStructureFromVariant",                               \
    (ZARKobjectStruct* variant, void* definition, void* out), (variant, definition, out))

// -- Arrays -----------------------------------------------------------------------
// Element types of the typed array wrappers. Each resolves a procedure finder
// "Plugin<word>ArrayInsertProc" / "...GetProc" / "...SetProc": finder(array)
// answers the array's procedure, or null (then the wrapper does nothing).
//   ZARKInsertArrayValue<word>(array, index, value) calls procedure(array, index, value);
//   ZARKSetArrayValue<word>(array, index, value) calls procedure(array, value, index);
//   ZARKGetArrayValue<word>(array, index, out) stores procedure(array, index) into a
//   non-null out (the finder is asked even when out is null).
//   T(type word, C type)
#define LUMENO_ARRAY_ELEMENT_TYPES(T) \
  T(Color, uint32_t)                  \
  T(Integer, int64_t)                 \
  T(Boolean, bool)                    \
  T(Currency, int64_t)                \
  T(Int64, int64_t)                   \
  T(Int32, int32_t)                   \
  T(Int16, int16_t)                   \
  T(Int8, int8_t)                     \
  T(UInt64, uint64_t)                 \
  T(UInt32, uint32_t)                 \
  T(UInt16, uint16_t)                 \
  T(UInt8, uint8_t)                   \
  T(Single, float)                    \
  T(Double, double)                   \
  T(String, ZARKstringStruct*)        \
  T(Text, RuntimeText*)               \
  T(Object, ZARKobjectStruct*)

#define LUMENO_DECLARE_ARRAY_WRAPPERS(word, type)                                          \
  LUMENO_EXPORT void ZARKInsertArrayValue##word(ZARKarrayStruct* array, int64_t index,     \
                                                type value);                               \
  LUMENO_EXPORT void ZARKGetArrayValue##word(ZARKarrayStruct* array, int64_t index,        \
                                             type* out);                                   \
  LUMENO_EXPORT void ZARKSetArrayValue##word(ZARKarrayStruct* array, int64_t index, type value);
LUMENO_ARRAY_ELEMENT_TYPES(LUMENO_DECLARE_ARRAY_WRAPPERS)
#undef LUMENO_DECLARE_ARRAY_WRAPPERS

#define LUMENO_WRAPPERS_ARRAYS(X)                                                               \
  X(int64_t, ZARKGetArrayUBound, "RuntimeUBound", (ZARKarrayStruct* array), (array))            \
  X(void, ZARKGetArrayStructure, "RuntimeDirectReadStructureArray",                             \
    (ZARKarrayStruct* array, int64_t index, void* out), (array, index, out))                    \
  X(ZARKarrayStruct*, ZARKCreateArray, "RuntimeArrayCreateSingleDimBoundedArray",               \
    (int32_t elementType, int64_t upperBound), (elementType, upperBound))                       \
  X(int32_t, ZARKGetArrayInt, "RuntimeDirectReadIntArray",                                      \
    (ZARKarrayStruct* array, int64_t index), (array, index))                                    \
  X(ZARKstringStruct*, ZARKGetArrayString, "RuntimeDirectReadStringArray",                      \
    (ZARKarrayStruct* array, int64_t index), (array, index))                                    \
  X(ZARKobjectStruct*, ZARKGetArrayObject, "RuntimeDirectReadObjectArray",                      \
    (ZARKarrayStruct* array, int64_t index), (array, index))

// Overloads by C type, each forwarding to the typed wrapper of the value's
// type. Each operation has its own set.
#define LUMENO_ARRAY_INSERT_OVERLOADS(T) \
  T(Int16, int16_t)                      \
  T(UInt16, uint16_t)                    \
  T(Double, double)                      \
  T(Single, float)                       \
  T(String, ZARKstringStruct*)           \
  T(Object, ZARKobjectStruct*)
#define LUMENO_ARRAY_GET_OVERLOADS(T) \
  T(Int16, int16_t)                   \
  T(UInt16, uint16_t)                 \
  T(String, ZARKstringStruct*)        \
  T(Text, RuntimeText*)               \
  T(Object, ZARKobjectStruct*)        \
  T(Double, double)                   \
  T(Single, float)
#define LUMENO_ARRAY_SET_OVERLOADS(T) \
  LUMENO_ARRAY_INSERT_OVERLOADS(T)    \
  T(Text, RuntimeText*)

#define LUMENO_DECLARE_INSERT_OVERLOAD(word, type) \
  LUMENO_EXPORT void ZARKInsertArrayValue(ZARKarrayStruct* array, int64_t index, type value);
#define LUMENO_DECLARE_GET_OVERLOAD(word, type) \
  LUMENO_EXPORT void ZARKGetArrayValue(ZARKarrayStruct* array, int64_t index, type* out);
#define LUMENO_DECLARE_SET_OVERLOAD(word, type) \
  LUMENO_EXPORT void ZARKSetArrayValue(ZARKarrayStruct* array, int64_t index, type value);
LUMENO_ARRAY_INSERT_OVERLOADS(LUMENO_DECLARE_INSERT_OVERLOAD)
LUMENO_ARRAY_GET_OVERLOADS(LUMENO_DECLARE_GET_OVERLOAD)
LUMENO_ARRAY_SET_OVERLOADS(LUMENO_DECLARE_SET_OVERLOAD)
#undef LUMENO_DECLARE_INSERT_OVERLOAD
#undef LUMENO_DECLARE_GET_OVERLOAD
#undef LUMENO_DECLARE_SET_OVERLOAD

// -- Database ---------------------------------------------------------------------
#define LUMENO_WRAPPERS_DATABASE(X)                                                             \
  X(void, ZARKRegisterDBEngine, "PluginRegisterDBEngine", (void* definition), (definition))     \
  X(void, ZARKRegisterDBTable, "PluginRegisterDBTable", (void* definition), (definition))       \
  X(void, ZARKRegisterDBCursor, "PluginRegisterDBCursor", (void* definition), (definition))     \
  X(ZARKobjectStruct*, ZARKdbCursorFromDBCursor, "ZARKdbCursorFromDBCursor",                    \
    (void* cursor, void* definition), (cursor, definition))                                     \
  X(ZARKobjectStruct*, ZARKdbDatabaseFromDBDatabase, "ZARKdbDatabaseFromDBDatabase",            \
    (void* database, void* definition), (database, definition))                                 \
  X(void, ZARKRegisterDataSourceInterface, "RegisterDataSourceInterface", (void* definition),   \
    (definition))                                                                               \
  X(void, ZARKRegisterDataSource, "RegisterDataSource", (void* definition), (definition))       \
  X(void, ZARKRegisterDatabaseConnection, "RegisterDatabaseConnection", (void* definition),     \
    (definition))                                                                               \
  X(void, ZARKDesignAddDataSource, "DesignAddDataSource",                                       \
    (ZARKstringStruct* name, void* data), (name, data))                                         \
  X(ZARKstringStruct*, ZARKGetDBHost, "ZARKGetDBHost", (ZARKobjectStruct* database),           \
    (database))                                                                                 \
  X(ZARKstringStruct*, ZARKGetDBDatabaseName, "ZARKGetDBDatabaseName",                          \
    (ZARKobjectStruct* database), (database))                                                   \
  X(ZARKstringStruct*, ZARKGetDBPassword, "ZARKGetDBPassword", (ZARKobjectStruct* database),   \
    (database))                                                                                 \
  X(ZARKstringStruct*, ZARKGetDBUserName, "ZARKGetDBUserName", (ZARKobjectStruct* database),   \
    (database))                                                                                 \
  X(void*, ZARKGetDBFromZARKdbDatabase, "ZARKGetDBFromZARKdbDatabase",                          \
    (ZARKobjectStruct* database), (database))                                                   \
  X(ZARKobjectStruct*, ZARKConstructDBDatabase, "ZARKConstructDBDatabase",                      \
    (void* definition, void* database), (definition, database))                                 \
  X(void*, ZARKDBConnectionDialogCreate, "ZARKDBConnectionDialogCreate", (), ())                \
  X(void, ZARKDBConnectionDialogAddField, "ZARKDBConnectionDialogAddField",                     \
    (void* dialog, ZARKstringStruct* label, ZARKstringStruct* defaultText, bool masked),        \
    (dialog, label, defaultText, masked))                                                       \
  X(ZARKarrayStruct*, ZARKDBConnectionDialogShow, "ZARKDBConnectionDialogShow",                 \
    (void* dialog, ZARKstringStruct* title), (dialog, title))                                   \
  X(void, ZARKDBConnectionDialogDelete, "ZARKDBConnectionDialogDelete", (void* dialog),         \
    (dialog))                                                                                   \
  X(void, ZARKSetDBIsConnected, "ZARKSetDBIsConnected",                                         \
    (ZARKobjectStruct* database, bool connected), (database, connected))                        \
  X(void*, ZARKGetCursorFromZARKdbCursor, "ZARKGetCursorFromZARKdbCursor",                      \
    (ZARKobjectStruct* cursor), (cursor))

// -- Pictures and graphics --------------------------------------------------------
#define LUMENO_WRAPPERS_GRAPHICS(X)                                                             \
  X(ZARKstringStruct*, ZARKDefaultControlFont, "PluginDefaultControlFont", (), ())              \
  X(double, ZARKDefaultControlFontSize, "PluginDefaultControlFontSize", (), ())                 \
  X(ZARKobjectStruct*, ZARKBuildPictureFromPictureDescription,                                  \
    "ZARKBuildPictureFromPictureDescription",                                                   \
    (ZARKpictureDescription* description, bool takeOwnership), (description, takeOwnership))    \
  X(bool, ZARKLockPictureDescriptionWithNativeType, "lockPictureDescription",                   \
    (ZARKobjectStruct* picture, ZARKpictureDescription* description, uint32_t nativeType),      \
    (picture, description, nativeType))                                                         \
  X(void, ZARKUnlockPictureDescription, "unlockPictureDescription",                             \
    (ZARKobjectStruct* picture), (picture))                                                     \
  X(ZARKobjectStruct*, ZARKBuildPictureFromBuffer, "ZARKBuildPictureFromBuffer",                \
    (const void* buffer, int64_t width, int64_t height, int64_t rowBytes, int32_t pixelType),  \
    (buffer, width, height, rowBytes, pixelType))                                               \
  X(void, ZARKGetGraphicsOrigin, "ZARKGetGraphicsOrigin",                                       \
    (ZARKobjectStruct* graphics, int32_t* x, int32_t* y), (graphics, x, y))                     \
  X(void, ZARKSetGraphicsOrigin, "ZARKSetGraphicsOrigin",                                       \
    (ZARKobjectStruct* graphics, int32_t x, int32_t y), (graphics, x, y))                       \
  X(ZARKobjectStruct*, ZARKGetControlGraphics, "ZARKGetControlGraphics",                        \
    (ZARKobjectStruct* control), (control))                                                     \
  X(void, GraphicsDrawLine, "RuntimeGraphicsDrawLine",                                          \
    (ZARKobjectStruct* graphics, double x1, double y1, double x2, double y2),                   \
    (graphics, x1, y1, x2, y2))                                                                 \
  X(void, ZARKPictureClearCache, "ZARKPictureClearCache", (ZARKobjectStruct* picture),         \
    (picture))                                                                                  \
  X(ZARKobjectStruct*, ZARKGetPictureGraphics, "pluginPictureGraphicsGetter",                   \
    (ZARKobjectStruct* picture), (picture))                                                     \
  X(ZARKobjectStruct*, ZARKNewPicture, "newPicture",                                            \
    (int32_t width, int32_t height, int32_t depth), (width, height, depth))                     \
  X(uint32_t, ZARKGetFontEncoding, "ZARKGetFontEncoding", (const char* fontName), (fontName))  \
  X(ZARKobjectStruct*, ZARKGetPictureMask, "ZARKGetPictureMask",                                \
    (ZARKobjectStruct* picture, bool create), (picture, create))                                \
  X(void, ZARKGraphicsDrawString, "RuntimeGraphicsDrawString",                                  \
    (ZARKobjectStruct* graphics, ZARKstringStruct* text, double x, double y, double wrapWidth), \
    (graphics, text, x, y, wrapWidth))                                                          \
  X(void, ZARKGetGraphicsFontStyle, "ZARKGetGraphicsFontStyle",                                 \
    (ZARKobjectStruct* graphics, void* style), (graphics, style))                               \
  X(void, ZARKSetGraphicsStyle, "ZARKSetGraphicsStyle",                                         \
    (ZARKobjectStruct* graphics, const void* style), (graphics, style))                         \
  X(double, ZARKGraphicsStringWidth, "RuntimeGraphicsStringWidth",                              \
    (ZARKobjectStruct* graphics, ZARKstringStruct* text), (graphics, text))                     \
  X(double, ZARKGraphicsStringHeight, "RuntimeGraphicsStringHeight",                            \
    (ZARKobjectStruct* graphics, ZARKstringStruct* text, double wrapWidth),                     \
    (graphics, text, wrapWidth))                                                                \
  X(double, ZARKGraphicsTextHeight, "RuntimeGraphicsTextHeight", (ZARKobjectStruct* graphics), \
    (graphics))                                                                                 \
  X(double, ZARKGraphicsTextAscent, "RuntimeGraphicsTextAscent", (ZARKobjectStruct* graphics), \
    (graphics))                                                                                 \
  X(void*, ZARKGraphicsDC, "ZARKGraphicsDC", (ZARKobjectStruct* graphics), (graphics))          \
  X(void, ZARKDrawPicturePrimitive, "ZARKDrawPicturePrimitive",                                 \
    (ZARKobjectStruct* graphics, ZARKobjectStruct* picture, const void* destination,            \
     const void* source),                                                                       \
    (graphics, picture, destination, source))                                                   \
  X(void*, ZARKGraphicsGdkDrawable, "ZARKGraphicsGdkDrawable", (ZARKobjectStruct* graphics),   \
    (graphics))

// Same as ZARKLockPictureDescriptionWithNativeType with native type 0, which
// lets the picture keep its own native type.
LUMENO_EXPORT bool ZARKLockPictureDescription(ZARKobjectStruct* picture,
                                              ZARKpictureDescription* description);

// -- Controls and windows ---------------------------------------------------------
#define LUMENO_WRAPPERS_CONTROLS(X)                                                             \
  X(void, ZARKRegisterControl, "PluginRegisterControl", (ZARKcontrolDefinition* definition),   \
    (definition))                                                                               \
  X(void, ZARKSetAccelerator, "ZARKSetAccelerator",                                             \
    (ZARKobjectStruct* control, ZARKstringStruct* key), (control, key))                         \
  X(ZARKstringStruct*, ZARKDefaultControlCaption, "PluginDefaultControlCaption", (), ())        \
  X(void, ZARKGetControlBounds, "GetControlBounds", (ZARKobjectStruct* control, void* rect),   \
    (control, rect))                                                                            \
  X(bool, ZARKGetControlVisible, "GetControlVisible", (ZARKobjectStruct* control), (control))  \
  X(bool, ZARKGetControlEnabled, "ZARKGetControlEnabled", (ZARKobjectStruct* control),         \
    (control))                                                                                  \
  X(void, ZARKSetControlVisible, "SetControlVisible",                                           \
    (ZARKobjectStruct* control, bool visible), (control, visible))                              \
  X(void, ZARKInvalidateControl, "ZARKInvalidateControl", (ZARKobjectStruct* control),         \
    (control))                                                                                  \
  X(void, ZARKInvalidateControlRect, "ZARKInvalidateControlRect",                               \
    (ZARKobjectStruct* control, int32_t left, int32_t top, int32_t right, int32_t bottom),      \
    (control, left, top, right, bottom))                                                        \
  X(ZARKobjectStruct*, ZARKGetControlWindow, "getControlWindow", (ZARKobjectStruct* control),  \
    (control))                                                                                  \
  X(void, ZARKMessageBox, "RuntimeMsgBox", (ZARKstringStruct* message), (message))              \
  X(void, ZARKSetControlEnabled, "controlEnabledSetter",                                        \
    (ZARKobjectStruct* control, bool enabled), (control, enabled))                              \
  X(int32_t, ZARKGetControlPosition, "ctlPosGetter",                                            \
    (ZARKobjectStruct* control, int32_t which), (control, which))                               \
  X(void, ZARKSetControlPosition, "ctlPosSetter",                                               \
    (ZARKobjectStruct* control, int32_t which, int32_t value), (control, which, value))         \
  X(bool, ZARKGetTabPanelVisible, "GetTabPanelVisible", (ZARKobjectStruct* control),           \
    (control))                                                                                  \
  X(bool, ZARKGetControlFocus, "ZARKGetControlFocus", (ZARKobjectStruct* control), (control))  \
  X(void, ZARKSetControlFocus, "ZARKSetControlFocus",                                           \
    (ZARKobjectStruct* control, bool focus), (control, focus))                                  \
  X(ZARKobjectStruct*, ZARKGetControlParent, "ZARKGetControlParent",                            \
    (ZARKobjectStruct* control), (control))                                                     \
  X(ZARKstringStruct*, ZARKGetControlName, "ZARKGetControlName", (ZARKobjectStruct* control),  \
    (control))                                                                                  \
  X(void*, ZARKGetControlHandle, "ZARKGetControlHandle", (ZARKobjectStruct* control),          \
    (control))                                                                                  \
  X(void*, ZARKGetWindowHandle, "ZARKGetWindowHandle", (ZARKobjectStruct* window), (window))

// -- Files and memory -------------------------------------------------------------
#define LUMENO_WRAPPERS_FILES(X)                                                                \
  X(ZARKobjectStruct*, ZARKGetProjectFolder, "ZARKGetProjectFolder", (), ())                    \
  X(ZARKobjectStruct*, ZARKFolderItemFromPath, "FolderItemFromPath",                            \
    (ZARKstringStruct* path, int32_t pathMode), (path, pathMode))                               \
  X(ZARKstringStruct*, ZARKpathFromFolderItem, "ZARKpathFromFolderItem",                        \
    (ZARKobjectStruct* folderItem, int32_t pathMode), (folderItem, pathMode))                   \
  X(ZARKobjectStruct*, ZARKNewMemoryBlock, "newMemoryBlock", (int64_t size), (size))            \
  X(void*, ZARKMemoryBlockGetPtr, "memoryBlockGetPtr", (ZARKobjectStruct* block), (block))     \
  X(int64_t, ZARKMemoryBlockGetSize, "memoryBlockGetSize", (ZARKobjectStruct* block), (block)) \
  X(ZARKobjectStruct*, ZARKPtrToMemoryBlock, "PtrToMemoryBlock", (void* data), (data))

// -- Sockets ----------------------------------------------------------------------
#define LUMENO_WRAPPERS_SOCKETS(X)                                                              \
  X(void, ZARKMarkSocketUsage, "PluginMarkSocketUsage", (), ())                                 \
  X(void, ZARKSocketConnect, "socketDirectConnect",                                             \
    (ZARKobjectStruct* socket, ZARKstringStruct* address, int32_t port),                        \
    (socket, address, port))                                                                    \
  X(void, ZARKSocketClose, "socketClose", (ZARKobjectStruct* socket), (socket))                 \
  X(ZARKstringStruct*, ZARKSocketReadAll, "pluginSocketReadAll",                                \
    (ZARKobjectStruct* socket, uint32_t encoding), (socket, encoding))                          \
  X(ZARKstringStruct*, ZARKSocketRead, "pluginSocketRead",                                      \
    (ZARKobjectStruct* socket, int64_t count, uint32_t encoding), (socket, count, encoding))    \
  X(void, ZARKSocketWrite, "SocketWrite", (ZARKobjectStruct* socket, ZARKstringStruct* data),   \
    (socket, data))                                                                             \
  X(int32_t, ZARKSocketLastErrorCode, "socketLastErrorCode", (ZARKobjectStruct* socket),       \
    (socket))                                                                                   \
  X(ZARKstringStruct*, ZARKSocketLookahead, "pluginSocketLookahead",                            \
    (ZARKobjectStruct* socket, uint32_t encoding), (socket, encoding))                          \
  X(ZARKstringStruct*, ZARKSocketLocalAddressGetter, "socketLocalAddressGetter",                \
    (ZARKobjectStruct* socket), (socket))                                                       \
  X(void, ZARKSocketPoll, "socketPoll", (ZARKobjectStruct* socket), (socket))                   \
  X(int32_t, ZARKSocketGetEvents, "socketGetEvents", (ZARKobjectStruct* socket), (socket))      \
  X(void, ZARKSocketListen, "pluginSocketListen", (ZARKobjectStruct* socket), (socket))

// -- Declarations of every table row ----------------------------------------------
#define LUMENO_DECLARE_WRAPPER(result, name, entry, params, args) LUMENO_EXPORT result name params;
#define LUMENO_DECLARE_WRAPPER_WITH_FALLBACK(result, name, entry, params, args, fallback) \
  LUMENO_EXPORT result name params;

LUMENO_WRAPPERS_RUNTIME(LUMENO_DECLARE_WRAPPER)
LUMENO_WRAPPERS_WITH_FALLBACK(LUMENO_DECLARE_WRAPPER_WITH_FALLBACK)
LUMENO_WRAPPERS_STRINGS(LUMENO_DECLARE_WRAPPER)
#define LUMENO_PROPERTY_ROW LUMENO_DECLARE_WRAPPER
LUMENO_WRAPPERS_PROPERTIES
#undef LUMENO_PROPERTY_ROW
LUMENO_WRAPPERS_VARIANTS(LUMENO_DECLARE_WRAPPER)
LUMENO_WRAPPERS_ARRAYS(LUMENO_DECLARE_WRAPPER)
LUMENO_WRAPPERS_DATABASE(LUMENO_DECLARE_WRAPPER)
LUMENO_WRAPPERS_GRAPHICS(LUMENO_DECLARE_WRAPPER)
LUMENO_WRAPPERS_CONTROLS(LUMENO_DECLARE_WRAPPER)
LUMENO_WRAPPERS_FILES(LUMENO_DECLARE_WRAPPER)
LUMENO_WRAPPERS_SOCKETS(LUMENO_DECLARE_WRAPPER)

#undef LUMENO_DECLARE_WRAPPER_WITH_FALLBACK
#undef LUMENO_DECLARE_WRAPPER

// clang-format on

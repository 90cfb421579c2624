// Host-entry wrappers: strings and text.
#include "shell/standard_wrapper.h"

LUMENO_WRAPPERS_STRINGS(LUMENO_DEFINE_WRAPPER)

namespace {

// The host has no length entry; its framework method gives a string's length
// in bytes.
constexpr const char* kLengthMethod = "LenB( s as string ) as integer";

using LengthProc = int64_t (*)(ZARKstringStruct* string);
using CStringProc = const char* (*)(ZARKstringStruct* string);

void* stringLengthSlot = nullptr;
void* contentsCStringSlot = nullptr;
void* contentsLengthSlot = nullptr;

// Like ResolveSlot, but the slot holds a framework method.
void* LoadFrameworkSlot(void*& slot, const char* declaration) {
  return lumeno::shell::CachedSlot(slot, declaration, ZARKLoadFrameworkMethod);
}

}  // namespace

ZARKstringStruct* ZARKBuildString(const char* text, int32_t length, uint32_t encoding) {
  return ZARKBuildStringWithEncoding(text, length, encoding);
}

const char* ZARKGetStringContents(ZARKstringStruct* string, int64_t* length) {
  if (string == nullptr) return nullptr;
  void* cString = lumeno::shell::ResolveSlot(contentsCStringSlot, "StringGetCString");
  void* lengthMethod = LoadFrameworkSlot(contentsLengthSlot, kLengthMethod);
  if (length != nullptr && lengthMethod != nullptr) {
    *length = reinterpret_cast<LengthProc>(lengthMethod)(string);
  }
  if (cString == nullptr) return nullptr;
  return reinterpret_cast<CStringProc>(cString)(string);
}

int64_t ZARKStringLength(ZARKstringStruct* string) {
  void* lengthMethod = LoadFrameworkSlot(stringLengthSlot, kLengthMethod);
  if (lengthMethod == nullptr) return 0;
  return reinterpret_cast<LengthProc>(lengthMethod)(string);
}

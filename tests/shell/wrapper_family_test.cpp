// Every table-driven member of the host-entry wrapper family, one by one, in
// a private copy of the plug-in whose caches start empty: the wrapper asks
// for the right entry name, answers its fallback while the host lacks the
// entry, asks again on the next call, and once the entry exists forwards to
// it and never asks again.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"
#include "lumeno/wrappers.h"
#include "shell/fakes.h"
#include "shell/plugin_copy.h"

namespace lumeno::testing {
namespace {

// Entry names the host offers for each wrapper, where they differ from the
// wrapper's own name.
const std::map<std::string, std::string>& RenamedEntries() {
  static const std::map<std::string, std::string> names = {
      // runtime and classes
      {"ZARKGetPluginData", "PluginGetPluginData"},
      {"ZARKObjectIsA", "RuntimeObjectIsa"},
      {"ZARKCallFunctionWithExceptionHandler", "PluginCallFunctionWithExceptionHandler"},
      {"ZARKGetDelegateInvoker", "PluginGetDelegateInvoker"},
      {"ZARKRegisterBackgroundTask", "PluginRegisterBackgroundTask"},
      {"ZARKUnregisterBackgroundTask", "PluginUnregisterBackgroundTask"},
      {"ZARKRegisterClass", "PluginRegisterClass"},
      {"ZARKRegisterModule", "PluginRegisterModule"},
      {"ZARKRegisterInterface", "PluginRegisterInterface"},
      {"ZARKRegisterStructure", "PluginRegisterStructure"},
      {"ZARKRegisterEnum", "PluginRegisterEnum"},
      {"ZARKRegisterMethod", "PluginRegisterMethod"},
      {"ZARKRegisterClassExtension", "PluginRegisterClassExtension"},
      {"ZARKLoadSharedMethod", "PluginLoadSharedMethod"},
      {"ZARKGetEventInstance", "GetEventInstance"},
      {"ZARKGetClassRef", "pluginObjectType"},
      {"ZARKnewInstance", "PluginNewInstance"},
      {"ZARKRaiseException", "RuntimeRaiseException"},
      {"ZARKInterfaceRoutine", "GetInterfaceRoutine"},
      {"ZARKIsDarkMode", "IsDarkMode"},
      // strings and text
      {"ZARKGetStringData", "PluginGetStringData"},
      {"ZARKDisposeStringData", "PluginDisposeStringData"},
      {"ZARKCompareStrings", "RuntimeStringCompare"},
      {"ZARKAddStrings", "RuntimeAddString"},
      {"ZARKBuildText", "PluginBuildText"},
      {"ZARKCompareText", "PluginCompareText"},
      {"ZARKConcatenateText", "PluginConcatenateText"},
      {"ZARKGetTextData", "PluginGetTextData"},
      {"ZARKDisposeTextData", "PluginDisposeTextData"},
      {"ZARKstringToOSType", "StringToOSType"},
      {"ZARKCString", "StringGetCString"},
      {"ZARKPString", "StringGetPString"},
      // properties
      {"ZARKGetPropValueInt32", "ZARKGetPropValueInt"},
      {"ZARKGetPropValueBoolean", "ZARKGetPropValueBool"},
      {"ZARKGetPropValueText", "PluginGetPropValueText"},
      {"ZARKSetPropValueInt32", "ZARKSetPropValueInt"},
      {"ZARKSetPropValueUInt8", "ZARKSetPropValueBoolean"},
      {"ZARKSetPropValueText", "PluginSetPropValueText"},
      // variants
      {"ZARKNewVariantString", "StringToVariant"},
      {"ZARKNewVariantStructure", "PluginStructureToVariant"},
      {"ZARKNewVariantPtr", "PtrToVariant"},
      {"ZARKNewVariantCString", "CStringToVariant"},
      {"ZARKNewVariantWString", "WStringToVariant"},
      {"ZARKNewVariantPString", "PStringToVariant"},
      {"ZARKNewVariantOSType", "OSTypeToVariant"},
      {"ZARKNewVariantInteger", "Int32ToVariant"},
      {"ZARKNewVariantHXInteger", "IntegerToVariant"},
      {"ZARKNewVariantDouble", "DoubleToVariant"},
      {"ZARKNewVariantBoolean", "BooleanToVariant"},
      {"ZARKNewVariantColor", "ColorToVariant"},
      {"ZARKNewVariantUInt32", "UInt32ToVariant"},
      {"ZARKNewVariantInt64", "Int64ToVariant"},
      {"ZARKNewVariantUInt64", "UInt64ToVariant"},
      {"ZARKNewVariantSingle", "SingleToVariant"},
      {"ZARKNewVariantCurrency", "CurrencyToVariant"},
      {"ZARKNewVariantText", "PluginNewVariantText"},
      {"ZARKGetVariantStructure", "PluginStructureFromVariant"},
      // arrays
      {"ZARKGetArrayUBound", "RuntimeUBound"},
      {"ZARKGetArrayStructure", "RuntimeDirectReadStructureArray"},
      {"ZARKCreateArray", "RuntimeArrayCreateSingleDimBoundedArray"},
      {"ZARKGetArrayInt", "RuntimeDirectReadIntArray"},
      {"ZARKGetArrayString", "RuntimeDirectReadStringArray"},
      {"ZARKGetArrayObject", "RuntimeDirectReadObjectArray"},
      // database
      {"ZARKRegisterDBEngine", "PluginRegisterDBEngine"},
      {"ZARKRegisterDBTable", "PluginRegisterDBTable"},
      {"ZARKRegisterDBCursor", "PluginRegisterDBCursor"},
      {"ZARKRegisterDataSourceInterface", "RegisterDataSourceInterface"},
      {"ZARKRegisterDataSource", "RegisterDataSource"},
      {"ZARKRegisterDatabaseConnection", "RegisterDatabaseConnection"},
      {"ZARKDesignAddDataSource", "DesignAddDataSource"},
      // pictures and graphics
      {"ZARKDefaultControlFont", "PluginDefaultControlFont"},
      {"ZARKDefaultControlFontSize", "PluginDefaultControlFontSize"},
      {"ZARKLockPictureDescriptionWithNativeType", "lockPictureDescription"},
      {"ZARKUnlockPictureDescription", "unlockPictureDescription"},
      {"GraphicsDrawLine", "RuntimeGraphicsDrawLine"},
      {"ZARKGetPictureGraphics", "pluginPictureGraphicsGetter"},
      {"ZARKNewPicture", "newPicture"},
      {"ZARKGraphicsDrawString", "RuntimeGraphicsDrawString"},
      {"ZARKGraphicsStringWidth", "RuntimeGraphicsStringWidth"},
      {"ZARKGraphicsStringHeight", "RuntimeGraphicsStringHeight"},
      {"ZARKGraphicsTextHeight", "RuntimeGraphicsTextHeight"},
      {"ZARKGraphicsTextAscent", "RuntimeGraphicsTextAscent"},
      // controls and windows
      {"ZARKRegisterControl", "PluginRegisterControl"},
      {"ZARKDefaultControlCaption", "PluginDefaultControlCaption"},
      {"ZARKGetControlBounds", "GetControlBounds"},
      {"ZARKGetControlVisible", "GetControlVisible"},
      {"ZARKSetControlVisible", "SetControlVisible"},
      {"ZARKGetControlWindow", "getControlWindow"},
      {"ZARKMessageBox", "RuntimeMsgBox"},
      {"ZARKSetControlEnabled", "controlEnabledSetter"},
      {"ZARKGetControlPosition", "ctlPosGetter"},
      {"ZARKSetControlPosition", "ctlPosSetter"},
      {"ZARKGetTabPanelVisible", "GetTabPanelVisible"},
      // files and memory
      {"ZARKFolderItemFromPath", "FolderItemFromPath"},
      {"ZARKNewMemoryBlock", "newMemoryBlock"},
      {"ZARKMemoryBlockGetPtr", "memoryBlockGetPtr"},
      {"ZARKMemoryBlockGetSize", "memoryBlockGetSize"},
      {"ZARKPtrToMemoryBlock", "PtrToMemoryBlock"},
      // sockets
      {"ZARKMarkSocketUsage", "PluginMarkSocketUsage"},
      {"ZARKSocketConnect", "socketDirectConnect"},
      {"ZARKSocketClose", "socketClose"},
      {"ZARKSocketReadAll", "pluginSocketReadAll"},
      {"ZARKSocketRead", "pluginSocketRead"},
      {"ZARKSocketWrite", "SocketWrite"},
      {"ZARKSocketLastErrorCode", "socketLastErrorCode"},
      {"ZARKSocketLookahead", "pluginSocketLookahead"},
      {"ZARKSocketLocalAddressGetter", "socketLocalAddressGetter"},
      {"ZARKSocketPoll", "socketPoll"},
      {"ZARKSocketGetEvents", "socketGetEvents"},
      {"ZARKSocketListen", "pluginSocketListen"},
  };
  return names;
}

// Members that resolve the entry of their own name.
const std::set<std::string>& SameNameEntries() {
  static const std::set<std::string> names = {
      "ZARKinRuntime", "ZARKLoadObjectMethod", "ZARKLockObject", "ZARKUnlockObject",
      "ZARKGetHXVersion", "ZARKYieldToHX", "ZARKInDebugMode", "ZARKGetProjectFolder",
      "ZARKGetSystemTextEncoding", "ZARKBuildString", "ZARKBuildStringWithEncoding",
      "ZARKLockString", "ZARKUnlockString", "ZARKLockText", "ZARKUnlockText", "ZARKStripAmpersands",
      "ZARKGetStringEncoding", "ZARKConvertString", "ZARKSetStringEncoding",
      // properties
      "ZARKGetPropValueString", "ZARKGetPropValueDouble", "ZARKGetPropValueObject",
      "ZARKGetPropValuePtr", "ZARKGetPropValueCString", "ZARKGetPropValueWString",
      "ZARKGetPropValuePString", "ZARKGetPropValueInt64", "ZARKGetPropValueUInt64",
      "ZARKGetPropValueUInt32", "ZARKGetPropValueUInt16", "ZARKGetPropValueInt16",
      "ZARKGetPropValueSingle", "ZARKGetPropValueColor", "ZARKGetPropValueCurrency",
      "ZARKGetPropValueInteger", "ZARKSetPropValueString", "ZARKSetPropValueDouble",
      "ZARKSetPropValueObject", "ZARKSetPropValueColor", "ZARKSetPropValueCurrency",
      "ZARKSetPropValueInteger", "ZARKSetPropValueUInt32", "ZARKSetPropValueUInt64",
      "ZARKSetPropValueInt64", "ZARKSetPropValueInt16", "ZARKSetPropValueUInt16",
      "ZARKSetPropValueInt8", "ZARKSetPropValueBoolean", "ZARKSetPropValueSingle",
      "ZARKSetPropValuePtr", "ZARKSetPropValueCString", "ZARKSetPropValueWString",
      "ZARKSetPropValuePString",
      // database
      "ZARKdbCursorFromDBCursor", "ZARKdbDatabaseFromDBDatabase", "ZARKGetDBHost",
      "ZARKGetDBDatabaseName", "ZARKGetDBPassword", "ZARKGetDBUserName",
      "ZARKGetDBFromZARKdbDatabase", "ZARKConstructDBDatabase", "ZARKDBConnectionDialogCreate",
      "ZARKDBConnectionDialogAddField", "ZARKDBConnectionDialogShow",
      "ZARKDBConnectionDialogDelete", "ZARKSetDBIsConnected", "ZARKGetCursorFromZARKdbCursor",
      // pictures and graphics
      "ZARKBuildPictureFromPictureDescription", "ZARKBuildPictureFromBuffer",
      "ZARKGetGraphicsOrigin", "ZARKSetGraphicsOrigin", "ZARKGetControlGraphics",
      "ZARKPictureClearCache", "ZARKGetFontEncoding", "ZARKGetPictureMask",
      "ZARKGetGraphicsFontStyle", "ZARKSetGraphicsStyle", "ZARKGraphicsDC",
      "ZARKDrawPicturePrimitive", "ZARKGraphicsGdkDrawable",
      // controls and windows
      "ZARKSetAccelerator", "ZARKGetControlEnabled", "ZARKInvalidateControl",
      "ZARKInvalidateControlRect", "ZARKGetControlFocus", "ZARKSetControlFocus",
      "ZARKGetControlParent", "ZARKGetControlName", "ZARKGetControlHandle", "ZARKGetWindowHandle",
      // files and memory
      "ZARKpathFromFolderItem"};
  return names;
}

// What a wrapper answers while its entry is missing, where that is not zero.
const std::map<std::string, double>& NonZeroFallbacks() {
  static const std::map<std::string, double> fallbacks = {
      {"ZARKGetSystemTextEncoding", 0x08000100},
      {"ZARKRegisterBackgroundTask", -1},
  };
  return fallbacks;
}

// The one overload of a name the tables describe, where a hand-written
// overload of the same name exists too.
const std::map<std::string, std::string>& TableOverloads() {
  static const std::map<std::string, std::string> overloads = {
      {"ZARKnewInstance", "ZARKnewInstance(char const*)"},
      {"ZARKBuildString", "ZARKBuildString(char const*, int)"},
  };
  return overloads;
}

enum class Answer { kFallback, kMarker, kOther };

struct WrapperCase {
  std::string name;
  void* fakeEntry;
  // Calls the copy's wrapper with zero arguments and classifies its answer
  // (void wrappers answer kFallback and are judged by the fake's count).
  std::function<Answer(const PluginCopy&, const std::string& signature)> call;
};

template <typename R, typename... A>
WrapperCase MakeCase(const char* name, R (*)(A...)) {
  using Fn = R (*)(A...);
  WrapperCase result;
  result.name = name;
  result.fakeEntry = Fake<Fn>::Address();
  const std::string wrapper = name;
  result.call = [wrapper](const PluginCopy& copy, const std::string& signature) {
    Fn function = copy.Function<Fn>(signature);
    if (function == nullptr) return Answer::kOther;
    if constexpr (std::is_void_v<R>) {
      CallWithZeros(function);
      return Answer::kFallback;
    } else {
      R answer = CallWithZeros(function);
      if (answer == Marker<R>()) return Answer::kMarker;
      R fallback{};
      if constexpr (std::is_arithmetic_v<R>) {
        auto it = NonZeroFallbacks().find(wrapper);
        if (it != NonZeroFallbacks().end()) fallback = static_cast<R>(it->second);
      }
      return answer == fallback ? Answer::kFallback : Answer::kOther;
    }
  };
  return result;
}

#define LUMENO_WRAPPER_CASE(result, name, entry, params, args) \
  MakeCase(#name, static_cast<result(*) params>(nullptr)),
#define LUMENO_WRAPPER_CASE_WITH_FALLBACK(result, name, entry, params, args, fallback) \
  MakeCase(#name, static_cast<result(*) params>(nullptr)),
#define LUMENO_GETTER_CASE(word, type, entry) \
  LUMENO_PROPERTY_GETTER_ROW(LUMENO_WRAPPER_CASE, word, type, entry)
#define LUMENO_SETTER_CASE(word, type, entry) \
  LUMENO_PROPERTY_SETTER_ROW(LUMENO_WRAPPER_CASE, word, type, entry)

std::vector<WrapperCase> AllCases() {
  return {LUMENO_WRAPPERS_RUNTIME(LUMENO_WRAPPER_CASE)
              LUMENO_WRAPPERS_WITH_FALLBACK(LUMENO_WRAPPER_CASE_WITH_FALLBACK)
                  LUMENO_WRAPPERS_STRINGS(LUMENO_WRAPPER_CASE)
                      LUMENO_PROPERTY_GETTER_TYPES(LUMENO_GETTER_CASE)
                          LUMENO_PROPERTY_SETTER_TYPES(LUMENO_SETTER_CASE)
                              LUMENO_WRAPPERS_VARIANTS(LUMENO_WRAPPER_CASE)
                                  LUMENO_WRAPPERS_ARRAYS(LUMENO_WRAPPER_CASE)
                                      LUMENO_WRAPPERS_DATABASE(LUMENO_WRAPPER_CASE)
                                          LUMENO_WRAPPERS_GRAPHICS(LUMENO_WRAPPER_CASE)
                                              LUMENO_WRAPPERS_CONTROLS(LUMENO_WRAPPER_CASE)
                                                  LUMENO_WRAPPERS_FILES(LUMENO_WRAPPER_CASE)
                                                      LUMENO_WRAPPERS_SOCKETS(LUMENO_WRAPPER_CASE)};
}

std::string ExpectedEntry(const std::string& wrapper) {
  auto it = RenamedEntries().find(wrapper);
  if (it != RenamedEntries().end()) return it->second;
  if (SameNameEntries().count(wrapper) != 0) return wrapper;
  return {};
}

std::string SignatureOf(const std::string& wrapper) {
  auto it = TableOverloads().find(wrapper);
  if (it != TableOverloads().end()) return it->second;
  auto overloads = PluginCopy::Overloads(wrapper);
  return overloads.size() == 1 ? overloads[0] : std::string();
}

TEST(WrapperFamily, EveryExpectedWrapperIsInTheTables) {
  std::set<std::string> covered;
  for (const auto& c : AllCases()) {
    EXPECT_TRUE(covered.insert(c.name).second) << c.name << " listed twice";
  }
  for (const auto& [wrapper, entry] : RenamedEntries()) {
    EXPECT_EQ(covered.count(wrapper), 1u) << wrapper << " missing";
  }
  for (const auto& wrapper : SameNameEntries()) {
    EXPECT_EQ(covered.count(wrapper), 1u) << wrapper << " missing";
  }
}

TEST(WrapperFamily, ResolvesItsEntryFallsBackRetriesAndKeeps) {
  PluginCopy copy;
  for (const auto& c : AllCases()) {
    SCOPED_TRACE(c.name);
    const std::string entry = ExpectedEntry(c.name);
    ASSERT_FALSE(entry.empty()) << "no expected entry name";
    const std::string signature = SignatureOf(c.name);
    ASSERT_FALSE(signature.empty()) << "not exported once";

    // A host of its own per wrapper: counts start at zero, entries as built in.
    host::Host host;
    host.HideEntry(entry);
    gFakeCalls = 0;

    EXPECT_EQ(c.call(copy, signature), Answer::kFallback);
    EXPECT_EQ(host.ResolveCount(entry), 1);
    EXPECT_EQ(c.call(copy, signature), Answer::kFallback);
    EXPECT_EQ(host.ResolveCount(entry), 2) << "a missing entry must be asked for again";
    EXPECT_EQ(gFakeCalls, 0);

    host.ShowEntry(entry);
    host.AddEntry(entry, c.fakeEntry);
    Answer found = c.call(copy, signature);
    EXPECT_NE(found, Answer::kOther);
    EXPECT_EQ(gFakeCalls, 1);
    EXPECT_EQ(host.ResolveCount(entry), 3);

    EXPECT_EQ(c.call(copy, signature), found);
    EXPECT_EQ(gFakeCalls, 2);
    EXPECT_EQ(host.ResolveCount(entry), 3) << "a found entry must be kept";
  }
}

TEST(WrapperFamily, OverloadsForwardToTheirTypedWrapper) {
  struct OverloadCase {
    const char* signature;
    const char* entry;
    std::function<void(const PluginCopy&, const char*)> call;
  };
  auto zeros = [](auto typed) {
    return [typed](const PluginCopy& copy, const char* signature) {
      auto function = copy.Function<decltype(typed)>(signature);
      if (function != nullptr) CallWithZeros(function);
    };
  };
  using Object = ZARKobjectStruct*;
  using Array = ZARKarrayStruct*;
  using Str = ZARKstringStruct*;
  using Text = RuntimeText*;
  const std::vector<OverloadCase> cases = {
      {"ZARKGetPropValue(ZARKobjectStruct*, char const*, short*)", "ZARKGetPropValueInt16",
       zeros(static_cast<bool (*)(Object, const char*, int16_t*)>(nullptr))},
      {"ZARKGetPropValue(ZARKobjectStruct*, char const*, unsigned short*)",
       "ZARKGetPropValueUInt16",
       zeros(static_cast<bool (*)(Object, const char*, uint16_t*)>(nullptr))},
      {"ZARKGetPropValue(ZARKobjectStruct*, char const*, double*)", "ZARKGetPropValueDouble",
       zeros(static_cast<bool (*)(Object, const char*, double*)>(nullptr))},
      {"ZARKGetPropValue(ZARKobjectStruct*, char const*, float*)", "ZARKGetPropValueSingle",
       zeros(static_cast<bool (*)(Object, const char*, float*)>(nullptr))},
      {"ZARKGetPropValue(ZARKobjectStruct*, char const*, ZARKstringStruct**)",
       "ZARKGetPropValueString", zeros(static_cast<bool (*)(Object, const char*, Str*)>(nullptr))},
      {"ZARKGetPropValue(ZARKobjectStruct*, char const*, ZARKobjectStruct**)",
       "ZARKGetPropValueObject",
       zeros(static_cast<bool (*)(Object, const char*, Object*)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, ZARKstringStruct*)",
       "ZARKSetPropValueString", zeros(static_cast<bool (*)(Object, const char*, Str)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, double)", "ZARKSetPropValueDouble",
       zeros(static_cast<bool (*)(Object, const char*, double)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, ZARKobjectStruct*)", "ZARKSetPropValuePtr",
       zeros(static_cast<bool (*)(Object, const char*, Object)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, unsigned short)", "ZARKSetPropValueUInt16",
       zeros(static_cast<bool (*)(Object, const char*, uint16_t)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, short)", "ZARKSetPropValueInt16",
       zeros(static_cast<bool (*)(Object, const char*, int16_t)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, float)", "ZARKSetPropValueSingle",
       zeros(static_cast<bool (*)(Object, const char*, float)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, char const*)", "ZARKSetPropValueCString",
       zeros(static_cast<bool (*)(Object, const char*, const char*)>(nullptr))},
      {"ZARKSetPropValue(ZARKobjectStruct*, char const*, wchar_t const*)",
       "ZARKSetPropValueWString",
       zeros(static_cast<bool (*)(Object, const char*, const wchar_t*)>(nullptr))},
      {"ZARKInsertArrayValue(ZARKarrayStruct*, long, short)", "PluginInt16ArrayInsertProc",
       zeros(static_cast<void (*)(Array, int64_t, int16_t)>(nullptr))},
      {"ZARKInsertArrayValue(ZARKarrayStruct*, long, unsigned short)",
       "PluginUInt16ArrayInsertProc",
       zeros(static_cast<void (*)(Array, int64_t, uint16_t)>(nullptr))},
      {"ZARKInsertArrayValue(ZARKarrayStruct*, long, double)", "PluginDoubleArrayInsertProc",
       zeros(static_cast<void (*)(Array, int64_t, double)>(nullptr))},
      {"ZARKInsertArrayValue(ZARKarrayStruct*, long, float)", "PluginSingleArrayInsertProc",
       zeros(static_cast<void (*)(Array, int64_t, float)>(nullptr))},
      {"ZARKInsertArrayValue(ZARKarrayStruct*, long, ZARKstringStruct*)",
       "PluginStringArrayInsertProc", zeros(static_cast<void (*)(Array, int64_t, Str)>(nullptr))},
      {"ZARKInsertArrayValue(ZARKarrayStruct*, long, ZARKobjectStruct*)",
       "PluginObjectArrayInsertProc",
       zeros(static_cast<void (*)(Array, int64_t, Object)>(nullptr))},
      {"ZARKGetArrayValue(ZARKarrayStruct*, long, short*)", "PluginInt16ArrayGetProc",
       zeros(static_cast<void (*)(Array, int64_t, int16_t*)>(nullptr))},
      {"ZARKGetArrayValue(ZARKarrayStruct*, long, unsigned short*)", "PluginUInt16ArrayGetProc",
       zeros(static_cast<void (*)(Array, int64_t, uint16_t*)>(nullptr))},
      {"ZARKGetArrayValue(ZARKarrayStruct*, long, ZARKstringStruct**)", "PluginStringArrayGetProc",
       zeros(static_cast<void (*)(Array, int64_t, Str*)>(nullptr))},
      {"ZARKGetArrayValue(ZARKarrayStruct*, long, RuntimeText**)", "PluginTextArrayGetProc",
       zeros(static_cast<void (*)(Array, int64_t, Text*)>(nullptr))},
      {"ZARKGetArrayValue(ZARKarrayStruct*, long, ZARKobjectStruct**)", "PluginObjectArrayGetProc",
       zeros(static_cast<void (*)(Array, int64_t, Object*)>(nullptr))},
      {"ZARKGetArrayValue(ZARKarrayStruct*, long, double*)", "PluginDoubleArrayGetProc",
       zeros(static_cast<void (*)(Array, int64_t, double*)>(nullptr))},
      {"ZARKGetArrayValue(ZARKarrayStruct*, long, float*)", "PluginSingleArrayGetProc",
       zeros(static_cast<void (*)(Array, int64_t, float*)>(nullptr))},
      {"ZARKSetArrayValue(ZARKarrayStruct*, long, short)", "PluginInt16ArraySetProc",
       zeros(static_cast<void (*)(Array, int64_t, int16_t)>(nullptr))},
      {"ZARKSetArrayValue(ZARKarrayStruct*, long, unsigned short)", "PluginUInt16ArraySetProc",
       zeros(static_cast<void (*)(Array, int64_t, uint16_t)>(nullptr))},
      {"ZARKSetArrayValue(ZARKarrayStruct*, long, double)", "PluginDoubleArraySetProc",
       zeros(static_cast<void (*)(Array, int64_t, double)>(nullptr))},
      {"ZARKSetArrayValue(ZARKarrayStruct*, long, float)", "PluginSingleArraySetProc",
       zeros(static_cast<void (*)(Array, int64_t, float)>(nullptr))},
      {"ZARKSetArrayValue(ZARKarrayStruct*, long, ZARKstringStruct*)", "PluginStringArraySetProc",
       zeros(static_cast<void (*)(Array, int64_t, Str)>(nullptr))},
      {"ZARKSetArrayValue(ZARKarrayStruct*, long, RuntimeText*)", "PluginTextArraySetProc",
       zeros(static_cast<void (*)(Array, int64_t, Text)>(nullptr))},
      {"ZARKSetArrayValue(ZARKarrayStruct*, long, ZARKobjectStruct*)", "PluginObjectArraySetProc",
       zeros(static_cast<void (*)(Array, int64_t, Object)>(nullptr))},
      {"ZARKBuildString(char const*, int, unsigned int)", "ZARKBuildStringWithEncoding",
       zeros(static_cast<Str (*)(const char*, int32_t, uint32_t)>(nullptr))},
      {"ZARKLockPictureDescription(ZARKobjectStruct*, ZARKpictureDescription*)",
       "lockPictureDescription",
       zeros(static_cast<bool (*)(Object, ZARKpictureDescription*)>(nullptr))},
      {"ZARKnewInstance(ZARKclassRefStruct*)", "CreateInstance",
       zeros(static_cast<Object (*)(ZARKclassRefStruct*)>(nullptr))},
      {"ZARKLoadGlobalMethod(char const*, char const*)", "ZARKLoadGlobalMethod",
       zeros(static_cast<void* (*)(const char*, const char*)>(nullptr))},
  };
  PluginCopy copy;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signature);
    host::Host host;
    host.HideEntry(c.entry);
    c.call(copy, c.signature);
    EXPECT_EQ(host.ResolveCount(c.entry), 1);
  }
}

// Every exported wrapper-like name is either in the tables or one of the
// members written out by hand, so no member escapes the tests.
TEST(WrapperFamily, NoExportedMemberOutsideTheTests) {
  std::set<std::string> known;
  for (const auto& c : AllCases()) known.insert(c.name);
  const std::set<std::string> byHand = {
      "ZARKnewInstanceWithClass",   "ZARKnewInstanceOfClass", "ZARKLoadFrameworkMethod",
      "ZARKLoadGlobalMethod",       "ZARKGetClassData",       "ZARKGetControlData",
      "ZARKCountClassProperties",   "ZARKGetClassProperty",   "ZARKGetStringContents",
      "ZARKStringLength",           "ZARKGetPropValue",       "ZARKSetPropValue",
      "ZARKInsertArrayValue",       "ZARKGetArrayValue",      "ZARKSetArrayValue",
      "ZARKLockPictureDescription", "ZARKPluginMain"};
  for (const auto& name : PluginCopy::ExportedNames()) {
    if (name.rfind("ZARK", 0) != 0) continue;
    const std::string plain = name.substr(0, name.find('('));
    bool typedArray = false;
    for (const char* prefix : {"ZARKInsertArrayValue", "ZARKGetArrayValue", "ZARKSetArrayValue"}) {
      if (plain.rfind(prefix, 0) == 0) typedArray = true;
    }
    EXPECT_TRUE(known.count(plain) != 0 || byHand.count(plain) != 0 || typedArray) << name;
  }
}

}  // namespace
}  // namespace lumeno::testing

// The host-entry wrapper family, in a private copy of the plug-in whose
// caches start empty. Every table-driven member asks for its required entry
// name, answers its fallback while the host lacks the entry, asks again on
// the next call, and once the entry exists forwards to it and never asks
// again. The members written by hand get tests of their own below.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "host/host.h"
#include "lumeno/wrappers.h"
#include "shell/plugin_copy.h"

namespace lumeno::testing {
namespace {

using Object = ZARKobjectStruct*;

// Fake host entries of any signature: each call is counted and answers a
// marker value that no wrapper returns on its own.
int gFakeCalls = 0;

template <typename R>
R Marker() {
  if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<R>(uintptr_t{0x5EED0});
  } else if constexpr (std::is_same_v<R, bool>) {
    return true;
  } else if constexpr (std::is_floating_point_v<R>) {
    return static_cast<R>(7.25);
  } else {
    return static_cast<R>(0x123456789ABCDEF7);  // every bit of a wide type matters
  }
}

template <typename F>
struct Fake;

template <typename R, typename... A>
struct Fake<R (*)(A...)> {
  static R Entry(A...) {
    ++gFakeCalls;
    if constexpr (!std::is_void_v<R>) return Marker<R>();
  }
  static void* Address() { return reinterpret_cast<void*>(&Entry); }
};

// Calls a function with every argument zero (null, false, 0).
template <typename R, typename... A>
R CallWithZeros(R (*function)(A...)) {
  return function(A{}...);
}


// The required entry name of every table member, grouped by how the name is
// formed. Names of the first four groups leave off the wrappers' "ZARK".
const char kPluginPrefixed[] =  // entry "Plugin" + name
    "GetPluginData CallFunctionWithExceptionHandler GetDelegateInvoker RegisterBackgroundTask "
    "UnregisterBackgroundTask RegisterClass RegisterModule RegisterInterface RegisterStructure "
    "RegisterEnum RegisterMethod RegisterClassExtension LoadSharedMethod GetStringData "
    "DisposeStringData BuildText CompareText ConcatenateText GetTextData DisposeTextData "
    "GetPropValueText SetPropValueText NewVariantText RegisterDBEngine RegisterDBTable "
    "RegisterDBCursor DefaultControlFont DefaultControlFontSize RegisterControl "
    "DefaultControlCaption MarkSocketUsage";
const char kRuntimePrefixed[] =  // entry "Runtime" + name
    "RaiseException GraphicsDrawString GraphicsStringWidth GraphicsStringHeight "
    "GraphicsTextHeight GraphicsTextAscent";
const char kBareNames[] =  // entry: the name without "ZARK"
    "GetEventInstance IsDarkMode RegisterDataSourceInterface RegisterDataSource "
    "RegisterDatabaseConnection DesignAddDataSource GetControlBounds GetControlVisible "
    "SetControlVisible GetTabPanelVisible FolderItemFromPath PtrToMemoryBlock SocketWrite";
const char kOwnNames[] =  // entry: the wrapper's own name
    "inRuntime LoadObjectMethod LockObject UnlockObject GetHXVersion YieldToHX InDebugMode "
    "GetProjectFolder GetSystemTextEncoding BuildString BuildStringWithEncoding LockString "
    "UnlockString LockText UnlockText StripAmpersands GetStringEncoding ConvertString "
    "SetStringEncoding GetPropValueString GetPropValueDouble GetPropValueObject GetPropValuePtr "
    "GetPropValueCString GetPropValueWString GetPropValuePString GetPropValueInt64 "
    "GetPropValueUInt64 GetPropValueUInt32 GetPropValueUInt16 GetPropValueInt16 "
    "GetPropValueSingle GetPropValueColor GetPropValueCurrency GetPropValueInteger "
    "SetPropValueString SetPropValueDouble SetPropValueObject SetPropValueColor "
    "SetPropValueCurrency SetPropValueInteger SetPropValueUInt32 SetPropValueUInt64 "
    "SetPropValueInt64 SetPropValueInt16 SetPropValueUInt16 SetPropValueInt8 SetPropValueBoolean "
    "SetPropValueSingle SetPropValuePtr SetPropValueCString SetPropValueWString "
    "SetPropValuePString dbCursorFromDBCursor dbDatabaseFromDBDatabase GetDBHost "
    "GetDBDatabaseName GetDBPassword GetDBUserName GetDBFromZARKdbDatabase ConstructDBDatabase "
    "DBConnectionDialogCreate DBConnectionDialogAddField DBConnectionDialogShow "
    "DBConnectionDialogDelete SetDBIsConnected GetCursorFromZARKdbCursor "
    "BuildPictureFromPictureDescription BuildPictureFromBuffer GetGraphicsOrigin "
    "SetGraphicsOrigin GetControlGraphics PictureClearCache GetFontEncoding GetPictureMask "
    "GetGraphicsFontStyle SetGraphicsStyle GraphicsDC DrawPicturePrimitive GraphicsGdkDrawable "
    "SetAccelerator GetControlEnabled InvalidateControl InvalidateControlRect GetControlFocus "
    "SetControlFocus GetControlParent GetControlName GetControlHandle GetWindowHandle "
    "pathFromFolderItem";
const char kOtherNames[] =  // full wrapper name:entry
    "ZARKObjectIsA:RuntimeObjectIsa ZARKGetClassRef:pluginObjectType "
    "ZARKnewInstance:PluginNewInstance ZARKInterfaceRoutine:GetInterfaceRoutine "
    "ZARKCompareStrings:RuntimeStringCompare ZARKAddStrings:RuntimeAddString "
    "ZARKstringToOSType:StringToOSType ZARKCString:StringGetCString ZARKPString:StringGetPString "
    "ZARKGetPropValueInt32:ZARKGetPropValueInt ZARKGetPropValueBoolean:ZARKGetPropValueBool "
    "ZARKSetPropValueInt32:ZARKSetPropValueInt ZARKSetPropValueUInt8:ZARKSetPropValueBoolean "
    "ZARKNewVariantString:StringToVariant ZARKNewVariantStructure:PluginStructureToVariant "
    "ZARKNewVariantPtr:PtrToVariant ZARKNewVariantCString:CStringToVariant "
    "ZARKNewVariantWString:WStringToVariant ZARKNewVariantPString:PStringToVariant "
    "ZARKNewVariantOSType:OSTypeToVariant ZARKNewVariantInteger:Int32ToVariant "
    "ZARKNewVariantHXInteger:IntegerToVariant ZARKNewVariantDouble:DoubleToVariant "
    "ZARKNewVariantBoolean:BooleanToVariant ZARKNewVariantColor:ColorToVariant "
    "ZARKNewVariantUInt32:UInt32ToVariant ZARKNewVariantInt64:Int64ToVariant "
    "ZARKNewVariantUInt64:UInt64ToVariant ZARKNewVariantSingle:SingleToVariant "
    "ZARKNewVariantCurrency:CurrencyToVariant ZARKGetVariantStructure:PluginStructureFromVariant "
    "ZARKGetArrayUBound:RuntimeUBound ZARKGetArrayStructure:RuntimeDirectReadStructureArray "
    "ZARKCreateArray:RuntimeArrayCreateSingleDimBoundedArray "
    "ZARKGetArrayInt:RuntimeDirectReadIntArray ZARKGetArrayString:RuntimeDirectReadStringArray "
    "ZARKGetArrayObject:RuntimeDirectReadObjectArray "
    "ZARKLockPictureDescriptionWithNativeType:lockPictureDescription "
    "ZARKUnlockPictureDescription:unlockPictureDescription "
    "GraphicsDrawLine:RuntimeGraphicsDrawLine ZARKGetPictureGraphics:pluginPictureGraphicsGetter "
    "ZARKNewPicture:newPicture ZARKGetControlWindow:getControlWindow ZARKMessageBox:RuntimeMsgBox "
    "ZARKSetControlEnabled:controlEnabledSetter ZARKGetControlPosition:ctlPosGetter "
    "ZARKSetControlPosition:ctlPosSetter ZARKNewMemoryBlock:newMemoryBlock "
    "ZARKMemoryBlockGetPtr:memoryBlockGetPtr ZARKMemoryBlockGetSize:memoryBlockGetSize "
    "ZARKSocketConnect:socketDirectConnect ZARKSocketClose:socketClose "
    "ZARKSocketReadAll:pluginSocketReadAll ZARKSocketRead:pluginSocketRead "
    "ZARKSocketLastErrorCode:socketLastErrorCode ZARKSocketLookahead:pluginSocketLookahead "
    "ZARKSocketLocalAddressGetter:socketLocalAddressGetter ZARKSocketPoll:socketPoll "
    "ZARKSocketGetEvents:socketGetEvents ZARKSocketListen:pluginSocketListen";

// Wrapper name -> required entry name.
const std::map<std::string, std::string>& RequiredEntries() {
  static const std::map<std::string, std::string> entries = [] {
    std::map<std::string, std::string> result;
    auto add = [&](const char* words, auto entryOf) {
      std::istringstream in(words);
      for (std::string w; in >> w;) result["ZARK" + w] = entryOf(w);
    };
    add(kPluginPrefixed, [](const std::string& w) { return "Plugin" + w; });
    add(kRuntimePrefixed, [](const std::string& w) { return "Runtime" + w; });
    add(kBareNames, [](const std::string& w) { return w; });
    add(kOwnNames, [](const std::string& w) { return "ZARK" + w; });
    std::istringstream in(kOtherNames);
    for (std::string w; in >> w;) result[w.substr(0, w.find(':'))] = w.substr(w.find(':') + 1);
    return result;
  }();
  return entries;
}

// What a wrapper answers while its entry is missing, where that is not zero.
const std::map<std::string, double> kNonZeroFallbacks = {
    {"ZARKGetSystemTextEncoding", 0x08000100}, {"ZARKRegisterBackgroundTask", -1}};

// The one overload of a name the tables describe, where a hand-written
// overload of the same name exists too.
const std::map<std::string, std::string> kTableOverloads = {
    {"ZARKnewInstance", "ZARKnewInstance(char const*)"},
    {"ZARKBuildString", "ZARKBuildString(char const*, int)"}};

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
  const std::string wrapper = name;
  auto call = [wrapper](const PluginCopy& copy, const std::string& signature) {
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
        auto it = kNonZeroFallbacks.find(wrapper);
        if (it != kNonZeroFallbacks.end()) fallback = static_cast<R>(it->second);
      }
      return answer == fallback ? Answer::kFallback : Answer::kOther;
    }
  };
  return {wrapper, Fake<Fn>::Address(), call};
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

// The tables hold every required wrapper, once, and nothing else.
TEST(WrapperFamily, TablesHoldExactlyTheRequiredWrappers) {
  std::set<std::string> covered;
  for (const auto& c : AllCases()) {
    EXPECT_TRUE(covered.insert(c.name).second) << c.name << " listed twice";
    EXPECT_EQ(RequiredEntries().count(c.name), 1u) << c.name << " has no required entry";
  }
  EXPECT_EQ(RequiredEntries().size(), 201u) << "the required list itself";
  for (const auto& [wrapper, entry] : RequiredEntries()) {
    EXPECT_EQ(covered.count(wrapper), 1u) << wrapper << " missing";
  }
}

TEST(WrapperFamily, ResolvesItsEntryFallsBackRetriesAndKeeps) {
  PluginCopy copy;
  for (const auto& c : AllCases()) {
    SCOPED_TRACE(c.name);
    auto required = RequiredEntries().find(c.name);
    ASSERT_NE(required, RequiredEntries().end());
    const std::string& entry = required->second;
    auto overload = kTableOverloads.find(c.name);
    const auto overloads = PluginCopy::Overloads(c.name);
    const std::string signature = overload != kTableOverloads.end() ? overload->second
                                  : overloads.size() == 1           ? overloads[0]
                                                                    : std::string();
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

// An overload of a generic name reaches the entry of its typed wrapper.
template <typename F>
void ExpectOverloadAsks(const PluginCopy& copy, const std::string& signature,
                        const std::string& entry) {
  SCOPED_TRACE(signature);
  host::Host host;
  host.HideEntry(entry);
  if (auto function = copy.Function<F>(signature)) CallWithZeros(function);
  EXPECT_EQ(host.ResolveCount(entry), 1) << entry;
}

// The property overloads of a type: getter (if `get` is set) and setter.
template <typename T>
void ExpectPropertyOverloads(const PluginCopy& copy, const std::string& type, const char* get,
                             const char* set) {
  const std::string prefix = "(ZARKobjectStruct*, char const*, " + type;
  if (*get) {
    ExpectOverloadAsks<bool (*)(Object, const char*, T*)>(
        copy, "ZARKGetPropValue" + prefix + "*)", std::string("ZARKGetPropValue") + get);
  }
  ExpectOverloadAsks<bool (*)(Object, const char*, T)>(copy, "ZARKSetPropValue" + prefix + ")",
                                                       std::string("ZARKSetPropValue") + set);
}

// The array overloads of a type ask for the procedure finders of its word.
template <typename T>
void ExpectArrayOverloads(const PluginCopy& copy, const std::string& type, const std::string& word,
                          bool insert) {
  const std::string args = "(ZARKarrayStruct*, long, " + type;
  const std::string entry = "Plugin" + word + "Array";
  using Array = ZARKarrayStruct*;
  if (insert) {
    ExpectOverloadAsks<void (*)(Array, int64_t, T)>(copy, "ZARKInsertArrayValue" + args + ")",
                                                    entry + "InsertProc");
  }
  ExpectOverloadAsks<void (*)(Array, int64_t, T*)>(copy, "ZARKGetArrayValue" + args + "*)",
                                                   entry + "GetProc");
  ExpectOverloadAsks<void (*)(Array, int64_t, T)>(copy, "ZARKSetArrayValue" + args + ")",
                                                  entry + "SetProc");
}

TEST(WrapperFamily, OverloadsForwardToTheirTypedWrapper) {
  PluginCopy copy;
  using Str = ZARKstringStruct*;
  ExpectPropertyOverloads<int16_t>(copy, "short", "Int16", "Int16");
  ExpectPropertyOverloads<uint16_t>(copy, "unsigned short", "UInt16", "UInt16");
  ExpectPropertyOverloads<double>(copy, "double", "Double", "Double");
  ExpectPropertyOverloads<float>(copy, "float", "Single", "Single");
  ExpectPropertyOverloads<Str>(copy, "ZARKstringStruct*", "String", "String");
  ExpectPropertyOverloads<Object>(copy, "ZARKobjectStruct*", "Object", "Ptr");
  ExpectPropertyOverloads<const char*>(copy, "char const*", "", "CString");
  ExpectPropertyOverloads<const wchar_t*>(copy, "wchar_t const*", "", "WString");
  ExpectArrayOverloads<int16_t>(copy, "short", "Int16", true);
  ExpectArrayOverloads<uint16_t>(copy, "unsigned short", "UInt16", true);
  ExpectArrayOverloads<double>(copy, "double", "Double", true);
  ExpectArrayOverloads<float>(copy, "float", "Single", true);
  ExpectArrayOverloads<Str>(copy, "ZARKstringStruct*", "String", true);
  ExpectArrayOverloads<Object>(copy, "ZARKobjectStruct*", "Object", true);
  ExpectArrayOverloads<RuntimeText*>(copy, "RuntimeText*", "Text", false);
  ExpectOverloadAsks<Str (*)(const char*, int32_t, uint32_t)>(
      copy, "ZARKBuildString(char const*, int, unsigned int)", "ZARKBuildStringWithEncoding");
  ExpectOverloadAsks<bool (*)(Object, ZARKpictureDescription*)>(
      copy, "ZARKLockPictureDescription(ZARKobjectStruct*, ZARKpictureDescription*)",
      "lockPictureDescription");
  ExpectOverloadAsks<Object (*)(ZARKclassRefStruct*)>(copy, "ZARKnewInstance(ZARKclassRefStruct*)",
                                                      "CreateInstance");
  ExpectOverloadAsks<void* (*)(const char*, const char*)>(
      copy, "ZARKLoadGlobalMethod(char const*, char const*)", "ZARKLoadGlobalMethod");
}

// Every exported wrapper-like name is either in the tables or one of the
// members written out by hand, so no member escapes the tests.
TEST(WrapperFamily, NoExportedMemberOutsideTheTests) {
  std::set<std::string> known;
  for (const auto& c : AllCases()) known.insert(c.name);
  for (const char* name :
       {"ZARKnewInstanceWithClass", "ZARKnewInstanceOfClass", "ZARKLoadFrameworkMethod",
        "ZARKLoadGlobalMethod", "ZARKGetClassData", "ZARKGetControlData",
        "ZARKCountClassProperties", "ZARKGetClassProperty", "ZARKGetStringContents",
        "ZARKStringLength", "ZARKGetPropValue", "ZARKSetPropValue", "ZARKInsertArrayValue",
        "ZARKGetArrayValue", "ZARKSetArrayValue", "ZARKLockPictureDescription", "ZARKPluginMain"}) {
    known.insert(name);
  }
  for (const auto& name : PluginCopy::ExportedNames()) {
    if (name.rfind("ZARK", 0) != 0) continue;
    const std::string plain = name.substr(0, name.find('('));
    bool typedArray = false;
    for (const char* prefix : {"ZARKInsertArrayValue", "ZARKGetArrayValue", "ZARKSetArrayValue"}) {
      if (plain.rfind(prefix, 0) == 0) typedArray = true;
    }
    EXPECT_TRUE(known.count(plain) != 0 || typedArray) << name;
  }
}

// Every recording fake below writes here; each test starts it afresh.
struct Record {
  int calls = 0;
  std::vector<uintptr_t> arguments;
  std::string text;
};
Record gRecord;

Object CreateInstanceFake(ZARKclassRefStruct* classRef) {
  ++gRecord.calls;
  gRecord.arguments = {reinterpret_cast<uintptr_t>(classRef)};
  return reinterpret_cast<Object>(uintptr_t{0xABC0});
}

const char kLenB[] = "LenB( s as string ) as integer";

int64_t LenBFake(ZARKstringStruct* string) {
  ++gRecord.calls;
  gRecord.arguments.push_back(reinterpret_cast<uintptr_t>(string));
  return 17;
}

// "ZARKLoadGlobalMethod": answers LenBFake for the length method.
void* LoadGlobalMethodFake(const char* module, const char* declaration) {
  gRecord.arguments.push_back(reinterpret_cast<uintptr_t>(module));
  gRecord.text = declaration != nullptr ? declaration : "";
  return gRecord.text == kLenB ? reinterpret_cast<void*>(&LenBFake) : nullptr;
}

const char* CStringFake(ZARKstringStruct*) { return "contents"; }

// -- Members written by hand ---------------------------------------------------

class WrapperVariations : public ::testing::Test {
 protected:
  void SetUp() override { gRecord = Record{}; }
  // The copy outlives the host: the host is declared after it.
  PluginCopy copy_;
  host::Host host_;
};

TEST_F(WrapperVariations, NewInstanceWithNullClassNeverCallsTheHost) {
  host_.AddEntry("CreateInstance", reinterpret_cast<void*>(&CreateInstanceFake));
  auto newInstance = copy_.Function<Object (*)(ZARKclassRefStruct*)>(
      "ZARKnewInstanceWithClass(ZARKclassRefStruct*)");
  EXPECT_EQ(newInstance(nullptr), nullptr);
  EXPECT_EQ(gRecord.calls, 0);
  // The entry is looked up before the class reference is tested.
  EXPECT_EQ(host_.ResolveCount("CreateInstance"), 1);

  auto classRef = reinterpret_cast<ZARKclassRefStruct*>(uintptr_t{0x1230});
  EXPECT_EQ(newInstance(classRef), reinterpret_cast<Object>(uintptr_t{0xABC0}));
  EXPECT_EQ(gRecord.calls, 1);
  EXPECT_EQ(gRecord.arguments, std::vector<uintptr_t>{0x1230});
  EXPECT_EQ(host_.ResolveCount("CreateInstance"), 1);
}

TEST_F(WrapperVariations, NewInstanceOfClassFallsBackToTheClassName) {
  auto newInstanceOfClass = copy_.Function<Object (*)(ZARKclassDefinition*)>(
      "ZARKnewInstanceOfClass(ZARKclassDefinition*)");
  ZARKclassDefinition bitmapDefinition{};
  bitmapDefinition.name = "RawBitmap";
  ZARKclassDefinition unknownDefinition{};
  unknownDefinition.name = "NoSuchClassRaw";

  host_.HideEntry("PluginNewInstanceOfClass");
  host::Ref bitmap(host_, newInstanceOfClass(&bitmapDefinition));
  ASSERT_TRUE(bitmap);
  EXPECT_TRUE(host_.IsA(bitmap.get(), "RawBitmap"));
  EXPECT_EQ(newInstanceOfClass(&unknownDefinition), nullptr);
  EXPECT_EQ(host_.ResolveCount("PluginNewInstanceOfClass"), 2);

  // With the entry, the definition goes straight to it.
  using Entry = Object (*)(ZARKclassDefinition*);
  host_.ShowEntry("PluginNewInstanceOfClass");
  host_.AddEntry("PluginNewInstanceOfClass", Fake<Entry>::Address());
  gFakeCalls = 0;
  EXPECT_EQ(newInstanceOfClass(&unknownDefinition), Marker<Object>());
  EXPECT_EQ(gFakeCalls, 1);
}

TEST_F(WrapperVariations, StringLengthUsesTheLengthMethodLoadedOnce) {
  auto length =
      copy_.Function<int64_t (*)(ZARKstringStruct*)>("ZARKStringLength(ZARKstringStruct*)");
  auto string = reinterpret_cast<ZARKstringStruct*>(uintptr_t{0x5550});

  host_.HideEntry("ZARKLoadGlobalMethod");
  EXPECT_EQ(length(string), 0);
  host_.ShowEntry("ZARKLoadGlobalMethod");
  host_.AddEntry("ZARKLoadGlobalMethod", reinterpret_cast<void*>(&LoadGlobalMethodFake));
  EXPECT_EQ(length(string), 17);
  EXPECT_EQ(length(string), 17);
  EXPECT_EQ(gRecord.text, kLenB);
  EXPECT_EQ(gRecord.calls, 2);
  // One framework lookup (the first argument) and two length calls.
  EXPECT_EQ(gRecord.arguments, (std::vector<uintptr_t>{0, 0x5550, 0x5550}));
}

TEST_F(WrapperVariations, StringContentsGivesTextAndLength) {
  host_.AddEntry("StringGetCString", reinterpret_cast<void*>(&CStringFake));
  host_.AddEntry("ZARKLoadGlobalMethod", reinterpret_cast<void*>(&LoadGlobalMethodFake));
  auto contents = copy_.Function<const char* (*)(ZARKstringStruct*, int64_t*)>(
      "ZARKGetStringContents(ZARKstringStruct*, long*)");
  auto cString =
      copy_.Function<const char* (*)(ZARKstringStruct*)>("ZARKCString(ZARKstringStruct*)");
  auto string = reinterpret_cast<ZARKstringStruct*>(uintptr_t{0x7770});

  // Null answers null and leaves the length, without asking the host.
  int64_t length = -5;
  EXPECT_EQ(contents(nullptr, &length), nullptr);
  EXPECT_EQ(length, -5);
  EXPECT_EQ(host_.ResolveCount("StringGetCString"), 0);
  EXPECT_STREQ(contents(string, &length), "contents");
  EXPECT_EQ(length, 17);
  EXPECT_STREQ(contents(string, nullptr), "contents");
  EXPECT_EQ(gRecord.calls, 1) << "no length call without a length to store";

  // ZARKCString resolves the same name into a slot of its own.
  EXPECT_EQ(host_.ResolveCount("StringGetCString"), 1);
  EXPECT_STREQ(cString(string), "contents");
  EXPECT_EQ(host_.ResolveCount("StringGetCString"), 2);
}

// Script resolver fakes for the class-property wrappers.
ZARKclassRefStruct* const kScriptClass = reinterpret_cast<ZARKclassRefStruct*>(uintptr_t{0xC1A0});
Object const kNamelessObject = reinterpret_cast<Object>(uintptr_t{0xD0});

ZARKclassRefStruct* ClassOfFake(Object object) {
  return object == kNamelessObject ? nullptr : kScriptClass;
}
int32_t CountPropertiesFake(ZARKclassRefStruct* classRef) {
  ++gRecord.calls;
  gRecord.arguments = {reinterpret_cast<uintptr_t>(classRef)};
  return 6;
}
bool GetPropertyFake(ZARKclassRefStruct* classRef, int32_t index, void** getter, void** setter,
                     intptr_t* parameter, const char** declaration) {
  ++gRecord.calls;
  gRecord.arguments = {
      reinterpret_cast<uintptr_t>(classRef),  static_cast<uintptr_t>(index),
      reinterpret_cast<uintptr_t>(getter),    reinterpret_cast<uintptr_t>(setter),
      reinterpret_cast<uintptr_t>(parameter), reinterpret_cast<uintptr_t>(declaration)};
  return true;
}
void* ScriptResolverFake(const char* name) {
  gRecord.text += std::string(name) + ";";
  if (std::strcmp(name, "RuntimeClassOf") == 0) return reinterpret_cast<void*>(&ClassOfFake);
  if (std::strcmp(name, "ZARKCountClassProperties") == 0) {
    return reinterpret_cast<void*>(&CountPropertiesFake);
  }
  if (std::strcmp(name, "ZARKGetClassProperty") == 0) {
    return reinterpret_cast<void*>(&GetPropertyFake);
  }
  return nullptr;
}

using CountProc = int32_t (*)(Object);
using PropertyProc = bool (*)(Object, int32_t, void**, void**, intptr_t*, const char**);
const char kCountSignature[] = "ZARKCountClassProperties(ZARKobjectStruct*)";
const char kPropertySignature[] =
    "ZARKGetClassProperty(ZARKobjectStruct*, int, void**, void**, long*, char const**)";

TEST_F(WrapperVariations, ClassPropertiesWithoutScriptResolverAnswerZero) {
  host_.HideEntry("GetHXScriptResolver");
  EXPECT_EQ(copy_.Function<CountProc>(kCountSignature)(kNamelessObject), 0);
  EXPECT_FALSE(copy_.Function<PropertyProc>(kPropertySignature)(kNamelessObject, 0, nullptr,
                                                                nullptr, nullptr, nullptr));
}

TEST_F(WrapperVariations, ClassPropertiesGoThroughTheScriptResolver) {
  host_.AddEntry("GetHXScriptResolver", reinterpret_cast<void*>(&ScriptResolverFake));
  auto count = copy_.Function<CountProc>(kCountSignature);
  auto property = copy_.Function<PropertyProc>(kPropertySignature);
  auto object = reinterpret_cast<Object>(uintptr_t{0xE0});

  // An object whose class the host cannot name.
  EXPECT_EQ(count(kNamelessObject), 0);
  EXPECT_EQ(gRecord.calls, 0);
  EXPECT_EQ(count(object), 6);
  EXPECT_EQ(gRecord.arguments, std::vector<uintptr_t>{0xC1A0});

  void* getter = nullptr;
  void* setter = nullptr;
  intptr_t parameter = 0;
  const char* declaration = nullptr;
  EXPECT_TRUE(property(object, 3, &getter, &setter, &parameter, &declaration));
  EXPECT_EQ(
      gRecord.arguments,
      (std::vector<uintptr_t>{
          0xC1A0, 3, reinterpret_cast<uintptr_t>(&getter), reinterpret_cast<uintptr_t>(&setter),
          reinterpret_cast<uintptr_t>(&parameter), reinterpret_cast<uintptr_t>(&declaration)}));
  // Each wrapper asked the host for its script resolver once and filled its
  // own two slots once.
  EXPECT_EQ(host_.ResolveCount("GetHXScriptResolver"), 2);
  EXPECT_EQ(gRecord.text,
            "ZARKCountClassProperties;RuntimeClassOf;ZARKGetClassProperty;RuntimeClassOf;");
}

// Array procedures: the finder answers a procedure per array; these record
// the arguments in order, and the marker value travels through them.
ZARKarrayStruct* const kArray = reinterpret_cast<ZARKarrayStruct*>(uintptr_t{0xA110});
int gFinderCalls = 0;

template <typename T>
struct ArrayProcedures {
  static inline std::vector<std::string> calls;
  static void Insert(ZARKarrayStruct* array, int64_t index, T value) {
    calls.push_back("insert " + std::to_string(array == kArray) + " " + std::to_string(index) +
                    " " + std::to_string(value == Marker<T>()));
  }
  static void Set(ZARKarrayStruct* array, T value, int64_t index) {
    calls.push_back("set " + std::to_string(array == kArray) + " " + std::to_string(index) + " " +
                    std::to_string(value == Marker<T>()));
  }
  static T Get(ZARKarrayStruct* array, int64_t index) {
    calls.push_back("get " + std::to_string(array == kArray) + " " + std::to_string(index));
    return Marker<T>();
  }
  static void* FindInsert(ZARKarrayStruct*) {
    return ++gFinderCalls, reinterpret_cast<void*>(&Insert);
  }
  static void* FindSet(ZARKarrayStruct*) { return ++gFinderCalls, reinterpret_cast<void*>(&Set); }
  // No procedure for any other array.
  static void* FindGet(ZARKarrayStruct* array) {
    return ++gFinderCalls, array == kArray ? reinterpret_cast<void*>(&Get) : nullptr;
  }
};

template <typename T>
void CheckArrayWrappers(const PluginCopy& copy, host::Host& host, const std::string& word,
                        const std::string& typeName) {
  SCOPED_TRACE(word);
  using Procs = ArrayProcedures<T>;
  Procs::calls.clear();
  gFinderCalls = 0;
  const std::string prefix = "Plugin" + word + "Array";
  host.AddEntry(prefix + "InsertProc", reinterpret_cast<void*>(&Procs::FindInsert));
  host.AddEntry(prefix + "SetProc", reinterpret_cast<void*>(&Procs::FindSet));
  host.AddEntry(prefix + "GetProc", reinterpret_cast<void*>(&Procs::FindGet));

  auto insert = copy.Function<void (*)(ZARKarrayStruct*, int64_t, T)>(
      "ZARKInsertArrayValue" + word + "(ZARKarrayStruct*, long, " + typeName + ")");
  auto set = copy.Function<void (*)(ZARKarrayStruct*, int64_t, T)>(
      "ZARKSetArrayValue" + word + "(ZARKarrayStruct*, long, " + typeName + ")");
  auto get = copy.Function<void (*)(ZARKarrayStruct*, int64_t, T*)>(
      "ZARKGetArrayValue" + word + "(ZARKarrayStruct*, long, " + typeName + "*)");
  if (insert == nullptr || set == nullptr || get == nullptr) return;

  insert(kArray, 5, Marker<T>());
  set(kArray, 5, Marker<T>());
  T out{};
  get(nullptr, 5, &out);
  EXPECT_TRUE(out == T{}) << "without a procedure the out is left alone";
  get(kArray, 5, &out);
  EXPECT_TRUE(out == Marker<T>());
  get(kArray, 5, nullptr);
  EXPECT_EQ(gFinderCalls, 5) << "the finder is asked even without an out";
  EXPECT_EQ(Procs::calls, (std::vector<std::string>{"insert 1 5 1", "set 1 5 1", "get 1 5"}));
}

TEST_F(WrapperVariations, TypedArrayWrappersPassArgumentsInTheirOrder) {
  CheckArrayWrappers<uint32_t>(copy_, host_, "Color", "unsigned int");
  CheckArrayWrappers<int64_t>(copy_, host_, "Integer", "long");
  CheckArrayWrappers<bool>(copy_, host_, "Boolean", "bool");
  CheckArrayWrappers<int64_t>(copy_, host_, "Currency", "long");
  CheckArrayWrappers<int64_t>(copy_, host_, "Int64", "long");
  CheckArrayWrappers<int32_t>(copy_, host_, "Int32", "int");
  CheckArrayWrappers<int16_t>(copy_, host_, "Int16", "short");
  CheckArrayWrappers<int8_t>(copy_, host_, "Int8", "signed char");
  CheckArrayWrappers<uint64_t>(copy_, host_, "UInt64", "unsigned long");
  CheckArrayWrappers<uint32_t>(copy_, host_, "UInt32", "unsigned int");
  CheckArrayWrappers<uint16_t>(copy_, host_, "UInt16", "unsigned short");
  CheckArrayWrappers<uint8_t>(copy_, host_, "UInt8", "unsigned char");
  CheckArrayWrappers<float>(copy_, host_, "Single", "float");
  CheckArrayWrappers<double>(copy_, host_, "Double", "double");
  CheckArrayWrappers<ZARKstringStruct*>(copy_, host_, "String", "ZARKstringStruct*");
  CheckArrayWrappers<RuntimeText*>(copy_, host_, "Text", "RuntimeText*");
  CheckArrayWrappers<Object>(copy_, host_, "Object", "ZARKobjectStruct*");
}

// The class data offset is exercised by every effect; the control's sits at
// byte 104 of its definition.
TEST_F(WrapperVariations, ControlDataAddsTheStoredOffset) {
  auto controlData = copy_.Function<void* (*)(Object, ZARKcontrolDefinition*)>(
      "ZARKGetControlData(ZARKobjectStruct*, ZARKcontrolDefinition*)");
  alignas(16) unsigned char instance[64] = {};
  uint64_t control[20] = {};
  control[13] = 40;
  EXPECT_EQ(controlData(reinterpret_cast<Object>(instance),
                        reinterpret_cast<ZARKcontrolDefinition*>(control)),
            instance + 40);
}

}  // namespace
}  // namespace lumeno::testing

// Class registration, instance layout, object lifetime and misuse detection,
// driven through the resolver's entries as a plug-in would.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "records.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Host;

std::vector<std::string>& Log() {
  static std::vector<std::string> log;
  return log;
}

// Constructors and destructors note their class and whether the class's own
// data was still zero when the constructor ran.
bool DataIsZero(Object self, const char* className, size_t size) {
  auto* data = static_cast<uint8_t*>(Host::Current()->ClassData(self, className));
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

void BaseCtor(Object self) {
  Log().push_back(DataIsZero(self, "ChainBase", 88) ? "+Base" : "+Base(dirty)");
  // Mark the data so a later class of the chain can see it is not overwritten.
  std::memset(Host::Current()->ClassData(self, "ChainBase"), 0xAB, 88);
}
void MidCtor(Object self) {
  Log().push_back(DataIsZero(self, "ChainMid", 16) ? "+Mid" : "+Mid(dirty)");
}
void LeafCtor(Object self) {
  Log().push_back(DataIsZero(self, "ChainLeaf", 24) ? "+Leaf" : "+Leaf(dirty)");
}
void BaseDtor(Object) { Log().push_back("-Base"); }
void MidDtor(Object) { Log().push_back("-Mid"); }
void LeafDtor(Object) { Log().push_back("-Leaf"); }

ZARKclassDefinition* ChainBase() {
  static ZARKclassDefinition c = [] {
    auto r = ClassRecord("ChainBase", nullptr, 88);
    r.constructor = &BaseCtor;
    r.destructor = &BaseDtor;
    return r;
  }();
  return &c;
}
ZARKclassDefinition* ChainMid() {
  static ZARKclassDefinition c = [] {
    auto r = ClassRecord("ChainMid", "ChainBase", 16);
    r.constructor = &MidCtor;
    r.destructor = &MidDtor;
    return r;
  }();
  return &c;
}
ZARKclassDefinition* ChainLeaf() {
  static ZARKclassDefinition c = [] {
    auto r = ClassRecord("ChainLeaf", "ChainMid", 24);
    r.constructor = &LeafCtor;
    r.destructor = &LeafDtor;
    return r;
  }();
  return &c;
}
// A second direct subclass of the base: its data sits where ChainMid's does.
ZARKclassDefinition* ChainSibling() {
  static ZARKclassDefinition c = ClassRecord("ChainSibling", "ChainBase", 32);
  return &c;
}

class ObjectsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Log().clear();
    auto registerClass = Entry<void(ZARKclassDefinition*)>("PluginRegisterClass");
    registerClass(ChainBase());
    registerClass(ChainMid());
    registerClass(ChainLeaf());
    registerClass(ChainSibling());
  }
  ZARKclassRefStruct* Ref(const char* name) {
    return Entry<ZARKclassRefStruct*(const char*)>("pluginObjectType")(name);
  }
  Object Create(const char* name) {
    return Entry<Object(ZARKclassRefStruct*)>("CreateInstance")(Ref(name));
  }
  void Lock(Object o) { Entry<void(Object)>("ZARKLockObject")(o); }
  void Unlock(Object o) { Entry<void(Object)>("ZARKUnlockObject")(o); }
};

TEST_F(ObjectsTest, ThreeLevelChainIsLaidOutBaseFirstWithoutGaps) {
  EXPECT_EQ(ChainBase()->dataOffset, host::kObjectHeaderSize);
  EXPECT_EQ(ChainMid()->dataOffset, host::kObjectHeaderSize + 88);
  EXPECT_EQ(ChainLeaf()->dataOffset, host::kObjectHeaderSize + 88 + 16);
  EXPECT_EQ(ChainSibling()->dataOffset, ChainMid()->dataOffset);
  const host::ClassInfo* leaf = host().FindClass("ChainLeaf");
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->instanceSize, host::kObjectHeaderSize + 88 + 16 + 24);
  ASSERT_NE(leaf->super, nullptr);
  EXPECT_STREQ(leaf->super->definition->name, "ChainMid");
  EXPECT_EQ(leaf->super->super->super, nullptr);

  Object o = Create("ChainLeaf");
  ASSERT_NE(o, nullptr);
  auto pluginData = Entry<void*(Object, ZARKclassRefStruct*)>("PluginGetPluginData");
  auto* base = reinterpret_cast<uint8_t*>(o);
  struct Case {
    const char* name;
    int64_t offset;
  };
  for (Case c : {Case{"ChainBase", 32}, Case{"ChainMid", 120}, Case{"ChainLeaf", 136}}) {
    EXPECT_EQ(pluginData(o, Ref(c.name)), base + c.offset) << c.name;
  }
  // Not in the object's chain, and no object at all.
  EXPECT_EQ(pluginData(o, Ref("ChainSibling")), nullptr);
  EXPECT_EQ(pluginData(nullptr, Ref("ChainBase")), nullptr);
  Unlock(o);
}

TEST_F(ObjectsTest, ConstructorsRunBaseFirstOnZeroDataDestructorsSubclassFirst) {
  Object o = Create("ChainLeaf");
  EXPECT_EQ(Log(), (std::vector<std::string>{"+Base", "+Mid", "+Leaf"}));
  Log().clear();
  Unlock(o);
  EXPECT_EQ(Log(), (std::vector<std::string>{"-Leaf", "-Mid", "-Base"}));
}

TEST_F(ObjectsTest, RegistrationKeepsOrderAndRefusesUnknownSuperclass) {
  const auto& classes = host().Classes();
  ASSERT_GE(classes.size(), 4u);
  std::vector<std::string> last;
  for (size_t i = classes.size() - 4; i < classes.size(); ++i) {
    last.push_back(classes[i]->definition->name);
  }
  EXPECT_EQ(last, (std::vector<std::string>{"ChainBase", "ChainMid", "ChainLeaf", "ChainSibling"}));

  static ZARKclassDefinition orphan = ClassRecord("Orphan", "NoSuchBase", 8);
  Entry<void(ZARKclassDefinition*)>("PluginRegisterClass")(&orphan);
  EXPECT_EQ(host().FindClass("Orphan"), nullptr);
  EXPECT_EQ(Ref("Orphan"), nullptr);
  ASSERT_EQ(host().Errors().size(), 1u);
  EXPECT_NE(host().Errors()[0].find("NoSuchBase"), std::string::npos);
  host().ClearErrors();

  // The same record again is accepted silently; another record of a taken
  // name is refused.
  Entry<void(ZARKclassDefinition*)>("PluginRegisterClass")(ChainMid());
  EXPECT_TRUE(host().Errors().empty());
  static ZARKclassDefinition impostor = ClassRecord("ChainMid", nullptr, 4);
  host().RegisterClass(&impostor);
  EXPECT_EQ(host().Errors().size(), 1u);
  EXPECT_EQ(host().FindClass("ChainMid")->definition, ChainMid());
  host().ClearErrors();
}

TEST_F(ObjectsTest, ClassReferencesAreRecordAddressesStableAcrossHosts) {
  EXPECT_EQ(Ref("ChainLeaf"), reinterpret_cast<ZARKclassRefStruct*>(ChainLeaf()));
  EXPECT_EQ(Ref("NoSuchClass"), nullptr);
  EXPECT_EQ(Ref("chainleaf"), nullptr);
  EXPECT_EQ(Entry<Object(ZARKclassRefStruct*)>("CreateInstance")(nullptr), nullptr);
  ZARKclassRefStruct* before = Ref("ChainLeaf");

  host_.reset();
  host_ = std::make_unique<Host>();
  EXPECT_EQ(Ref("ChainLeaf"), nullptr);  // not registered in the new host yet
  host().RegisterClass(ChainBase());
  host().RegisterClass(ChainMid());
  host().RegisterClass(ChainLeaf());
  EXPECT_EQ(Ref("ChainLeaf"), before);
  Object o = host().NewWithClass(before);
  ASSERT_NE(o, nullptr);
  EXPECT_TRUE(host().IsA(o, "ChainBase"));
  EXPECT_FALSE(host().IsA(o, "ChainSibling"));
  host().Unlock(o);
}

TEST_F(ObjectsTest, ModulesAreKeptInOrder) {
  static ZARKconstantDefinition constants[] = {{"ONE = 1", {}}, {"TWO = 2", {}}};
  static ZARKmoduleDefinition first{kZARKRecordVersion, "FirstModule", {}, constants, 2, {}};
  static ZARKmoduleDefinition second{kZARKRecordVersion, "SecondModule", {}, nullptr, 0, {}};
  auto registerModule = Entry<void(ZARKmoduleDefinition*)>("PluginRegisterModule");
  size_t before = host().Modules().size();
  registerModule(&first);
  registerModule(&second);
  ASSERT_EQ(host().Modules().size(), before + 2);
  EXPECT_EQ(host().Modules()[before].definition, &first);
  EXPECT_EQ(host().Modules()[before + 1].definition, &second);
}

TEST_F(ObjectsTest, ReferenceCountingAndLeakCount) {
  Object a = Create("ChainBase");
  Object b = Create("ChainLeaf");
  EXPECT_EQ(host().LiveObjects(), 2u);
  EXPECT_EQ(host().RefCount(a), 1);
  Lock(a);
  Lock(a);
  EXPECT_EQ(host().RefCount(a), 3);
  Unlock(a);
  Unlock(a);
  EXPECT_EQ(host().LiveObjects(), 2u);
  Lock(nullptr);  // accepted and ignored
  Unlock(nullptr);
  Unlock(a);
  EXPECT_EQ(host().LiveObjects(), 1u);  // b is still held: a leak if the test ended here
  EXPECT_EQ(host().RefCount(a), 0);
  Unlock(b);
  EXPECT_EQ(host().LiveObjects(), 0u);
  EXPECT_TRUE(host().Errors().empty());
}

TEST_F(ObjectsTest, MisuseOfDestroyedOrUnknownObjectsIsRecorded) {
  struct Case {
    const char* what;
    void (*misuse)(Host&, Object);
    const char* expected;
  };
  const Case cases[] = {
      {"double release", [](Host&, Object o) { Entry<void(Object)>("ZARKUnlockObject")(o); },
       "unlock of destroyed"},
      {"lock after release", [](Host&, Object o) { Entry<void(Object)>("ZARKLockObject")(o); },
       "lock of destroyed"},
      {"property after release", [](Host& h, Object o) { h.GetProperty(o, "x"); }, "destroyed"},
      {"method after release", [](Host& h, Object o) { h.FindMethod(o, "Run()"); }, "destroyed"},
  };
  for (const Case& c : cases) {
    Object o = Create("ChainLeaf");
    Unlock(o);
    Log().clear();
    c.misuse(host(), o);
    ASSERT_EQ(host().Errors().size(), 1u) << c.what;
    EXPECT_NE(host().Errors()[0].find(c.expected), std::string::npos) << host().Errors()[0];
    EXPECT_TRUE(Log().empty()) << c.what << ": destructors ran again";
    EXPECT_EQ(host().LiveObjects(), 0u);
    host().ClearErrors();
  }
  int notAnObject = 0;
  Unlock(reinterpret_cast<Object>(&notAnObject));
  ASSERT_EQ(host().Errors().size(), 1u);
  EXPECT_NE(host().Errors()[0].find("unknown"), std::string::npos);
  host().ClearErrors();
}

TEST_F(ObjectsTest, LocksFromOtherThreadsKeepTheCountExact) {
  Object o = Create("ChainBase");
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < 4) {
      }
      for (int i = 0; i < 5000; ++i) {
        host().Lock(o);
        EXPECT_GE(host().LiveObjects(), 1u);
        host().Unlock(o);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(host().RefCount(o), 1);
  Unlock(o);
  EXPECT_EQ(host().LiveObjects(), 0u);
}

// A holder keeps one reference on another object and drops it in its
// destructor, as plug-in classes do.
int gHolderDestroyed = 0;
void HolderDtor(Object self) {
  ++gHolderDestroyed;
  Object held;
  std::memcpy(&held, Host::Current()->ClassData(self, "Holder"), sizeof held);
  Host::Current()->Unlock(held);
}

TEST(HostTeardown, DestroysObjectsStillAliveAndDropsTasks) {
  static ZARKclassDefinition holder = [] {
    auto r = ClassRecord("Holder", nullptr, 8);
    r.destructor = &HolderDtor;
    return r;
  }();
  gHolderDestroyed = 0;
  {
    Host host;
    host.RegisterClass(&holder);
    Object inner = host.New("Holder");
    Object outer = host.New("Holder");
    std::memcpy(host.ClassData(outer, "Holder"), &inner, sizeof inner);  // outer owns inner's ref
    host.RegisterTask([](Object) {}, 25, outer);
    EXPECT_EQ(host.LiveObjects(), 2u);
    EXPECT_EQ(Host::Current(), &host);
  }
  EXPECT_EQ(gHolderDestroyed, 2);
  EXPECT_EQ(Host::Current(), nullptr);
  EXPECT_EQ(Host::ResolverEntry("ZARKLockObject"), nullptr);
  // Cached entries stay callable without a host and do nothing.
}

TEST(HostTeardown, EntriesWithoutAHostAnswerNothing) {
  EXPECT_EQ(Host::Current(), nullptr);
  void* lock;
  {
    Host host;
    lock = Host::ResolverEntry("ZARKLockObject");
    ASSERT_NE(lock, nullptr);
  }
  int dummy = 0;
  reinterpret_cast<void (*)(Object)>(lock)(reinterpret_cast<Object>(&dummy));
}

}  // namespace
}  // namespace lumeno::testing

// Refused registrations, misuse, counts across threads and teardown, driven
// through the resolver's entries as a plug-in would. Layout and plain
// lifetimes are exercised by every plug-in test through the host.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host_test.h"

namespace lumeno::testing {
namespace {

std::vector<std::string> gLog;

// Base <- Mid, registered by every case.
ZARKclassDefinition* Chain() {
  static ZARKclassDefinition chain[] = {records::Class("Base", nullptr, 88),
                                        records::Class("Mid", "Base", 16)};
  return chain;
}

class ObjectsTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    for (int i = 0; i < 2; ++i)
      Entry<void(ZARKclassDefinition*)>("PluginRegisterClass")(&Chain()[i]);
  }
  static ZARKclassRefStruct* Ref(const char* name) {
    return Entry<ZARKclassRefStruct*(const char*)>("pluginObjectType")(name);
  }
  static Object Create(const char* name) {
    return Entry<Object(ZARKclassRefStruct*)>("CreateInstance")(Ref(name));
  }
  static void Lock(Object o) { Entry<void(Object)>("ZARKLockObject")(o); }
  static void Unlock(Object o) { Entry<void(Object)>("ZARKUnlockObject")(o); }
};

// Every plug-in test fails on a recorded error, so a double release or a use
// after destruction must be recorded, not absorbed; and it must do no harm.
TEST_F(ObjectsTest, MisuseOfDestroyedOrUnknownObjectsIsRecordedAndHarmless) {
  int notAnObject = 0;
  struct Case {
    bool destroyed;
    void (*misuse)(Host&, Object);
    const char* expected;
  };
  const Case cases[] = {
      {true, [](Host&, Object o) { Unlock(o); }, "unlock of destroyed"},
      {true, [](Host&, Object o) { Lock(o); }, "lock of destroyed"},
      {true, [](Host& h, Object o) { h.GetProperty(o, "x"); }, "property read on destroyed"},
      {true, [](Host& h, Object o) { h.SetProperty(o, "x", 1.0); }, "property write on destroyed"},
      {true, [](Host& h, Object o) { h.FindMethod(o, "Run()"); }, "method lookup on destroyed"},
      {true, [](Host& h, Object o) { h.ClassData(o, "Base"); }, "data access on destroyed"},
      {false, [](Host&, Object o) { Unlock(o); }, "unlock of unknown"},
      {false, [](Host&, Object o) { Lock(o); }, "lock of unknown"},
      {false, [](Host& h, Object o) { h.FindProperty(o, "x"); }, "lookup on unknown"},
  };
  for (const Case& c : cases) {
    Object o = reinterpret_cast<Object>(&notAnObject);
    if (c.destroyed) {
      o = Create("Mid");
      Unlock(o);
    }
    c.misuse(host(), o);
    ASSERT_EQ(host().Errors().size(), 1u) << c.expected;
    EXPECT_NE(host().Errors()[0].find(c.expected), std::string::npos) << host().Errors()[0];
    EXPECT_EQ(host().RefCount(o), 0);
    EXPECT_EQ(host().ClassOf(o), nullptr);
    host().ClearErrors();
  }
}

// Lock and unlock from several threads at once keep the count exact.
TEST_F(ObjectsTest, LocksFromOtherThreadsKeepTheCountExact) {
  Object o = Create("Base");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([o] {
      for (int i = 0; i < 5000; ++i) {
        Lock(o);
        Unlock(o);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(host().RefCount(o), 1);
  Unlock(o);
}

TEST_F(ObjectsTest, BadRegistrationsAreRefusedAndRecorded) {
  static auto orphan = records::Class("Orphan", "NoSuchBase", 8);
  static auto impostor = records::Class("Mid", nullptr, 4);
  static auto negative = records::Class("Negative", nullptr, -8);
  static ZARKclassDefinition nameless{};
  struct Case {
    ZARKclassDefinition* record;
    const char* error;  // null: accepted without a word
  };
  for (Case c : {Case{&orphan, "NoSuchBase"}, Case{&impostor, "already registered"},
                 Case{&negative, "negative"}, Case{&nameless, "without"}, Case{nullptr, "without"},
                 Case{&Chain()[1], nullptr}}) {
    Entry<void(ZARKclassDefinition*)>("PluginRegisterClass")(c.record);
    ASSERT_EQ(host().Errors().size(), c.error != nullptr ? 1u : 0u);
    if (c.error != nullptr) {
      EXPECT_NE(host().Errors()[0].find(c.error), std::string::npos);
    }
    host().ClearErrors();
  }
  EXPECT_EQ(Ref("Orphan"), nullptr);
  EXPECT_EQ(host().FindClass("Mid")->definition, &Chain()[1]);
}

// A holder keeps one reference on the object in its data and drops it when
// destroyed, as plug-in classes do; its destructor logs its class's name.
template <const char* Name>
void DropHeld(Object self) {
  gLog.push_back(Name);
  Object held;
  std::memcpy(&held, Host::Current()->ClassData(self, Name), sizeof held);
  Host::Current()->Unlock(held);
}
constexpr char kPluginClass[] = "PluginHolder";
constexpr char kModuleClass[] = "ModuleHolder";
template <const char* Name>
ZARKclassDefinition* Holder() {
  static auto c = records::Class(Name, nullptr, 8, nullptr, &DropHeld<Name>);
  return &c;
}

TEST(HostTeardown, DestroysPluginObjectsThenModuleObjectsAndForgetsTheHost) {
  gLog.clear();
  void* lock = nullptr;
  {
    host::HostOptions options;
    options.modules = {[](Host& h) {
      h.RegisterClass(Holder<kModuleClass>());
      h.AtTeardown([] { gLog.push_back("teardown"); });
    }};
    Host host(options);
    EXPECT_EQ(host.FindClass("PointF"), nullptr) << "only the modules named";
    EXPECT_EQ(host.FindClass("RawBitmap"), nullptr);
    host.RegisterClass(Holder<kPluginClass>());
    Object shared = host.New(kModuleClass);
    Object inner = host.New(kPluginClass);
    Object outer = host.New(kPluginClass);
    std::memcpy(host.ClassData(inner, kPluginClass), &shared, sizeof shared);
    std::memcpy(host.ClassData(outer, kPluginClass), &inner, sizeof inner);
    host.Lock(shared);  // also held directly: it outlives the plug-in objects
    host.RegisterTask([](Object) {}, 25, outer);
    lock = Host::ResolverEntry("ZARKLockObject");
  }
  EXPECT_EQ(gLog, (std::vector<std::string>{kPluginClass, kPluginClass, kModuleClass, "teardown"}));
  EXPECT_EQ(Host::Current(), nullptr);
  EXPECT_EQ(Host::ResolverEntry("ZARKLockObject"), nullptr);
  int dummy = 0;
  reinterpret_cast<void (*)(Object)>(lock)(reinterpret_cast<Object>(&dummy));  // does nothing
}

}  // namespace
}  // namespace lumeno::testing

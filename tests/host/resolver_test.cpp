// The resolver (entries, hidden names, lookup counts, version) and the
// background-task service.
#include <chrono>
#include <string>
#include <vector>

#include "records.h"
#include "support/plugin_fixture.h"

namespace lumeno::testing {
namespace {

using host::Host;
using host::HostOptions;

const char* const kEntryNames[] = {
    "RegisterPluginVersion",
    "ZARKGetHXVersion",
    "pluginObjectType",
    "ZARKLockObject",
    "ZARKUnlockObject",
    "RuntimeInstallInstanceEventHandler",
    "PluginRegisterModule",
    "PluginRegisterClass",
    "CreateInstance",
    "PluginGetPluginData",
    "ZARKLoadObjectMethod",
    "ZARKGetPropValueSingle",
    "PluginRegisterBackgroundTask",
    "PluginUnregisterBackgroundTask",
};

using ResolverTest = HostTest;

TEST_F(ResolverTest, AnswersEveryEntryOnThePluginPathsAndCountsLookups) {
  for (const char* name : kEntryNames) {
    EXPECT_NE(Host::ResolverEntry(name), nullptr) << name;
    EXPECT_EQ(Host::ResolverEntry(name), host().Resolve(name)) << name;
    EXPECT_EQ(host().ResolveCount(name), 3) << name;
  }
  EXPECT_EQ(Host::ResolverEntry("NoSuchEntry"), nullptr);
  EXPECT_EQ(Host::ResolverEntry("zarklockobject"), nullptr);
  EXPECT_EQ(Host::ResolverEntry(nullptr), nullptr);
  EXPECT_EQ(host().ResolveCount("NoSuchEntry"), 1);
  EXPECT_EQ(host().ResolveCount("NeverAsked"), 0);
}

TEST_F(ResolverTest, HiddenEntriesAnswerNullButAreCounted) {
  void* lock = Host::ResolverEntry("ZARKLockObject");
  host().HideEntry("ZARKLockObject");
  EXPECT_EQ(Host::ResolverEntry("ZARKLockObject"), nullptr);
  EXPECT_EQ(host().ResolveCount("ZARKLockObject"), 2);
  host().ShowEntry("ZARKLockObject");
  EXPECT_EQ(Host::ResolverEntry("ZARKLockObject"), lock);

  host_.reset();
  HostOptions options;
  options.hiddenEntries = {"ZARKGetHXVersion", "CreateInstance"};
  host_ = std::make_unique<Host>(options);
  EXPECT_EQ(Host::ResolverEntry("ZARKGetHXVersion"), nullptr);
  EXPECT_EQ(Host::ResolverEntry("CreateInstance"), nullptr);
  EXPECT_NE(Host::ResolverEntry("ZARKUnlockObject"), nullptr);
}

int AddedEntry(int x) { return x + 1; }

TEST_F(ResolverTest, AddedEntriesAreOfferedAndReplaceBuiltInOnes) {
  host().AddEntry("ZARKExtra", reinterpret_cast<void*>(&AddedEntry));
  EXPECT_EQ(Entry<int(int)>("ZARKExtra")(1), 2);
  host().AddEntry("ZARKLockObject", reinterpret_cast<void*>(&AddedEntry));
  EXPECT_EQ(Host::ResolverEntry("ZARKLockObject"), reinterpret_cast<void*>(&AddedEntry));
  host().HideEntry("ZARKExtra");
  EXPECT_EQ(Host::ResolverEntry("ZARKExtra"), nullptr);
}

TEST_F(ResolverTest, VersionAndPluginVersion) {
  auto version = Entry<double()>("ZARKGetHXVersion");
  EXPECT_EQ(version(), host::kCurrentHostVersion);
  host().SetVersion(2010.99);
  EXPECT_EQ(version(), 2010.99);
  Entry<void(int32_t)>("RegisterPluginVersion")(13);
  EXPECT_EQ(host().RegisteredPluginVersion(), 13);
  // The handler installer is harmless to call.
  Entry<void(void*, void*)>("RuntimeInstallInstanceEventHandler")(nullptr, nullptr);

  host_.reset();
  HostOptions options;
  options.version = 100.0;
  host_ = std::make_unique<Host>(options);
  EXPECT_EQ(version(), 100.0) << "the entry forwards to the current host";
  EXPECT_EQ(host().RegisteredPluginVersion(), 0);
}

// -- Background tasks -----------------------------------------------------------------------

std::vector<std::string> gPolls;
Host* gHost = nullptr;
int32_t gIds[4];

ZARKclassDefinition* TaskDataClass() {
  static ZARKclassDefinition c = ClassRecord("TaskData", nullptr, 8);
  return &c;
}

// Each task's data is an object whose only field is a small number naming it.
int64_t Name(Object data) { return *static_cast<int64_t*>(gHost->ClassData(data, "TaskData")); }
void Poll(Object data) { gPolls.push_back("poll" + std::to_string(Name(data))); }
void PollAndStopSelf(Object data) {
  Poll(data);
  gHost->UnregisterTask(gIds[Name(data)]);
}
void PollAndStopNext(Object data) {
  Poll(data);
  gHost->UnregisterTask(gIds[Name(data) + 1]);
}
void PollAndStartAnother(Object data) {
  Poll(data);
  gHost->UnregisterTask(gIds[Name(data)]);
  gIds[3] = gHost->RegisterTask(&Poll, 25, data);
}

class TasksTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    gHost = &host();
    gPolls.clear();
    host().RegisterClass(TaskDataClass());
    for (int64_t i = 0; i < 4; ++i) {
      data_[i] = host::Ref(host(), host().New("TaskData"));
      *static_cast<int64_t*>(host().ClassData(data_[i].get(), "TaskData")) = i;
    }
  }
  void TearDown() override {
    for (auto& d : data_) d.Reset();
    HostTest::TearDown();
  }
  int32_t Register(void (*poll)(Object), int i) {
    return gIds[i] = Entry<int32_t(void (*)(Object), uint32_t, Object)>(
               "PluginRegisterBackgroundTask")(poll, 25, data_[i].get());
  }
  void Unregister(int32_t id) { Entry<void(int32_t)>("PluginUnregisterBackgroundTask")(id); }
  host::Ref data_[4];
};

TEST_F(TasksTest, PollsRunInRegistrationOrderUntilUnregistered) {
  int32_t a = Register(&Poll, 0), b = Register(&Poll, 1), c = Register(&Poll, 2);
  EXPECT_GE(a, 1);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  host().PumpTasks();
  EXPECT_EQ(gPolls, (std::vector<std::string>{"poll0", "poll1", "poll2"}));
  gPolls.clear();
  Unregister(b);
  EXPECT_EQ(host().TaskCount(), 2u);
  host().PumpTasks();
  host().PumpTasks();
  EXPECT_EQ(gPolls, (std::vector<std::string>{"poll0", "poll2", "poll0", "poll2"}));
  Unregister(a);
  Unregister(c);
  Unregister(c);  // unknown ids are ignored
  EXPECT_EQ(host().TaskCount(), 0u);
}

TEST_F(TasksTest, PollsMayChangeTheTaskListDuringARound) {
  struct Case {
    const char* what;
    void (*middle)(Object);
    std::vector<std::string> firstRound, secondRound;
  };
  const Case cases[] = {
      {"stops itself", &PollAndStopSelf, {"poll0", "poll1", "poll2"}, {"poll0", "poll2"}},
      {"stops the next one", &PollAndStopNext, {"poll0", "poll1"}, {"poll0", "poll1"}},
      {"starts another",
       &PollAndStartAnother,
       {"poll0", "poll1", "poll2"},
       {"poll0", "poll2", "poll1"}},
  };
  for (const Case& c : cases) {
    gPolls.clear();
    Register(&Poll, 0);
    Register(c.middle, 1);
    Register(&Poll, 2);
    host().PumpTasks();
    EXPECT_EQ(gPolls, c.firstRound) << c.what;
    gPolls.clear();
    host().PumpTasks();
    EXPECT_EQ(gPolls, c.secondRound) << c.what;
    for (int32_t id : gIds) Unregister(id);
    EXPECT_EQ(host().TaskCount(), 0u) << c.what;
  }
}

// The data object's destructor ends its own task, as an effect with an
// active run does when its last reference goes inside a poll.
int32_t gOwnTask = 0;
void EndOwnTask(Object) { gHost->UnregisterTask(gOwnTask); }
void DropData(Object data) {
  gPolls.push_back("drop");
  gHost->Unlock(data);
}

TEST_F(TasksTest, DestructorRunningInsideAPollMayUnregister) {
  static ZARKclassDefinition owner = [] {
    auto r = ClassRecord("TaskOwner", nullptr, 8);
    r.destructor = &EndOwnTask;
    return r;
  }();
  host().RegisterClass(&owner);
  Object o = host().New("TaskOwner");
  gOwnTask = host().RegisterTask(&DropData, 25, o);
  Register(&Poll, 0);
  host().PumpTasks();
  EXPECT_EQ(gPolls, (std::vector<std::string>{"drop", "poll0"}));
  EXPECT_EQ(host().TaskCount(), 1u);
  Unregister(gIds[0]);
}

int gCountdown = 0;
void CountDown(Object) { --gCountdown; }

TEST_F(TasksTest, RunLoopStopsOnConditionEmptyListOrTimeout) {
  gCountdown = 5;
  int32_t id = Register(&CountDown, 0);
  EXPECT_TRUE(host().RunLoop([] { return gCountdown == 0; }, 10.0));
  EXPECT_EQ(gCountdown, 0);

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(host().RunLoop([] { return false; }, 0.05));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.05);
  EXPECT_LT(seconds, 5.0);

  Unregister(id);
  EXPECT_FALSE(host().RunLoop([] { return false; }, 10.0)) << "no task left: returns at once";
  EXPECT_TRUE(host().RunLoop([] { return true; }, 0.0));
}

}  // namespace
}  // namespace lumeno::testing

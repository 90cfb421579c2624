// Background tasks: polls run in registration order, and a poll may stop or
// start tasks, itself included, during a round (each is looked up again).
#include <vector>

#include "host_test.h"

namespace lumeno::testing {
namespace {

// A task's data is its number in disguise; the host only hands it back.
std::vector<intptr_t> gPolls;
int32_t gIds[4];
void Poll(Object data) { gPolls.push_back(reinterpret_cast<intptr_t>(data)); }
void StopSelf(Object data) {
  Poll(data);
  Host::Current()->UnregisterTask(gIds[1]);
}
void StopNext(Object data) {
  Poll(data);
  Host::Current()->UnregisterTask(gIds[2]);
}
void StartAnother(Object data) {
  StopSelf(data);
  gIds[3] = Host::Current()->RegisterTask(&Poll, 25, data);
}

TEST(Tasks, PollsRunInOrderAndMayChangeTheListDuringARound) {
  Host host;
  auto start = Entry<int32_t(void (*)(Object), uint32_t, Object)>("PluginRegisterBackgroundTask");
  auto stop = Entry<void(int32_t)>("PluginUnregisterBackgroundTask");
  struct Case {
    void (*middle)(Object);
    std::vector<intptr_t> firstRound, secondRound;
  };
  for (const Case& c :
       {Case{&Poll, {0, 1, 2}, {0, 1, 2}}, Case{&StopSelf, {0, 1, 2}, {0, 2}},
        Case{&StopNext, {0, 1}, {0, 1}}, Case{&StartAnother, {0, 1, 2}, {0, 2, 1}}}) {
    void (*polls[])(Object) = {&Poll, c.middle, &Poll};
    for (intptr_t i = 0; i < 3; ++i) gIds[i] = start(polls[i], 25, reinterpret_cast<Object>(i));
    for (const auto& round : {c.firstRound, c.secondRound}) {
      gPolls.clear();
      host.PumpTasks();
      EXPECT_EQ(gPolls, round);
    }
    for (int32_t id : gIds) stop(id);
    stop(gIds[0]);  // unknown ids are ignored
    EXPECT_EQ(host.TaskCount(), 0u);
  }
}

}  // namespace
}  // namespace lumeno::testing

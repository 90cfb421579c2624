// Background tasks: polls that plug-ins register, called on the host's own
// thread when the host pumps them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "host/host_state.h"

namespace lumeno::host {
namespace {

// Task ids are unique for the process, so an id kept from an earlier Host
// never names a task of a later one.
std::atomic<int32_t> gLastTaskId{0};

}  // namespace

int32_t Host::RegisterTask(PollProc poll, uint32_t interval, Object data) {
  if (poll == nullptr) return -1;
  int32_t id = gLastTaskId.fetch_add(1) + 1;
  state_->tasks.push_back(State::Task{id, poll, interval, data});
  return id;
}

void Host::UnregisterTask(int32_t taskId) {
  auto& tasks = state_->tasks;
  tasks.erase(std::remove_if(tasks.begin(), tasks.end(),
                             [taskId](const State::Task& t) { return t.id == taskId; }),
              tasks.end());
}

size_t Host::TaskCount() const { return state_->tasks.size(); }

void Host::PumpTasks() {
  // One round over the tasks registered when it starts; a poll may register
  // or unregister tasks (itself included), so each is looked up again.
  std::vector<int32_t> ids;
  ids.reserve(state_->tasks.size());
  for (const State::Task& t : state_->tasks) ids.push_back(t.id);
  for (int32_t id : ids) {
    PollProc poll = nullptr;
    Object data = nullptr;
    for (const State::Task& t : state_->tasks) {
      if (t.id == id) {
        poll = t.poll;
        data = t.data;
        break;
      }
    }
    if (poll != nullptr) poll(data);
  }
}

bool Host::RunLoop(const std::function<bool()>& until, double timeoutSeconds) {
  auto holds = [&] { return until ? until() : false; };
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (holds()) return true;
    if (state_->tasks.empty()) return holds();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed.count() >= timeoutSeconds) return holds();
    PumpTasks();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace lumeno::host

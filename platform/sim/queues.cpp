#include "queues.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "phone_state.h"
#include "platform/sim/phone.h"
#include "run_loop_requests.h"
#include "thread_task_runner.h"
#include "virtual_scheduler.h"

namespace sim {

namespace {

ThreadedMode& threaded() {
  return currentPhone().threaded;
}

std::vector<std::shared_ptr<ThreadTaskRunner>> liveQueues() {
  auto& t = threaded();
  std::lock_guard lock(t.mutex);
  std::vector<std::shared_ptr<ThreadTaskRunner>> live;
  std::erase_if(t.queues, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : t.queues) {
    if (auto q = weak.lock()) live.push_back(std::move(q));
  }
  return live;
}

}  // namespace

Duration phoneNow() {
  auto& t = threaded();
  {
    std::lock_guard lock(t.mutex);
    if (t.on) {
      const auto real = std::chrono::steady_clock::now() - t.start;
      return Duration{static_cast<std::int64_t>(
          static_cast<double>(std::chrono::duration_cast<Duration>(real).count()) / t.scale)};
    }
  }
  return currentPhone().scheduler.now();
}

bool threadedMode() {
  auto& t = threaded();
  std::lock_guard lock(t.mutex);
  return t.on;
}

std::shared_ptr<TaskRunner> mainQueue() {
  auto& t = threaded();
  std::lock_guard lock(t.mutex);
  if (t.on) return t.main;
  return virtualMainRunLoop();
}

void cancelTasksEverywhere(const void* tag) {
  if (!threadedMode()) {
    currentPhone().scheduler.cancelEverywhere(tag);
    return;
  }
  for (const auto& q : liveQueues()) q->cancelTasksWithTag(tag);
}

void endThreadedMode() {
  std::shared_ptr<ThreadTaskRunner> main;
  std::map<std::string, std::shared_ptr<TaskRunner>> named;
  {
    auto& t = threaded();
    std::lock_guard lock(t.mutex);
    if (!t.on) return;
    t.on = false;
    main = std::move(t.main);
    named.swap(t.named);
  }
  for (const auto& q : liveQueues()) q->shutDown();
}

void startThreadedMode(double scale) {
  endThreadedMode();
  auto& t = threaded();
  auto main = std::make_shared<ThreadTaskRunner>("main", scale);
  std::lock_guard lock(t.mutex);
  t.on = true;
  t.scale = scale;
  t.start = std::chrono::steady_clock::now();
  t.main = main;
  t.queues.clear();
  t.queues.push_back(main);
  t.named.clear();
}

std::shared_ptr<TaskRunner> namedQueue(const std::string& label) {
  auto& t = threaded();
  {
    std::lock_guard lock(t.mutex);
    if (auto it = t.named.find(label); it != t.named.end()) return it->second;
  }
  auto queue = platform::createSerialQueue(label);
  std::lock_guard lock(t.mutex);
  return t.named.emplace(label, std::move(queue)).first->second;
}

bool waitUntilQuiet(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Quiet twice in a row: a task that just ended may have posted to another queue.
  int quietRounds = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto queues = liveQueues();
    const bool quiet =
        std::all_of(queues.begin(), queues.end(), [](const auto& q) { return q->idle(); });
    quietRounds = quiet ? quietRounds + 1 : 0;
    if (quietRounds >= 2) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

std::shared_ptr<TaskRunner> newQueue(std::string label) {
  auto& t = threaded();
  std::lock_guard lock(t.mutex);
  if (!t.on) return std::make_shared<VirtualTaskRunner>(std::move(label));
  auto queue = std::make_shared<ThreadTaskRunner>(std::move(label), t.scale);
  t.queues.push_back(queue);
  return queue;
}

}  // namespace sim

#include "virtual_scheduler.h"

#include <cmath>
#include <vector>

#include "phone_state.h"

namespace platform {

namespace {
thread_local TaskRunner* currentRunner = nullptr;
}

TaskRunner* TaskRunner::current() noexcept {
  return currentRunner;
}

}  // namespace platform

namespace sim {

CurrentRunnerScope::CurrentRunnerScope(TaskRunner* runner) : previous_(platform::currentRunner) {
  platform::currentRunner = runner;
}
CurrentRunnerScope::~CurrentRunnerScope() {
  platform::currentRunner = previous_;
}

std::shared_ptr<TaskRunner> virtualMainRunLoop() {
  static const auto main = std::make_shared<VirtualTaskRunner>("main");
  return main;
}

Duration VirtualScheduler::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualScheduler::addLocked(Key key, Entry entry) {
  const void* tag = entry.tag;
  tasks_.emplace(key, std::move(entry));
  byTag_[tag].insert(key);
}

VirtualScheduler::Entry VirtualScheduler::takeLocked(std::map<Key, Entry>::iterator it) {
  Entry entry = std::move(it->second);
  if (auto tagged = byTag_.find(entry.tag); tagged != byTag_.end()) {
    tagged->second.erase(it->first);
    if (tagged->second.empty()) byTag_.erase(tagged);
  }
  tasks_.erase(it);
  return entry;
}

void VirtualScheduler::post(std::shared_ptr<TaskRunner> runner, Duration delay,
                            std::function<void()> task, const void* tag) {
  std::lock_guard lock(mutex_);
  if (delay < Duration{0}) delay = Duration{0};
  addLocked(Key{now_ + delay, nextSequence_++}, Entry{std::move(runner), std::move(task), tag});
}

void VirtualScheduler::postAt(std::shared_ptr<TaskRunner> runner, Duration time,
                              std::function<void()> task, const void* tag) {
  std::lock_guard lock(mutex_);
  addLocked(Key{std::max(time, now_), nextSequence_++},
            Entry{std::move(runner), std::move(task), tag});
}

std::size_t VirtualScheduler::cancel(const TaskRunner* runner, const void* tag) {
  std::vector<Entry> dropped;  // destroyed outside the lock: their captures may post or cancel
  {
    std::lock_guard lock(mutex_);
    auto tagged = byTag_.find(tag);
    if (tagged == byTag_.end()) return 0;
    const std::vector<Key> keys(tagged->second.begin(), tagged->second.end());
    for (const Key& key : keys) {
      auto it = tasks_.find(key);
      if (runner == nullptr || it->second.runner.get() == runner) {
        dropped.push_back(takeLocked(it));
      }
    }
  }
  return dropped.size();
}

std::size_t VirtualScheduler::cancelEverywhere(const void* tag) {
  return cancel(nullptr, tag);
}

std::size_t VirtualScheduler::cancelAllBut(const void* kept) {
  std::vector<Entry> dropped;  // destroyed outside the lock, as in cancel
  {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      auto next = std::next(it);
      if (it->second.tag != kept) dropped.push_back(takeLocked(it));
      it = next;
    }
  }
  return dropped.size();
}

bool VirtualScheduler::runNext(Duration until) {
  Entry entry;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) return false;
    auto first = tasks_.begin();
    if (first->first.due > until) return false;
    if (first->first.due > now_) now_ = first->first.due;
    entry = takeLocked(first);
  }
  CurrentRunnerScope scope(entry.runner.get());
  entry.task();
  return true;
}

void VirtualScheduler::runUntilIdle(std::size_t limit) {
  for (std::size_t i = 0; i < limit && runNext(now()); ++i) {
  }
}

void VirtualScheduler::fastForwardUntilNoTasksRemain(std::size_t limit) {
  for (std::size_t i = 0; i < limit && runNext(Duration::max()); ++i) {
  }
}

void VirtualScheduler::runUntil(Duration time) {
  while (runNext(time)) {
  }
  std::lock_guard lock(mutex_);
  if (time > now_) now_ = time;
}

std::size_t VirtualScheduler::pendingTaskCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void VirtualScheduler::reset() {
  std::map<Key, Entry> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(tasks_);
    byTag_.clear();
    now_ = Duration{0};
    nextSequence_ = 0;
  }
}

void VirtualTaskRunner::postDelayedTask(std::function<void()> task, Duration delay,
                                        const void* tag) {
  currentPhone().scheduler.post(shared_from_this(), delay, std::move(task), tag);
}

std::size_t VirtualTaskRunner::cancelTasksWithTag(const void* tag) {
  return currentPhone().scheduler.cancel(this, tag);
}

}  // namespace sim

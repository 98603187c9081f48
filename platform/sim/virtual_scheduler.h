// The simulated phone's clock and task queue: virtual time that jumps from task to task, so a
// whole call replays the same way every time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/task_runner.h"

namespace sim {

using platform::Duration;
using platform::TaskRunner;

// The phone's clock and its one heap of tasks, keyed by (due time, sequence number): ties run
// first in, first out. Each phone owns one (Phone::scheduler).
class VirtualScheduler {
 public:
  Duration now() const;
  void post(std::shared_ptr<TaskRunner> runner, Duration delay, std::function<void()> task,
            const void* tag);
  void postAt(std::shared_ptr<TaskRunner> runner, Duration time, std::function<void()> task,
              const void* tag = nullptr);
  std::size_t cancel(const TaskRunner* runner, const void* tag);
  // Drops the tasks of `tag` on every queue.
  std::size_t cancelEverywhere(const void* tag);
  // Drops every task but those posted with `kept` as their tag.
  std::size_t cancelAllBut(const void* kept);

  // Runs the earliest task due at or before `until`; false when there is none.
  bool runNext(Duration until);
  // Runs the tasks due now, and those they post for now, in due order; the clock stays.
  void runUntilIdle(std::size_t limit);
  // Runs every task in due order, the clock jumping to each one's time, until none is left.
  void fastForwardUntilNoTasksRemain(std::size_t limit);
  // Runs every task due up to `time`, then sets the clock to `time` (if later).
  void runUntil(Duration time);
  std::size_t pendingTaskCount() const;

  // Drops every task and sets the clock back to 0.
  void reset();

 private:
  struct Key {
    Duration due;
    std::uint64_t sequence;
    auto operator<=>(const Key&) const = default;
  };
  struct Entry {
    std::shared_ptr<TaskRunner> runner;
    std::function<void()> task;
    const void* tag;
  };

  void addLocked(Key key, Entry entry);
  // Removes the task at `it` from both maps; needs the lock.
  Entry takeLocked(std::map<Key, Entry>::iterator it);

  mutable std::mutex mutex_;
  Duration now_{0};
  std::uint64_t nextSequence_ = 0;
  std::map<Key, Entry> tasks_;
  // The tasks of each tag: a cancellation touches only its own, whatever else is pending.
  std::unordered_map<const void*, std::set<Key>> byTag_;
};

// A queue whose tasks run on the virtual clock of the current phone.
class VirtualTaskRunner : public TaskRunner,
                          public std::enable_shared_from_this<VirtualTaskRunner> {
 public:
  explicit VirtualTaskRunner(std::string label) : label_(std::move(label)) {}
  const std::string& label() const override { return label_; }
  void postDelayedTask(std::function<void()> task, Duration delay, const void* tag) override;
  std::size_t cancelTasksWithTag(const void* tag) override;

 private:
  std::string label_;
};

// Marks the calling thread as running a task of `runner` for the scope's life.
class CurrentRunnerScope {
 public:
  explicit CurrentRunnerScope(TaskRunner* runner);
  ~CurrentRunnerScope();
  CurrentRunnerScope(const CurrentRunnerScope&) = delete;
  CurrentRunnerScope& operator=(const CurrentRunnerScope&) = delete;

 private:
  TaskRunner* previous_;
};

std::shared_ptr<TaskRunner> virtualMainRunLoop();

}  // namespace sim

// The queues the system runs code on: the host's run loop, operation queues, serial dispatch
// queues and the thread that delivers notifications. On the simulated phone every queue is a
// sequence of tasks on one deterministic virtual clock; the same interface can be backed by real
// threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Duration = std::chrono::nanoseconds;

// Converts seconds, as the platform's APIs take them, to a Duration. Negative and non-finite
// delays become 0.
Duration secondsToDuration(double seconds) noexcept;
double durationToSeconds(Duration d) noexcept;

class TaskRunner {
 public:
  virtual ~TaskRunner() = default;

  // The queue's label ("main", "cameraQueue", ...), as the log shows it.
  virtual const std::string& label() const = 0;

  // Runs `task` on this queue once `delay` has passed. Tasks of one queue run one at a time, in
  // the order of their due times; tasks due at the same time run first in, first out. A delay of
  // 0 runs the task on a later pass, never inside this call. `tag` groups tasks for cancellation.
  virtual void postDelayedTask(std::function<void()> task, Duration delay,
                               const void* tag = nullptr) = 0;

  // Drops every task posted with `tag` that has not started. Returns how many were dropped.
  virtual std::size_t cancelTasksWithTag(const void* tag) = 0;

  // The queue whose task is running on the calling thread, or null outside any task.
  static TaskRunner* current() noexcept;
};

// The host's main run loop: where the host calls the ringtone methods, and where a thread that
// runs no queue of its own has its delayed requests performed.
TaskRunner& mainRunLoop();

// A new serial queue with `label`.
std::shared_ptr<TaskRunner> createSerialQueue(std::string label);

}  // namespace platform

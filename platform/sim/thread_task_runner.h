// A queue that runs its tasks on a real thread of its own, with real delays scaled down: the
// threaded mode of the simulated phone, in which the same platform calls meet real concurrency.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/task_runner.h"

namespace sim {

using platform::Duration;
using platform::TaskRunner;

class ThreadTaskRunner : public TaskRunner, public std::enable_shared_from_this<ThreadTaskRunner> {
 public:
  // `scale` is real seconds per simulated second.
  ThreadTaskRunner(std::string label, double scale);
  ~ThreadTaskRunner() override;

  const std::string& label() const override { return label_; }
  void postDelayedTask(std::function<void()> task, Duration delay, const void* tag) override;
  std::size_t cancelTasksWithTag(const void* tag) override;

  // No task pending and none running.
  bool idle() const;
  // Stops the thread after the task it runs; pending tasks are dropped.
  void shutDown();

  struct Core;

 private:
  const std::string label_;
  const double scale_;
  // Shared with the thread: the queue may be released by one of its own tasks, and the thread
  // must outlive that.
  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace sim

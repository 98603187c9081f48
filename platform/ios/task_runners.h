// The platform's queues on Grand Central Dispatch: the main queue (drained by the main run loop),
// serial dispatch queues, and operation queues.
#pragma once

#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <memory>
#include <string>

#include "platform/task_runner.h"

namespace platform {

class GcdTaskRunner : public TaskRunner, public std::enable_shared_from_this<GcdTaskRunner> {
 public:
  GcdTaskRunner(std::string label, ::dispatch_queue_t queue);
  const std::string& label() const override { return label_; }
  void postDelayedTask(std::function<void()> task, Duration delay,
                       const void* tag = nullptr) override;
  std::size_t cancelTasksWithTag(const void* tag) override;
  ::dispatch_queue_t queue() const { return queue_; }

 protected:
  // Runs `run` on this queue once `delay` has passed. The block holds everything it needs.
  virtual void schedule(Duration delay, dispatch_block_t run);

 private:
  std::string label_;
  ::dispatch_queue_t queue_;
};

// Runs its tasks as operations of an NSOperationQueue that runs one at a time, first in, first
// out: a task due now is added at once, a later one by a serial queue of the runner's own.
class OperationQueueRunner : public GcdTaskRunner {
 public:
  explicit OperationQueueRunner(::NSOperationQueue* operations);
  ::NSOperationQueue* operations() const { return operations_; }

 protected:
  void schedule(Duration delay, dispatch_block_t run) override;

 private:
  ::NSOperationQueue* operations_;
};

}  // namespace platform

// NSOperationQueue: a queue of operations, each run on a thread other than the caller's.
#pragma once

#include <functional>
#include <memory>

#include "platform/ns_object.h"
#include "platform/task_runner.h"

namespace platform {

class NSOperationQueue : public NSObject {
 public:
  NSOperationQueue();
  const char* className() const override { return "NSOperationQueue"; }
  void addOperationWithBlock(std::function<void()> block);
  // The queue the operations run on.
  TaskRunner& runner() { return *runner_; }

 private:
  std::shared_ptr<TaskRunner> runner_;
};

}  // namespace platform

// The platform's queues on the simulated phone: those of its current mode (virtual time, or real
// threads).
#include "platform/task_runner.h"

#include "queues.h"
#include "run_loop_requests.h"

namespace platform {

TaskRunner& mainRunLoop() {
  // The main queue lives as long as its mode; callers use it within a task or a test step.
  return *sim::mainQueue();
}

std::shared_ptr<TaskRunner> createSerialQueue(std::string label) {
  return sim::newQueue(std::move(label));
}

void cancelRequestsEverywhere(const void* tag) {
  sim::cancelTasksEverywhere(tag);
}

}  // namespace platform

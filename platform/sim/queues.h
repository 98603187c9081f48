// The phone's queues and clock in either mode: virtual time on one thread (deterministic), or
// real threads with scaled real time (for the concurrency proof).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/task_runner.h"

namespace sim {

using platform::Duration;
using platform::TaskRunner;

// The phone's current time: virtual, or scaled real time since the threaded mode began.
Duration phoneNow();
bool threadedMode();
std::shared_ptr<TaskRunner> mainQueue();
// Drops the tasks posted with `tag` on every queue of the phone.
void cancelTasksEverywhere(const void* tag);
// Ends the threaded mode, if on: stops and forgets its threads.
void endThreadedMode();
void startThreadedMode(double scale);
bool waitUntilQuiet(std::chrono::milliseconds timeout);
// A new serial queue of the current mode: on the virtual clock, or on a thread of its own.
std::shared_ptr<TaskRunner> newQueue(std::string label);
// A long-lived queue of the phone's own ("telephony", "WebThread"), made once per mode.
std::shared_ptr<TaskRunner> namedQueue(const std::string& label);

}  // namespace sim

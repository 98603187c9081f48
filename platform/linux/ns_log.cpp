#include <syslog.h>

#include <cstdio>

#include "phone_state.h"
#include "platform/ns_log.h"
#include "queues.h"

namespace sim {

// One line of the system log, from `queue`: kept, and echoed or sent on as the host chose.
void recordLogLine(const std::string& queue, const std::string& message) {
  const platform::Duration time = phoneNow();
  auto& state = PhoneState::instance();
  bool echo = false;
  bool toSyslog = false;
  {
    std::lock_guard lock(state.mutex);
    echo = state.logEcho;
    toSyslog = state.logToSyslog;
    state.log.push_back({time, queue, message});
  }
  if (echo) {
    std::fprintf(stderr, "%10.3f %-14s %s\n", platform::durationToSeconds(time), queue.c_str(),
                 message.c_str());
  }
  if (toSyslog) ::syslog(LOG_NOTICE, "%s", message.c_str());
}

}  // namespace sim

namespace platform {

void NSLogv(std::string_view format, std::span<const LogArgument> args) noexcept {
  try {
    const TaskRunner* runner = TaskRunner::current();
    sim::recordLogLine(runner ? runner->label() : "main", formatLogMessage(format, args));
  } catch (...) {
    // The log line is lost; the caller carries on.
  }
}

}  // namespace platform

#include <syslog.h>

#include <cstdio>

#include "phone_state.h"
#include "platform/ns_log.h"
#include "queues.h"

namespace platform {

void NSLogv(std::string_view format, std::span<const LogArgument> args) noexcept {
  try {
    std::string message = formatLogMessage(format, args);
    const TaskRunner* runner = TaskRunner::current();
    const std::string queue = runner ? runner->label() : "main";
    const Duration time = sim::phoneNow();
    auto& state = sim::PhoneState::instance();
    bool echo = false;
    bool toSyslog = false;
    {
      std::lock_guard lock(state.mutex);
      echo = state.logEcho;
      toSyslog = state.logToSyslog;
      state.log.push_back({time, queue, message});
    }
    if (echo) {
      std::fprintf(stderr, "%10.3f %-14s %s\n", durationToSeconds(time), queue.c_str(),
                   message.c_str());
    }
    if (toSyslog) ::syslog(LOG_NOTICE, "%s", message.c_str());
  } catch (...) {
    // The log line is lost; the caller carries on.
  }
}

}  // namespace platform

#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "phone_state.h"
#include "platform/ns_log.h"
#include "queues.h"

namespace sim {
namespace {

// Sends one line to the system log's socket as SpringBoard's, stamped `at` (seconds since 1970).
// Without a daemon the line is dropped, as syslog(3) drops it.
void sendToSystemLog(double at, const std::string& message) {
  static std::mutex socketMutex;
  static int socket = -1;
  const double whole = std::floor(at);
  const std::time_t seconds = static_cast<std::time_t>(whole);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  const auto micros = std::min(static_cast<long>(std::lround((at - whole) * 1e6)), 999999L);
  const std::string datagram =
      fmt::format("<{}>{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}+00:00 SpringBoard[{}]: {}",
                  LOG_USER | LOG_NOTICE, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec, micros, ::getpid(), message);
  std::lock_guard lock(socketMutex);
  if (socket < 0) {
    socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", "/dev/log");
    if (socket >= 0 &&
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(socket);
      socket = -1;
    }
  }
  if (socket >= 0) ::send(socket, datagram.data(), datagram.size(), MSG_NOSIGNAL);
}

}  // namespace

// One line of the system log, from `queue`: kept, and echoed or sent on as the host chose.
void recordLogLine(const std::string& queue, const std::string& message) {
  const platform::Duration time = phoneNow();
  auto& state = PhoneState::instance();
  bool echo = false;
  bool toSyslog = false;
  double epoch = 0;
  {
    std::lock_guard lock(state.mutex);
    echo = state.logEcho;
    toSyslog = state.logToSyslog;
    epoch = state.syslogEpoch;
    state.log.push_back({time, queue, message});
  }
  if (echo) {
    std::fprintf(stderr, "%10.3f %-14s %s\n", platform::durationToSeconds(time), queue.c_str(),
                 message.c_str());
  }
  if (toSyslog) sendToSystemLog(epoch + platform::durationToSeconds(time), message);
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

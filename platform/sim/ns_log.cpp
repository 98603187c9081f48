#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>
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

// One line as the phone's syslogd writes it, `at` seconds since 1970.
void appendPhoneSyslogLine(std::string& out, double at, std::string_view process, long pid,
                           std::string_view level, std::string_view message) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t seconds = static_cast<std::time_t>(std::floor(at));
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  fmt::format_to(std::back_inserter(out),
                 "{} {:>2} {:02}:{:02}:{:02} iPhone {}[{}] <{}>: ", kMonths[utc.tm_mon],
                 utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, process, pid, level);
  for (const char c : message) {
    out += c;
    if (c == '\n') out += '\t';
  }
  out += '\n';
}

}  // namespace

std::string phoneSyslog(const std::vector<LogLine>& lines, double start) {
  std::string out;
  long springBoard = 52;
  for (const LogLine& line : lines) {
    const double at = start + platform::durationToSeconds(line.time);
    if (line.queue == "launchd") {
      appendPhoneSyslogLine(out, at, "com.apple.launchd", 1, "Notice", line.message);
      ++springBoard;
    } else {
      appendPhoneSyslogLine(out, at, "SpringBoard", springBoard, "Warning", line.message);
    }
  }
  return out;
}

// One line of the system log, from `queue`: kept, and echoed or sent on as the host chose.
void recordLogLine(const std::string& queue, const std::string& message) {
  const platform::Duration time = phoneNow();
  auto& state = currentPhone().state;
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

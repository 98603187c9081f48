// One line of a system log, as the phone's syslogd and rsyslogd write them:
//   Dec  8 23:55:01 iPhone SpringBoard[52] <Warning>: message       (the phone; level optional)
//   Dec  8 23:55:01 SpringBoard[52] <Warning>: message              (a phone that names no host)
//   Dec  8 23:55:01 iPhone --- last message repeated 3 times ---    (the phone's syslogd)
//   Dec  8 23:55:01 host SpringBoard[52]: message                   (rsyslogd, traditional)
//   2026-12-08T23:55:01.123456+00:00 host SpringBoard[52]: message  (rsyslogd, RFC 3339)
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tonewell {

// The parts are views into the line given to parseSyslogLine.
struct SyslogLine {
  double time = 0;           // seconds since 1970 (traditional stamps: in the year assumed)
  double resolution = 1;     // of the time stamp, in seconds
  std::string_view stamp;    // the time stamp as written
  std::string_view host;     // empty when the line names none (some phones' logs)
  std::string_view process;  // empty for syslogd's "--- last message repeated N times ---"
  long pid = -1;             // -1 when the line names none
  std::string_view level;    // the phone's "Warning" in "<Warning>"; empty when the line has none
  std::string_view message;
  long repeated = 0;  // N for "--- last message repeated N times ---"
};

// The phone's syslogd writes each line break in a message as a line break and a tab: a line
// that starts with a tab goes on with the message before it.
inline bool continuesTheMessageBefore(std::string_view line) {
  return !line.empty() && line.front() == '\t';
}

// rsyslogd writes a control character in a message as '#' and three octal digits ("#012" for a
// line break); the message with them decoded, or none when it has none.
std::optional<std::string> decodeEscapedControls(std::string_view message);

// The line's parts, or none when it is not a syslog line. Traditional stamps carry no year:
// they are read in `year`. A byte order mark before the line is skipped.
std::optional<SyslogLine> parseSyslogLine(std::string_view line, int year);

// Whether the stamp of a parsed line carries its year (RFC 3339).
inline bool hasYear(const SyslogLine& line) {
  return line.stamp.size() > 4 && line.stamp[4] == '-';
}

}  // namespace tonewell

#include "syslog_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>

namespace tonewell {
namespace {

// Reads exactly `digits` decimal digits at `at`, moving past them.
bool readNumber(std::string_view text, std::size_t& at, std::size_t digits, int& value) {
  if (at + digits > text.size()) return false;
  for (std::size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  std::from_chars(text.data() + at, text.data() + at + digits, value);
  at += digits;
  return true;
}

bool expect(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

double secondsSince1970(int year, int month, int day, int hour, int minute, double second) {
  using namespace std::chrono;
  const sys_days date{std::chrono::year{year} / month / day};
  return static_cast<double>(date.time_since_epoch().count()) * 86400.0 + hour * 3600.0 +
         minute * 60.0 + second;
}

bool validTime(int month, int day, int hour, int minute, int second) {
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
         second <= 60;
}

// "Dec  8 23:55:01"
bool readTraditionalStamp(std::string_view text, std::size_t& at, int year, SyslogLine& out) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() < 15) return false;
  int month = 0;
  for (std::size_t m = 0; m < kMonths.size(); ++m) {
    if (text.substr(0, 3) == kMonths[m]) month = static_cast<int>(m) + 1;
  }
  if (month == 0 || text[3] != ' ') return false;
  at = 4;
  int day = 0, hour = 0, minute = 0, second = 0;
  if (text[at] == ' ') {
    ++at;
    if (!readNumber(text, at, 1, day)) return false;
  } else if (!readNumber(text, at, 2, day)) {
    return false;
  }
  if (!expect(text, at, ' ') || !readNumber(text, at, 2, hour) || !expect(text, at, ':') ||
      !readNumber(text, at, 2, minute) || !expect(text, at, ':') ||
      !readNumber(text, at, 2, second) || !validTime(month, day, hour, minute, second)) {
    return false;
  }
  out.time = secondsSince1970(year, month, day, hour, minute, second);
  out.resolution = 1;
  out.stamp = text.substr(0, at);
  return true;
}

// "2026-12-08T23:55:01.123456+00:00" (fraction optional, "Z" or an offset)
bool readRfc3339Stamp(std::string_view text, std::size_t& at, SyslogLine& out) {
  at = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readNumber(text, at, 4, year) || !expect(text, at, '-') || !readNumber(text, at, 2, month) ||
      !expect(text, at, '-') || !readNumber(text, at, 2, day) || !expect(text, at, 'T') ||
      !readNumber(text, at, 2, hour) || !expect(text, at, ':') ||
      !readNumber(text, at, 2, minute) || !expect(text, at, ':') ||
      !readNumber(text, at, 2, second) || !validTime(month, day, hour, minute, second)) {
    return false;
  }
  double fraction = 0;
  double resolution = 1;
  if (at < text.size() && text[at] == '.') {
    ++at;
    std::size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 9) {
      resolution /= 10;
      fraction += (text[at] - '0') * resolution;
      ++at;
      ++digits;
    }
    if (digits == 0) return false;
  }
  int offset = 0;
  if (expect(text, at, 'Z')) {
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const int sign = text[at++] == '-' ? -1 : 1;
    int offsetHours = 0, offsetMinutes = 0;
    if (!readNumber(text, at, 2, offsetHours) || !expect(text, at, ':') ||
        !readNumber(text, at, 2, offsetMinutes)) {
      return false;
    }
    offset = sign * (offsetHours * 3600 + offsetMinutes * 60);
  } else {
    return false;
  }
  out.time = secondsSince1970(year, month, day, hour, minute, second + fraction) - offset;
  out.resolution = resolution;
  out.stamp = text.substr(0, at);
  return true;
}

// syslogd's "--- last message repeated N times ---": N, or 0 when `text` is not that.
long repeatCount(std::string_view text) {
  constexpr std::string_view kBefore = "--- last message repeated ";
  if (text.substr(0, kBefore.size()) != kBefore) return 0;
  text.remove_prefix(kBefore.size());
  long count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  const std::string_view rest(end, static_cast<std::size_t>(text.data() + text.size() - end));
  if (error != std::errc{} || count < 1 || (rest != " times ---" && rest != " time ---")) return 0;
  return count;
}

// Whether a word after the stamp is the process's tag rather than a host: "SpringBoard[52]",
// "SpringBoard:".
bool looksLikeTag(std::string_view word) {
  return word.find('[') != std::string_view::npos || (!word.empty() && word.back() == ':');
}

}  // namespace

std::optional<SyslogLine> parseSyslogLine(std::string_view line, int year) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    line.remove_prefix(kByteOrderMark.size());
  }
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  SyslogLine out;
  std::size_t at = 0;
  if (!readRfc3339Stamp(line, at, out) && !readTraditionalStamp(line, at, year, out)) {
    return std::nullopt;
  }
  // " host process[pid] <Level>: message", the host left out by some phones.
  if (!expect(line, at, ' ')) return std::nullopt;
  if (const long n = repeatCount(line.substr(at))) {
    out.repeated = n;
    out.message = line.substr(at);
    return out;
  }
  const std::size_t wordEnd = std::min(line.find(' ', at), line.size());
  if (wordEnd == at) return std::nullopt;
  if (!looksLikeTag(line.substr(at, wordEnd - at))) {
    if (wordEnd == line.size()) return std::nullopt;
    out.host = line.substr(at, wordEnd - at);
    at = wordEnd + 1;
    if (const long n = repeatCount(line.substr(at))) {
      out.repeated = n;
      out.message = line.substr(at);
      return out;
    }
  }
  const std::size_t colon = line.find(": ", at);
  const std::size_t tagEnd = colon == std::string_view::npos ? line.size() : colon;
  if (colon == std::string_view::npos && !(line.size() > at && line.back() == ':')) {
    return std::nullopt;
  }
  std::string_view tag = line.substr(at, tagEnd - at);
  if (!tag.empty() && tag.back() == ':') tag.remove_suffix(1);
  // The phone's syslogd adds the level: "SpringBoard[52] <Warning>".
  if (const auto level = tag.rfind(" <"); level != std::string_view::npos && tag.back() == '>') {
    out.level = tag.substr(level + 2, tag.size() - level - 3);
    tag = tag.substr(0, level);
  }
  if (tag.empty() || tag.find(' ') != std::string_view::npos) return std::nullopt;
  if (const auto open = tag.find('['); open != std::string_view::npos) {
    if (tag.back() != ']') return std::nullopt;
    const std::string_view digits = tag.substr(open + 1, tag.size() - open - 2);
    long pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size()) {
      return std::nullopt;
    }
    out.pid = pid;
    tag = tag.substr(0, open);
  }
  out.process = tag;
  out.message = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 2);
  return out;
}

std::optional<std::string> decodeEscapedControls(std::string_view message) {
  auto escapeAt = [&](std::size_t i) -> int {
    if (i + 4 > message.size() || message[i] != '#') return -1;
    int code = 0;
    for (std::size_t d = i + 1; d < i + 4; ++d) {
      if (message[d] < '0' || message[d] > '7') return -1;
      code = code * 8 + (message[d] - '0');
    }
    return code < 0x20 || code == 0x7f ? code : -1;
  };
  std::size_t first = message.find('#');
  while (first != std::string_view::npos && escapeAt(first) < 0)
    first = message.find('#', first + 1);
  if (first == std::string_view::npos) return std::nullopt;
  std::string out(message.substr(0, first));
  for (std::size_t i = first; i < message.size();) {
    if (const int code = escapeAt(i); code >= 0) {
      out += static_cast<char>(code);
      i += 4;
    } else {
      out += message[i++];
    }
  }
  return out;
}

}  // namespace tonewell

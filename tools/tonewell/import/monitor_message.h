// What a message of the monitor's in a phone's log says: which of its lines it is, and the numbers
// and texts it carries. The lines themselves are the monitor's own (tweak/log_lines.h).
#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "frame_judgement.h"
#include "syslog_line.h"

namespace tonewell::monitor_message {

// What the monitor does with frames: one every quarter second, the first three let go while the
// camera settles, the fourth the first judged (from the monitor's headers).
inline constexpr double kFrameInterval = 1.0 / monitor::kFramesPerSecond;
inline constexpr int kFramesLetGo = monitor::kFramesLetGo;
inline constexpr int kFirstJudgedFrame = monitor::kFirstJudgedFrame;

enum class Kind {
  play,
  stopRinging,
  prepareToAnswerCall,
  callStatus,
  statusUnknown,
  settings,
  acceleration,
  brightness,
  noExif,
  raise,
  restore,
  alreadyAtLevel,
  stopCapture,
  cameraFault,
  other,
};

struct Classified {
  Kind kind = Kind::other;
  double number = 0;
  double x = 0, y = 0, z = 0;
  std::string_view text;   // play: the call; settings: the summary (views into the log)
  const char* fault = "";  // cameraFault: the fault's scenario name
};

inline bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The finite number that starts `text` after `prefix` ("%f" or "%d" as NSLog writes them).
template <typename Number>
std::optional<Number> numberAfter(std::string_view text, std::string_view prefix) {
  const auto at = text.find(prefix);
  if (at == std::string_view::npos) return std::nullopt;
  text.remove_prefix(at + prefix.size());
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end == text.data()) return std::nullopt;
  if constexpr (std::is_floating_point_v<Number>) {
    if (!std::isfinite(value)) return std::nullopt;
  }
  return value;
}

// Which of the monitor's lines `message` is; `other` for none. Views into `message`.
Classified classify(std::string_view message);

// Whether the message ends a ring: stopRinging, or the call's status 1 (connected) or 5 (ended).
bool endsTheRing(const Classified& c);
// What ended the ring: "stopRinging", "call status 1".
std::string endName(const Classified& c);

// A line of the monitor's in the log.
struct MonitorLine {
  int number;       // in the log, 1-based
  SyslogLine line;  // views into the log
  Classified what;
  int year = 0;  // the year a stamp without one was read in (0 for stamps with their year)
  // A repeat's copy: the stamp of the repeat line, the latest its time may have been.
  double latest = 0;
};

}  // namespace tonewell::monitor_message

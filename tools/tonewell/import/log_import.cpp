#include "log_import.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <type_traits>

#include "frame_judgement.h"
#include "log_lines.h"
#include "ringtone_changes.h"
#include "setting_values.h"
#include "syslog_line.h"
#include "terminal_text.h"
#include "utf8_text.h"

namespace tonewell {
namespace {

namespace log_lines = monitor::log_lines;

// What the monitor does with frames: one every quarter second, the first three let go while the
// camera settles, the fourth the first judged.
constexpr double kFrameInterval = 1.0 / monitor::kFramesPerSecond;
constexpr int kFirstJudgedFrame = monitor::kFirstJudgedFrame;
// Call-end lines this long after the ring's end still belong to its call.
constexpr double kAfterTheEnd = 10.0;
// No ring lasts longer (the probe gives up after 90 s): a ring the log never ends stops here.
constexpr double kLongestRing = 600.0;
// A repeat line stands for at most this many lines, and all of them for at most the second.
constexpr long kMostRepeats = 10'000;
constexpr long kMostRepeatedLines = 200'000;
// The call shown for a ring: the rest of a longer one is cut.
constexpr std::size_t kLongestCall = 200;
// Traditional stamps carry no year: a step back of more than half a year is the new year.
constexpr double kHalfAYear = 183 * 86400.0;
constexpr int kFirstAssumedYear = 2000;

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

bool startsWith(std::string_view text, std::string_view prefix) {
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

Classified classify(std::string_view message) {
  Classified c;
  constexpr std::string_view kHook = log_lines::leadOf(log_lines::kStopRingingHook);
  if (startsWith(message, kHook)) {
    const auto close = message.find("> ");
    if (close == std::string_view::npos || message.back() != ']') return c;
    const std::string_view call = message.substr(close + 2, message.size() - close - 3);
    if (call == "stopRinging") {
      c.kind = Kind::stopRinging;
    } else if (startsWith(call, "playRingtoneAtPath:")) {
      c.kind = Kind::play;
      c.text = call;
    }
    return c;
  }
  if (!startsWith(message, log_lines::kTag)) return c;
  const std::string_view m = message;
  auto fault = [&](const char* name) {
    c.kind = Kind::cameraFault;
    c.fault = name;
  };
  constexpr std::string_view kCallStatus = log_lines::leadOf(log_lines::kCallStatus);
  constexpr std::string_view kBrightness = log_lines::leadOf(log_lines::kBrightness);
  if (m == log_lines::kPrepareToAnswerCall) {
    c.kind = Kind::prepareToAnswerCall;
  } else if (const auto state = numberAfter<std::int32_t>(m, kCallStatus);
             state && startsWith(m, kCallStatus)) {
    c.kind = Kind::callStatus;
    c.number = *state;
  } else if (m == log_lines::kCallStatusUnknown) {
    c.kind = Kind::statusUnknown;
  } else if (startsWith(m, log_lines::kSettingsSummary)) {
    c.kind = Kind::settings;
    c.text = m.substr(log_lines::kSettingsSummary.size());
  } else if (startsWith(m, log_lines::leadOf(log_lines::kAccelerometerData))) {
    const auto x = numberAfter<double>(m, " x:"), y = numberAfter<double>(m, " y:"),
               z = numberAfter<double>(m, " z:");
    if (x && y && z) {
      c.kind = Kind::acceleration;
      c.x = *x, c.y = *y, c.z = *z;
    }
  } else if (const auto brightness = numberAfter<double>(m, kBrightness);
             brightness && startsWith(m, kBrightness)) {
    c.kind = Kind::brightness;
    c.number = *brightness;
  } else if (m == log_lines::kNoExif) {
    c.kind = Kind::noExif;
  } else if (m == log_lines::kRaised) {
    c.kind = Kind::raise;
  } else if (m == log_lines::kRestoredOutOfPocket || m == log_lines::kRestoringAtRingEnd ||
             m == log_lines::kRestoredAfterRestart) {
    c.kind = Kind::restore;
  } else if (startsWith(m, log_lines::gistOf(log_lines::kAlreadyAtLevel))) {
    c.kind = Kind::alreadyAtLevel;
  } else if (m == log_lines::kStoppingCapture) {
    c.kind = Kind::stopCapture;
  } else if (startsWith(m, log_lines::gistOf(log_lines::kNoCameraDevice))) {
    fault("missing");
  } else if (startsWith(m, log_lines::gistOf(log_lines::kNoDeviceInput))) {
    fault("inputFails");
  } else if (startsWith(m, log_lines::gistOf(log_lines::kInputRefused))) {
    fault("inputRefused");
  } else if (startsWith(m, log_lines::gistOf(log_lines::kOutputRefused))) {
    fault("outputRefused");
  }
  return c;
}

bool endsTheRing(const Classified& c) {
  return c.kind == Kind::stopRinging ||
         (c.kind == Kind::callStatus && (c.number == 1 || c.number == 5));
}

std::string endName(const Classified& c) {
  return c.kind == Kind::stopRinging ? "stopRinging"
                                     : fmt::format("call status {}", static_cast<int>(c.number));
}

struct MonitorLine {
  int number;       // in the log, 1-based
  SyslogLine line;  // views into the log
  Classified what;
  int year = 0;  // the year a stamp without one was read in (0 for stamps with their year)
  // A repeat's copy: the stamp of the repeat line, the latest its time may have been.
  double latest = 0;
};

std::string yamlNumber(double value) {
  // Whole numbers keep a ".0" so that they read back as real numbers.
  const double shown = std::abs(value) < 1e9 ? std::round(value * 1e6) / 1e6 : value;
  std::string text = fmt::format("{}", shown);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

// The settings of a summary line ("enabled:y, delay:2.000000, ..."), as preference keys and
// their YAML values, in the monitor's order.
std::vector<std::pair<std::string, std::string>> settingsOf(std::string_view summary) {
  std::map<std::string, std::string, std::less<>> given;
  std::size_t at = 0;
  while (at < summary.size()) {
    std::size_t end = summary.find(", ", at);
    if (end == std::string_view::npos) end = summary.size();
    const std::string_view item = summary.substr(at, end - at);
    if (const auto colon = item.find(':'); colon != std::string_view::npos) {
      given[std::string(item.substr(0, colon))] = std::string(item.substr(colon + 1));
    }
    at = end + 2;
  }
  std::vector<std::pair<std::string, std::string>> settings;
  // Numbers out of a setting's range are clamped, as the monitor clamps what it reads.
  auto add = [&](const char* summaryName, const char* key, bool isSwitch, double low, double high) {
    const auto found = given.find(summaryName);
    if (found == given.end()) return;
    if (isSwitch) {
      if (found->second == "y" || found->second == "n") {
        settings.emplace_back(key, found->second == "y" ? "true" : "false");
      }
      return;
    }
    if (const auto value = numberAfter<double>(found->second, "")) {
      settings.emplace_back(key, yamlNumber(std::clamp(*value, low, high)));
    }
  };
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  if (*summary) add(summary, key, std::is_same_v<type, bool>, low, high);
#include "shared_variables.def"
#undef TW_SETTING
  return settings;
}

// The setting `key` of the summary, else the monitor's default for it.
double settingOr(const std::vector<std::pair<std::string, std::string>>& settings,
                 std::string_view key) {
  for (const auto& [k, v] : settings) {
    if (k == key) return std::stod(v);
  }
  return findSetting(key)->fallback;
}

// Appends `text` to `out`, with what YAML cannot hold (control characters but the tab, invalid
// UTF-8, non-characters) turned into U+FFFD, so that a broken log line still gives a scenario
// `run` reads; `quote` also escapes it for a double-quoted YAML string.
void appendPrintable(std::string& out, std::string_view text, bool quote) {
  forEachCharacter(
      text,
      [&](char32_t code, std::string_view bytes) {
        const bool printable =
            code == 0x9 || (quote && code == 0xA) || (code >= 0x20 && code <= 0x7E) ||
            code == 0x85 || (code >= 0xA0 && code <= 0xFFFD && code != 0xFEFF) || code >= 0x10000;
        if (!printable) {
          out += "\xEF\xBF\xBD";
        } else if (quote && (code == '"' || code == '\\' || code == '\t' || code == '\n')) {
          out += code == '\t' ? "\\t" : code == '\n' ? "\\n" : code == '"' ? "\\\"" : "\\\\";
        } else {
          out.append(bytes);
        }
      },
      [&](unsigned char) { out += "\xEF\xBF\xBD"; });
}

std::string yamlPrintable(std::string_view text) {
  std::string out;
  appendPrintable(out, text, false);
  return out;
}

// Appends `text` as a double-quoted YAML string, written in place (a log line may be long).
void appendYamlString(std::string& out, std::string_view text) {
  out += '"';
  appendPrintable(out, text, true);
  out += '"';
}

// Seconds to the microsecond, without trailing zeros: "3.0", "2.875".
std::string yamlSeconds(double t) {
  std::string text = fmt::format("{:.6f}", t);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text += '0';
  return text;
}

// A ring's lines, in the log's order: those of its SpringBoard from its ringtone hook line on,
// and, when that SpringBoard ended during the ring, those of the one started after it up to its
// own first ringtone. A respring comes before each line listed in `restarts`.
struct RingLines {
  std::vector<const MonitorLine*> lines;
  std::vector<std::size_t> restarts;
};

// The ring's own time line, in seconds from its first line: each line comes the time its stamp
// says after the line before, except where the clock was set back (no time passes), or where a
// stamp without a year was read in the next year and would lie months ahead (the clock was set
// back by more than half a year).
std::vector<double> timeLine(const std::vector<const MonitorLine*>& lines) {
  std::vector<double> t(lines.size(), 0.0);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    double step = lines[i]->line.time - lines[i - 1]->line.time;
    if (step < 0 || (lines[i]->year != lines[i - 1]->year && step > kLongestRing)) step = 0;
    t[i] = t[i - 1] + step;
  }
  return t;
}

// Where the ring ends, said in `outcome`: the index past its last line. Lines come after its end
// for a while (the call's end); a ring nothing ends stops after the longest ring.
std::size_t findTheEnd(const std::vector<const MonitorLine*>& lines,
                       const std::vector<double>& times, LogOutcome& outcome) {
  std::optional<double> endAt;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const double t = times[i];
    if ((endAt && t > *endAt + kAfterTheEnd) || t > kLongestRing) {
      outcome.cut = !endAt;
      return i;
    }
    if (!endAt && endsTheRing(lines[i]->what)) {
      endAt = t;
      outcome.end = endName(lines[i]->what);
      outcome.endAt = t;
    }
  }
  return lines.size();
}

using Settings = std::vector<std::pair<std::string, std::string>>;

// The settings the ring ran with: its own summary line, else the last one before it.
Settings ringSettings(const std::vector<const MonitorLine*>& lines, std::size_t last,
                      const MonitorLine* settingsBefore) {
  const MonitorLine* summary = settingsBefore;
  for (std::size_t i = 0; i < last; ++i) {
    if (lines[i]->what.kind == Kind::settings) {
      summary = lines[i];
      break;
    }
  }
  return summary ? settingsOf(summary->what.text) : Settings{};
}

// The world a ring's lines describe: each frame's brightness at its estimated time, as the
// scenario's "world" entries.
class WorldEstimate {
 public:
  explicit WorldEstimate(double resolution)
      : resolution_(resolution), coarse_(resolution > kFrameInterval / 2) {}

  bool coarse() const { return coarse_; }
  int frames() const { return frames_; }
  int framesPredicted() const { return framesPredicted_; }
  std::string& entries() { return world_; }

  // The camera was asked for at `t`: its first judged frame comes after the delay and the frames
  // let go.
  void cameraAskedFor(double t, double delay) {
    predicted_ = t + delay + kFirstJudgedFrame * kFrameInterval;
  }
  // The camera stopped (or ended with its process): no frame is expected.
  void cameraStopped() { predicted_ = std::nan(""); }

  // The sample came a moment after the check began; the world holds it from the start.
  void acceleration(const Classified& w) {
    entry(0, fmt::format("    acceleration: [{}, {}, {}]\n", yamlNumber(w.x), yamlNumber(w.y),
                         yamlNumber(w.z)));
  }
  void brightness(double t, double latest, double value) {
    const double at = frameTime(t, latest);
    entry(at, fmt::format("    brightness: {}\n{}", yamlNumber(value),
                          exifMissing_ ? "    exif: normal\n" : ""));
    exifMissing_ = false;
  }
  void noExif(double t, double latest) {
    entry(frameTime(t, latest), "    exif: missing\n");
    exifMissing_ = true;
  }

 private:
  void entry(double at, const std::string& body) {
    at = std::max(at, lastAt_);
    lastAt_ = at;
    world_ += fmt::format("  - at: {}\n{}", yamlSeconds(at), body);
  }

  // A line stamped at `t` may have been written up to `latest` (a repeat's copies: up to the
  // repeat line) and the stamp's resolution later.
  double frameTime(double t, double latest) {
    ++frames_;
    double estimate = t;
    if (coarse_ && predicted_ >= t - 1e-6 && predicted_ < latest + resolution_ + 1e-6) {
      estimate = predicted_;
      ++framesPredicted_;
    }
    predicted_ = estimate + kFrameInterval;
    // Set half a frame early, so that the frame it belongs to sees it and the one before does not.
    return estimate - kFrameInterval / 2;
  }

  double resolution_;
  bool coarse_;
  std::string world_;
  // The next judged frame's time from the settings; NaN while there is no prediction.
  double predicted_ = std::nan("");
  int frames_ = 0, framesPredicted_ = 0;
  double lastAt_ = 0;
  bool exifMissing_ = false;
};

// What a ring's lines say besides its events: the world, the raises and restores (into the
// ring's outcome), the camera that failed, whether the volume was already high enough.
struct LineReading {
  WorldEstimate world;
  const char* frontCamera = "";
  bool alreadyAtLevel = false;
};

LineReading readTheLines(const RingLines& ringLines, const std::vector<double>& times,
                         std::size_t last, double delay, ImportedRing& ring) {
  LineReading reading{WorldEstimate(ring.resolution)};
  WorldEstimate& world = reading.world;
  std::size_t restart = 0;
  for (std::size_t i = 0; i < last; ++i) {
    if (restart < ringLines.restarts.size() && ringLines.restarts[restart] == i) {
      ++restart;
      world.cameraStopped();  // the camera ended with its process
    }
    const MonitorLine& line = *ringLines.lines[i];
    const Classified& w = line.what;
    const double t = times[i];
    const double latest = t + std::max(0.0, line.latest - line.line.time);
    switch (w.kind) {
      case Kind::play:
      case Kind::prepareToAnswerCall:
        world.cameraAskedFor(t, delay);
        break;
      case Kind::acceleration:
        world.acceleration(w);
        break;
      case Kind::brightness:
        world.brightness(t, latest, w.number);
        break;
      case Kind::noExif:
        world.noExif(t, latest);
        break;
      case Kind::stopCapture:
        world.cameraStopped();
        break;
      case Kind::raise:
        ring.outcome.raises.push_back(t);
        break;
      case Kind::restore:
        ring.outcome.restores.push_back(t);
        break;
      case Kind::alreadyAtLevel:
        reading.alreadyAtLevel = true;
        break;
      case Kind::cameraFault:
        if (!*reading.frontCamera) reading.frontCamera = w.fault;
        break;
      default:
        break;
    }
  }
  ring.restarts = static_cast<int>(restart);
  return reading;
}

// The scenario's first comments: where it comes from and how its times were estimated.
std::string scenarioComments(const ImportedRing& ring, const std::string& name,
                             const WorldEstimate& world, bool clockSet) {
  std::string yaml = fmt::format(
      "# Ring {} of the log \"{}\", imported by tonewell: lines {}-{}, from {}{}.\n"
      "# Times are seconds from the ring's first line.\n",
      ring.number, yamlPrintable(name), ring.firstLine, ring.lastLine, yamlPrintable(ring.stamp),
      ring.host.empty() ? "" : " on " + yamlPrintable(ring.host));
  if (world.frames() > 0 && world.coarse()) {
    yaml += fmt::format(
        "# The log's time stamps are whole seconds: a frame's time is taken from the settings\n"
        "# (camera on after the delay, a frame every {} s, the first {} let go, the {}th judged\n"
        "# first) wherever that agrees with its stamp ({} of {} frames), and from its stamp\n"
        "# elsewhere.\n",
        kFrameInterval, monitor::kFramesLetGo, kFirstJudgedFrame, world.framesPredicted(),
        world.frames());
  } else if (world.frames() > 0) {
    yaml += fmt::format("# Frame times are the log's time stamps (to {} s).\n",
                        yamlSeconds(ring.resolution));
  } else {
    yaml += "# The log has no brightness lines (debug logging was off?): the world is unknown.\n";
  }
  yaml += "# Each brightness is set half a frame before the frame that saw it.\n";
  if (ring.restarts > 0) {
    yaml += "# SpringBoard ended during the ring and was started again (its process changed).\n";
  }
  if (clockSet) yaml += "# The clock was set during the ring: no time passes where it went back.\n";
  return yaml;
}

void appendPreferencesAndDevice(std::string& yaml, const Settings& settings,
                                const LineReading& reading, double volume) {
  yaml += "\npreferences:\n";
  if (settings.empty()) {
    yaml += "  # No \"settings are\" line before or in the ring: the defaults.\n";
  } else {
    yaml += "  # From the \"settings are\" line; the camera in use is not in the log.\n";
  }
  yaml += "  enableDebugLogging: true\n";
  for (const auto& [key, value] : settings) yaml += fmt::format("  {}: {}\n", key, value);
  yaml += "device:\n";
  yaml += reading.alreadyAtLevel
              ? "  # The log says the volume was already at the in-pocket level.\n"
              : "  # The person's volume is not in the log: a level below the in-pocket one.\n";
  yaml += fmt::format("  ringtoneVolume: {}\n", yamlNumber(volume));
  if (*reading.frontCamera) yaml += fmt::format("  frontCamera: {}\n", reading.frontCamera);
}

// The ringtone hook's call as a scenario event: its path, and its vibration pattern if any.
void appendPlay(std::string& yaml, double t, std::string_view call) {
  const auto pattern = call.rfind(" vibrationPattern:");
  yaml += fmt::format("  - at: {}\n", yamlSeconds(t));
  if (pattern == std::string_view::npos) {
    yaml += "    call: \"playRingtoneAtPath:\"\n    args: [";
    appendYamlString(yaml, call.substr(19));
  } else {
    yaml += "    call: \"playRingtoneAtPath:vibrationPattern:\"\n    args: [";
    appendYamlString(yaml, call.substr(19, pattern - 19));
    yaml += ", ";
    appendYamlString(yaml, call.substr(pattern + 18));
  }
  yaml += "]\n";
}

// The host's calls, the call's status notifications and the restarts, in the ring's order.
void appendEvents(std::string& yaml, const RingLines& ringLines, const std::vector<double>& times,
                  std::size_t last) {
  yaml += "events:\n";
  std::size_t restart = 0;
  for (std::size_t i = 0; i < last; ++i) {
    const double t = times[i];
    if (restart < ringLines.restarts.size() && ringLines.restarts[restart] == i) {
      ++restart;
      yaml += fmt::format("  - at: {}\n    host: respring\n", yamlSeconds(t));
    }
    const Classified& w = ringLines.lines[i]->what;
    switch (w.kind) {
      case Kind::play:
        appendPlay(yaml, t, w.text);
        break;
      case Kind::prepareToAnswerCall:
        yaml += fmt::format("  - at: {}\n    call: prepareToAnswerCall\n", yamlSeconds(t));
        break;
      case Kind::stopRinging:
        yaml += fmt::format("  - at: {}\n    call: stopRinging\n", yamlSeconds(t));
        break;
      case Kind::callStatus:
        yaml += fmt::format(
            "  - at: {}\n    notify: kCTCallStatusChangeNotification\n    userInfo: "
            "{{kCTCallStatus: {}}}\n",
            yamlSeconds(t), static_cast<int>(w.number));
        break;
      case Kind::statusUnknown:
        yaml += fmt::format(
            "  - at: {}\n    notify: kCTCallStatusChangeNotification\n    userInfo: {{}}\n",
            yamlSeconds(t));
        break;
      default:
        break;
    }
  }
}

// The ring as the list shows it: its first line's stamp, phone and call.
ImportedRing ringHeading(const MonitorLine& first, int number) {
  ImportedRing ring;
  ring.number = number;
  ring.stamp = std::string(first.line.stamp);
  ring.host = std::string(first.line.host);
  const std::string hook = onOneLine(first.what.text);
  ring.call = hook.size() > kLongestCall ? hook.substr(0, kLongestCall) + "..." : hook;
  ring.firstLine = first.number;
  ring.resolution = first.line.resolution;
  return ring;
}

ImportedRing buildRing(const RingLines& ringLines, const MonitorLine* settingsBefore,
                       const std::string& name, int number) {
  const auto& lines = ringLines.lines;
  const std::vector<double> times = timeLine(lines);
  ImportedRing ring = ringHeading(*lines[0], number);
  const std::size_t last = findTheEnd(lines, times, ring.outcome);
  ring.lastLine = lines[last - 1]->number;
  const double lastT = times[last - 1];
  if (ring.outcome.end.empty()) ring.outcome.endAt = lastT;

  const Settings settings = ringSettings(lines, last, settingsBefore);
  const double delay = settingOr(settings, "increaseVolumeDelay");
  const double level = settingOr(settings, "ringingVolumeWhileInPocket");
  LineReading reading = readTheLines(ringLines, times, last, delay, ring);
  ring.outcome.endsRaised = ring.outcome.raises.size() > ring.outcome.restores.size();

  // The person's volume is not in the log; the monitor's lines say whether it was below the
  // in-pocket level.
  const double volume = reading.alreadyAtLevel ? level : (level > 0.3 ? 0.3 : level / 2);
  const double logged = lines[last - 1]->line.time - lines[0]->line.time;
  const bool clockSet = lastT < logged - 1e-6 || lastT > logged + 1e-6;
  // Written straight into the scenario: a line may be long.
  std::string yaml = scenarioComments(ring, name, reading.world, clockSet);
  yaml += "name: ";
  appendYamlString(yaml, fmt::format("{}-ring-{}", name, number));
  appendPreferencesAndDevice(yaml, settings, reading, volume);
  if (!reading.world.entries().empty()) yaml += "world:\n" + reading.world.entries();
  reading.world.entries() = std::string();
  appendEvents(yaml, ringLines, times, last);
  yaml += fmt::format("until: {}\n", yamlSeconds(std::ceil(lastT + 2)));
  ring.yaml = std::move(yaml);
  return ring;
}

// The lines of one SpringBoard process: one phone's, one process id's.
struct Process {
  std::string_view host;
  std::vector<MonitorLine> lines;
};

// A message as it was logged, when the log wrote it otherwise: over several lines (the phone's
// syslogd), or with its line breaks escaped (rsyslogd, which writes no level). None when the
// line's own text is the message.
std::optional<std::string> wholeMessage(const SyslogLine& line,
                                        const std::vector<std::string_view>& continuations) {
  std::optional<std::string> whole;
  if (!continuations.empty()) {
    whole.emplace(line.message);
    for (const std::string_view more : continuations) {
      *whole += '\n';
      *whole += more;
    }
  }
  if (line.level.empty()) {
    if (auto decoded = decodeEscapedControls(whole ? std::string_view(*whole) : line.message)) {
      whole = std::move(decoded);
    }
  }
  return whole;
}

// What the line before a repeat line was, for the repeat to stand for more of it.
enum class Counted { nothing, monitor, otherProcess, otherMessage };

// Reads a log into the monitor's lines of each SpringBoard process, and counts the other lines
// in `result`. The lines view the log and the messages put back together here: the reader
// outlives them.
class LogReader {
 public:
  LogReader(std::string_view text, LogImport& result) : text_(text), result_(result) {}

  // Every SpringBoard process, by phone and process id, in the order each first appears.
  std::vector<Process> read() {
    while (at_ < text_.size()) {
      const int lineNumber = ++result_.lines;
      auto line = nextLine();
      if (!line) continue;
      Previous& previous = previousOfHost_[line->host];
      if (line->repeated > 0) {
        repeat(*line, lineNumber, previous);
      } else {
        add(*line, lineNumber, previous);
      }
    }
    return std::move(processes_);
  }

 private:
  struct Previous {
    Counted counted = Counted::nothing;
    std::size_t process = 0;  // of a monitor line
  };

  // The next line with the lines that continue its message, read whole; none for a malformed
  // one (counted).
  std::optional<SyslogLine> nextLine() {
    std::size_t end = std::min(text_.find('\n', at_), text_.size());
    const std::string_view raw = text_.substr(at_, end - at_);
    at_ = end + 1;
    std::vector<std::string_view> continuations;
    while (at_ < text_.size() && continuesTheMessageBefore(text_.substr(at_, 1))) {
      end = std::min(text_.find('\n', at_), text_.size());
      std::string_view more = text_.substr(at_ + 1, end - at_ - 1);
      if (!more.empty() && more.back() == '\r') more.remove_suffix(1);
      continuations.push_back(more);
      at_ = end + 1;
      ++result_.lines;
    }
    auto line = parseSyslogLine(raw, year_);
    if (line && !hasYear(*line)) {
      if (anyTraditional_ && line->time < lastTraditional_ - kHalfAYear) {
        line = parseSyslogLine(raw, ++year_);
      }
      anyTraditional_ = true;
      lastTraditional_ = line->time;
    }
    if (!line) {
      result_.malformed += 1 + static_cast<int>(continuations.size());
      return std::nullopt;
    }
    if (auto whole = wholeMessage(*line, continuations)) {
      joinedMessages_.push_back(std::move(*whole));
      line->message = joinedMessages_.back();
    }
    return line;
  }

  // "--- last message repeated N times ---": the line before, of this phone, N times more.
  void repeat(const SyslogLine& line, int lineNumber, const Previous& previous) {
    const bool fits =
        line.repeated <= kMostRepeats && repeatedLines_ + line.repeated <= kMostRepeatedLines;
    switch (fits ? previous.counted : Counted::nothing) {
      case Counted::nothing:
        ++result_.malformed;
        break;
      case Counted::otherProcess:
        ++result_.otherProcesses;
        break;
      case Counted::otherMessage:
        ++result_.otherMessages;
        break;
      case Counted::monitor: {
        ++result_.monitorLines;
        repeatedLines_ += line.repeated;
        std::vector<MonitorLine>& lines = processes_[previous.process].lines;
        MonitorLine copy = lines.back();
        copy.number = lineNumber;
        copy.latest = line.time;
        lines.insert(lines.end(), static_cast<std::size_t>(line.repeated), copy);
        break;
      }
    }
  }

  void add(const SyslogLine& line, int lineNumber, Previous& previous) {
    if (line.process != "SpringBoard") {
      ++result_.otherProcesses;
      previous.counted = Counted::otherProcess;
      return;
    }
    Classified what = classify(line.message);
    if (what.kind == Kind::other && !startsWith(line.message, log_lines::kTag) &&
        !startsWith(line.message, log_lines::leadOf(log_lines::kStopRingingHook))) {
      ++result_.otherMessages;
      previous.counted = Counted::otherMessage;
      return;
    }
    ++result_.monitorLines;
    const auto [found, added] = processIndex_.try_emplace({line.host, line.pid}, processes_.size());
    if (added) processes_.push_back({line.host, {}});
    const int lineYear = hasYear(line) ? 0 : year_;
    processes_[found->second].lines.push_back({lineNumber, line, what, lineYear, line.time});
    previous = {Counted::monitor, found->second};
  }

  std::string_view text_;
  LogImport& result_;
  std::size_t at_ = 0;
  std::map<std::pair<std::string_view, long>, std::size_t> processIndex_;
  std::vector<Process> processes_;
  std::map<std::string_view, Previous> previousOfHost_;
  long repeatedLines_ = 0;
  // The messages that spanned lines or carried escapes, put back together; lines view them.
  std::deque<std::string> joinedMessages_;
  int year_ = kFirstAssumedYear;
  double lastTraditional_ = 0;
  bool anyTraditional_ = false;
};

// A ring found, before it is built.
struct Found {
  double time;
  RingLines lines;
  const MonitorLine* settingsBefore;
};

// When a ring that `process`'s own lines do not end went on in the phone's next SpringBoard (the
// next process of that phone begins after this one's last line), that process's lines up to its
// own first ringtone, after a restart.
void followIntoTheNextProcess(const std::vector<Process>& processes, std::size_t process,
                              RingLines& ring) {
  const std::vector<MonitorLine>& lines = processes[process].lines;
  for (std::size_t q = process + 1; q < processes.size(); ++q) {
    if (processes[q].host != processes[process].host) continue;
    if (processes[q].lines.front().number < lines.back().number) return;  // both alive
    ring.restarts.push_back(ring.lines.size());
    for (const MonitorLine& next : processes[q].lines) {
      if (next.what.kind == Kind::play) break;
      ring.lines.push_back(&next);
    }
    return;
  }
}

// Each process's rings, from one ringtone hook line to the next.
void findRings(const std::vector<Process>& processes, std::size_t p, std::vector<Found>& found) {
  const std::vector<MonitorLine>& lines = processes[p].lines;
  const MonitorLine* settingsBefore = nullptr;
  std::optional<std::size_t> start;
  for (std::size_t i = 0; i <= lines.size(); ++i) {
    const bool play = i < lines.size() && lines[i].what.kind == Kind::play;
    if ((play || i == lines.size()) && start) {
      Found ring{lines[*start].line.time, {}, settingsBefore};
      bool ended = false;
      for (std::size_t j = *start; j < i; ++j) {
        ring.lines.lines.push_back(&lines[j]);
        ended = ended || endsTheRing(lines[j].what);
        if (lines[j].what.kind == Kind::settings) settingsBefore = &lines[j];
      }
      if (!ended && i == lines.size()) followIntoTheNextProcess(processes, p, ring.lines);
      found.push_back(std::move(ring));
    }
    if (play) start = i;
    if (!start && i < lines.size() && lines[i].what.kind == Kind::settings) {
      settingsBefore = &lines[i];
    }
  }
}

}  // namespace

LogImport importLog(std::string_view text, const std::string& name) {
  LogImport result;
  LogReader reader(text, result);
  const std::vector<Process> processes = reader.read();
  std::vector<Found> found;
  for (std::size_t p = 0; p < processes.size(); ++p) findRings(processes, p, found);
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.time < b.time; });
  int number = 0;
  std::set<std::string_view> phones;
  for (const auto& f : found) {
    result.rings.push_back(buildRing(f.lines, f.settingsBefore, name, ++number));
    phones.insert(f.lines.lines.front()->line.host);
  }
  result.phones = static_cast<int>(phones.size());
  return result;
}

std::string describeOutcome(const LogOutcome& outcome, const char* source) {
  std::string text;
  auto list = [&](const char* what, const std::vector<double>& times) {
    if (times.empty()) return;
    text += text.empty() ? "" : ", ";
    text += what;
    for (std::size_t i = 0; i < times.size(); ++i) {
      text += fmt::format("{}{:.3f} s", i == 0 ? " at " : ", ", times[i]);
    }
  };
  list("raised", outcome.raises);
  list("restored", outcome.restores);
  if (text.empty()) text = "not raised";
  if (!outcome.end.empty()) {
    text += fmt::format("; ended by {} at {:.3f} s", outcome.end, outcome.endAt);
  } else if (outcome.cut) {
    text += fmt::format("; not ended {:.0f} s after it began, though the {} goes on", kLongestRing,
                        source);
  } else {
    text += fmt::format("; the {} ends at {:.3f} s before the ring does", source, outcome.endAt);
  }
  if (outcome.endsRaised) text += ", the volume still raised";
  if (outcome.cameraRunning) text += ", the camera still running";
  return text;
}

LogOutcome outcomeOfReplay(const ReplayResult& result) {
  LogOutcome outcome;
  for (const auto& change : ringtoneChanges(result)) {
    if (change.step == RingtoneStep::raised) outcome.raises.push_back(change.t);
    if (change.step == RingtoneStep::restored) outcome.restores.push_back(change.t);
  }
  outcome.endAt = result.until;
  for (const auto& entry : result.log) {
    const Classified c = classify(entry.message);
    if (endsTheRing(c)) {
      outcome.end = endName(c);
      outcome.endAt = entry.t;
      break;
    }
  }
  outcome.endsRaised = result.final.number("volumeWasIncreased") != 0;
  outcome.cameraRunning = result.final.cameraRunning;
  return outcome;
}

Tolerance toleranceFor(const ImportedRing& ring) {
  const bool coarse = ring.resolution > kFrameInterval / 2;
  const double frame = coarse ? kFrameInterval / 2 : kFrameInterval;
  return {frame + 1e-3, ring.resolution + frame + 1e-3};
}

std::vector<std::string> disagreements(const LogOutcome& log, const LogOutcome& replayed,
                                       Tolerance tolerance) {
  std::vector<std::string> found;
  auto compare = [&](const char* noun, const char* verb, const std::vector<double>& a,
                     const std::vector<double>& b) {
    const std::size_t both = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < both; ++i) {
      if (b[i] < a[i] - tolerance.early || b[i] > a[i] + tolerance.late) {
        found.push_back(
            fmt::format("the log {} at {:.3f} s, the replay at {:.3f} s", verb, a[i], b[i]));
      }
    }
    for (std::size_t i = both; i < a.size(); ++i) {
      found.push_back(
          fmt::format("the log shows a {} at {:.3f} s that the replay does not", noun, a[i]));
    }
    for (std::size_t i = both; i < b.size(); ++i) {
      found.push_back(
          fmt::format("the replay {} at {:.3f} s where the log shows none", verb, b[i]));
    }
  };
  compare("raise", "raises", log.raises, replayed.raises);
  compare("restore", "restores", log.restores, replayed.restores);
  if (replayed.endsRaised && !log.endsRaised) {
    found.push_back("the replay ends with the volume still raised, the log does not");
  } else if (log.endsRaised && !replayed.endsRaised) {
    found.push_back("the log ends with the volume still raised, the replay does not");
  }
  if (replayed.cameraRunning) found.push_back("the replay ends with the camera still running");
  return found;
}

std::string describeSkipped(const LogImport& import) {
  const int skipped = import.otherProcesses + import.otherMessages + import.malformed;
  return fmt::format("{} line{} skipped: {} of other processes, {} other messages, {} malformed",
                     skipped, skipped == 1 ? "" : "s", import.otherProcesses, import.otherMessages,
                     import.malformed);
}

}  // namespace tonewell

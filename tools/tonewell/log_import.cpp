#include "log_import.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <type_traits>

#include "syslog_line.h"

namespace tonewell {
namespace {

// What the replay uses unless a scenario says otherwise, and what the monitor does with frames.
constexpr double kFrameInterval = 0.25;
constexpr int kIgnoredFrames = 4;  // the camera's first frames, while its exposure settles
constexpr double kDefaultDelay = 2.0;
// Call-end lines this long after the ring's end still belong to its call.
constexpr double kAfterTheEnd = 10.0;
// No ring lasts longer (the probe gives up after 90 s): a ring the log never ends stops here.
constexpr double kLongestRing = 600.0;
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
  std::string text;  // play: the call; cameraFault: the fault's scenario name
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
  constexpr std::string_view kHook = "-[<SBUserAgent: ";
  if (startsWith(message, kHook)) {
    const auto close = message.find("> ");
    if (close == std::string_view::npos || message.back() != ']') return c;
    const std::string_view call = message.substr(close + 2, message.size() - close - 3);
    if (call == "stopRinging") {
      c.kind = Kind::stopRinging;
    } else if (startsWith(call, "playRingtoneAtPath:")) {
      c.kind = Kind::play;
      c.text = std::string(call);
    }
    return c;
  }
  if (!startsWith(message, "TW: ")) return c;
  const std::string m(message);
  if (m == "TW: prepareToAnswerCall") {
    c.kind = Kind::prepareToAnswerCall;
  } else if (const auto state =
                 numberAfter<std::int32_t>(m, "TW: kCTCallStatusChangeNotification, new state: ");
             state && startsWith(m, "TW: kCTCallStatusChangeNotification, new state: ")) {
    c.kind = Kind::callStatus;
    c.number = *state;
  } else if (m == "TW: kCTCallStatusChangeNotification cannot determine state!") {
    c.kind = Kind::statusUnknown;
  } else if (startsWith(m, "TW: settings are: ")) {
    c.kind = Kind::settings;
    c.text = m.substr(18);
  } else if (startsWith(m, "TW: accelerometerdata: ")) {
    const auto x = numberAfter<double>(m, " x:"), y = numberAfter<double>(m, " y:"),
               z = numberAfter<double>(m, " z:");
    if (x && y && z) c = {Kind::acceleration, 0, *x, *y, *z, {}};
  } else if (const auto brightness = numberAfter<double>(m, "TW: brightness: ");
             brightness && startsWith(m, "TW: brightness: ")) {
    c.kind = Kind::brightness;
    c.number = *brightness;
  } else if (m == "TW: no EXIF attachments!") {
    c.kind = Kind::noExif;
  } else if (m == "TW: ringing volume was increased.") {
    c.kind = Kind::raise;
  } else if (m == "TW: device taken out of the pocket, original volume restored." ||
             m == "TW: stopRinging, restoring the original volume.") {
    c.kind = Kind::restore;
  } else if (startsWith(m, "TW: the ringtone volume is already at or above the in-pocket level")) {
    c.kind = Kind::alreadyAtLevel;
  } else if (m == "TW: stopping capture session") {
    c.kind = Kind::stopCapture;
  } else if (startsWith(m, "TW: unable to find selected camera device!")) {
    c = {Kind::cameraFault, 0, 0, 0, 0, "missing"};
  } else if (startsWith(m, "TW: unable to create camera device input!")) {
    c = {Kind::cameraFault, 0, 0, 0, 0, "inputFails"};
  } else if (startsWith(m, "TW: unable to add input to session!")) {
    c = {Kind::cameraFault, 0, 0, 0, 0, "inputRefused"};
  } else if (startsWith(m, "TW: unable to add output to session!")) {
    c = {Kind::cameraFault, 0, 0, 0, 0, "outputRefused"};
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
  int number;  // in the log, 1-based
  SyslogLine line;
  Classified what;
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
std::vector<std::pair<std::string, std::string>> settingsOf(const std::string& summary) {
  std::map<std::string, std::string> given;
  std::size_t at = 0;
  while (at < summary.size()) {
    std::size_t end = summary.find(", ", at);
    if (end == std::string::npos) end = summary.size();
    const std::string item = summary.substr(at, end - at);
    if (const auto colon = item.find(':'); colon != std::string::npos) {
      given[item.substr(0, colon)] = item.substr(colon + 1);
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

double settingOr(const std::vector<std::pair<std::string, std::string>>& settings,
                 std::string_view key, double fallback) {
  for (const auto& [k, v] : settings) {
    if (k == key) return std::stod(v);
  }
  return fallback;
}

// `text` with what YAML cannot hold (control characters, invalid UTF-8, non-characters) turned
// into U+FFFD, so that a broken log line still gives a scenario `run` reads.
std::string yamlPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t code = length == 1   ? lead
                    : length == 2 ? lead & 0x1Fu
                    : length == 3 ? lead & 0x0Fu
                                  : lead & 0x07u;
    bool valid = (lead < 0x80 || lead >= 0xC2) && lead <= 0xF4 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3Fu);
    }
    valid = valid && !(length == 3 && code < 0x800) && !(length == 4 && code < 0x10000) &&
            code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    const bool printable = code == 0x9 || (code >= 0x20 && code <= 0x7E) || code == 0x85 ||
                           (code >= 0xA0 && code <= 0xFFFD && code != 0xFEFF) || code >= 0x10000;
    if (valid && printable) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      i += valid ? length : 1;
    }
  }
  return out;
}

std::string yamlString(std::string_view text) {
  return nlohmann::json(yamlPrintable(text)).dump();
}

// Seconds to the microsecond, without trailing zeros: "3.0", "2.875".
std::string yamlSeconds(double t) {
  std::string text = fmt::format("{:.6f}", t);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text += '0';
  return text;
}

// One ring: lines [begin, end) of one process, the first a ringtone hook line.
ImportedRing buildRing(const std::vector<MonitorLine>& lines, std::size_t begin, std::size_t end,
                       const MonitorLine* settingsBefore, const std::string& name, int number) {
  ImportedRing ring;
  ring.number = number;
  const SyslogLine& first = lines[begin].line;
  ring.stamp = first.stamp;
  ring.call = lines[begin].what.text;
  ring.firstLine = lines[begin].number;
  ring.resolution = first.resolution;
  const double t0 = first.time;

  // Where the ring ends, and which lines belong to it.
  std::size_t last = end;
  std::optional<double> endAt;
  for (std::size_t i = begin; i < end; ++i) {
    const double t = lines[i].line.time - t0;
    if ((endAt && t > *endAt + kAfterTheEnd) || t > kLongestRing) {
      last = i;
      break;
    }
    if (!endAt && endsTheRing(lines[i].what)) {
      endAt = t;
      ring.outcome.end = endName(lines[i].what);
      ring.outcome.endAt = t;
    }
  }
  ring.lastLine = lines[last - 1].number;

  // The settings the ring ran with: its own summary line, else the last one before it.
  const MonitorLine* summary = settingsBefore;
  for (std::size_t i = begin; i < last; ++i) {
    if (lines[i].what.kind == Kind::settings) {
      summary = &lines[i];
      break;
    }
  }
  const auto settings =
      summary ? settingsOf(summary->what.text) : std::vector<std::pair<std::string, std::string>>{};
  const double delay = settingOr(settings, "increaseVolumeDelay", kDefaultDelay);
  const double level = settingOr(settings, "ringingVolumeWhileInPocket", 0.8);

  std::string world, events, frontCamera;
  bool alreadyAtLevel = false;
  bool coarse = ring.resolution > kFrameInterval / 2;
  // The next judged frame's time from the settings; NaN while there is no prediction.
  double predicted = std::nan("");
  int frames = 0, framesPredicted = 0;
  double lastWorldAt = 0;
  bool exifMissing = false;
  double lastT = 0;
  auto worldEntry = [&](double at, const std::string& body) {
    at = std::max(at, lastWorldAt);
    lastWorldAt = at;
    world += fmt::format("  - at: {}\n{}", yamlSeconds(at), body);
  };
  auto frameTime = [&](double stamp) {
    ++frames;
    double estimate = stamp;
    if (coarse && predicted >= stamp - 1e-6 && predicted < stamp + ring.resolution + 1e-6) {
      estimate = predicted;
      ++framesPredicted;
    }
    predicted = estimate + kFrameInterval;
    // Set half a frame early, so that the frame it belongs to sees it and the one before does not.
    return estimate - kFrameInterval / 2;
  };

  for (std::size_t i = begin; i < last; ++i) {
    const Classified& w = lines[i].what;
    // A clock set back mid-ring would send events back in time: keep them in the log's order.
    const double t = std::max(lines[i].line.time - t0, lastT);
    lastT = t;
    switch (w.kind) {
      case Kind::play: {
        const auto pattern = w.text.rfind(" vibrationPattern:");
        if (pattern == std::string::npos) {
          events += fmt::format("  - at: {}\n    call: \"playRingtoneAtPath:\"\n    args: [{}]\n",
                                yamlSeconds(t), yamlString(w.text.substr(19)));
        } else {
          events += fmt::format(
              "  - at: {}\n    call: \"playRingtoneAtPath:vibrationPattern:\"\n    args: [{}, "
              "{}]\n",
              yamlSeconds(t), yamlString(w.text.substr(19, pattern - 19)),
              yamlString(w.text.substr(pattern + 18)));
        }
        predicted = t + delay + kIgnoredFrames * kFrameInterval;
        break;
      }
      case Kind::prepareToAnswerCall:
        events += fmt::format("  - at: {}\n    call: prepareToAnswerCall\n", yamlSeconds(t));
        predicted = t + delay + kIgnoredFrames * kFrameInterval;
        break;
      case Kind::stopRinging:
        events += fmt::format("  - at: {}\n    call: stopRinging\n", yamlSeconds(t));
        break;
      case Kind::callStatus:
        events += fmt::format(
            "  - at: {}\n    notify: kCTCallStatusChangeNotification\n    userInfo: "
            "{{kCTCallStatus: {}}}\n",
            yamlSeconds(t), static_cast<int>(w.number));
        break;
      case Kind::statusUnknown:
        events += fmt::format(
            "  - at: {}\n    notify: kCTCallStatusChangeNotification\n    userInfo: {{}}\n",
            yamlSeconds(t));
        break;
      case Kind::acceleration:
        // The sample came a moment after the check began; the world holds it from the start.
        worldEntry(0, fmt::format("    acceleration: [{}, {}, {}]\n", yamlNumber(w.x),
                                  yamlNumber(w.y), yamlNumber(w.z)));
        break;
      case Kind::brightness: {
        const double at = frameTime(t);
        worldEntry(at, fmt::format("    brightness: {}\n{}", yamlNumber(w.number),
                                   exifMissing ? "    exif: normal\n" : ""));
        exifMissing = false;
        break;
      }
      case Kind::noExif:
        worldEntry(frameTime(t), "    exif: missing\n");
        exifMissing = true;
        break;
      case Kind::stopCapture:
        predicted = std::nan("");
        break;
      case Kind::raise:
        ring.outcome.raises.push_back(t);
        break;
      case Kind::restore:
        ring.outcome.restores.push_back(t);
        break;
      case Kind::alreadyAtLevel:
        alreadyAtLevel = true;
        break;
      case Kind::cameraFault:
        if (frontCamera.empty()) frontCamera = w.text;
        break;
      case Kind::settings:
      case Kind::other:
        break;
    }
  }
  if (!endAt) {
    ring.outcome.end = "the log ends";
    ring.outcome.endAt = lastT;
  }

  // The person's volume is not in the log; the monitor's lines say whether it was below the
  // in-pocket level.
  const double volume = alreadyAtLevel ? level : (level > 0.3 ? 0.3 : level / 2);
  std::string yaml = fmt::format(
      "# Ring {} of the log \"{}\", imported by tonewell: lines {}-{}, from {}.\n"
      "# Times are seconds from the ring's first line.\n",
      number, yamlPrintable(name), ring.firstLine, ring.lastLine, ring.stamp);
  if (frames > 0 && coarse) {
    yaml += fmt::format(
        "# The log's time stamps are whole seconds: a frame's time is taken from the settings\n"
        "# (camera on after the delay, its first {} frames not judged, one every {} s) wherever\n"
        "# that agrees with its stamp ({} of {} frames), and from its stamp elsewhere.\n",
        kIgnoredFrames, kFrameInterval, framesPredicted, frames);
  } else if (frames > 0) {
    yaml += fmt::format("# Frame times are the log's time stamps (to {} s).\n",
                        yamlSeconds(ring.resolution));
  } else {
    yaml += "# The log has no brightness lines (debug logging was off?): the world is unknown.\n";
  }
  yaml += "# Each brightness is set half a frame before the frame that saw it.\n";
  yaml += fmt::format("name: {}\n", yamlString(fmt::format("{}-ring-{}", name, number)));
  yaml += "preferences:\n";
  if (settings.empty()) {
    yaml += "  # No \"settings are\" line before or in the ring: the defaults.\n";
  } else {
    yaml += "  # From the \"settings are\" line; the camera in use is not in the log.\n";
  }
  yaml += "  enableDebugLogging: true\n";
  for (const auto& [key, value] : settings) yaml += fmt::format("  {}: {}\n", key, value);
  yaml += "device:\n";
  yaml += alreadyAtLevel
              ? "  # The log says the volume was already at the in-pocket level.\n"
              : "  # The person's volume is not in the log: a level below the in-pocket one.\n";
  yaml += fmt::format("  ringtoneVolume: {}\n", yamlNumber(volume));
  if (!frontCamera.empty()) yaml += fmt::format("  frontCamera: {}\n", frontCamera);
  if (!world.empty()) yaml += "world:\n" + world;
  yaml += "events:\n" + events;
  yaml += fmt::format("until: {}\n", yamlSeconds(std::ceil(lastT + 2)));
  ring.yaml = std::move(yaml);
  return ring;
}

}  // namespace

LogImport importLog(std::string_view text, const std::string& name) {
  LogImport result;
  std::map<long, std::vector<MonitorLine>> byProcess;
  int year = kFirstAssumedYear;
  double lastTraditional = 0;
  bool anyTraditional = false;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view raw = text.substr(at, end - at);
    at = end + 1;
    ++result.lines;
    auto line = parseSyslogLine(raw, year);
    if (line && !hasYear(*line)) {
      if (anyTraditional && line->time < lastTraditional - kHalfAYear) {
        line = parseSyslogLine(raw, ++year);
      }
      anyTraditional = true;
      lastTraditional = line->time;
    }
    if (!line) {
      ++result.malformed;
      continue;
    }
    if (line->process != "SpringBoard") {
      ++result.otherProcesses;
      continue;
    }
    Classified what = classify(line->message);
    if (what.kind == Kind::other && !startsWith(line->message, "TW: ") &&
        !startsWith(line->message, "-[<SBUserAgent: ")) {
      ++result.otherMessages;
      continue;
    }
    ++result.monitorLines;
    byProcess[line->pid].push_back({result.lines, std::move(*line), std::move(what)});
  }

  // Each process's rings, from one ringtone hook line to the next.
  struct Found {
    double time;
    long pid;
    std::size_t begin, end;
    const MonitorLine* settingsBefore;
  };
  std::vector<Found> found;
  for (const auto& [pid, lines] : byProcess) {
    const MonitorLine* settingsBefore = nullptr;
    std::optional<std::size_t> start;
    for (std::size_t i = 0; i <= lines.size(); ++i) {
      const bool play = i < lines.size() && lines[i].what.kind == Kind::play;
      if ((play || i == lines.size()) && start) {
        found.push_back({lines[*start].line.time, pid, *start, i, settingsBefore});
        for (std::size_t j = *start; j < i; ++j) {
          if (lines[j].what.kind == Kind::settings) settingsBefore = &lines[j];
        }
      }
      if (play) start = i;
      if (!start && i < lines.size() && lines[i].what.kind == Kind::settings) {
        settingsBefore = &lines[i];
      }
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.time < b.time; });
  int number = 0;
  for (const auto& f : found) {
    result.rings.push_back(
        buildRing(byProcess[f.pid], f.begin, f.end, f.settingsBefore, name, ++number));
  }
  return result;
}

std::string describeOutcome(const LogOutcome& outcome) {
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
  return text + fmt::format("; ended by {} at {:.3f} s", outcome.end, outcome.endAt);
}

LogOutcome outcomeOfReplay(const ReplayResult& result) {
  LogOutcome outcome;
  float volume = result.initialVolume;
  for (const auto& change : result.volume) {
    if (change.category != "Ringtone") continue;
    if (change.by == "monitor") {
      (change.value > volume ? outcome.raises : outcome.restores).push_back(change.t);
    }
    volume = change.value;
  }
  outcome.end = "the log ends";
  outcome.endAt = result.until;
  for (const auto& entry : result.log) {
    const Classified c = classify(entry.message);
    if (endsTheRing(c)) {
      outcome.end = endName(c);
      outcome.endAt = entry.t;
      break;
    }
  }
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
  return found;
}

std::string describeSkipped(const LogImport& import) {
  const int skipped = import.otherProcesses + import.otherMessages + import.malformed;
  return fmt::format("{} line{} skipped: {} of other processes, {} other messages, {} malformed",
                     skipped, skipped == 1 ? "" : "s", import.otherProcesses, import.otherMessages,
                     import.malformed);
}

}  // namespace tonewell

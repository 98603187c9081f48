#include "ring_scenario.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "settings_summary.h"
#include "terminal_text.h"
#include "yaml_text.h"
#include "yaml_writer.h"

namespace tonewell::monitor_message {

std::vector<double> timeLine(const std::vector<const MonitorLine*>& lines) {
  std::vector<double> t(lines.size(), 0.0);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    double step = lines[i]->line.time - lines[i - 1]->line.time;
    if (step < 0 || (lines[i]->year != lines[i - 1]->year && step > kLongestRing)) step = 0;
    t[i] = t[i - 1] + step;
  }
  return t;
}

namespace {

// Call-end lines this long after the ring's end still belong to its call.
constexpr double kAfterTheEnd = 10.0;
// The call shown for a ring: the rest of a longer one is cut.
constexpr std::size_t kLongestCall = 200;

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

  // One of the scenario's "world" entries: what changes at `at`.
  struct Entry {
    double at;
    std::optional<Classified> acceleration;
    std::optional<double> brightness;
    const char* exif = nullptr;  // "missing" or "normal"
  };
  const std::vector<Entry>& entries() const { return world_; }

  // The camera was asked for at `t`: its first judged frame comes after the delay and the frames
  // let go.
  void cameraAskedFor(double t, double delay) {
    predicted_ = t + delay + kFirstJudgedFrame * kFrameInterval;
  }
  // The camera stopped (or ended with its process): no frame is expected.
  void cameraStopped() { predicted_ = std::nan(""); }

  // The sample came a moment after the check began; the world holds it from the start.
  void acceleration(const Classified& w) { entry(0).acceleration = w; }
  void brightness(double t, double latest, double value) {
    Entry& e = entry(frameTime(t, latest));
    e.brightness = value;
    if (exifMissing_) e.exif = "normal";
    exifMissing_ = false;
  }
  void noExif(double t, double latest) {
    entry(frameTime(t, latest)).exif = "missing";
    exifMissing_ = true;
  }

 private:
  Entry& entry(double at) {
    at = std::max(at, lastAt_);
    lastAt_ = at;
    return world_.emplace_back(Entry{at, std::nullopt, std::nullopt});
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
  std::vector<Entry> world_;
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

// The scenario's first comments: where it comes from, how its times were estimated, and what
// its preferences and volume stand for.
std::string scenarioComments(const ImportedRing& ring, const std::string& name,
                             const LineReading& reading, bool defaults, bool clockSet) {
  const WorldEstimate& world = reading.world;
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
  yaml += defaults
              ? "# Preferences: no \"settings are\" line before or in the ring: the defaults.\n"
              : "# Preferences: from the \"settings are\" line; the camera in use is not in "
                "the log.\n";
  yaml += reading.alreadyAtLevel
              ? "# Ringtone volume: the log says it was already at the in-pocket level.\n"
              : "# Ringtone volume: the person's is not in the log: a level below the in-pocket "
                "one.\n";
  return yaml;
}

void writePreferencesAndDevice(YamlWriter& yaml, const Settings& settings,
                               const LineReading& reading, double volume) {
  yaml.plain("preferences").beginMapping();
  yaml.plain("enableDebugLogging").plain("true");
  for (const auto& [key, value] : settings) yaml.plain(key).plain(value);
  yaml.endMapping();
  yaml.plain("device").beginMapping();
  yaml.plain("ringtoneVolume").plain(yamlNumber(volume));
  if (*reading.frontCamera) yaml.plain("frontCamera").plain(reading.frontCamera);
  yaml.endMapping();
}

void writeWorld(YamlWriter& yaml, const WorldEstimate& world) {
  if (world.entries().empty()) return;
  yaml.plain("world").beginSequence();
  for (const auto& entry : world.entries()) {
    yaml.beginMapping().plain("at").plain(yamlSeconds(entry.at));
    if (const auto& a = entry.acceleration) {
      yaml.plain("acceleration").beginSequence(YamlWriter::Style::flow);
      yaml.plain(yamlNumber(a->x)).plain(yamlNumber(a->y)).plain(yamlNumber(a->z));
      yaml.endSequence();
    }
    if (entry.brightness) yaml.plain("brightness").plain(yamlNumber(*entry.brightness));
    if (entry.exif) yaml.plain("exif").plain(entry.exif);
    yaml.endMapping();
  }
  yaml.endSequence();
}

// The ringtone hook's call as a scenario event: its path, and its vibration pattern if any.
void writePlay(YamlWriter& yaml, std::string_view call) {
  const auto pattern = call.rfind(" vibrationPattern:");
  const bool withPattern = pattern != std::string_view::npos;
  yaml.plain("call").quoted(withPattern ? "playRingtoneAtPath:vibrationPattern:"
                                        : "playRingtoneAtPath:");
  yaml.plain("args").beginSequence(YamlWriter::Style::flow);
  yaml.quoted(call.substr(19, withPattern ? pattern - 19 : std::string_view::npos));
  if (withPattern) yaml.quoted(call.substr(pattern + 18));
  yaml.endSequence();
}

void writeCallStatus(YamlWriter& yaml, const Classified& w) {
  yaml.plain("notify").plain("kCTCallStatusChangeNotification");
  yaml.plain("userInfo").beginMapping(YamlWriter::Style::flow);
  if (w.kind == Kind::callStatus) {
    yaml.plain("kCTCallStatus").plain(std::to_string(static_cast<int>(w.number)));
  }
  yaml.endMapping();
}

// The host's calls, the call's status notifications and the restarts, in the ring's order.
void writeEvents(YamlWriter& yaml, const RingLines& ringLines, const std::vector<double>& times,
                 std::size_t last) {
  yaml.plain("events").beginSequence();
  std::size_t restart = 0;
  for (std::size_t i = 0; i < last; ++i) {
    const std::string at = yamlSeconds(times[i]);
    if (restart < ringLines.restarts.size() && ringLines.restarts[restart] == i) {
      ++restart;
      yaml.beginMapping().plain("at").plain(at).plain("host").plain("respring").endMapping();
    }
    const Classified& w = ringLines.lines[i]->what;
    const bool event = w.kind == Kind::play || w.kind == Kind::prepareToAnswerCall ||
                       w.kind == Kind::stopRinging || w.kind == Kind::callStatus ||
                       w.kind == Kind::statusUnknown;
    if (!event) continue;
    yaml.beginMapping().plain("at").plain(at);
    if (w.kind == Kind::play) {
      writePlay(yaml, w.text);
    } else if (w.kind == Kind::prepareToAnswerCall || w.kind == Kind::stopRinging) {
      yaml.plain("call").plain(w.kind == Kind::stopRinging ? "stopRinging" : "prepareToAnswerCall");
    } else {
      writeCallStatus(yaml, w);
    }
    yaml.endMapping();
  }
  yaml.endSequence();
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

}  // namespace

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
  YamlWriter yaml;
  yaml.beginMapping();
  yaml.plain("name").quoted(fmt::format("{}-ring-{}", name, number));
  writePreferencesAndDevice(yaml, settings, reading, volume);
  writeWorld(yaml, reading.world);
  writeEvents(yaml, ringLines, times, last);
  yaml.plain("until").plain(yamlSeconds(std::ceil(lastT + 2)));
  yaml.endMapping();
  ring.yaml = scenarioComments(ring, name, reading, settings.empty(), clockSet) + yaml.finish();
  return ring;
}

}  // namespace tonewell::monitor_message

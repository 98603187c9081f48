#include "report.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "ringtone_changes.h"
#include "terminal_text.h"

namespace tonewell {

namespace {

using nlohmann::ordered_json;

// The double whose shortest form is the float's shortest form: 0.3f prints as 0.3, not as
// 0.30000001192092896.
double printedAsFloat(float f) {
  const std::string text = fmt::format("{}", f);
  double d = 0;
  std::from_chars(text.data(), text.data() + text.size(), d);
  return d;
}

// Times are whole nanoseconds on the virtual clock; shown to the millisecond.
double seconds(double t) {
  return std::round(t * 1e9) / 1e9;
}

}  // namespace

std::string jsonReport(const ReplayResult& r) {
  return jsonResult(r).dump(2) + "\n";
}

ordered_json jsonResult(const ReplayResult& r) {
  ordered_json root;
  root["scenario"] = r.scenario;
  ordered_json log = ordered_json::array();
  for (const auto& line : r.log) {
    log.push_back({{"t", seconds(line.t)}, {"queue", line.queue}, {"message", line.message}});
  }
  root["log"] = log;
  ordered_json volume = ordered_json::array();
  for (const auto& v : r.volume) {
    volume.push_back({{"t", seconds(v.t)},
                      {"category", v.category},
                      {"value", printedAsFloat(v.value)},
                      {"by", nameOf(v.by)}});
  }
  root["initialVolume"] = printedAsFloat(r.initialVolume);
  if (!r.settingNotes.empty()) root["settingNotes"] = r.settingNotes;
  root["volume"] = volume;
  ordered_json camera = ordered_json::array();
  for (const auto& c : r.camera) {
    ordered_json entry = {{"t", seconds(c.t)}, {"event", c.start ? "start" : "stop"}};
    if (c.start) entry["position"] = c.position;
    camera.push_back(entry);
  }
  root["camera"] = camera;
  const FinalState& f = r.final;
  ordered_json final = {{"ringtoneVolume", printedAsFloat(f.ringtoneVolume)},
                        {"ringing", f.ringing},
                        {"cameraRunning", f.cameraRunning}};
  for (const auto& variable : f.variables) {
    if (const float* number = std::get_if<float>(&variable.value)) {
      final[variable.name] = printedAsFloat(*number);
    } else {
      std::visit([&](auto v) { final[variable.name] = v; }, variable.value);
    }
  }
  root["final"] = final;
  return root;
}

std::string humanReport(const ReplayResult& r) {
  std::string out = fmt::format("Replay of \"{}\", {:.3f} s of simulated time\n\n",
                                r.scenario.empty() ? "(unnamed)" : printable(r.scenario), r.until);
  out += fmt::format("{:>9}  {:<16} {}\n", "time (s)", "queue", "message");
  // The lines carry the scenario's own texts (a ringtone's path): shown escaped. A message over
  // several lines goes on under its first.
  const std::string messageColumn(9 + 2 + 16 + 1, ' ');
  for (const auto& line : r.log) {
    out += fmt::format("{:>9.3f}  {:<16} {}\n", line.t, line.queue,
                       printableLines(line.message, messageColumn));
  }

  out += "\nSummary\n";
  if (!r.settingNotes.empty()) {
    out += "  Settings the monitor reads otherwise than the scenario stores them:\n";
    for (const auto& note : r.settingNotes) out += "    " + printable(note) + "\n";
  }
  out += fmt::format("  Ringtone volume  {} before, {} after\n", r.initialVolume,
                     r.final.ringtoneVolume);
  const std::vector<RingtoneChange> changes = ringtoneChanges(r);
  for (const auto& change : changes) {
    const char* what = change.step == RingtoneStep::raised     ? "raised to"
                       : change.step == RingtoneStep::restored ? "restored to"
                                                               : "set by the person to";
    out += fmt::format("  {:>9.3f} s      {} {}\n", change.t, what, change.value);
  }
  if (changes.empty()) out += "  The volume was never changed.\n";

  double cameraTime = 0;
  bool running = false;
  double since = 0;
  std::string spans;
  for (const auto& c : r.camera) {
    if (c.start) {
      since = c.t;
      running = true;
    } else if (running) {
      cameraTime += c.t - since;
      spans += fmt::format("{}{:.3f}-{:.3f} s", spans.empty() ? "" : ", ", since, c.t);
      running = false;
    }
  }
  if (running) {
    cameraTime += r.until - since;
    spans += fmt::format("{}{:.3f} s to the end (still running)", spans.empty() ? "" : ", ", since);
  }
  if (spans.empty()) {
    out += "  Camera           never started\n";
  } else {
    out += fmt::format("  Camera           on {}: {:.3f} s in all, {} frame{}\n", spans, cameraTime,
                       r.frames.size(), r.frames.size() == 1 ? "" : "s");
  }
  return out;
}

}  // namespace tonewell

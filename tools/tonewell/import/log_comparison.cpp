#include "log_comparison.h"

#include <fmt/format.h>

#include "monitor_message.h"
#include "ringtone_changes.h"
#include "terminal_text.h"

namespace tonewell {

using monitor_message::Classified;
using monitor_message::classify;
using monitor_message::endName;
using monitor_message::endsTheRing;
using monitor_message::kFrameInterval;

namespace {

nlohmann::ordered_json outcomeJson(const LogOutcome& o) {
  const std::string end = !o.end.empty() ? o.end
                          : o.cut        ? "not ended within 600 s"
                                         : "none before the end";
  return nlohmann::ordered_json{
      {"raises", o.raises}, {"restores", o.restores},     {"end", end},
      {"endAt", o.endAt},   {"endsRaised", o.endsRaised}, {"cameraRunning", o.cameraRunning}};
}

}  // namespace

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

LogComparison compareWithLog(const std::string& log, const ImportedRing& ring, int rings,
                             const std::vector<std::string>& overrides,
                             const ReplayResult& result) {
  LogComparison c{log, ring, rings, overrides, outcomeOfReplay(result), toleranceFor(ring), {}};
  c.differences = disagreements(ring.outcome, c.replayed, c.tolerance);
  return c;
}

std::string comparisonText(const LogComparison& c) {
  std::string text = fmt::format(
      "\nCompared with the log (ring {} of {} in {}, lines {}-{}, from {})\n", c.ring.number,
      c.rings, printable(c.log), c.ring.firstLine, c.ring.lastLine, printable(c.ring.stamp));
  text += fmt::format("  log     {}\n  replay  {}\n", describeOutcome(c.ring.outcome),
                      describeOutcome(c.replayed, "replay"));
  if (c.differences.empty()) {
    return text + fmt::format(
                      "  The replay agrees with the log (to the log's time stamps, {:.3f} s "
                      "sooner or {:.3f} s later).\n",
                      c.tolerance.early, c.tolerance.late);
  }
  text += fmt::format("  Where they disagree (more than {:.3f} s sooner or {:.3f} s later):\n",
                      c.tolerance.early, c.tolerance.late);
  for (const auto& d : c.differences) text += "    " + d + "\n";
  if (c.overrides.empty()) {
    text +=
        "  With the settings that were set, this means the log is incomplete (debug logging "
        "off for part of the ring?) or the estimated frame times mattered.\n";
  } else {
    text += fmt::format("  The replay ran with --set {}: the difference is what that changes.\n",
                        fmt::join(c.overrides, " --set "));
  }
  return text;
}

nlohmann::ordered_json comparisonJson(const LogComparison& c) {
  return {{"log", c.log},
          {"ring", c.ring.number},
          {"rings", c.rings},
          {"lines", {c.ring.firstLine, c.ring.lastLine}},
          {"stamp", c.ring.stamp},
          {"overrides", c.overrides},
          {"logOutcome", outcomeJson(c.ring.outcome)},
          {"replayOutcome", outcomeJson(c.replayed)},
          {"tolerance", {{"early", c.tolerance.early}, {"late", c.tolerance.late}}},
          {"disagreements", c.differences}};
}

}  // namespace tonewell

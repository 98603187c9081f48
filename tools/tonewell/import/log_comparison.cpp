#include "log_comparison.h"

#include <fmt/format.h>

#include "terminal_text.h"

namespace tonewell {

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

// A replay of a ring from a phone's log, set against what the log shows of it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "log_import.h"
#include "replay.h"

namespace tonewell {

// What the monitor did in a replay, in the same terms.
LogOutcome outcomeOfReplay(const ReplayResult& result);

// How far a replayed change may lie from the log's and still agree: a log time t stands for
// [t, t + resolution); around that, the replay may come `early` sooner or `late` later.
struct Tolerance {
  double early = 0;
  double late = 0;
};
// For a ring: its stamps' resolution, and a frame's time either way where frame times are
// stamps of their own (half a frame where they were estimated from whole seconds).
Tolerance toleranceFor(const ImportedRing& ring);

// Where the replay and the log disagree: a raise or restore one shows and the other does not,
// or one further away than `tolerance`, a replay that ends raised where the log does not (or the
// other way round), or that ends with the camera running. Empty when they agree.
std::vector<std::string> disagreements(const LogOutcome& log, const LogOutcome& replayed,
                                       Tolerance tolerance);

struct LogComparison {
  std::string log;  // the log's path, as given
  ImportedRing ring;
  int rings = 0;                       // in the log
  std::vector<std::string> overrides;  // the replay's --set assignments
  LogOutcome replayed;
  Tolerance tolerance;
  std::vector<std::string> differences;  // empty when the replay agrees with the log
};

// Compares the replay `result` of `ring` (one of `rings` in `log`) with the log.
LogComparison compareWithLog(const std::string& log, const ImportedRing& ring, int rings,
                             const std::vector<std::string>& overrides, const ReplayResult& result);

// The comparison as the report's last section ("Compared with the log (ring 1 of 1 in ...").
std::string comparisonText(const LogComparison& comparison);

// The comparison as the JSON result's "fromLog" member.
nlohmann::ordered_json comparisonJson(const LogComparison& comparison);

}  // namespace tonewell

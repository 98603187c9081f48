// A replay of a ring from a phone's log, set against what the log shows of it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "log_import.h"
#include "replay.h"

namespace tonewell {

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

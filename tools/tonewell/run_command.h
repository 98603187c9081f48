// `tonewell run` (and `tonewell` alone): replays a scenario file, a built-in scenario or a ring of
// a system log, and shows what the monitor did. It draws on the replay and, for a ring of a log,
// on the import, which is why it sits beside main.cpp rather than in either library.
#pragma once

#include <string>
#include <vector>

namespace tonewell {

struct RunOptions {
  // Where the scenario comes from: at most one of these; none is the built-in "pocket-call".
  std::string scenarioFile;
  std::string builtin;
  std::string fromLog;
  int ring = 0;                        // with fromLog: the ring to replay; 0 is the log's last
  std::vector<std::string> overrides;  // --set KEY=VALUE
  bool json = false;
  bool syslog = false;
  std::string phoneLog;
  std::string plotFile;
  std::string phoneBinary;
  std::string architecture = "arm64";
};

// Returns the exit status: 0 replayed, 1 the replay or a file it writes failed, 2 a scenario, log
// or setting that cannot be taken.
int runCommand(const RunOptions& options);

// `tonewell scenarios`: the built-in scenarios, one a line.
int listScenarios();

}  // namespace tonewell

// `tonewell import LOG`: lists the rings of a system log and writes a scenario for each.
#pragma once

#include <string>
#include <variant>

#include "log_import.h"

namespace tonewell {

struct ImportOptions {
  std::string logFile;
  std::string outputFolder = ".";
  bool list = false;  // only list the rings
};

// Returns the exit status: 0 done, 1 a scenario not written, 2 a log that cannot be read or
// holds no ring.
int importCommand(const ImportOptions& options);

// A system log's rings, or the exit status after saying on standard error what is wrong (the log
// cannot be read, or holds no ring).
std::variant<LogImport, int> readLog(const std::string& path);

}  // namespace tonewell

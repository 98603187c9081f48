#include "import_command.h"

#include <fmt/format.h>

#include <filesystem>
#include <optional>

#include "command_limits.h"
#include "platform/sim/files.h"
#include "terminal_text.h"

namespace tonewell {

namespace {

// The log's name without its folder and extension ("log" when it has none): its scenarios'.
std::string stemOf(const std::string& path) {
  const std::string stem = std::filesystem::path(path).stem().string();
  return stem.empty() ? "log" : stem;
}

// A ring as the list shows it; its phone is named when the log holds more than one.
std::string ringLine(const ImportedRing& ring, bool namePhone) {
  return fmt::format("ring {}  {}{}  {}\n        {}{}", ring.number, printable(ring.stamp),
                     namePhone ? "  on " + printable(ring.host) : "", printable(ring.call),
                     describeOutcome(ring.outcome),
                     ring.restarts == 0
                         ? ""
                         : fmt::format("; SpringBoard started anew {} time{}", ring.restarts,
                                       ring.restarts == 1 ? "" : "s"));
}

// A stem for this log's scenarios whose files are all free: the log's own, else stem-2, -3, ...
// so that one import never writes over another's (every mailed log has the same name).
std::optional<std::string> freeStem(const std::string& folder, const std::string& stem,
                                    std::size_t rings) {
  for (int n = 1; n <= 1000; ++n) {
    const std::string candidate = n == 1 ? stem : fmt::format("{}-{}", stem, n);
    bool free = true;
    for (std::size_t ring = 1; free && ring <= rings; ++ring) {
      std::error_code error;
      free = !std::filesystem::exists(std::filesystem::symlink_status(
          std::filesystem::path(folder) / fmt::format("{}-ring-{}.yaml", candidate, ring), error));
    }
    if (free) return candidate;
  }
  return std::nullopt;
}

// The stem the scenarios are written under, said when it is not the log's own; none after saying
// that every name is taken.
std::optional<std::string> chooseStem(const ImportOptions& options, std::size_t rings) {
  const std::string stem = stemOf(options.logFile);
  const auto free = freeStem(options.outputFolder, stem, rings);
  if (!free) {
    fmt::print(stderr,
               "tonewell: {}: every name for this log's scenarios is taken ({}-ring-1.yaml to "
               "{}-1000-ring-1.yaml); choose another --output folder\n",
               printable(options.outputFolder), printable(stem), printable(stem));
    return std::nullopt;
  }
  if (*free != stem) {
    fmt::print(
        "{}-ring-1.yaml or another of this log's names is taken: its scenarios are named "
        "{}-ring-N.yaml, nothing is replaced\n",
        printable(stem), printable(*free));
  }
  return free;
}

bool writeScenario(const ImportOptions& options, const std::string& stem,
                   const ImportedRing& ring) {
  const std::string file = (std::filesystem::path(options.outputFolder) /
                            fmt::format("{}-ring-{}.yaml", stem, ring.number))
                               .string();
  std::string error;
  if (!sim::writeNewFile(file, ring.yaml, &error)) {
    fmt::print(stderr, "tonewell: {}: cannot write the scenario: {}\n", printable(file), error);
    return false;
  }
  fmt::print("        written to {}\n", printable(file));
  return true;
}

}  // namespace

std::variant<LogImport, int> readLog(const std::string& path) {
  std::string error;
  auto text = sim::readFile(path, &error, kLargestInput);
  if (!text) {
    fmt::print(stderr, "tonewell: {}: cannot read the log: {}\n", printable(path), error);
    return kUsageError;
  }
  auto imported = importLog(*text, stemOf(path));
  if (imported.rings.empty()) {
    fmt::print(stderr,
               "tonewell: {}: no ring in this log: no line of SpringBoard's ringtone methods "
               "among its {} lines ({})\n",
               printable(path), imported.lines, describeSkipped(imported));
    return kUsageError;
  }
  return imported;
}

int importCommand(const ImportOptions& options) {
  auto read = readLog(options.logFile);
  if (auto* status = std::get_if<int>(&read)) return *status;
  const auto& imported = std::get<LogImport>(read);
  std::string stem = stemOf(options.logFile);
  if (!options.list) {
    const auto chosen = chooseStem(options, imported.rings.size());
    if (!chosen) return 1;
    stem = *chosen;
    sim::setDurableWrites(false);  // one flush of the folder at the end
  }
  for (const auto& ring : imported.rings) {
    fmt::print("{}\n", ringLine(ring, imported.phones > 1));
    if (!options.list && !writeScenario(options, stem, ring)) return 1;
  }
  if (!options.list) {
    std::string error;
    if (!sim::flushFolder(options.outputFolder, &error)) {
      fmt::print(stderr, "tonewell: cannot flush the scenarios to the disk: {}\n",
                 printable(error));
      return 1;
    }
  }
  fmt::print("{} ring{} in {} lines; {}\n", imported.rings.size(),
             imported.rings.size() == 1 ? "" : "s", imported.lines, describeSkipped(imported));
  return 0;
}

}  // namespace tonewell

#include "run_command.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <variant>

#include "builtin_scenarios.h"
#include "command_limits.h"
#include "import_command.h"
#include "log_comparison.h"
#include "platform/sim/files.h"
#include "platform/sim/phone.h"
#include "plot.h"
#include "replay.h"
#include "report.h"
#include "scenario.h"
#include "setting_override.h"
#include "terminal_text.h"

namespace tonewell {

namespace {

// The ring of a log a replay is compared with.
struct RingOfLog {
  ImportedRing ring;
  int rings = 0;
};

// The scenario's text and the name its errors go by.
struct ScenarioSource {
  std::string text;
  std::string origin;
  std::optional<RingOfLog> fromLog;
};

std::variant<ScenarioSource, int> ringOfLog(const RunOptions& options) {
  auto read = readLog(options.fromLog);
  if (auto* status = std::get_if<int>(&read)) return *status;
  auto& imported = std::get<LogImport>(read);
  const int count = static_cast<int>(imported.rings.size());
  const int chosen = options.ring == 0 ? count : options.ring;
  if (chosen < 1 || chosen > count) {
    fmt::print(stderr,
               "tonewell: {}: no ring {}: the log has {} (see: tonewell import {} --list)\n",
               printable(options.fromLog), options.ring, count, printable(options.fromLog));
    return kUsageError;
  }
  ImportedRing& ring = imported.rings[chosen - 1];
  std::string text = ring.yaml;
  return ScenarioSource{std::move(text), fmt::format("{} (ring {})", options.fromLog, chosen),
                        RingOfLog{std::move(ring), count}};
}

std::variant<ScenarioSource, int> scenarioSource(const RunOptions& options) {
  if (!options.fromLog.empty()) return ringOfLog(options);
  if (!options.scenarioFile.empty()) {
    std::string error;
    auto text = sim::readFile(options.scenarioFile, &error, kLargestInput);
    if (!text) {
      fmt::print(stderr, "tonewell: {}: cannot read the scenario: {}\n", options.scenarioFile,
                 error);
      return kUsageError;
    }
    return ScenarioSource{std::move(*text), options.scenarioFile, std::nullopt};
  }
  const std::string name = options.builtin.empty() ? "pocket-call" : options.builtin;
  const auto* builtin = findBuiltinScenario(name);
  if (builtin == nullptr) {
    fmt::print(stderr, "tonewell: no built-in scenario \"{}\" (see: tonewell scenarios)\n", name);
    return kUsageError;
  }
  return ScenarioSource{builtin->yaml, "builtin:" + name, std::nullopt};
}

// The scenario read, with the --set assignments applied; or the exit status after saying why not.
std::variant<Scenario, int> scenarioToRun(const ScenarioSource& source,
                                          const std::vector<std::string>& overrides) {
  auto parsed = parseScenario(source.text, source.origin);
  if (auto* error = std::get_if<ScenarioError>(&parsed)) {
    fmt::print(stderr, "tonewell: {}\n", error->message());
    return kUsageError;
  }
  auto& scenario = std::get<Scenario>(parsed);
  for (const auto& assignment : overrides) {
    if (auto problem = overrideSetting(scenario, assignment)) {
      fmt::print(stderr, "tonewell: {}\n", *problem);
      return kUsageError;
    }
  }
  return std::move(scenario);
}

// The replay's log as the phone's syslogd writes it, from the whole second `start`.
bool writePhoneLog(const std::string& path, const ReplayResult& result, double start) {
  std::vector<sim::LogLine> lines;
  for (const auto& line : result.log) {
    lines.push_back({platform::secondsToDuration(line.t), line.queue, line.message});
  }
  std::string error;
  if (!sim::writeFileAtomically(path, sim::phoneSyslog(lines, start), &error)) {
    fmt::print(stderr, "tonewell: {}: {}\n", printable(path), printable(error));
    return false;
  }
  return true;
}

// The report, with the comparison with the log when the scenario is a ring of one.
std::string reportOf(const RunOptions& options, const ScenarioSource& source,
                     const ReplayResult& result) {
  if (!source.fromLog) return options.json ? jsonReport(result) : humanReport(result);
  const LogComparison comparison = compareWithLog(options.fromLog, source.fromLog->ring,
                                                  source.fromLog->rings, options.overrides, result);
  if (!options.json) return humanReport(result) + comparisonText(comparison);
  auto root = jsonResult(result);
  root["fromLog"] = comparisonJson(comparison);
  return root.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool writePlot(const RunOptions& options, const ReplayResult& result) {
  std::string error;
  if (!sim::writeFileAtomically(options.plotFile, svgPlot(result), &error)) {
    fmt::print(stderr, "tonewell: {}: cannot write the plot: {}\n", options.plotFile, error);
    return false;
  }
  if (!options.json) fmt::print("\nPlot written to {}\n", options.plotFile);
  return true;
}

}  // namespace

int runCommand(const RunOptions& options) {
  auto source = scenarioSource(options);
  if (auto* status = std::get_if<int>(&source)) return *status;
  const auto& from = std::get<ScenarioSource>(source);
  auto prepared = scenarioToRun(from, options.overrides);
  if (auto* status = std::get_if<int>(&prepared)) return *status;

  sim::setLogEcho(false);  // the report shows the log; standard error stays for errors
  if (options.syslog) sim::setSyslog(true);
  // The phone's log starts at the whole second the replay began.
  const double phoneLogStart = std::floor(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
  auto outcome =
      replay(std::get<Scenario>(prepared),
             MonitorSource{defaultMonitorLibrary(), options.phoneBinary, options.architecture});
  if (auto* failure = std::get_if<std::string>(&outcome)) {
    fmt::print(stderr, "tonewell: {}\n", *failure);
    return 1;
  }
  const auto& result = std::get<ReplayResult>(outcome);
  if (!options.phoneLog.empty() && !writePhoneLog(options.phoneLog, result, phoneLogStart)) {
    return 1;
  }
  std::fputs(reportOf(options, from, result).c_str(), stdout);
  if (!options.plotFile.empty() && !writePlot(options, result)) return 1;
  return 0;
}

int listScenarios() {
  for (const auto& s : builtinScenarios()) fmt::print("{:<14} {}\n", s.name, s.summary);
  return 0;
}

}  // namespace tonewell

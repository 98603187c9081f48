// tonewell: the simulated SpringBoard. It replays calls against the real monitor library and
// shows what the monitor does.
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "builtin_scenarios.h"
#include "log_import.h"
#include "platform/sim/files.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "plot.h"
#include "replay.h"
#include "report.h"
#include "scenario.h"
#include "setting_override.h"
#include "settings_app.h"
#include "terminal_text.h"

namespace {

constexpr int kUsageError = 2;
// A million events take about 100 MB of YAML.
constexpr std::size_t kLargestScenario = 256u << 20;

struct Options {
  bool json = false;
  bool syslog = false;
  std::string phoneLog;
  std::string plotFile;
  std::string scenarioFile;
  std::string builtin;
  std::string fromLog;
  int ring = 0;  // 0: the log's last ring
  std::vector<std::string> overrides;
  std::string phoneBinary;
  std::string architecture = "arm64";
  // import
  std::string logFile;
  std::string outputFolder = ".";
  bool list = false;
};

// A system log for import: its rings, or an exit status after saying what is wrong.
std::variant<tonewell::LogImport, int> readLog(const std::string& path) {
  std::string error;
  auto text = sim::readFile(path, &error, kLargestScenario);
  if (!text) {
    fmt::print(stderr, "tonewell: {}: cannot read the log: {}\n", tonewell::printable(path), error);
    return kUsageError;
  }
  const std::string stem = std::filesystem::path(path).stem().string();
  auto imported = tonewell::importLog(*text, stem.empty() ? "log" : stem);
  if (imported.rings.empty()) {
    fmt::print(stderr,
               "tonewell: {}: no ring in this log: no line of SpringBoard's ringtone methods "
               "among its {} lines ({})\n",
               tonewell::printable(path), imported.lines, tonewell::describeSkipped(imported));
    return kUsageError;
  }
  return imported;
}

// A ring as the list shows it; its phone is named when the log holds more than one.
std::string ringLine(const tonewell::ImportedRing& ring, bool namePhone) {
  return fmt::format(
      "ring {}  {}{}  {}\n        {}{}", ring.number, tonewell::printable(ring.stamp),
      namePhone ? "  on " + tonewell::printable(ring.host) : "", tonewell::printable(ring.call),
      tonewell::describeOutcome(ring.outcome),
      ring.restarts == 0 ? ""
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

int importCommand(const Options& options) {
  auto read = readLog(options.logFile);
  if (auto* status = std::get_if<int>(&read)) return *status;
  const auto& imported = std::get<tonewell::LogImport>(read);
  std::string stem = std::filesystem::path(options.logFile).stem().string();
  if (stem.empty()) stem = "log";
  if (!options.list) {
    const auto free = freeStem(options.outputFolder, stem, imported.rings.size());
    if (!free) {
      fmt::print(stderr,
                 "tonewell: {}: every name for this log's scenarios is taken ({}-ring-1.yaml to "
                 "{}-1000-ring-1.yaml); choose another --output folder\n",
                 tonewell::printable(options.outputFolder), tonewell::printable(stem),
                 tonewell::printable(stem));
      return 1;
    }
    if (*free != stem) {
      fmt::print(
          "{}-ring-1.yaml or another of this log's names is taken: its scenarios are named "
          "{}-ring-N.yaml, nothing is replaced\n",
          tonewell::printable(stem), tonewell::printable(*free));
    }
    stem = *free;
    sim::setDurableWrites(false);  // one flush of the folder at the end
  }
  for (const auto& ring : imported.rings) {
    fmt::print("{}\n", ringLine(ring, imported.phones > 1));
    if (options.list) continue;
    const std::string file = (std::filesystem::path(options.outputFolder) /
                              fmt::format("{}-ring-{}.yaml", stem, ring.number))
                                 .string();
    std::string error;
    if (!sim::writeNewFile(file, ring.yaml, &error)) {
      fmt::print(stderr, "tonewell: {}: cannot write the scenario: {}\n", tonewell::printable(file),
                 error);
      return 1;
    }
    fmt::print("        written to {}\n", tonewell::printable(file));
  }
  if (!options.list) {
    std::string error;
    if (!sim::flushFolder(options.outputFolder, &error)) {
      fmt::print(stderr, "tonewell: cannot flush the scenarios to the disk: {}\n",
                 tonewell::printable(error));
      return 1;
    }
  }
  fmt::print("{} ring{} in {} lines; {}\n", imported.rings.size(),
             imported.rings.size() == 1 ? "" : "s", imported.lines,
             tonewell::describeSkipped(imported));
  return 0;
}

// What a replay from a log is compared with.
struct LogComparison {
  std::string log;
  tonewell::ImportedRing ring;
  int rings = 0;
};

std::string comparisonText(const LogComparison& c, const tonewell::LogOutcome& replayed,
                           const std::vector<std::string>& differences,
                           tonewell::Tolerance tolerance,
                           const std::vector<std::string>& overrides) {
  std::string text =
      fmt::format("\nCompared with the log (ring {} of {} in {}, lines {}-{}, from {})\n",
                  c.ring.number, c.rings, tonewell::printable(c.log), c.ring.firstLine,
                  c.ring.lastLine, tonewell::printable(c.ring.stamp));
  text += fmt::format("  log     {}\n  replay  {}\n", tonewell::describeOutcome(c.ring.outcome),
                      tonewell::describeOutcome(replayed, "replay"));
  if (differences.empty()) {
    return text + fmt::format(
                      "  The replay agrees with the log (to the log's time stamps, {:.3f} s "
                      "sooner or {:.3f} s later).\n",
                      tolerance.early, tolerance.late);
  }
  text += fmt::format("  Where they disagree (more than {:.3f} s sooner or {:.3f} s later):\n",
                      tolerance.early, tolerance.late);
  for (const auto& d : differences) text += "    " + d + "\n";
  if (overrides.empty()) {
    text +=
        "  With the settings that were set, this means the log is incomplete (debug logging "
        "off for part of the ring?) or the estimated frame times mattered.\n";
  } else {
    text += fmt::format("  The replay ran with --set {}: the difference is what that changes.\n",
                        fmt::join(overrides, " --set "));
  }
  return text;
}

int replayCommand(const Options& options) {
  std::string source, origin;
  std::optional<LogComparison> fromLog;
  if (!options.fromLog.empty()) {
    auto read = readLog(options.fromLog);
    if (auto* status = std::get_if<int>(&read)) return *status;
    auto& imported = std::get<tonewell::LogImport>(read);
    const int count = static_cast<int>(imported.rings.size());
    const int chosen = options.ring == 0 ? count : options.ring;
    if (chosen < 1 || chosen > count) {
      fmt::print(stderr,
                 "tonewell: {}: no ring {}: the log has {} (see: tonewell import {} --list)\n",
                 tonewell::printable(options.fromLog), options.ring, count,
                 tonewell::printable(options.fromLog));
      return kUsageError;
    }
    fromLog = LogComparison{options.fromLog, imported.rings[chosen - 1], count};
    source = fromLog->ring.yaml;
    origin = fmt::format("{} (ring {})", options.fromLog, chosen);
  } else if (!options.scenarioFile.empty()) {
    std::string error;
    auto text = sim::readFile(options.scenarioFile, &error, kLargestScenario);
    if (!text) {
      fmt::print(stderr, "tonewell: {}: cannot read the scenario: {}\n", options.scenarioFile,
                 error);
      return kUsageError;
    }
    source = std::move(*text);
    origin = options.scenarioFile;
  } else {
    const std::string name = options.builtin.empty() ? "pocket-call" : options.builtin;
    const auto* builtin = tonewell::findBuiltinScenario(name);
    if (builtin == nullptr) {
      fmt::print(stderr, "tonewell: no built-in scenario \"{}\" (see: tonewell scenarios)\n", name);
      return kUsageError;
    }
    source = builtin->yaml;
    origin = "builtin:" + name;
  }

  auto parsed = tonewell::parseScenario(source, origin);
  if (auto* error = std::get_if<tonewell::ScenarioError>(&parsed)) {
    fmt::print(stderr, "tonewell: {}\n", error->message());
    return kUsageError;
  }
  auto& scenario = std::get<tonewell::Scenario>(parsed);
  for (const auto& assignment : options.overrides) {
    if (auto problem = tonewell::overrideSetting(scenario, assignment)) {
      fmt::print(stderr, "tonewell: {}\n", *problem);
      return kUsageError;
    }
  }

  sim::setLogEcho(false);  // the report shows the log; standard error stays for errors
  if (options.syslog) sim::setSyslog(true);
  // The phone's log starts at the whole second the replay began.
  const double phoneLogStart = std::floor(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
  auto outcome = tonewell::replay(
      scenario, tonewell::MonitorSource{tonewell::defaultMonitorLibrary(), options.phoneBinary,
                                        options.architecture});
  if (auto* failure = std::get_if<std::string>(&outcome)) {
    fmt::print(stderr, "tonewell: {}\n", *failure);
    return 1;
  }
  const auto& result = std::get<tonewell::ReplayResult>(outcome);
  if (!options.phoneLog.empty()) {
    std::vector<sim::LogLine> lines;
    for (const auto& line : result.log) {
      lines.push_back({platform::secondsToDuration(line.t), line.queue, line.message});
    }
    std::string error;
    if (!sim::writeFileAtomically(options.phoneLog, sim::phoneSyslog(lines, phoneLogStart),
                                  &error)) {
      fmt::print(stderr, "tonewell: {}: {}\n", tonewell::printable(options.phoneLog),
                 tonewell::printable(error));
      return 1;
    }
  }
  std::string report = options.json ? tonewell::jsonReport(result) : tonewell::humanReport(result);
  if (fromLog) {
    const auto tolerance = tonewell::toleranceFor(fromLog->ring);
    const auto replayed = tonewell::outcomeOfReplay(result);
    const auto differences = tonewell::disagreements(fromLog->ring.outcome, replayed, tolerance);
    if (options.json) {
      auto root = nlohmann::ordered_json::parse(report);
      auto outcomeJson = [](const tonewell::LogOutcome& o) {
        const std::string end = !o.end.empty() ? o.end
                                : o.cut        ? "not ended within 600 s"
                                               : "none before the end";
        return nlohmann::ordered_json{
            {"raises", o.raises}, {"restores", o.restores},     {"end", end},
            {"endAt", o.endAt},   {"endsRaised", o.endsRaised}, {"cameraRunning", o.cameraRunning}};
      };
      root["fromLog"] = {{"log", fromLog->log},
                         {"ring", fromLog->ring.number},
                         {"rings", fromLog->rings},
                         {"lines", {fromLog->ring.firstLine, fromLog->ring.lastLine}},
                         {"stamp", fromLog->ring.stamp},
                         {"overrides", options.overrides},
                         {"logOutcome", outcomeJson(fromLog->ring.outcome)},
                         {"replayOutcome", outcomeJson(replayed)},
                         {"tolerance", {{"early", tolerance.early}, {"late", tolerance.late}}},
                         {"disagreements", differences}};
      report = root.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } else {
      report += comparisonText(*fromLog, replayed, differences, tolerance, options.overrides);
    }
  }
  std::fputs(report.c_str(), stdout);
  if (!options.plotFile.empty()) {
    std::string error;
    if (!sim::writeFileAtomically(options.plotFile, tonewell::svgPlot(result), &error)) {
      fmt::print(stderr, "tonewell: {}: cannot write the plot: {}\n", options.plotFile, error);
      return 1;
    }
    if (!options.json) fmt::print("\nPlot written to {}\n", options.plotFile);
  }
  return 0;
}

int listScenarios() {
  for (const auto& s : tonewell::builtinScenarios()) fmt::print("{:<14} {}\n", s.name, s.summary);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tonewell: replays calls against the Ring monitor in a simulated SpringBoard.\n"
      "Without a command it replays the built-in scenario \"pocket-call\"."};
  app.require_subcommand(0, 1);
  Options options;
  app.add_flag("--json", options.json, "print the machine-readable result instead of the report");
  app.add_option("--plot", options.plotFile, "also write a picture of the run (SVG)");
  app.add_flag("--syslog", options.syslog,
               "also send every log line to the system log (syslog(3))");
  app.add_option("--phone-log", options.phoneLog,
                 "also write the log to this file as the phone's syslogd writes /var/log/syslog "
                 "(what `import` reads)");

  auto* run = app.add_subcommand("run", "replay a scenario file or a built-in scenario");
  run->fallthrough();
  run->add_option("file", options.scenarioFile, "the scenario file (YAML or JSON)");
  run->add_option("--builtin", options.builtin, "the built-in scenario to replay");
  run->add_option("--from-log", options.fromLog,
                  "replay a ring found in a system log (see: tonewell import)");
  run->add_option("--ring", options.ring, "with --from-log: the ring to replay (default: the last)")
      ->check(CLI::Validator(
          [](std::string& text) {
            int n = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
            return error == std::errc{} && end == text.data() + text.size() && n >= 1
                       ? std::string()
                       : "takes a ring's number, 1 or more, not \"" + tonewell::printable(text) +
                             "\"";
          },
          "N"));
  run->add_option("--set", options.overrides,
                  "KEY=VALUE: change a setting for this replay only (repeatable)");
  run->add_option("--phone-binary", options.phoneBinary,
                  "run the phone's own monitor (Tonewell.dylib) on an emulated CPU instead of "
                  "the native library");
  run->add_option("--arch", options.architecture,
                  "with --phone-binary: the slice to run (default arm64)")
      ->check(CLI::IsMember({"arm64", "armv7", "armv7s"}));
  auto* scenarios = app.add_subcommand("scenarios", "list the built-in scenarios");

  auto* importer =
      app.add_subcommand("import", "find the rings in a system log and write a scenario for each");
  importer
      ->add_option("log", options.logFile, "the system log (e.g. the mailed tonewell_syslog.txt)")
      ->required();
  importer->add_flag("--list", options.list, "only list the rings found");
  importer->add_option("--output", options.outputFolder,
                       "the folder for the scenarios (default: the current one)");

  tonewell::SettingsRequest settingsRequest;
  auto* settings =
      app.add_subcommand("settings", "show and edit the Settings pane, tap its buttons");
  settings->require_subcommand(0, 1);
  settings->fallthrough();
  settings->add_flag("--json", settingsRequest.json, "show the rows as JSON (also for get)");
  settings->add_option("--phone-binary", settingsRequest.phoneBinary,
                       "run the phone's own pane (TonewellPrefs.bundle/TonewellPrefs) on an "
                       "emulated CPU instead of the native bundle");
  settings
      ->add_option("--arch", settingsRequest.architecture,
                   "with --phone-binary: the slice to run (default arm64)")
      ->check(CLI::IsMember({"arm64", "armv7", "armv7s"}));
  auto* get = settings->add_subcommand("get", "print a row's current value");
  get->fallthrough();
  get->add_option("key", settingsRequest.key, "the row's key")->required();
  auto* set = settings->add_subcommand("set", "store a row's value, as the Settings app does");
  set->add_option("key", settingsRequest.key, "the row's key")->required();
  set->add_option("value", settingsRequest.value, "the value")->required();
  auto* reset = settings->add_subcommand(
      "reset", "remove a row's stored value (--all: every row; sets an unreadable file aside)");
  reset->add_option("key", settingsRequest.key, "the row's key");
  reset->add_flag("--all", settingsRequest.all, "reset every row");
  auto* tap =
      settings->add_subcommand("tap", "tap a button: followOnTwitter, viewOtherApps, sendDebugLog");
  tap->add_option("action", settingsRequest.key, "the button's action")->required();
  tap->add_option("--mail", settingsRequest.mail, "what to do in the mail composer")
      ->check(CLI::IsMember({"send", "save", "cancel"}));
  tap->add_flag("--no-mail-account", settingsRequest.noMailAccount,
                "simulate a phone without a mail account");
  tap->add_flag("--open", settingsRequest.openInBrowser, "hand opened URLs to xdg-open");
  tap->add_option("--timeout", settingsRequest.timeout,
                  "seconds the other-apps page may take to load (default 15)")
      ->check(CLI::Range(0.1, 300.0));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fmt::print(stderr, "tonewell: {}\n(see: tonewell --help)\n", e.what());
    return kUsageError;
  }

  try {
    if (scenarios->parsed()) return listScenarios();
    if (importer->parsed()) return importCommand(options);
    if (settings->parsed()) {
      if (reset->parsed() && settingsRequest.all == !settingsRequest.key.empty()) {
        fmt::print(stderr, "tonewell: reset takes a row's key or --all, one of them\n");
        return kUsageError;
      }
      using tonewell::SettingsAction;
      settingsRequest.action = set->parsed()     ? SettingsAction::set
                               : reset->parsed() ? SettingsAction::reset
                               : get->parsed()   ? SettingsAction::get
                               : tap->parsed()   ? SettingsAction::tap
                                                 : SettingsAction::show;
      return tonewell::runSettings(settingsRequest, tonewell::defaultPrefsBundle());
    }
    const int sources =
        !options.scenarioFile.empty() + !options.builtin.empty() + !options.fromLog.empty();
    if (run->parsed() && sources != 1) {
      fmt::print(stderr,
                 "tonewell: run takes a scenario file, --builtin NAME or --from-log LOG, one of "
                 "them\n");
      return kUsageError;
    }
    if (options.ring != 0 && options.fromLog.empty()) {
      fmt::print(stderr, "tonewell: --ring goes with --from-log\n");
      return kUsageError;
    }
    return replayCommand(options);
  } catch (const std::exception& e) {
    fmt::print(stderr, "tonewell: {}\n", e.what());
    return 1;
  }
}

// tonewell: the simulated SpringBoard. It replays calls against the real monitor library and
// shows what the monitor does.
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "builtin_scenarios.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "plot.h"
#include "replay.h"
#include "report.h"
#include "scenario.h"
#include "settings_app.h"

namespace {

constexpr int kUsageError = 2;
// A million events take about 100 MB of YAML.
constexpr std::size_t kLargestScenario = 256u << 20;

struct Options {
  bool json = false;
  bool syslog = false;
  std::string plotFile;
  std::string scenarioFile;
  std::string builtin;
};

int replayCommand(const Options& options) {
  std::string source, origin;
  if (!options.scenarioFile.empty()) {
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

  sim::setLogEcho(false);  // the report shows the log; standard error stays for errors
  if (options.syslog) sim::setSyslog(true);
  auto outcome = tonewell::replay(scenario, tonewell::defaultMonitorLibrary());
  if (auto* failure = std::get_if<std::string>(&outcome)) {
    fmt::print(stderr, "tonewell: {}\n", *failure);
    return 1;
  }
  const auto& result = std::get<tonewell::ReplayResult>(outcome);
  std::fputs((options.json ? tonewell::jsonReport(result) : tonewell::humanReport(result)).c_str(),
             stdout);
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

  auto* run = app.add_subcommand("run", "replay a scenario file or a built-in scenario");
  run->fallthrough();
  run->add_option("file", options.scenarioFile, "the scenario file (YAML or JSON)");
  run->add_option("--builtin", options.builtin, "the built-in scenario to replay");
  auto* scenarios = app.add_subcommand("scenarios", "list the built-in scenarios");

  tonewell::SettingsRequest settingsRequest;
  auto* settings =
      app.add_subcommand("settings", "show and edit the Settings pane, tap its buttons");
  settings->require_subcommand(0, 1);
  settings->fallthrough();
  settings->add_flag("--json", settingsRequest.json, "show the rows as JSON (also for get)");
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
    if (settings->parsed()) {
      if (reset->parsed() && settingsRequest.all == !settingsRequest.key.empty()) {
        fmt::print(stderr, "tonewell: reset takes a row's key or --all, one of them\n");
        return kUsageError;
      }
      settingsRequest.action = set->parsed()     ? "set"
                               : reset->parsed() ? "reset"
                               : get->parsed()   ? "get"
                               : tap->parsed()   ? "tap"
                                                 : "";
      return tonewell::runSettings(settingsRequest, tonewell::defaultPrefsBundle());
    }
    if (run->parsed() && options.scenarioFile.empty() == options.builtin.empty()) {
      fmt::print(stderr, "tonewell: run takes a scenario file or --builtin NAME, one of them\n");
      return kUsageError;
    }
    return replayCommand(options);
  } catch (const std::exception& e) {
    fmt::print(stderr, "tonewell: {}\n", e.what());
    return 1;
  }
}

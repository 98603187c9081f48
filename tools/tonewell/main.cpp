// tonewell: the simulated SpringBoard. It replays calls against the real monitor library and
// shows what the monitor does. This file reads the command line and hands it to a subcommand.
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <charconv>
#include <string>

#include "command_limits.h"
#include "import_command.h"
#include "run_command.h"
#include "settings_app.h"
#include "terminal_text.h"

namespace {

using tonewell::kUsageError;

// A ring's number: 1 or more.
CLI::Validator ringNumber() {
  return CLI::Validator(
      [](std::string& text) {
        int n = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
        return error == std::errc{} && end == text.data() + text.size() && n >= 1
                   ? std::string()
                   : "takes a ring's number, 1 or more, not \"" + tonewell::printable(text) + "\"";
      },
      "N");
}

// The options of a replay, which `tonewell` alone takes too.
void addReplayOptions(CLI::App& app, tonewell::RunOptions& options) {
  app.add_flag("--json", options.json, "print the machine-readable result instead of the report");
  app.add_option("--plot", options.plotFile, "also write a picture of the run (SVG)");
  app.add_flag("--syslog", options.syslog,
               "also send every log line to the system log (syslog(3))");
  app.add_option("--phone-log", options.phoneLog,
                 "also write the log to this file as the phone's syslogd writes /var/log/syslog "
                 "(what `import` reads)");
}

CLI::App* addRun(CLI::App& app, tonewell::RunOptions& options) {
  auto* run = app.add_subcommand("run", "replay a scenario file or a built-in scenario");
  run->fallthrough();
  run->add_option("file", options.scenarioFile, "the scenario file (YAML or JSON)");
  run->add_option("--builtin", options.builtin, "the built-in scenario to replay");
  run->add_option("--from-log", options.fromLog,
                  "replay a ring found in a system log (see: tonewell import)");
  run->add_option("--ring", options.ring, "with --from-log: the ring to replay (default: the last)")
      ->check(ringNumber());
  run->add_option("--set", options.overrides,
                  "KEY=VALUE: change a setting for this replay only (repeatable)");
  run->add_option("--phone-binary", options.phoneBinary,
                  "run the phone's own monitor (Tonewell.dylib) on an emulated CPU instead of "
                  "the native library");
  run->add_option("--arch", options.architecture,
                  "with --phone-binary: the slice to run (default arm64)")
      ->check(CLI::IsMember({"arm64", "armv7", "armv7s"}));
  return run;
}

CLI::App* addImport(CLI::App& app, tonewell::ImportOptions& options) {
  auto* importer =
      app.add_subcommand("import", "find the rings in a system log and write a scenario for each");
  importer
      ->add_option("log", options.logFile, "the system log (e.g. the mailed tonewell_syslog.txt)")
      ->required();
  importer->add_flag("--list", options.list, "only list the rings found");
  importer->add_option("--output", options.outputFolder,
                       "the folder for the scenarios (default: the current one)");
  return importer;
}

// `settings` and its subcommands, one for each action but showing the page.
struct SettingsCommands {
  CLI::App* settings;
  CLI::App* get;
  CLI::App* set;
  CLI::App* reset;
  CLI::App* tap;

  tonewell::SettingsAction action() const {
    using tonewell::SettingsAction;
    return set->parsed()     ? SettingsAction::set
           : reset->parsed() ? SettingsAction::reset
           : get->parsed()   ? SettingsAction::get
           : tap->parsed()   ? SettingsAction::tap
                             : SettingsAction::show;
  }
};

void addTap(CLI::App* tap, tonewell::SettingsRequest& request) {
  tap->add_option("action", request.key, "the button's action")->required();
  tap->add_option("--mail", request.mail, "what to do in the mail composer")
      ->check(CLI::IsMember({"send", "save", "cancel"}));
  tap->add_flag("--no-mail-account", request.noMailAccount,
                "simulate a phone without a mail account");
  tap->add_flag("--open", request.openInBrowser, "hand opened URLs to xdg-open");
  tap->add_option("--timeout", request.timeout,
                  "seconds the other-apps page may take to load (default 15)")
      ->check(CLI::Range(0.1, 300.0));
}

SettingsCommands addSettings(CLI::App& app, tonewell::SettingsRequest& request) {
  auto* settings =
      app.add_subcommand("settings", "show and edit the Settings pane, tap its buttons");
  settings->require_subcommand(0, 1);
  settings->fallthrough();
  settings->add_flag("--json", request.json, "show the rows as JSON (also for get)");
  settings->add_option("--phone-binary", request.phoneBinary,
                       "run the phone's own pane (TonewellPrefs.bundle/TonewellPrefs) on an "
                       "emulated CPU instead of the native bundle");
  settings
      ->add_option("--arch", request.architecture,
                   "with --phone-binary: the slice to run (default arm64)")
      ->check(CLI::IsMember({"arm64", "armv7", "armv7s"}));
  auto* get = settings->add_subcommand("get", "print a row's current value");
  get->fallthrough();
  get->add_option("key", request.key, "the row's key")->required();
  auto* set = settings->add_subcommand("set", "store a row's value, as the Settings app does");
  set->add_option("key", request.key, "the row's key")->required();
  set->add_option("value", request.value, "the value")->required();
  auto* reset = settings->add_subcommand(
      "reset", "remove a row's stored value (--all: every row; sets an unreadable file aside)");
  reset->add_option("key", request.key, "the row's key");
  reset->add_flag("--all", request.all, "reset every row");
  auto* tap =
      settings->add_subcommand("tap", "tap a button: followOnTwitter, viewOtherApps, sendDebugLog");
  addTap(tap, request);
  return {settings, get, set, reset, tap};
}

int settingsCommand(const SettingsCommands& commands, tonewell::SettingsRequest& request) {
  if (commands.reset->parsed() && request.all == !request.key.empty()) {
    fmt::print(stderr, "tonewell: reset takes a row's key or --all, one of them\n");
    return kUsageError;
  }
  request.action = commands.action();
  return tonewell::runSettings(request, tonewell::defaultPrefsBundle());
}

int replayCommand(const CLI::App* run, const tonewell::RunOptions& options) {
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
  return tonewell::runCommand(options);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tonewell: replays calls against the Ring monitor in a simulated SpringBoard.\n"
      "Without a command it replays the built-in scenario \"pocket-call\"."};
  app.require_subcommand(0, 1);
  tonewell::RunOptions runOptions;
  tonewell::ImportOptions importOptions;
  tonewell::SettingsRequest settingsRequest;
  addReplayOptions(app, runOptions);
  auto* run = addRun(app, runOptions);
  auto* scenarios = app.add_subcommand("scenarios", "list the built-in scenarios");
  auto* importer = addImport(app, importOptions);
  const SettingsCommands settings = addSettings(app, settingsRequest);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fmt::print(stderr, "tonewell: {}\n(see: tonewell --help)\n", e.what());
    return kUsageError;
  }

  try {
    if (scenarios->parsed()) return tonewell::listScenarios();
    if (importer->parsed()) return tonewell::importCommand(importOptions);
    if (settings.settings->parsed()) return settingsCommand(settings, settingsRequest);
    return replayCommand(run, runOptions);
  } catch (const std::exception& e) {
    fmt::print(stderr, "tonewell: {}\n", e.what());
    return 1;
  }
}

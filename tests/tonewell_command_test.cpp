// The `tonewell` command end to end: the built command, run as a person runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/sim/property_list_codec.h"
#include "test_support.h"

namespace {

using testing_support::CommandRun;

CommandRun tonewell(const std::string& arguments, bool withErrors = false) {
  const std::string command =
      std::string(TONEWELL_COMMAND) + " " + arguments + (withErrors ? " 2>&1" : " 2>/dev/null");
  return testing_support::runCommand(command);
}

// The command with TONEWELL_HOME set to `home`.
CommandRun tonewellIn(const std::string& home, const std::string& arguments) {
  return testing_support::runCommand("TONEWELL_HOME=" + home + " " + TONEWELL_COMMAND + " " +
                                     arguments + " 2>/dev/null");
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class BuiltinScenarioTest : public ::testing::TestWithParam<std::string> {};

// Each built-in scenario's log, volume line, camera times and final state, as reviewed.
TEST_P(BuiltinScenarioTest, ReplaysAsExpected) {
  const CommandRun run = tonewell("run --builtin " + GetParam() + " --json");
  ASSERT_EQ(run.status, 0);
  const std::string goldenPath = std::string(TONEWELL_GOLDEN_DIR) + "/" + GetParam() + ".json";
  if (std::getenv("TONEWELL_UPDATE_GOLDEN")) {
    std::ofstream(goldenPath) << run.output;
    GTEST_SKIP() << "updated " << goldenPath;
  }
  const auto actual = nlohmann::json::parse(run.output);
  const auto expected = nlohmann::json::parse(readText(goldenPath));
  EXPECT_EQ(actual["log"], expected["log"]);
  EXPECT_EQ(actual["volume"], expected["volume"]);
  EXPECT_EQ(actual["camera"], expected["camera"]);
  EXPECT_EQ(actual["final"], expected["final"]);
  // Whatever the scenario, the ring ends with the person's own volume and no camera.
  EXPECT_EQ(actual["final"]["volumeWasIncreased"], false);
  EXPECT_EQ(actual["final"]["cameraRunning"], false);
}

INSTANTIATE_TEST_SUITE_P(All, BuiltinScenarioTest,
                         ::testing::Values("pocket-call", "on-table", "bag-all-call", "disabled",
                                           "no-camera", "respring"),
                         [](const auto& p) {
                           std::string name = p.param;
                           std::erase(name, '-');
                           return name;
                         });

TEST(TonewellCommandTest, DefaultReplaysPocketCallForAPerson) {
  const CommandRun run = tonewell("");
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("Replay of \"pocket-call\""), std::string::npos);
  EXPECT_NE(run.output.find("    3.000  cameraQueue      TW: ringing volume was increased."),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("raised to 0.8"), std::string::npos);
  EXPECT_NE(run.output.find("restored to 0.3"), std::string::npos);
  EXPECT_NE(run.output.find("Camera           on 2.000-6.000 s"), std::string::npos);
}

// SpringBoard ends while the volume is raised and starts again: the monitor loads anew and its
// start-up puts the person's volume back from the record the dead process left.
TEST(TonewellCommandTest, ARespringMidRaiseEndsWithThePersonsVolume) {
  testing_support::TemporaryFolder folder;
  const std::string file = folder.path() + "/respring.yaml";
  std::ofstream(file) << "name: respring\n"
                         "preferences: {}\n"
                         "device: {ringtoneVolume: 0.3}\n"
                         "world: [{at: 0, brightness: -6.5, acceleration: [0.02, -0.7, -0.6]}]\n"
                         "events:\n"
                         "  - {at: 0, call: \"playRingtoneAtPath:vibrationPattern:\"}\n"
                         "  - {at: 4, host: respring}\n"
                         "  - {at: 5, call: \"playRingtoneAtPath:\"}\n"
                         "  - {at: 20, call: stopRinging}\n"
                         "until: 30\n";
  const CommandRun run = tonewell("run " + file + " --json");
  ASSERT_EQ(run.status, 0);
  const auto result = nlohmann::json::parse(run.output);
  std::vector<std::string> lines;
  for (const auto& entry : result["log"]) {
    lines.push_back(entry["t"].dump() + " " + entry["queue"].get<std::string>() + " " +
                    entry["message"].get<std::string>());
  }
  const std::vector<std::string> expected{
      "3.0 cameraQueue TW: ringing volume was increased.",
      "4.0 launchd SpringBoard ended and was started again",
      "4.0 main TW: SpringBoard ended while the ringtone volume was raised, original volume "
      "restored.",
      "8.0 cameraQueue TW: ringing volume was increased.",  // the new process's own ring
  };
  for (const auto& line : expected) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  // The dead process's camera went off with it; the new one's ring raised and restored again.
  EXPECT_EQ(result["camera"][1], nlohmann::json({{"t", 4.0}, {"event", "stop"}}));
  EXPECT_EQ(result["volume"].size(), 4u);
  EXPECT_EQ(result["final"]["ringtoneVolume"], 0.3);
  EXPECT_EQ(result["final"]["volumeWasIncreased"], false);
  EXPECT_EQ(result["final"]["cameraRunning"], false);
  EXPECT_FALSE(std::filesystem::exists(folder.path() + "/Library")) << "the replay's own home";
}

TEST(TonewellCommandTest, JsonShowsStoredFloatsAsTheyReadBack) {
  testing_support::TemporaryFolder folder;
  const std::string file = folder.path() + "/s.yaml";
  std::ofstream(file) << "preferences: {ringingVolumeWhileInPocket: 0.8}\n"
                         "device: {ringtoneVolume: 0.3}\n"
                         "world: [{at: 0, brightness: -9}]\n"
                         "events: [{at: 0, call: prepareToAnswerCall},\n"
                         "         {at: 5, setRingtoneVolume: 0.6}]\n"
                         "until: 10\n";
  const CommandRun run = tonewell("run " + file + " --json");
  ASSERT_EQ(run.status, 0);
  const auto result = nlohmann::json::parse(run.output);
  EXPECT_EQ(result["final"]["ringingVolumeWhileInPocket"].dump(), "0.800000011920929");
  EXPECT_EQ(result["volume"][0]["value"].dump(), "0.8");
  EXPECT_EQ(result["volume"][1]["by"], "scenario");
  EXPECT_EQ(result["final"]["ringtoneVolume"].dump(), "0.6");
  EXPECT_EQ(result["final"]["cameraRunning"], true) << "no ring end: the probe still watches";
}

TEST(TonewellCommandTest, WithoutPreferencesTheReplayStartsFromYourDomainAndLeavesItAlone) {
  testing_support::TemporaryFolder home;
  const std::string domain = home.path() + "/Preferences/com.example.tonewell.plist";
  std::filesystem::create_directories(home.path() + "/Preferences");
  platform::Dictionary yours;
  yours.setObjectForKey(platform::Value(false), "enabled");
  yours.setObjectForKey(platform::Value(true), "enableDebugLogging");
  const std::string bytes =
      sim::serializePropertyList(platform::Value(yours), sim::PropertyListFormat::binary);
  ASSERT_TRUE(sim::writeFileAtomically(domain, bytes));
  const std::string file = home.path() + "/s.yaml";
  std::ofstream(file) << "events: [{at: 0, call: prepareToAnswerCall},\n"
                         "         {at: 1, setPreferences: {enabled: true}},\n"
                         "         {at: 2, removePreferences: [enableDebugLogging]}]\n"
                         "until: 3\n";
  const CommandRun run = tonewellIn(home.path(), "run " + file + " --json");
  ASSERT_EQ(run.status, 0);
  const auto result = nlohmann::json::parse(run.output);
  EXPECT_EQ(result["log"][0]["message"].get<std::string>().rfind("TW: settings are: enabled:n", 0),
            0u)
      << "start-up read your own domain";
  EXPECT_EQ(sim::readFile(domain), bytes) << "the replay changed a copy, never your file";
}

TEST(TonewellCommandTest, PlotHasLabelledAxesAndMarks) {
  testing_support::TemporaryFolder folder;
  const std::string plot = folder.path() + "/run.svg";
  ASSERT_EQ(tonewell("--plot " + plot).status, 0);
  const std::string svg = readText(plot);
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  for (const char* text : {"time (s)", "EXIF BrightnessValue", "Ringtone volume", "threshold -4",
                           "ring start", "ring end", "camera on", "camera off", "<polyline"}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }
}

TEST(TonewellCommandTest, ScenarioErrorsExitTwoWithFileLineAndCause) {
  testing_support::TemporaryFolder folder;
  const std::string file = folder.path() + "/bad.yaml";
  std::ofstream(file) << "events:\n  - {at: 0, call: answerCall}\n";
  const CommandRun run = tonewell("run " + file, true);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.output, "tonewell: " + file +
                            ":2:19: unknown call \"answerCall\" (allowed: "
                            "playRingtoneAtPath:vibrationPattern:, playRingtoneAtPath:, "
                            "prepareToAnswerCall, stopRinging)\n");

  EXPECT_EQ(tonewell("run " + folder.path() + "/missing.yaml").status, 2);
  EXPECT_EQ(tonewell("run --builtin nothing").status, 2);
  EXPECT_EQ(tonewell("--no-such-flag").status, 2);
  EXPECT_EQ(tonewell("run").status, 2);
}

TEST(TonewellCommandTest, ListsTheBuiltinScenarios) {
  const CommandRun run = tonewell("scenarios");
  EXPECT_EQ(run.status, 0);
  for (const char* name : {"pocket-call", "on-table", "bag-all-call", "disabled", "no-camera"}) {
    EXPECT_NE(run.output.find(name), std::string::npos) << name;
  }
}

// --- Rings from a phone's log ------------------------------------------------------------------

// A phone's log as its syslogd writes it (whole seconds), with two rings, other processes'
// lines, one of SpringBoard's own and a broken line.
std::string phoneLog() {
  const std::string play =
      "-[<SBUserAgent: 0x15e2a3b0> playRingtoneAtPath:/Library/Ringtones/Marimba.m4r "
      "vibrationPattern:{VibePattern = (1, 0.5);}]";
  auto line = [](const std::string& time, const std::string& message) {
    return "Dec  8 " + time + " iPhone SpringBoard[52] <Warning>: " + message + "\n";
  };
  std::string log = "Dec  8 23:54:58 iPhone kernel[0] <Notice>: AppleBCMWLAN joined\n";
  log += line("23:55:01", play);
  log += line("23:55:01",
              "TW: settings are: enabled:y, delay:1.000000, volume:0.900000, "
              "brightness:-3.000000, horizontal:n");
  log += line("23:55:01",
              "TW: accelerometerdata: x:0.050000, y:-0.900000, z:-0.300000. Is "
              "device lying flat: n ");
  log += line("23:55:01", "Some other SpringBoard message");
  for (const char* b : {"-5.200000", "-5.100000", "-5.000000", "-4.000000"}) {
    log += line("23:55:03", std::string("TW: brightness: ") + b);
  }
  log += line("23:55:03", "TW: ringing volume was increased.");
  log += line("23:55:04", "TW: brightness: -2.500000");
  log += line("23:55:04", "TW: device taken out of the pocket, original volume restored.");
  log += "this line is garbage\n";
  log += line("23:55:07", "-[<SBUserAgent: 0x15e2a3b0> stopRinging]");
  log += "Dec  8 23:55:07 iPhone CommCenter[80] <Notice>: call ended\n";
  log += line("23:55:07", "TW: kCTCallStatusChangeNotification, new state: 5");
  log += line("23:58:00", play);  // on the table: no raise
  log += line("23:58:00",
              "TW: accelerometerdata: x:0.010000, y:-0.020000, z:0.990000. Is "
              "device lying flat: y ");
  log += line("23:58:09", "TW: kCTCallStatusChangeNotification, new state: 1");
  return log;
}

TEST(LogReplayCommandTest, ImportWritesAScenarioPerRingAndCountsWhatItSkipped) {
  testing_support::TemporaryFolder folder;
  const std::string log = folder.path() + "/tonewell_syslog.txt";
  std::ofstream(log) << phoneLog();
  CommandRun run = tonewell("import " + log + " --list");
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("ring 1  Dec  8 23:55:01  playRingtoneAtPath:/Library/Ringtones/"
                            "Marimba.m4r vibrationPattern:{VibePattern = (1, 0.5);}\n"
                            "        raised at 2.000 s, restored at 3.000 s; ended by "
                            "stopRinging at 6.000 s"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("not raised; ended by call status 1 at 9.000 s"), std::string::npos);
  EXPECT_NE(run.output.find("2 rings in 19 lines; 4 lines skipped: 2 of other processes, 1 other "
                            "messages, 1 malformed"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(std::filesystem::exists(folder.path() + "/tonewell_syslog-ring-1.yaml"));

  run = tonewell("import " + log + " --output " + folder.path());
  ASSERT_EQ(run.status, 0);
  for (const char* ring : {"/tonewell_syslog-ring-1.yaml", "/tonewell_syslog-ring-2.yaml"}) {
    const std::string scenario = folder.path() + ring;
    ASSERT_TRUE(std::filesystem::exists(scenario)) << run.output;
    EXPECT_EQ(tonewell("run " + scenario).status, 0) << "a scenario `run` takes";
  }
}

// Every mailed log is called tonewell_syslog.txt: a second person's log never writes over the
// scenarios (perhaps edited) of the first.
TEST(LogReplayCommandTest, ImportNeverReplacesAScenario) {
  testing_support::TemporaryFolder folder;
  const std::string log = folder.path() + "/tonewell_syslog.txt";
  std::ofstream(log) << phoneLog();
  ASSERT_EQ(tonewell("import " + log + " --output " + folder.path()).status, 0);
  const std::string edited = folder.path() + "/tonewell_syslog-ring-1.yaml";
  std::ofstream(edited) << "# edited by hand\n";
  const CommandRun run = tonewell("import " + log + " --output " + folder.path());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("its scenarios are named tonewell_syslog-2-ring-N.yaml, nothing is "
                            "replaced"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(sim::readFile(edited), "# edited by hand\n");
  EXPECT_TRUE(std::filesystem::exists(folder.path() + "/tonewell_syslog-2-ring-2.yaml"));
}

// A log's text reaches the terminal with its control characters escaped.
TEST(LogReplayCommandTest, ImportListShowsTheLogsControlCharactersEscaped) {
  testing_support::TemporaryFolder folder;
  const std::string log = folder.path() + "/odd.log";
  std::ofstream(log, std::ios::binary)
      << "Dec  8 23:55:01 iPhone SpringBoard[52]: -[<SBUserAgent: 0x1> "
         "playRingtoneAtPath:/a\x1b]0;owned\x07\x1b[2J\x01"
         "b.m4r]\n";
  const CommandRun run = tonewell("import " + log + " --list");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("playRingtoneAtPath:/a\\x1b]0;owned\\x07\\x1b[2J\\x01b.m4r"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find_first_of(std::string("\x1b\x07\x01", 3)), std::string::npos);
}

// A replay's log written as the phone's syslogd writes it (descriptions over several lines, each
// continued after a tab; a new SpringBoard after a respring) is one ring per call again, and
// replays in agreement with itself.
TEST(LogReplayCommandTest, AReplaysPhoneLogImportsAsItsRingAndAgrees) {
  testing_support::TemporaryFolder folder;
  for (const std::string name : {"pocket-call", "on-table", "no-camera", "respring"}) {
    const std::string log = folder.path() + "/" + name + ".log";
    ASSERT_EQ(tonewell("run --builtin " + name + " --phone-log " + log).status, 0) << name;
    const std::string text = readText(log);
    EXPECT_NE(text.find(" iPhone SpringBoard[52] <Warning>: -[<SBUserAgent: 0x10000000> "
                        "playRingtoneAtPath:/Library/Ringtones/Opening.m4r vibrationPattern:{\n"
                        "\t    VibePattern =     (\n\t        1,\n"),
              std::string::npos)
        << text;
    if (name == "respring") {
      EXPECT_NE(text.find(" iPhone com.apple.launchd[1] <Notice>: SpringBoard ended and was "
                          "started again\n"),
                std::string::npos);
      EXPECT_NE(text.find(" iPhone SpringBoard[53] <Warning>: TW: settings are: "),
                std::string::npos)
          << "the new process has a new id";
    }
    const CommandRun list = tonewell("import " + log + " --list");
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("1 ring in "), std::string::npos) << name << "\n" << list.output;
    EXPECT_NE(list.output.find(" 0 malformed"), std::string::npos) << list.output;
    const CommandRun replay = tonewell("run --from-log " + log);
    ASSERT_EQ(replay.status, 0) << replay.output;
    EXPECT_NE(replay.output.find("The replay agrees with the log"), std::string::npos)
        << name << "\n"
        << replay.output;
  }
}

// SpringBoard restarted mid-ring: the replay restarts it too, and both put the volume back.
TEST(LogReplayCommandTest, ARingThroughARestartReplaysAndAgrees) {
  testing_support::TemporaryFolder folder;
  const std::string log = folder.path() + "/restart.log";
  auto line = [](const std::string& time, const std::string& message, int pid) {
    return "Dec  8 " + time + " iPhone SpringBoard[" + std::to_string(pid) +
           "] <Warning>: " + message + "\n";
  };
  const std::string settings =
      "TW: settings are: enabled:y, delay:1.000000, volume:0.900000, brightness:-3.000000, "
      "horizontal:n";
  std::ofstream(log)
      << line("23:55:01", "-[<SBUserAgent: 0x1> playRingtoneAtPath:/r.m4r]", 52)
      << line("23:55:01", settings, 52) << line("23:55:03", "TW: brightness: -5.200000", 52)
      << line("23:55:03", "TW: ringing volume was increased.", 52) << line("23:55:04", settings, 60)
      << line("23:55:04",
              "TW: SpringBoard ended while the ringtone volume was raised, original volume "
              "restored.",
              60)
      << line("23:55:06", "TW: kCTCallStatusChangeNotification, new state: 5", 60);
  const CommandRun run = tonewell("run --from-log " + log);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("The replay agrees with the log"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("SpringBoard ended and was started again"), std::string::npos);
  EXPECT_EQ(run.output.find("still raised"), std::string::npos) << run.output;
}

TEST(LogReplayCommandTest, RunFromLogSaysWhereTheReplayAndTheLogDisagree) {
  testing_support::TemporaryFolder folder;
  const std::string log = folder.path() + "/phone.log";
  std::ofstream(log) << phoneLog();
  CommandRun run = tonewell("run --from-log " + log + " --ring 1");
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("Compared with the log (ring 1 of 2 in " + log), std::string::npos);
  EXPECT_NE(run.output.find("The replay agrees with the log"), std::string::npos) << run.output;

  // A darker threshold: the third frame (-5.0) is bright now, so the volume comes back sooner.
  run = tonewell("run --from-log " + log + " --ring 1 --set pocketBrightness=-5.05 --json");
  ASSERT_EQ(run.status, 0);
  const auto json = nlohmann::json::parse(run.output);
  EXPECT_EQ(json["fromLog"]["overrides"], nlohmann::json::array({"pocketBrightness=-5.05"}));
  EXPECT_EQ(json["fromLog"]["disagreements"],
            nlohmann::json::array({"the log restores at 3.000 s, the replay at 2.500 s"}));
  EXPECT_EQ(json["final"]["volumeWasIncreased"], false);

  run = tonewell("run --from-log " + log);
  EXPECT_NE(run.output.find("ring 2 of 2"), std::string::npos) << "the last ring by default";
  EXPECT_NE(run.output.find("replay  not raised; ended by call status 1 at 9.000 s"),
            std::string::npos)
      << run.output;
}

TEST(LogReplayCommandTest, ALogWithoutARingOrABadChoiceExitsTwoAndSaysWhy) {
  testing_support::TemporaryFolder folder;
  const std::string empty = folder.path() + "/quiet.log";
  std::ofstream(empty) << "Dec  8 23:54:58 iPhone kernel[0] <Notice>: nothing\nbroken\n";
  CommandRun run = tonewell("import " + empty, true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("quiet.log: no ring in this log"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("1 of other processes, 0 other messages, 1 malformed"),
            std::string::npos);
  EXPECT_EQ(tonewell("run --from-log " + empty).status, 2);
  EXPECT_EQ(tonewell("import " + folder.path() + "/missing.log").status, 2);

  const std::string log = folder.path() + "/phone.log";
  std::ofstream(log) << phoneLog();
  run = tonewell("run --from-log " + log + " --ring 3", true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("no ring 3: the log has 2"), std::string::npos) << run.output;
  run = tonewell("run --from-log " + log + " --ring 0", true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("takes a ring's number, 1 or more, not \"0\""), std::string::npos)
      << run.output;
  EXPECT_LT(run.output.size(), 200u) << run.output;
  run = tonewell("run --from-log " + log + " --set threshold=1", true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("no setting \"threshold\""), std::string::npos);
  run = tonewell("run --from-log " + log + " --set enabled=maybe", true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(
      run.output.find("enabled takes on or off (also yes/no, true/false, 1/0), not \"maybe\""),
      std::string::npos)
      << run.output;
  EXPECT_EQ(tonewell("run --builtin pocket-call --ring 1").status, 2);
  EXPECT_EQ(tonewell("run --builtin pocket-call --from-log " + log).status, 2);
}

}  // namespace

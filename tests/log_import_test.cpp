// Reading a phone's system log back into rings: the line formats, where a ring begins and ends,
// and the scenario each ring becomes.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "log_import.h"
#include "scenario.h"
#include "syslog_line.h"

namespace {

using namespace tonewell;

// --- Lines ------------------------------------------------------------------------------------

TEST(SyslogLineTest, ReadsThePhonesLinesWithAndWithoutTheLevel) {
  for (const char* text :
       {"Dec  8 23:55:01 iPhone SpringBoard[52] <Warning>: TW: brightness: -6.500000",
        "Dec  8 23:55:01 iPhone SpringBoard[52]: TW: brightness: -6.500000"}) {
    const auto line = parseSyslogLine(text, 2000);
    ASSERT_TRUE(line) << text;
    EXPECT_EQ(line->stamp, "Dec  8 23:55:01");
    EXPECT_EQ(line->host, "iPhone");
    EXPECT_EQ(line->process, "SpringBoard");
    EXPECT_EQ(line->pid, 52);
    EXPECT_EQ(line->message, "TW: brightness: -6.500000");
    EXPECT_EQ(line->resolution, 1.0);
    EXPECT_FALSE(hasYear(*line));
  }
}

TEST(SyslogLineTest, ReadsRfc3339StampsToTheirResolutionAndOffset) {
  const auto utc = parseSyslogLine("2026-12-09T07:03:00.942081+00:00 vm SpringBoard[5653]: x", 0);
  const auto zulu = parseSyslogLine("2026-12-09T07:03:00.942081Z vm SpringBoard[5653]: x", 0);
  const auto east = parseSyslogLine("2026-12-09T09:03:00.942081+02:00 vm SpringBoard[5653]: x", 0);
  ASSERT_TRUE(utc && zulu && east);
  EXPECT_DOUBLE_EQ(utc->time, zulu->time);
  EXPECT_DOUBLE_EQ(utc->time, east->time);
  EXPECT_NEAR(utc->resolution, 1e-6, 1e-12);
  EXPECT_TRUE(hasYear(*utc));
  const auto whole = parseSyslogLine("2026-12-09T07:03:01+00:00 vm SpringBoard: y", 0);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->resolution, 1.0);
  EXPECT_EQ(whole->pid, -1);
  EXPECT_NEAR(whole->time - utc->time, 0.057919, 1e-6);
}

TEST(SyslogLineTest, RefusesWhatIsNotASyslogLine) {
  for (const char* text : {
           "",
           "garbage",
           "Dec 32 23:55:01 iPhone SpringBoard[52]: x",
           "Dec  8 24:55:01 iPhone SpringBoard[52]: x",
           "Dex  8 23:55:01 iPhone SpringBoard[52]: x",
           "Dec  8 23:55:01 iPhone",                        // no process
           "Dec  8 23:55:01 iPhone SpringBoard[5x2]: x",    // pid not a number
           "2026-12-09T07:03:00.+00:00 vm SpringBoard: x",  // fraction without digits
           "2026-12-09T07:03:00 vm SpringBoard: x",         // no offset
           "--- last message repeated 2 times ---",
       }) {
    EXPECT_FALSE(parseSyslogLine(text, 2000)) << text;
  }
}

// --- Rings ------------------------------------------------------------------------------------

// A phone's log: whole-second stamps, as its syslogd writes them.
std::string phoneLine(const std::string& time, const std::string& message, int pid = 52) {
  return "Dec  8 " + time + " iPhone SpringBoard[" + std::to_string(pid) +
         "] <Warning>: " + message + "\n";
}

const std::string kPlay =
    "-[<SBUserAgent: 0x15e2a3b0> playRingtoneAtPath:/Library/Ringtones/Marimba.m4r "
    "vibrationPattern:{VibePattern = (1, 0.5);}]";
const std::string kSettings =
    "TW: settings are: enabled:y, delay:1.000000, volume:0.900000, brightness:-3.000000, "
    "horizontal:n";

std::string pocketRing(int pid = 52, const std::string& minute = "55") {
  const std::string t = "23:" + minute + ":";
  return phoneLine(t + "01", kPlay, pid) + phoneLine(t + "01", kSettings, pid) +
         phoneLine(t + "01",
                   "TW: accelerometerdata: x:0.050000, y:-0.900000, z:-0.300000. Is "
                   "device lying flat: n ",
                   pid) +
         phoneLine(t + "03", "TW: brightness: -5.200000", pid) +
         phoneLine(t + "03", "TW: ringing volume was increased.", pid) +
         phoneLine(t + "03", "TW: brightness: -5.100000", pid) +
         phoneLine(t + "03", "TW: brightness: -5.000000", pid) +
         phoneLine(t + "03", "TW: brightness: -4.000000", pid) +
         phoneLine(t + "04", "TW: brightness: -2.500000", pid) +
         phoneLine(t + "04", "TW: device taken out of the pocket, original volume restored.", pid) +
         phoneLine(t + "04", "TW: stopping capture session", pid) +
         phoneLine(t + "07", "-[<SBUserAgent: 0x15e2a3b0> stopRinging]", pid) +
         phoneLine(t + "07", "TW: kCTCallStatusChangeNotification, new state: 5", pid);
}

Scenario parsed(const ImportedRing& ring) {
  auto result = parseScenario(ring.yaml, "imported");
  if (auto* error = std::get_if<ScenarioError>(&result)) {
    ADD_FAILURE() << error->message() << "\n" << ring.yaml;
    return {};
  }
  return std::get<Scenario>(result);
}

TEST(LogImportTest, ARingBecomesTheScenarioOfWhatTheLogShows) {
  const auto imported = importLog(pocketRing(), "phone");
  ASSERT_EQ(imported.rings.size(), 1u);
  const ImportedRing& ring = imported.rings[0];
  EXPECT_EQ(ring.stamp, "Dec  8 23:55:01");
  EXPECT_EQ(ring.call, kPlay.substr(28, kPlay.size() - 29));
  EXPECT_EQ(ring.outcome.raises, std::vector<double>{2.0});
  EXPECT_EQ(ring.outcome.restores, std::vector<double>{3.0});
  EXPECT_EQ(ring.outcome.end, "stopRinging");
  EXPECT_EQ(ring.outcome.endAt, 6.0);

  const Scenario scenario = parsed(ring);
  ASSERT_TRUE(scenario.preferences);
  EXPECT_EQ(*scenario.preferences->objectForKey("pocketBrightness"), platform::Value(-3.0));
  EXPECT_EQ(*scenario.preferences->objectForKey("increaseVolumeIfHorizontal"),
            platform::Value(false));
  EXPECT_LT(scenario.device.ringtoneVolume, 0.9f) << "below the in-pocket level, so it can rise";
  ASSERT_EQ(scenario.world.size(), 6u);
  ASSERT_TRUE(scenario.world[0].acceleration && *scenario.world[0].acceleration);
  EXPECT_EQ((*scenario.world[0].acceleration)->y, -0.9);
  // The camera came on after the 1-s delay and skipped four frames: the first judged frame is at
  // 2.0 s, one every 0.25 s after, each brightness set half a frame before its frame.
  EXPECT_EQ(scenario.world[1].at, 1.875);
  EXPECT_EQ(*scenario.world[1].brightness, -5.2);
  EXPECT_EQ(scenario.world[5].at, 2.875);
  EXPECT_EQ(*scenario.world[5].brightness, -2.5);
  ASSERT_EQ(scenario.events.size(), 3u);
  const auto& play = std::get<HostCall>(scenario.events[0].action);
  EXPECT_EQ(play.selector, "playRingtoneAtPath:vibrationPattern:");
  EXPECT_EQ(play.arguments.at(0), platform::Value("/Library/Ringtones/Marimba.m4r"));
  EXPECT_EQ(std::get<HostCall>(scenario.events[1].action).selector, "stopRinging");
  EXPECT_EQ(scenario.events[2].at, 6.0);
  EXPECT_NE(ring.yaml.find("whole seconds"), std::string::npos) << "says how times were estimated";
}

TEST(LogImportTest, FramesThatDoNotFitThePredictionTakeTheirStamps) {
  // The first brightness comes two seconds later than the settings predict (a slow camera).
  std::string log = phoneLine("23:55:01", kPlay) + phoneLine("23:55:01", kSettings) +
                    phoneLine("23:55:05", "TW: brightness: -5.000000") +
                    phoneLine("23:55:05", "TW: brightness: -5.000000");
  const Scenario scenario = parsed(importLog(log, "slow").rings.at(0));
  ASSERT_EQ(scenario.world.size(), 2u);
  EXPECT_EQ(scenario.world[0].at, 3.875) << "from its stamp, half a frame early";
  EXPECT_EQ(scenario.world[1].at, 4.125) << "then one frame on, as predicted";
}

TEST(LogImportTest, FindsEachRingOfEachProcessAndCountsWhatItSkips) {
  std::string log = "Dec  8 23:50:00 iPhone kernel[0] <Notice>: wifi\n";
  log += phoneLine("23:50:01", "a message of SpringBoard's own");
  log += "not a syslog line\n";
  log += pocketRing(52, "55");
  log += pocketRing(99, "56");          // a respring: the next SpringBoard
  log += phoneLine("23:57:01", kPlay);  // a ring the log cuts short
  const auto imported = importLog(log, "phone");
  ASSERT_EQ(imported.rings.size(), 3u);
  EXPECT_EQ(imported.rings[1].stamp, "Dec  8 23:56:01");
  EXPECT_EQ(imported.rings[2].outcome.end, "the log ends");
  EXPECT_EQ(imported.rings[2].outcome.raises.size(), 0u);
  EXPECT_NE(imported.rings[2].yaml.find("increaseVolumeDelay: 1.0"), std::string::npos)
      << "the settings of the ring before";
  EXPECT_EQ(imported.otherProcesses, 1);
  EXPECT_EQ(imported.otherMessages, 1);
  EXPECT_EQ(imported.malformed, 1);
  EXPECT_EQ(describeSkipped(imported),
            "3 lines skipped: 1 of other processes, 1 other messages, 1 malformed");
}

TEST(LogImportTest, InterleavedProcessesKeepTheirOwnRings) {
  // Two SpringBoards write at once (two replays into one log): their lines mix, their rings do
  // not.
  const std::string a = pocketRing(52), b = pocketRing(77);
  std::string log;
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    for (std::size_t* k : {&i, &j}) {
      const std::string& from = k == &i ? a : b;
      if (*k >= from.size()) continue;
      const auto end = from.find('\n', *k) + 1;
      log += from.substr(*k, end - *k);
      *k = end;
    }
  }
  const auto imported = importLog(log, "mixed");
  ASSERT_EQ(imported.rings.size(), 2u);
  for (const auto& ring : imported.rings) {
    EXPECT_EQ(ring.outcome.raises.size(), 1u);
    EXPECT_EQ(parsed(ring).world.size(), 6u);
  }
}

TEST(LogImportTest, TheRingEndsAtTheCallStatusAndTakesTheLinesOfItsCall) {
  std::string log = phoneLine("23:55:01", kPlay) +
                    phoneLine("23:55:09", "TW: kCTCallStatusChangeNotification, new state: 1") +
                    phoneLine("23:55:10", "-[<SBUserAgent: 0x15e2a3b0> stopRinging]") +
                    phoneLine("23:59:00", "TW: kCTCallStatusChangeNotification, new state: 5");
  const auto ring = importLog(log, "answered").rings.at(0);
  EXPECT_EQ(ring.outcome.end, "call status 1");
  EXPECT_EQ(ring.outcome.endAt, 8.0);
  EXPECT_EQ(ring.lastLine, 3) << "the later call's status is not this ring's";
  EXPECT_EQ(parsed(ring).events.size(), 3u);
}

TEST(LogImportTest, TraditionalStampsCrossTheNewYear) {
  std::string log = "Dec 31 23:59:59 iPhone SpringBoard[52]: " + kPlay + "\n" +
                    "Jan  1 00:00:02 iPhone SpringBoard[52]: TW: ringing volume was increased.\n";
  const auto ring = importLog(log, "newyear").rings.at(0);
  EXPECT_EQ(ring.outcome.raises, std::vector<double>{3.0});
}

TEST(LogImportTest, ALogWithoutARingHasNone) {
  const auto imported = importLog(phoneLine("23:55:01", kSettings) + "junk\n", "quiet");
  EXPECT_TRUE(imported.rings.empty());
  EXPECT_EQ(imported.monitorLines, 1);
  EXPECT_EQ(imported.malformed, 1);
}

// --- Comparing ----------------------------------------------------------------------------------

TEST(DisagreementTest, ChangesAgreeWithinTheStampsAndAFrame) {
  const LogOutcome log{{2.0}, {3.0}, "stopRinging", 6.0};
  const Tolerance wholeSeconds{0.126, 1.126};
  EXPECT_TRUE(disagreements(log, {{2.75}, {3.0}, "stopRinging", 6.0}, wholeSeconds).empty());
  EXPECT_EQ(disagreements(log, {{2.0}, {2.5}, "stopRinging", 6.0}, wholeSeconds),
            std::vector<std::string>{"the log restores at 3.000 s, the replay at 2.500 s"});
  EXPECT_EQ(
      disagreements(log, {{}, {}, "stopRinging", 6.0}, wholeSeconds),
      (std::vector<std::string>{"the log shows a raise at 2.000 s that the replay does not",
                                "the log shows a restore at 3.000 s that the replay does not"}));
  EXPECT_EQ(
      disagreements({{}, {}, "stopRinging", 6.0}, {{2.0}, {}, "stopRinging", 6.0}, wholeSeconds),
      std::vector<std::string>{"the replay raises at 2.000 s where the log shows none"});
}

}  // namespace

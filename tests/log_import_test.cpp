// Reading a phone's system log back into rings: the line formats, where a ring begins and ends,
// and the scenario each ring becomes.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "log_comparison.h"
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

TEST(SyslogLineTest, ReadsLinesWithoutAHostSyslogdsRepeatsAndAByteOrderMark) {
  const auto hostless = parseSyslogLine(
      "\xEF\xBB\xBF"
      "Dec  8 23:55:01 SpringBoard[52] <Warning>: TW: x",
      2000);
  ASSERT_TRUE(hostless);
  EXPECT_EQ(hostless->host, "");
  EXPECT_EQ(hostless->process, "SpringBoard");
  EXPECT_EQ(hostless->pid, 52);
  EXPECT_EQ(hostless->message, "TW: x");
  for (const char* text : {"Dec  8 23:55:01 iPhone --- last message repeated 3 times ---",
                           "Dec  8 23:55:01 --- last message repeated 3 times ---"}) {
    const auto repeat = parseSyslogLine(text, 2000);
    ASSERT_TRUE(repeat) << text;
    EXPECT_EQ(repeat->repeated, 3);
    EXPECT_EQ(repeat->process, "");
  }
  EXPECT_EQ(parseSyslogLine("Dec  8 23:55:01 iPhone --- last message repeated x times ---", 0)
                .value_or(SyslogLine{})
                .repeated,
            0);
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

TEST(SyslogLineTest, RsyslogdsEscapedControlCharactersAreDecoded) {
  EXPECT_EQ(decodeEscapedControls("a#012b#011c"), "a\nb\tc");
  EXPECT_EQ(decodeEscapedControls("#177#0129"), "\x7f\n9");
  // '#' with digits that are no control character, or too few of them, is the message's own.
  EXPECT_FALSE(decodeEscapedControls("track #123, #01 and #0"));
  EXPECT_FALSE(decodeEscapedControls("#089 #"));
  EXPECT_TRUE(continuesTheMessageBefore("\t    VibePattern =     ("));
  EXPECT_FALSE(continuesTheMessageBefore("    VibePattern"));
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
  // The camera came on after the 1-s delay and let three frames go: the fourth, the first judged,
  // is at 2.0 s, one every 0.25 s after, each brightness set half a frame before its frame.
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
  EXPECT_NE(ring.yaml.find("a frame every 0.25 s, the first 3 let go, the 4th judged\n# first"),
            std::string::npos)
      << "says what the monitor does with frames";
}

// The phone describes a collection over several lines, and its syslogd writes each line break in
// a message as a line break and a tab.
std::string loggedOverLines(const std::string& time, std::string message) {
  for (std::size_t at = 0; (at = message.find('\n', at)) != std::string::npos; at += 2) {
    message.insert(at + 1, "\t");
  }
  return phoneLine(time, message);
}
const std::string kPattern = "{\n    VibePattern =     (\n        1,\n        \"0.5\"\n    );\n}";
const std::string kPlayOverLines =
    "-[<SBUserAgent: 0x15e2a3b0> playRingtoneAtPath:/Library/Ringtones/Marimba.m4r "
    "vibrationPattern:" +
    kPattern + "]";
const std::string kAttachments =
    "TW: attachements: {\n    BrightnessValue = \"-5.2\";\n    ISOSpeedRatings =     (\n        "
    "100\n    );\n}";

TEST(LogImportTest, AMessageOverSeveralLinesIsReadWhole) {
  std::string log = loggedOverLines("23:55:01", kPlayOverLines) + phoneLine("23:55:01", kSettings) +
                    loggedOverLines("23:55:03", kAttachments) +
                    phoneLine("23:55:03", "TW: brightness: -5.200000") +
                    phoneLine("23:55:03", "TW: ringing volume was increased.") +
                    phoneLine("23:55:07", "-[<SBUserAgent: 0x15e2a3b0> stopRinging]");
  log += "garbage\n\tand what goes on with it\n";
  log += loggedOverLines("23:56:01", kPlayOverLines) +
         phoneLine("23:56:09", "TW: kCTCallStatusChangeNotification, new state: 1");
  const auto imported = importLog(log, "phone");
  ASSERT_EQ(imported.rings.size(), 2u);
  EXPECT_EQ(imported.lines, 6 + 1 + 6 + 3 + 2 + 6 + 1);
  EXPECT_EQ(imported.malformed, 2) << "the garbage and its continuation";
  EXPECT_EQ(imported.otherMessages, 0);
  const ImportedRing& ring = imported.rings[0];
  EXPECT_EQ(ring.call,
            "playRingtoneAtPath:/Library/Ringtones/Marimba.m4r vibrationPattern:{ VibePattern =  "
            "   ( 1, \"0.5\" ); }");
  EXPECT_EQ(ring.firstLine, 1);
  EXPECT_EQ(ring.outcome.raises, std::vector<double>{2.0});
  EXPECT_EQ(imported.rings[1].firstLine, 19);
  EXPECT_EQ(imported.rings[1].outcome.end, "call status 1");

  // The scenario plays the pattern as it was logged, line breaks and all.
  const Scenario scenario = parsed(ring);
  const auto& play = std::get<HostCall>(scenario.events.at(0).action);
  ASSERT_EQ(play.arguments.size(), 2u);
  EXPECT_EQ(play.arguments[1], platform::Value(kPattern));
  ASSERT_EQ(scenario.world.size(), 1u);
  EXPECT_EQ(*scenario.world[0].brightness, -5.2);
}

TEST(LogImportTest, RsyslogdsEscapedLineBreaksAreTheMessagesOwn) {
  auto rsyslogLine = [](const std::string& stamp, std::string message) {
    for (std::size_t at; (at = message.find('\n')) != std::string::npos;) {
      message.replace(at, 1, "#012");
    }
    return "2026-12-09T07:03:" + stamp + "+00:00 vm SpringBoard[5653]: " + message + "\n";
  };
  const std::string log = rsyslogLine("00.000000", kPlayOverLines) +
                          rsyslogLine("01.000000", kSettings) +
                          rsyslogLine("05.500000", "-[<SBUserAgent: 0x15e2a3b0> stopRinging]");
  const auto imported = importLog(log, "rsyslog");
  ASSERT_EQ(imported.rings.size(), 1u);
  EXPECT_NE(imported.rings[0].call.find("vibrationPattern:{ VibePattern =     ( 1,"),
            std::string::npos)
      << imported.rings[0].call;
  const Scenario scenario = parsed(imported.rings[0]);
  const auto& play = std::get<HostCall>(scenario.events.at(0).action);
  EXPECT_EQ(play.arguments.at(1), platform::Value(kPattern));
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
  EXPECT_EQ(imported.rings[2].outcome.end, "") << "nothing ends it: the log does";
  EXPECT_FALSE(imported.rings[2].outcome.cut);
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

// --- Logs as they really come
// ---------------------------------------------------------------------

// SpringBoard restarts while the volume is raised: the new process (its own id) puts the volume
// back at start-up and sees the call end. That is still the ring.
TEST(LogImportTest, ARingGoesOnThroughARestartOfSpringBoard) {
  std::string log = phoneLine("23:55:01", kPlay) + phoneLine("23:55:01", kSettings) +
                    phoneLine("23:55:03", "TW: brightness: -5.200000") +
                    phoneLine("23:55:03", "TW: ringing volume was increased.") +
                    phoneLine("23:55:04", kSettings, 60) +
                    phoneLine("23:55:04",
                              "TW: SpringBoard ended while the ringtone volume was raised, "
                              "original volume restored.",
                              60) +
                    phoneLine("23:55:06", "TW: kCTCallStatusChangeNotification, new state: 5", 60);
  const auto imported = importLog(log, "restart");
  ASSERT_EQ(imported.rings.size(), 1u);
  const ImportedRing& ring = imported.rings[0];
  EXPECT_EQ(ring.restarts, 1);
  EXPECT_EQ(ring.outcome.raises, std::vector<double>{2.0});
  EXPECT_EQ(ring.outcome.restores, std::vector<double>{3.0});
  EXPECT_EQ(ring.outcome.end, "call status 5");
  EXPECT_FALSE(ring.outcome.endsRaised);
  EXPECT_EQ(ring.lastLine, 7);
  const Scenario scenario = parsed(ring);
  ASSERT_EQ(scenario.events.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<Respring>(scenario.events[1].action));
  EXPECT_EQ(scenario.events[1].at, 3.0);
}

// rsyslogd collecting two phones whose SpringBoards have the same id: one ring each.
TEST(LogImportTest, TwoPhonesWithTheSameProcessIdKeepTheirOwnRings) {
  std::string a = pocketRing(52), b = pocketRing(52);
  for (std::size_t at = 0; (at = b.find(" iPhone ", at)) != std::string::npos;) {
    b.replace(at, 8, " iPad ");
  }
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
  const auto imported = importLog(log, "two");
  ASSERT_EQ(imported.rings.size(), 2u);
  EXPECT_EQ(imported.phones, 2);
  for (const auto& ring : imported.rings) {
    EXPECT_EQ(ring.outcome.raises, std::vector<double>{2.0}) << ring.host;
    EXPECT_EQ(ring.outcome.restores, std::vector<double>{3.0}) << ring.host;
    EXPECT_EQ(parsed(ring).world.size(), 6u) << ring.host;
  }
  EXPECT_NE(imported.rings[0].host, imported.rings[1].host);
}

// A clock set back mid-ring (by more than half a year reads as a new year) keeps the rest of the
// ring: no time passes at the step.
TEST(LogImportTest, AClockSetBackMidRingKeepsTheRestOfTheRing) {
  const std::string earlier = "Apr  1 10:00:00 iPhone SpringBoard[52] <Warning>: ";
  for (const std::string& step :
       {earlier, std::string("Dec  8 23:54:00 iPhone SpringBoard[52] <Warning>: ")}) {
    std::string log = phoneLine("23:55:01", kPlay) + phoneLine("23:55:01", kSettings) +
                      phoneLine("23:55:03", "TW: ringing volume was increased.") + step +
                      "TW: device taken out of the pocket, original volume restored.\n" + step +
                      "-[<SBUserAgent: 0x15e2a3b0> stopRinging]\n";
    const auto ring = importLog(log, "clock").rings.at(0);
    EXPECT_EQ(ring.outcome.restores, std::vector<double>{2.0}) << step;
    EXPECT_EQ(ring.outcome.end, "stopRinging") << step;
    EXPECT_EQ(ring.lastLine, 5) << step;
    EXPECT_NE(ring.yaml.find("The clock was set during the ring"), std::string::npos);
  }
  const std::string rfc =
      "2026-12-08T23:55:01+00:00 iPhone SpringBoard[52]: " + kPlay + "\n" +
      "2026-12-08T23:55:03+00:00 iPhone SpringBoard[52]: TW: ringing volume was increased.\n" +
      "2026-03-01T08:00:00+00:00 iPhone SpringBoard[52]: -[<SBUserAgent: 0x1> stopRinging]\n";
  const auto ring = importLog(rfc, "rfc").rings.at(0);
  EXPECT_EQ(ring.outcome.end, "stopRinging");
  EXPECT_EQ(ring.outcome.endAt, 2.0);
}

TEST(LogImportTest, ByteOrderMarksAndMissingHostsAreRead) {
  std::string log = "\xEF\xBB\xBF" + pocketRing(52, "55");
  std::string hostless = pocketRing(52, "58");
  for (std::size_t at = 0; (at = hostless.find(" iPhone ", at)) != std::string::npos;) {
    hostless.replace(at, 8, " ");
  }
  log += "\xEF\xBB\xBF" + hostless;
  const auto imported = importLog(log, "marked");
  ASSERT_EQ(imported.rings.size(), 2u);
  EXPECT_EQ(imported.malformed, 0);
  for (const auto& ring : imported.rings) {
    EXPECT_EQ(ring.outcome.raises, std::vector<double>{2.0});
    EXPECT_EQ(parsed(ring).world.size(), 6u);
  }
  EXPECT_EQ(imported.rings[1].host, "");
}

// syslogd writes one line for the same message in a row: it stands for that many more frames.
TEST(LogImportTest, ARepeatedMessageStandsForItsRepeats) {
  std::string log = phoneLine("23:55:01", kPlay) + phoneLine("23:55:01", kSettings) +
                    phoneLine("23:55:03", "TW: brightness: -5.200000") +
                    "Dec  8 23:55:03 iPhone --- last message repeated 2 times ---\n" +
                    phoneLine("23:55:04", "TW: brightness: 1.000000") +
                    "Dec  8 23:55:04 iPhone --- last message repeated 1 time ---\n" +
                    "Dec  8 23:55:05 iPhone --- last message repeated 99999999 times ---\n";
  const auto imported = importLog(log, "repeats");
  EXPECT_EQ(imported.malformed, 1) << "only the repeat beyond any ring's lines";
  const Scenario scenario = parsed(imported.rings.at(0));
  ASSERT_EQ(scenario.world.size(), 5u);
  EXPECT_EQ(scenario.world[0].at, 1.875);
  EXPECT_EQ(scenario.world[2].at, 2.375) << "the repeats follow as the camera's frames";
  EXPECT_EQ(*scenario.world[2].brightness, -5.2);
  EXPECT_EQ(*scenario.world[4].brightness, 1.0);
}

TEST(LogImportTest, ARingNothingEndsStopsAfterTenMinutesAndSaysTheLogGoesOn) {
  std::string log = phoneLine("23:55:01", kPlay) +
                    "Dec  8 23:59:00 iPhone SpringBoard[52]: TW: ringing volume was increased.\n" +
                    "Dec  9 00:10:00 iPhone SpringBoard[52]: TW: brightness: 1.000000\n";
  const auto ring = importLog(log, "long").rings.at(0);
  EXPECT_TRUE(ring.outcome.cut);
  EXPECT_EQ(ring.lastLine, 2);
  EXPECT_EQ(describeOutcome(ring.outcome),
            "raised at 239.000 s; not ended 600 s after it began, though the log goes on, the "
            "volume still raised");
  const auto cutShort = importLog(phoneLine("23:55:01", kPlay), "short").rings.at(0);
  EXPECT_EQ(describeOutcome(cutShort.outcome),
            "not raised; the log ends at 0.000 s before the ring does");
}

TEST(LogImportTest, AHugeCallIsShownCut) {
  const std::string path(1 << 20, 'x');
  const auto ring =
      importLog(phoneLine("23:55:01", "-[<SBUserAgent: 0x1> playRingtoneAtPath:/" + path + "]"),
                "huge")
          .rings.at(0);
  EXPECT_EQ(ring.call.size(), 203u);
  EXPECT_EQ(ring.call.substr(200), "...");
  EXPECT_EQ(std::get<HostCall>(parsed(ring).events.at(0).action).arguments.at(0),
            platform::Value("/" + path))
      << "the scenario keeps all of it";
}

// --- Comparing ----------------------------------------------------------------------------------

TEST(DisagreementTest, AReplayThatEndsRaisedOrWithTheCameraOnDisagrees) {
  const Tolerance wholeSeconds{0.126, 1.126};
  LogOutcome log{{2.0}, {}, "", 6.0};
  log.endsRaised = false;
  LogOutcome replayed{{2.0}, {}, "", 6.0};
  replayed.endsRaised = true;
  replayed.cameraRunning = true;
  EXPECT_EQ(
      disagreements(log, replayed, wholeSeconds),
      (std::vector<std::string>{"the replay ends with the volume still raised, the log does not",
                                "the replay ends with the camera still running"}));
}

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

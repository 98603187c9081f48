// The human report of a replay: its header, the log's columns, and each way its summary tells the
// volume and the camera.
#include <gtest/gtest.h>

#include <string>

#include "report.h"

namespace {

using namespace tonewell;

ReplayResult aRing() {
  ReplayResult r;
  r.scenario = "pocket-call";
  r.until = 15;
  r.initialVolume = 0.3f;
  r.final.ringtoneVolume = 0.3f;
  return r;
}

// The report's summary, from its "Summary" line on.
std::string summaryOf(const ReplayResult& r) {
  const std::string report = humanReport(r);
  const auto at = report.find("Summary\n");
  return at == std::string::npos ? report : report.substr(at);
}

std::string firstLineOf(const ReplayResult& r) {
  const std::string report = humanReport(r);
  return report.substr(0, report.find('\n'));
}

TEST(HumanReportTest, NamesTheScenarioOrSaysItHasNoName) {
  ReplayResult r = aRing();
  EXPECT_EQ(firstLineOf(r), "Replay of \"pocket-call\", 15.000 s of simulated time");
  r.scenario.clear();
  EXPECT_EQ(firstLineOf(r), "Replay of \"(unnamed)\", 15.000 s of simulated time");
  r.scenario = "evil\x1b[2J";
  EXPECT_EQ(firstLineOf(r), "Replay of \"evil\\x1b[2J\", 15.000 s of simulated time");
}

TEST(HumanReportTest, AMessageOverSeveralLinesGoesOnUnderItsFirst) {
  ReplayResult r = aRing();
  r.log = {{3.0, "cameraQueue", "TW: attachements: {\n    BrightnessValue = \"-6.5\";\n}"}};
  EXPECT_NE(humanReport(r).find("    3.000  cameraQueue      TW: attachements: {\n"
                                "                                BrightnessValue = \"-6.5\";\n"
                                "                            }\n"),
            std::string::npos)
      << humanReport(r);
}

TEST(HumanReportTest, SaysTheSettingsTheMonitorReadsOtherwise) {
  ReplayResult r = aRing();
  EXPECT_EQ(humanReport(r).find("Settings the monitor reads otherwise"), std::string::npos);
  r.settingNotes = {"pocketBrightness: stored 50, which the monitor holds to 2"};
  EXPECT_NE(
      summaryOf(r).find("Summary\n"
                        "  Settings the monitor reads otherwise than the scenario stores them:\n"
                        "    pocketBrightness: stored 50, which the monitor holds to 2\n"
                        "  Ringtone volume  0.3 before, 0.3 after\n"),
      std::string::npos)
      << summaryOf(r);
}

TEST(HumanReportTest, TellsEachChangeOfTheRingtoneVolumeByWhoMadeIt) {
  ReplayResult r = aRing();
  r.final.ringtoneVolume = 0.5f;
  r.volume = {{1.0, "Ringtone", 0.5f, ChangedBy::scenario},
              {3.0, "Ringtone", 0.8f, ChangedBy::monitor},
              {4.0, "Audio/Video", 1.0f, ChangedBy::scenario},
              {6.0, "Ringtone", 0.5f, ChangedBy::monitor}};
  EXPECT_EQ(summaryOf(r),
            "Summary\n"
            "  Ringtone volume  0.3 before, 0.5 after\n"
            "      1.000 s      set by the person to 0.5\n"
            "      3.000 s      raised to 0.8\n"
            "      6.000 s      restored to 0.5\n"
            "  Camera           never started\n");
}

TEST(HumanReportTest, SaysWhenTheVolumeWasNeverChanged) {
  ReplayResult r = aRing();
  r.volume = {{4.0, "Audio/Video", 1.0f, ChangedBy::scenario}};
  EXPECT_NE(summaryOf(r).find("  Ringtone volume  0.3 before, 0.3 after\n"
                              "  The volume was never changed.\n"),
            std::string::npos);
}

TEST(HumanReportTest, AddsUpTheCamerasTimeOverItsSessions) {
  ReplayResult r = aRing();
  r.camera = {{2.0, true, "front"},
              {6.0, false, ""},
              {7.0, false, ""},
              {9.0, true, "back"},
              {9.5, false, ""}};
  r.frames = {{2.25, "front", -6.5}};
  EXPECT_NE(summaryOf(r).find("  Camera           on 2.000-6.000 s, 9.000-9.500 s: 4.500 s in "
                              "all, 1 frame\n"),
            std::string::npos)
      << "a stop without a start adds nothing; one frame is a frame\n"
      << summaryOf(r);
}

TEST(HumanReportTest, ACameraStillRunningCountsToTheEnd) {
  ReplayResult r = aRing();
  r.camera = {{2.0, true, "front"}, {3.0, false, ""}, {12.0, true, "front"}};
  r.frames = {{2.25, "front", -6.5}, {12.25, "front", std::nullopt}};
  EXPECT_NE(summaryOf(r).find("  Camera           on 2.000-3.000 s, 12.000 s to the end (still "
                              "running): 4.000 s in all, 2 frames\n"),
            std::string::npos)
      << summaryOf(r);
}

}  // namespace

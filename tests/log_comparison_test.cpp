// A replay set against its ring's log: how much the log's stamps allow, where the two disagree,
// and a replay's --set on top of the scenario's preferences.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_comparison.h"
#include "setting_override.h"
#include "setting_values.h"

namespace {

using namespace tonewell;

TEST(ToleranceTest, WholeSecondStampsAllowTheirSecondAndHalfAFrame) {
  ImportedRing whole;
  whole.resolution = 1;
  const Tolerance coarse = toleranceFor(whole);
  EXPECT_NEAR(coarse.early, 0.125, 2e-3);
  EXPECT_NEAR(coarse.late, 1.125, 2e-3);
  EXPECT_GT(coarse.early, 0.125) << "a frame on the boundary still agrees";

  ImportedRing fine;
  fine.resolution = 1e-6;
  const Tolerance microseconds = toleranceFor(fine);
  EXPECT_NEAR(microseconds.early, 0.25, 2e-3) << "a frame either way";
  EXPECT_NEAR(microseconds.late, 0.25, 2e-3);
}

TEST(DisagreementEdgesTest, ChangesAgreeUpToTheToleranceAndNotBeyond) {
  const Tolerance tolerance{0.5, 1.0};
  const LogOutcome log{{10.0}, {20.0}, "stopRinging", 30.0};
  EXPECT_TRUE(disagreements(log, {{9.5}, {21.0}, "stopRinging", 30.0}, tolerance).empty());
  EXPECT_EQ(disagreements(log, {{9.49}, {21.01}, "stopRinging", 30.0}, tolerance),
            (std::vector<std::string>{"the log raises at 10.000 s, the replay at 9.490 s",
                                      "the log restores at 20.000 s, the replay at 21.010 s"}));
  EXPECT_TRUE(disagreements(log, {{10.0}, {20.0}, "call status 1", 5.0}, tolerance).empty())
      << "how the ring ended is not compared, only the volume's changes";
}

TEST(DisagreementEdgesTest, ChangesArePairedInOrder) {
  const Tolerance tolerance{0.1, 0.1};
  // The replay's second raise is paired with the log's second, not the nearest.
  const LogOutcome log{{1.0, 5.0}, {3.0, 7.0}, "", 8.0};
  const LogOutcome replayed{{5.0}, {3.0, 7.0, 7.5}, "", 8.0};
  EXPECT_EQ(disagreements(log, replayed, tolerance),
            (std::vector<std::string>{"the log raises at 1.000 s, the replay at 5.000 s",
                                      "the log shows a raise at 5.000 s that the replay does not",
                                      "the replay restores at 7.500 s where the log shows none"}));
  LogOutcome raisedAtTheEnd = log;
  raisedAtTheEnd.endsRaised = true;
  EXPECT_EQ(
      disagreements(raisedAtTheEnd, log, tolerance),
      std::vector<std::string>{"the log ends with the volume still raised, the replay does not"});
  EXPECT_TRUE(disagreements(raisedAtTheEnd, raisedAtTheEnd, tolerance).empty());
  EXPECT_TRUE(disagreements({}, {}, tolerance).empty());
}

TEST(SettingOverrideTest, StoresWhatSettingsSetWouldStore) {
  Scenario scenario;
  EXPECT_EQ(overrideSetting(scenario, "pocketBrightness=-6.5"), std::nullopt);
  ASSERT_TRUE(scenario.preferences) << "a scenario without a domain gets one of its own";
  EXPECT_EQ(*scenario.preferences->objectForKey("pocketBrightness"), platform::Value(-6.5));
  EXPECT_EQ(overrideSetting(scenario, "pocketBrightness=-2"), std::nullopt);
  EXPECT_EQ(*scenario.preferences->objectForKey("pocketBrightness"), platform::Value(-2.0))
      << "the later --set wins";
  EXPECT_EQ(overrideSetting(scenario, "useFrontCamera=BACK"), std::nullopt);
  EXPECT_EQ(*scenario.preferences->objectForKey("useFrontCamera"), platform::Value(false));
  EXPECT_EQ(overrideSetting(scenario, "enabled=on=off"),
            "--set enabled=on=off: enabled takes on or off (also yes/no, true/false, 1/0), not "
            "\"on=off\"");
}

TEST(SettingOverrideTest, RefusalsLeaveTheScenarioAsItWas) {
  Scenario scenario;
  EXPECT_EQ(overrideSetting(scenario, "enabled"), "--set enabled: takes KEY=VALUE");
  EXPECT_EQ(overrideSetting(scenario, "=1"),
            "--set =1: no setting \"\" (the settings: " + settingKeys() + ")");
  EXPECT_EQ(overrideSetting(scenario, "Enabled=on"),
            "--set Enabled=on: no setting \"Enabled\" (the settings: " + settingKeys() + ")")
      << "keys are matched exactly";
  EXPECT_EQ(overrideSetting(scenario, "increaseVolumeDelay=11"),
            "--set increaseVolumeDelay=11: increaseVolumeDelay takes a number from 0 to 10, not "
            "\"11\"");
  EXPECT_EQ(overrideSetting(scenario, "increaseVolumeDelay="),
            "--set increaseVolumeDelay=: increaseVolumeDelay takes a number from 0 to 10, not "
            "\"\"");
  EXPECT_FALSE(scenario.preferences) << "nothing was stored, so no domain was made";
}

}  // namespace

#include "start_up.h"

#include <cctype>

#include "monitor_fixture.h"
#include "platform/cf_notification_center.h"
#include "platform/sim/springboard.h"
#include "ringtone_hooks.h"

namespace {

using testing_support::countOf;
using testing_support::dict;

class StartUpTest : public testing_support::MonitorTest {};

TEST_F(StartUpTest, FreshInstallIsOnWithItsDefaultsAndInstallsEverything) {
  startMonitor();
  EXPECT_TRUE(isEnabled) << "no stored key: every default, the monitor on";
  EXPECT_TRUE(log().empty());
  EXPECT_NE(savedStopRinging, nullptr);
  EXPECT_NE(savedPlayRingtoneAtPath, nullptr);
  EXPECT_NE(savedPlayRingtoneAtPathVibrationPattern, nullptr);
  EXPECT_NE(savedPrepareToAnswerCall, nullptr);
  EXPECT_NE(captureDelegate.load(), nullptr);
  EXPECT_NE(motionManager.load(), nullptr);
}

TEST_F(StartUpTest, UnreadableSettingsStillInstallTheHooksAndTheCallback) {
  storePreferencesFile(preferencesDomain, "corrupt");
  startMonitor();
  EXPECT_EQ(log(), std::vector<std::string>{"TW: unable to get preferences"});
  EXPECT_FALSE(isEnabled);
  EXPECT_NE(savedStopRinging, nullptr);

  // Once a readable setting is stored, the next ring acts on it.
  storeSettings(dict({{"enabled", true}}));
  sim::playRingtoneAtPath(platform::Value("/r.m4r"));
  EXPECT_TRUE(isEnabled);
  EXPECT_EQ(sim::pendingTaskCount(), 3u) << "accelerometer sample, setup and time-out";

  currentPhoneState = 0;
  sim::postCallStatusChange(dict({{"kCTCallStatus", 3}}));
  sim::runUntilIdle(10);
  EXPECT_EQ(currentPhoneState, 3) << "the call-status callback is registered";
}

TEST_F(StartUpTest, SummaryIsLoggedOnceBeforeAnyHookRuns) {
  storeSettings(dict({{"enableDebugLogging", true}}));
  startMonitor();
  EXPECT_EQ(countOf(log(),
                    "TW: settings are: enabled:y, delay:2.000000, volume:0.800000, "
                    "brightness:-4.000000, horizontal:n"),
            1);
  EXPECT_EQ(log().size(), 1u);
}

TEST_F(StartUpTest, LongLivedObjectsStayTheSameAcrossRings) {
  startMonitor();
  auto* probe = captureDelegate.load();
  auto* manager = motionManager.load();
  for (int i = 0; i < 3; ++i) {
    sim::playRingtoneAtPath(platform::Value("/r.m4r"));
    sim::fastForwardBy(testing_support::seconds(5));
    sim::stopRinging();
  }
  EXPECT_EQ(captureDelegate.load(), probe);
  EXPECT_EQ(motionManager.load(), manager);
}

void expectNothingInstalled() {
  EXPECT_EQ(savedStopRinging, nullptr);
  EXPECT_EQ(savedPlayRingtoneAtPath, nullptr);
  EXPECT_EQ(savedPlayRingtoneAtPathVibrationPattern, nullptr);
  EXPECT_EQ(savedPrepareToAnswerCall, nullptr);
}

TEST_F(StartUpTest, HostWithoutSBUserAgentLeavesTheMonitorIdleAndSaysSo) {
  initializeMonitor();  // no SpringBoard installed; debug logging is off
  EXPECT_EQ(log(), std::vector<std::string>{
                       "TW: SBUserAgent not found, the monitor stays idle on this system."});
  expectNothingInstalled();
  EXPECT_NE(captureDelegate.load(), nullptr);
}

// A system whose SBUserAgent has only some of the ringtone methods (iOS 8 keeps only
// prepareToAnswerCall): a probe started there could never be stopped, so none is installed.
class PartialHostTest : public testing_support::MonitorTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(PartialHostTest, GetsNoReplacementAndNoCallback) {
  sim::installSpringBoard({GetParam()});
  initializeMonitor();
  EXPECT_EQ(log(), std::vector<std::string>{"TW: SBUserAgent lacks " + std::string(GetParam()) +
                                            ", the monitor stays idle on this system."});
  expectNothingInstalled();

  // The host's own methods run untouched, and call states reach no callback.
  sim::clearLog();
  sim::playRingtoneAtPath(platform::Value("/r.m4r"));
  sim::prepareToAnswerCall();
  sim::stopRinging();
  sim::postCallStatusChange(dict({{"kCTCallStatus", 1}}));
  sim::runUntilIdle();
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(currentPhoneState, 0);
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
  EXPECT_TRUE(sim::cameraEvents().empty());
}

INSTANTIATE_TEST_SUITE_P(EachMethodMissing, PartialHostTest,
                         ::testing::Values("stopRinging", "playRingtoneAtPath:",
                                           "playRingtoneAtPath:vibrationPattern:",
                                           "prepareToAnswerCall"),
                         [](const auto& test) {
                           std::string name;
                           for (const char* c = test.param; *c; ++c) {
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           }
                           return name;
                         });

TEST_F(StartUpTest, LacksNamesEveryMissingMethod) {
  sim::installSpringBoard({"stopRinging", "playRingtoneAtPath:"});
  initializeMonitor();
  EXPECT_EQ(sim::logMessages(),
            std::vector<std::string>{"TW: SBUserAgent lacks stopRinging, playRingtoneAtPath:, "
                                     "the monitor stays idle on this system."});
}

}  // namespace

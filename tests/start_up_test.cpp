#include "start_up.h"
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

TEST_F(StartUpTest, HostWithoutSBUserAgentLoadsQuietly) {
  initializeMonitor();  // no SpringBoard installed
  EXPECT_EQ(savedStopRinging, nullptr);
  EXPECT_EQ(savedPrepareToAnswerCall, nullptr);
  EXPECT_NE(captureDelegate.load(), nullptr);
}

}  // namespace

#include "start_up.h"

#include <cctype>
#include <optional>
#include <vector>

#include "monitor_fixture.h"
#include "platform/cf_notification_center.h"
#include "platform/sim/springboard.h"
#include "ringtone_hooks.h"

namespace {

using testing_support::countOf;
using testing_support::dict;
using testing_support::seconds;

class StartUpTest : public testing_support::MonitorTest {
 protected:
  // The time from the ring's start to the monitor's raise of the volume, if it raised it.
  std::optional<platform::Duration> raiseAfter(platform::Duration ringStart) {
    for (const auto& change : sim::volumeChanges()) {
      if (change.by == sim::ChangedBy::monitor && change.time >= ringStart && change.value > 0.5f) {
        return change.time - ringStart;
      }
    }
    return std::nullopt;
  }
};

// No stored key: every default, the monitor on and quiet. The ringtone methods are replaced and
// the call-status callback registered: a ring in the dark, however it starts, is raised to the
// default 0.8 after the default delay of 2 s, and put back whether the host stops the ringtone or
// the call is answered.
TEST_F(StartUpTest, FreshInstallActsOnEveryRingWithItsDefaults) {
  startMonitor();
  EXPECT_TRUE(log().empty());
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -7.0);

  sim::playRingtoneAtPath(platform::Value("/r.m4r"));
  sim::fastForwardBy(seconds(1.999));
  EXPECT_EQ(ringtoneVolume(), 0.5f) << "not before the delay";
  sim::fastForwardBy(seconds(1.001));
  EXPECT_EQ(ringtoneVolume(), 0.8f);
  sim::stopRinging();
  EXPECT_EQ(ringtoneVolume(), 0.5f);
  EXPECT_EQ(sim::runningCameraCount(), 0);

  sim::playRingtoneAtPathVibrationPattern(platform::Value("/r.m4r"), platform::Value());
  sim::fastForwardBy(seconds(3));
  EXPECT_EQ(ringtoneVolume(), 0.8f);
  sim::postCallStatusChange(dict({{"kCTCallStatus", 1}}));  // connected
  sim::runUntilIdle();
  EXPECT_EQ(currentPhoneState, 1);
  EXPECT_EQ(ringtoneVolume(), 0.5f);
  EXPECT_EQ(sim::runningCameraCount(), 0);
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

// The camera probe and the motion manager are made once, at start-up, and serve every ring:
// ring after ring is raised at the same moment and put back, leaving nothing running.
TEST_F(StartUpTest, RingAfterRingActsAlike) {
  startMonitor();
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -7.0);
  std::vector<std::optional<platform::Duration>> raised;
  for (int i = 0; i < 3; ++i) {
    const platform::Duration start = sim::now();
    sim::playRingtoneAtPath(platform::Value("/r.m4r"));
    sim::fastForwardBy(seconds(5));
    raised.push_back(raiseAfter(start));
    sim::stopRinging();
    EXPECT_EQ(ringtoneVolume(), 0.5f);
    sim::fastForwardBy(seconds(1));
    EXPECT_EQ(sim::runningCameraCount(), 0);
  }
  ASSERT_TRUE(raised[0].has_value());
  EXPECT_GE(*raised[0], seconds(2));
  EXPECT_EQ(raised[1], raised[0]);
  EXPECT_EQ(raised[2], raised[0]);
  EXPECT_EQ(sim::cameraEvents().size(), 6u) << "one start and one stop per ring";
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

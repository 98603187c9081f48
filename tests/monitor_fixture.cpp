#include "monitor_fixture.h"

#include "platform/sim/springboard.h"
#include "ringtone_hooks.h"
#include "start_up.h"

namespace testing_support {

void resetMonitorState() {
#define TW_SETTING(variable, key, type, ...) variable = type{};
#define TW_OBJECT(variable, type) variable = nullptr;
#define TW_STATE(variable, type) variable = type{};
#include "shared_variables.def"
#undef TW_SETTING
#undef TW_OBJECT
#undef TW_STATE
  hostRingtone = HostRingtone::unknown;
  savedStopRinging = nullptr;
  savedPlayRingtoneAtPath = nullptr;
  savedPlayRingtoneAtPathVibrationPattern = nullptr;
  savedPrepareToAnswerCall = nullptr;
}

void MonitorTest::SetUp() {
  resetMonitorState();
}

void MonitorTest::freshPhoneAndMonitor() {
  freshPhone();
  resetMonitorState();
}

void MonitorTest::startMonitor() {
  sim::installSpringBoard();
  initializeMonitor();
}

void DarkPocketTest::SetUp() {
  MonitorTest::SetUp();
  storeSettings(dict({{"enableDebugLogging", true}}));
  startMonitor();
  sim::clearLog();
  sim::setVolume("Ringtone", 0.3f);
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -6.0);
}

void DarkPocketTest::waitUntilRaised() {
  sim::runUntil(sim::now() + seconds(3.0));
  ASSERT_TRUE(volumeWasIncreased);
  ASSERT_EQ(sim::volume("Ringtone"), 0.8f);
}

}  // namespace testing_support

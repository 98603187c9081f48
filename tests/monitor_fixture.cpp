#include "monitor_fixture.h"

#include "platform/sim/springboard.h"
#include "ringtone_hooks.h"
#include "start_up.h"

namespace testing_support {

void resetMonitorState() {
  isEnabled = false;
  enableDebugLogging = false;
  useFrontCamera = false;
  increaseVolumeDelay = 0.0f;
  ringingVolumeWhileInPocket = 0.0;
  pocketBrightness = 0.0f;
  increaseVolumeIfHorizontal = false;
  captureDelegate = nullptr;
  motionManager = nullptr;
  isLyingFlat = false;
  sampleCount = 0;
  originalRingtoneVolume = 0.0f;
  volumeWasIncreased = false;
  currentPhoneState = 0;
  hostRingtone = HostRingtone::unknown;
  savedStopRinging = nullptr;
  savedPlayRingtoneAtPath = nullptr;
  savedPlayRingtoneAtPathVibrationPattern = nullptr;
  savedPrepareToAnswerCall = nullptr;
}

void MonitorTest::SetUp() {
  PhoneTest::SetUp();
  resetMonitorState();
}

void MonitorTest::startMonitor() {
  sim::installSpringBoard();
  initializeMonitor();
}

}  // namespace testing_support

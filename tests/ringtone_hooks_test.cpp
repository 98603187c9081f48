#include "ringtone_hooks.h"
#include "monitor_fixture.h"
#include "platform/cf_notification_center.h"
#include "platform/sim/springboard.h"
#include "start_up.h"

namespace {

using platform::Dictionary;
using platform::Value;
using testing_support::countOf;
using testing_support::dict;
using testing_support::seconds;

constexpr int kFront = platform::AVCaptureDevicePositionFront;

Value path() {
  return Value("/Library/Ringtones/Opening.m4r");
}
Value pattern() {
  return Value(dict({{"VibePattern", Value(platform::Array{Value(1), Value(0.5)})}}));
}
Dictionary status(int s) {
  return dict({{"kCTCallStatus", s}});
}

std::string pointerText(const void* p) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", p);
  return buffer;
}

class RingtoneHooksTest : public testing_support::DarkPocketTest {
 protected:
  void ringUntilRaised() {
    sim::playRingtoneAtPathVibrationPattern(path(), pattern());
    waitUntilRaised();
  }
};

TEST_F(RingtoneHooksTest, HookMessagesAndTheHostsOwnMethodsRun) {
  storeSettings(dict({{"enabled", true}}));  // debug logging off
  sim::playRingtoneAtPathVibrationPattern(path(), pattern());
  EXPECT_TRUE(sim::ringtone().ringing);
  EXPECT_EQ(sim::ringtone().path, "/Library/Ringtones/Opening.m4r");
  ASSERT_TRUE(sim::ringtone().vibrationPattern.has_value());
  sim::stopRinging();
  EXPECT_FALSE(sim::ringtone().ringing);
  sim::playRingtoneAtPath(path());
  sim::prepareToAnswerCall();

  const auto agent = pointerText(sim::userAgent());
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "-[<SBUserAgent: " + agent +
                           "> playRingtoneAtPath:/Library/Ringtones/Opening.m4r vibrationPattern:"
                           "{\n    VibePattern =     (\n        1,\n        \"0.5\"\n    );\n}]",
                       "-[<SBUserAgent: " + agent + "> stopRinging]",
                       "-[<SBUserAgent: " + agent +
                           "> playRingtoneAtPath:/Library/Ringtones/Opening.m4r]"}));
}

TEST_F(RingtoneHooksTest, StopRingingRestoresARaisedVolume) {
  ringUntilRaised();
  sim::stopRinging();
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(sim::pendingTaskCount(), 0u) << "the time-out was cancelled";
  EXPECT_EQ(countOf(log(), "TW: stopRinging, restoring the original volume."), 1);

  sim::clearLog();
  const auto changes = sim::volumeChanges().size();
  sim::stopRinging();
  EXPECT_EQ(countOf(log(), "TW: stopRinging, volume was not increased."), 1);
  EXPECT_EQ(sim::volumeChanges().size(), changes);
}

TEST_F(RingtoneHooksTest, RingEndingBeforeTheDelayNeverStartsTheCamera) {
  sim::playRingtoneAtPath(path());
  sim::runUntil(seconds(1.0));
  sim::stopRinging();
  sim::fastForwardBy(seconds(100));
  EXPECT_TRUE(sim::cameraEvents().empty());
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
}

class RingEndingStatusTest : public RingtoneHooksTest, public ::testing::WithParamInterface<int> {};

TEST_P(RingEndingStatusTest, RestoresWithoutStoppingTheHost) {
  const int s = GetParam();
  ringUntilRaised();
  sim::postCallStatusChange(status(s));
  sim::runUntil(seconds(3.0));
  EXPECT_EQ(currentPhoneState, s);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_TRUE(sim::ringtone().ringing) << "the host stops its own ringing";
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(countOf(log(), "TW: kCTCallStatusChangeNotification, new state: " + std::to_string(s)),
            1);
  EXPECT_EQ(sim::logLines().back().queue, "telephony");
}

INSTANTIATE_TEST_SUITE_P(StatusOneOrFive, RingEndingStatusTest, ::testing::Values(1, 5));

TEST_F(RingtoneHooksTest, CallStatusIsHeardOnBothCentersAndTwiceIsHarmless) {
  ringUntilRaised();
  // The telephony server's center alone ends the ring, as on the phone.
  sim::postCallStatusChange(status(1));
  sim::runUntil(seconds(3.0));
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(ringtoneVolume(), 0.3f);

  // The same status through the local center as well: one more restore that finds nothing to do.
  ringUntilRaised();
  const Dictionary info = status(5);
  platform::CFNotificationCenterPostNotification(platform::CTTelephonyCenterGetDefault(),
                                                 "kCTCallStatusChangeNotification", nullptr, &info,
                                                 true);
  const auto changes = sim::volumeChanges().size();
  platform::CFNotificationCenterPostNotification(platform::CFNotificationCenterGetLocalCenter(),
                                                 "kCTCallStatusChangeNotification", nullptr, &info,
                                                 true);
  EXPECT_EQ(sim::volumeChanges().size(), changes);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_EQ(currentPhoneState, 5);
  EXPECT_EQ(countOf(log(), "TW: kCTCallStatusChangeNotification, new state: 5"), 2);
}

TEST_F(RingtoneHooksTest, OtherCallStatesAreOnlyRecorded) {
  ringUntilRaised();
  for (int s : {0, 2, 3, 4, 6, -1, 7}) {
    sim::postCallStatusChange(status(s));
    sim::runUntil(seconds(3.0));
    EXPECT_EQ(currentPhoneState, s);
    EXPECT_TRUE(volumeWasIncreased) << s;
  }
  EXPECT_EQ(sim::runningCameraCount(), 1);
}

TEST_F(RingtoneHooksTest, DisabledMonitorIgnoresNotificationsAndLeavesAQuietRingAlone) {
  storeSettings(dict({{"enabled", false}, {"enableDebugLogging", true}}));
  sim::playRingtoneAtPath(path());
  currentPhoneState = 2;
  sim::postCallStatusChange(status(5));
  sim::runUntil(seconds(1.0));
  EXPECT_EQ(currentPhoneState, 2);
  sim::clearLog();
  sim::stopRinging();
  const auto messages = log();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], "TW: stopRinging, TW is disabled.");
  EXPECT_FALSE(sim::ringtone().ringing);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
}

TEST_F(RingtoneHooksTest, SwitchedOffDuringTheRingStillUndoesWhatWasStarted) {
  ringUntilRaised();
  storeSettings(dict({{"enabled", false}, {"enableDebugLogging", true}}));
  sim::prepareToAnswerCall();  // its pocket check reloads: the monitor is now disabled
  ASSERT_FALSE(isEnabled);
  sim::stopRinging();
  EXPECT_EQ(countOf(log(), "TW: stopRinging, TW is disabled."), 1);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
}

TEST_F(RingtoneHooksTest, PrepareToAnswerCallStartsACheckAndRestoresNothing) {
  ringUntilRaised();
  sim::prepareToAnswerCall();
  EXPECT_EQ(countOf(log(), "TW: prepareToAnswerCall"), 1);
  EXPECT_TRUE(volumeWasIncreased);
  sim::runUntil(seconds(5.0));
  EXPECT_EQ(sampleCount, 0) << "a new setup ran at 5.0";
}

TEST_F(RingtoneHooksTest, NoFrameOfAnEndedRingRaisesTheVolumeAgain) {
  sim::playRingtoneAtPath(path());
  sim::runUntil(seconds(2.9));  // camera on, three frames counted, nothing judged yet
  sim::stopRinging();
  sim::fastForwardBy(seconds(10));
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_EQ(sim::framesDelivered(), 3u);
}

// A whole call, twice: the same log, at the same times, on the same queues.
std::vector<std::string> replayWholeCall() {
  sim::setBrightness(kFront, -6.5);
  sim::postAt(seconds(0), [] { sim::playRingtoneAtPathVibrationPattern(path(), pattern()); });
  sim::postAt(seconds(6), [] { sim::setBrightness(kFront, 3.0); });
  sim::postAt(seconds(9), [] { sim::stopRinging(); });
  sim::postCallStatusChange(status(5), seconds(9.5));
  sim::runUntil(seconds(120));
  std::vector<std::string> out;
  for (const auto& l : sim::logLines()) {
    out.push_back(std::to_string(l.time.count()) + " " + l.queue + " " + l.message);
  }
  for (const auto& v : sim::volumeChanges()) {
    out.push_back(std::to_string(v.time.count()) + " volume " + std::to_string(v.value));
  }
  return out;
}

TEST_F(RingtoneHooksTest, WholeCallReplaysIdentically) {
  const auto first = replayWholeCall();
  freshPhoneAndMonitor();
  RingtoneHooksTest::SetUp();
  const auto second = replayWholeCall();
  EXPECT_EQ(first, second);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_EQ(countOf(log(), "TW: ringing volume was increased."), 1);
  EXPECT_EQ(countOf(log(), "TW: device taken out of the pocket, original volume restored."), 1);
  EXPECT_EQ(currentPhoneState, 5);
}

class MissingHostMethodTest : public testing_support::MonitorTest {};

TEST_F(MissingHostMethodTest, ReplacementNeverCallsAnEmptySlot) {
  sim::installSpringBoard({"stopRinging"});
  initializeMonitor();
  EXPECT_EQ(savedStopRinging, nullptr);
  hookStopRinging(sim::userAgent(), "stopRinging");  // as if reached some other way
  hookPrepareToAnswerCall(sim::userAgent(), "prepareToAnswerCall");
  hookPlayRingtoneAtPath(sim::userAgent(), "playRingtoneAtPath:", nullptr);
  hookPlayRingtoneAtPathVibrationPattern(sim::userAgent(),
                                         "playRingtoneAtPath:vibrationPattern:", nullptr, nullptr);
  sim::playRingtoneAtPath(path());
  EXPECT_TRUE(sim::ringtone().ringing);
}

// What SpringBoard's own implementation raises is SpringBoard's to handle: it reaches the caller
// of the replaced method unchanged.
TEST_F(RingtoneHooksTest, TheHostsExceptionsPassThroughEveryReplacement) {
  const std::pair<const char*, void (*)()> calls[] = {
      {"playRingtoneAtPath:vibrationPattern:",
       [] { sim::playRingtoneAtPathVibrationPattern(path(), pattern()); }},
      {"playRingtoneAtPath:", [] { sim::playRingtoneAtPath(path()); }},
      {"prepareToAnswerCall", [] { sim::prepareToAnswerCall(); }},
      {"stopRinging", [] { sim::stopRinging(); }},
  };
  for (const auto& [selector, call] : calls) {
    sim::setRaisingHostMethod(selector);
    try {
      call();
      ADD_FAILURE() << selector << " did not raise";
    } catch (const sim::HostException& e) {
      EXPECT_EQ(std::string(e.what()), std::string("-[SBUserAgent ") + selector + "] raised");
    }
  }
  // The pocket checks before the raising host calls ran, and the raising stopRinging ended them.
  EXPECT_EQ(countOf(log(), "TW: prepareToAnswerCall"), 1);
  EXPECT_EQ(countOf(log(), "TW: stopRinging, volume was not increased."), 1);
  sim::fastForwardBy(seconds(100));
  EXPECT_TRUE(sim::cameraEvents().empty()) << "the probe's requests were cancelled";
}

TEST_F(RingtoneHooksTest, ARaisingStopRingingStillPutsTheVolumeBack) {
  ringUntilRaised();
  sim::setRaisingHostMethod("stopRinging");
  EXPECT_THROW(sim::stopRinging(), sim::HostException);
  EXPECT_FALSE(sim::ringtone().ringing) << "the host's own work was done before it raised";
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
}

}  // namespace

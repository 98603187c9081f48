#include <memory>

#include "monitor_fixture.h"
#include "platform/av_foundation.h"
#include "platform/ns_file_manager.h"

namespace {

using platform::AVCaptureDevicePositionBack;
using platform::AVCaptureDevicePositionFront;
using testing_support::countOf;
using testing_support::seconds;

constexpr int kFront = AVCaptureDevicePositionFront;
constexpr int kBack = AVCaptureDevicePositionBack;

// Frames come every 0.25 s from the start of the session: the first judged frame is the fourth,
// at 1.0 s.
class ProbeTest : public testing_support::MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    owner_ = std::make_shared<TWVideoCaptureDelegate>();
    captureDelegate = owner_.get();
    // The settings the monitor would load by default.
    isEnabled = true;
    useFrontCamera = true;
    increaseVolumeDelay = 2.0f;
    ringingVolumeWhileInPocket = 0.8;
    pocketBrightness = -4.0f;
    sim::setVolume("Ringtone", 0.3f);
  }

  void setBrightness(double b) {
    sim::setBrightness(kFront, b);
    sim::setBrightness(kBack, b);
  }
  // Runs the clock to just after the n-th frame of a session started at `start`.
  void runToFrame(int n, double start = 0.0) { sim::runUntil(seconds(start + 0.25 * n)); }

  std::shared_ptr<TWVideoCaptureDelegate> owner_;
};

TEST_F(ProbeTest, FirstThreeFramesAreIgnoredWhateverTheirBrightness) {
  setBrightness(-9.0);
  probe().setupCaptureSession();
  runToFrame(3);
  EXPECT_EQ(sampleCount, 3);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_FALSE(volumeWasIncreased);

  runToFrame(4);
  EXPECT_EQ(sampleCount, 4);
  EXPECT_EQ(ringtoneVolume(), 0.8f);
  EXPECT_TRUE(volumeWasIncreased);
  EXPECT_EQ(originalRingtoneVolume, 0.3f);
  EXPECT_TRUE(probe().inPocket());
  EXPECT_EQ(countOf(log(), "TW: ringing volume was increased."), 1);
}

TEST_F(ProbeTest, RunOfDarkFramesRaisesOnceAndKeepsWatching) {
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(20);
  EXPECT_EQ(sampleCount, 20);
  EXPECT_EQ(sim::runningCameraCount(), 1);
  EXPECT_EQ(countOf(log(), "TW: ringing volume was increased."), 1);
  int monitorSets = 0;
  for (const auto& change : sim::volumeChanges())
    monitorSets += change.by == sim::ChangedBy::monitor;
  EXPECT_EQ(monitorSets, 1);
  EXPECT_EQ(originalRingtoneVolume, 0.3f);
}

TEST_F(ProbeTest, BrightFrameAfterDarkRestoresAndStops) {
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(5);
  ASSERT_TRUE(volumeWasIncreased);
  setBrightness(3.0);
  runToFrame(6);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_FALSE(probe().inPocket());
  EXPECT_FALSE(probe().hasSession());
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(countOf(log(), "TW: device taken out of the pocket, original volume restored."), 1);

  // Back into the pocket: nothing happens until the next setup.
  setBrightness(-6.0);
  sim::fastForwardBy(seconds(10));
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_EQ(sampleCount, 6);
}

TEST_F(ProbeTest, BrightnessEqualToTheThresholdIsBright) {
  setBrightness(-4.0);
  probe().setupCaptureSession();
  runToFrame(4);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_FALSE(probe().hasSession());
}

TEST_F(ProbeTest, MissingOrUnreadableBrightnessCountsAsMinusFour) {
  for (auto mode : {sim::ExifMode::noBrightness, sim::ExifMode::notANumber}) {
    sim::setExifMode(mode);
    probe().setupCaptureSession();
    sim::fastForwardBy(seconds(1.0));
    EXPECT_EQ(sim::runningCameraCount(), 0) << "default threshold: -4.0 is bright";
  }
  pocketBrightness = -3.0f;  // now -4.0 is dark
  probe().setupCaptureSession();
  sim::fastForwardBy(seconds(1.0));
  EXPECT_TRUE(volumeWasIncreased);
  EXPECT_EQ(sim::runningCameraCount(), 1);
}

TEST_F(ProbeTest, FrameWithoutExifEndsTheProbeButLeavesARaisedVolumeRaised) {
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(4);
  ASSERT_TRUE(volumeWasIncreased);
  sim::setExifMode(sim::ExifMode::missing);
  runToFrame(5);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(ringtoneVolume(), 0.8f);
  EXPECT_TRUE(volumeWasIncreased);
  EXPECT_FALSE(probe().inPocket());
}

TEST_F(ProbeTest, StopSessionLeavesTheVolumeAsItIs) {
  setBrightness(-6.0);
  enableDebugLogging = true;
  probe().setupCaptureSession();
  runToFrame(4);
  probe().stopSession();
  EXPECT_EQ(ringtoneVolume(), 0.8f);
  EXPECT_TRUE(volumeWasIncreased);
  EXPECT_FALSE(probe().inPocket());
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(countOf(log(), "TW: stopping capture session"), 1);

  // With no session stored it only clears the in-pocket state.
  probe().stopSession();
  EXPECT_EQ(countOf(log(), "TW: stopping capture session"), 2);
}

TEST_F(ProbeTest, DebugLoggingShowsAttachmentsAndBrightness) {
  enableDebugLogging = true;
  setBrightness(-6.5);
  probe().setupCaptureSession();
  runToFrame(4);
  const auto messages = log();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0].rfind("TW: attachements: {", 0), 0u) << messages[0];
  EXPECT_NE(messages[0].find("\n    BrightnessValue = \"-6.5\";\n"), std::string::npos);
  EXPECT_EQ(messages[1], "TW: brightness: -6.500000");
  EXPECT_EQ(messages[2], "TW: ringing volume was increased.");
}

TEST_F(ProbeTest, SelectedCameraIsUsed) {
  sim::setBrightness(kFront, 3.0);
  sim::setBrightness(kBack, -7.0);
  useFrontCamera = false;
  probe().setupCaptureSession();
  runToFrame(4);
  EXPECT_TRUE(volumeWasIncreased);
  ASSERT_FALSE(sim::cameraEvents().empty());
  EXPECT_EQ(sim::cameraEvents()[0].position, kBack);
}

TEST_F(ProbeTest, LyingFlatRefusesUnlessAllowed) {
  isLyingFlat = true;
  sampleCount = 7;
  probe().setupCaptureSession();
  EXPECT_EQ(sampleCount, 0);
  EXPECT_FALSE(probe().hasSession());
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(log(), std::vector<std::string>{
                       "TW: device is horizontal, volume increase is disabled for that "
                       "orientation in settings, not checking brightness."});

  increaseVolumeIfHorizontal = true;
  probe().setupCaptureSession();
  EXPECT_EQ(sim::runningCameraCount(), 1);
}

TEST_F(ProbeTest, SecondSetupStopsTheEarlierCameraAndStartsCountingAgain) {
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(4);
  ASSERT_TRUE(probe().inPocket());
  const auto earlier = probe().session();
  probe().setupCaptureSession();  // at 1.0 s
  EXPECT_EQ(sampleCount, 0);
  EXPECT_NE(probe().session(), earlier);
  EXPECT_FALSE(earlier->isRunning());
  EXPECT_EQ(sim::runningCameraCount(), 1) << "the earlier camera must not keep running";
  EXPECT_TRUE(probe().inPocket());
  runToFrame(3, 1.0);
  EXPECT_EQ(sampleCount, 3);
  // Still in the pocket: the new session's dark frames change nothing.
  runToFrame(8, 1.0);
  EXPECT_EQ(countOf(log(), "TW: ringing volume was increased."), 1);
}

TEST_F(ProbeTest, RaiseAfterAStopKeepsThePersonsOwnVolume) {
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(4);
  probe().stopSession();  // e.g. the time-out: the volume stays raised at 0.8
  ASSERT_TRUE(volumeWasIncreased);
  probe().setupCaptureSession();
  sim::fastForwardBy(seconds(1.0));
  EXPECT_EQ(originalRingtoneVolume, 0.3f) << "the raised volume must not become the saved one";
  setBrightness(5.0);
  sim::fastForwardBy(seconds(0.25));
  EXPECT_EQ(ringtoneVolume(), 0.3f);
}

TEST_F(ProbeTest, VolumeReadThatWorksAgainRaisesWithTheTrueVolume) {
  sim::setVolumeReadFails(true);
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(10);
  ASSERT_FALSE(volumeWasIncreased);

  sim::setVolumeReadFails(false);
  runToFrame(11);
  EXPECT_TRUE(volumeWasIncreased);
  EXPECT_EQ(originalRingtoneVolume, 0.3f);
}

TEST_F(ProbeTest, FrameOfAStoppedSessionChangesNothing) {
  sim::setFrameInFlightAtStop(true);
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(3);
  probe().stopSession();
  sim::fastForwardBy(seconds(5));
  EXPECT_EQ(sim::framesDelivered(), 4u) << "the frame in flight reached the probe";
  EXPECT_EQ(sampleCount, 3) << "and was not even counted";
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
}

// A raise left outstanding (the time-out stopped the probe while the ring went on) and a new
// setup that finds the pocket again: whichever call of the new raise fails, the record still holds
// the person's volume and the end of the ring puts it back.
struct NextRaiseFailure {
  const char* name;
  std::vector<std::pair<sim::FailableCall, long>> failing;  // call, use after the first raise
};

class OutstandingRaiseTest : public ProbeTest,
                             public ::testing::WithParamInterface<NextRaiseFailure> {};

TEST_P(OutstandingRaiseTest, TheRecordKeepsThePersonsVolumeWhateverFails) {
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(4);
  probe().stopSession();
  ASSERT_TRUE(volumeWasIncreased);
  for (const auto& [call, use] : GetParam().failing) sim::failUse(call, sim::usesOf(call) + use);
  probe().setupCaptureSession();
  runToFrame(4, 1.0);
  EXPECT_TRUE(volumeWasIncreased);
  const auto record = platform::dictionaryWithContentsOfFile(ringtoneVolumeRecordPath());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(platform::floatValue(*record->objectForKey("personsVolume")), 0.3f);
  restoreRingtoneVolume();
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  EXPECT_FALSE(volumeWasIncreased);
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, OutstandingRaiseTest,
    ::testing::Values(NextRaiseFailure{"SecondRead", {{sim::FailableCall::volumeRead, 2}}},
                      NextRaiseFailure{"RecordWrite",
                                       {{sim::FailableCall::recordWrite, 1},
                                        {sim::FailableCall::recordFolder, 1}}},
                      NextRaiseFailure{"VolumeSet", {{sim::FailableCall::volumeSet, 1}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ProbeTest, AVolumeThePersonChoseWhileARaiseWasOutstandingIsTheirs) {
  setBrightness(-6.0);
  probe().setupCaptureSession();
  runToFrame(4);
  probe().stopSession();
  sim::setVolume("Ringtone", 0.5f);
  probe().setupCaptureSession();
  runToFrame(4, 1.0);
  EXPECT_EQ(originalRingtoneVolume, 0.5f);
  restoreRingtoneVolume();
  EXPECT_EQ(ringtoneVolume(), 0.5f);
}

// A setup that had already begun when the end of its ring cancelled the requests (a race of the
// run loop and the telephony thread) starts no camera.
TEST_F(ProbeTest, ASetupAfterItsRingEndedStartsNoCamera) {
  setBrightness(-6.0);
  probe().ringStarted();
  probe().ringEnded();
  probe().setupCaptureSession();
  runToFrame(8);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(sim::framesDelivered(), 0u);
  EXPECT_FALSE(volumeWasIncreased);
}

// What the probe is handed from outside: a frame from no output, a request it does not answer.
TEST_F(ProbeTest, AFrameFromNoOutputAndAnUnknownRequestChangeNothing) {
  probe().captureOutputDidOutputSampleBufferFromConnection(nullptr, nullptr, nullptr);
  EXPECT_EQ(sampleCount, 0);
  EXPECT_FALSE(probe().performSelectorWithObject("setupCaptureSession:", nullptr));
  EXPECT_FALSE(probe().hasSession());
}

TEST_F(ProbeTest, CameraLookupWalksDevicesInOrder) {
  EXPECT_STREQ(probe().className(), "TWVideoCaptureDelegate") << "the class the phone knows";
  EXPECT_EQ(probe().frontCamera()->position(), AVCaptureDevicePositionFront);
  EXPECT_EQ(probe().backCamera()->position(), AVCaptureDevicePositionBack);
  sim::setCameraFault(kBack, sim::CameraFault::missing);
  EXPECT_EQ(probe().backCamera(), nullptr);
  EXPECT_NE(probe().frontCamera(), nullptr);
}

}  // namespace

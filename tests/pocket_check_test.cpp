#include "monitor_fixture.h"
#include "platform/core_motion.h"

namespace {

using platform::CMAcceleration;
using testing_support::countOf;
using testing_support::dict;
using testing_support::seconds;

const char* const kHorizontal =
    "TW: device is horizontal, volume increase is disabled for that orientation in settings, not "
    "checking brightness.";

class PocketCheckTest : public testing_support::MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    startMonitor();
    sim::clearLog();
    sim::setVolume("Ringtone", 0.3f);
  }
};

TEST_F(PocketCheckTest, DisabledReloadsSettingsButStartsNothing) {
  storeSettings(dict({{"enabled", false}, {"pocketBrightness", -7.0}}));
  increaseVolumeIfNeeded();
  EXPECT_EQ(pocketBrightness, -7.0f);
  EXPECT_FALSE(motionManager.load()->isAccelerometerActive());
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
}

TEST_F(PocketCheckTest, LaysOutOneRing) {
  storeSettings(dict({{"increaseVolumeDelay", 3.0}}));
  sim::setAcceleration(CMAcceleration{0.02, -0.7, -0.6});  // upright in a pocket
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -6.0);
  increaseVolumeIfNeeded();
  EXPECT_TRUE(motionManager.load()->isAccelerometerActive());

  sim::runUntil(seconds(0.05));  // the first sample decides and stops the updates
  EXPECT_FALSE(motionManager.load()->isAccelerometerActive());
  EXPECT_FALSE(isLyingFlat);

  sim::runUntil(seconds(2.999));
  EXPECT_EQ(sim::runningCameraCount(), 0);
  sim::runUntil(seconds(3.0));
  EXPECT_EQ(sim::runningCameraCount(), 1);

  sim::runUntil(seconds(89.999));
  EXPECT_EQ(sim::runningCameraCount(), 1);
  sim::runUntil(seconds(90.0));
  EXPECT_EQ(sim::runningCameraCount(), 0) << "the time-out counts from the check";
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
  EXPECT_EQ(ringtoneVolume(), 0.8f) << "the time-out leaves the volume to the end of the ring";
}

struct Orientation {
  const char* name;
  CMAcceleration acceleration;
  bool flat;
};
// Test names and failure messages show the case by its name.
void PrintTo(const Orientation& c, std::ostream* os) {
  *os << c.name;
}

class LyingFlatTest : public PocketCheckTest, public ::testing::WithParamInterface<Orientation> {};

TEST_P(LyingFlatTest, VerdictFromTheFirstSample) {
  storeSettings(dict({{"enableDebugLogging", true}}));
  sim::setAcceleration(GetParam().acceleration);
  increaseVolumeIfNeeded();
  sim::runUntil(seconds(0.05));
  EXPECT_EQ(isLyingFlat, GetParam().flat);
  sim::runUntil(seconds(2.0));
  EXPECT_EQ(countOf(log(), kHorizontal), GetParam().flat ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Orientations, LyingFlatTest,
                         ::testing::Values(Orientation{"OnItsBack", {0, 0, -1}, true},
                                           Orientation{"OnItsFace", {0.1, -0.1, 0.98}, true},
                                           Orientation{"ZExactlyPointEight", {0, 0, 0.8}, false},
                                           Orientation{"XExactlyAQuarter", {0.25, 0, -0.97}, false},
                                           Orientation{
                                               "YExactlyAQuarter", {0, -0.25, -0.97}, false},
                                           Orientation{"Upright", {0, -1, 0}, false},
                                           Orientation{"Tilted", {0.3, 0.1, -0.9}, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(PocketCheckTest, DebugMessageOfTheSample) {
  storeSettings(dict({{"enableDebugLogging", true}}));
  sim::setAcceleration(CMAcceleration{0, 0, -1});
  increaseVolumeIfNeeded();
  sim::runUntil(seconds(0.05));
  const auto lines = sim::logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().message,
            "TW: accelerometerdata: x:0.000000, y:0.000000, z:-1.000000. Is device lying flat: y ");
  EXPECT_EQ(lines.back().queue, "NSOperationQueue");
}

TEST_F(PocketCheckTest, SampleWithoutDataIsNotFlat) {
  isLyingFlat = true;
  sim::setAcceleration(std::nullopt);
  storeSettings(dict({{"enabled", true}}));
  increaseVolumeIfNeeded();
  sim::runUntil(seconds(0.05));
  EXPECT_FALSE(isLyingFlat);
}

TEST_F(PocketCheckTest, ZeroDelaySetupComesBeforeTheSampleAndUsesTheEarlierVerdict) {
  storeSettings(dict({{"increaseVolumeDelay", 0}}));
  isLyingFlat = true;                              // from an earlier ring
  sim::setAcceleration(CMAcceleration{0, -1, 0});  // upright now
  increaseVolumeIfNeeded();
  sim::runUntil(seconds(0.0));
  EXPECT_EQ(countOf(log(), kHorizontal), 1);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  sim::runUntil(seconds(0.05));
  EXPECT_FALSE(isLyingFlat);
}

TEST_F(PocketCheckTest, AccelerometerIsReadEvenWhenHorizontalIsAllowed) {
  storeSettings(dict({{"increaseVolumeIfHorizontal", true}}));
  sim::setAcceleration(CMAcceleration{0, 0, -1});
  increaseVolumeIfNeeded();
  EXPECT_TRUE(motionManager.load()->isAccelerometerActive());
  sim::runUntil(seconds(2.0));
  EXPECT_TRUE(isLyingFlat);
  EXPECT_EQ(sim::runningCameraCount(), 1);
}

TEST_F(PocketCheckTest, TwoChecksInOneRingMakeTwoSetupsAndTwoTimeOuts) {
  storeSettings(dict({{"enabled", true}}));
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -6.0);
  increaseVolumeIfNeeded();
  sim::runUntil(seconds(3.0));  // first setup at 2.0, frames 2.25 .. 3.0
  EXPECT_EQ(sampleCount, 4);
  increaseVolumeIfNeeded();  // at 3.0: setup at 5.0, time-out at 93.0
  sim::runUntil(seconds(5.0));
  EXPECT_EQ(sampleCount, 0) << "the second setup starts the count over";
  sim::runUntil(seconds(90.0));
  EXPECT_EQ(sim::runningCameraCount(), 0) << "the first time-out stops the probe";
  EXPECT_EQ(sim::pendingTaskCount(), 1u) << "the second time-out is still pending";
}

// The delay row offers 0 to 10 s: a hand-edited 100 s starts the camera at 10 s, well inside
// the time-out, which then still bounds the probe.
TEST_F(PocketCheckTest, DelayBeyondItsRowStartsAtTheRowsLongestDelay) {
  storeSettings(dict({{"increaseVolumeDelay", 100.0}}));
  increaseVolumeIfNeeded();
  EXPECT_EQ(increaseVolumeDelay, 10.0f);
  sim::runUntil(seconds(9.999));
  EXPECT_EQ(sim::runningCameraCount(), 0);
  sim::runUntil(seconds(10.0));
  EXPECT_EQ(sim::runningCameraCount(), 1);
  sim::runUntil(seconds(150.0));
  EXPECT_EQ(sim::runningCameraCount(), 0);
}

}  // namespace

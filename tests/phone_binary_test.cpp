// The phone's own monitor binary on the emulated CPU, where it matters beyond a scenario: the
// host's exception passes through the replaced method after the volume is back, and the
// binary's own failure handling holds. Runs when TONEWELL_PHONE_MONITOR names the phone's
// Tonewell.dylib, in the slice TONEWELL_PHONE_ARCH names (default arm64; scripts/phone.sh sets
// both); skipped otherwise, as CI has no SDK to build one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "emulator/phone_binary.h"
#include "platform/av_foundation.h"
#include "platform/sim/springboard.h"
#include "test_support.h"

namespace {

using platform::Value;
using testing_support::seconds;

class PhoneBinaryTest : public testing_support::PhoneTest {
 protected:
  void SetUp() override {
    const char* path = std::getenv("TONEWELL_PHONE_MONITOR");
    if (path == nullptr || !std::filesystem::exists(path)) {
      GTEST_SKIP() << "TONEWELL_PHONE_MONITOR names no phone binary (scripts/phone.sh builds one)";
    }
    storePreferences("com.example.tonewell", testing_support::dict({{"enableDebugLogging", true}}));
    sim::installSpringBoard();
    sim::setVolume("Ringtone", 0.3f, false);
    sim::setBrightness(platform::AVCaptureDevicePositionFront, -6.0);
    const char* arch = std::getenv("TONEWELL_PHONE_ARCH");
    auto loaded = emulator::PhoneBinary::load(path, arch && *arch ? arch : "arm64");
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<emulator::PhoneBinary>>(loaded))
        << std::get<std::string>(loaded);
    monitor_ = std::move(std::get<std::unique_ptr<emulator::PhoneBinary>>(loaded));
    ASSERT_TRUE(monitor_->start()) << monitor_->failure().value_or("");
  }

  std::unique_ptr<emulator::PhoneBinary> monitor_;
};

TEST_F(PhoneBinaryTest, TheHostsExceptionPassesThroughTheReplacementAfterTheVolumeIsBack) {
  sim::playRingtoneAtPath(Value("/Library/Ringtones/Opening.m4r"));
  sim::runUntil(seconds(4));
  ASSERT_FLOAT_EQ(sim::volume("Ringtone"), 0.8f) << "raised in the dark";
  sim::setRaisingHostMethod("stopRinging");
  EXPECT_THROW(sim::stopRinging(), sim::HostException);
  EXPECT_FALSE(monitor_->failure()) << *monitor_->failure();
  EXPECT_FLOAT_EQ(sim::volume("Ringtone"), 0.3f) << "the person's volume before the host's handler";
  sim::runUntil(seconds(5));  // the phone's camera stops on its own queue
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_EQ(
      testing_support::countOf(sim::logMessages(), "-[<SBUserAgent: 0x10000000> stopRinging]"), 1);
  // The monitor goes on serving rings after the exception.
  sim::setRaisingHostMethod("");
  sim::playRingtoneAtPath(Value("/Library/Ringtones/Opening.m4r"));
  sim::runUntil(seconds(9));
  EXPECT_FLOAT_EQ(sim::volume("Ringtone"), 0.8f);
  sim::stopRinging();
  EXPECT_FLOAT_EQ(sim::volume("Ringtone"), 0.3f);
  EXPECT_FALSE(monitor_->failure());
}

TEST_F(PhoneBinaryTest, TheHostsExceptionWhenARingStartsLeavesNothingRunning) {
  sim::setRaisingHostMethod("playRingtoneAtPath:");
  EXPECT_THROW(sim::playRingtoneAtPath(Value("/Library/Ringtones/Opening.m4r")),
               sim::HostException);
  EXPECT_FALSE(monitor_->failure()) << *monitor_->failure();
  sim::setRaisingHostMethod("");
  sim::stopRinging();
  sim::runUntil(seconds(100));
  EXPECT_EQ(sim::runningCameraCount(), 0);
  EXPECT_FLOAT_EQ(sim::volume("Ringtone"), 0.3f);
}

TEST_F(PhoneBinaryTest, RingAfterRingLeavesNoObjectBehind) {
  auto ringOnce = [] {
    const auto start = sim::now();
    sim::playRingtoneAtPath(Value("/Library/Ringtones/Opening.m4r"));
    sim::runUntil(start + seconds(6));
    sim::stopRinging();
    sim::postCallStatusChange(testing_support::dict({{"kCTCallStatus", 5}}));
    sim::runUntil(start + seconds(100));
  };
  ringOnce();
  const std::size_t after1 = monitor_->liveObjects();
  for (int i = 0; i < 5; ++i) ringOnce();
  EXPECT_FALSE(monitor_->failure()) << *monitor_->failure();
  EXPECT_EQ(monitor_->liveObjects(), after1) << "objects the binary made per ring and never freed";
}

}  // namespace

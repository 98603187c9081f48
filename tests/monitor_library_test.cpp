// Loads the real monitor library into a process that has the simulated host, as the
// code-injection host does, and drives it only through the host and the exported names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>

#include "platform/av_foundation.h"
#include "platform/sim/springboard.h"
#include "test_support.h"

namespace {

using testing_support::dict;
using testing_support::seconds;

template <typename T>
std::atomic<T>& exported(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  EXPECT_NE(symbol, nullptr) << name;
  return *static_cast<std::atomic<T>*>(symbol);
}

class MonitorLibraryTest : public testing_support::PhoneTest {};

TEST_F(MonitorLibraryTest, LoadingInstallsTheMonitorAndARingInAPocketIsLouder) {
  storePreferences("com.example.tonewell", dict({{"enableDebugLogging", true}}));
  sim::installSpringBoard();
  sim::setVolume("Ringtone", 0.3f);
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -6.5);

  void* library = dlopen(TONEWELL_MONITOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_EQ(sim::logMessages().front().rfind("TW: settings are: enabled:y", 0), 0u);
  EXPECT_NE(exported<void*>(library, "captureDelegate").load(), nullptr);
  EXPECT_NE(dlsym(library, "increaseVolumeIfNeeded"), nullptr);

  sim::playRingtoneAtPathVibrationPattern(platform::Value("/Library/Ringtones/Opening.m4r"),
                                          platform::Value(dict({{"VibePattern", 1}})));
  sim::runUntil(seconds(3.0));
  EXPECT_EQ(sim::volume("Ringtone"), 0.8f);
  EXPECT_TRUE(exported<bool>(library, "volumeWasIncreased").load());
  EXPECT_EQ(exported<float>(library, "originalRingtoneVolume").load(), 0.3f);
  EXPECT_EQ(exported<std::intptr_t>(library, "sampleCount").load(), 4);
  EXPECT_EQ(exported<double>(library, "ringingVolumeWhileInPocket").load(), 0.8);

  sim::stopRinging();
  EXPECT_EQ(sim::volume("Ringtone"), 0.3f);
  EXPECT_FALSE(exported<bool>(library, "volumeWasIncreased").load());
  EXPECT_FALSE(sim::ringtone().ringing);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  // The library stays loaded: there is no unload path.
}

}  // namespace

// A test of the monitor linked in directly: the phone and the monitor's state start afresh, and
// the test decides when start-up runs.
#pragma once

#include "preferences_domain.h"
#include "ring_end.h"
#include "ringtone_hooks.h"
#include "ringtone_volume.h"
#include "settings_loader.h"
#include "shared_state.h"
#include "start_up.h"
#include "test_support.h"
#include "video_capture_delegate.h"

// Tests of the monitor name its parts as the monitor itself does.
using namespace tonewell::monitor;

namespace testing_support {

class MonitorTest : public PhoneTest {
 protected:
  void SetUp() override;
  // A fresh phone and a monitor back at its zero values, as a new host process finds them.
  void freshPhoneAndMonitor();

  // Installs the simulated SpringBoard and runs the monitor's start-up.
  void startMonitor();
  void storeSettings(const platform::Dictionary& values,
                     sim::PropertyListFormat format = sim::PropertyListFormat::binary) {
    storePreferences(preferencesDomain, values, format);
  }
  TWVideoCaptureDelegate& probe() { return *captureDelegate.load(); }
  std::vector<std::string> log() const { return sim::logMessages(); }
  float ringtoneVolume() const { return sim::volume("Ringtone"); }
};

// A started monitor with debug logging, the person's volume at 0.3 and a dark front camera: a
// ring from here is a ring in a pocket.
class DarkPocketTest : public MonitorTest {
 protected:
  void SetUp() override;
  // Lets a ring that has begun run for the delay and the first judged frame, and checks the raise.
  void waitUntilRaised();
};

// Every shared variable back to its zero value, the saved implementations cleared.
void resetMonitorState();

}  // namespace testing_support

// A scenario: the world around the phone and the host's actions during a call, in simulated
// seconds from 0.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/core_motion.h"
#include "platform/sim/phone.h"
#include "platform/value.h"

namespace tonewell {

struct DeviceSetup {
  float ringtoneVolume = 0.5f;
  sim::CameraFault frontCamera = sim::CameraFault::none;
  sim::CameraFault backCamera = sim::CameraFault::none;
  double frameInterval = 0.25;
  double accelerometerInterval = 0.05;
  bool volumeReadFails = false;
};

// One change of the world; a field left out keeps its earlier value.
struct WorldEntry {
  double at = 0;
  std::optional<double> brightness;
  std::optional<double> frontBrightness;
  std::optional<double> backBrightness;
  std::optional<sim::ExifMode> exif;
  // Set when the entry names an acceleration; the inner none is a sample without data.
  std::optional<std::optional<platform::CMAcceleration>> acceleration;
};

struct HostCall {
  std::string selector;  // "playRingtoneAtPath:vibrationPattern:", "stopRinging", ...
  std::vector<platform::Value> arguments;
};
struct SetPreferences {
  platform::Dictionary values;
};
struct RemovePreferences {
  std::vector<std::string> keys;
};
struct SetRingtoneVolume {
  float volume;
};
struct Notify {
  std::string name;
  std::optional<platform::Dictionary> userInfo;
};

// SpringBoard ends at once (a crash, a respring) and starts again, loading the monitor anew.
struct Respring {};

struct Event {
  double at = 0;
  std::variant<HostCall, SetPreferences, RemovePreferences, SetRingtoneVolume, Notify, Respring>
      action;
};

struct Scenario {
  std::string name;
  // The domain at the start; none uses the person's own domain (copied, never written).
  std::optional<platform::Dictionary> preferences;
  DeviceSetup device;
  std::vector<WorldEntry> world;
  std::vector<Event> events;
  double until = 0;  // end of the replay
};

// Where a scenario is wrong: "FILE:LINE:COLUMN: cause".
struct ScenarioError {
  std::string file;
  int line = 0;    // 1-based
  int column = 0;  // 1-based
  std::string cause;
  std::string message() const;
};

// Parses a scenario in YAML (JSON is YAML too). `file` names it in errors.
std::variant<Scenario, ScenarioError> parseScenario(const std::string& text,
                                                    const std::string& file);

// The selectors a scenario may call, with the number of arguments each takes.
int argumentCount(const std::string& selector);

}  // namespace tonewell

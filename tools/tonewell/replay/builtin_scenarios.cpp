#include "builtin_scenarios.h"

#include <iterator>

namespace tonewell {

namespace {

// fuzz/corpus/scenario keeps a copy of each (a test holds them equal).
constexpr BuiltinScenario kScenarios[] = {
    {"pocket-call",
     "the phone rings in a pocket, the volume goes up, the person takes it out, the volume "
     "comes back, the call is answered",
     R"(name: pocket-call
preferences:
  enableDebugLogging: true
device:
  ringtoneVolume: 0.3
world:
  - at: 0
    brightness: -6.5
    acceleration: [0.02, -0.7, -0.6]
  - at: 6
    brightness: 3.0
events:
  - at: 0
    call: "playRingtoneAtPath:vibrationPattern:"
    args: ["/Library/Ringtones/Opening.m4r", {VibePattern: [1, 0.5]}]
  - at: 8
    call: stopRinging
  - at: 8.2
    notify: kCTCallStatusChangeNotification
    userInfo: {kCTCallStatus: 1}
until: 15
)"},
    {"on-table", "the phone lies face down on a table: it is flat, so the camera never starts",
     R"(name: on-table
preferences:
  enableDebugLogging: true
device:
  ringtoneVolume: 0.3
world:
  - at: 0
    brightness: -7.0
    acceleration: [0.01, -0.02, 0.99]
events:
  - at: 0
    call: "playRingtoneAtPath:vibrationPattern:"
  - at: 10
    call: stopRinging
  - at: 10.5
    notify: kCTCallStatusChangeNotification
    userInfo: {kCTCallStatus: 5}
until: 15
)"},
    {"bag-all-call",
     "the phone stays dark in a bag past the 90-second time-out; the end of the ring restores "
     "the volume",
     R"(name: bag-all-call
preferences:
  enableDebugLogging: false
device:
  ringtoneVolume: 0.4
world:
  - at: 0
    brightness: -8.0
    acceleration: [0.3, -0.5, -0.8]
events:
  - at: 0
    call: "playRingtoneAtPath:vibrationPattern:"
  - at: 95
    call: stopRinging
  - at: 95.5
    notify: kCTCallStatusChangeNotification
    userInfo: {kCTCallStatus: 5}
until: 100
)"},
    {"disabled", "the monitor is switched off: the ring goes by untouched",
     R"(name: disabled
preferences:
  enabled: false
  enableDebugLogging: true
device:
  ringtoneVolume: 0.3
world:
  - at: 0
    brightness: -6.5
events:
  - at: 0
    call: "playRingtoneAtPath:vibrationPattern:"
  - at: 8
    call: stopRinging
  - at: 8.5
    notify: kCTCallStatusChangeNotification
    userInfo: {kCTCallStatus: 5}
until: 10
)"},
    {"no-camera", "the selected front camera is missing: the probe says so and the volume stays",
     R"(name: no-camera
preferences:
  enableDebugLogging: true
device:
  ringtoneVolume: 0.3
  frontCamera: missing
world:
  - at: 0
    brightness: -6.5
events:
  - at: 0
    call: "playRingtoneAtPath:vibrationPattern:"
  - at: 8
    call: stopRinging
until: 10
)"},
    {"respring",
     "SpringBoard restarts while the volume is raised: the new process puts the person's "
     "volume back at start-up",
     R"(name: respring
preferences:
  enableDebugLogging: true
device:
  ringtoneVolume: 0.3
world:
  - at: 0
    brightness: -6.5
    acceleration: [0.02, -0.7, -0.6]
events:
  - at: 0
    call: "playRingtoneAtPath:vibrationPattern:"
    args: ["/Library/Ringtones/Opening.m4r", {VibePattern: [1, 0.5]}]
  - at: 4
    host: respring
  - at: 6
    notify: kCTCallStatusChangeNotification
    userInfo: {kCTCallStatus: 5}
until: 10
)"},
};

}  // namespace

const std::vector<BuiltinScenario>& builtinScenarios() {
  static const std::vector<BuiltinScenario> scenarios(std::begin(kScenarios), std::end(kScenarios));
  return scenarios;
}

const BuiltinScenario* findBuiltinScenario(const std::string& name) {
  for (const auto& s : builtinScenarios()) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

}  // namespace tonewell

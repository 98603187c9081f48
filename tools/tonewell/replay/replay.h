// Replays a scenario against the real monitor library in a simulated SpringBoard.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "built_parts.h"
#include "platform/sim/phone.h"
#include "scenario.h"

namespace tonewell {

struct LogEntry {
  double t;
  std::string queue;
  std::string message;
};
// Who changed a volume: the monitor (through the volume controller), or the scenario.
using sim::ChangedBy;
// "monitor", "scenario": as the JSON result writes it.
const char* nameOf(ChangedBy by);

struct VolumeEntry {
  double t;
  std::string category;
  float value;
  ChangedBy by;
};
struct CameraEntry {
  double t;
  bool start;
  std::string position;  // "front" or "back"
};
struct FrameEntry {
  double t;
  std::string position;
  std::optional<double> brightness;
};
struct RingEntry {
  double t;
  bool ringing;
};

// One of the monitor library's exported variables, read at the end by its name.
struct ExportedVariable {
  std::string name;
  std::variant<bool, std::int64_t, float, double> value;
};

// The phone's state at the end, and every exported variable of the monitor (its settings and
// run-time values, in the order the library lists them).
struct FinalState {
  float ringtoneVolume = 0;
  bool ringing = false;
  bool cameraRunning = false;
  std::vector<ExportedVariable> variables;

  // The variable `name` as a float (its number, or 1/0 for a switch); 0 when there is none.
  float number(const std::string& name) const;
};

struct ReplayResult {
  std::string scenario;
  double until = 0;
  float initialVolume = 0;
  // The scenario's stored settings that the monitor reads otherwise than they are stored
  // ("pocketBrightness: stored 50, which the monitor holds to 2").
  std::vector<std::string> settingNotes;
  std::vector<LogEntry> log;
  std::vector<VolumeEntry> volume;
  std::vector<CameraEntry> camera;
  std::vector<FrameEntry> frames;
  std::vector<RingEntry> rings;
  FinalState final;
};

// Where the monitor library is: TONEWELL_MONITOR_LIBRARY, or lib/Tonewell.so.
inline std::string defaultMonitorLibrary() {
  return besideCommand("TONEWELL_MONITOR_LIBRARY", "Tonewell.so");
}

// The monitor a replay runs: the native library, or the phone's own binary on the emulated CPU.
struct MonitorSource {
  std::string library;      // the native monitor library (Tonewell.so)
  std::string phoneBinary;  // when set: the phone's Tonewell.dylib, run on the emulated CPU
  std::string architecture = "arm64";  // the slice of the phone binary to run
};

// Replays `scenario`. The library can be loaded once per process, so one replay per process.
// On failure (the library cannot be loaded, the preferences cannot be prepared, the emulated
// binary faulted) returns why.
std::variant<ReplayResult, std::string> replay(const Scenario& scenario,
                                               const MonitorSource& monitor);
inline std::variant<ReplayResult, std::string> replay(const Scenario& scenario,
                                                      const std::string& monitorLibrary) {
  return replay(scenario, MonitorSource{monitorLibrary, {}, "arm64"});
}

}  // namespace tonewell

// Plays a scenario on the simulated phone: the device it describes, its world and the host's
// actions, on the virtual clock to its end, around a host process that loads the monitor.
#pragma once

#include <optional>
#include <string>

#include "scenario.h"

namespace tonewell {

// The host process as the scenario sees it: started once, and again after each respring.
class HostProcess {
 public:
  virtual ~HostProcess() = default;
  // Loads the monitor into a new host process, so that its start-up runs; why, when it cannot.
  virtual std::optional<std::string> start() = 0;
};

// Sets up the phone's devices and SpringBoard as `scenario` says, starts `host`, and runs the
// scenario's world and events until its end. The phone has been reset and the preferences domain
// prepared. Why the run stopped, when the host could not be started (at a respring too).
std::optional<std::string> playScenario(const Scenario& scenario, HostProcess& host);

}  // namespace tonewell

#include <algorithm>
#include <cmath>
#include <string>

#include "phone_state.h"
#include "platform/celestial.h"
#include "queues.h"

namespace platform {

bool AVSystemController::getVolumeForCategory(float* volume, std::string_view category) noexcept {
  if (volume == nullptr) return false;
  try {
    auto& state = sim::currentPhone().state;
    std::lock_guard lock(state.mutex);
    const bool failing = state.useFailsLocked(sim::FailableCall::volumeRead);
    if (failing || state.faults.volumeReadFails) return false;
    auto it = state.volumes.find(std::string(category));
    *volume = it == state.volumes.end() ? 0.5f : it->second;
    return true;
  } catch (...) {
    return false;
  }
}

bool AVSystemController::setVolumeToForCategory(float volume, std::string_view category) noexcept {
  float clamped = 0;
  try {
    const Duration time = sim::phoneNow();
    auto& state = sim::currentPhone().state;
    std::lock_guard lock(state.mutex);
    if (state.useFailsLocked(sim::FailableCall::volumeSet) || !settable(volume, &clamped)) {
      return false;
    }
    state.volumes[std::string(category)] = clamped;
    state.volumeChanges.push_back({time, std::string(category), clamped, sim::ChangedBy::monitor});
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace platform

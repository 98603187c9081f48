// The volume controller's one shared object: it holds no state of its own, every call goes to
// the platform's controller.
#include "platform/celestial.h"

#include <cmath>

namespace platform {

AVSystemController* AVSystemController::sharedAVSystemController() noexcept {
  static AVSystemController controller;
  return &controller;
}

bool AVSystemController::settable(float volume, float* clamped) noexcept {
  if (std::isnan(volume)) return false;
  *clamped = volume < 0.0f ? 0.0f : (volume > 1.0f ? 1.0f : volume);
  return true;
}

}  // namespace platform

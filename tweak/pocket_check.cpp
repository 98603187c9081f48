#include <cmath>
#include <memory>

#include "log_lines.h"
#include "platform/core_motion.h"
#include "platform/ns_log.h"
#include "platform/ns_operation_queue.h"
#include "pocket_check.h"
#include "ringtone_volume.h"
#include "settings_loader.h"
#include "shared_state.h"
#include "video_capture_delegate.h"

using namespace platform;

namespace tonewell::monitor {
namespace {

constexpr double kProbeTimeoutSeconds = 90.0;
constexpr double kFlatMinimumZ = 0.8;
constexpr double kFlatMaximumXY = 0.25;

// One accelerometer sample: the first one decides whether the phone lies flat.
void accelerometerHandler(const CMAccelerometerData* data, const NSError* /*error*/) noexcept {
  CMMotionManager* manager = motionManager;          // made at start-up, before any check
  if (manager) manager->stopAccelerometerUpdates();  // unreachable: no check before start-up
  const CMAcceleration a = data ? data->acceleration() : CMAcceleration{};
  const bool flat = std::fabs(a.z) > kFlatMinimumZ && std::fabs(a.x) < kFlatMaximumXY &&
                    std::fabs(a.y) < kFlatMaximumXY;
  isLyingFlat = flat;
  if (enableDebugLogging) {
    NSLog(log_lines::kAccelerometerData, a.x, a.y, a.z, flat ? "y" : "n");
  }
}

}  // namespace
}  // namespace tonewell::monitor

extern "C" void increaseVolumeIfNeeded(void) noexcept {
  using namespace tonewell::monitor;
  try {
    {
      // A record start-up could not settle: the person's volume comes back before any raise.
      std::lock_guard volume(volumeMutex());
      retryRingtoneVolumeRecovery();
    }
    loadSettings();
    if (!isEnabled) return;

    if (CMMotionManager* manager = motionManager) {
      manager->startAccelerometerUpdatesToQueueWithHandler(std::make_shared<NSOperationQueue>(),
                                                           &accelerometerHandler);
    }
    if (TWVideoCaptureDelegate* probe = captureDelegate) {
      probe->ringStarted();
      probe->performSelectorWithObjectAfterDelay("setupCaptureSession", nullptr,
                                                 static_cast<double>(increaseVolumeDelay.load()));
      probe->performSelectorWithObjectAfterDelay("stopSession", nullptr, kProbeTimeoutSeconds);
    }
  } catch (...) {
    // Out of memory making the operation queue: this ring goes unmonitored.
  }
}

#include "start_up.h"

#include <memory>

#include "platform/cf_notification_center.h"
#include "platform/core_motion.h"
#include "platform/substrate.h"
#include "ringtone_hooks.h"
#include "shared_state.h"
#include "video_capture_delegate.h"

using namespace platform;

namespace {

// The owners of the two long-lived objects: never released while the host process lives.
std::shared_ptr<TWVideoCaptureDelegate>& probeOwner() {
  static std::shared_ptr<TWVideoCaptureDelegate> owner;
  return owner;
}

std::shared_ptr<CMMotionManager>& motionManagerOwner() {
  static std::shared_ptr<CMMotionManager> owner;
  return owner;
}

}  // namespace

void initializeMonitor() noexcept {
  try {
    probeOwner() = std::make_shared<TWVideoCaptureDelegate>();
    captureDelegate = probeOwner().get();
    motionManagerOwner() = std::make_shared<CMMotionManager>();
    motionManager = motionManagerOwner().get();

    loadSettings();

    Class userAgent = objc_getClass("SBUserAgent");
    MSHookMessageEx(userAgent, "stopRinging", reinterpret_cast<IMP>(&hookStopRinging),
                    &savedStopRinging);
    MSHookMessageEx(userAgent,
                    "playRingtoneAtPath:", reinterpret_cast<IMP>(&hookPlayRingtoneAtPath),
                    &savedPlayRingtoneAtPath);
    MSHookMessageEx(userAgent, "playRingtoneAtPath:vibrationPattern:",
                    reinterpret_cast<IMP>(&hookPlayRingtoneAtPathVibrationPattern),
                    &savedPlayRingtoneAtPathVibrationPattern);
    MSHookMessageEx(userAgent, "prepareToAnswerCall",
                    reinterpret_cast<IMP>(&hookPrepareToAnswerCall), &savedPrepareToAnswerCall);

    CFNotificationCenterAddObserver(CFNotificationCenterGetLocalCenter(), nullptr,
                                    &callStatusChanged, "kCTCallStatusChangeNotification", nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
  } catch (...) {
    // Out of memory while loading: the monitor stays inactive and the host runs on unchanged.
  }
}

#include "start_up.h"

#include <memory>
#include <string>

#include "log_lines.h"
#include "platform/cf_notification_center.h"
#include "platform/core_motion.h"
#include "platform/ns_log.h"
#include "platform/substrate.h"
#include "ringtone_hooks.h"
#include "ringtone_volume.h"
#include "settings_loader.h"
#include "shared_state.h"
#include "video_capture_delegate.h"

using namespace platform;

namespace tonewell::monitor {

namespace {

// The owners of the two long-lived objects: never released while the host process lives.
std::shared_ptr<TWVideoCaptureDelegate>& probeOwner() {
  static std::shared_ptr<TWVideoCaptureDelegate> owner;  // unreachable: a racing first call's wait
  return owner;
}

std::shared_ptr<CMMotionManager>& motionManagerOwner() {
  static std::shared_ptr<CMMotionManager> owner;  // unreachable: a racing first call's wait
  return owner;
}

}  // namespace

namespace {

// The four ringtone methods, the replacement of each and the slot for what it replaces.
struct Hook {
  SEL selector;
  IMP replacement;
  IMP* slot;
};

const Hook kHooks[] = {
    {"stopRinging", reinterpret_cast<IMP>(&hookStopRinging), &savedStopRinging},
    {"playRingtoneAtPath:", reinterpret_cast<IMP>(&hookPlayRingtoneAtPath),
     &savedPlayRingtoneAtPath},
    {"playRingtoneAtPath:vibrationPattern:",
     reinterpret_cast<IMP>(&hookPlayRingtoneAtPathVibrationPattern),
     &savedPlayRingtoneAtPathVibrationPattern},
    {"prepareToAnswerCall", reinterpret_cast<IMP>(&hookPrepareToAnswerCall),
     &savedPrepareToAnswerCall},
};

// The selectors of kHooks the host's class lacks, comma-separated; empty when it has them all.
std::string missingMethods(Class userAgent) {
  std::string missing;
  for (const Hook& hook : kHooks) {
    if (class_getMethodImplementation(userAgent, hook.selector) == nullptr) {
      missing += (missing.empty() ? "" : ", ") + std::string(hook.selector);
    }
  }
  return missing;
}

}  // namespace

void initializeMonitor() noexcept {
  try {
    probeOwner() = std::make_shared<TWVideoCaptureDelegate>();
    captureDelegate = probeOwner().get();
    motionManagerOwner() = std::make_shared<CMMotionManager>();
    motionManager = motionManagerOwner().get();

    loadSettings();
    // A host that ended while the volume was raised left the person's volume in a record.
    {
      std::lock_guard volume(volumeMutex());
      recoverRingtoneVolumeAfterRestart();
    }

    // The monitor works with all four methods or not at all: with only some of them a probe
    // could start (say, when a call is answered) and nothing would ever put the volume back.
    Class userAgent = objc_getClass("SBUserAgent");
    if (userAgent == nullptr) {
      NSLog(log_lines::kNoUserAgent);
      return;
    }
    if (const std::string missing = missingMethods(userAgent); !missing.empty()) {
      NSLog(log_lines::kUserAgentLacks, missing);
      return;
    }
    for (const Hook& hook : kHooks) {
      MSHookMessageEx(userAgent, hook.selector, hook.replacement, hook.slot);
    }

    CFNotificationCenterAddObserver(CFNotificationCenterGetLocalCenter(), nullptr,
                                    &callStatusChanged, "kCTCallStatusChangeNotification", nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    // The telephony server posts call status on CoreTelephony's own center: without this the
    // restore at call end would never run on the phone. A status that comes through both centers
    // is handled twice, which changes nothing.
    if (CFNotificationCenterRef telephony = CTTelephonyCenterGetDefault()) {
      CTTelephonyCenterAddObserver(telephony, nullptr, &callStatusChanged,
                                   "kCTCallStatusChangeNotification", nullptr,
                                   CFNotificationSuspensionBehaviorDeliverImmediately);
    }
  } catch (...) {
    // Out of memory while loading: the monitor stays inactive and the host runs on unchanged.
  }
}

}  // namespace tonewell::monitor

// Where the monitor meets the host: each replacement logs, does its step and calls the host's
// own implementation, so SpringBoard still plays and stops its ringtones.
#include "ringtone_hooks.h"

#include "log_lines.h"
#include "platform/ns_log.h"
#include "ring_end.h"
#include "shared_state.h"
#include "video_capture_delegate.h"

using namespace platform;

namespace tonewell::monitor {

IMP savedStopRinging = nullptr;
IMP savedPlayRingtoneAtPath = nullptr;
IMP savedPlayRingtoneAtPathVibrationPattern = nullptr;
IMP savedPrepareToAnswerCall = nullptr;

namespace {

// The host's own implementations, with the arguments handed on as they came. They may raise (an
// Objective-C exception unwinds like a C++ one on arm64): no frame of ours between the host's
// call and its implementation is noexcept, so the host's own handlers still see what it raises.
using NoArguments = void (*)(id, SEL);
using OneArgument = void (*)(id, SEL, id);
using TwoArguments = void (*)(id, SEL, id, id);

constexpr const char* kCallStatusKey = "kCTCallStatus";

}  // namespace

void hookStopRinging(id self, SEL _cmd) {
  NSLog(log_lines::kStopRingingHook, self);
  hostRingtone = HostRingtone::stopped;
  if (savedStopRinging) {
    try {
      reinterpret_cast<NoArguments>(savedStopRinging)(self, _cmd);
    } catch (...) {
      // The ring is over whatever the host raised: the volume goes back before its handlers run.
      restoreRingtoneVolume();
      throw;
    }
  }
  restoreRingtoneVolume();
}

void hookPlayRingtoneAtPath(id self, SEL _cmd, id path) {
  NSLog(log_lines::kPlayRingtoneHook, self, path);
  hostRingtone = HostRingtone::playing;
  increaseVolumeIfNeeded();
  if (savedPlayRingtoneAtPath)
    reinterpret_cast<OneArgument>(savedPlayRingtoneAtPath)(self, _cmd, path);
}

void hookPlayRingtoneAtPathVibrationPattern(id self, SEL _cmd, id path, id vibrationPattern) {
  NSLog(log_lines::kPlayRingtoneWithVibrationHook, self, path, vibrationPattern);
  hostRingtone = HostRingtone::playing;
  increaseVolumeIfNeeded();
  if (savedPlayRingtoneAtPathVibrationPattern) {
    reinterpret_cast<TwoArguments>(savedPlayRingtoneAtPathVibrationPattern)(self, _cmd, path,
                                                                            vibrationPattern);
  }
}

void hookPrepareToAnswerCall(id self, SEL _cmd) {
  if (enableDebugLogging) NSLog(log_lines::kPrepareToAnswerCall);
  increaseVolumeIfNeeded();
  if (savedPrepareToAnswerCall) reinterpret_cast<NoArguments>(savedPrepareToAnswerCall)(self, _cmd);
}

void callStatusChanged(CFNotificationCenterRef, void*, CFNotificationName, const void*,
                       const Dictionary* userInfo) noexcept {
  const Value* status = userInfo ? userInfo->objectForKey(kCallStatusKey) : nullptr;
  // A status that is not a number, or a text without a leading integer, tells nothing.
  const bool known = status != nullptr && hasLeadingInteger(*status);
  // Status 1 (connected) and 5 (disconnected) end the ringing: exactly the values whose bit of
  // weight 4 cleared leaves 1.
  const bool ringEnds = known && (intValue(*status) & ~4) == 1;
  if (ringEnds) hostRingtone = HostRingtone::stopped;

  if (!isEnabled) {
    // Switched off during the ring: the end of the ring still undoes what an enabled check
    // started. Otherwise the notification is none of the monitor's business.
    TWVideoCaptureDelegate* probe = captureDelegate;
    const bool started = probe != nullptr && probe->ringInProgress();
    if (ringEnds && (started || volumeWasIncreased)) restoreRingtoneVolume();
    return;
  }
  if (!known) {
    NSLog(log_lines::kCallStatusUnknown);
    return;
  }
  currentPhoneState = intValue(*status);
  if (enableDebugLogging) {
    NSLog(log_lines::kCallStatus, currentPhoneState.load());
  }
  if (ringEnds) restoreRingtoneVolume();
}

}  // namespace tonewell::monitor

// The replacements of SBUserAgent's ringtone methods, the call-status callback, and the slots
// that hold the host's own implementations.
#pragma once

#include "platform/cf_notification_center.h"
#include "platform/objc_runtime.h"
#include "platform/value.h"

namespace tonewell::monitor {

using platform::id;
using platform::IMP;
using platform::SEL;

extern IMP savedStopRinging;
extern IMP savedPlayRingtoneAtPath;
extern IMP savedPlayRingtoneAtPathVibrationPattern;
extern IMP savedPrepareToAnswerCall;

// The replacements. Nothing of the monitor's own escapes them; an exception that the host's own
// implementation raises passes through them unchanged, after the step that must follow it.
void hookStopRinging(id self, SEL _cmd);
void hookPlayRingtoneAtPath(id self, SEL _cmd, id path);
void hookPlayRingtoneAtPathVibrationPattern(id self, SEL _cmd, id path, id vibrationPattern);
void hookPrepareToAnswerCall(id self, SEL _cmd);

void callStatusChanged(platform::CFNotificationCenterRef center, void* observer,
                       platform::CFNotificationName name, const void* object,
                       const platform::Dictionary* userInfo) noexcept;

}  // namespace tonewell::monitor

// The replacements of SBUserAgent's ringtone methods, the call-status callback, and the slots
// that hold the host's own implementations.
#pragma once

#include "platform/cf_notification_center.h"
#include "platform/objc_runtime.h"
#include "platform/value.h"

using platform::id;
using platform::IMP;
using platform::SEL;

extern IMP savedStopRinging;
extern IMP savedPlayRingtoneAtPath;
extern IMP savedPlayRingtoneAtPathVibrationPattern;
extern IMP savedPrepareToAnswerCall;

void hookStopRinging(id self, SEL _cmd) noexcept;
void hookPlayRingtoneAtPath(id self, SEL _cmd, id path) noexcept;
void hookPlayRingtoneAtPathVibrationPattern(id self, SEL _cmd, id path,
                                            id vibrationPattern) noexcept;
void hookPrepareToAnswerCall(id self, SEL _cmd) noexcept;

void callStatusChanged(platform::CFNotificationCenterRef center, void* observer,
                       platform::CFNotificationName name, const void* object,
                       const platform::Dictionary* userInfo) noexcept;

// The lines the monitor writes to the system log, each defined once: the monitor logs them from
// here, and the tools that read a phone's log (the importer, the replay's comparison) match them
// from here. A text with conversions is an NSLog format. Changing a text changes what old logs
// read as: keep them as they are.
#pragma once

#include <string_view>

namespace tonewell::monitor::log_lines {

// Every line of the monitor's own begins so; the host's hook lines do not.
inline constexpr std::string_view kTag = "TW: ";

// The hooked host methods, logged as the host's own calls.
inline constexpr std::string_view kStopRingingHook = "-[<SBUserAgent: %p> stopRinging]";
inline constexpr std::string_view kPlayRingtoneHook = "-[<SBUserAgent: %p> playRingtoneAtPath:%@]";
inline constexpr std::string_view kPlayRingtoneWithVibrationHook =
    "-[<SBUserAgent: %p> playRingtoneAtPath:%@ vibrationPattern:%@]";
inline constexpr std::string_view kPrepareToAnswerCall = "TW: prepareToAnswerCall";

// Start-up.
inline constexpr std::string_view kNoUserAgent =
    "TW: SBUserAgent not found, the monitor stays idle on this system.";
inline constexpr std::string_view kUserAgentLacks =
    "TW: SBUserAgent lacks %@, the monitor stays idle on this system.";

// The settings, loaded at each ring; the summary goes on "label:value, label:value, ...".
inline constexpr std::string_view kNoPreferences = "TW: unable to get preferences";
inline constexpr std::string_view kPreferencesError = "TW: preferences dictionary error";
inline constexpr std::string_view kSettingsSummary = "TW: settings are: ";

// The pocket check.
inline constexpr std::string_view kAccelerometerData =
    "TW: accelerometerdata: x:%f, y:%f, z:%f. Is device lying flat: %@ ";
inline constexpr std::string_view kHorizontal =
    "TW: device is horizontal, volume increase is disabled for that orientation in settings, not "
    "checking brightness.";

// The camera probe's set-up. Each failure says what failed, then what to do about it.
inline constexpr std::string_view kNoCameraDevice =
    "TW: unable to find selected camera device! Try selecting the other one in Settings/Tonewell.";
inline constexpr std::string_view kNoDeviceInput =
    "TW: unable to create camera device input! Try selecting the other one in Settings/Tonewell.";
inline constexpr std::string_view kInputRefused =
    "TW: unable to add input to session! Try selecting the other camera in Settings/Tonewell.";
inline constexpr std::string_view kOutputRefused =
    "TW: unable to add output to session! Try selecting the other camera in Settings/Tonewell.";
inline constexpr std::string_view kSessionOutOfMemory =
    "TW: unable to set up the camera session (out of memory).";
inline constexpr std::string_view kStoppingCapture = "TW: stopping capture session";

// Each judged frame (with debug logging on), or the frame that ends the probe without EXIF data.
inline constexpr std::string_view kNoExif = "TW: no EXIF attachments!";
inline constexpr std::string_view kAttachments = "TW: attachements: %@";
inline constexpr std::string_view kBrightness = "TW: brightness: %f";

// The raise, or why there is none.
inline constexpr std::string_view kRaised = "TW: ringing volume was increased.";
inline constexpr std::string_view kNoRingtonePlaying =
    "TW: no ringtone is playing, not increasing the volume.";
inline constexpr std::string_view kVolumeUnreadable =
    "TW: unable to read the ringtone volume, not increasing it.";
inline constexpr std::string_view kRecordUnwritable =
    "TW: unable to save the ringtone volume to %@, not increasing it.";
inline constexpr std::string_view kVolumeNotSet =
    "TW: unable to set the ringtone volume, not increasing it.";
inline constexpr std::string_view kAlreadyAtLevel =
    "TW: the ringtone volume is already at or above the in-pocket level, not changing it.";

// The three ways the person's volume comes back: a bright frame, the end of the ring, the
// start-up of a SpringBoard that ended while the volume was raised.
inline constexpr std::string_view kRestoredOutOfPocket =
    "TW: device taken out of the pocket, original volume restored.";
inline constexpr std::string_view kRestoringAtRingEnd =
    "TW: stopRinging, restoring the original volume.";
inline constexpr std::string_view kRestoredAfterRestart =
    "TW: SpringBoard ended while the ringtone volume was raised, original volume restored.";
// A restore that does not happen.
inline constexpr std::string_view kRestoreFailed =
    "TW: unable to restore the original ringtone volume, it stays saved for the next try.";
inline constexpr std::string_view kPersonsChangeKept =
    "TW: the ringtone volume was changed while it was raised, keeping it.";

// The end of the ring.
inline constexpr std::string_view kRingEndDisabled = "TW: stopRinging, TW is disabled.";
inline constexpr std::string_view kRingEndNotRaised = "TW: stopRinging, volume was not increased.";
inline constexpr std::string_view kCallStatus =
    "TW: kCTCallStatusChangeNotification, new state: %d";
inline constexpr std::string_view kCallStatusUnknown =
    "TW: kCTCallStatusChangeNotification cannot determine state!";

// The record of the person's volume, kept while it is raised.
inline constexpr std::string_view kRecordNotRemoved = "TW: unable to remove %@.";
inline constexpr std::string_view kRecordUnreadableRetry =
    "TW: unable to read the saved ringtone volume in %@, trying again before the next raise.";
inline constexpr std::string_view kRecordUnreadableRemoved =
    "TW: unable to read the saved ringtone volume in %@, removing it.";

// The part of a format before its first conversion: what every line of it begins with
// ("TW: brightness: " of "TW: brightness: %f").
constexpr std::string_view leadOf(std::string_view format) {
  return format.substr(0, format.find('%'));
}

// What a line says before its advice or its consequence ("TW: unable to add input to session!",
// "TW: the ringtone volume is already at or above the in-pocket level"): what a reader of the
// log knows it by, so that a line whose advice was reworded still reads.
constexpr std::string_view gistOf(std::string_view line) {
  const auto end = line.find_first_of("!,");
  if (end == std::string_view::npos) return line;
  return line.substr(0, line[end] == '!' ? end + 1 : end);
}

}  // namespace tonewell::monitor::log_lines

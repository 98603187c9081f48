// The "Ringtone" volume the monitor raises and puts back. The person's own volume is saved in
// memory (originalRingtoneVolume) and in a small record file of the monitor's own before the
// raise, so that it comes back even when the host process ends while the volume is raised.
// Every call here needs volumeMutex().
#pragma once

#include <string>

namespace tonewell::monitor {

// Two volumes that differ by less than half a volume-button step are the same: the phone may
// keep a set volume slightly rounded.
inline constexpr float kSameVolumeTolerance = 1.0f / 32.0f;

enum class RaiseResult {
  raised,
  notAbove,    // the person's volume is already at or above the in-pocket level
  readFailed,  // the volume could not be read: nothing right to put back later
};

// Raises the volume to `level`, but never lowers it: when a raise is outstanding and the
// volume is still the level it set, the person's saved volume counts as theirs.
RaiseResult raiseRingtoneVolumeTo(float level) noexcept;

enum class PutBackResult {
  nothingRaised,
  restored,
  keptPersonsChange,  // the person changed the volume while it was raised: theirs stays
};

// Ends an outstanding raise: the person's volume goes back while the volume is still the level
// the monitor set (or cannot be read). Clears volumeWasIncreased and removes the record.
PutBackResult putRingtoneVolumeBack() noexcept;

// At start-up: a record left behind means the host ended while the volume was raised. Puts the
// person's volume back if the volume is still the recorded level; removes the record. False
// (the record kept) when the volume could not be read, or the person's could not be set.
bool recoverRingtoneVolumeAfterRestart() noexcept;
// Start-up's recovery: when the volume cannot be read or set then, the record is kept and
// retryRingtoneVolumeRecovery (called at the start of every ring) tries again. Both under
// volumeMutex().
void recoverRingtoneVolumeAtStartUp() noexcept;
void retryRingtoneVolumeRecovery() noexcept;

// Where the record lives: <prefix>/<home>/Library/Tonewell/RingtoneVolume.plist.
std::string ringtoneVolumeRecordPath();

}  // namespace tonewell::monitor

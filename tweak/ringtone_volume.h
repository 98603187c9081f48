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
  notAbove,     // the person's volume is already at or above the in-pocket level
  readFailed,   // the volume could not be read: nothing right to put back later
  notRecorded,  // the person's volume could not be saved: a restart would lose it
  setFailed,    // the volume controller did not take the level
};

// Raises the volume to `level`, but never lowers it: when a raise is outstanding and the
// volume is still the level it set, the person's saved volume counts as theirs. The person's
// volume is recorded first; nothing is raised that is not recorded.
RaiseResult raiseRingtoneVolumeTo(float level) noexcept;

enum class PutBackResult {
  nothingRaised,
  restored,
  keptPersonsChange,  // the person changed the volume while it was raised: theirs stays
  setFailed,          // the volume controller did not take it: the raise stays outstanding
};

// Ends an outstanding raise: the person's volume goes back while the volume is still the level
// the monitor set (or cannot be read). Clears volumeWasIncreased and removes the record; when
// the volume cannot be set, both stay for the next end of a ring or the next start-up.
PutBackResult putRingtoneVolumeBack() noexcept;

// At start-up: a record left behind means the host ended while the volume was raised. Puts the
// person's volume back if the volume is still the recorded level (a failed set leaves the raise
// outstanding in this process) and removes the record. A record that cannot be read is kept and
// read again before the next raise, which would otherwise write over it. A volume that cannot be
// read yet (the media server may not answer while the host loads) keeps the record for
// retryRingtoneVolumeRecovery, which the start of every ring calls.
void recoverRingtoneVolumeAfterRestart() noexcept;
void retryRingtoneVolumeRecovery() noexcept;

// Where the record lives: <prefix>/<home>/Library/Tonewell/RingtoneVolume.plist.
std::string ringtoneVolumeRecordPath();

}  // namespace tonewell::monitor

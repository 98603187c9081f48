// The end of a ring: stopRinging, or a call status of 1 or 5.
#pragma once

namespace tonewell::monitor {

// Cancels the probe's pending requests, stops its camera and puts back a volume it raised, so
// that when this returns the volume is the person's and no frame of that ring can raise it.
// While the monitor is switched off it still undoes what an enabled check of the ring started.
void restoreRingtoneVolume() noexcept;

}  // namespace tonewell::monitor

#pragma once

namespace tonewell::monitor {
// Creates the probe and the motion manager, takes the first settings snapshot, replaces the
// ringtone methods of SBUserAgent and subscribes to call-status changes.
void initializeMonitor() noexcept;

}  // namespace tonewell::monitor

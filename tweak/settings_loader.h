// The settings snapshot: read from the preferences domain at start-up and at every pocket check
// into the settings of shared_variables.def.
#pragma once

namespace tonewell::monitor {

// Reads every setting from the preferences domain. A domain that cannot be read (no key list,
// no values) keeps the previous snapshot and says so; an absent key takes its fallback.
void loadSettings() noexcept;

}  // namespace tonewell::monitor

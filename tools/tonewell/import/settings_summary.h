// The monitor's "settings are" line read back: the settings a ring ran with.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tonewell::monitor_message {

// Preference keys and their YAML values, in the monitor's order.
using Settings = std::vector<std::pair<std::string, std::string>>;

// The settings of a summary ("enabled:y, delay:2.000000, ..."); numbers out of a setting's range
// are clamped, as the monitor clamps what it reads.
Settings settingsOf(std::string_view summary);

// The setting `key` of the summary (a switch as 1 or 0), else the monitor's default for it (0 for
// a key the monitor does not have).
double settingOr(const Settings& settings, std::string_view key);

}  // namespace tonewell::monitor_message

// `--set KEY=VALUE`: one setting changed for one replay, on top of the scenario's preferences.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "scenario.h"

namespace tonewell {

// Stores the setting in the scenario's preferences, or says why it cannot: an unknown key, or a
// value the setting does not take (as `tonewell settings set` takes it: setting_values.h).
std::optional<std::string> overrideSetting(Scenario& scenario, std::string_view assignment);

}  // namespace tonewell

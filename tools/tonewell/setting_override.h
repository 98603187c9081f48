// `--set KEY=VALUE`: one setting changed for one replay, on top of the scenario's preferences.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "scenario.h"

namespace tonewell {

// Stores the setting in the scenario's preferences, or says why it cannot: an unknown key, or a
// value the setting does not take (a switch takes true/false, yes/no, on/off or 1/0; the others
// a number).
std::optional<std::string> overrideSetting(Scenario& scenario, std::string_view assignment);

}  // namespace tonewell

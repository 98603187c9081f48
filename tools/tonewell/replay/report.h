// What a replay shows: the human report for a terminal, and the machine-readable JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "replay.h"

namespace tonewell {

std::string humanReport(const ReplayResult& result);

// The JSON result: {"scenario", "log", "initialVolume", "volume", "camera", "final"}. Numbers read
// back to the same value: a 32-bit float in its shortest single-precision form, a double in its
// shortest double form.
std::string jsonReport(const ReplayResult& result);
// The same, as a JSON value, for a command that adds to it.
nlohmann::ordered_json jsonResult(const ReplayResult& result);

}  // namespace tonewell

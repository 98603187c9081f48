// The monitor's settings as people type them and as the monitor reads them: the one parser that
// `tonewell settings set` and `run --set` share, and what the monitor makes of a stored value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/value.h"

namespace tonewell {

struct Setting {
  std::string key;
  bool isSwitch = false;
  double fallback = 0;  // the value while the key is absent (1 or 0 for a switch)
  double low = 0, high = 0;
};

// The settings in the order the monitor reads them.
const std::vector<Setting>& monitorSettings();
// The setting stored under `key`, or null.
const Setting* findSetting(std::string_view key);
// "enabled, enableDebugLogging, ..."
std::string settingKeys();

// What the setting takes, for messages: "on or off (also ...)", "a number from -10 to 2".
std::string whatItTakes(const Setting& setting);

// The value stored for what a person typed, or why it is not taken. A switch takes on/off,
// yes/no, true/false and 1/0 in any case (the camera also front/back); a number, a decimal
// number with an optional sign within the setting's range ("-0" is 0).
std::variant<platform::Value, std::string> parseSettingValue(const Setting& setting,
                                                             std::string_view text);

// What the monitor uses when `stored` is stored under the setting's key (null: nothing is): a
// boolean, or the number as the monitor holds it (single precision, within the range).
platform::Value monitorReads(const Setting& setting, const platform::Value* stored);

// A value the monitor uses, as the command shows it: "on"/"off", "front"/"back", a number in
// the fewest digits of its single precision ("0.8").
std::string shownAsUsed(const Setting& setting, const platform::Value& used);

// How the monitor reads `stored` when that is not simply what is stored ("stored \"dark\",
// which the monitor reads as 0"); none when it reads it as stored.
std::optional<std::string> howTheMonitorReads(const Setting& setting,
                                              const platform::Value& stored);

}  // namespace tonewell

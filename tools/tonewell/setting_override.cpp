#include "setting_override.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <type_traits>

namespace tonewell {
namespace {

std::optional<platform::Value> switchValue(std::string_view text) {
  if (text == "true" || text == "yes" || text == "on" || text == "1") return platform::Value(true);
  if (text == "false" || text == "no" || text == "off" || text == "0") {
    return platform::Value(false);
  }
  return std::nullopt;
}

std::optional<platform::Value> numberValue(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return platform::Value(value);
}

}  // namespace

std::optional<std::string> overrideSetting(Scenario& scenario, std::string_view assignment) {
  const auto equals = assignment.find('=');
  if (equals == std::string_view::npos) {
    return fmt::format("--set {}: takes KEY=VALUE", assignment);
  }
  const std::string_view key = assignment.substr(0, equals);
  const std::string_view text = assignment.substr(equals + 1);
  std::optional<platform::Value> value;
  bool known = false;
  bool isSwitch = false;
#define TW_SETTING(variable, settingKey, type, fallback, low, high, summary) \
  if (key == settingKey) {                                                   \
    known = true;                                                            \
    isSwitch = std::is_same_v<type, bool>;                                   \
  }
#include "shared_variables.def"
#undef TW_SETTING
  if (!known) {
    std::string keys;
#define TW_SETTING(variable, settingKey, type, fallback, low, high, summary) \
  keys += keys.empty() ? settingKey : ", " settingKey;
#include "shared_variables.def"
#undef TW_SETTING
    return fmt::format("--set {}: no setting \"{}\" (the settings: {})", assignment, key, keys);
  }
  value = isSwitch ? switchValue(text) : numberValue(text);
  if (!value) {
    return fmt::format("--set {}: {} takes {}, not \"{}\"", assignment, key,
                       isSwitch ? "true or false" : "a number", text);
  }
  if (!scenario.preferences) scenario.preferences = platform::Dictionary{};
  scenario.preferences->setObjectForKey(*value, key);
  return std::nullopt;
}

}  // namespace tonewell

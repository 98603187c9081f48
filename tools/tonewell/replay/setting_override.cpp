#include "setting_override.h"

#include <fmt/format.h>

#include "setting_values.h"

namespace tonewell {

std::optional<std::string> overrideSetting(Scenario& scenario, std::string_view assignment) {
  const auto equals = assignment.find('=');
  if (equals == std::string_view::npos) {
    return fmt::format("--set {}: takes KEY=VALUE", assignment);
  }
  const std::string_view key = assignment.substr(0, equals);
  const Setting* setting = findSetting(key);
  if (setting == nullptr) {
    return fmt::format("--set {}: no setting \"{}\" (the settings: {})", assignment, key,
                       settingKeys());
  }
  auto parsed = parseSettingValue(*setting, assignment.substr(equals + 1));
  if (const auto* refused = std::get_if<std::string>(&parsed)) {
    return fmt::format("--set {}: {}", assignment, *refused);
  }
  if (!scenario.preferences) scenario.preferences = platform::Dictionary{};
  scenario.preferences->setObjectForKey(std::get<platform::Value>(parsed), key);
  return std::nullopt;
}

}  // namespace tonewell

#include "settings_summary.h"

#include <algorithm>
#include <map>
#include <type_traits>

#include "monitor_message.h"
#include "setting_values.h"
#include "yaml_text.h"

namespace tonewell::monitor_message {

Settings settingsOf(std::string_view summary) {
  std::map<std::string, std::string, std::less<>> given;
  std::size_t at = 0;
  while (at < summary.size()) {
    std::size_t end = summary.find(", ", at);
    if (end == std::string_view::npos) end = summary.size();
    const std::string_view item = summary.substr(at, end - at);
    if (const auto colon = item.find(':'); colon != std::string_view::npos) {
      given[std::string(item.substr(0, colon))] = std::string(item.substr(colon + 1));
    }
    at = end + 2;
  }
  Settings settings;
  // Numbers out of a setting's range are clamped, as the monitor clamps what it reads.
  auto add = [&](const char* summaryName, const char* key, bool isSwitch, double low, double high) {
    const auto found = given.find(summaryName);
    if (found == given.end()) return;
    if (isSwitch) {
      if (found->second == "y" || found->second == "n") {
        settings.emplace_back(key, found->second == "y" ? "true" : "false");
      }
      return;
    }
    if (const auto value = numberAfter<double>(found->second, "")) {
      settings.emplace_back(key, yamlNumber(std::clamp(*value, low, high)));
    }
  };
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  if (*summary) add(summary, key, std::is_same_v<type, bool>, low, high);
#include "shared_variables.def"
#undef TW_SETTING
  return settings;
}

double settingOr(const Settings& settings, std::string_view key) {
  // settingsOf writes numbers as numbers and switches as "true" or "false".
  for (const auto& [k, v] : settings) {
    if (k != key) continue;
    if (v == "true" || v == "false") return v == "true" ? 1 : 0;
    if (const auto value = numberAfter<double>(v, "")) return *value;
  }
  const Setting* setting = findSetting(key);
  return setting ? setting->fallback : 0;
}

}  // namespace tonewell::monitor_message

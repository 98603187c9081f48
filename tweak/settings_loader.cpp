#include "settings_loader.h"

#include <string>
#include <vector>

#include "log_lines.h"
#include "platform/cf_preferences.h"
#include "platform/ns_log.h"
#include "preferences_domain.h"
#include "setting_reading.h"
#include "shared_state.h"

namespace tonewell::monitor {

using platform::Dictionary;
using platform::LogArgument;
using platform::NSLog;
using platform::Value;

namespace {

// The summary's part for one setting: "label:%@" with y or n for a switch, "label:%f" for a
// number; nothing for a setting without a label.
void addToSummary(std::string& format, std::vector<LogArgument>& args, const char* label,
                  LogArgument value, const char* conversion) {
  if (*label == '\0') return;
  format += std::string(args.empty() ? "" : ", ") + label + conversion;
  args.push_back(std::move(value));
}

void addToSummary(std::string& format, std::vector<LogArgument>& args, const char* label,
                  bool value) {
  addToSummary(format, args, label, platform::toLogArgument(value ? "y" : "n"), ":%@");
}

template <typename Number>
void addToSummary(std::string& format, std::vector<LogArgument>& args, const char* label,
                  Number value) {
  addToSummary(format, args, label, platform::toLogArgument(static_cast<double>(value)), ":%f");
}

}  // namespace

void loadSettings() noexcept {
  try {
    const auto keys = platform::CFPreferencesCopyKeyList(
        preferencesDomain, platform::kCFPreferencesCurrentUser, platform::kCFPreferencesAnyHost);
    if (!keys) {
      NSLog(log_lines::kNoPreferences);
      return;
    }
    const auto values = platform::CFPreferencesCopyMultiple(*keys, preferencesDomain,
                                                            platform::kCFPreferencesCurrentUser,
                                                            platform::kCFPreferencesAnyHost);
    if (!values) {
      NSLog(log_lines::kPreferencesError);
      return;
    }

    // Each key is stored at once, in the table's order, and every key is assigned at every load:
    // a key removed from the domain sends its variable back to the default.
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  variable = readSetting<type>(values->objectForKey(key), static_cast<type>(fallback), low, high);
#include "shared_variables.def"
#undef TW_SETTING

    if (enableDebugLogging) {
      std::string format(log_lines::kSettingsSummary);
      std::vector<LogArgument> args;
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  addToSummary(format, args, summary, variable.load());
#include "shared_variables.def"
#undef TW_SETTING
      platform::NSLogv(format, args);
    }
  } catch (...) {
    // Nothing the loader calls throws; keep the previous snapshot if anything ever does.
  }
}

}  // namespace tonewell::monitor

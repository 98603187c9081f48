#include "settings_loader.h"

#include <cmath>
#include <string>
#include <vector>

#include "platform/cf_preferences.h"
#include "platform/ns_log.h"
#include "preferences_domain.h"
#include "shared_state.h"

namespace tonewell::monitor {

using platform::Dictionary;
using platform::LogArgument;
using platform::NSLog;
using platform::Value;

namespace {

// A stored value the conversions cannot take (an array, a dictionary, a date, data) counts as
// absent: its key takes the default.
const Value* storedScalar(const Dictionary& values, const char* key) {
  const Value* value = values.objectForKey(key);
  return value && platform::hasScalarConversions(*value) ? value : nullptr;
}

// One setting as its type reads it. A number is kept within the range its row in the Settings
// pane offers, and one that is not finite takes the fallback: a hand-edited domain must not make
// every frame dark or keep the camera from ever starting.
template <typename T>
T readSetting(const Dictionary& values, const char* key, T fallback, double low, double high);

template <>
bool readSetting(const Dictionary& values, const char* key, bool fallback, double, double) {
  const Value* value = storedScalar(values, key);
  return value ? platform::boolValue(*value) : fallback;
}

template <>
float readSetting(const Dictionary& values, const char* key, float fallback, double low,
                  double high) {
  const Value* value = storedScalar(values, key);
  const float f = value ? platform::floatValue(*value) : NAN;
  if (!std::isfinite(f)) return fallback;
  return std::fmin(std::fmax(f, static_cast<float>(low)), static_cast<float>(high));
}

// A stored double passes through single precision, as the platform's floatValue reads it; the
// fallback stays the exact double (a stored 0.8 gives 0.800000011920929, the default 0.8).
template <>
double readSetting(const Dictionary& values, const char* key, double fallback, double low,
                   double high) {
  const float f = readSetting<float>(values, key, NAN, low, high);
  return std::isfinite(f) ? static_cast<double>(f) : fallback;
}

// "label:%@" with y or n for a switch, "label:%f" for a number.
void addToSummary(std::string& format, std::vector<LogArgument>& args, const char* label,
                  bool value) {
  format += std::string(args.empty() ? "" : ", ") + label + ":%@";
  args.push_back(platform::toLogArgument(value ? "y" : "n"));
}

template <typename Number>
void addToSummary(std::string& format, std::vector<LogArgument>& args, const char* label,
                  Number value) {
  format += std::string(args.empty() ? "" : ", ") + label + ":%f";
  args.push_back(platform::toLogArgument(static_cast<double>(value)));
}

}  // namespace

void loadSettings() noexcept {
  try {
    const auto keys = platform::CFPreferencesCopyKeyList(
        preferencesDomain, platform::kCFPreferencesCurrentUser, platform::kCFPreferencesAnyHost);
    if (!keys) {
      NSLog("TW: unable to get preferences");
      return;
    }
    const auto values = platform::CFPreferencesCopyMultiple(*keys, preferencesDomain,
                                                            platform::kCFPreferencesCurrentUser,
                                                            platform::kCFPreferencesAnyHost);
    if (!values) {
      NSLog("TW: preferences dictionary error");
      return;
    }

    // Each key is stored at once, in the table's order, and every key is assigned at every load:
    // a key removed from the domain sends its variable back to the default.
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  variable = readSetting<type>(*values, key, static_cast<type>(fallback), low, high);
#include "shared_variables.def"
#undef TW_SETTING

    if (enableDebugLogging) {
      std::string format = "TW: settings are: ";
      std::vector<LogArgument> args;
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  if (*summary) addToSummary(format, args, summary, variable.load());
#include "shared_variables.def"
#undef TW_SETTING
      platform::NSLogv(format, args);
    }
  } catch (...) {
    // Nothing the loader calls throws; keep the previous snapshot if anything ever does.
  }
}

}  // namespace tonewell::monitor

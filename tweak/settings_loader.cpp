// The settings snapshot: read from the preferences domain at start-up and at every pocket check.
#include <cmath>
#include <optional>

#include "platform/cf_preferences.h"
#include "platform/ns_log.h"
#include "preferences_domain.h"
#include "shared_state.h"

using platform::Dictionary;
using platform::NSLog;
using platform::Value;

namespace {

// A stored value the conversions cannot take (an array, a dictionary, a date, data) counts as
// absent: its key takes the default.
const Value* storedScalar(const Dictionary& values, const char* key) {
  const Value* value = values.objectForKey(key);
  return value && platform::hasScalarConversions(*value) ? value : nullptr;
}

bool readBool(const Dictionary& values, const char* key, bool fallback) {
  const Value* value = storedScalar(values, key);
  return value ? platform::boolValue(*value) : fallback;
}

// A float setting within the range its row in the Settings pane offers: a stored value that is
// not finite takes the default, one outside the range the nearest bound (a hand-edited domain
// must not make every frame dark or keep the camera from ever starting).
float readFloat(const Dictionary& values, const char* key, float fallback, float low, float high) {
  const Value* value = storedScalar(values, key);
  if (value == nullptr) return fallback;
  const float f = platform::floatValue(*value);
  return std::isfinite(f) ? std::fmin(std::fmax(f, low), high) : fallback;
}

const char* yesNo(bool b) {
  return b ? "y" : "n";
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

    // Each key is stored at once, in this order, and every key is assigned at every load: a key
    // removed from the domain sends its variable back to the default.
    isEnabled = readBool(*values, "enabled", true);
    enableDebugLogging = readBool(*values, "enableDebugLogging", false);
    useFrontCamera = readBool(*values, "useFrontCamera", true);
    increaseVolumeDelay = readFloat(*values, "increaseVolumeDelay", 2.0f, 0.0f, 10.0f);
    // Stored volumes pass through single precision; the default is the exact double 0.8.
    const Value* volume = storedScalar(*values, "ringingVolumeWhileInPocket");
    const float stored = volume ? platform::floatValue(*volume) : NAN;
    ringingVolumeWhileInPocket =
        std::isfinite(stored) ? static_cast<double>(std::fmin(std::fmax(stored, 0.0f), 1.0f)) : 0.8;
    pocketBrightness = readFloat(*values, "pocketBrightness", -4.0f, -10.0f, 2.0f);
    increaseVolumeIfHorizontal = readBool(*values, "increaseVolumeIfHorizontal", false);

    if (enableDebugLogging) {
      NSLog("TW: settings are: enabled:%@, delay:%f, volume:%f, brightness:%f, horizontal:%@",
            yesNo(isEnabled), static_cast<double>(increaseVolumeDelay.load()),
            ringingVolumeWhileInPocket.load(), static_cast<double>(pocketBrightness.load()),
            yesNo(increaseVolumeIfHorizontal));
    }
  } catch (...) {
    // Nothing the loader calls throws; keep the previous snapshot if anything ever does.
  }
}

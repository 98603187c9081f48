// How the monitor reads one stored setting: the one definition the settings loader uses and the
// tools show ("what the monitor will use"). Portable: also compiled for the phone.
#pragma once

#include <cmath>

#include "platform/value.h"

namespace tonewell::monitor {

// A stored value the conversions cannot take (an array, a dictionary, a date, data) counts as
// absent: its key takes the default.
inline const platform::Value* storedScalar(const platform::Value* stored) {
  return stored && platform::hasScalarConversions(*stored) ? stored : nullptr;
}

// One setting as its type reads it. A number is kept within the range its row in the Settings
// pane offers, and one that is not finite takes the fallback: a hand-edited domain must not make
// every frame dark or keep the camera from ever starting.
template <typename T>
T readSetting(const platform::Value* stored, T fallback, double low, double high);

template <>
inline bool readSetting(const platform::Value* stored, bool fallback, double, double) {
  const platform::Value* value = storedScalar(stored);
  return value ? platform::boolValue(*value) : fallback;
}

template <>
inline float readSetting(const platform::Value* stored, float fallback, double low, double high) {
  const platform::Value* value = storedScalar(stored);
  const float f = value ? platform::floatValue(*value) : NAN;
  if (!std::isfinite(f)) return fallback;
  return std::fmin(std::fmax(f, static_cast<float>(low)), static_cast<float>(high));
}

// A stored double passes through single precision, as the platform's floatValue reads it; the
// fallback stays the exact double (a stored 0.8 gives 0.800000011920929, the default 0.8).
template <>
inline double readSetting(const platform::Value* stored, double fallback, double low, double high) {
  const float f = readSetting<float>(stored, NAN, low, high);
  return std::isfinite(f) ? static_cast<double>(f) : fallback;
}

}  // namespace tonewell::monitor

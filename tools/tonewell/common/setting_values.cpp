#include "setting_values.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <type_traits>

#include "setting_reading.h"
#include "terminal_text.h"

namespace tonewell {

namespace {

using platform::Value;

// The words of a switch, each with the value it stores.
constexpr std::pair<std::string_view, bool> kSwitchWords[] = {
    {"on", true},   {"off", false},   {"yes", true}, {"no", false},
    {"true", true}, {"false", false}, {"1", true},   {"0", false},
};
// The camera's own words: the titles of its row in the Settings pane.
constexpr std::string_view kCameraKey = "useFrontCamera";
constexpr std::pair<std::string_view, bool> kCameraWords[] = {{"front", true}, {"back", false}};

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool isCamera(const Setting& setting) {
  return setting.key == kCameraKey;
}

// How the monitor reads a stored value under each key, as its loader does.
Value readAs(const Setting& setting, const Value* stored) {
#define TW_SETTING(variable, settingKey, type, fallback, low, high, summary)                       \
  if (setting.key == settingKey) {                                                                 \
    const type value = monitor::readSetting<type>(stored, static_cast<type>(fallback), low, high); \
    if constexpr (std::is_same_v<type, bool>) {                                                    \
      return Value(value);                                                                         \
    } else {                                                                                       \
      return Value(static_cast<double>(value));                                                    \
    }                                                                                              \
  }
#include "shared_variables.def"
#undef TW_SETTING
  return Value();
}

std::string shownNumber(double d) {
  return fmt::format("{}", static_cast<float>(d));
}

}  // namespace

const std::vector<Setting>& monitorSettings() {
  static const std::vector<Setting> settings = {
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  {key, std::is_same_v<type, bool>, static_cast<double>(fallback), low, high},
#include "shared_variables.def"
#undef TW_SETTING
  };
  return settings;
}

const Setting* findSetting(std::string_view key) {
  for (const Setting& setting : monitorSettings()) {
    if (setting.key == key) return &setting;
  }
  return nullptr;
}

std::string settingKeys() {
  std::string keys;
  for (const Setting& setting : monitorSettings()) {
    keys += (keys.empty() ? "" : ", ") + setting.key;
  }
  return keys;
}

std::string whatItTakes(const Setting& setting) {
  if (isCamera(setting)) return "front or back (also on/off, yes/no, true/false, 1/0)";
  if (setting.isSwitch) return "on or off (also yes/no, true/false, 1/0)";
  return fmt::format("a number from {} to {}", setting.low, setting.high);
}

std::variant<Value, std::string> parseSettingValue(const Setting& setting, std::string_view text) {
  const auto refused = [&] {
    return fmt::format("{} takes {}, not \"{}\"", setting.key, whatItTakes(setting),
                       printable(text));
  };
  if (setting.isSwitch) {
    const std::string word = lower(text);
    if (isCamera(setting)) {
      for (const auto& [w, value] : kCameraWords) {
        if (word == w) return Value(value);
      }
    }
    for (const auto& [w, value] : kSwitchWords) {
      if (word == w) return Value(value);
    }
    return refused();
  }
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;
  double number = 0;
  const auto [last, error] = std::from_chars(begin, end, number);
  if (begin == end || error != std::errc{} || last != end || !std::isfinite(number) ||
      number < setting.low || number > setting.high) {
    return refused();
  }
  return Value(number == 0 ? 0.0 : number);  // "-0" is stored as 0
}

Value monitorReads(const Setting& setting, const Value* stored) {
  return readAs(setting, stored);
}

std::string shownAsUsed(const Setting& setting, const Value& used) {
  if (const bool* b = used.getIf<bool>()) {
    if (isCamera(setting)) return *b ? "front" : "back";
    return *b ? "on" : "off";
  }
  return shownNumber(platform::doubleValue(used));
}

std::optional<std::string> howTheMonitorReads(const Setting& setting, const Value& stored) {
  const Value used = monitorReads(setting, &stored);
  const std::string shownStored = stored.getIf<std::string>()
                                      ? "\"" + printable(*stored.getIf<std::string>()) + "\""
                                      : printable(onOneLine(platform::description(stored)));
  if (!platform::hasScalarConversions(stored)) {
    return fmt::format("stored {}, which the monitor ignores: it uses the default {}", shownStored,
                       shownAsUsed(setting, used));
  }
  if (setting.isSwitch) {
    if (stored.getIf<bool>()) return std::nullopt;
    return fmt::format("stored {}, which the monitor reads as {}", shownStored,
                       shownAsUsed(setting, used));
  }
  const bool isNumber = stored.getIf<double>() || stored.getIf<std::int64_t>();
  const double number = platform::doubleValue(stored);
  if (isNumber && std::isfinite(number) && number >= setting.low && number <= setting.high) {
    return std::nullopt;
  }
  const float reading = platform::floatValue(stored);
  if (!std::isfinite(reading)) {
    return fmt::format("stored {}, which the monitor ignores: it uses the default {}", shownStored,
                       shownAsUsed(setting, used));
  }
  if (reading < setting.low || reading > setting.high) {
    return fmt::format("stored {}, which the monitor holds to {}", shownStored,
                       shownAsUsed(setting, used));
  }
  return fmt::format("stored {}, which the monitor reads as {}", shownStored,
                     shownAsUsed(setting, used));
}

}  // namespace tonewell

// How people type the monitor's settings, and what the monitor makes of what is stored: the
// words and numbers taken, those refused with what the setting takes, and the stored values the
// monitor reads otherwise than as stored.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

#include "platform/value.h"
#include "setting_values.h"

namespace {

using namespace tonewell;
using platform::Value;

const Setting& setting(std::string_view key) {
  const Setting* found = findSetting(key);
  EXPECT_NE(found, nullptr) << key;
  return *found;
}

std::optional<Value> taken(std::string_view key, std::string_view text) {
  auto result = parseSettingValue(setting(key), text);
  if (const Value* value = std::get_if<Value>(&result)) return *value;
  return std::nullopt;
}

std::string refusal(std::string_view key, std::string_view text) {
  auto result = parseSettingValue(setting(key), text);
  const std::string* why = std::get_if<std::string>(&result);
  return why ? *why : "(taken)";
}

TEST(SettingValuesTest, TheTableIsTheMonitorsInItsOrder) {
  EXPECT_EQ(settingKeys(),
            "enabled, enableDebugLogging, useFrontCamera, increaseVolumeDelay, "
            "ringingVolumeWhileInPocket, pocketBrightness, increaseVolumeIfHorizontal");
  EXPECT_EQ(findSetting("Enabled"), nullptr) << "keys are matched exactly";
  EXPECT_EQ(findSetting(""), nullptr);
  for (const Setting& s : monitorSettings()) {
    EXPECT_LE(s.low, s.fallback) << s.key;
    EXPECT_GE(s.high, s.fallback) << s.key;
    // The default, typed back, is taken as itself.
    const std::string typed = shownAsUsed(s, monitorReads(s, nullptr));
    const auto value = taken(s.key, typed);
    ASSERT_TRUE(value) << s.key << " " << typed;
    EXPECT_EQ(shownAsUsed(s, monitorReads(s, &*value)), typed) << s.key;
  }
}

TEST(SettingValuesTest, SwitchesTakeTheirWordsInAnyCase) {
  for (const char* on : {"on", "ON", "Yes", "true", "TRUE", "1"}) {
    EXPECT_EQ(taken("enabled", on), Value(true)) << on;
  }
  for (const char* off : {"off", "No", "false", "fAlSe", "0"}) {
    EXPECT_EQ(taken("increaseVolumeIfHorizontal", off), Value(false)) << off;
  }
  EXPECT_EQ(taken("useFrontCamera", "Front"), Value(true));
  EXPECT_EQ(taken("useFrontCamera", "back"), Value(false));
  EXPECT_EQ(taken("useFrontCamera", "off"), Value(false));
  for (const char* word : {"", " on", "on ", "y", "n", "2", "01", "enabled", "front"}) {
    EXPECT_FALSE(taken("enabled", word)) << '"' << word << '"';
  }
  EXPECT_EQ(refusal("enabled", "front"),
            "enabled takes on or off (also yes/no, true/false, 1/0), not \"front\"");
  EXPECT_EQ(refusal("useFrontCamera", "left"),
            "useFrontCamera takes front or back (also on/off, yes/no, true/false, 1/0), not "
            "\"left\"");
}

TEST(SettingValuesTest, NumbersAreTakenWithinTheirRangeEdgesIncluded) {
  EXPECT_EQ(taken("increaseVolumeDelay", "0"), Value(0.0));
  EXPECT_EQ(taken("increaseVolumeDelay", "10"), Value(10.0));
  EXPECT_EQ(taken("increaseVolumeDelay", "+2.5"), Value(2.5));
  EXPECT_EQ(taken("increaseVolumeDelay", ".5"), Value(0.5));
  EXPECT_EQ(taken("pocketBrightness", "-10"), Value(-10.0));
  EXPECT_EQ(taken("pocketBrightness", "2"), Value(2.0));
  const auto negativeZero = taken("ringingVolumeWhileInPocket", "-0");
  ASSERT_TRUE(negativeZero);
  ASSERT_TRUE(negativeZero->getIf<double>());
  EXPECT_FALSE(std::signbit(*negativeZero->getIf<double>())) << "stored as 0, not -0";
  for (const char* text : {"10.000001", "-0.000001", "", "+", "-", "++1", "+-1", " 1", "1 ", "1,5",
                           "0x1", "nan", "inf", "-inf", "1e999", "two"}) {
    EXPECT_FALSE(taken("increaseVolumeDelay", text)) << '"' << text << '"';
  }
  EXPECT_EQ(refusal("pocketBrightness", "3"),
            "pocketBrightness takes a number from -10 to 2, not \"3\"");
  EXPECT_EQ(whatItTakes(setting("ringingVolumeWhileInPocket")), "a number from 0 to 1");
}

TEST(SettingValuesTest, TheMonitorHoldsNumbersInSinglePrecisionWithinTheRange) {
  const Setting& volume = setting("ringingVolumeWhileInPocket");
  EXPECT_EQ(monitorReads(volume, nullptr), Value(0.8)) << "the default stays the exact double";
  const Value stored(0.8);
  EXPECT_EQ(monitorReads(volume, &stored), Value(static_cast<double>(0.8f)));
  EXPECT_EQ(shownAsUsed(volume, monitorReads(volume, &stored)), "0.8");
  const Value tooLoud(3.0), notANumber(std::nan("")), text("0.25");
  EXPECT_EQ(monitorReads(volume, &tooLoud), Value(1.0));
  EXPECT_EQ(monitorReads(volume, &notANumber), Value(0.8));
  EXPECT_EQ(monitorReads(volume, &text), Value(0.25));
  const Value list{platform::Array{}};
  EXPECT_EQ(monitorReads(volume, &list), Value(0.8)) << "a list counts as absent";
  EXPECT_EQ(monitorReads(setting("enabled"), &list), Value(true));
}

TEST(SettingValuesTest, OnlyStoredValuesTheMonitorReadsOtherwiseAreExplained) {
  const Setting& delay = setting("increaseVolumeDelay");
  EXPECT_EQ(howTheMonitorReads(delay, Value(3.0)), std::nullopt);
  EXPECT_EQ(howTheMonitorReads(delay, Value(10)), std::nullopt) << "an integer is a number";
  EXPECT_EQ(howTheMonitorReads(delay, Value(12.0)), "stored 12, which the monitor holds to 10");
  EXPECT_EQ(howTheMonitorReads(delay, Value("4")), "stored \"4\", which the monitor reads as 4");
  EXPECT_EQ(howTheMonitorReads(delay, Value(std::nan(""))),
            "stored nan, which the monitor ignores: it uses the default 2");
  EXPECT_EQ(howTheMonitorReads(setting("enabled"), Value(false)), std::nullopt);
  EXPECT_EQ(howTheMonitorReads(setting("enabled"), Value(0)),
            "stored 0, which the monitor reads as off");
  EXPECT_EQ(howTheMonitorReads(setting("useFrontCamera"), Value("no")),
            "stored \"no\", which the monitor reads as back");
}

}  // namespace

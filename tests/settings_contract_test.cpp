// The contract between the two deliverables: every row of the pane's specifier list is bound to
// a key the monitor reads, in the monitor's domain, with a control of the key's type and the
// monitor's own default.
#include <set>
#include <type_traits>
#include <vector>

#include "monitor_fixture.h"
#include "platform/preferences_framework.h"
#include "setting_values.h"

namespace {

using platform::Dictionary;
using platform::Value;

// The monitor's table of settings, as the monitor itself reads it.
struct Setting {
  const char* key;
  bool isSwitch;
  double fallback, low, high;
};
const Setting kSettings[] = {
#define TW_SETTING(variable, key, type, fallback, low, high, summary) \
  {key, std::is_same_v<type, bool>, static_cast<double>(fallback), low, high},
#include "shared_variables.def"
#undef TW_SETTING
};

// Every setting as the monitor holds it; the volume as the volume controller gets it (a stored
// 0.8 passes through single precision, where the default is the exact double).
std::vector<double> snapshot() {
  std::vector<double> values;
#define TW_SETTING(variable, key, type, ...)                                          \
  values.push_back(std::is_same_v<type, double> ? static_cast<float>(variable.load()) \
                                                : static_cast<double>(variable.load()));
#include "shared_variables.def"
#undef TW_SETTING
  return values;
}

class SettingsContractTest : public testing_support::MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    list_.setBundlePath(TONEWELL_PREFS_RESOURCES);
    rows_ = list_.loadSpecifiersFromPlistNameTarget("TonewellPrefs", &list_);
    ASSERT_NE(rows_, nullptr);
  }
  platform::PSListController list_;
  std::shared_ptr<platform::SpecifierArray> rows_;
};

// A row for each setting of the table and no other, of the setting's kind, with the table's
// default and, for a number, the table's range: a change to one without the other fails here.
TEST_F(SettingsContractTest, TheRowsAndTheMonitorsTableAgree) {
  std::set<std::string> seen;
  for (const auto& row : *rows_) {
    const std::string key = row->property("key");
    if (key.empty()) continue;
    seen.insert(key);
    const Setting* setting = nullptr;
    for (const Setting& s : kSettings) {
      if (key == s.key) setting = &s;
    }
    ASSERT_NE(setting, nullptr) << "a row for a key the monitor does not read: " << key;
    EXPECT_EQ(row->property("defaults"), preferencesDomain) << key;
    const std::string cell = row->property("cell");
    const Value* fallback = row->properties().objectForKey("default");
    ASSERT_NE(fallback, nullptr) << key;
    if (setting->isSwitch) {
      EXPECT_TRUE(cell == "PSSwitchCell" || cell == "PSSegmentCell") << key << ": " << cell;
      EXPECT_EQ(platform::boolValue(*fallback), setting->fallback != 0) << key;
    } else {
      EXPECT_EQ(cell, "PSSliderCell") << key;
      EXPECT_EQ(platform::doubleValue(*row->properties().objectForKey("min")), setting->low) << key;
      EXPECT_EQ(platform::doubleValue(*row->properties().objectForKey("max")), setting->high)
          << key;
      EXPECT_EQ(platform::doubleValue(*fallback), setting->fallback) << key;
    }
  }
  std::set<std::string> all;
  for (const Setting& setting : kSettings) all.insert(setting.key);
  EXPECT_EQ(seen, all);
}

// The command's parser takes what each row offers and nothing outside a slider's range: a
// segment's titles, a switch's on and off, a slider's ends.
TEST_F(SettingsContractTest, TheCommandTakesWhatEachRowOffers) {
  for (const auto& row : *rows_) {
    const std::string key = row->property("key");
    if (key.empty()) continue;
    const tonewell::Setting* setting = tonewell::findSetting(key);
    ASSERT_NE(setting, nullptr) << key;
    auto takes = [&](const std::string& text) -> std::optional<Value> {
      auto parsed = tonewell::parseSettingValue(*setting, text);
      const Value* value = std::get_if<Value>(&parsed);
      return value ? std::optional<Value>(*value) : std::nullopt;
    };
    const std::string cell = row->property("cell");
    if (cell == "PSSegmentCell") {
      const auto& values = *row->properties().objectForKey("validValues")->getIf<platform::Array>();
      const auto& titles = *row->properties().objectForKey("validTitles")->getIf<platform::Array>();
      ASSERT_EQ(values.size(), titles.size()) << key;
      for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(takes(platform::description(titles[i])), values[i]) << key;
      }
    } else if (cell == "PSSwitchCell") {
      EXPECT_EQ(takes("on"), Value(true)) << key;
      EXPECT_EQ(takes("off"), Value(false)) << key;
    } else {
      const double low = platform::doubleValue(*row->properties().objectForKey("min"));
      const double high = platform::doubleValue(*row->properties().objectForKey("max"));
      EXPECT_EQ(takes(platform::shortestText(low)), Value(low)) << key;
      EXPECT_EQ(takes(platform::shortestText(high)), Value(high)) << key;
      EXPECT_FALSE(takes(platform::shortestText(low - 0.01))) << key;
      EXPECT_FALSE(takes(platform::shortestText(high + 0.01))) << key;
    }
  }
}

TEST_F(SettingsContractTest, StoringEachRowsDefaultChangesNothingInTheMonitor) {
  loadSettings();  // an empty domain: the monitor's defaults
  const std::vector<double> defaults = snapshot();
  for (const auto& row : *rows_) {
    if (row->property("key").empty()) continue;
    const Value* shown = row->properties().objectForKey("default");
    ASSERT_NE(shown, nullptr) << row->property("key");
    ASSERT_TRUE(list_.setPreferenceValueSpecifier(shown, *row));
  }
  loadSettings();
  EXPECT_EQ(snapshot(), defaults);
  EXPECT_TRUE(log().empty());
}

TEST_F(SettingsContractTest, ValuesThePaneStoresReachTheMonitorAtTheNextLoad) {
  for (const auto& row : *rows_) {
    const std::string key = row->property("key");
    if (key == "useFrontCamera") {
      const auto* values = row->properties().objectForKey("validValues")->getIf<platform::Array>();
      ASSERT_NE(values, nullptr);
      ASSERT_TRUE(list_.setPreferenceValueSpecifier(&values->back(), *row));  // "Back"
    } else if (key == "pocketBrightness") {
      const Value v(-6.5);
      ASSERT_TRUE(list_.setPreferenceValueSpecifier(&v, *row));
    }
  }
  loadSettings();
  EXPECT_FALSE(useFrontCamera);
  EXPECT_EQ(pocketBrightness, -6.5f);
  EXPECT_TRUE(isEnabled) << "keys never stored keep their defaults";
}

}  // namespace

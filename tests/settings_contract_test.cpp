// The contract between the two deliverables: every row of the pane's specifier list is bound to
// a key the monitor reads, in the monitor's domain, with a control of the key's type and the
// monitor's own default.
#include <set>

#include "monitor_fixture.h"
#include "platform/preferences_framework.h"

namespace {

using platform::Dictionary;
using platform::Value;

struct Snapshot {
  bool enabled, debug, front, horizontal;
  float delay, brightness;
  double volume;
  bool operator==(const Snapshot&) const = default;
};

// The volume is compared as the volume controller gets it: a stored 0.8 passes through single
// precision (0.800000011920929) where the default is the exact double, and both set 0.8f.
Snapshot snapshot() {
  return {isEnabled,
          enableDebugLogging,
          useFrontCamera,
          increaseVolumeIfHorizontal,
          increaseVolumeDelay,
          pocketBrightness,
          static_cast<float>(ringingVolumeWhileInPocket.load())};
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

TEST_F(SettingsContractTest, EveryMonitorKeyHasARowInTheMonitorsDomain) {
  const std::set<std::string> booleans{"enabled", "enableDebugLogging", "useFrontCamera",
                                       "increaseVolumeIfHorizontal"};
  const std::set<std::string> floats{"increaseVolumeDelay", "ringingVolumeWhileInPocket",
                                     "pocketBrightness"};
  std::set<std::string> seen;
  for (const auto& row : *rows_) {
    const std::string key = row->property("key");
    if (key.empty()) continue;
    seen.insert(key);
    EXPECT_EQ(row->property("defaults"), preferencesDomain) << key;
    const std::string cell = row->property("cell");
    if (booleans.count(key)) {
      EXPECT_TRUE(cell == "PSSwitchCell" || cell == "PSSegmentCell") << key << ": " << cell;
    } else {
      ASSERT_TRUE(floats.count(key)) << "a row for a key the monitor does not read: " << key;
      EXPECT_EQ(cell, "PSSliderCell") << key;
      const double min = platform::doubleValue(*row->properties().objectForKey("min"));
      const double max = platform::doubleValue(*row->properties().objectForKey("max"));
      const double fallback = platform::doubleValue(*row->properties().objectForKey("default"));
      EXPECT_LE(min, fallback) << key;
      EXPECT_LE(fallback, max) << key;
    }
  }
  std::set<std::string> all = booleans;
  all.insert(floats.begin(), floats.end());
  EXPECT_EQ(seen, all);
}

TEST_F(SettingsContractTest, StoringEachRowsDefaultChangesNothingInTheMonitor) {
  loadSettings();  // an empty domain: the monitor's defaults
  const Snapshot defaults = snapshot();
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

#include <cmath>

#include "monitor_fixture.h"

namespace {

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Value;
using testing_support::countOf;
using testing_support::dict;

class SettingsLoaderTest : public testing_support::MonitorTest {
 protected:
  void expectDefaults() {
    EXPECT_TRUE(isEnabled);
    EXPECT_FALSE(enableDebugLogging);
    EXPECT_TRUE(useFrontCamera);
    EXPECT_EQ(increaseVolumeDelay, 2.0f);
    EXPECT_EQ(ringingVolumeWhileInPocket, 0.8);
    EXPECT_EQ(pocketBrightness, -4.0f);
    EXPECT_FALSE(increaseVolumeIfHorizontal);
  }
};

TEST_F(SettingsLoaderTest, FreshInstallWithoutAnyStoredKeyTakesEveryDefaultQuietly) {
  loadSettings();
  expectDefaults();
  EXPECT_TRUE(log().empty());

  storeSettings(Dictionary{});  // a domain file that holds no key at all
  isEnabled = false;
  loadSettings();
  expectDefaults();
  EXPECT_TRUE(log().empty());
}

TEST_F(SettingsLoaderTest, DebugLoggingAloneLogsTheSummaryWithDefaults) {
  storeSettings(dict({{"enableDebugLogging", true}}));
  loadSettings();
  EXPECT_TRUE(enableDebugLogging);
  EXPECT_TRUE(isEnabled);
  EXPECT_EQ(log(), std::vector<std::string>{
                       "TW: settings are: enabled:y, delay:2.000000, volume:0.800000, "
                       "brightness:-4.000000, horizontal:n"});
}

TEST_F(SettingsLoaderTest, NoSummaryWithoutDebugLogging) {
  storeSettings(dict({{"enableDebugLogging", false}, {"enabled", false}}));
  loadSettings();
  EXPECT_FALSE(isEnabled);
  EXPECT_TRUE(log().empty());
}

TEST_F(SettingsLoaderTest, EveryStoredKeyIsReadAndARemovedKeyReturnsToItsDefault) {
  storeSettings(dict({{"enabled", false},
                      {"enableDebugLogging", true},
                      {"useFrontCamera", false},
                      {"increaseVolumeDelay", 5.5},
                      {"ringingVolumeWhileInPocket", 1.0},
                      {"pocketBrightness", -2.5},
                      {"increaseVolumeIfHorizontal", true}}));
  loadSettings();
  EXPECT_FALSE(isEnabled);
  EXPECT_FALSE(useFrontCamera);
  EXPECT_EQ(increaseVolumeDelay, 5.5f);
  EXPECT_EQ(ringingVolumeWhileInPocket, 1.0);
  EXPECT_EQ(pocketBrightness, -2.5f);
  EXPECT_TRUE(increaseVolumeIfHorizontal);
  EXPECT_EQ(log().back(),
            "TW: settings are: enabled:n, delay:5.500000, volume:1.000000, brightness:-2.500000, "
            "horizontal:y");

  storeSettings(dict({{"enableDebugLogging", true}, {"useFrontCamera", false}}));
  loadSettings();
  EXPECT_TRUE(isEnabled);
  EXPECT_EQ(increaseVolumeDelay, 2.0f);
  EXPECT_FALSE(useFrontCamera);
}

TEST_F(SettingsLoaderTest, StoredVolumePassesThroughSinglePrecisionButTheDefaultIsExact) {
  storeSettings(dict({{"ringingVolumeWhileInPocket", 0.8}}));
  loadSettings();
  EXPECT_EQ(ringingVolumeWhileInPocket, static_cast<double>(0.8f));
  EXPECT_EQ(platform::description(Value(ringingVolumeWhileInPocket.load())), "0.800000011920929");

  storeSettings(dict({{"enabled", true}}));
  loadSettings();
  EXPECT_EQ(ringingVolumeWhileInPocket, 0.8);
}

TEST_F(SettingsLoaderTest, StoredZeroDelayIsAZeroDelay) {
  storeSettings(dict({{"increaseVolumeDelay", 0}}));
  loadSettings();
  EXPECT_EQ(increaseVolumeDelay, 0.0f);
}

TEST_F(SettingsLoaderTest, ValuesAreConvertedAsThePlatformDoes) {
  storeSettings(dict({{"enabled", "NO"},
                      {"enableDebugLogging", 2},
                      {"useFrontCamera", "  yes"},
                      {"increaseVolumeDelay", " 3.25 seconds"},
                      {"ringingVolumeWhileInPocket", "0.5"},
                      {"pocketBrightness", "abc"},
                      {"increaseVolumeIfHorizontal", "+0001"}}));
  loadSettings();
  EXPECT_FALSE(isEnabled);
  EXPECT_TRUE(enableDebugLogging);
  EXPECT_TRUE(useFrontCamera);
  EXPECT_EQ(increaseVolumeDelay, 3.25f);
  EXPECT_EQ(ringingVolumeWhileInPocket, 0.5);
  EXPECT_EQ(pocketBrightness, 0.0f);  // no leading number: 0
  EXPECT_TRUE(increaseVolumeIfHorizontal);
}

TEST_F(SettingsLoaderTest, ValuesOfOtherTypesTakeTheirDefaults) {
  storeSettings(dict({{"enabled", Value(Array{Value(false)})},
                      {"useFrontCamera", Value(dict({{"a", false}}))},
                      {"increaseVolumeDelay", Value(Date{10})},
                      {"pocketBrightness", Value(Data{1, 2, 3})}}));
  loadSettings();
  expectDefaults();
}

TEST_F(SettingsLoaderTest, OutOfRangeAndNonFiniteValuesAreMadeSafe) {
  storeSettings(dict({{"increaseVolumeDelay", -3.0},
                      {"ringingVolumeWhileInPocket", 1.5},
                      {"pocketBrightness", std::nan("")}}));
  loadSettings();
  EXPECT_EQ(increaseVolumeDelay, 0.0f);
  EXPECT_EQ(ringingVolumeWhileInPocket, 1.0);
  EXPECT_EQ(pocketBrightness, -4.0f);

  storeSettings(dict({{"increaseVolumeDelay", "1e999"},
                      {"ringingVolumeWhileInPocket", -0.25},
                      {"pocketBrightness", 1e300}}));  // beyond single precision: infinite
  loadSettings();
  EXPECT_EQ(increaseVolumeDelay, 2.0f);
  EXPECT_EQ(ringingVolumeWhileInPocket, 0.0);
  EXPECT_EQ(pocketBrightness, -4.0f);

  // In range, untouched.
  storeSettings(dict({{"ringingVolumeWhileInPocket", 0.0}, {"pocketBrightness", -9.0}}));
  loadSettings();
  EXPECT_EQ(ringingVolumeWhileInPocket, 0.0);
  EXPECT_EQ(pocketBrightness, -9.0f);
}

// A hand-edited domain cannot go beyond what the Settings rows offer: delay 0-10 s, volume 0-1,
// brightness -10 to 2. Integers too large for the rows take the nearest bound.
TEST_F(SettingsLoaderTest, NumbersAreKeptWithinTheirRowsRanges) {
  const std::int64_t huge = 9'200'000'000'000'000'000;
  storeSettings(dict({{"increaseVolumeDelay", Value(huge)},
                      {"ringingVolumeWhileInPocket", Value(huge)},
                      {"pocketBrightness", Value(huge)}}));
  loadSettings();
  EXPECT_EQ(increaseVolumeDelay, 10.0f) << "the camera still starts";
  EXPECT_EQ(ringingVolumeWhileInPocket, 1.0);
  EXPECT_EQ(pocketBrightness, 2.0f) << "not every frame is dark";

  storeSettings(dict({{"increaseVolumeDelay", Value(-huge)},
                      {"ringingVolumeWhileInPocket", "YES"},
                      {"pocketBrightness", -100}}));
  loadSettings();
  EXPECT_EQ(increaseVolumeDelay, 0.0f);
  EXPECT_EQ(ringingVolumeWhileInPocket, 0.0) << "text without a number reads as 0, as on the phone";
  EXPECT_EQ(pocketBrightness, -10.0f);
}

TEST_F(SettingsLoaderTest, XmlDomainsAreReadToo) {
  storeSettings(dict({{"pocketBrightness", -6.0}}), sim::PropertyListFormat::xml);
  loadSettings();
  EXPECT_EQ(pocketBrightness, -6.0f);
}

struct BadFile {
  const char* name;
  std::string bytes;
};
// Test names and failure messages show the case by its name.
void PrintTo(const BadFile& c, std::ostream* os) {
  *os << c.name;
}

class UnreadableDomainTest : public SettingsLoaderTest,
                             public ::testing::WithParamInterface<BadFile> {};

TEST_P(UnreadableDomainTest, KeepsThePreviousSnapshotAndSaysSo) {
  storeSettings(dict({{"increaseVolumeDelay", 7.0}, {"enabled", false}}));
  loadSettings();
  ASSERT_EQ(increaseVolumeDelay, 7.0f);

  storePreferencesFile(preferencesDomain, GetParam().bytes);
  loadSettings();
  EXPECT_EQ(increaseVolumeDelay, 7.0f);
  EXPECT_FALSE(isEnabled);
  EXPECT_EQ(log(), std::vector<std::string>{"TW: unable to get preferences"});
}

std::string truncatedBinary() {
  std::string bytes =
      sim::serializePropertyList(Value(dict({{"enabled", true}, {"pocketBrightness", -5.0}})),
                                 sim::PropertyListFormat::binary);
  return bytes.substr(0, bytes.size() / 2);
}

INSTANTIATE_TEST_SUITE_P(
    BadFiles, UnreadableDomainTest,
    ::testing::Values(
        BadFile{"Empty", ""}, BadFile{"Garbage", "not a property list at all"},
        BadFile{"UnfinishedXml", "<?xml version=\"1.0\"?><plist><dict><key>enabled</key>"},
        BadFile{"TruncatedBinary", truncatedBinary()},
        BadFile{"ArrayAtTop", sim::serializePropertyList(Value(Array{Value(1), Value(2)}),
                                                         sim::PropertyListFormat::binary)},
        BadFile{"StringAtTop",
                sim::serializePropertyList(Value("just a string"), sim::PropertyListFormat::xml)}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace

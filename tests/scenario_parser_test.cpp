#include <gtest/gtest.h>

#include "scenario.h"

namespace {

using tonewell::parseScenario;
using tonewell::Scenario;
using tonewell::ScenarioError;

ScenarioError errorOf(const std::string& yaml) {
  auto parsed = parseScenario(yaml, "s.yaml");
  const auto* error = std::get_if<ScenarioError>(&parsed);
  EXPECT_NE(error, nullptr) << "accepted: " << yaml;
  return error ? *error : ScenarioError{};
}

Scenario scenarioOf(const std::string& yaml) {
  auto parsed = parseScenario(yaml, "s.yaml");
  if (auto* error = std::get_if<ScenarioError>(&parsed)) {
    ADD_FAILURE() << error->message();
    return {};
  }
  return std::get<Scenario>(parsed);
}

TEST(ScenarioParserTest, ReadsEverySection) {
  const Scenario s = scenarioOf(R"(
name: all
preferences: {enableDebugLogging: true, increaseVolumeDelay: 2, pocketBrightness: -4.5, note: "x"}
device: {ringtoneVolume: 0.2, frontCamera: lockRefused, frameInterval: 0.5, volumeReadFails: true}
world:
  - {at: 0, brightness: -6, exif: noBrightness, acceleration: null}
  - {at: 2, frontBrightness: 1, acceleration: [0, 0, -1]}
events:
  - {at: 0, call: "playRingtoneAtPath:"}
  - {at: 1, setPreferences: {enabled: false}}
  - {at: 1, removePreferences: [enabled]}
  - {at: 2, setRingtoneVolume: 0.9}
  - {at: 3, notify: kCTCallStatusChangeNotification}
)");
  EXPECT_EQ(s.name, "all");
  ASSERT_TRUE(s.preferences.has_value());
  EXPECT_EQ(*s.preferences->objectForKey("enableDebugLogging"), platform::Value(true));
  EXPECT_EQ(*s.preferences->objectForKey("increaseVolumeDelay"), platform::Value(2));
  EXPECT_EQ(*s.preferences->objectForKey("pocketBrightness"), platform::Value(-4.5));
  EXPECT_EQ(*s.preferences->objectForKey("note"), platform::Value("x"));
  EXPECT_EQ(s.device.ringtoneVolume, 0.2f);
  EXPECT_EQ(s.device.frontCamera, sim::CameraFault::lockRefused);
  EXPECT_TRUE(s.device.volumeReadFails);
  ASSERT_EQ(s.world.size(), 2u);
  ASSERT_TRUE(s.world[0].acceleration.has_value());
  EXPECT_FALSE(s.world[0].acceleration->has_value()) << "null: samples without data";
  EXPECT_EQ(s.world[1].acceleration->value().z, -1.0);
  ASSERT_EQ(s.events.size(), 5u);
  const auto& call = std::get<tonewell::HostCall>(s.events[0].action);
  EXPECT_EQ(call.arguments.size(), 1u) << "a default path";
  EXPECT_FALSE(std::get<tonewell::Notify>(s.events[4].action).userInfo.has_value());
  EXPECT_EQ(s.until, 103.0) << "last entry + 100";
}

TEST(ScenarioParserTest, QuotedScalarsStayText) {
  const Scenario s = scenarioOf("preferences: {enabled: \"true\", delay: '2'}\n");
  EXPECT_EQ(*s.preferences->objectForKey("enabled"), platform::Value("true"));
  EXPECT_EQ(*s.preferences->objectForKey("delay"), platform::Value("2"));
}

TEST(ScenarioParserTest, EmptyPreferencesMeanADomainWithoutKeys) {
  const Scenario s = scenarioOf("preferences: {}\n");
  ASSERT_TRUE(s.preferences.has_value());
  EXPECT_EQ(s.preferences->count(), 0u);
  EXPECT_FALSE(scenarioOf("name: x\n").preferences.has_value());
}

struct Malformed {
  const char* name;
  const char* yaml;
  int line;
  int column;
  const char* cause;
};
// Test names and failure messages show the case by its name.
void PrintTo(const Malformed& c, std::ostream* os) {
  *os << c.name;
}

class MalformedScenarioTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedScenarioTest, NamesTheLineColumnAndCause) {
  const ScenarioError e = errorOf(GetParam().yaml);
  EXPECT_EQ(e.file, "s.yaml");
  EXPECT_EQ(e.line, GetParam().line) << e.message();
  EXPECT_EQ(e.column, GetParam().column) << e.message();
  EXPECT_NE(e.cause.find(GetParam().cause), std::string::npos) << e.message();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MalformedScenarioTest,
    ::testing::Values(
        Malformed{"BadYaml", "events: [at: 1\n", 2, 1, "not valid YAML"},
        Malformed{"UnknownTopKey", "name: x\nuntill: 5\n", 2, 1, "unknown key \"untill\""},
        Malformed{"UnknownDeviceKey", "device:\n  camera: front\n", 2, 3, "unknown key \"camera\""},
        Malformed{"WrongType", "device:\n  ringtoneVolume: loud\n", 2, 19, "must be a number"},
        Malformed{"OutOfRange", "device: {ringtoneVolume: 1.5}\n", 1, 26, "from 0 to 1"},
        Malformed{"BadEnum", "world:\n  - {at: 0, exif: blurry}\n", 2, 19, "exif must be one of"},
        Malformed{"Backwards", "world:\n  - at: 5\n  - at: 4\n", 3, 9, "goes backwards"},
        Malformed{"MissingAt", "events:\n  - call: stopRinging\n", 2, 5, "needs \"at\""},
        Malformed{"UnknownCall", "events:\n  - {at: 0, call: answer}\n", 2, 19, "unknown call"},
        Malformed{"WrongArgCount", "events:\n  - {at: 0, call: stopRinging, args: [1]}\n", 2, 38,
                  "takes 0 arguments"},
        Malformed{"TwoActions", "events:\n  - {at: 0, call: stopRinging, setRingtoneVolume: 1}\n",
                  2, 5, "exactly one"},
        Malformed{"NullValue", "preferences: {enabled: }\n", 1, 24, "missing"},
        Malformed{"UntilTooEarly", "events: [{at: 9, call: stopRinging}]\nuntil: 3\n", 2, 8,
                  "comes before"},
        Malformed{"NotAMapping", "- 1\n- 2\n", 1, 1, "must be a mapping"},
        Malformed{"BadAcceleration", "world: [{at: 0, acceleration: [1, 2]}]\n", 1, 31,
                  "[x, y, z]"},
        Malformed{"UnknownHostEvent", "events:\n  - {at: 1, host: reboot}\n", 2, 19,
                  "host must be respring, not \"reboot\""}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace

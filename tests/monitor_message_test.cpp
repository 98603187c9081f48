// The monitor's log lines read back: every line the monitor writes, formatted as the monitor
// formats it, is known by the importer for what it is, with its numbers; lines that only look
// like the monitor's are not. The "settings are" line gives back the settings a ring ran with.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "log_lines.h"
#include "monitor_message.h"
#include "platform/ns_log.h"
#include "setting_values.h"
#include "settings_summary.h"
#include "yaml_text.h"

namespace {

using namespace tonewell;
using namespace tonewell::monitor_message;
namespace log_lines = tonewell::monitor::log_lines;
using platform::LogArgument;

// A line as the monitor's NSLog writes it.
std::string written(std::string_view format, std::vector<LogArgument> args = {}) {
  return platform::formatLogMessage(format, std::span<const LogArgument>(args));
}

const void* const kUserAgent = reinterpret_cast<const void*>(0x1c2d3e40);

// --- Each line of the monitor's -----------------------------------------------------------------

TEST(MonitorMessageTest, TheHostsHookLinesAreTheRingsCalls) {
  const std::string stop = written(log_lines::kStopRingingHook, {{kUserAgent}});
  EXPECT_EQ(classify(stop).kind, Kind::stopRinging) << stop;

  const std::string play =
      written(log_lines::kPlayRingtoneHook, {{kUserAgent}, {std::string("/R/Marimba.m4r")}});
  const Classified played = classify(play);
  EXPECT_EQ(played.kind, Kind::play) << play;
  EXPECT_EQ(played.text, "playRingtoneAtPath:/R/Marimba.m4r");

  const std::string vibrating = written(
      log_lines::kPlayRingtoneWithVibrationHook,
      {{kUserAgent}, {std::string("/R/Marimba.m4r")}, {std::string("{ VibePattern = (1) }")}});
  const Classified vibrated = classify(vibrating);
  EXPECT_EQ(vibrated.kind, Kind::play) << vibrating;
  EXPECT_EQ(vibrated.text,
            "playRingtoneAtPath:/R/Marimba.m4r vibrationPattern:{ VibePattern = (1) }");
  EXPECT_EQ(classify(log_lines::kPrepareToAnswerCall).kind, Kind::prepareToAnswerCall);
}

TEST(MonitorMessageTest, NumbersComeBackAsTheMonitorWroteThem) {
  for (const int state : {0, 1, 4, 5, -1, 2147483647}) {
    const Classified c = classify(written(log_lines::kCallStatus, {{std::int64_t{state}}}));
    EXPECT_EQ(c.kind, Kind::callStatus) << state;
    EXPECT_EQ(c.number, state);
  }
  EXPECT_EQ(classify(log_lines::kCallStatusUnknown).kind, Kind::statusUnknown);

  for (const double brightness : {-6.5, 0.0, 2.25, -10.0}) {
    const Classified c = classify(written(log_lines::kBrightness, {{brightness}}));
    EXPECT_EQ(c.kind, Kind::brightness) << brightness;
    EXPECT_EQ(c.number, brightness);
  }

  const std::string lying = written(log_lines::kAccelerometerData,
                                    {{-0.015625}, {-0.984375}, {0.125}, {std::string("n")}});
  const Classified c = classify(lying);
  ASSERT_EQ(c.kind, Kind::acceleration) << lying;
  EXPECT_EQ(c.x, -0.015625);
  EXPECT_EQ(c.y, -0.984375);
  EXPECT_EQ(c.z, 0.125);
}

TEST(MonitorMessageTest, TheRaiseTheRestoresAndTheProbesLines) {
  const std::string summary =
      written(std::string(log_lines::kSettingsSummary) + "enabled:%@", {{std::string("y")}});
  const Classified settings = classify(summary);
  EXPECT_EQ(settings.kind, Kind::settings);
  EXPECT_EQ(settings.text, "enabled:y");

  EXPECT_EQ(classify(log_lines::kRaised).kind, Kind::raise);
  for (const auto line : {log_lines::kRestoredOutOfPocket, log_lines::kRestoringAtRingEnd,
                          log_lines::kRestoredAfterRestart}) {
    EXPECT_EQ(classify(line).kind, Kind::restore) << line;
  }
  EXPECT_EQ(classify(log_lines::kAlreadyAtLevel).kind, Kind::alreadyAtLevel);
  EXPECT_EQ(classify(log_lines::kNoExif).kind, Kind::noExif);
  EXPECT_EQ(classify(log_lines::kStoppingCapture).kind, Kind::stopCapture);
}

TEST(MonitorMessageTest, CameraFaultsAreKnownByWhatFailedWhateverTheAdvice) {
  const std::pair<std::string_view, std::string_view> faults[] = {
      {log_lines::kNoCameraDevice, "missing"},
      {log_lines::kNoDeviceInput, "inputFails"},
      {log_lines::kInputRefused, "inputRefused"},
      {log_lines::kOutputRefused, "outputRefused"},
  };
  for (const auto& [line, name] : faults) {
    const Classified c = classify(line);
    EXPECT_EQ(c.kind, Kind::cameraFault) << line;
    EXPECT_EQ(std::string_view(c.fault), name) << line;
    // A later wording of the advice still reads as the same fault.
    const Classified reworded = classify(std::string(log_lines::gistOf(line)) + " Restart.");
    EXPECT_EQ(reworded.kind, Kind::cameraFault) << line;
    EXPECT_EQ(std::string_view(reworded.fault), name) << line;
  }
  EXPECT_EQ(
      classify(std::string(log_lines::gistOf(log_lines::kAlreadyAtLevel)) + ", as before.").kind,
      Kind::alreadyAtLevel);
}

// Lines that say something happened but change nothing a replay follows: none of them may be
// taken for a raise, a restore or the end of the ring, though several begin alike.
TEST(MonitorMessageTest, LinesThatShapeNoRingAreOther) {
  const std::string_view lines[] = {
      log_lines::kNoUserAgent,     log_lines::kNoPreferences,     log_lines::kPreferencesError,
      log_lines::kHorizontal,      log_lines::kNoRingtonePlaying, log_lines::kVolumeUnreadable,
      log_lines::kVolumeNotSet,    log_lines::kRestoreFailed,     log_lines::kPersonsChangeKept,
      log_lines::kRingEndDisabled, log_lines::kRingEndNotRaised,
  };
  for (const auto line : lines) {
    EXPECT_EQ(classify(line).kind, Kind::other) << line;
  }
  for (const auto format : {log_lines::kUserAgentLacks, log_lines::kRecordUnwritable,
                            log_lines::kRecordNotRemoved, log_lines::kRecordUnreadableRetry,
                            log_lines::kRecordUnreadableRemoved, log_lines::kAttachments}) {
    const std::string line = written(format, {{std::string("/var/mobile/x.plist")}});
    EXPECT_EQ(classify(line).kind, Kind::other) << line;
  }
}

TEST(MonitorMessageTest, NearMissesAreOther) {
  for (const std::string_view line : {
           "",
           "TW: ",
           "TW: brightness: ",                              // cut before its number
           "TW: brightness: nan",                           // not finite
           "TW: brightness: inf",                           //
           "TW: brightness: 1e999",                         // out of range
           "TW:  brightness: -1.000000",                    // an extra space
           "TW: brightness:-1.000000",                      // one missing
           "brightness: -1.000000",                         // without the tag
           "TW: attachements: {TW: brightness: 1.000000}",  // quoted inside another line
           "TW: attachements: {TW: kCTCallStatusChangeNotification, new state: 1}",
           "Foo: TW: ringing volume was increased.",  // another process quoting the line
           "TW: ringing volume was increased",        // cut
           "TW: ringing volume was increased. ",      // a trailing space
           "tw: ringing volume was increased.",       //
           "TW: kCTCallStatusChangeNotification, new state: ",
           "TW: kCTCallStatusChangeNotification, new state: four",
           "TW: kCTCallStatusChangeNotification, new state: 99999999999",
           "TW: accelerometerdata: x:0.100000, y:0.200000",  // no z
           "TW: accelerometerdata: x:a, y:0.2, z:0.3",
           "TW: no EXIF attachments",
           "-[<SBUserAgent: 0x1> stopRinging",  // cut before the bracket
           "-[<SBUserAgent: 0x1> stopRingingNow]",
           "-[<SBUserAgent: 0x1>stopRinging]",
           "-[<SBUserAgent: 0x1> playRingtone]",
           "-[<SBUserAgent: 0x1> ]",
           "-[<SBUserAgent: ",
           "-[<SBRingtonePlayer: 0x1> stopRinging]",
       }) {
    const Classified c = classify(line);
    EXPECT_EQ(c.kind, Kind::other) << '"' << line << '"';
  }
}

TEST(MonitorMessageTest, TheRingEndsAtStopRingingOrAConnectedOrEndedCall) {
  const Classified stop = classify(written(log_lines::kStopRingingHook, {{kUserAgent}}));
  EXPECT_TRUE(endsTheRing(stop));
  EXPECT_EQ(endName(stop), "stopRinging");
  for (const int state : {0, 1, 2, 3, 4, 5, 6}) {
    const Classified c = classify(written(log_lines::kCallStatus, {{std::int64_t{state}}}));
    EXPECT_EQ(endsTheRing(c), state == 1 || state == 5) << state;
    EXPECT_EQ(endName(c), "call status " + std::to_string(state));
  }
  // Another line's number is not a call's state.
  EXPECT_FALSE(endsTheRing(classify(written(log_lines::kBrightness, {{1.0}}))));
  EXPECT_FALSE(endsTheRing(classify(log_lines::kRingEndDisabled)));
  EXPECT_FALSE(endsTheRing(classify(log_lines::kCallStatusUnknown)));
}

// --- The settings summary ----------------------------------------------------------------------

// The summary as the monitor's settings loader writes it, with `value(key)` for each setting
// that has a summary name.
template <typename ValueOf>
std::string summaryLine(ValueOf value) {
  std::string format(log_lines::kSettingsSummary);
  std::vector<LogArgument> args;
  auto add = [&](const char* name, LogArgument argument, const char* conversion) {
    if (!*name) return;
    format += std::string(args.empty() ? "" : ", ") + name + conversion;
    args.push_back(std::move(argument));
  };
#define TW_SETTING(variable, key, type, fallback, low, high, summary)          \
  if constexpr (std::is_same_v<type, bool>) {                                  \
    add(summary, {std::string(value(key) != 0 ? "y" : "n")}, ":%@");           \
  } else {                                                                     \
    add(summary, {static_cast<double>(static_cast<type>(value(key)))}, ":%f"); \
  }
#include "shared_variables.def"
#undef TW_SETTING
  return written(format, args);
}

TEST(SettingsSummaryTest, EverySummarisedSettingComesBackFromTheMonitorsLine) {
  // Values away from the defaults, so that a setting missing from the line shows.
  const auto value = [](std::string_view key) {
    const Setting& setting = *findSetting(key);
    if (setting.isSwitch) return setting.fallback != 0 ? 0.0 : 1.0;
    return setting.low + (setting.high - setting.low) * 0.375;
  };
  const std::string line = summaryLine(value);
  const Classified c = classify(line);
  ASSERT_EQ(c.kind, Kind::settings) << line;
  const Settings settings = settingsOf(c.text);

  Settings expected;
  for (const Setting& setting : monitorSettings()) {
    if (setting.key == "enableDebugLogging" || setting.key == "useFrontCamera") continue;
    const double v = value(setting.key);
    expected.emplace_back(setting.key, setting.isSwitch ? (v != 0 ? "true" : "false")
                                                        : yamlNumber(static_cast<float>(v)));
  }
  EXPECT_EQ(settings, expected) << line;
  for (const auto& [key, text] : expected) {
    if (!findSetting(key)->isSwitch) {
      EXPECT_NEAR(settingOr(settings, key), value(key), 1e-6) << key;
    }
  }
}

TEST(SettingsSummaryTest, NumbersOutOfRangeAreHeldToItAsTheMonitorHoldsThem) {
  const Settings settings =
      settingsOf("delay:99.000000, volume:-0.500000, brightness:-20.000000, enabled:y");
  EXPECT_EQ(settings, (Settings{{"enabled", "true"},
                                {"increaseVolumeDelay", "10.0"},
                                {"ringingVolumeWhileInPocket", "0.0"},
                                {"pocketBrightness", "-10.0"}}));
}

TEST(SettingsSummaryTest, UnknownKeysMissingValuesAndJunkAreLeftOut) {
  EXPECT_TRUE(settingsOf("").empty());
  EXPECT_TRUE(settingsOf("speed:3.000000, colour:red").empty());
  EXPECT_TRUE(settingsOf("delay:, enabled:, volume").empty());
  EXPECT_TRUE(settingsOf("delay:abc, enabled:yes, horizontal:Y, volume:nan").empty())
      << "a switch is y or n, a number is finite";
  EXPECT_TRUE(settingsOf(", , ,").empty());
  EXPECT_EQ(settingsOf("brightness:-2.5, unknown:1, horizontal:n"),
            (Settings{{"pocketBrightness", "-2.5"}, {"increaseVolumeIfHorizontal", "false"}}));
  EXPECT_EQ(settingsOf("delay:1.000000, delay:3.000000"),
            (Settings{{"increaseVolumeDelay", "3.0"}}))
      << "the later of a repeated setting";
}

TEST(SettingsSummaryTest, ASettingTheLineLacksTakesTheMonitorsDefault) {
  const Settings settings = settingsOf("delay:4.500000");
  EXPECT_EQ(settingOr(settings, "increaseVolumeDelay"), 4.5);
  EXPECT_EQ(settingOr(settings, "ringingVolumeWhileInPocket"),
            findSetting("ringingVolumeWhileInPocket")->fallback);
  EXPECT_EQ(settingOr({}, "pocketBrightness"), findSetting("pocketBrightness")->fallback);
}

TEST(SettingsSummaryTest, SwitchesReadAsOneOrZeroAndAnUnknownKeyAsZero) {
  const Settings settings = settingsOf("enabled:n, horizontal:y");
  EXPECT_EQ(settingOr(settings, "enabled"), 0);
  EXPECT_EQ(settingOr(settings, "increaseVolumeIfHorizontal"), 1);
  EXPECT_EQ(settingOr({{"increaseVolumeDelay", "soon"}}, "increaseVolumeDelay"),
            findSetting("increaseVolumeDelay")->fallback)
      << "a value that is no number";
  EXPECT_EQ(settingOr(settings, "noSuchSetting"), 0);
}

}  // namespace

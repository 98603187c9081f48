// Every failure a platform call can report, one row each: the exact log line, no crash, and the
// state the system promises afterwards.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>

#include "advanced_view_controller.h"
#include "local_http_server.h"
#include "monitor_fixture.h"
#include "pane_fixture.h"
#include "platform/sim/springboard.h"
#include "ringtone_hooks.h"
#include "start_up.h"

namespace {

using platform::Value;
using testing_support::dict;
using testing_support::seconds;

constexpr int kFront = platform::AVCaptureDevicePositionFront;

struct MonitorFault {
  const char* name;
  std::function<void()> arrange;   // before start-up
  std::function<void()> act;       // the ring, on the virtual clock
  const char* line;                // the one log line the failure writes (null: none)
  std::function<bool()> promised;  // the state afterwards
};

void PrintTo(const MonitorFault& f, std::ostream* os) {
  *os << f.name;
}

void ringInTheDark(double until = 3.0) {
  sim::setBrightness(kFront, -7.0);
  sim::playRingtoneAtPath(Value("/r.m4r"));
  sim::runUntil(seconds(until));
}

bool untouched() {
  return sim::volume("Ringtone") == 0.3f && !volumeWasIncreased && sim::runningCameraCount() == 0;
}

// A camera that could not be set up never ran: not one frame reached the monitor.
bool cameraNeverRan() {
  return untouched() && sim::framesDelivered() == 0;
}

// A snapshot taken at start-up that differs from the defaults: a 1-s delay, threshold -5.
void storeEarlierSnapshot() {
  std::filesystem::create_directories(sim::preferencesFolder());
  ASSERT_TRUE(sim::writeFileAtomically(
      sim::preferencesFolder() + "/" + preferencesDomain + ".plist",
      sim::serializePropertyList(
          Value(dict({{"increaseVolumeDelay", 1.0}, {"pocketBrightness", -5.0}})),
          sim::PropertyListFormat::binary)));
}

// The ring's check used the earlier snapshot: its camera started at 1 s, nothing judged yet.
bool ringGoesOnWithTheEarlierSnapshot() {
  return isEnabled && increaseVolumeDelay == 1.0f && pocketBrightness == -5.0f &&
         sim::runningCameraCount() == 1 && sim::volume("Ringtone") == 0.3f;
}

class MonitorFaultTest : public testing_support::MonitorTest,
                         public ::testing::WithParamInterface<MonitorFault> {};

TEST_P(MonitorFaultTest, LogsItsLineAndKeepsItsPromise) {
  sim::setVolume("Ringtone", 0.3f, false);
  GetParam().arrange();
  startMonitor();
  GetParam().act();
  const auto messages = log();
  std::vector<std::string> monitorLines;
  for (const auto& m : messages) {
    if (m.rfind("TW: ", 0) == 0) monitorLines.push_back(m);
  }
  if (GetParam().line) {
    EXPECT_EQ(monitorLines, std::vector<std::string>{GetParam().line});
  } else {
    EXPECT_TRUE(monitorLines.empty()) << monitorLines.front();
  }
  EXPECT_TRUE(GetParam().promised());
}

const MonitorFault kMonitorFaults[] = {
    {"NoKeyList", storeEarlierSnapshot,
     [] {  // the domain turns unreadable after start-up: the earlier snapshot goes on
       std::ofstream(sim::preferencesFolder() + "/" + preferencesDomain + ".plist") << "junk";
       ringInTheDark(1.5);
     },
     "TW: unable to get preferences", ringGoesOnWithTheEarlierSnapshot},
    {"NoDictionary", storeEarlierSnapshot,
     [] {
       sim::setPreferencesDictionaryFails(true);
       ringInTheDark(1.5);
     },
     "TW: preferences dictionary error", ringGoesOnWithTheEarlierSnapshot},
    {"NoCameraAtThePosition", [] { sim::setCameraFault(kFront, sim::CameraFault::missing); },
     [] { ringInTheDark(); },
     "TW: unable to find selected camera device! Try selecting the other one in Settings/Tonewell.",
     cameraNeverRan},
    {"LockRefused", [] { sim::setCameraFault(kFront, sim::CameraFault::lockRefused); },
     [] { ringInTheDark(); }, "TW: ringing volume was increased.",
     [] { return volumeWasIncreased && sim::modeSettersWithoutLock() == 0; }},
    {"InputNotMade", [] { sim::setCameraFault(kFront, sim::CameraFault::inputFails); },
     [] { ringInTheDark(); },
     "TW: unable to create camera device input! Try selecting the other one in "
     "Settings/Tonewell.",
     cameraNeverRan},
    {"InputRefused", [] { sim::setCameraFault(kFront, sim::CameraFault::inputRefused); },
     [] { ringInTheDark(); },
     "TW: unable to add input to session! Try selecting the other camera in Settings/Tonewell.",
     cameraNeverRan},
    {"OutputRefused", [] { sim::setCameraFault(kFront, sim::CameraFault::outputRefused); },
     [] { ringInTheDark(); },
     "TW: unable to add output to session! Try selecting the other camera in Settings/Tonewell.",
     cameraNeverRan},
    {"FramesWithoutExif", [] { sim::setExifMode(sim::ExifMode::missing); }, [] { ringInTheDark(); },
     "TW: no EXIF attachments!", untouched},
    {"ExifWithoutBrightness", [] { sim::setExifMode(sim::ExifMode::noBrightness); },
     [] { ringInTheDark(); }, nullptr, untouched},  // -4.0 is not darker than -4.0
    {"BrightnessNotANumber", [] { sim::setExifMode(sim::ExifMode::notANumber); },
     [] { ringInTheDark(); }, nullptr, untouched},
    {"VolumeReadFails", [] { sim::setVolumeReadFails(true); }, [] { ringInTheDark(5.0); },
     "TW: unable to read the ringtone volume, not increasing it.",
     [] {
       return sim::volume("Ringtone") == 0.3f && !volumeWasIncreased &&
              sim::runningCameraCount() == 1;
     }},
    {"VolumeSetFailsAtTheRaise", [] { sim::failUse(sim::FailableCall::volumeSet, 1); },
     [] { ringInTheDark(3.0); }, "TW: unable to set the ringtone volume, not increasing it.",
     [] {  // the next dark frame tries again
       return sim::volume("Ringtone") == 0.3f && !volumeWasIncreased &&
              sim::runningCameraCount() == 1;
     }},
    {"NotificationWithoutStatus", [] {},
     [] {
       sim::postCallStatusChange(dict({{"other", 1}}));
       sim::runUntilIdle(100);
     },
     "TW: kCTCallStatusChangeNotification cannot determine state!",
     [] { return currentPhoneState == 0; }},
    {"StatusNotANumber", [] {},
     [] {
       currentPhoneState = 4;
       sim::postCallStatusChange(dict({{"kCTCallStatus", Value(platform::Array{})}}));
       sim::runUntilIdle(100);
     },
     "TW: kCTCallStatusChangeNotification cannot determine state!",
     [] { return currentPhoneState == 4; }},
    {"NotificationWithoutUserInfo", [] {},
     [] {
       sim::postCallStatusChange(std::nullopt);
       sim::runUntilIdle(100);
     },
     "TW: kCTCallStatusChangeNotification cannot determine state!",
     [] { return currentPhoneState == 0; }},
};

INSTANTIATE_TEST_SUITE_P(Table, MonitorFaultTest, ::testing::ValuesIn(kMonitorFaults),
                         [](const auto& p) { return std::string(p.param.name); });

std::string syslogFile;  // the phone's "/var/log/syslog" in the pane rows

struct PaneFault {
  const char* name;
  std::function<void()> arrange;
  std::function<void(testing_support::PaneTest&)> act;
  std::vector<std::string> lines;  // the whole log
  std::function<bool(testing_support::PaneTest&)> promised;
};

void PrintTo(const PaneFault& f, std::ostream* os) {
  *os << f.name;
}

class PaneFaultTest : public testing_support::PaneTest,
                      public ::testing::WithParamInterface<PaneFault> {
 protected:
  void SetUp() override {
    PaneTest::SetUp();
    syslogFile = logs_.path() + "/syslog";
    std::ofstream(syslogFile) << "a line of the system log\n";
    sim::mapPath("/var/log/syslog", syslogFile);
    ::unsetenv("TONEWELL_SMTP_URL");
  }
  void TearDown() override { ::unsetenv("TONEWELL_SMTP_URL"); }
  testing_support::TemporaryFolder logs_;
};

TEST_P(PaneFaultTest, LogsItsLinesAndKeepsItsPromise) {
  GetParam().arrange();
  GetParam().act(*this);
  EXPECT_EQ(sim::logMessages(), GetParam().lines);
  EXPECT_TRUE(GetParam().promised(*this));
}

// One ERROR alert with only an OK button, the page gone, back on the settings list; the tap
// on OK takes the alert away.
bool alertSaysAndBackOnTheList(testing_support::PaneTest& t, std::string_view message) {
  const auto alerts = sim::alertsOnScreen();
  const bool shown = alerts.size() == 1 && alerts[0]->title() == "ERROR" &&
                     alerts[0]->message().find(message) != std::string::npos &&
                     alerts[0]->cancelButtonTitle() == "OK" &&
                     alerts[0]->otherButtonTitles().empty() &&
                     t.navigation_->topViewController() == t.list_.get() &&
                     t.navigation_->presentedViewController() == nullptr;
  if (!shown) return false;
  sim::tapAlertButton();
  return sim::alertsOnScreen().empty();
}

constexpr std::string_view kNoSyslog =
    "Please install 'syslogd to /var/log/syslog' from Cydia before testing and sending logs.";

bool noSyslogAlert(testing_support::PaneTest& t) {
  return alertSaysAndBackOnTheList(t, kNoSyslog);
}

void openDebugLog(testing_support::PaneTest& t) {
  t.list_->sendDebugLog();
  sim::fastForwardUntilNoTasksRemain(10'000);
}

void sendTheMail(testing_support::PaneTest& t) {
  openDebugLog(t);
  auto composer = std::dynamic_pointer_cast<platform::MFMailComposeViewController>(
      t.navigation_->presentedViewController());
  ASSERT_NE(composer, nullptr);
  composer->personChose(platform::MFMailComposeResultSent);
  sim::fastForwardUntilNoTasksRemain(10'000);
}

const PaneFault kPaneFaults[] = {
    {"NoLogFile",  // tail writes only to its standard error
     [] { std::filesystem::remove(syslogFile); },
     openDebugLog,
     {"TW: generating debug log..."},
     noSyslogAlert},
    {"ShellCannotBeLaunched",
     [] { sim::substituteProgram("/bin/sh", "/nonexistent/sh"); },
     openDebugLog,
     {"TW: generating debug log..."},
     noSyslogAlert},
    {"OutputNotUtf8",
     [] { std::ofstream(syslogFile) << "\xc3\x28 broken\n"; },
     openDebugLog,
     {"TW: generating debug log..."},
     noSyslogAlert},
    {"NoMailTransport",
     [] { sim::setMailAccount(std::nullopt); },
     openDebugLog,
     {"TW: generating debug log..."},
     [](testing_support::PaneTest& t) { return alertSaysAndBackOnTheList(t, "No mail account"); }},
    {"MailServerUnreachable",
     [] { ::setenv("TONEWELL_SMTP_URL", "smtp://127.0.0.1:1", 1); },
     sendTheMail,
     {"TW: generating debug log...",
      "Mail sent failure: The mail server could not be reached: Couldn't connect to server."},
     [](testing_support::PaneTest& t) {
       return t.navigation_->topViewController() == t.list_.get() && sim::alertsOnScreen().empty();
     }},
    {"WebPageFails",
     [] { sim::routeHost("www.example.com:443", "127.0.0.1:1"); },
     [](testing_support::PaneTest& t) {
       t.list_->viewOtherApps();
       sim::fastForwardUntilNoTasksRemain(10'000);
     },
     {},
     [](testing_support::PaneTest& t) {
       return t.navigation_->topViewController()->view()->subviews().size() == 1;  // no label
     }},
};

INSTANTIATE_TEST_SUITE_P(Table, PaneFaultTest, ::testing::ValuesIn(kPaneFaults),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace

// `tonewell settings` end to end, and the system log's road from the monitor to the debug-log
// mail: the built command, run as a person runs it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "local_http_server.h"
#include "mail_parser.h"
#include "platform/sim/property_list_codec.h"
#include "terminal_text.h"
#include "test_support.h"

namespace {

using testing_support::ParsedMail;
using testing_support::parseMail;

using testing_support::CommandRun;

class SettingsCommandTest : public ::testing::Test {
 protected:
  CommandRun tonewell(const std::string& arguments, const std::string& route = "127.0.0.1:1") {
    // The maker's page is routed to this machine: a test never reaches the internet.
    const std::string command =
        "TONEWELL_HOME=" + home_.path() + " TONEWELL_ROUTE=www.example.com:443=" + route +
        " TONEWELL_CA_FILE=" + testing_support::exampleCertificate().certificateFile + " " +
        TONEWELL_COMMAND + " " + arguments + " 2>&1";
    return testing_support::runCommand(command);
  }
  std::string domainFile() const {
    return home_.path() + "/Preferences/com.example.tonewell.plist";
  }
  std::optional<platform::Dictionary> domain() const {
    auto bytes = sim::readFile(domainFile());
    if (!bytes) return std::nullopt;
    auto value = sim::parsePropertyList(
        {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()});
    const auto* d = value ? value->getIf<platform::Dictionary>() : nullptr;
    return d ? std::optional(*d) : std::nullopt;
  }

  testing_support::TemporaryFolder home_;
};

TEST_F(SettingsCommandTest, ShowsEveryRowWithItsValue) {
  const CommandRun run = tonewell("settings");
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* text :
       {"Enabled", "on       (default)", "Delay (seconds)", "Pocket brightness", "Front",
        "[Send debug log]", "[Follow the maker]", "[My other tweaks]"}) {
    EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
  }
}

TEST_F(SettingsCommandTest, SetStoresABinaryDomainAndResetRemovesTheKey) {
  ASSERT_EQ(tonewell("settings set ringingVolumeWhileInPocket 0.9").status, 0);
  ASSERT_EQ(tonewell("settings set useFrontCamera back").status, 0);
  ASSERT_EQ(tonewell("settings set enabled off").status, 0);
  EXPECT_EQ(sim::readFile(domainFile())->substr(0, 8), "bplist00");
  auto stored = domain();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored->objectForKey("ringingVolumeWhileInPocket"), platform::Value(0.9));
  EXPECT_EQ(*stored->objectForKey("useFrontCamera"), platform::Value(false));
  EXPECT_EQ(*stored->objectForKey("enabled"), platform::Value(false));
  EXPECT_NE(tonewell("settings").output.find("Back"), std::string::npos);

  ASSERT_EQ(tonewell("settings reset enabled").status, 0);
  EXPECT_EQ(domain()->objectForKey("enabled"), nullptr);
}

TEST_F(SettingsCommandTest, RefusedValuesStoreNothing) {
  ASSERT_EQ(tonewell("settings set pocketBrightness -6").status, 0);
  const auto before = sim::readFile(domainFile());
  for (const char* bad : {"settings set pocketBrightness -11", "settings set pocketBrightness dark",
                          "settings set enabled maybe", "settings set useFrontCamera side",
                          "settings set volume 1"}) {
    const CommandRun run = tonewell(bad);
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_NE(run.output.find("tonewell: "), std::string::npos) << run.output;
  }
  EXPECT_EQ(sim::readFile(domainFile()), before);
  const CommandRun run = tonewell("settings set pocketBrightness -11");
  EXPECT_NE(run.output.find("Pocket brightness (pocketBrightness) takes a number from -10 to 2"),
            std::string::npos)
      << run.output;
}

// A hand-edited domain is shown as the monitor will read it, with how it reads what is stored:
// the page and a replay of the person's own domain agree on every setting.
TEST_F(SettingsCommandTest, HandEditedValuesShowWhatTheMonitorUses) {
  std::filesystem::create_directories(home_.path() + "/Preferences");
  std::ofstream(domainFile())
      << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
         "<key>pocketBrightness</key><string>dark</string>"
         "<key>increaseVolumeDelay</key><string>1e9</string>"
         "<key>ringingVolumeWhileInPocket</key><integer>18446744073709551615</integer>"
         "<key>useFrontCamera</key><array/>"
         "<key>enabled</key><string>yes</string></dict></plist>";
  CommandRun run = tonewell("settings");
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* note : {"stored \"dark\", which the monitor reads as 0",
                           "stored \"1e9\", which the monitor holds to 10",
                           "stored 1.8446744073709552e+19, which the monitor holds to 1",
                           "stored (), which the monitor ignores: it uses the default front",
                           "stored \"yes\", which the monitor reads as on"}) {
    EXPECT_NE(run.output.find(note), std::string::npos) << note << "\n" << run.output;
  }
  run = tonewell("settings get pocketBrightness");
  EXPECT_EQ(run.output,
            "0\ntonewell: pocketBrightness: stored \"dark\", which the monitor reads as 0\n");

  const std::string scenario = home_.path() + "/own-domain.yaml";
  std::ofstream(scenario) << "name: own\nevents:\n  - {at: 0, call: stopRinging}\nuntil: 1\n";
  const auto replayed = nlohmann::json::parse(tonewell("run " + scenario + " --json").output);
  const auto page = nlohmann::json::parse(tonewell("settings --json").output);
  ASSERT_EQ(page["rows"].size(), 7u);
  for (const auto& row : page["rows"]) {
    const std::string key = row["key"];
    const auto& monitor = replayed["final"][key == "enabled" ? "isEnabled" : key];
    if (row["value"].is_boolean()) {
      EXPECT_EQ(row["value"], monitor) << row["key"];
    } else {
      EXPECT_FLOAT_EQ(row["value"].get<float>(), monitor.get<float>()) << row["key"];
    }
  }
}

// `settings set` and `run --set` read what a person types with one parser: the same words, the
// same ranges, the same values stored.
TEST_F(SettingsCommandTest, SetAndTheReplaysSetTakeTheSameWords) {
  const std::pair<const char*, const char*> typed[] = {{"enabled", "TRUE"},
                                                       {"enabled", "Off"},
                                                       {"enabled", "+1"},
                                                       {"enabled", "maybe"},
                                                       {"useFrontCamera", "back"},
                                                       {"useFrontCamera", "Front"},
                                                       {"useFrontCamera", "side"},
                                                       {"pocketBrightness", "50"},
                                                       {"pocketBrightness", "-1000"},
                                                       {"pocketBrightness", "-5"},
                                                       {"pocketBrightness", "+1.5"},
                                                       {"increaseVolumeDelay", "-5"},
                                                       {"ringingVolumeWhileInPocket", "7"},
                                                       {"ringingVolumeWhileInPocket", "0.9"},
                                                       {"increaseVolumeDelay", "nan"},
                                                       {"increaseVolumeDelay", ""}};
  for (const auto& [key, text] : typed) {
    const std::string value = std::string("'") + text + "'";
    const CommandRun set = tonewell(std::string("settings set ") + key + " " + value);
    const CommandRun replay =
        tonewell(std::string("run --builtin disabled --json --set ") + key + "=" + value);
    EXPECT_EQ(set.status, replay.status) << key << " " << text << "\n"
                                         << set.output << "\n"
                                         << replay.output;
    EXPECT_TRUE(set.status == 0 || set.status == 2) << set.output;
    if (set.status != 0) continue;
    const auto final = nlohmann::json::parse(replay.output)["final"];
    const auto row =
        nlohmann::json::parse(tonewell(std::string("settings --json get ") + key).output);
    for (const auto& [variable, setting] :
         {std::pair{"isEnabled", "enabled"},
          {"useFrontCamera", "useFrontCamera"},
          {"pocketBrightness", "pocketBrightness"},
          {"increaseVolumeDelay", "increaseVolumeDelay"},
          {"ringingVolumeWhileInPocket", "ringingVolumeWhileInPocket"}}) {
      if (std::string(setting) != key) continue;
      if (row["value"].is_boolean()) {
        EXPECT_EQ(final[variable], row["value"]) << key << " " << text;
      } else {
        EXPECT_FLOAT_EQ(final[variable].get<float>(), row["value"].get<float>())
            << key << " " << text;
      }
    }
  }
}

TEST_F(SettingsCommandTest, AReplaySaysWhenTheMonitorHoldsAStoredSettingToItsRange) {
  const std::string scenario = home_.path() + "/bright.yaml";
  std::ofstream(scenario) << "name: held\npreferences: {pocketBrightness: 50, increaseVolumeDelay: "
                             "\"soon\"}\nevents:\n  - {at: 0, call: stopRinging}\nuntil: 1\n";
  const CommandRun run = tonewell("run " + scenario);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(
      run.output.find("Settings the monitor reads otherwise than the scenario stores them:\n"
                      "    increaseVolumeDelay: stored \"soon\", which the monitor reads as 0\n"
                      "    pocketBrightness: stored 50, which the monitor holds to 2\n"),
      std::string::npos)
      << run.output;
}

TEST_F(SettingsCommandTest, TapsTheButtons) {
  CommandRun run = tonewell("settings tap followOnTwitter");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("Opened https://social.example.com/intent/user?screen_name="),
            std::string::npos);

  run = tonewell("settings tap viewOtherApps");
  EXPECT_EQ(run.status, 1) << "a page that cannot be loaded is a failure";
  EXPECT_NE(run.output.find("Page \"My tweaks\""), std::string::npos);
  EXPECT_NE(run.output.find("label: Loading web page..."), std::string::npos);
  EXPECT_NE(run.output.find("loading https://www.example.com/tonewell/tweaks.html (gives up "
                            "after 15 s)"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("tonewell: the page could not be loaded"), std::string::npos)
      << run.output;
  {
    testing_support::LocalHttpServer server;
    run = tonewell("settings tap viewOtherApps", server.address());
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("loaded: \"Tonewell: other tweaks\" (HTTP 200)"), std::string::npos)
        << run.output;
  }

  run = tonewell("settings tap sendDebugLog --no-mail-account");
  EXPECT_EQ(run.status, 1) << "the ERROR alert is a failure";
  EXPECT_NE(run.output.find("tonewell: alert \"ERROR\""), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Back on \"Tonewell\""), std::string::npos);

  EXPECT_EQ(tonewell("settings tap nothing").status, 2);
}

// Blocks until `path` grows to hold `text`, or five seconds pass: the system log is written by
// another process, so the test waits on the file's change events rather than sleeping.
bool waitForText(const std::string& path, const std::string& text) {
  const int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0) return false;
  inotify_add_watch(fd, path.c_str(), IN_MODIFY);
  bool found = false;
  for (int round = 0; round < 100 && !found; ++round) {
    found = sim::readFile(path).value_or("").find(text) != std::string::npos;
    if (found) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    char events[4096];
    [[maybe_unused]] auto ignored = ::read(fd, events, sizeof events);
  }
  ::close(fd);
  return found;
}

TEST_F(SettingsCommandTest, MonitorLinesReachTheDebugLogMail) {
  struct stat info {};
  if (::stat("/dev/log", &info) != 0 || !S_ISSOCK(info.st_mode) ||
      ::access("/var/log/syslog", R_OK) != 0) {
    GTEST_SKIP() << "no syslog daemon writing /var/log/syslog (scripts/test.sh starts rsyslogd "
                    "when run as root)";
  }
  const std::string marker = "/Library/Ringtones/e2e-" + std::to_string(::getpid()) + ".m4r";
  const std::string scenario = home_.path() + "/ring.yaml";
  std::ofstream(scenario) << "preferences: {enableDebugLogging: true}\n"
                             "world: [{at: 0, brightness: -7}]\n"
                             "events: [{at: 0, call: \"playRingtoneAtPath:\", args: [\""
                          << marker << "\"]}, {at: 5, call: stopRinging}]\nuntil: 6\n";
  ASSERT_EQ(tonewell("run " + scenario + " --syslog").status, 0);
  ASSERT_TRUE(waitForText("/var/log/syslog", marker)) << "the replay's lines never reached syslog";

  const CommandRun run = tonewell("settings tap sendDebugLog --mail save");
  ASSERT_EQ(run.status, 0) << run.output;
  const auto at = run.output.find("Message written to ");
  ASSERT_NE(at, std::string::npos) << run.output;
  const std::string path = run.output.substr(at + 19, run.output.find('\n', at) - at - 19);
  const ParsedMail mail = parseMail(sim::readFile(path).value_or(""));
  EXPECT_EQ(mail.attachmentName, "tonewell_syslog.txt");
  const std::string& decoded = mail.attachment;
  EXPECT_NE(decoded.find("playRingtoneAtPath:" + marker), std::string::npos);
  EXPECT_NE(decoded.find("TW: ringing volume was increased."), std::string::npos);
  EXPECT_NE(decoded.find("TW: stopRinging, restoring the original volume."), std::string::npos);
}

// Sends a line to the system log's socket stamped `stamp`, as tonewell's replays stamp theirs.
void sendStamped(const std::string& stamp, const std::string& message) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", "/dev/log");
  const std::string datagram =
      "<13>" + stamp + " tonewell-test[" + std::to_string(::getpid()) + "]: " + message;
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    ::send(fd, datagram.data(), datagram.size(), 0);
  }
  if (fd >= 0) ::close(fd);
}

// The monitor's raises and restores in a replay's JSON, in seconds.
std::pair<std::vector<double>, std::vector<double>> changesOf(const nlohmann::json& replay) {
  std::vector<double> raises, restores;
  double volume = replay["initialVolume"].get<double>();
  for (const auto& change : replay["volume"]) {
    if (change["category"] != "Ringtone") continue;
    if (change["by"] != "monitor") {
      volume = change["value"].get<double>();
      continue;
    }
    (change["value"].get<double>() > volume ? raises : restores)
        .push_back(change["t"].get<double>());
    volume = change["value"].get<double>();
  }
  return {raises, restores};
}

void expectSameTimes(const std::vector<double>& a, const std::vector<double>& b,
                     const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 2e-6) << what;
}

// Built-in rings go to rsyslogd, come back in the debug-log mail, and replay from it as they
// first ran: the same raises and restores, to the time stamps' microsecond.
TEST_F(SettingsCommandTest, ABuiltinRingComesBackFromTheDebugLogMail) {
  struct stat info {};
  if (::stat("/dev/log", &info) != 0 || !S_ISSOCK(info.st_mode) ||
      ::access("/var/log/syslog", R_OK) != 0) {
    GTEST_SKIP() << "no syslog daemon writing /var/log/syslog (scripts/test.sh starts rsyslogd "
                    "when run as root)";
  }
  const std::string probe = "stamp-probe-" + std::to_string(::getpid());
  sendStamped("2001-02-03T04:05:06.250000+00:00", probe);
  ASSERT_TRUE(waitForText("/var/log/syslog", probe));
  const std::string log = sim::readFile("/var/log/syslog").value_or("");
  const auto probeLine = log.rfind('\n', log.find(probe)) + 1;
  if (log.compare(probeLine, 26, "2001-02-03T04:05:06.250000") != 0) {
    GTEST_SKIP() << "the syslog daemon does not keep the senders' time stamps (the one "
                    "scripts/test-services.sh starts does)";
  }

  const std::vector<std::string> builtins = {"pocket-call", "on-table", "disabled"};
  std::vector<nlohmann::json> originals;
  for (const auto& name : builtins) {
    const CommandRun run = tonewell("run --builtin " + name + " --syslog --json");
    ASSERT_EQ(run.status, 0) << run.output;
    originals.push_back(nlohmann::json::parse(run.output));
  }
  const std::string done = "rings-sent-" + std::to_string(::getpid());
  sendStamped("2001-02-03T04:05:07.000000+00:00", done);  // after every line of the replays
  ASSERT_TRUE(waitForText("/var/log/syslog", done));

  CommandRun run = tonewell("settings tap sendDebugLog --mail save");
  ASSERT_EQ(run.status, 0) << run.output;
  const auto at = run.output.find("Message written to ");
  ASSERT_NE(at, std::string::npos) << run.output;
  const std::string mailPath = run.output.substr(at + 19, run.output.find('\n', at) - at - 19);
  const std::string attachment = home_.path() + "/tonewell_syslog.txt";
  std::ofstream(attachment) << parseMail(sim::readFile(mailPath).value_or("")).attachment;

  // The replays' rings are the last ones in the log with their hook lines (another test may
  // ring at the same time, from a ringtone of its own), in the order they ran.
  auto hookCall = [](const nlohmann::json& replay) {
    for (const auto& line : replay["log"]) {
      const std::string message = line["message"];
      if (message.rfind("-[<SBUserAgent: ", 0) == 0) {
        // As the list shows it: a pattern described over several lines on one.
        return tonewell::onOneLine(
            message.substr(message.find("> ") + 2, message.size() - message.find("> ") - 3));
      }
    }
    return std::string();
  };
  std::set<std::string> calls;
  for (const auto& original : originals) calls.insert(hookCall(original));
  const CommandRun list = tonewell("import " + attachment + " --list");
  ASSERT_EQ(list.status, 0) << list.output;
  std::vector<std::pair<int, std::string>> ours;  // ring number, call
  std::istringstream lines(list.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("ring ", 0) != 0) continue;
    const std::string call = line.substr(line.find("  ", line.find("  ") + 2) + 2);
    if (calls.count(call)) ours.emplace_back(std::stoi(line.substr(5)), call);
  }
  ASSERT_GE(ours.size(), builtins.size()) << list.output;
  ours.erase(ours.begin(), ours.end() - static_cast<std::ptrdiff_t>(builtins.size()));

  for (std::size_t i = 0; i < builtins.size(); ++i) {
    ASSERT_EQ(ours[i].second, hookCall(originals[i])) << builtins[i] << "\n" << list.output;
    const int ring = ours[i].first;
    run = tonewell("run --from-log " + attachment + " --ring " + std::to_string(ring) + " --json");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto replay = nlohmann::json::parse(run.output);
    const auto [raises, restores] = changesOf(originals[i]);
    const auto [replayedRaises, replayedRestores] = changesOf(replay);
    expectSameTimes(replay["fromLog"]["logOutcome"]["raises"], raises, builtins[i] + " log");
    expectSameTimes(replay["fromLog"]["logOutcome"]["restores"], restores, builtins[i] + " log");
    expectSameTimes(replayedRaises, raises, builtins[i] + " replay");
    expectSameTimes(replayedRestores, restores, builtins[i] + " replay");
    EXPECT_TRUE(replay["fromLog"]["disagreements"].empty()) << builtins[i];
  }
}

}  // namespace

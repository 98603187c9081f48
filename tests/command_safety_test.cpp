// `tonewell` trusted with a person's files and scripts: parallel writers, links and devices,
// damaged and unusual domains, mail that never replaces mail, servers that refuse, a first run
// on a bare machine, and scenario input that is too big, too deep or not text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "local_smtp_server.h"
#include "platform/sim/property_list_codec.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CommandRun;
using testing_support::TemporaryFolder;

class CommandSafetyTest : public ::testing::Test {
 protected:
  CommandRun tonewell(const std::string& arguments, const std::string& environment = "") {
    return testing_support::runCommand("TONEWELL_HOME=" + home_.path() + " " + environment + " " +
                                       TONEWELL_COMMAND + " " + arguments + " 2>&1");
  }
  std::string domainFile() const {
    return home_.path() + "/Preferences/com.example.tonewell.plist";
  }
  platform::Dictionary domain() const {
    auto bytes = sim::readFile(domainFile());
    auto value = sim::parsePropertyList(
        {reinterpret_cast<const std::uint8_t*>(bytes.value_or("").data()), bytes->size()});
    const auto* d = value ? value->getIf<platform::Dictionary>() : nullptr;
    return d ? *d : platform::Dictionary{};
  }
  void storeXml(const std::string& body) {
    fs::create_directories(home_.path() + "/Preferences");
    std::ofstream(domainFile()) << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" << body
                                << "</dict></plist>";
  }

  TemporaryFolder home_;
};

// Parallel writers of different keys: every one lands (the lock serialises read-modify-write),
// also when they start from a lock its dead holder left behind, with its id or empty.
TEST_F(CommandSafetyTest, ParallelSetsOfDifferentKeysAllLandPastALockLeftBehind) {
  long dead = 4'000'000;
  while (sim::processRuns(dead)) --dead;
  const char* const sets[] = {"enabled off",           "useFrontCamera back",
                              "increaseVolumeDelay 7", "ringingVolumeWhileInPocket 0.6",
                              "pocketBrightness -8",   "increaseVolumeIfHorizontal on"};
  for (int round = 0; round < 6; ++round) {
    fs::remove(domainFile());
    fs::create_directories(home_.path() + "/Preferences");
    if (round % 3 == 1) std::ofstream(domainFile() + ".lock") << dead << "\n";
    if (round % 3 == 2) std::ofstream(domainFile() + ".lock").flush();
    std::vector<pid_t> writers;
    for (const char* set : sets) {
      const std::string command = "TONEWELL_HOME=" + home_.path() + " " + TONEWELL_COMMAND +
                                  " settings set " + set + " > /dev/null";
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        ::_exit(127);
      }
      writers.push_back(pid);
    }
    for (pid_t pid : writers) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    EXPECT_EQ(domain().count(), 6u) << "round " << round << ": a lost update";
    EXPECT_FALSE(fs::exists(domainFile() + ".lock"));
  }
}

TEST_F(CommandSafetyTest, AnEmptyLockLeftByAKilledWriterIsTakenOver) {
  ASSERT_EQ(tonewell("settings set enabled off").status, 0);
  std::ofstream(domainFile() + ".lock").flush();
  EXPECT_EQ(tonewell("settings set pocketBrightness -6").status, 0);
  std::ofstream(domainFile() + ".lock").flush();
  const CommandRun reset = tonewell("settings reset --all");
  EXPECT_EQ(reset.status, 0) << reset.output;
  EXPECT_EQ(domain().count(), 0u);
  EXPECT_FALSE(fs::exists(domainFile() + ".lock"));
}

TEST_F(CommandSafetyTest, AHeldLockFailsClearlyAfterAWhileAndStoresNothing) {
  ASSERT_EQ(tonewell("settings set enabled off").status, 0);
  sim::FileLock held(domainFile());  // a holder that runs: us
  ASSERT_TRUE(held.held());
  const CommandRun run = tonewell("settings set enabled on");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(domainFile() + ".lock: another process is changing this file"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(*domain().objectForKey("enabled"), platform::Value(false));
}

TEST_F(CommandSafetyTest, WritesGoThroughALinkAndNeverOverADevice) {
  TemporaryFolder elsewhere;
  fs::create_directories(home_.path() + "/Preferences");
  const std::string target = elsewhere.path() + "/kept.plist";
  fs::create_symlink(target, domainFile());
  ASSERT_EQ(tonewell("settings set pocketBrightness -6").status, 0);
  EXPECT_TRUE(fs::is_symlink(domainFile())) << "the link stays";
  EXPECT_TRUE(fs::exists(target));

  CommandRun run = tonewell("run --builtin on-table --plot /dev/null");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("/dev/null: cannot write the plot: not a regular file"),
            std::string::npos)
      << run.output;
  struct stat info {};
  ASSERT_EQ(::stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode)) << "/dev/null is still the device";

  const std::string plotLink = home_.path() + "/plot.svg";
  fs::create_symlink(elsewhere.path() + "/real.svg", plotLink);
  ASSERT_EQ(tonewell("run --builtin on-table --plot " + plotLink).status, 0);
  EXPECT_TRUE(fs::is_symlink(plotLink));
  EXPECT_NE(sim::readFile(elsewhere.path() + "/real.svg").value_or("").find("<svg"),
            std::string::npos);
}

TEST_F(CommandSafetyTest, ACorruptDomainIsSaidAndResetAllSetsItAside) {
  fs::create_directories(home_.path() + "/Preferences");
  std::ofstream(domainFile()) << "bplist00 truncated";
  CommandRun run = tonewell("settings");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(domainFile() + ": not a property list"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("`tonewell settings reset --all` sets the file aside"),
            std::string::npos);
  EXPECT_EQ(tonewell("settings get enabled").status, 1);
  run = tonewell("settings set enabled off");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("not a property list"), std::string::npos) << run.output;

  run = tonewell("settings reset --all");
  ASSERT_EQ(run.status, 0) << run.output;
  std::vector<std::string> aside;
  for (const auto& entry : fs::directory_iterator(home_.path() + "/Preferences")) {
    aside.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(aside[0].rfind("com.example.tonewell.plist.corrupt-", 0), 0u) << aside[0];
  EXPECT_EQ(sim::readFile(home_.path() + "/Preferences/" + aside[0]), "bplist00 truncated")
      << "never deleted";
  EXPECT_EQ(tonewell("settings").status, 0);
}

// A domain of 150 bytes whose containers share one another stands for billions of values: it is
// refused at once, nothing is written over it, and reset --all sets it aside as it is.
TEST_F(CommandSafetyTest, ADomainWhoseContainersShareOneAnotherIsRefusedAtOnce) {
  fs::create_directories(home_.path() + "/Preferences");
  const std::string bomb = testing_support::sharedContainerList(40);
  std::ofstream(domainFile(), std::ios::binary) << bomb;
  const std::string why = "stands for more than 250000 values";
  CommandRun run = tonewell("settings");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(domainFile() + ": the property list " + why), std::string::npos)
      << run.output;
  run = tonewell("settings set enabled off");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(why), std::string::npos) << run.output;
  EXPECT_EQ(sim::readFile(domainFile()), bomb) << "nothing written over it";

  run = tonewell("settings reset --all");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_FALSE(fs::exists(domainFile()));
}

TEST_F(CommandSafetyTest, ADeeplyNestedValueIsNamed) {
  std::string nested;
  for (int i = 0; i < 300; ++i) nested += "<array>";
  for (int i = 0; i < 300; ++i) nested += "</array>";
  storeXml("<key>enabled</key><true/><key>tower</key>" + nested);
  const CommandRun run = tonewell("settings");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("the value of \"tower\" cannot be read"), std::string::npos)
      << run.output;
}

TEST_F(CommandSafetyTest, AValueThatCannotBeWrittenBackExactlyStopsTheWrite) {
  storeXml("<key>birthday</key><date>2100-01-01T00:00:00Z</date>");
  const auto before = sim::readFile(domainFile());
  const CommandRun run = tonewell("settings set enabled off");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("the value of \"birthday\" cannot be written back exactly"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("nothing was stored"), run.output.rfind("nothing was stored"))
      << "said once: " << run.output;
  EXPECT_EQ(sim::readFile(domainFile()), before);
}

TEST_F(CommandSafetyTest, GetAndJsonAreForScripts) {
  ASSERT_EQ(tonewell("settings set useFrontCamera back").status, 0);
  CommandRun run = tonewell("settings get useFrontCamera");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "Back\n");
  run = tonewell("settings --json get useFrontCamera");
  const auto row = nlohmann::json::parse(run.output);
  EXPECT_EQ(row["value"], false);
  EXPECT_EQ(row["stored"], true);
  run = tonewell("settings --json");
  ASSERT_EQ(run.status, 0);
  const auto page = nlohmann::json::parse(run.output);
  EXPECT_EQ(page["rows"].size(), 7u);
  EXPECT_EQ(page["buttons"].size(), 3u);
  EXPECT_EQ(tonewell("settings get nothing").status, 2);
}

TEST_F(CommandSafetyTest, RowsTakeTheFormsPeopleTypeAndRefuseEmptyKeys) {
  for (const char* on : {"on", "true", "YES", "1"}) {
    ASSERT_EQ(tonewell(std::string("settings set enabled ") + on).status, 0) << on;
    EXPECT_EQ(*domain().objectForKey("enabled"), platform::Value(true)) << on;
  }
  for (const char* off : {"off", "False", "no", "0"}) {
    ASSERT_EQ(tonewell(std::string("settings set enabled ") + off).status, 0) << off;
    EXPECT_EQ(*domain().objectForKey("enabled"), platform::Value(false)) << off;
  }
  ASSERT_EQ(tonewell("settings set pocketBrightness -0").status, 0);
  const double stored = *domain().objectForKey("pocketBrightness")->getIf<double>();
  EXPECT_FALSE(std::signbit(stored)) << "-0 is stored as 0";
  ASSERT_EQ(tonewell("settings set increaseVolumeDelay +3").status, 0);

  CommandRun run = tonewell("settings set '' 1");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("no row for \"\""), std::string::npos) << run.output;
  EXPECT_EQ(tonewell("settings reset ''").status, 2);
  EXPECT_FALSE(fs::exists(home_.path() + "/Preferences/.plist"));
}

TEST_F(CommandSafetyTest, AFirstRunOnABareHomeMakesTheWholePath) {
  TemporaryFolder bare;  // no .local/share under it
  const std::string env = "env -u TONEWELL_HOME -u XDG_DATA_HOME HOME=" + bare.path() + " ";
  CommandRun run =
      testing_support::runCommand(env + TONEWELL_COMMAND + " settings set enabled off 2>&1");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(
      fs::exists(bare.path() + "/.local/share/tonewell/Preferences/com.example.tonewell.plist"));
}

TEST_F(CommandSafetyTest, MailsStoredInOneSecondNeverReplaceEachOther) {
  const std::string log = home_.path() + "/syslog";
  std::ofstream(log) << "a line of the system log\n";
  // The page's "tail" reads the test's file in place of the phone's system log.
  const std::string env = "TONEWELL_SYSLOG_FILE=" + log;
  for (int i = 0; i < 3; ++i) {
    const CommandRun run = tonewell("settings tap sendDebugLog --mail save", env);
    ASSERT_EQ(run.status, 0) << run.output;
  }
  int drafts = 0;
  for (const auto& entry : fs::directory_iterator(home_.path() + "/Mail/Drafts")) {
    drafts += entry.path().extension() == ".eml";
  }
  EXPECT_EQ(drafts, 3);
}

// Killed while its log command waits on a system log nobody writes, the command takes the log
// command with it: the FIFO's reader goes.
TEST_F(CommandSafetyTest, AKilledCommandLeavesNoLogCommandBehind) {
  const std::string fifo = home_.path() + "/syslog";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string home = "TONEWELL_HOME=" + home_.path();
  const std::string syslog = "TONEWELL_SYSLOG_FILE=" + fifo;
  const char* argv[] = {TONEWELL_COMMAND, "settings", "tap", "sendDebugLog", nullptr};
  const char* envp[] = {home.c_str(), syslog.c_str(), "PATH=/usr/bin:/bin", nullptr};
  const pid_t command = ::fork();
  if (command == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execve(TONEWELL_COMMAND, const_cast<char**>(argv), const_cast<char**>(envp));
    ::_exit(127);
  }
  ASSERT_GT(command, 0);
  // Opening the FIFO for writing waits for its reader: the page's tail.
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ::kill(command, SIGKILL);
  int status = 0;
  ::waitpid(command, &status, 0);
  pollfd gone{writer, 0, 0};
  ASSERT_EQ(::poll(&gone, 1, 10'000), 1) << "tail still reads the FIFO ten seconds later";
  EXPECT_TRUE(gone.revents & POLLERR);
  ::close(writer);
}

TEST_F(CommandSafetyTest, MailFailuresExitNonZeroWithTheServersOwnReply) {
  const std::string log = home_.path() + "/syslog";
  std::ofstream(log) << "a line\n";
  const std::string env = "TONEWELL_SYSLOG_FILE=" + log;
  CommandRun run = tonewell("settings tap sendDebugLog --mail send",
                            env + " TONEWELL_SMTP_URL=http://127.0.0.1:1/");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("is not smtp:// or smtps://"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("Mail sent\n"), std::string::npos);

  testing_support::LocalSmtpServer server(testing_support::LocalSmtpServer::refuseRecipients);
  run =
      tonewell("settings tap sendDebugLog --mail send", env + " TONEWELL_SMTP_URL=" + server.url());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("tonewell: Mail sent failure: The mail server refused the message: "
                            "550 5.1.1 mailbox unavailable"),
            std::string::npos)
      << run.output;
}

// A server that stops answering in the middle of the message is given the page's time in all,
// and the failure says what happened: not "could not be reached", not "refused".
TEST_F(CommandSafetyTest, AMailServerThatStallsOrDropsIsSaidForWhatItDid) {
  const std::string log = home_.path() + "/syslog";
  std::ofstream(log) << "a line\n";
  const std::string env = "TONEWELL_SYSLOG_FILE=" + log;
  {
    testing_support::LocalSmtpServer server(testing_support::LocalSmtpServer::stallInData);
    const auto start = std::chrono::steady_clock::now();
    const CommandRun run = tonewell("settings tap sendDebugLog --mail send --timeout 1",
                                    env + " TONEWELL_SMTP_URL=" + server.url());
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("The mail server stopped answering: the message was not taken "
                              "within 1 s."),
              std::string::npos)
        << run.output;
    EXPECT_LT(took, 30) << "the limit holds for the whole delivery, its goodbye included";
  }
  {
    testing_support::LocalSmtpServer server(testing_support::LocalSmtpServer::dropInData);
    const CommandRun run = tonewell("settings tap sendDebugLog --mail send",
                                    env + " TONEWELL_SMTP_URL=" + server.url());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("The connection to the mail server was lost before it took the "
                              "message"),
              std::string::npos)
        << run.output;
  }
}

TEST_F(CommandSafetyTest, AServersReplyReachesTheTerminalWithItsControlsEscaped) {
  const std::string log = home_.path() + "/syslog";
  std::ofstream(log) << "a line\n";
  testing_support::LocalSmtpServer server(testing_support::LocalSmtpServer::refuseWithControls);
  const CommandRun run =
      tonewell("settings tap sendDebugLog --mail send",
               "TONEWELL_SYSLOG_FILE=" + log + " TONEWELL_SMTP_URL=" + server.url());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("550 5.1.1 \\x1b]0;owned\\x07\\x1b[2J gone"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find_first_of(std::string("\x1b\x07", 2)), std::string::npos);
}

TEST_F(CommandSafetyTest, AMalformedRouteIsRefused) {
  const CommandRun run = tonewell("settings", "TONEWELL_ROUTE=www.example.com:443=localhost");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("TONEWELL_ROUTE: the rule \"www.example.com:443=localhost\" is not "
                            "host:port=target:port"),
            std::string::npos)
      << run.output;
}

TEST_F(CommandSafetyTest, ScenarioInputIsBounded) {
  struct Case {
    std::string text;
    std::string error;
  };
  std::string bomb = "preferences:\n  a0: &a0 [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]\n";
  for (int i = 1; i < 8; ++i) {
    bomb += "  a" + std::to_string(i) + ": &a" + std::to_string(i) + " [";
    for (int k = 0; k < 10; ++k) bomb += (k ? ", *a" : "*a") + std::to_string(i - 1);
    bomb += "]\n";
  }
  const Case cases[] = {
      {"until: " + std::string(26000, '9') + "\n", "scenario.yaml:1:8: the number 9999"},
      {"events: [{at: 1" + std::string(400, '0') + ", call: stopRinging}]\n",
       "scenario.yaml:1:15: the number 1000"},
      {"events: [{at: 1e-400, call: stopRinging}]\n", "1:15: the number 1e-400 is out of range"},
      {"events: [{at: 40000000, call: stopRinging}]\n",
       "1:15: at must be at most a year (31536000 s)"},
      {"name: \"caf\xff\"\n", "scenario.yaml:1:11: not valid UTF-8 (a byte 0xff)"},
      {bomb, "aliases expand the scenario to more than 1000000 values"},
  };
  for (const auto& c : cases) {
    const std::string file = home_.path() + "/scenario.yaml";
    std::ofstream(file, std::ios::binary) << c.text;
    const CommandRun run = testing_support::runCommand(
        "cd " + home_.path() + " && " + TONEWELL_COMMAND + " run scenario.yaml 2>&1");
    EXPECT_EQ(run.status, 2) << c.error;
    EXPECT_NE(run.output.find(c.error), std::string::npos) << run.output;
  }
  CommandRun run = tonewell("run /dev/zero");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("/dev/zero: cannot read the scenario: not a regular file"),
            std::string::npos)
      << run.output;

  // A FIFO as the domain file is refused at once, never waited on.
  fs::create_directories(home_.path() + "/Preferences");
  ASSERT_EQ(::mkfifo(domainFile().c_str(), 0644), 0);
  run = tonewell("settings");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("not a regular file"), std::string::npos) << run.output;
  EXPECT_EQ(tonewell("settings set enabled off").status, 1);
}

}  // namespace

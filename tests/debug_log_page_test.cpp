#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "advanced_view_controller.h"
#include "pane_fixture.h"
#include "platform/message_ui.h"
#include "platform/sim/screen.h"

namespace {

using platform::MFMailComposeViewController;
using testing_support::countOf;

// The page runs "/bin/sh -c 'tail --lines=4000 /var/log/syslog'"; here the phone's
// "/var/log/syslog" is a log file of the test's own.
class DebugLogPageTest : public testing_support::PaneTest {
 protected:
  void SetUp() override {
    PaneTest::SetUp();
    syslog_ = folder_.path() + "/syslog";
    sim::mapPath("/var/log/syslog", syslog_);
  }
  void writeLog(const std::string& text) { std::ofstream(syslog_, std::ios::binary) << text; }
  // Taps the button and lets the page appear.
  void open() {
    list_->sendDebugLog();
    settle();
  }
  std::shared_ptr<MFMailComposeViewController> composer() {
    return std::dynamic_pointer_cast<MFMailComposeViewController>(
        navigation_->presentedViewController());
  }
  TW_AdvancedViewController* page() { return dynamic_cast<TW_AdvancedViewController*>(top()); }

  testing_support::TemporaryFolder folder_;
  std::string syslog_;
};

TEST_F(DebugLogPageTest, ComposerCarriesTheWholeShortLog) {
  writeLog("line one\nline two TW: ringing volume was increased.\n");
  open();
  auto mail = composer();
  ASSERT_NE(mail, nullptr);
  ASSERT_NE(page(), nullptr) << "the page waits under the composer";
  EXPECT_EQ(page()->navigationItem().title(), "");
  EXPECT_EQ(page()->view()->backgroundColor()->name(), "whiteColor");
  EXPECT_EQ(mail->subject(), "Tonewell debug log");
  EXPECT_EQ(mail->body(), "Hello,\r\n\r\nMy problem with Tonewell is: ");
  EXPECT_FALSE(mail->bodyIsHTML());
  EXPECT_EQ(mail->toRecipients(), std::vector<std::string>{"tonewell-support@example.com"});
  ASSERT_EQ(mail->attachments().size(), 1u);
  const auto& attachment = mail->attachments()[0];
  EXPECT_EQ(attachment.fileName, "tonewell_syslog.txt");
  EXPECT_EQ(attachment.mimeType, "text/plain");
  EXPECT_EQ(std::string(attachment.data.begin(), attachment.data.end()),
            "line one\nline two TW: ringing volume was increased.\n");
  EXPECT_EQ(sim::logMessages(), std::vector<std::string>{"TW: generating debug log..."});
}

TEST_F(DebugLogPageTest, OnlyTheLast4000LinesAreTaken) {
  std::string log;
  for (int i = 1; i <= 4500; ++i) log += "line " + std::to_string(i) + "\n";
  writeLog(log);
  open();
  ASSERT_NE(composer(), nullptr);
  const auto& data = composer()->attachments().at(0).data;
  const std::string text(data.begin(), data.end());
  EXPECT_EQ(text.rfind("line 501\n", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4000);
}

struct Outcome {
  int result;
  const char* message;  // null: nothing logged
};

class OutcomeTest : public DebugLogPageTest, public ::testing::WithParamInterface<Outcome> {};

TEST_P(OutcomeTest, LogsTheOutcomeDismissesAndLeaves) {
  writeLog("a line\n");
  open();
  auto mail = composer();
  ASSERT_NE(mail, nullptr);
  sim::clearLog();
  const platform::NSError error("MFMailComposeErrorDomain", 1, "The mail server refused it.");
  page()->mailComposeControllerDidFinishWithResultError(mail.get(), GetParam().result, &error);
  settle();
  EXPECT_EQ(navigation_->presentedViewController(), nullptr) << "the composer is dismissed";
  EXPECT_EQ(top(), list_.get()) << "and the page popped";
  if (GetParam().message) {
    EXPECT_EQ(sim::logMessages(), std::vector<std::string>{GetParam().message});
  } else {
    EXPECT_TRUE(sim::logMessages().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Results, OutcomeTest,
    ::testing::Values(Outcome{0, "Mail cancelled"}, Outcome{1, "Mail saved"},
                      Outcome{2, "Mail sent"},
                      Outcome{3, "Mail sent failure: The mail server refused it."},
                      Outcome{4, nullptr}, Outcome{-1, nullptr}),
    [](const auto& p) { return "Result" + std::to_string(p.param.result + 1); });

// The end of the composer's dismissal uncovers the page, which appears again (viewDidAppear:)
// while a pop would be lost: the page collects and offers once, and leaves after the dismissal.
TEST_F(DebugLogPageTest, TheDismissalUncoversThePageWithoutASecondMail) {
  writeLog("a line\n");
  open();
  auto mail = composer();
  ASSERT_NE(mail, nullptr);
  mail->personChose(platform::MFMailComposeResultSaved);
  settle();
  EXPECT_EQ(countOf(sim::logMessages(), "TW: generating debug log..."), 1) << "no second log";
  EXPECT_EQ(navigation_->presentedViewController(), nullptr) << "no second composer";
  EXPECT_EQ(top(), list_.get()) << "the page left";
}

// One page that comes on screen a second time collects the log again and offers a new mail.
TEST_F(DebugLogPageTest, SecondAppearanceCollectsAgain) {
  writeLog("first\n");
  open();
  auto first = composer();
  ASSERT_NE(first, nullptr);
  const std::shared_ptr<platform::UIViewController> samePage =
      navigation_->viewControllers().back();
  first->personChose(platform::MFMailComposeResultCancelled);
  settle();
  ASSERT_NE(top(), samePage.get()) << "the page left";
  writeLog("second\n");
  navigation_->pushViewControllerAnimated(samePage, true);  // the same page appears again
  settle();
  ASSERT_EQ(top(), samePage.get());
  auto second = composer();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first) << "a new composer";
  const auto& data = second->attachments().at(0).data;
  EXPECT_EQ(std::string(data.begin(), data.end()), "second\n");
  EXPECT_EQ(countOf(sim::logMessages(), "TW: generating debug log..."), 2);
}

// 4000 lines bound the work only while lines are short: a log of long lines is cut to its last
// 8 MiB of whole lines, and the attachment says so in its first line.
TEST_F(DebugLogPageTest, ALogOfLongLinesIsCutToItsLastEightMegabytes) {
  {
    std::ofstream out(syslog_, std::ios::binary);
    const std::string filler(1 << 20, 'x');
    for (int i = 0; i < 20; ++i) out << "line " << i << ": " << filler << "\n";
  }
  open();
  ASSERT_NE(composer(), nullptr);
  const auto& data = composer()->attachments().at(0).data;
  const std::string text(data.begin(), data.end());
  const std::string notice =
      "[Tonewell: the log was longer than 8 MiB; these are its last whole lines.]\n";
  ASSERT_EQ(text.rfind(notice, 0), 0u);
  EXPECT_LE(text.size(), notice.size() + (8u << 20));
  EXPECT_EQ(text.compare(notice.size(), 5, "line "), 0) << "a whole line follows";
  EXPECT_NE(text.find("line 19: "), std::string::npos) << "the newest lines are kept";
  EXPECT_EQ(text.find("line 0: "), std::string::npos);
}

// One line longer than 8 MiB: no whole line is left, only the notice says what happened.
TEST_F(DebugLogPageTest, ALogOfOneLineLongerThanEightMegabytesLeavesTheNotice) {
  writeLog(std::string((8u << 20) + 100, 'x'));
  open();
  ASSERT_NE(composer(), nullptr);
  const auto& data = composer()->attachments().at(0).data;
  EXPECT_EQ(std::string(data.begin(), data.end()),
            "[Tonewell: the log was longer than 8 MiB; these are its last whole lines.]\n");
}

// A page that is on no navigation stack (shown some other way) still collects, offers and says,
// and the composer's outcome without an error or a composer is said as the platform says it.
TEST_F(DebugLogPageTest, APageOnNoNavigationStackAndAnOutcomeWithoutDetails) {
  for (bool withLog : {true, false}) {
    if (withLog) {
      writeLog("a line\n");
    } else {
      std::remove(syslog_.c_str());
    }
    TW_AdvancedViewController alone;
    alone.viewDidAppear(false);
    settle();
    EXPECT_EQ(sim::alertsOnScreen().size(), withLog ? 0u : 1u);
    sim::clearLog();
    alone.mailComposeControllerDidFinishWithResultError(nullptr, 3, nullptr);
    EXPECT_EQ(sim::logMessages(), std::vector<std::string>{"Mail sent failure: (null)"});
  }
}

// A system log that never ends (a device that always has more) or never begins (a FIFO nobody
// writes): the log command runs within its memory and its time, the page says it has no log, and
// nothing of the command is left running.
TEST_F(DebugLogPageTest, ALogThatNeverEndsRunsOutOfTheMemoryItMayUse) {
  sim::mapPath("/var/log/syslog", "/dev/zero");
  sim::limitTasks(60, 64u << 20);
  open();
  EXPECT_EQ(composer(), nullptr);
  EXPECT_EQ(sim::alertsOnScreen().size(), 1u);
  EXPECT_EQ(top(), list_.get());
}

TEST_F(DebugLogPageTest, ALogNobodyWritesIsStoppedAtItsTime) {
  ASSERT_EQ(::mkfifo(syslog_.c_str(), 0600), 0);
  sim::limitTasks(0.2);
  open();
  EXPECT_EQ(composer(), nullptr);
  EXPECT_EQ(sim::alertsOnScreen().size(), 1u);
  EXPECT_EQ(sim::taskReports(),
            std::vector<std::string>{"\"/bin/sh -c tail --lines=4000 " + syslog_ +
                                     "\" did not finish within 0.2 s and was stopped"});
}

}  // namespace

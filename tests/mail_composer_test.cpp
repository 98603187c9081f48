#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "local_smtp_server.h"
#include "mail_parser.h"
#include "platform/message_ui.h"
#include "platform/sim/screen.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::MFMailComposeResult;
using platform::MFMailComposeViewController;
using testing_support::ParsedMail;
using testing_support::parseMail;

class Recorder : public platform::MFMailComposeViewControllerDelegate {
 public:
  void mailComposeControllerDidFinishWithResultError(MFMailComposeViewController*, int r,
                                                     const platform::NSError* e) noexcept override {
    ++calls;
    result = r;
    error = e ? e->localizedDescription() : "";
  }
  int calls = 0, result = -1;
  std::string error;
};

class MailComposerTest : public testing_support::PhoneTest {
 protected:
  void SetUp() override {
    PhoneTest::SetUp();
    ::unsetenv("TONEWELL_SMTP_URL");
    composer_ = std::make_shared<MFMailComposeViewController>();
    composer_->setMailComposeDelegate(&recorder_);
    composer_->setSubject("Tonewell debug log");
    composer_->setMessageBodyIsHTML("Hello,\r\n\r\nMy problem with Tonewell is: ", false);
    composer_->setToRecipients({"tonewell-support@example.com"});
    log_ = "Dec  8 10:00:00 phone SpringBoard: TW: ringing volume was increased.\n";
    composer_->addAttachmentDataMimeTypeFileName(platform::Data(log_.begin(), log_.end()),
                                                 "text/plain", "tonewell_syslog.txt");
  }
  void TearDown() override { ::unsetenv("TONEWELL_SMTP_URL"); }

  void expectOurMessage(const ParsedMail& mail) {
    EXPECT_EQ(mail.subject, "Tonewell debug log");
    EXPECT_EQ(mail.to, "tonewell-support@example.com");
    EXPECT_EQ(mail.body, "Hello,\r\n\r\nMy problem with Tonewell is: ");
    EXPECT_EQ(mail.attachmentName, "tonewell_syslog.txt");
    EXPECT_EQ(mail.attachmentType, "text/plain");
    EXPECT_EQ(mail.attachment, log_);
  }

  std::shared_ptr<MFMailComposeViewController> composer_;
  Recorder recorder_;
  std::string log_;
};

TEST_F(MailComposerTest, SavedMessageIsADraftOnDisk) {
  composer_->personChose(platform::MFMailComposeResultSaved);
  EXPECT_EQ(recorder_.result, 1);
  ASSERT_FALSE(composer_->storedPath().empty());
  EXPECT_EQ(fs::path(composer_->storedPath()).parent_path().filename(), "Drafts");
  expectOurMessage(parseMail(*sim::readFile(composer_->storedPath())));
  const std::string text = composer_->messageText();
  EXPECT_NE(text.find("Message-Id: <"), std::string::npos);
  EXPECT_NE(text.find("Content-Transfer-Encoding: base64"), std::string::npos);
}

TEST_F(MailComposerTest, OutcomeIsReportedOnce) {
  composer_->personChose(platform::MFMailComposeResultCancelled);
  composer_->personChose(platform::MFMailComposeResultSent);
  EXPECT_EQ(recorder_.calls, 1);
  EXPECT_EQ(recorder_.result, 0);
  EXPECT_TRUE(composer_->storedPath().empty());
}

TEST_F(MailComposerTest, SentWithoutAServerWaitsInTheOutbox) {
  composer_->personChose(platform::MFMailComposeResultSent);
  EXPECT_EQ(recorder_.result, 2);
  EXPECT_EQ(fs::path(composer_->storedPath()).parent_path().filename(), "Outbox");
}

TEST_F(MailComposerTest, UnreachableServerIsAFailureThatSaysWhy) {
  ::setenv("TONEWELL_SMTP_URL", "smtp://127.0.0.1:1", 1);
  composer_->personChose(platform::MFMailComposeResultSent);
  EXPECT_EQ(recorder_.result, 3);
  EXPECT_EQ(recorder_.error.rfind("The mail server could not be reached", 0), 0u)
      << recorder_.error;
  EXPECT_EQ(fs::path(composer_->storedPath()).parent_path().filename(), "Outbox");
}

// The bytes on the wire are the message, unchanged: compared as the server received them.
TEST_F(MailComposerTest, TheServerReceivesTheMessageByteForByte) {
  testing_support::LocalSmtpServer server;
  ::setenv("TONEWELL_SMTP_URL", server.url().c_str(), 1);
  composer_->personChose(platform::MFMailComposeResultSent);
  ASSERT_EQ(recorder_.result, 2) << recorder_.error;
  EXPECT_EQ(fs::path(composer_->storedPath()).parent_path().filename(), "Sent");
  const auto received = server.messages();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], *sim::readFile(composer_->storedPath()));
  expectOurMessage(parseMail(received[0]));
  EXPECT_NE(received[0].find("Content-Type: text/plain; name=tonewell_syslog.txt; charset=utf-8"),
            std::string::npos)
      << received[0];
}

}  // namespace

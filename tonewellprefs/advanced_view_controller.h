// The debug-log mailer: on appearance it collects the last 4000 lines of the system log and
// offers them in a mail to the maker, or says that the system log is missing.
#pragma once

#include <optional>
#include <string>

#include "platform/message_ui.h"
#include "platform/ui_kit.h"

namespace tonewell::pane {

class TW_AdvancedViewController : public platform::UIViewController,
                                  public platform::MFMailComposeViewControllerDelegate {
 public:
  const char* className() const override { return "TW_AdvancedViewController"; }

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  // The tail of the system log: empty when the shell cannot be launched, none when the output
  // is not UTF-8.
  std::optional<std::string> generateDebugLog() noexcept;
  void mailComposeControllerDidFinishWithResultError(
      platform::MFMailComposeViewController* controller, int result,
      const platform::NSError* error) noexcept override;

 private:
  void showAlertAndLeave(const char* message);
  // Leaves the Settings stack and is ready for its next push.
  void leave();
  // The page has collected the log and offered it; the appearance that ends the composer's
  // dismissal must not do it again. Cleared when the page leaves.
  bool offered_ = false;
};

}  // namespace tonewell::pane

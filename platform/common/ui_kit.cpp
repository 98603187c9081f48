// The UIKit parts that hold no platform state: named colours, alerts' contents, and the
// selectors a view answers.
#include "platform/ui_kit.h"

#include <cstring>

namespace platform {

std::shared_ptr<UIColor> UIColor::clearColor() {
  static const auto color = std::make_shared<UIColor>("clearColor");
  return color;
}

std::shared_ptr<UIColor> UIColor::whiteColor() {
  static const auto color = std::make_shared<UIColor>("whiteColor");
  return color;
}

bool UIView::performSelectorWithObject(SEL selector, const Value*) {
  if (std::strcmp(selector, "removeFromSuperview") == 0) {
    removeFromSuperview();
    return true;
  }
  return false;
}

UIAlertView::UIAlertView(std::string title, std::string message, std::string cancelButtonTitle,
                         std::vector<std::string> otherButtonTitles)
    : title_(std::move(title)),
      message_(std::move(message)),
      cancelButtonTitle_(std::move(cancelButtonTitle)),
      otherButtonTitles_(std::move(otherButtonTitles)) {}

}  // namespace platform

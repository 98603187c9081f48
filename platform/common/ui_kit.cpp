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

UIView::~UIView() {
  for (const auto& view : subviews_) {
    if (view && view->superview_ == this) view->superview_ = nullptr;
  }
}

bool UIView::performSelectorWithObject(SEL selector, const Value*) {
  if (std::strcmp(selector, "removeFromSuperview") == 0) {
    removeFromSuperview();
    return true;
  }
  return false;
}

UIViewController::Dismissal UIViewController::takePresented() {
  // Sent to the presented controller, it goes to its presenter.
  UIViewController* presenter = presented_ ? this : presenter_;
  if (presenter == nullptr || !presenter->presented_) return {nullptr, nullptr};
  std::shared_ptr<UIViewController> dismissed = std::move(presenter->presented_);
  dismissed->presenter_ = nullptr;
  return {presenter, std::move(dismissed)};
}

UIAlertView::UIAlertView(std::string title, std::string message, std::string cancelButtonTitle,
                         std::vector<std::string> otherButtonTitles)
    : title_(std::move(title)),
      message_(std::move(message)),
      cancelButtonTitle_(std::move(cancelButtonTitle)),
      otherButtonTitles_(std::move(otherButtonTitles)) {}

}  // namespace platform

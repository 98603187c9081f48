#include "platform/ui_kit.h"

#include <algorithm>
#include <cstring>

#include "phone_state.h"
#include "platform/task_runner.h"

namespace platform {

namespace {

constexpr CGRect kScreen{0, 0, 320, 480};

Duration animation(bool animated) {
  return animated ? Duration{350'000'000} : Duration{0};
}

// Keeps `object` alive until a later pass of the main run loop, as an autoreleased object is:
// a controller popped or dismissed from inside its own method must outlive that method.
void releaseLater(std::shared_ptr<NSObject> object, Duration delay) {
  if (!object) return;
  mainRunLoop().postDelayedTask([keep = std::move(object)] {}, delay);
}

}  // namespace

void UIView::setAutoresizingMask(unsigned mask) {
  autoresizingMask_ = mask;
}

void UIView::setBackgroundColor(std::shared_ptr<UIColor> color) {
  backgroundColor_ = std::move(color);
}

void UILabel::setText(std::string text) {
  text_ = std::move(text);
}

void UILabel::setTextAlignment(NSTextAlignment alignment) {
  alignment_ = alignment;
}

void UIView::setFrame(CGRect frame) {
  const double dw = frame.width - frame_.width, dh = frame.height - frame_.height;
  frame_ = frame;
  for (auto& sub : subviews_) {
    CGRect f = sub->frame();
    if (sub->autoresizingMask() & UIViewAutoresizingFlexibleWidth) f.width += dw;
    if (sub->autoresizingMask() & UIViewAutoresizingFlexibleHeight) f.height += dh;
    if (!(f == sub->frame())) sub->setFrame(f);
  }
}

void UIView::addSubview(std::shared_ptr<UIView> view) {
  if (!view || view.get() == this) return;
  view->removeFromSuperview();
  view->superview_ = this;
  subviews_.push_back(std::move(view));
}

void UIView::removeFromSuperview() {
  UIView* parent = superview_;
  if (parent == nullptr) return;
  superview_ = nullptr;
  auto& siblings = parent->subviews_;
  auto it = std::find_if(siblings.begin(), siblings.end(),
                         [this](const std::shared_ptr<UIView>& v) { return v.get() == this; });
  if (it != siblings.end()) {
    auto keep = std::move(*it);  // the last owner may be the superview: release after erasing
    siblings.erase(it);
  }
}

const std::shared_ptr<UIView>& UIViewController::view() {
  if (!view_) {
    view_ = std::make_shared<UIView>(kScreen);
    viewDidLoad();
  }
  return view_;
}

void UIViewController::presentViewControllerAnimatedCompletion(
    std::shared_ptr<UIViewController> controller, bool animated, std::function<void()> completion) {
  if (!controller || presented_) return;
  controller->presenter_ = this;
  presented_ = std::move(controller);
  presented_->view();
  if (completion) mainRunLoop().postDelayedTask(std::move(completion), animation(animated));
}

void UIViewController::dismissViewControllerAnimatedCompletion(bool animated,
                                                               std::function<void()> completion) {
  const Dismissal dismissal = takePresented();
  if (dismissal.presenter == nullptr) return;
  releaseLater(dismissal.dismissed, animation(animated));
  // As on iOS 7: while the dismissal runs, the presenter's navigation stack takes no push or pop;
  // when it ends, the controller it uncovers appears again (viewDidAppear:), then the
  // completion runs.
  dismissal.presenter->transitioning_ = true;
  std::weak_ptr<NSObject> presenter = dismissal.presenter->weak_from_this();
  mainRunLoop().postDelayedTask(
      [presenter, animated] {
        auto p = std::dynamic_pointer_cast<UIViewController>(presenter.lock());
        if (!p) return;
        p->transitioning_ = false;
        UIViewController* uncovered = p.get();
        if (auto* navigation = dynamic_cast<UINavigationController*>(p.get())) {
          uncovered = navigation->topViewController();
        }
        if (uncovered) uncovered->viewDidAppear(animated);
      },
      animation(animated));
  if (completion) mainRunLoop().postDelayedTask(std::move(completion), animation(animated));
}

void UINavigationController::pushViewControllerAnimated(
    std::shared_ptr<UIViewController> controller, bool animated) {
  if (!controller || transitioning_) return;
  controller->navigationController_ = this;
  stack_.push_back(controller);
  controller->view();
  // It appears once the push animation has run; a controller popped before then never does.
  std::weak_ptr<UIViewController> weak = controller;
  mainRunLoop().postDelayedTask(
      [weak, animated] {
        if (auto c = weak.lock(); c && c->navigationController_) c->viewDidAppear(animated);
      },
      animation(animated));
}

std::shared_ptr<UIViewController> UINavigationController::popViewControllerAnimated(bool animated) {
  // A pop while a presented controller is being dismissed is lost, as iOS 7 loses it.
  if (stack_.size() <= 1 || transitioning_) return nullptr;
  std::shared_ptr<UIViewController> popped = std::move(stack_.back());
  stack_.pop_back();
  popped->navigationController_ = nullptr;
  releaseLater(popped, animation(animated));
  std::weak_ptr<UIViewController> top = stack_.back();
  mainRunLoop().postDelayedTask(
      [top, animated] {
        if (auto c = top.lock()) c->viewDidAppear(animated);
      },
      animation(animated));
  return popped;
}

void UIAlertView::show() {
  auto self = std::dynamic_pointer_cast<UIAlertView>(weak_from_this().lock());
  if (!self) return;
  auto& screen = sim::currentPhone().screen;
  std::lock_guard lock(screen.mutex);
  screen.alerts.push_back(std::move(self));
}

UIApplication* UIApplication::sharedApplication() {
  static UIApplication application;
  return &application;
}

bool UIApplication::openURL(const NSURL& url) {
  auto& screen = sim::currentPhone().screen;
  std::lock_guard lock(screen.mutex);
  screen.openedURLs.push_back(url.absoluteString());
  return url.scheme() == "http" || url.scheme() == "https";
}

}  // namespace platform

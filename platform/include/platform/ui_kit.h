// UIKit: views, view controllers, the navigation stack, labels, web views, alerts and the
// application object. Everything here is used on the main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ns_object.h"
#include "platform/ns_url.h"

namespace platform {

struct CGRect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const CGRect&) const = default;
};
inline CGRect CGRectMake(double x, double y, double w, double h) {
  return {x, y, w, h};
}

enum UIViewAutoresizing : unsigned {
  UIViewAutoresizingNone = 0,
  UIViewAutoresizingFlexibleWidth = 1 << 1,
  UIViewAutoresizingFlexibleHeight = 1 << 4,
};

enum NSTextAlignment : int { NSTextAlignmentLeft = 0, NSTextAlignmentCenter = 1 };

class UIColor : public NSObject {
 public:
  explicit UIColor(std::string name) : name_(std::move(name)) {}
  const char* className() const override { return "UIColor"; }
  static std::shared_ptr<UIColor> clearColor();
  static std::shared_ptr<UIColor> whiteColor();
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

class UIView : public NSObject {
 public:
  UIView() = default;
  explicit UIView(CGRect frame) : frame_(frame) {}  // initWithFrame:
  // Subviews that outlive their superview (held elsewhere) are left without one.
  ~UIView() override;
  const char* className() const override { return "UIView"; }

  CGRect frame() const { return frame_; }
  // Setting a new frame resizes the subviews that follow their superview's size.
  void setFrame(CGRect frame);
  CGRect bounds() const { return {0, 0, frame_.width, frame_.height}; }
  void setAutoresizingMask(unsigned mask);
  unsigned autoresizingMask() const { return autoresizingMask_; }
  void setBackgroundColor(std::shared_ptr<UIColor> color);
  const std::shared_ptr<UIColor>& backgroundColor() const { return backgroundColor_; }

  // The superview owns its subviews; later ones lie over earlier ones.
  void addSubview(std::shared_ptr<UIView> view);
  // Takes the view off its superview; nothing happens when it has none.
  void removeFromSuperview();
  const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
  UIView* superview() const { return superview_; }

  bool performSelectorWithObject(SEL selector, const Value* object) override;

 private:
  friend struct NativeBridge;
  CGRect frame_;
  unsigned autoresizingMask_ = UIViewAutoresizingNone;
  std::shared_ptr<UIColor> backgroundColor_;
  std::vector<std::shared_ptr<UIView>> subviews_;
  UIView* superview_ = nullptr;
};

class UILabel : public UIView {
 public:
  using UIView::UIView;
  const char* className() const override { return "UILabel"; }
  void setText(std::string text);
  const std::string& text() const { return text_; }
  void setTextAlignment(NSTextAlignment alignment);
  NSTextAlignment textAlignment() const { return alignment_; }

 private:
  std::string text_;
  NSTextAlignment alignment_ = NSTextAlignmentLeft;
};

class UIWebView;

class UIWebViewDelegate {
 public:
  virtual ~UIWebViewDelegate() = default;
  virtual void webViewDidFinishLoad(UIWebView* webView) noexcept = 0;
  virtual void webViewDidFailLoadWithError(UIWebView* webView, const NSError* error) noexcept = 0;
};

class UIWebView : public UIView {
 public:
  using UIView::UIView;
  ~UIWebView() override;
  const char* className() const override { return "UIWebView"; }

  // The delegate is not owned and not cleared for the delegate: one that goes away first must
  // set it to null.
  void setDelegate(UIWebViewDelegate* delegate) { delegate_ = delegate; }
  UIWebViewDelegate* delegate() const { return delegate_; }

  // Loads the page off the main thread and tells the delegate on the main run loop when it has
  // finished or failed.
  void loadRequest(const NSURLRequest& request);
  // Abandons a load in progress: no notice of it reaches the delegate.
  void stopLoading();

  // What the view shows: the page's title (its character references decoded), whether a load
  // finished, and the HTTP status the server answered with (0 when none came).
  const std::string& pageTitle() const { return pageTitle_; }
  bool loaded() const { return loaded_; }
  long httpStatus() const { return httpStatus_; }
  // The address of the last load asked for.
  const std::string& requestURL() const { return requestURL_; }
  // Why the last load failed; empty when it did not.
  const std::string& lastError() const { return lastError_; }

  struct Load;

 private:
  void finished(const std::shared_ptr<Load>& load);

  UIWebViewDelegate* delegate_ = nullptr;
  std::shared_ptr<Load> load_;
  std::string pageTitle_;
  std::string lastError_;
  bool loaded_ = false;
  long httpStatus_ = 0;
  std::string requestURL_;
};

class UINavigationController;

class UINavigationItem {
 public:
  void setTitle(std::string title) { title_ = std::move(title); }
  const std::string& title() const { return title_; }

 private:
  std::string title_;
};

class UIViewController : public NSObject {
 public:
  const char* className() const override { return "UIViewController"; }

  // The controller's view, made and loaded (viewDidLoad) on first use, as big as the screen.
  const std::shared_ptr<UIView>& view();
  bool isViewLoaded() const { return view_ != nullptr; }
  virtual void viewDidLoad() {}
  virtual void viewDidAppear(bool /*animated*/) {}

  UINavigationItem& navigationItem() { return navigationItem_; }
  // The navigation controller whose stack holds this controller, or null.
  UINavigationController* navigationController() const { return navigationController_; }

  // Shows `controller` over everything; the presenter keeps it until it is dismissed.
  void presentViewControllerAnimatedCompletion(std::shared_ptr<UIViewController> controller,
                                               bool animated, std::function<void()> completion);
  // Takes the presented controller (or this one, when it is presented) off the screen. Until it
  // has gone, a navigation stack that presented it takes no push or pop; then the controller it
  // uncovers appears again (viewDidAppear:), and then `completion` runs.
  void dismissViewControllerAnimatedCompletion(bool animated, std::function<void()> completion);
  const std::shared_ptr<UIViewController>& presentedViewController() const { return presented_; }

 private:
  friend class UINavigationController;
  friend struct NativeBridge;
  // A dismissal sent here: the presenter it goes to (this one, or the one presenting this),
  // with what it presented unlinked from it; a null presenter when nothing is presented.
  struct Dismissal {
    UIViewController* presenter = nullptr;
    std::shared_ptr<UIViewController> dismissed;
  };
  Dismissal takePresented();

  std::shared_ptr<UIView> view_;
  UINavigationItem navigationItem_;
  UINavigationController* navigationController_ = nullptr;
  UIViewController* presenter_ = nullptr;
  std::shared_ptr<UIViewController> presented_;
  // A dismissal of what this controller presented is running (the simulated phone only).
  bool transitioning_ = false;
};

class UINavigationController : public UIViewController {
 public:
  const char* className() const override { return "UINavigationController"; }
  // Puts `controller` on top; it appears (viewDidAppear) once the push has run on the main run
  // loop. The stack owns it from then on.
  void pushViewControllerAnimated(std::shared_ptr<UIViewController> controller, bool animated);
  // Takes the top controller off (never the root) and returns it.
  std::shared_ptr<UIViewController> popViewControllerAnimated(bool animated);
  const std::vector<std::shared_ptr<UIViewController>>& viewControllers() const { return stack_; }
  UIViewController* topViewController() const {
    return stack_.empty() ? nullptr : stack_.back().get();
  }

 private:
  std::vector<std::shared_ptr<UIViewController>> stack_;
};

class UIAlertView : public NSObject {
 public:
  // initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles:, with no delegate.
  UIAlertView(std::string title, std::string message, std::string cancelButtonTitle,
              std::vector<std::string> otherButtonTitles = {});
  const char* className() const override { return "UIAlertView"; }
  // Puts the alert on the screen, where it stays by itself until its button is tapped.
  void show();
  const std::string& title() const { return title_; }
  const std::string& message() const { return message_; }
  const std::string& cancelButtonTitle() const { return cancelButtonTitle_; }
  const std::vector<std::string>& otherButtonTitles() const { return otherButtonTitles_; }

 private:
  std::string title_, message_, cancelButtonTitle_;
  std::vector<std::string> otherButtonTitles_;
};

class UIApplication : public NSObject {
 public:
  static UIApplication* sharedApplication();
  const char* className() const override { return "UIApplication"; }
  // Hands the URL to the system; true when a handler took it.
  bool openURL(const NSURL& url);
};

}  // namespace platform

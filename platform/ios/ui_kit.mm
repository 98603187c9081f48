#include "platform/ui_kit.h"

#import <UIKit/UIKit.h>
#include <objc/runtime.h>

#include "native_bridge.h"
#include "native_object.h"
#include "platform/ios/bridged_controllers.h"

// UIWebView and UIAlertView are the classes the pane was written for; both still work.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"

// Passes a web view's notices to its delegate, while our web view lives.
@interface TonewellWebViewForwarder : NSObject <UIWebViewDelegate> {
 @public
  platform::UIWebView* _view;
}
@end

@implementation TonewellWebViewForwarder

- (void)webViewDidFinishLoad:(::UIWebView*)webView {
  if (_view == nullptr || _view->delegate() == nullptr) return;
  _view->delegate()->webViewDidFinishLoad(_view);
}

- (void)webView:(::UIWebView*)webView didFailLoadWithError:(::NSError*)error {
  if (_view == nullptr || _view->delegate() == nullptr) return;
  try {
    const std::shared_ptr<platform::NSError> failure = platform::fromNSError(error);
    _view->delegate()->webViewDidFailLoadWithError(_view, failure.get());
  } catch (...) {
  }
}

@end

@implementation TonewellBridgedViewController {
  std::shared_ptr<platform::UIViewController> _controller;
  std::shared_ptr<platform::UINavigationController> _navigation;
}

@synthesize parentController = _parentController;
@synthesize rootController = _rootController;
@synthesize specifier = _specifier;

- (instancetype)initWithController:(std::shared_ptr<platform::UIViewController>)controller {
  if ((self = [super initWithNibName:nil bundle:nil])) {
    _controller = std::move(controller);
    if (_controller) platform::bindNativeOwner(*_controller, self);
    [self layOutBelowTheBars];
  }
  return self;
}

// iOS 7 lays a page under its translucent navigation bar unless told otherwise: the top 64
// points of a page's content (the web view's page, say) would be hidden.
- (void)layOutBelowTheBars {
  if ([self respondsToSelector:@selector(setEdgesForExtendedLayout:)]) {
    self.edgesForExtendedLayout = UIRectEdgeNone;
  }
}

- (instancetype)initWithNibName:(NSString*)nibName bundle:(NSBundle*)bundle {
  // Made by name (by the system): the twin is the class registered under the same name.
  std::shared_ptr<platform::UIViewController> twin;
  try {
    twin = std::dynamic_pointer_cast<platform::UIViewController>(
        platform::instantiateClassNamed(NSStringFromClass([self class]).UTF8String));
  } catch (...) {
  }
  if ((self = [super initWithNibName:nibName bundle:bundle])) {
    _controller = std::move(twin);
    if (_controller) platform::bindNativeOwner(*_controller, self);
    [self layOutBelowTheBars];
  }
  return self;
}

- (platform::UIViewController*)controller {
  return _controller.get();
}

- (std::shared_ptr<platform::UIViewController>)sharedController {
  return _controller;
}

// Our controller finds the navigation stack it is on, and its title reaches the bar.
- (void)syncWithTwin {
  ::UINavigationController* navigation = self.navigationController;
  if (navigation == nil) {
    _navigation.reset();
  } else if (!_navigation || platform::nativeOf(_navigation.get()) != navigation) {
    _navigation = std::make_shared<platform::UINavigationController>();
    platform::bindNativeOwner(*_navigation, navigation);
  }
  platform::NativeBridge::setNavigation(*_controller, _navigation.get());
}

- (void)showTwinTitle {
  self.navigationItem.title = platform::toNSString(_controller->navigationItem().title());
}

- (void)viewDidLoad {
  [super viewDidLoad];
  if (!_controller) return;
  try {
    [self syncWithTwin];
    platform::NativeBridge::bindView(*_controller, self.view);
    _controller->viewDidLoad();
    [self showTwinTitle];
  } catch (...) {
    // The page stays as the phone made it; Settings runs on.
  }
}

// The rest of PSController: a page of ours stores no preference and has nothing to do when
// Settings is suspended, locked, woken or asked to open a URL.
- (void)setPreferenceValue:(id)value specifier:(id)specifier {
}

- (id)readPreferenceValue:(id)specifier {
  return nil;
}

- (void)willResignActive {
}

- (void)willBecomeActive {
}

- (void)suspend {
}

- (void)didLock {
}

- (void)willUnlock {
}

- (void)didUnlock {
}

- (void)didWake {
}

- (void)pushController:(id)controller {
  if ([controller isKindOfClass:[::UIViewController class]]) {
    [self.navigationController pushViewController:controller animated:YES];
  }
}

- (void)handleURL:(id)url {
}

- (BOOL)canBeShownFromSuspendedState {
  return NO;
}

- (void)statusBarWillAnimateByHeight:(float)height {
}

- (void)viewDidAppear:(BOOL)animated {
  [super viewDidAppear:animated];
  if (!_controller) return;
  try {
    [self syncWithTwin];
    _controller->viewDidAppear(animated);
    [self showTwinTitle];
  } catch (...) {
  }
}

@end

namespace platform {

namespace {

::CGRect nativeRect(CGRect r) {
  return ::CGRectMake(r.x, r.y, r.width, r.height);
}

CGRect ourRect(::CGRect r) {
  return {r.origin.x, r.origin.y, r.size.width, r.size.height};
}

::UIColor* nativeColor(const std::shared_ptr<UIColor>& color) {
  if (!color) return nil;
  if (color->name() == "clearColor") return [::UIColor clearColor];
  if (color->name() == "whiteColor") return [::UIColor whiteColor];
  return nil;
}

::NSTextAlignment nativeAlignment(NSTextAlignment alignment) {
  return alignment == NSTextAlignmentCenter ? ::NSTextAlignmentCenter : ::NSTextAlignmentLeft;
}

// Both sides use UIKit's bit values for the flexible width and height.
::UIViewAutoresizing nativeMask(unsigned mask) {
  return static_cast<::UIViewAutoresizing>(mask);
}

const char kWebViewForwarderKey = 0;

TonewellWebViewForwarder* forwarderOf(::UIWebView* webView) {
  return webView ? objc_getAssociatedObject(webView, &kWebViewForwarderKey) : nil;
}

}  // namespace

::UIView* nativeView(UIView& view) {
  if (::id existing = nativeOf(&view)) return existing;
  const ::CGRect frame = nativeRect(view.frame());
  ::UIView* made = nil;
  if (auto* web = dynamic_cast<UIWebView*>(&view)) {
    ::UIWebView* webView = [[::UIWebView alloc] initWithFrame:frame];
    TonewellWebViewForwarder* forwarder = [[TonewellWebViewForwarder alloc] init];
    forwarder->_view = web;
    objc_setAssociatedObject(webView, &kWebViewForwarderKey, forwarder, OBJC_ASSOCIATION_RETAIN);
    webView.delegate = forwarder;
    made = webView;
  } else if (auto* label = dynamic_cast<UILabel*>(&view)) {
    ::UILabel* nativeLabel = [[::UILabel alloc] initWithFrame:frame];
    nativeLabel.text = toNSString(label->text());
    nativeLabel.textAlignment = nativeAlignment(label->textAlignment());
    made = nativeLabel;
  } else {
    made = [[::UIView alloc] initWithFrame:frame];
  }
  made.autoresizingMask = nativeMask(view.autoresizingMask());
  if (::UIColor* color = nativeColor(view.backgroundColor())) made.backgroundColor = color;
  bindNative(view, made);
  for (const auto& subview : view.subviews()) [made addSubview:nativeView(*subview)];
  return made;
}

void NativeBridge::bindView(UIViewController& controller, ::UIView* view) {
  if (controller.view_ || view == nil) return;
  auto ours = std::make_shared<UIView>(ourRect(view.frame));
  bindNative(*ours, view);
  controller.view_ = std::move(ours);
}

void NativeBridge::setNavigation(UIViewController& controller, UINavigationController* navigation) {
  controller.navigationController_ = navigation;
}

::UIViewController* nativeController(const std::shared_ptr<UIViewController>& controller) {
  if (!controller) return nil;
  if (::id existing = nativeOf(controller.get())) return existing;
  if (auto* composer = dynamic_cast<MFMailComposeViewController*>(controller.get())) {
    return makeNativeComposer(*composer);
  }
  // A page of the bundle has an Objective-C class of its own name; any other is a plain page.
  ::Class cls = ::objc_getClass(controller->className());
  if (cls == Nil || ![cls isSubclassOfClass:[TonewellBridgedViewController class]]) {
    cls = [TonewellBridgedViewController class];
  }
  return [[cls alloc] initWithController:controller];
}

// --- Views ---------------------------------------------------------------------------------------

void UIView::setFrame(CGRect frame) {
  frame_ = frame;
  if (::UIView* native = nativeOf(this)) native.frame = nativeRect(frame);
}

void UIView::setAutoresizingMask(unsigned mask) {
  autoresizingMask_ = mask;
  if (::UIView* native = nativeOf(this)) native.autoresizingMask = nativeMask(mask);
}

void UIView::setBackgroundColor(std::shared_ptr<UIColor> color) {
  backgroundColor_ = std::move(color);
  if (::UIView* native = nativeOf(this)) native.backgroundColor = nativeColor(backgroundColor_);
}

void UIView::addSubview(std::shared_ptr<UIView> view) {
  if (!view || view.get() == this) return;
  view->removeFromSuperview();
  view->superview_ = this;
  subviews_.push_back(view);
  if (::UIView* native = nativeOf(this)) [native addSubview:nativeView(*view)];
}

void UIView::removeFromSuperview() {
  if (superview_ == nullptr) return;
  // The superview may hold the last reference to this view.
  std::shared_ptr<NSObject> keepAlive = weak_from_this().lock();
  [(::UIView*)nativeOf(this) removeFromSuperview];
  auto& siblings = superview_->subviews_;
  for (auto it = siblings.begin(); it != siblings.end(); ++it) {
    if (it->get() == this) {
      siblings.erase(it);
      break;
    }
  }
  superview_ = nullptr;
}

void UILabel::setText(std::string text) {
  text_ = std::move(text);
  if (::UILabel* native = nativeOf(this)) native.text = toNSString(text_);
}

void UILabel::setTextAlignment(NSTextAlignment alignment) {
  alignment_ = alignment;
  if (::UILabel* native = nativeOf(this)) native.textAlignment = nativeAlignment(alignment);
}

UIWebView::~UIWebView() {
  ::UIWebView* native = nativeOf(this);
  if (native == nil) return;
  if (TonewellWebViewForwarder* forwarder = forwarderOf(native)) forwarder->_view = nullptr;
  native.delegate = nil;
  [native stopLoading];
}

void UIWebView::loadRequest(const NSURLRequest& request) {
  ::UIWebView* native = (::UIWebView*)nativeView(*this);
  requestURL_ = request.URL().absoluteString();
  ::NSURL* url = [::NSURL URLWithString:toNSString(request.URL().absoluteString())];
  if (url) [native loadRequest:[::NSURLRequest requestWithURL:url]];
}

void UIWebView::stopLoading() {
  if (::UIWebView* native = nativeOf(this)) {
    if (TonewellWebViewForwarder* forwarder = forwarderOf(native)) forwarder->_view = nullptr;
    [native stopLoading];
  }
}

// --- Controllers ---------------------------------------------------------------------------------

const std::shared_ptr<UIView>& UIViewController::view() {
  if (!view_) {
    ::UIViewController* native = nativeOf(this);
    // Loading the phone's view runs viewDidLoad, which binds ours to it.
    ::UIView* loaded = native.view;
    if (!view_) {
      view_ = std::make_shared<UIView>();
      if (loaded) bindNative(*view_, loaded);
    }
  }
  return view_;
}

namespace {

void (^completionBlock(std::function<void()> completion))(void) {
  if (!completion) return nil;
  return ^{
    try {
      completion();
    } catch (...) {
    }
  };
}

}  // namespace

void UIViewController::presentViewControllerAnimatedCompletion(
    std::shared_ptr<UIViewController> controller, bool animated, std::function<void()> completion) {
  if (!controller || presented_) return;
  ::UIViewController* presenter = nativeOf(this);
  ::UIViewController* presented = nativeController(controller);
  if (presenter == nil || presented == nil) return;
  controller->presenter_ = this;
  presented_ = std::move(controller);
  [presenter presentViewController:presented
                          animated:animated
                        completion:completionBlock(std::move(completion))];
}

void UIViewController::dismissViewControllerAnimatedCompletion(bool animated,
                                                               std::function<void()> completion) {
  Dismissal dismissal = takePresented();
  UIViewController* presenter = dismissal.presenter;
  if (presenter == nullptr) return;
  std::shared_ptr<UIViewController> dismissed = std::move(dismissal.dismissed);
  void (^done)(void) = completionBlock(std::move(completion));
  // Ours lives until the phone has taken its controller off the screen.
  [(::UIViewController*)nativeOf(presenter) dismissViewControllerAnimated:animated
                                                               completion:^{
                                                                 (void)dismissed;
                                                                 if (done) done();
                                                               }];
}

void UINavigationController::pushViewControllerAnimated(
    std::shared_ptr<UIViewController> controller, bool animated) {
  ::UINavigationController* navigation = nativeOf(this);
  ::UIViewController* pushed = nativeController(controller);
  if (navigation == nil || pushed == nil) return;
  [navigation pushViewController:pushed animated:animated];
}

std::shared_ptr<UIViewController> UINavigationController::popViewControllerAnimated(bool animated) {
  ::UINavigationController* navigation = nativeOf(this);
  if (navigation == nil || navigation.viewControllers.count <= 1) return nullptr;
  ::UIViewController* popped = [navigation popViewControllerAnimated:animated];
  if (![popped isKindOfClass:[TonewellBridgedViewController class]]) return nullptr;
  return [(TonewellBridgedViewController*)popped sharedController];
}

void UIAlertView::show() {
  ::UIAlertView* alert = [[::UIAlertView alloc] initWithTitle:toNSString(title_)
                                                      message:toNSString(message_)
                                                     delegate:nil
                                            cancelButtonTitle:toNSString(cancelButtonTitle_)
                                            otherButtonTitles:nil];
  for (const std::string& title : otherButtonTitles_) [alert addButtonWithTitle:toNSString(title)];
  [alert show];
}

UIApplication* UIApplication::sharedApplication() {
  static UIApplication application;
  return &application;
}

bool UIApplication::openURL(const NSURL& url) {
  ::NSURL* native = [::NSURL URLWithString:toNSString(url.absoluteString())];
  return native != nil && [[::UIApplication sharedApplication] openURL:native];
}

}  // namespace platform

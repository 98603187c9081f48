// UIKit, MessageUI, the Preferences framework and NSTask as the Settings pane meets them. Each
// object of these classes has a twin in the simulated phone's UIKit (a view, a controller on its
// navigation stack, a web view that really loads, a mail composer that really writes), so the
// Settings application drives the binary's pages exactly as it drives the native ones; the twins
// of controllers send what the system sends (viewDidLoad, viewDidAppear:, a row's action) to the
// binary.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <unordered_map>

#include "exceptions.h"
#include "frameworks.h"
#include "platform/message_ui.h"
#include "platform/ns_task.h"
#include "platform/ns_url.h"
#include "platform/preferences_framework.h"
#include "platform/ui_kit.h"
#include "stand_in.h"
#include "ui_frameworks.h"

namespace emulator {

namespace {

// UIViewController is this big on iOS 7's arm64 (ours needs only that the binary's own instance
// variables come after it); PSListController keeps its rows in `_specifiers` at its end.
constexpr std::uint32_t kControllerSize = 0x180;
constexpr std::uint32_t kListControllerSize = 0x200;
constexpr std::uint32_t kSpecifiersIvar = 0x1f8;

// Runs `work` in the binary: directly when the binary called the system that called back (a
// fault goes on to end that call), else as a call of its own.
void intoBinary(Runtime& rt, const std::function<void()>& work) {
  if (rt.failure()) return;
  if (rt.machine().running()) {
    work();
  } else {
    hostTask(rt, work)();
  }
}

struct Bridge;

// A view of the binary's: its twin among the phone's views.
struct ViewState : HostState {
  std::shared_ptr<platform::UIView> view;
  Bridge* bridge = nullptr;
  void releaseReferences(Runtime& runtime) override;
};

class WebDelegate;
struct WebViewState : ViewState {
  std::shared_ptr<WebDelegate> delegate;
  void releaseReferences(Runtime& runtime) override;
};

struct ControllerState : HostState {
  // Until the binary hands the controller to the system, its object owns the twin; afterwards
  // the system owns the twin and the twin holds the object.
  std::shared_ptr<platform::UIViewController> owned;
  // UIRectEdgeAll by default on iOS 7: the page lies under the translucent navigation bar.
  std::uint64_t edgesForExtendedLayout = 15;
  std::weak_ptr<platform::UIViewController> twin;
  Address view = 0;
  Address navigationItem = 0;
  Bridge* bridge = nullptr;
  void releaseReferences(Runtime& runtime) override;
};

struct NavigationItemState : HostState {
  std::weak_ptr<platform::UIViewController> controller;
};

struct ColorState : HostState {
  std::shared_ptr<platform::UIColor> color;
};

struct UrlState : HostState {
  std::optional<platform::NSURL> url;
};

struct SpecifierState : HostState {
  std::shared_ptr<platform::PSSpecifier> specifier;
};

struct AlertState : HostState {
  std::string title, message, cancel;
  std::vector<std::string> others;
};

class MailDelegate;

struct FileHandleState : HostState {
  int fd = -1;
  bool closeOnDealloc = false;
  void releaseReferences(Runtime&) override {
    if (closeOnDealloc && fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct TaskState : HostState {
  std::shared_ptr<platform::NSTask> task;
  std::string launchPath;
  std::vector<std::string> arguments;
  int standardOutput = -1;
};

// The twins and the objects of the binary that stand for them.
struct Bridge {
  Runtime& rt;
  std::unordered_map<const void*, Address> objects;  // twin -> the binary's object (weak)

  explicit Bridge(Runtime& runtime) : rt(runtime) {}

  Address find(const void* twin) const {
    auto it = objects.find(twin);
    return it == objects.end() ? 0 : it->second;
  }
  void bind(const void* twin, Address object) { objects[twin] = object; }
  void forget(const void* twin, Address object) {
    auto it = objects.find(twin);
    if (it != objects.end() && it->second == object) objects.erase(it);
  }

  // The binary's object for one of the phone's views (made, autoreleased, when it has none).
  Address viewObject(const std::shared_ptr<platform::UIView>& view) {
    if (!view) return 0;
    if (Address known = find(view.get())) return known;
    const char* cls = dynamic_cast<platform::UIWebView*>(view.get()) ? "UIWebView"
                      : dynamic_cast<platform::UILabel*>(view.get()) ? "UILabel"
                                                                     : "UIView";
    const Address object = rt.createInstance(rt.classNamed(cls));
    auto* state = rt.state<ViewState>(object);
    state->view = view;
    state->bridge = this;
    bind(view.get(), object);
    return rt.autorelease(object);
  }

  Address controllerObject(const std::shared_ptr<platform::UIViewController>& controller);
};

void ViewState::releaseReferences(Runtime&) {
  if (bridge && view) bridge->objects.erase(view.get());
}

// The twin of a controller of the binary's: what the system does to it reaches the binary.
template <typename Base>
class Twin : public Base {
 public:
  Twin(Runtime& rt, Address object, std::string className)
      : rt_(rt), object_(object), className_(std::move(className)) {}
  ~Twin() override {
    if (held_ && !rt_.failure()) rt_.release(object_);
  }
  const char* className() const override { return className_.c_str(); }
  void viewDidLoad() override {
    intoBinary(rt_, [&] { rt_.send(object_, "viewDidLoad", {}); });
  }
  void viewDidAppear(bool animated) override {
    intoBinary(rt_, [&] { rt_.send(object_, "viewDidAppear:", {boolean(animated)}); });
    warnOfHiddenContent();
  }
  bool performSelectorWithObject(platform::SEL selector, const platform::Value*) override {
    if (!rt_.respondsTo(object_, selector)) return false;
    intoBinary(rt_, [&] { rt_.send(object_, selector, {}); });
    return true;
  }
  // The system holds the twin from now on; the twin holds the binary's object.
  void hold() {
    if (held_) return;
    held_ = true;
    rt_.retain(object_);
  }
  Address object() const { return object_; }

 protected:
  Runtime& rt_;
  Address object_;

 private:
  // On iOS 7 a page on a navigation stack lies under the translucent bar unless its
  // edgesForExtendedLayout says otherwise: the top 64 points of a web page would be hidden.
  void warnOfHiddenContent() {
    auto* state = rt_.state<ControllerState>(object_);
    if (state == nullptr || !(state->edgesForExtendedLayout & 1) ||
        this->navigationController() == nullptr || !this->isViewLoaded() || warned_) {
      return;
    }
    for (const auto& view : this->view()->subviews()) {
      if (dynamic_cast<platform::UIWebView*>(view.get())) {
        warned_ = true;
        rt_.warn("the page " + className_ +
                 " lays its web view under iOS 7's translucent navigation bar: its top 64 points "
                 "are hidden (set edgesForExtendedLayout to none)");
        return;
      }
    }
  }

  std::string className_;
  bool held_ = false;
  bool warned_ = false;
};

class ControllerTwin : public Twin<platform::UIViewController> {
 public:
  using Twin::Twin;
};

// The Settings pane's root page: its rows are what the binary's -specifiers answers.
class ListTwin : public Twin<platform::PSListController> {
 public:
  using Twin::Twin;
  std::shared_ptr<platform::SpecifierArray> specifiers() override {
    std::shared_ptr<platform::SpecifierArray> rows;
    intoBinary(rt_, [&] {
      const Address array = rt_.send(object_, "specifiers", {}).integer;
      auto* items = rt_.state<ArrayState>(array);
      if (items == nullptr) return;
      rows = std::make_shared<platform::SpecifierArray>();
      for (Address item : items->items) {
        if (auto* specifier = rt_.state<SpecifierState>(item))
          rows->push_back(specifier->specifier);
      }
    });
    return rows;
  }
};

void hold(const std::shared_ptr<platform::UIViewController>& twin) {
  if (auto* controller = dynamic_cast<ControllerTwin*>(twin.get())) controller->hold();
  if (auto* list = dynamic_cast<ListTwin*>(twin.get())) list->hold();
}

Address Bridge::controllerObject(const std::shared_ptr<platform::UIViewController>& controller) {
  if (!controller) return 0;
  if (Address known = find(controller.get())) {
    if (auto twin = controllerTwin(rt, known); twin == controller) return known;
  }
  // A controller of the system's own (the Settings application's navigation and pages): one
  // object for it as long as the process runs, as the phone keeps its navigation controller.
  const char* cls = dynamic_cast<platform::UINavigationController*>(controller.get())
                        ? "UINavigationController"
                        : "UIViewController";
  const Address object = rt.createInstance(rt.classNamed(cls));  // its one reference: the system's
  auto* state = rt.state<ControllerState>(object);
  state->twin = controller;
  state->bridge = this;
  bind(controller.get(), object);
  return object;
}

void ControllerState::releaseReferences(Runtime& runtime) {
  if (auto t = twin.lock(); t && bridge) bridge->objects.erase(t.get());
  runtime.release(view);
  runtime.release(navigationItem);
  view = navigationItem = 0;
  owned.reset();
}

class WebDelegate : public platform::UIWebViewDelegate {
 public:
  WebDelegate(Runtime& rt, Address view, Address delegate)
      : rt_(rt), view_(view), delegate_(delegate) {}
  void webViewDidFinishLoad(platform::UIWebView*) noexcept override {
    intoBinary(rt_, [&] {
      if (alive()) rt_.send(delegate_, "webViewDidFinishLoad:", {object(rt_, view_)});
    });
  }
  void webViewDidFailLoadWithError(platform::UIWebView*,
                                   const platform::NSError* error) noexcept override {
    intoBinary(rt_, [&] {
      if (!alive()) return;
      const Address failure =
          error ? errorObject(rt_, error->domain(), error->code(), error->localizedDescription())
                : 0;
      rt_.send(delegate_,
               "webView:didFailLoadWithError:", {object(rt_, view_), object(rt_, failure)});
    });
  }
  Address delegate() const { return delegate_; }

 private:
  // The web view holds its delegate weakly, as UIKit does.
  bool alive() const { return rt_.isObject(delegate_) && !rt_.isDeallocating(delegate_); }
  Runtime& rt_;
  Address view_;
  Address delegate_;
};

void WebViewState::releaseReferences(Runtime& runtime) {
  if (auto* web = dynamic_cast<platform::UIWebView*>(view.get())) {
    web->setDelegate(nullptr);
    web->stopLoading();
  }
  delegate.reset();
  ViewState::releaseReferences(runtime);
}

class MailDelegate : public platform::MFMailComposeViewControllerDelegate {
 public:
  MailDelegate(Runtime& rt, Address composer, Address delegate)
      : rt_(rt), composer_(composer), delegate_(delegate) {}
  void mailComposeControllerDidFinishWithResultError(
      platform::MFMailComposeViewController*, int result,
      const platform::NSError* error) noexcept override {
    intoBinary(rt_, [&] {
      if (!rt_.isObject(delegate_) || rt_.isDeallocating(delegate_)) return;
      const Address failure =
          error ? errorObject(rt_, error->domain(), error->code(), error->localizedDescription())
                : 0;
      // iOS 7 passes the result as a 32-bit enum.
      rt_.send(
          delegate_, "mailComposeController:didFinishWithResult:error:",
          {object(rt_, composer_), Argument::integer(static_cast<std::uint32_t>(result), 4, true),
           object(rt_, failure)});
    });
  }
  Address delegate() const { return delegate_; }

 private:
  Runtime& rt_;
  Address composer_;
  Address delegate_;
};

struct ComposerState : ControllerState {
  std::shared_ptr<MailDelegate> delegate;
};

std::vector<std::uint8_t> rectBytes(const platform::CGRect& r, bool wide) {
  std::vector<std::uint8_t> bytes;
  auto put = [&](double v) {
    if (wide) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
      bytes.insert(bytes.end(), p, p + 8);
    } else {
      const float f = static_cast<float>(v);
      const auto* p = reinterpret_cast<const std::uint8_t*>(&f);
      bytes.insert(bytes.end(), p, p + 4);
    }
  };
  put(r.x);
  put(r.y);
  put(r.width);
  put(r.height);
  return bytes;
}

platform::CGRect rectOf(const Argument& arg, bool wide) {
  double v[4];
  for (int i = 0; i < 4; ++i) {
    if (wide) {
      std::memcpy(&v[i], arg.bytes.data() + i * 8, 8);
    } else {
      float f;
      std::memcpy(&f, arg.bytes.data() + i * 4, 4);
      v[i] = f;
    }
  }
  return {v[0], v[1], v[2], v[3]};
}

std::string textArgument(Message& m, std::size_t i) {
  return stringArgument(m, i).value_or("");
}

}  // namespace

struct UiFrameworks {
  explicit UiFrameworks(Runtime& runtime) : bridge(runtime) {}
  Bridge bridge;
};

std::shared_ptr<platform::UIViewController> controllerTwin(Runtime& rt, Address object) {
  auto* state = rt.state<ControllerState>(object);
  if (state == nullptr) return nullptr;
  if (state->owned) return state->owned;
  return state->twin.lock();
}

// The binary hands a controller to the system: the system's twin holds it from now on.
std::shared_ptr<platform::UIViewController> handOver(Runtime& rt, Address object) {
  auto* state = rt.state<ControllerState>(object);
  if (state == nullptr) {
    rt.machine().fault("a controller handed to the system that is no UIViewController: " +
                       Machine::hex(object));
  }
  std::shared_ptr<platform::UIViewController> twin =
      state->owned ? state->owned : state->twin.lock();
  state->owned.reset();
  if (twin) hold(twin);
  return twin;
}

std::shared_ptr<platform::PSListController> makeListController(Runtime& rt,
                                                               const std::string& className,
                                                               const std::string& bundlePath) {
  std::shared_ptr<platform::PSListController> page;
  hostTask(rt, [&] {
    ClassInfo* cls = rt.findClass(className);
    if (cls == nullptr) rt.machine().fault("the bundle has no class named " + className);
    const Address object = rt.send(rt.send(cls->address, "alloc", {}).integer, "init", {}).integer;
    auto twin = std::dynamic_pointer_cast<platform::PSListController>(handOver(rt, object));
    rt.release(object);  // the twin holds it now
    if (!twin) rt.machine().fault(className + " is no PSListController");
    twin->setBundlePath(bundlePath);
    page = twin;
  })();
  return page;
}

void defineUIFrameworks(Runtime& rt, Imports& imports) {
  auto ui = std::make_shared<UiFrameworks>(rt);
  Bridge* bridge = &ui->bridge;
  Runtime* r = &rt;
  const bool wide = rt.machine().pointerSize() == 8;
  const std::string rect =
      wide ? "{CGRect={CGPoint=dd}{CGSize=dd}}" : "{CGRect={CGPoint=ff}{CGSize=ff}}";
  const Type rectType = *parseType(rect, rt.arch());
  rt.keepAlive(ui);  // the twins' way back to the binary's objects, for the life of the process

  auto viewOf = [r](Message&, Address object) -> std::shared_ptr<platform::UIView> {
    auto* state = r->state<ViewState>(object);
    if (state == nullptr)
      r->machine().fault("a view argument that is no UIView: " + Machine::hex(object));
    return state->view;
  };
  auto makeView = [r, bridge](Address object, std::shared_ptr<platform::UIView> view) {
    auto* state = r->state<ViewState>(object);
    state->view = std::move(view);
    state->bridge = bridge;
    bridge->bind(state->view.get(), object);
    return object;
  };

  const std::string uiView = "UIKit/UIView.h";
  defineStandIn(rt, "UIResponder", "NSObject", "UIKit/UIResponder.h");
  defineStandIn(rt, "UIView", "UIResponder", uiView, 0x60)
      .state<ViewState>()
      .instance("initWithFrame:", "@@:" + rect,
                [r, makeView, wide](Message& m) {
                  makeView(m.self, std::make_shared<platform::UIView>(rectOf(m.args[0], wide)));
                  return object(*r, m.self);
                })
      .instance("init", "@@:",
                [r, makeView](Message& m) {
                  makeView(m.self, std::make_shared<platform::UIView>());
                  return object(*r, m.self);
                })
      .instance("frame", rect + "@:",
                [viewOf, rectType, wide](Message& m) {
                  return Argument::aggregate(rectType, rectBytes(viewOf(m, m.self)->frame(), wide));
                })
      .instance("setFrame:", "v@:" + rect,
                [viewOf, wide](Message& m) {
                  viewOf(m, m.self)->setFrame(rectOf(m.args[0], wide));
                  return none();
                })
      .instance("bounds", rect + "@:",
                [viewOf, rectType, wide](Message& m) {
                  return Argument::aggregate(rectType,
                                             rectBytes(viewOf(m, m.self)->bounds(), wide));
                })
      .instance(
          "autoresizingMask", "%U@:",
          [viewOf](Message& m) { return integerResult(viewOf(m, m.self)->autoresizingMask()); })
      .instance("setAutoresizingMask:", "v@:%U",
                [viewOf](Message& m) {
                  viewOf(m, m.self)->setAutoresizingMask(static_cast<unsigned>(m.integer(0)));
                  return none();
                })
      .instance("setBackgroundColor:", "v@:@",
                [r, viewOf](Message& m) {
                  auto* color = r->state<ColorState>(m.object(0));
                  viewOf(m, m.self)->setBackgroundColor(color ? color->color : nullptr);
                  return none();
                })
      .instance("addSubview:", "v@:@",
                [viewOf](Message& m) {
                  viewOf(m, m.self)->addSubview(viewOf(m, m.object(0)));
                  return none();
                })
      .instance("removeFromSuperview", "v@:",
                [viewOf](Message& m) {
                  viewOf(m, m.self)->removeFromSuperview();
                  return none();
                })
      .instance(
          "subviews", "@@:",
          [r, viewOf, bridge](Message& m) {
            const Address array = r->createInstance(r->classNamed("__NSArrayI"));
            for (const auto& view : viewOf(m, m.self)->subviews()) {
              r->state<ArrayState>(array)->items.push_back(r->retain(bridge->viewObject(view)));
            }
            return autoreleased(*r, array);
          })
      .instance("superview", "@@:", [r, viewOf, bridge](Message& m) {
        platform::UIView* parent = viewOf(m, m.self)->superview();
        if (parent == nullptr) return object(*r, 0);
        auto shared = std::dynamic_pointer_cast<platform::UIView>(parent->shared_from_this());
        return object(*r, bridge->viewObject(shared));
      });

  defineStandIn(rt, "UILabel", "UIView", "UIKit/UILabel.h")
      .instance("initWithFrame:", "@@:" + rect,
                [r, makeView, wide](Message& m) {
                  makeView(m.self, std::make_shared<platform::UILabel>(rectOf(m.args[0], wide)));
                  return object(*r, m.self);
                })
      .instance("setText:", "v@:@",
                [viewOf](Message& m) {
                  static_cast<platform::UILabel&>(*viewOf(m, m.self)).setText(textArgument(m, 0));
                  return none();
                })
      .instance("text", "@@:",
                [r, viewOf](Message& m) {
                  return autoreleased(
                      *r, r->newString(static_cast<platform::UILabel&>(*viewOf(m, m.self)).text()));
                })
      .instance("setTextAlignment:", "v@:%I",
                [viewOf](Message& m) {
                  static_cast<platform::UILabel&>(*viewOf(m, m.self))
                      .setTextAlignment(static_cast<platform::NSTextAlignment>(m.integer(0)));
                  return none();
                })
      .instance("textAlignment", "%I@:", [viewOf](Message& m) {
        return integerResult(static_cast<platform::UILabel&>(*viewOf(m, m.self)).textAlignment());
      });

  defineStandIn(rt, "UIWebView", "UIView", "UIKit/UIWebView.h")
      .state<WebViewState>()
      .instance("initWithFrame:", "@@:" + rect,
                [r, makeView, wide](Message& m) {
                  makeView(m.self, std::make_shared<platform::UIWebView>(rectOf(m.args[0], wide)));
                  return object(*r, m.self);
                })
      .instance("setDelegate:", "v@:@",
                [r, viewOf](Message& m) {
                  auto* state = r->state<WebViewState>(m.self);
                  auto& web = static_cast<platform::UIWebView&>(*viewOf(m, m.self));
                  state->delegate = m.object(0)
                                        ? std::make_shared<WebDelegate>(*r, m.self, m.object(0))
                                        : nullptr;
                  web.setDelegate(state->delegate.get());
                  return none();
                })
      .instance("delegate", "@@:",
                [r](Message& m) {
                  auto* state = r->state<WebViewState>(m.self);
                  return object(*r, state->delegate ? state->delegate->delegate() : 0);
                })
      .instance("loadRequest:", "v@:@",
                [r, viewOf](Message& m) {
                  auto* request = r->state<UrlState>(m.object(0));
                  if (request == nullptr || !request->url) {
                    r->machine().fault("-[UIWebView loadRequest:] with no request, from " +
                                       r->where(m.caller));
                  }
                  static_cast<platform::UIWebView&>(*viewOf(m, m.self))
                      .loadRequest(platform::NSURLRequest::requestWithURL(*request->url));
                  return none();
                })
      .instance("stopLoading", "v@:", [viewOf](Message& m) {
        static_cast<platform::UIWebView&>(*viewOf(m, m.self)).stopLoading();
        return none();
      });

  auto color = [r](const std::string& key, std::shared_ptr<platform::UIColor> (*make)()) {
    return [r, key, make](Message& m) {
      ClassInfo* cls = instanceClass(m);
      return object(*r, r->singleton(key, [&] {
        const Address c = r->retain(r->createInstance(cls));
        r->state<ColorState>(c)->color = make();
        return c;
      }));
    };
  };
  defineStandIn(rt, "UIColor", "NSObject", "UIKit/UIColor.h")
      .state<ColorState>()
      .classMethod("clearColor", "@#:", color("clearColor", &platform::UIColor::clearColor))
      .classMethod("whiteColor", "@#:", color("whiteColor", &platform::UIColor::whiteColor));

  // --- URLs and the application ----------------------------------------------------------------
  defineStandIn(rt, "NSURL", "NSObject", "Foundation/NSURL.h")
      .state<UrlState>()
      .classMethod("URLWithString:", "@#:@",
                   [r](Message& m) {
                     auto url = platform::NSURL::URLWithString(textArgument(m, 0));
                     if (!url) return object(*r, 0);
                     const Address made = r->createInstance(instanceClass(m));
                     r->state<UrlState>(made)->url = std::move(url);
                     return autoreleased(*r, made);
                   })
      .instance("absoluteString", "@@:", [r](Message& m) {
        auto& url = r->state<UrlState>(m.self)->url;
        return autoreleased(*r, r->newString(url ? url->absoluteString() : ""));
      });
  defineStandIn(rt, "NSURLRequest", "NSObject", "Foundation/NSURLRequest.h")
      .state<UrlState>()
      .classMethod("requestWithURL:", "@#:@",
                   [r](Message& m) {
                     auto* url = r->state<UrlState>(m.object(0));
                     const Address made = r->createInstance(instanceClass(m));
                     if (url) r->state<UrlState>(made)->url = url->url;
                     return autoreleased(*r, made);
                   })
      .instance("URL", "@@:", [r](Message& m) {
        const Address made = r->createInstance(r->classNamed("NSURL"));
        r->state<UrlState>(made)->url = r->state<UrlState>(m.self)->url;
        return autoreleased(*r, made);
      });
  defineStandIn(rt, "UIApplication", "UIResponder", "UIKit/UIApplication.h")
      .classMethod("sharedApplication", "@#:",
                   [r](Message& m) {
                     ClassInfo* cls = instanceClass(m);
                     return object(*r, r->singleton("UIApplication", [&] {
                       return r->retain(r->createInstance(cls));
                     }));
                   })
      .instance("openURL:", "%B@:@", [r](Message& m) {
        auto* url = r->state<UrlState>(m.object(0));
        return boolean(url && url->url &&
                       platform::UIApplication::sharedApplication()->openURL(*url->url));
      });

  // --- Controllers -------------------------------------------------------------------------------
  auto twinOf = [r](Message& m) {
    auto twin = controllerTwin(*r, m.self);
    if (!twin) r->machine().fault("a controller without its twin: " + Machine::hex(m.self));
    return twin;
  };
  auto makeTwin = [r, bridge](Address object, const ClassInfo* cls) {
    auto* state = r->state<ControllerState>(object);
    if (state->owned || !state->twin.expired()) return;
    std::shared_ptr<platform::UIViewController> twin;
    const ClassInfo* named = cls;
    if (r->isKindOf(cls, "PSListController")) {
      twin = std::make_shared<ListTwin>(*r, object, named->name);
    } else {
      twin = std::make_shared<ControllerTwin>(*r, object, named->name);
    }
    state->owned = twin;
    state->twin = twin;
    state->bridge = bridge;
    bridge->bind(twin.get(), object);
  };
  const std::string uiController = "UIKit/UIViewController.h";
  defineStandIn(rt, "UIViewController", "UIResponder", uiController, kControllerSize)
      .state<ControllerState>()
      .instance("init", "@@:",
                [r, makeTwin](Message& m) {
                  makeTwin(m.self, m.receiverClass);
                  return object(*r, m.self);
                })
      .instance("initWithNibName:bundle:", "@@:@@",
                [r, makeTwin](Message& m) {
                  makeTwin(m.self, m.receiverClass);
                  return object(*r, m.self);
                })
      .instance("view", "@@:",
                [r, twinOf, bridge](Message& m) {
                  auto twin = twinOf(m);
                  auto* state = r->state<ControllerState>(m.self);
                  const auto& view = twin->view();  // loads it: viewDidLoad runs first
                  if (state->view == 0 || r->state<ViewState>(state->view)->view != view) {
                    r->release(state->view);
                    state->view = r->retain(bridge->viewObject(view));
                  }
                  return object(*r, state->view);
                })
      .instance("isViewLoaded",
                "%B@:", [twinOf](Message& m) { return boolean(twinOf(m)->isViewLoaded()); })
      .instance("edgesForExtendedLayout", "%U@:",
                [r](Message& m) {
                  return integerResult(static_cast<std::int64_t>(
                      r->state<ControllerState>(m.self)->edgesForExtendedLayout));
                })
      .instance("setEdgesForExtendedLayout:", "v@:%U",
                [r](Message& m) {
                  r->state<ControllerState>(m.self)->edgesForExtendedLayout = m.integer(0);
                  return none();
                })
      .instance("viewDidLoad", "v@:", [](Message&) { return none(); })
      .instance("viewWillAppear:", "v@:%B", [](Message&) { return none(); })
      .instance("viewDidAppear:", "v@:%B", [](Message&) { return none(); })
      .instance("navigationItem", "@@:",
                [r](Message& m) {
                  auto* state = r->state<ControllerState>(m.self);
                  if (state->navigationItem == 0) {
                    state->navigationItem = r->createInstance(r->classNamed("UINavigationItem"));
                    r->state<NavigationItemState>(state->navigationItem)->controller =
                        controllerTwin(*r, m.self);
                  }
                  return object(*r, state->navigationItem);
                })
      .instance("navigationController", "@@:",
                [r, twinOf, bridge](Message& m) {
                  platform::UINavigationController* navigation = twinOf(m)->navigationController();
                  if (navigation == nullptr) return object(*r, 0);
                  auto shared = std::dynamic_pointer_cast<platform::UIViewController>(
                      navigation->shared_from_this());
                  return object(*r, bridge->controllerObject(shared));
                })
      .instance("presentViewController:animated:completion:", "v@:@%B@?",
                [r, twinOf](Message& m) {
                  auto presented = handOver(*r, m.object(0));
                  const Address block = m.object(2) ? r->copyBlock(m.object(2)) : 0;
                  std::function<void()> completion;
                  if (block) {
                    completion = [r, block] {
                      intoBinary(*r, [&] { r->invokeBlock(block, {}, Type::voidType()); });
                      r->releaseBlock(block);
                    };
                  }
                  twinOf(m)->presentViewControllerAnimatedCompletion(presented, m.boolean(1),
                                                                     std::move(completion));
                  return none();
                })
      .instance("dismissViewControllerAnimated:completion:", "v@:%B@?", [r, twinOf](Message& m) {
        const Address block = m.object(1) ? r->copyBlock(m.object(1)) : 0;
        std::function<void()> completion;
        if (block) {
          completion = [r, block] {
            intoBinary(*r, [&] { r->invokeBlock(block, {}, Type::voidType()); });
            r->releaseBlock(block);
          };
        }
        twinOf(m)->dismissViewControllerAnimatedCompletion(m.boolean(0), std::move(completion));
        return none();
      });
  defineStandIn(rt, "UINavigationItem", "NSObject", "UIKit/UINavigationBar.h")
      .state<NavigationItemState>()
      .instance("title", "@@:",
                [r](Message& m) {
                  auto controller = r->state<NavigationItemState>(m.self)->controller.lock();
                  return autoreleased(
                      *r, r->newString(controller ? controller->navigationItem().title() : ""));
                })
      .instance("setTitle:", "v@:@", [r](Message& m) {
        if (auto controller = r->state<NavigationItemState>(m.self)->controller.lock()) {
          controller->navigationItem().setTitle(textArgument(m, 0));
        }
        return none();
      });
  defineStandIn(rt, "UINavigationController", "UIViewController", "UIKit/UINavigationController.h")
      .instance("pushViewController:animated:", "v@:@%B",
                [r, twinOf](Message& m) {
                  auto navigation =
                      std::dynamic_pointer_cast<platform::UINavigationController>(twinOf(m));
                  if (navigation)
                    navigation->pushViewControllerAnimated(handOver(*r, m.object(0)), m.boolean(1));
                  return none();
                })
      .instance("popViewControllerAnimated:", "@@:%B",
                [r, twinOf, bridge](Message& m) {
                  auto navigation =
                      std::dynamic_pointer_cast<platform::UINavigationController>(twinOf(m));
                  auto popped =
                      navigation ? navigation->popViewControllerAnimated(m.boolean(0)) : nullptr;
                  return object(*r, bridge->controllerObject(popped));
                })
      .instance("viewControllers", "@@:",
                [r, twinOf, bridge](Message& m) {
                  auto navigation =
                      std::dynamic_pointer_cast<platform::UINavigationController>(twinOf(m));
                  const Address array = r->createInstance(r->classNamed("__NSArrayI"));
                  if (navigation) {
                    for (const auto& c : navigation->viewControllers()) {
                      r->state<ArrayState>(array)->items.push_back(
                          r->retain(bridge->controllerObject(c)));
                    }
                  }
                  return autoreleased(*r, array);
                })
      .instance("topViewController", "@@:", [r, twinOf, bridge](Message& m) {
        auto navigation = std::dynamic_pointer_cast<platform::UINavigationController>(twinOf(m));
        platform::UIViewController* top = navigation ? navigation->topViewController() : nullptr;
        if (top == nullptr) return object(*r, 0);
        return object(
            *r, bridge->controllerObject(std::dynamic_pointer_cast<platform::UIViewController>(
                    top->shared_from_this())));
      });

  // --- The Preferences framework -------------------------------------------------------------
  const std::string preferences =
      "Preferences' PSListController (private: the binding's own declaration)";
  defineStandIn(rt, "PSSpecifier", "NSObject",
                "Preferences' PSSpecifier (private: the binding's own declaration)")
      .state<SpecifierState>()
      .instance("properties", "@@:", [r](Message& m) {
        const Address dictionary = r->newObject(
            platform::Value(r->state<SpecifierState>(m.self)->specifier->properties()));
        return autoreleased(*r, dictionary);
      });
  const Address specifiersOffset = rt.machine().allocateStatic(8, 8);
  rt.machine().store<std::uint32_t>(specifiersOffset, kSpecifiersIvar);
  imports.data("_OBJC_IVAR_$_PSListController._specifiers", specifiersOffset);
  defineStandIn(rt, "PSViewController", "UIViewController", preferences);
  defineStandIn(rt, "PSListController", "PSViewController", preferences, kListControllerSize)
      .instance("loadSpecifiersFromPlistName:target:", "@@:@@",
                [r, twinOf](Message& m) {
                  auto list = std::dynamic_pointer_cast<platform::PSListController>(twinOf(m));
                  auto target = controllerTwin(*r, m.object(1));
                  auto rows = list ? list->loadSpecifiersFromPlistNameTarget(textArgument(m, 0),
                                                                             target.get())
                                   : nullptr;
                  if (!rows) return object(*r, 0);
                  const Address array = r->createInstance(r->classNamed("__NSArrayM"));
                  for (const auto& row : *rows) {
                    const Address specifier = r->createInstance(r->classNamed("PSSpecifier"));
                    r->state<SpecifierState>(specifier)->specifier = row;
                    r->state<ArrayState>(array)->items.push_back(specifier);
                  }
                  return autoreleased(*r, array);
                })
      .instance("specifiers", "@@:",
                [r](Message& m) {
                  return object(*r, r->machine().loadPointer(m.self + kSpecifiersIvar));
                })
      .instance("pushController:animate:", "v@:@%B", [r, twinOf](Message& m) {
        // As iOS 7's list does: the pushed page learns its parent and root first.
        const Address pushed = m.object(0);
        r->send(pushed, "setParentController:", {object(*r, m.self)});
        r->send(pushed, "setRootController:", {object(*r, m.self)});
        auto list = std::dynamic_pointer_cast<platform::PSListController>(twinOf(m));
        if (list) list->pushControllerAnimate(handOver(*r, pushed), m.boolean(1));
        return none();
      });

  // --- Alerts and mail -----------------------------------------------------------------------
  defineStandIn(rt, "UIAlertView", "UIView", "UIKit/UIAlertView.h")
      .state<AlertState>()
      .instance("initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles:", "@@:@@@@@",
                [r](Message& m) {
                  auto* state = r->state<AlertState>(m.self);
                  state->title = textArgument(m, 0);
                  state->message = textArgument(m, 1);
                  if (m.object(2)) r->machine().fault("an alert with a delegate is not modelled");
                  state->cancel = textArgument(m, 3);
                  if (m.object(4))
                    r->machine().fault("an alert with other buttons given at init is not modelled");
                  return object(*r, m.self);
                })
      .instance("addButtonWithTitle:", "%I@:@",
                [r](Message& m) {
                  auto* state = r->state<AlertState>(m.self);
                  state->others.push_back(textArgument(m, 0));
                  return integerResult(static_cast<std::int64_t>(state->others.size()));
                })
      .instance("show", "v@:", [r](Message& m) {
        auto* state = r->state<AlertState>(m.self);
        auto alert = std::make_shared<platform::UIAlertView>(state->title, state->message,
                                                             state->cancel, state->others);
        alert->show();
        return none();
      });

  auto composerOf = [r](Message& m) {
    auto twin = std::dynamic_pointer_cast<platform::MFMailComposeViewController>(
        controllerTwin(*r, m.self));
    if (!twin) r->machine().fault("a composer without its twin");
    return twin;
  };
  defineStandIn(rt, "MFMailComposeViewController", "UIViewController",
                "MessageUI/MFMailComposeViewController.h")
      .state<ComposerState>()
      .classMethod(
          "canSendMail", "%B#:",
          [](Message&) { return boolean(platform::MFMailComposeViewController::canSendMail()); })
      .instance("init", "@@:",
                [r, bridge](Message& m) {
                  auto* state = r->state<ComposerState>(m.self);
                  auto composer = std::make_shared<platform::MFMailComposeViewController>();
                  state->owned = composer;
                  state->twin = composer;
                  state->bridge = bridge;
                  bridge->bind(composer.get(), m.self);
                  return object(*r, m.self);
                })
      .instance("setSubject:", "v@:@",
                [composerOf](Message& m) {
                  composerOf(m)->setSubject(textArgument(m, 0));
                  return none();
                })
      .instance("setMessageBody:isHTML:", "v@:@%B",
                [composerOf](Message& m) {
                  composerOf(m)->setMessageBodyIsHTML(textArgument(m, 0), m.boolean(1));
                  return none();
                })
      .instance("setToRecipients:", "v@:@",
                [r, composerOf](Message& m) {
                  std::vector<std::string> to;
                  if (auto* items = r->state<ArrayState>(m.object(0))) {
                    for (Address item : items->items) to.push_back(r->stringOf(item).value_or(""));
                  }
                  composerOf(m)->setToRecipients(std::move(to));
                  return none();
                })
      .instance("addAttachmentData:mimeType:fileName:", "v@:@@@",
                [r, composerOf](Message& m) {
                  auto* data = r->state<DataState>(m.object(0));
                  if (data == nullptr) r->machine().fault("an attachment that is no NSData");
                  composerOf(m)->addAttachmentDataMimeTypeFileName(data->bytes, textArgument(m, 1),
                                                                   textArgument(m, 2));
                  return none();
                })
      .instance("setMailComposeDelegate:", "v@:@",
                [r, composerOf](Message& m) {
                  auto* state = r->state<ComposerState>(m.self);
                  state->delegate = m.object(0)
                                        ? std::make_shared<MailDelegate>(*r, m.self, m.object(0))
                                        : nullptr;
                  composerOf(m)->setMailComposeDelegate(state->delegate.get());
                  return none();
                })
      .instance("mailComposeDelegate", "@@:", [r](Message& m) {
        auto* state = r->state<ComposerState>(m.self);
        return object(*r, state->delegate ? state->delegate->delegate() : 0);
      });

  // --- Launching the log command ---------------------------------------------------------------
  // Class clusters, as on iOS 7: +alloc answers an instance of the private concrete class.
  auto concrete = [r](const char* name) {
    return [r, name](Message&) { return object(*r, r->createInstance(r->classNamed(name))); };
  };
  defineStandIn(rt, "NSFileHandle", "NSObject", "Foundation/NSFileHandle.h")
      .state<FileHandleState>()
      .classMethod("alloc", "@#:", concrete("NSConcreteFileHandle"))
      .instance("initWithFileDescriptor:closeOnDealloc:", "@@:i%B", [r](Message& m) {
        auto* state = r->state<FileHandleState>(m.self);
        state->fd = static_cast<int>(static_cast<std::int32_t>(m.integer(0)));
        state->closeOnDealloc = m.boolean(1);
        return object(*r, m.self);
      });
  // The tasks the binary launched, for waitpid.
  auto launched = std::make_shared<std::vector<std::weak_ptr<platform::NSTask>>>();
  const std::string task = "Foundation's NSTask (private on iOS: the binding's own declaration)";
  defineStandIn(rt, "NSTask", "NSObject", task)
      .state<TaskState>()
      .classMethod("alloc", "@#:", concrete("NSConcreteTask"))
      .instance("setLaunchPath:", "v@:@",
                [r](Message& m) {
                  r->state<TaskState>(m.self)->launchPath = textArgument(m, 0);
                  return none();
                })
      .instance("setArguments:", "v@:@",
                [r](Message& m) {
                  auto* state = r->state<TaskState>(m.self);
                  state->arguments.clear();
                  if (auto* items = r->state<ArrayState>(m.object(0))) {
                    for (Address item : items->items)
                      state->arguments.push_back(r->stringOf(item).value_or(""));
                  }
                  return none();
                })
      .instance("setStandardOutput:", "v@:@",
                [r](Message& m) {
                  auto* handle = r->state<FileHandleState>(m.object(0));
                  if (handle == nullptr)
                    r->machine().fault("a standard output that is no NSFileHandle");
                  r->state<TaskState>(m.self)->standardOutput = handle->fd;
                  return none();
                })
      .instance(
          "launch", "v@:",
          [r, launched](Message& m) {
            auto* state = r->state<TaskState>(m.self);
            state->task = std::make_shared<platform::NSTask>();
            state->task->setLaunchPath(state->launchPath);
            state->task->setArguments(state->arguments);
            if (state->standardOutput >= 0) {
              // The phone's task writes into the binary's own pipe.
              auto pipe = platform::NSPipe::pipe();
              if (!pipe || ::dup3(state->standardOutput,
                                  pipe->fileHandleForWriting().fileDescriptor(), O_CLOEXEC) < 0) {
                r->machine().fault("no file descriptor left to launch the task");
              }
              state->task->setStandardOutput(pipe);
            }
            try {
              state->task->launch();
              std::erase_if(*launched, [](const auto& t) { return t.expired(); });
              launched->push_back(state->task);
            } catch (const platform::NSException& e) {
              const Address exception = r->createInstance(r->classNamed("NSException"));
              auto* raised = r->state<ExceptionState>(exception);
              raised->name = e.name();
              raised->reason = e.reason();
              throw ObjcRaise{r->autorelease(exception)};
            }
            return none();
          })
      .instance("processIdentifier", "i@:",
                [r](Message& m) {
                  auto& t = r->state<TaskState>(m.self)->task;
                  return Argument::integer(
                      static_cast<std::uint32_t>(t ? t->processIdentifier() : 0), 4, true);
                })
      .instance(
          "waitUntilExit", "v@:",
          [r](Message& m) {
            // On the phone it runs the current run loop until the task ends: inside a
            // page's callback, other callbacks of the main thread run nested in it.
            r->warn("-[NSTask waitUntilExit] runs the main run loop while it waits, called from " +
                    r->where(m.caller));
            if (auto& t = r->state<TaskState>(m.self)->task) t->waitUntilExit();
            return none();
          })
      .instance("terminationStatus", "i@:", [r](Message& m) {
        auto& t = r->state<TaskState>(m.self)->task;
        return Argument::integer(static_cast<std::uint32_t>(t ? t->terminationStatus() : 0), 4,
                                 true);
      });
  defineStandIn(rt, "NSConcreteFileHandle", "NSFileHandle", "Foundation/NSFileHandle.h");
  // waitpid on a task the binary launched: the phone's task reaps it and gives its status.
  imports.function("_waitpid", [launched](Machine& m, NativeCall& c) {
    const int pid = static_cast<int>(static_cast<std::int32_t>(c.integer(4, true)));
    const Address status = c.pointer();
    c.integer(4, true);  // options
    for (const auto& weak : *launched) {
      auto child = weak.lock();
      if (!child || child->processIdentifier() != pid) continue;
      child->waitUntilExit();
      if (status) m.store<std::int32_t>(status, (child->terminationStatus() & 0xff) << 8);
      return c.returnInteger(static_cast<std::uint32_t>(pid), 4, true);
    }
    c.returnInteger(static_cast<std::uint32_t>(-1), 4, true);  // ECHILD: no such child of ours
  });
  defineStandIn(rt, "NSConcreteTask", "NSTask", task);
}

}  // namespace emulator

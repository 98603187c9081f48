// The phone's binding reaches the state our UIKit objects mirror.
#pragma once

#import <UIKit/UIKit.h>

#include <memory>

#include "platform/message_ui.h"
#include "platform/ui_kit.h"

namespace platform {

struct NativeBridge {
  // The controller's view is the phone's view of its controller.
  static void bindView(UIViewController& controller, ::UIView* view);
  static void setNavigation(UIViewController& controller, UINavigationController* navigation);
  // Tells the composer's delegate, once, how the person left the composer.
  static void finishMail(MFMailComposeViewController& composer, int result, const NSError* error);
};

// The phone's view for ours, made (with its subviews) the first time it is needed.
::UIView* nativeView(UIView& view);
// The phone's controller for ours: a page of its own class, or the composer.
::UIViewController* nativeController(const std::shared_ptr<UIViewController>& controller);
// A new phone composer with the message ours holds; nil when the device cannot make one.
::UIViewController* makeNativeComposer(MFMailComposeViewController& composer);

}  // namespace platform

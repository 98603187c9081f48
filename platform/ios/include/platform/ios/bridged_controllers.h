// The phone's view controllers behind ours. A bundle declares its pages as subclasses of these,
// under the names of its C++ classes, so the Settings application finds them by name; each
// native controller owns its C++ twin and forwards the calls the phone makes.
#pragma once

#import <UIKit/UIKit.h>

#include <memory>

namespace platform {
class UIViewController;
class PSListController;
}  // namespace platform

// The Settings application's list page, from the private Preferences framework.
@interface PSListController : UIViewController
- (NSMutableArray*)loadSpecifiersFromPlistName:(NSString*)name target:(::id)target;
- (void)pushController:(UIViewController*)controller animate:(BOOL)animate;
- (::id)specifiers;
@end

@interface TWBridgedViewController : UIViewController
- (instancetype)initWithController:(std::shared_ptr<platform::UIViewController>)controller;
- (platform::UIViewController*)controller;
@end

// Its C++ twin is the class registered under the subclass's own name.
@interface TWBridgedListController : PSListController
- (platform::PSListController*)controller;
// Sends a row's action to the twin.
- (void)performTwinAction:(const char*)selector;
@end

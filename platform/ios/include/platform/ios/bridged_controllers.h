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

// The Settings application's list page, from the private Preferences framework. Its rows are
// kept in `_specifiers`, which holds one reference whether the framework is built with ARC or
// without: assigning it from ARC code (a strong store) keeps that balance.
@interface PSListController : UIViewController {
 @protected
  NSArray* _specifiers;
}
- (NSMutableArray*)loadSpecifiersFromPlistName:(NSString*)name target:(::id)target;
- (void)pushController:(UIViewController*)controller animate:(BOOL)animate;
- (::id)specifiers;
@end

// What iOS 7's Settings application sends any page on its navigation stack (the Preferences
// framework's PSController protocol, as its class dumps show it): a page that lacks one of these
// ends Settings when the phone locks, wakes or opens a settings URL. Every method is required,
// so the compiler refuses a page that misses one.
@protocol TonewellPSController <NSObject>
@required
- (void)setParentController:(id)parentController;
- (id)parentController;
- (void)setRootController:(id)rootController;
- (id)rootController;
- (void)setSpecifier:(id)specifier;
- (id)specifier;
- (void)setPreferenceValue:(id)value specifier:(id)specifier;
- (id)readPreferenceValue:(id)specifier;
- (void)willResignActive;
- (void)willBecomeActive;
- (void)suspend;
- (void)didLock;
- (void)willUnlock;
- (void)didUnlock;
- (void)didWake;
- (void)pushController:(id)controller;
- (void)handleURL:(id)url;
- (BOOL)canBeShownFromSuspendedState;
- (void)statusBarWillAnimateByHeight:(float)height;
@end

// A page that the Settings application may push: it answers all of PSController.
@interface TonewellBridgedViewController : UIViewController <TonewellPSController>
- (instancetype)initWithController:(std::shared_ptr<platform::UIViewController>)controller;
- (platform::UIViewController*)controller;
@property(nonatomic, weak) id parentController;
@property(nonatomic, weak) id rootController;
@property(nonatomic, strong) id specifier;
@end

// Its C++ twin is the class registered under the subclass's own name.
@interface TonewellBridgedListController : PSListController
- (platform::PSListController*)controller;
// Sends a row's action to the twin.
- (void)performTwinAction:(const char*)selector;
@end

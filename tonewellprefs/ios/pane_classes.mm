// The pane's classes as the Settings application knows them. The C++ classes of the same names
// hold the pane's behaviour; these forward to them (this file must not see their declarations:
// an Objective-C class and a C++ class cannot share a name in one file).
#include "platform/ios/bridged_controllers.h"

@interface TonewellPrefsListController : TonewellBridgedListController
@end

@implementation TonewellPrefsListController

- (void)followOnTwitter {
  [self performTwinAction:"followOnTwitter"];
}

- (void)viewOtherApps {
  [self performTwinAction:"viewOtherApps"];
}

- (void)sendDebugLog {
  [self performTwinAction:"sendDebugLog"];
}

@end

@interface TWOtherAppsViewController : TonewellBridgedViewController
@end

@implementation TWOtherAppsViewController
@end

@interface TW_AdvancedViewController : TonewellBridgedViewController
@end

@implementation TW_AdvancedViewController
@end

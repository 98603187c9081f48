// The pane's classes as the Settings application knows them, one of each name of
// pane_classes.def. The C++ classes of the same names (in tonewell::pane) hold the pane's
// behaviour; these forward to them.
#include "platform/ios/bridged_controllers.h"

// The root page: its rows' buttons send these to it, and it hands them to its twin.
#define TW_PANE_LIST(name)                        \
  @interface name : TonewellBridgedListController \
  @end                                            \
  @implementation name                            \
  -(void)followOnTwitter {                        \
    [self performTwinAction:"followOnTwitter"];   \
  }                                               \
  -(void)viewOtherApps {                          \
    [self performTwinAction:"viewOtherApps"];     \
  }                                               \
  -(void)sendDebugLog {                           \
    [self performTwinAction:"sendDebugLog"];      \
  }                                               \
  @end
// The pages the list pushes: their behaviour is all their twins'.
#define TW_PANE_PAGE(name)                        \
  @interface name : TonewellBridgedViewController \
  @end                                            \
  @implementation name                            \
  @end
#include "pane_classes.def"
#undef TW_PANE_LIST
#undef TW_PANE_PAGE

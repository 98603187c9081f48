// Loading the bundle makes its classes known by name, as the runtime does for the Objective-C
// classes of a bundle: the root page, and the pages it pushes.
#include "advanced_view_controller.h"
#include "other_apps_view_controller.h"
#include "platform/ns_object.h"
#include "tonewell_prefs_list_controller.h"

namespace {

template <typename T>
std::shared_ptr<platform::NSObject> make() {
  return std::make_shared<T>();
}

__attribute__((constructor)) void registerPaneClasses() {
  platform::registerClassNamed("TonewellPrefsListController", &make<TonewellPrefsListController>);
  platform::registerClassNamed("TWOtherAppsViewController", &make<TWOtherAppsViewController>);
  platform::registerClassNamed("TW_AdvancedViewController", &make<TW_AdvancedViewController>);
}

}  // namespace

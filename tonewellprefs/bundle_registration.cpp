// Loading the bundle makes its classes known by name, as the runtime does for the Objective-C
// classes of a bundle: the root page, and the pages it pushes.
#include "advanced_view_controller.h"
#include "other_apps_view_controller.h"
#include "platform/ns_object.h"
#include "tonewell_prefs_list_controller.h"

namespace {

using namespace tonewell::pane;

template <typename T>
std::shared_ptr<platform::NSObject> make() {
  return std::make_shared<T>();
}

__attribute__((constructor)) void registerPaneClasses() {
#define TW_PANE_LIST(name) platform::registerClassNamed(#name, &make<name>);
#define TW_PANE_PAGE(name) platform::registerClassNamed(#name, &make<name>);
#include "pane_classes.def"
#undef TW_PANE_LIST
#undef TW_PANE_PAGE
}

}  // namespace

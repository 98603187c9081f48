#include "platform/preferences_framework.h"

#include "platform/sim/property_list_codec.h"

namespace platform {

std::shared_ptr<SpecifierArray> PSListController::loadSpecifiersFromPlistNameTarget(
    const std::string& name, NSObject* target) {
  if (name.empty() || name.find('/') != std::string::npos) return nullptr;
  const auto bytes = sim::readFile(bundlePath_ + "/" + name + ".plist");
  if (!bytes) return nullptr;
  const auto root =
      sim::parsePropertyList({reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()});
  const auto* list = root ? root->getIf<Dictionary>() : nullptr;
  const Value* items = list ? list->objectForKey("items") : nullptr;
  const auto* array = items ? items->getIf<Array>() : nullptr;
  if (array == nullptr) return nullptr;
  auto specifiers = std::make_shared<SpecifierArray>();
  for (const Value& item : *array) {
    const auto* properties = item.getIf<Dictionary>();
    if (properties == nullptr) continue;  // the framework skips what is not a row
    auto specifier = std::make_shared<PSSpecifier>(*properties);
    specifier->setTarget(target);
    specifiers->push_back(std::move(specifier));
  }
  if (const Value* title = list->objectForKey("title")) {
    if (const auto* text = title->getIf<std::string>()) navigationItem().setTitle(*text);
  }
  return specifiers;
}

void PSListController::pushControllerAnimate(std::shared_ptr<UIViewController> controller,
                                             bool animate) {
  if (UINavigationController* navigation = navigationController()) {
    navigation->pushViewControllerAnimated(std::move(controller), animate);
  }
}

}  // namespace platform

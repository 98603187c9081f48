#include "platform/preferences_framework.h"

namespace platform {

std::string PSSpecifier::property(std::string_view key) const {
  const Value* value = properties_.objectForKey(key);
  const auto* text = value ? value->getIf<std::string>() : nullptr;
  return text ? *text : std::string();
}

const std::string& PSSpecifier::name() const {
  name_ = property("label");
  return name_;
}

}  // namespace platform

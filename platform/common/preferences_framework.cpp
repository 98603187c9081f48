// The parts of the Preferences framework that the phone and the simulated phone share: specifier
// properties and the rows' stored values.
#include "platform/preferences_framework.h"

#include "platform/cf_preferences.h"

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

std::shared_ptr<SpecifierArray> PSListController::specifiers() {
  return _specifiers;
}

std::optional<Value> PSListController::readPreferenceValue(const PSSpecifier& specifier) const {
  const std::string key = specifier.property("key");
  if (key.empty()) return std::nullopt;
  const std::string domain = specifier.property("defaults");
  if (!domain.empty()) {
    if (auto values = CFPreferencesCopyMultiple({key}, domain, kCFPreferencesCurrentUser,
                                                kCFPreferencesAnyHost)) {
      if (const Value* stored = values->objectForKey(key)) return *stored;
    }
  }
  if (const Value* fallback = specifier.properties().objectForKey("default")) return *fallback;
  return std::nullopt;
}

bool PSListController::setPreferenceValueSpecifier(const Value* value,
                                                   const PSSpecifier& specifier) {
  const std::string key = specifier.property("key");
  const std::string domain = specifier.property("defaults");
  if (key.empty() || domain.empty()) return false;
  return CFPreferencesSetValue(key, value, domain, kCFPreferencesCurrentUser,
                               kCFPreferencesAnyHost);
}

bool PSListController::performActionOf(const PSSpecifier& specifier) {
  const std::string action = specifier.property("action");
  NSObject* target = specifier.target();
  if (action.empty() || target == nullptr) return false;
  return target->performSelectorWithObject(action.c_str(), nullptr);
}

}  // namespace platform

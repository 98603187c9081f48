// The Settings application's private Preferences framework: specifiers (the rows of a settings
// page) and PSListController, the list page.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui_kit.h"
#include "platform/value.h"

namespace platform {

// One row: its properties as the specifier property list gives them ("cell", "label", "key",
// "default", "defaults", "min", "max", "validValues", "action", ...).
class PSSpecifier : public NSObject {
 public:
  explicit PSSpecifier(Dictionary properties) : properties_(std::move(properties)) {}
  const char* className() const override { return "PSSpecifier"; }
  const Dictionary& properties() const { return properties_; }
  // A text property, or "" when it is absent or not a text.
  std::string property(std::string_view key) const;
  const std::string& name() const;  // the row's label
  // The object the row's action is sent to.
  NSObject* target() const { return target_; }
  void setTarget(NSObject* target) { target_ = target; }

 private:
  Dictionary properties_;
  NSObject* target_ = nullptr;
  mutable std::string name_;
};

using SpecifierArray = std::vector<std::shared_ptr<PSSpecifier>>;

class PSListController : public UIViewController {
 public:
  const char* className() const override { return "PSListController"; }

  // The rows of the page; the base class loads none.
  virtual std::shared_ptr<SpecifierArray> specifiers();

  // Reads "<bundle>/<name>.plist" (XML or binary): its "items" become specifiers whose actions go
  // to `target`. Null when the list cannot be read.
  std::shared_ptr<SpecifierArray> loadSpecifiersFromPlistNameTarget(const std::string& name,
                                                                    NSObject* target);

  // Shows `controller` on the Settings navigation stack, which keeps it.
  void pushControllerAnimate(std::shared_ptr<UIViewController> controller, bool animate);

  // The value a row shows: the stored value of its key in its "defaults" domain, else its
  // "default". Null for a row without a key.
  std::optional<Value> readPreferenceValue(const PSSpecifier& specifier) const;
  // Stores `value` (null removes it) under the row's key, as the Settings application does when
  // the person changes a row. False when the domain could not be written.
  bool setPreferenceValueSpecifier(const Value* value, const PSSpecifier& specifier);

  // Where the bundle's resources are; set by whoever loads the bundle.
  void setBundlePath(std::string path) { bundlePath_ = std::move(path); }
  const std::string& bundlePath() const { return bundlePath_; }

  // Sends a button row's action to its target, as a tap does.
  bool performActionOf(const PSSpecifier& specifier);

 protected:
  std::shared_ptr<SpecifierArray> _specifiers;

 private:
  std::string bundlePath_;
};

}  // namespace platform

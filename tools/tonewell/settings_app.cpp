#include "settings_app.h"

#include <dlfcn.h>
#include <fmt/format.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>

#include "platform/cf_preferences.h"
#include "platform/message_ui.h"
#include "platform/preferences_framework.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "platform/sim/screen.h"
#include "replay.h"

extern char** environ;

namespace tonewell {

namespace fs = std::filesystem;
using namespace platform;

namespace {

constexpr int kRefused = 2;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::optional<double> numberProperty(const PSSpecifier& row, const char* key) {
  const Value* v = row.properties().objectForKey(key);
  if (v == nullptr || !hasScalarConversions(*v)) return std::nullopt;
  return doubleValue(*v);
}

std::vector<Value> arrayProperty(const PSSpecifier& row, const char* key) {
  const Value* v = row.properties().objectForKey(key);
  const auto* array = v ? v->getIf<Array>() : nullptr;
  return array ? *array : std::vector<Value>{};
}

// What a row shows for `value`.
std::string shown(const PSSpecifier& row, const Value& value) {
  const std::string cell = row.property("cell");
  if (cell == "PSSwitchCell") return boolValue(value) ? "on" : "off";
  if (cell == "PSSegmentCell") {
    const auto values = arrayProperty(row, "validValues");
    const auto titles = arrayProperty(row, "validTitles");
    for (std::size_t i = 0; i < values.size() && i < titles.size(); ++i) {
      if (values[i] == value) return description(titles[i]);
    }
  }
  return description(value);
}

// The allowed values of a row, for messages.
std::string allowed(const PSSpecifier& row) {
  const std::string cell = row.property("cell");
  if (cell == "PSSwitchCell") return "on or off";
  if (cell == "PSSliderCell") {
    return fmt::format("a number from {} to {}", numberProperty(row, "min").value_or(0),
                       numberProperty(row, "max").value_or(1));
  }
  std::string list;
  for (const auto& title : arrayProperty(row, "validTitles")) {
    list += (list.empty() ? "" : " or ") + description(title);
  }
  return list;
}

// The value the row stores for what the person typed, as the Settings application would store
// it for that control; none when the row does not take it.
std::optional<Value> parseFor(const PSSpecifier& row, const std::string& text) {
  const std::string cell = row.property("cell");
  const std::string t = lower(text);
  if (cell == "PSSwitchCell") {
    if (t == "on" || t == "true" || t == "yes" || t == "1") return Value(true);
    if (t == "off" || t == "false" || t == "no" || t == "0") return Value(false);
    return std::nullopt;
  }
  if (cell == "PSSliderCell") {
    double d = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(d))
      return std::nullopt;
    if (d < numberProperty(row, "min").value_or(-INFINITY) ||
        d > numberProperty(row, "max").value_or(INFINITY)) {
      return std::nullopt;
    }
    return Value(d);
  }
  if (cell == "PSSegmentCell") {
    const auto values = arrayProperty(row, "validValues");
    const auto titles = arrayProperty(row, "validTitles");
    for (std::size_t i = 0; i < values.size() && i < titles.size(); ++i) {
      if (t == lower(description(titles[i]))) return values[i];
    }
    return std::nullopt;
  }
  return std::nullopt;
}

void openWithBrowser(const std::string& url) {
  const char* argv[] = {"xdg-open", url.c_str(), nullptr};
  pid_t pid;
  if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
    int status;
    ::waitpid(pid, &status, 0);
  } else {
    fmt::print("(xdg-open is not available)\n");
  }
}

class SettingsApp {
 public:
  bool load(const std::string& bundlePath, std::string* error) {
    const std::string binary = bundlePath + "/TonewellPrefs";
    if (dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) {
      *error = "cannot load the preference bundle: " + std::string(dlerror());
      return false;
    }
    const auto info = sim::readFile(bundlePath + "/Info.plist", error);
    if (!info) return false;
    const auto plist = sim::parsePropertyList(
        {reinterpret_cast<const std::uint8_t*>(info->data()), info->size()}, error);
    const auto* dict = plist ? plist->getIf<Dictionary>() : nullptr;
    const Value* principal = dict ? dict->objectForKey("NSPrincipalClass") : nullptr;
    const auto* className = principal ? principal->getIf<std::string>() : nullptr;
    if (className == nullptr) {
      *error = bundlePath + "/Info.plist: no NSPrincipalClass";
      return false;
    }
    page_ = std::dynamic_pointer_cast<PSListController>(instantiateClassNamed(*className));
    if (!page_) {
      *error = "the bundle has no list controller named " + *className;
      return false;
    }
    page_->setBundlePath(bundlePath);
    navigation_ = std::make_shared<UINavigationController>();
    navigation_->pushViewControllerAnimated(std::make_shared<UIViewController>(), false);
    navigation_->pushViewControllerAnimated(page_, false);
    sim::runUntilIdle(10'000);
    return true;
  }

  PSListController& page() { return *page_; }
  UINavigationController& navigation() { return *navigation_; }

  std::shared_ptr<PSSpecifier> row(const std::string& key, const char* property) {
    if (auto rows = page_->specifiers()) {
      for (const auto& r : *rows) {
        if (r->property(property) == key) return r;
      }
    }
    return nullptr;
  }

 private:
  std::shared_ptr<PSListController> page_;
  std::shared_ptr<UINavigationController> navigation_;
};

int showPage(SettingsApp& app) {
  auto rows = app.page().specifiers();
  if (!rows) {
    fmt::print(stderr, "tonewell: the page's specifier list cannot be read\n");
    return 1;
  }
  fmt::print("{}\n", app.page().navigationItem().title());
  std::string footer;
  auto flushFooter = [&] {
    if (!footer.empty()) fmt::print("    {}\n", footer);
    footer.clear();
  };
  for (const auto& row : *rows) {
    const std::string cell = row->property("cell");
    if (cell == "PSGroupCell") {
      flushFooter();
      fmt::print("\n  {}\n", row->name());
      footer = row->property("footerText");
    } else if (cell == "PSButtonCell") {
      fmt::print("    [{}]  (tap {})\n", row->name(), row->property("action"));
    } else {
      const auto value = app.page().readPreferenceValue(*row);
      const bool stored = [&] {
        auto values = CFPreferencesCopyMultiple({row->property("key")}, row->property("defaults"),
                                                kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
        return values && values->objectForKey(row->property("key")) != nullptr;
      }();
      fmt::print("    {:<24} {:<8} {}  [{}: {}]\n", row->name(), value ? shown(*row, *value) : "-",
                 stored ? "" : "(default)", row->property("key"), allowed(*row));
    }
  }
  flushFooter();
  return 0;
}

int setValue(SettingsApp& app, const SettingsRequest& request, bool reset) {
  auto row = app.row(request.key, "key");
  if (!row) {
    std::string keys;
    if (auto rows = app.page().specifiers()) {
      for (const auto& r : *rows) {
        if (!r->property("key").empty()) keys += (keys.empty() ? "" : ", ") + r->property("key");
      }
    }
    fmt::print(stderr, "tonewell: the page has no row for \"{}\" (rows: {})\n", request.key, keys);
    return kRefused;
  }
  std::optional<Value> value;
  if (!reset) {
    value = parseFor(*row, request.value);
    if (!value) {
      fmt::print(stderr, "tonewell: {} ({}) takes {}, not \"{}\"; nothing was stored\n",
                 row->name(), request.key, allowed(*row), request.value);
      return kRefused;
    }
  }
  if (!app.page().setPreferenceValueSpecifier(value ? &*value : nullptr, *row)) {
    fmt::print(stderr,
               "tonewell: cannot write {}/{}.plist (unreadable or not writable); nothing "
               "was stored\n",
               sim::preferencesFolder(), row->property("defaults"));
    return 1;
  }
  const auto now = app.page().readPreferenceValue(*row);
  fmt::print("{}: {}{}\n", row->name(), now ? shown(*row, *now) : "-", reset ? " (default)" : "");
  return 0;
}

void printNewLog(std::size_t from) {
  const auto lines = sim::logLines();
  for (std::size_t i = from; i < lines.size(); ++i) fmt::print("  log: {}\n", lines[i].message);
}

int tap(SettingsApp& app, const SettingsRequest& request) {
  auto button = app.row(request.key, "action");
  if (!button || button->property("cell") != "PSButtonCell") {
    fmt::print(
        stderr,
        "tonewell: no button \"{}\" (buttons: followOnTwitter, viewOtherApps, sendDebugLog)\n",
        request.key);
    return kRefused;
  }
  const std::size_t logStart = sim::logLines().size();
  fmt::print("Tapped \"{}\"\n", button->name());
  app.page().performActionOf(*button);

  if (request.key == "followOnTwitter") {
    for (const auto& url : sim::openedURLs()) {
      fmt::print("Opened {}\n", url);
      if (request.openInBrowser) openWithBrowser(url);
    }
    return 0;
  }

  UIViewController* top = app.navigation().topViewController();
  if (request.key == "viewOtherApps" && top) {
    fmt::print("Page \"{}\"\n", top->navigationItem().title());
    for (const auto& v : top->view()->subviews()) {
      if (auto* label = dynamic_cast<UILabel*>(v.get())) fmt::print("  label: {}\n", label->text());
    }
    sim::runUntilIdle(10'000);
    for (const auto& v : top->view()->subviews()) {
      if (auto* web = dynamic_cast<UIWebView*>(v.get())) {
        if (web->loaded()) {
          fmt::print("  loaded: \"{}\"\n", web->pageTitle());
        } else {
          fmt::print("  the page could not be loaded: {}\n", web->lastError());
        }
      }
      if (dynamic_cast<UILabel*>(v.get())) fmt::print("  the label is still shown\n");
    }
    return 0;
  }

  // sendDebugLog: the page collects the log when it appears.
  sim::runUntilIdle(10'000);
  auto presented = app.navigation().presentedViewController();
  if (auto composer = std::dynamic_pointer_cast<MFMailComposeViewController>(presented)) {
    std::size_t bytes = 0;
    for (const auto& a : composer->attachments()) bytes += a.data.size();
    fmt::print("Mail composer: to {}, subject \"{}\", attachment tonewell_syslog.txt ({} bytes)\n",
               composer->toRecipients().empty() ? "" : composer->toRecipients()[0],
               composer->subject(), bytes);
    const MFMailComposeResult choice = request.mail == "send"     ? MFMailComposeResultSent
                                       : request.mail == "cancel" ? MFMailComposeResultCancelled
                                                                  : MFMailComposeResultSaved;
    composer->personChose(choice);
    sim::runUntilIdle(10'000);
    if (!composer->storedPath().empty())
      fmt::print("Message written to {}\n", composer->storedPath());
  }
  for (const auto& alert : sim::alertsOnScreen()) {
    fmt::print("Alert \"{}\": {} [{}]\n", alert->title(), alert->message(),
               alert->cancelButtonTitle());
  }
  printNewLog(logStart);
  fmt::print("Back on \"{}\"\n", app.navigation().topViewController()->navigationItem().title());
  return 0;
}

}  // namespace

std::string defaultPrefsBundle() {
  return besideCommand("TONEWELL_PREFS_BUNDLE", "TonewellPrefs.bundle");
}

int runSettings(const SettingsRequest& request, const std::string& bundlePath) {
  sim::setLogEcho(false);
  if (request.noMailAccount) sim::setMailAccount(std::nullopt);
  SettingsApp app;
  std::string error;
  if (!app.load(bundlePath, &error)) {
    fmt::print(stderr, "tonewell: {}\n", error);
    return 1;
  }
  if (request.action == "set") return setValue(app, request, false);
  if (request.action == "reset") return setValue(app, request, true);
  if (request.action == "tap") return tap(app, request);
  return showPage(app);
}

}  // namespace tonewell

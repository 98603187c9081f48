#include "settings_app.h"

#include <dlfcn.h>
#include <fmt/format.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "built_parts.h"
#include "emulator/phone_binary.h"
#include "platform/cf_preferences.h"
#include "platform/message_ui.h"
#include "platform/preferences_framework.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "platform/sim/screen.h"
#include "setting_values.h"
#include "terminal_text.h"

extern char** environ;

namespace tonewell {

namespace fs = std::filesystem;
using namespace platform;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kRefused = 2;

std::vector<Value> arrayProperty(const PSSpecifier& row, const char* key) {
  const Value* v = row.properties().objectForKey(key);
  const auto* array = v ? v->getIf<Array>() : nullptr;
  return array ? *array : std::vector<Value>{};
}

// The monitor's setting a value row is bound to (every row has one: the pane's contract).
const Setting* settingOf(const PSSpecifier& row) {
  return findSetting(row.property("key"));
}

// What a row shows for a value the monitor uses: a segment's title, else the setting's word or
// number.
std::string shown(const PSSpecifier& row, const Value& used) {
  if (row.property("cell") == "PSSegmentCell") {
    const auto values = arrayProperty(row, "validValues");
    const auto titles = arrayProperty(row, "validTitles");
    for (std::size_t i = 0; i < values.size() && i < titles.size(); ++i) {
      if (values[i] == used) return printable(onOneLine(description(titles[i])));
    }
  }
  const Setting* setting = settingOf(row);
  return setting ? shownAsUsed(*setting, used) : printable(onOneLine(description(used)));
}

// The allowed values of a row, for messages.
std::string allowed(const PSSpecifier& row) {
  const Setting* setting = settingOf(row);
  return setting ? whatItTakes(*setting) : "nothing";
}

// Hands `url` to the desktop's opener; false (said on standard error) when it cannot.
bool openWithBrowser(const std::string& url) {
  const char* argv[] = {"xdg-open", url.c_str(), nullptr};
  pid_t pid;
  if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    fmt::print(stderr, "tonewell: xdg-open is not available to open {}\n", printable(url));
    return false;
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fmt::print(stderr, "tonewell: xdg-open could not open {}\n", printable(url));
    return false;
  }
  return true;
}

nlohmann::json toJson(const Value& value) {
  if (const bool* b = value.getIf<bool>()) return *b;
  if (const std::int64_t* i = value.getIf<std::int64_t>()) return *i;
  if (const double* d = value.getIf<double>()) return *d;
  if (const std::string* t = value.getIf<std::string>()) return *t;
  return description(value);
}

bool isValueRow(const PSSpecifier& row) {
  const std::string cell = row.property("cell");
  return !row.property("key").empty() && cell != "PSGroupCell" && cell != "PSButtonCell";
}

class SettingsApp {
 public:
  bool load(const std::string& bundlePath, std::string* error) {
    const auto className = principalClass(bundlePath, error);
    if (!className) return false;
    const std::string binary = bundlePath + "/TonewellPrefs";
    if (dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) {
      *error = "cannot load the preference bundle: " + std::string(dlerror());
      return false;
    }
    page_ = std::dynamic_pointer_cast<PSListController>(instantiateClassNamed(*className));
    if (!page_) {
      *error = "the bundle has no list controller named " + *className;
      return false;
    }
    page_->setBundlePath(bundlePath);
    return show(error);
  }

  // The phone's own pane binary on the emulated CPU: its folder is the bundle.
  bool loadPhoneBinary(const std::string& binary, const std::string& architecture,
                       std::string* error) {
    const std::string bundlePath = fs::path(binary).parent_path().string();
    const auto className = principalClass(bundlePath, error);
    if (!className) return false;
    auto loaded = emulator::PhoneBinary::load(binary, architecture);
    if (auto* failure = std::get_if<std::string>(&loaded)) {
      *error = "cannot load the phone binary: " + *failure;
      return false;
    }
    phoneBinary_ = std::move(std::get<std::unique_ptr<emulator::PhoneBinary>>(loaded));
    if (phoneBinary_->start()) page_ = phoneBinary_->makeListController(*className, bundlePath);
    if (!page_) return emulationFailed(error);
    return show(error) && !emulationFailed(error);
  }

  // The emulated pane's fault, said as the failure it is.
  bool emulationFailed(std::string* error) const {
    if (!phoneBinary_ || !phoneBinary_->failure()) return false;
    *error = "the phone binary (" + phoneBinary_->architecture() +
             ") faulted: " + *phoneBinary_->failure();
    return true;
  }

  PSListController& page() { return *page_; }
  // Why the emulated pane ended, if it has.
  std::optional<std::string> failure() const {
    std::string error;
    if (emulationFailed(&error)) return error;
    return std::nullopt;
  }
  UINavigationController& navigation() { return *navigation_; }

  // The value row bound to `key`, or the button whose action is `action`.
  std::shared_ptr<PSSpecifier> valueRow(const std::string& key) {
    if (key.empty()) return nullptr;
    if (auto rows = page_->specifiers()) {
      for (const auto& r : *rows) {
        if (isValueRow(*r) && r->property("key") == key) return r;
      }
    }
    return nullptr;
  }
  std::shared_ptr<PSSpecifier> button(const std::string& action) {
    if (action.empty()) return nullptr;
    if (auto rows = page_->specifiers()) {
      for (const auto& r : *rows) {
        if (r->property("cell") == "PSButtonCell" && r->property("action") == action) return r;
      }
    }
    return nullptr;
  }
  std::vector<std::shared_ptr<PSSpecifier>> valueRows() {
    std::vector<std::shared_ptr<PSSpecifier>> out;
    if (auto rows = page_->specifiers()) {
      for (const auto& r : *rows) {
        if (isValueRow(*r)) out.push_back(r);
      }
    }
    return out;
  }

 private:
  static std::optional<std::string> principalClass(const std::string& bundlePath,
                                                   std::string* error) {
    const auto info = sim::readFile(bundlePath + "/Info.plist", error);
    if (!info) return std::nullopt;
    const auto plist = sim::parsePropertyList(
        {reinterpret_cast<const std::uint8_t*>(info->data()), info->size()}, error);
    const auto* dict = plist ? plist->getIf<Dictionary>() : nullptr;
    const Value* principal = dict ? dict->objectForKey("NSPrincipalClass") : nullptr;
    const auto* className = principal ? principal->getIf<std::string>() : nullptr;
    if (className == nullptr) {
      *error = bundlePath + "/Info.plist: no NSPrincipalClass";
      return std::nullopt;
    }
    return *className;
  }

  bool show(std::string*) {
    navigation_ = std::make_shared<UINavigationController>();
    navigation_->pushViewControllerAnimated(std::make_shared<UIViewController>(), false);
    navigation_->pushViewControllerAnimated(page_, false);
    sim::fastForwardUntilNoTasksRemain(10'000);
    return true;
  }

  std::unique_ptr<emulator::PhoneBinary> phoneBinary_;
  std::shared_ptr<PSListController> page_;
  std::shared_ptr<UINavigationController> navigation_;
};

constexpr const char* kDomainOfRows = "com.example.tonewell";

// What the domain stores under the row's key, as it is stored; none when nothing is.
std::optional<Value> storedValue(const PSSpecifier& row) {
  auto values = CFPreferencesCopyMultiple({row.property("key")}, row.property("defaults"),
                                          kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  const Value* value = values ? values->objectForKey(row.property("key")) : nullptr;
  return value ? std::optional<Value>(*value) : std::nullopt;
}

// A row's value: what the monitor uses, and how it reads what is stored when that differs.
struct RowValue {
  std::optional<Value> stored;
  Value used;
  std::optional<std::string> note;
};

RowValue rowValue(const PSSpecifier& row) {
  RowValue v;
  v.stored = storedValue(row);
  if (const Setting* setting = settingOf(row)) {
    v.used = monitorReads(*setting, v.stored ? &*v.stored : nullptr);
    if (v.stored) v.note = howTheMonitorReads(*setting, *v.stored);
  }
  return v;
}

// A domain file that cannot be read: said with what is wrong and the way out. True when so.
bool refuseUnreadableDomain(const std::string& domain) {
  const auto problem = sim::preferencesProblem(domain);
  if (!problem) return false;
  fmt::print(stderr,
             "tonewell: {}\n"
             "tonewell: the Ring monitor cannot read these settings either; `tonewell settings "
             "reset --all` sets the file aside and starts afresh\n",
             *problem);
  return true;
}

nlohmann::json rowJson(const PSSpecifier& row) {
  const RowValue v = rowValue(row);
  return {{"key", row.property("key")},
          {"label", row.name()},
          {"value", toJson(v.used)},
          {"shown", shown(row, v.used)},
          {"stored", v.stored.has_value()},
          {"storedValue", v.stored ? toJson(*v.stored) : nlohmann::json()},
          {"monitorReads", v.note ? nlohmann::json(*v.note) : nlohmann::json()},
          {"takes", allowed(row)}};
}

int showPage(SettingsApp& app, bool json) {
  auto rows = app.page().specifiers();
  if (!rows) {
    fmt::print(stderr, "tonewell: the page's specifier list cannot be read\n");
    return kFailed;
  }
  if (refuseUnreadableDomain(kDomainOfRows)) return kFailed;
  if (json) {
    nlohmann::json out{{"title", app.page().navigationItem().title()},
                       {"rows", nlohmann::json::array()},
                       {"buttons", nlohmann::json::array()}};
    for (const auto& row : *rows) {
      if (isValueRow(*row)) {
        out["rows"].push_back(rowJson(*row));
      } else if (row->property("cell") == "PSButtonCell") {
        out["buttons"].push_back({{"label", row->name()}, {"action", row->property("action")}});
      }
    }
    fmt::print("{}\n", out.dump(2));
    return kOk;
  }
  fmt::print("{}\n", printable(app.page().navigationItem().title()));
  std::string footer;
  auto flushFooter = [&] {
    if (!footer.empty()) fmt::print("    {}\n", printable(footer));
    footer.clear();
  };
  for (const auto& row : *rows) {
    const std::string cell = row->property("cell");
    if (cell == "PSGroupCell") {
      flushFooter();
      fmt::print("\n  {}\n", printable(row->name()));
      footer = row->property("footerText");
    } else if (cell == "PSButtonCell") {
      fmt::print("    [{}]  (tap {})\n", printable(row->name()),
                 printable(row->property("action")));
    } else {
      const RowValue v = rowValue(*row);
      fmt::print("    {:<24} {:<8} {}  [{}: {}]\n", printable(row->name()), shown(*row, v.used),
                 v.stored ? "" : "(default)", row->property("key"), allowed(*row));
      if (v.note) fmt::print("      {}\n", *v.note);
    }
  }
  flushFooter();
  return kOk;
}

int noRow(SettingsApp& app, const std::string& key) {
  std::string keys;
  for (const auto& r : app.valueRows()) keys += (keys.empty() ? "" : ", ") + r->property("key");
  fmt::print(stderr, "tonewell: the page has no row for \"{}\" (rows: {})\n", printable(key),
             printable(keys));
  return kRefused;
}

int getValue(SettingsApp& app, const SettingsRequest& request) {
  auto row = app.valueRow(request.key);
  if (!row) return noRow(app, request.key);
  if (refuseUnreadableDomain(row->property("defaults"))) return kFailed;
  if (request.json) {
    fmt::print("{}\n", rowJson(*row).dump(2));
    return kOk;
  }
  const RowValue v = rowValue(*row);
  fmt::print("{}\n", shown(*row, v.used));
  if (v.note) {
    std::fflush(stdout);
    fmt::print(stderr, "tonewell: {}: {}\n", printable(request.key), *v.note);
  }
  return kOk;
}

int setValue(SettingsApp& app, const SettingsRequest& request, bool reset) {
  auto row = app.valueRow(request.key);
  if (!row) return noRow(app, request.key);
  const Setting* setting = settingOf(*row);
  std::optional<Value> value;
  if (!reset && setting != nullptr) {
    auto parsed = parseSettingValue(*setting, request.value);
    if (std::holds_alternative<std::string>(parsed)) {
      fmt::print(stderr, "tonewell: {} ({}) takes {}, not \"{}\"; nothing was stored\n",
                 printable(row->name()), request.key, allowed(*row), printable(request.value));
      return kRefused;
    }
    value = std::get<Value>(parsed);
  }
  if (!app.page().setPreferenceValueSpecifier(value ? &*value : nullptr, *row)) {
    fmt::print(stderr, "tonewell: {}; nothing was stored\n",
               printable(sim::lastPreferencesWriteError()));
    return kFailed;
  }
  fmt::print("{}: {}{}\n", printable(row->name()), shown(*row, rowValue(*row).used),
             reset ? " (default)" : "");
  return kOk;
}

// Every row back to its default; an unreadable domain file is set aside first, never deleted.
int resetAll(SettingsApp& app) {
  if (sim::preferencesProblem(kDomainOfRows)) {
    std::string error;
    const auto aside = sim::setDomainAside(kDomainOfRows, &error);
    if (!aside) {
      fmt::print(stderr, "tonewell: {}; nothing was changed\n", printable(error));
      return kFailed;
    }
    fmt::print("The unreadable settings were set aside as {}\n", printable(*aside));
  }
  for (const auto& row : app.valueRows()) {
    if (!storedValue(*row)) continue;
    if (!app.page().setPreferenceValueSpecifier(nullptr, *row)) {
      fmt::print(stderr, "tonewell: {}\n", printable(sim::lastPreferencesWriteError()));
      return kFailed;
    }
  }
  fmt::print("Every setting is back to its default\n");
  return kOk;
}

void printNewLog(std::size_t from) {
  const auto lines = sim::logLines();
  for (std::size_t i = from; i < lines.size(); ++i) {
    fmt::print("  log: {}\n", printable(lines[i].message));
  }
}

int showOtherApps(SettingsApp& app, const SettingsRequest& request) {
  UIViewController* top = app.navigation().topViewController();
  if (top == nullptr) return kFailed;
  fmt::print("Page \"{}\"\n", printable(top->navigationItem().title()));
  for (const auto& v : top->view()->subviews()) {
    if (auto* label = dynamic_cast<UILabel*>(v.get()))
      fmt::print("  label: {}\n", printable(label->text()));
  }
  for (const auto& v : top->view()->subviews()) {
    if (auto* web = dynamic_cast<UIWebView*>(v.get())) {
      fmt::print("  loading {} (gives up after {:g} s)\n", printable(web->requestURL()),
                 request.timeout);
    }
  }
  sim::fastForwardUntilNoTasksRemain(10'000);
  int status = kOk;
  for (const auto& v : top->view()->subviews()) {
    if (auto* web = dynamic_cast<UIWebView*>(v.get())) {
      if (web->loaded()) {
        fmt::print("  loaded: \"{}\" (HTTP {})\n", printable(web->pageTitle()), web->httpStatus());
        if (web->httpStatus() >= 400) {
          fmt::print(stderr, "tonewell: the page answered with HTTP status {}\n",
                     web->httpStatus());
          status = kFailed;
        }
      } else {
        fmt::print(stderr, "tonewell: the page could not be loaded: {}\n",
                   printable(web->lastError()));
        status = kFailed;
      }
    }
    if (dynamic_cast<UILabel*>(v.get())) fmt::print("  the label is still shown\n");
  }
  return status;
}

int sendDebugLog(SettingsApp& app, const SettingsRequest& request, std::size_t logStart) {
  // The page collects the log when it appears.
  sim::fastForwardUntilNoTasksRemain(10'000);
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
    sim::fastForwardUntilNoTasksRemain(10'000);
    if (!composer->storedPath().empty())
      fmt::print("Message written to {}\n", printable(composer->storedPath()));
  }
  int status = kOk;
  for (const auto& report : sim::taskReports()) {
    fmt::print(stderr, "tonewell: {}\n", printable(report));
    status = kFailed;
  }
  for (const auto& alert : sim::alertsOnScreen()) {
    fmt::print(stderr, "tonewell: alert \"{}\": {} [{}]\n", printable(alert->title()),
               printable(alert->message()), alert->cancelButtonTitle());
    status = kFailed;
  }
  printNewLog(logStart);
  const auto lines = sim::logLines();
  for (std::size_t i = logStart; i < lines.size(); ++i) {
    if (lines[i].message.rfind("Mail sent failure: ", 0) == 0) {
      fmt::print(stderr, "tonewell: {}\n", printable(lines[i].message));
      status = kFailed;
    }
  }
  fmt::print("Back on \"{}\"\n",
             printable(app.navigation().topViewController()->navigationItem().title()));
  return status;
}

int tap(SettingsApp& app, const SettingsRequest& request) {
  auto button = app.button(request.key);
  if (!button) {
    fmt::print(
        stderr,
        "tonewell: no button \"{}\" (buttons: followOnTwitter, viewOtherApps, sendDebugLog)\n",
        request.key);
    return kRefused;
  }
  sim::limitWebTimeout(request.timeout);
  sim::limitTasks(request.timeout);
  const std::size_t logStart = sim::logLines().size();
  fmt::print("Tapped \"{}\"\n", printable(button->name()));
  app.page().performActionOf(*button);

  if (request.key == "followOnTwitter") {
    int status = kOk;
    for (const auto& url : sim::openedURLs()) {
      fmt::print("Opened {}\n", printable(url));
      if (request.openInBrowser && !openWithBrowser(url)) status = kFailed;
    }
    return status;
  }
  if (request.key == "viewOtherApps") return showOtherApps(app, request);
  return sendDebugLog(app, request, logStart);
}

}  // namespace

std::string defaultPrefsBundle() {
  return besideCommand("TONEWELL_PREFS_BUNDLE", "TonewellPrefs.bundle");
}

int runSettings(const SettingsRequest& request, const std::string& bundlePath) {
  if (const char* rules = std::getenv("TONEWELL_ROUTE")) {
    if (auto problem = sim::routeRulesProblem(rules)) {
      fmt::print(stderr, "tonewell: TONEWELL_ROUTE: {}\n", *problem);
      return kRefused;
    }
  }
  sim::setLogEcho(false);
  if (request.noMailAccount) sim::setMailAccount(std::nullopt);
  SettingsApp app;
  std::string error;
  const bool loaded = request.phoneBinary.empty()
                          ? app.load(bundlePath, &error)
                          : app.loadPhoneBinary(request.phoneBinary, request.architecture, &error);
  if (!loaded) {
    fmt::print(stderr, "tonewell: {}\n", printable(error));
    return kFailed;
  }
  int status = kOk;
  switch (request.action) {
    case SettingsAction::set:
      status = setValue(app, request, false);
      break;
    case SettingsAction::reset:
      status = request.all ? resetAll(app) : setValue(app, request, true);
      break;
    case SettingsAction::get:
      status = getValue(app, request);
      break;
    case SettingsAction::tap:
      status = tap(app, request);
      break;
    case SettingsAction::show:
      status = showPage(app, request.json);
      break;
  }
  if (auto failure = app.failure()) {
    fmt::print(stderr, "tonewell: {}\n", *failure);
    return kFailed;
  }
  return status;
}

}  // namespace tonewell

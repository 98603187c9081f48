// The Settings application on a computer: loads the real preference bundle and drives its page.
#pragma once

#include <string>

namespace tonewell {

// What `tonewell settings` does: show the page, or the subcommand of that name.
enum class SettingsAction { show, get, set, reset, tap };

struct SettingsRequest {
  SettingsAction action = SettingsAction::show;
  std::string key;  // the row's key, or the button's action for "tap"
  std::string value;
  bool all = false;           // reset every row (and set an unreadable domain file aside)
  bool json = false;          // show and get print JSON
  double timeout = 15;        // seconds the other-apps page may take to load
  std::string mail = "save";  // what the person does in the mail composer: send, save, cancel
  bool noMailAccount = false;
  bool openInBrowser = false;  // hand opened URLs to xdg-open
  // When set: the phone's own pane binary (TonewellPrefs.bundle/TonewellPrefs), run on the
  // emulated CPU instead of the native bundle; its folder is the bundle.
  std::string phoneBinary;
  std::string architecture = "arm64";
};

// Where the bundle is: TONEWELL_PREFS_BUNDLE, or lib/TonewellPrefs.bundle beside bin/.
std::string defaultPrefsBundle();

// Runs the request against the person's own preferences domain; returns the exit status: 0 done,
// 1 failed (the domain unreadable or not writable, the page not loaded, the mail not sent, an
// alert), 2 for a value, key or button the page refuses.
int runSettings(const SettingsRequest& request, const std::string& bundlePath);

}  // namespace tonewell

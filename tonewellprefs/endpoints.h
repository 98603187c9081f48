// The maker's endpoints and the domain shared with the Ring monitor. The maker has no public
// addresses yet, so they are on reserved example domains. The pages are HTTPS: App Transport
// Security refuses plain HTTP in Settings on later systems.
#pragma once

namespace tonewell::pane {

inline constexpr const char* preferencesDomain = "com.example.tonewell";
inline constexpr const char* supportAddress = "tonewell-support@example.com";
inline constexpr const char* otherAppsPageURL = "https://www.example.com/tonewell/tweaks.html";
// The follow page on the social network: path "/intent/user", one query key "screen_name".
inline constexpr const char* followURL =
    "https://social.example.com/intent/user?screen_name=tonewell";

}  // namespace tonewell::pane

// The preferences domain the monitor reads; the Settings pane writes the same one.
#pragma once

inline constexpr const char* preferencesDomain = "com.example.tonewell";

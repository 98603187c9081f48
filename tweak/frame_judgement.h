// What one camera frame says about the pocket, judged from its EXIF brightness alone.
#pragma once

#include <cstdint>

#include "platform/value.h"

namespace tonewell::monitor {

// The camera probe asks for at most this many frames a second: one every quarter second.
inline constexpr std::int32_t kFramesPerSecond = 4;
// The first three frames of each session are let go by (the camera settles); the fourth is the
// first judged.
inline constexpr std::intptr_t kFramesLetGo = 3;
inline constexpr std::intptr_t kFirstJudgedFrame = kFramesLetGo + 1;
// The brightness of a frame whose EXIF dictionary holds no readable "BrightnessValue".
inline constexpr double kBrightnessWhenMissing = -4.0;

enum class FrameVerdict {
  ignored,  // one of the first frames of the session
  noExif,   // no EXIF dictionary: the probe ends
  dark,     // darker than the threshold: in a pocket
  bright,   // at or above it: out of the pocket
};

struct FrameJudgement {
  FrameVerdict verdict;
  double brightness = kBrightnessWhenMissing;  // for dark and bright frames
};

// Judges the `frameNumber`-th frame of a session (counted from 1) by its EXIF dictionary (null
// when the frame has none) against `threshold`.
FrameJudgement judgeFrame(std::intptr_t frameNumber, const platform::Value* exif,
                          double threshold) noexcept;

}  // namespace tonewell::monitor

#include "frame_judgement.h"

#include "platform/core_media.h"

namespace tonewell::monitor {

FrameJudgement judgeFrame(std::intptr_t frameNumber, const platform::Value* exif,
                          double threshold) noexcept {
  if (frameNumber < kFirstJudgedFrame) return {FrameVerdict::ignored};
  if (exif == nullptr) return {FrameVerdict::noExif};
  double brightness = kBrightnessWhenMissing;
  if (!platform::CFNumberGetValue(
          platform::CFDictionaryGetValue(exif, platform::kCGImagePropertyExifBrightnessValue),
          platform::kCFNumberDoubleType, &brightness)) {
    brightness = kBrightnessWhenMissing;
  }
  // Strictly darker counts as the pocket: a frame exactly at the threshold is bright.
  return {brightness < threshold ? FrameVerdict::dark : FrameVerdict::bright, brightness};
}

}  // namespace tonewell::monitor

// CoreMedia: times, sample buffers and their attachments; the EXIF dictionary keys.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/value.h"

namespace platform {

struct CMTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  double seconds() const { return timescale > 0 ? static_cast<double>(value) / timescale : 0.0; }
};

inline CMTime CMTimeMake(std::int64_t value, std::int32_t timescale) {
  return {value, timescale};
}

// One video frame as the capture output hands it over; the probe reads only its attachments.
struct opaqueCMSampleBuffer;
using CMSampleBufferRef = const opaqueCMSampleBuffer*;

inline constexpr std::string_view kCGImagePropertyExifDictionary = "{Exif}";
inline constexpr std::string_view kCGImagePropertyExifBrightnessValue = "BrightnessValue";

// The attachment of `buffer` under `key`, or null when it has none. The result belongs to the
// buffer. `attachmentModeOut` may be null.
const Value* CMGetAttachment(CMSampleBufferRef buffer, std::string_view key,
                             std::uint32_t* attachmentModeOut) noexcept;

// The value under `key` when `dictionary` is a dictionary that holds it, else null.
const Value* CFDictionaryGetValue(const Value* dictionary, std::string_view key) noexcept;

enum CFNumberType { kCFNumberSInt32Type = 3, kCFNumberFloat32Type = 5, kCFNumberDoubleType = 13 };

// Reads `number` as `type` into `valuePtr`. False when `number` is not a number (a string, a
// boolean, anything else) or cannot be represented; `*valuePtr` is then left unchanged.
bool CFNumberGetValue(const Value* number, CFNumberType type, void* valuePtr) noexcept;

}  // namespace platform

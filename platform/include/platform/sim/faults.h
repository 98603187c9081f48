// What can go wrong on the simulated phone, one switch each, all off on a fresh phone, and the
// names scenarios give them. The control surface (phone.h, springboard.h) sets them one by one.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace sim {

// What goes wrong with the camera at one position.
enum class CameraFault {
  none,
  missing,        // no device at that position
  lockRefused,    // lockForConfiguration: fails
  inputFails,     // deviceInputWithDevice:error: gives none
  inputRefused,   // the session cannot take the input
  outputRefused,  // the session cannot take the output
};

// What each delivered frame carries as metadata.
enum class ExifMode {
  normal,        // an EXIF dictionary with "BrightnessValue"
  missing,       // no EXIF dictionary at all
  noBrightness,  // an EXIF dictionary without "BrightnessValue"
  notANumber,    // "BrightnessValue" holds a string
};

struct Faults {
  // By camera position (AVCaptureDevicePosition); a position not listed works.
  std::map<int, CameraFault> cameras;
  // What the frames of every camera carry.
  ExifMode exif = ExifMode::normal;
  // AVSystemController's getVolume:forCategory: fails.
  bool volumeReadFails = false;
  // CFPreferencesCopyMultiple gives none after the key list came.
  bool preferencesDictionaryFails = false;
  // A stopped session still delivers the frame that was on its way.
  bool frameInFlightAtStop = false;
};

// The names of the camera faults and EXIF modes in scenarios and messages.
inline constexpr std::pair<std::string_view, CameraFault> kCameraFaultNames[] = {
    {"present", CameraFault::none},
    {"missing", CameraFault::missing},
    {"lockRefused", CameraFault::lockRefused},
    {"inputFails", CameraFault::inputFails},
    {"inputRefused", CameraFault::inputRefused},
    {"outputRefused", CameraFault::outputRefused},
};
inline constexpr std::pair<std::string_view, ExifMode> kExifModeNames[] = {
    {"normal", ExifMode::normal},
    {"missing", ExifMode::missing},
    {"noBrightness", ExifMode::noBrightness},
    {"notANumber", ExifMode::notANumber},
};

}  // namespace sim

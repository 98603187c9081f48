// What can go wrong on the simulated phone, one switch each, all off on a fresh phone, and the
// names scenarios give them. The control surface (phone.h, springboard.h) sets them one by one.
#pragma once

#include <cstddef>
#include <iterator>
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

// The platform calls the monitor makes that can fail, each of which the phone can make fail on
// one chosen use (the k-th since the phone's reset): a fault sweep goes through every use of
// every one of them in turn.
enum class FailableCall {
  volumeRead,          // AVSystemController getVolume:forCategory: reports failure
  volumeSet,           // AVSystemController setVolumeTo:forCategory: sets nothing
  configurationLock,   // AVCaptureDevice lockForConfiguration: is refused
  deviceInput,         // AVCaptureDeviceInput deviceInputWithDevice:error: gives none
  addInput,            // AVCaptureSession canAddInput: says no
  addOutput,           // AVCaptureSession canAddOutput: says no
  startSession,        // AVCaptureSession startRunning does not start the camera
  preferencesKeyList,  // CFPreferencesCopyKeyList gives none
  preferencesValues,   // CFPreferencesCopyMultiple gives none
  recordRead,          // dictionaryWithContentsOfFile: gives none
  recordWrite,         // writeToFile:atomically: writes nothing
  recordRemove,        // NSFileManager removeItemAtPath: removes nothing
  recordFolder,        // NSFileManager createDirectoryAtPath:... makes nothing
};

struct Faults {
  // By call: the use (1 for the first since the reset) that fails; a call not listed never does.
  std::map<FailableCall, long> failingUse;
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
inline constexpr std::pair<std::string_view, FailableCall> kFailableCallNames[] = {
    {"volumeRead", FailableCall::volumeRead},
    {"volumeSet", FailableCall::volumeSet},
    {"configurationLock", FailableCall::configurationLock},
    {"deviceInput", FailableCall::deviceInput},
    {"addInput", FailableCall::addInput},
    {"addOutput", FailableCall::addOutput},
    {"startSession", FailableCall::startSession},
    {"preferencesKeyList", FailableCall::preferencesKeyList},
    {"preferencesValues", FailableCall::preferencesValues},
    {"recordRead", FailableCall::recordRead},
    {"recordWrite", FailableCall::recordWrite},
    {"recordRemove", FailableCall::recordRemove},
    {"recordFolder", FailableCall::recordFolder},
};
static_assert(std::size(kFailableCallNames) ==
                  static_cast<std::size_t>(FailableCall::recordFolder) + 1,
              "every failable call has a name");
inline constexpr std::pair<std::string_view, ExifMode> kExifModeNames[] = {
    {"normal", ExifMode::normal},
    {"missing", ExifMode::missing},
    {"noBrightness", ExifMode::noBrightness},
    {"notANumber", ExifMode::notANumber},
};

}  // namespace sim

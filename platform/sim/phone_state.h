// The simulated phone's state, shared by the platform calls and the control surface. Every field
// is guarded by `mutex`; no platform call holds it while it calls back into the deliverables.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/av_foundation.h"
#include "platform/sim/phone.h"
#include "platform/ui_kit.h"

namespace sim {

struct DeviceState;

// Everything the phone holds, at its value on a fresh phone.
struct PhoneContents {
  // Scene and devices.
  std::map<int, double> brightness{{platform::AVCaptureDevicePositionBack, 4.0},
                                   {platform::AVCaptureDevicePositionFront, 4.0}};  // by position
  Duration frameInterval{250'000'000};
  std::optional<platform::CMAcceleration> acceleration =
      platform::CMAcceleration{0.0, -1.0, 0.0};  // upright
  Duration accelerometerInterval{50'000'000};
  int modeSettersWithoutLock = 0;
  // A back camera with a flash and a lockable focus, and a front camera with neither.
  std::vector<std::shared_ptr<platform::AVCaptureDevice::State>> devices = makeDevices();
  Faults faults;
  std::map<FailableCall, long> uses;  // of each failable call, since the reset

  // Volume.
  std::map<std::string, float> volumes;
  std::vector<VolumeChange> volumeChanges;

  // Cameras.
  int runningCameras = 0;
  // The session whose camera runs, and how often a start took the camera from another session.
  std::weak_ptr<platform::AVCaptureSession::State> cameraHolder;
  int cameraTakeovers = 0;
  std::vector<CameraEvent> cameraEvents;
  std::size_t framesDelivered = 0;
  std::vector<FrameRecord> frames;

  // Log.
  std::vector<LogLine> log;

  // Host.
  RingtoneState ringtone;
  std::vector<RingtoneEvent> ringtoneEvents;

  // Preferences.
  std::optional<std::string> homeOverride;

  static std::vector<std::shared_ptr<platform::AVCaptureDevice::State>> makeDevices();
};

class PhoneState : public PhoneContents {
 public:
  static PhoneState& instance();
  // Back to a fresh phone; the host's choices of where the log goes stay.
  void reset();

  std::mutex mutex;

  // Counts a use of `call` and says whether it is the use that fails. Needs `mutex`.
  bool useFailsLocked(FailableCall call);
  // The same, taking `mutex`.
  bool useFails(FailableCall call);

  // Where the log goes: the host's choices, kept across resets.
  bool logEcho = true;
  bool logToSyslog = false;
  // The wall-clock time, in seconds since 1970, of simulated time zero for the system log.
  double syslogEpoch = 0;

 private:
  PhoneState() = default;
};

}  // namespace sim

namespace platform {

struct AVCaptureDevice::State {
  int position = 0;
  std::mutex mutex;
  bool locked = false;
  int whiteBalanceMode = 2;  // continuous auto
  int focusMode = 2;
  int flashMode = 2;
  bool hasFlash = true;
  bool lockableFocus = true;  // a front camera's focus is fixed
};

}  // namespace platform

namespace sim {

// The screen and services of the Settings side, guarded by their own lock.
struct ScreenState {
  static ScreenState& instance();
  ScreenState() { reset(); }
  void reset();

  std::mutex mutex;
  std::vector<std::string> openedURLs;
  std::vector<std::shared_ptr<platform::UIAlertView>> alerts;
  std::map<std::string, std::string> routes;
  std::string trustedCertificates;  // a PEM file, or empty
  double webTimeoutLimit = 0;       // seconds; 0: the request's own
  std::optional<std::string> mailAccount = std::string("person@example.com");
  std::map<std::string, std::string> substitutes;
  std::map<std::string, std::string> paths;
  double taskTimeLimit = 15;                 // seconds
  std::size_t taskMemoryLimit = 512u << 20;  // bytes of address space
  std::vector<std::string> taskReports;
};

}  // namespace sim

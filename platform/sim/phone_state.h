// The simulated phone: one object that holds everything the phone is (its state, screen, clock
// and queues, threaded mode, preferences cache), shared by the platform calls and the control
// surface. Each part is guarded by its own mutex; no platform call holds one while it calls back
// into the deliverables.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/av_foundation.h"
#include "platform/sim/phone.h"
#include "platform/ui_kit.h"
#include "platform/value.h"
#include "virtual_scheduler.h"

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

class ThreadTaskRunner;

// The threaded mode (queues.cpp): whether it is on, its clock, and the queues it has made.
struct ThreadedMode {
  std::mutex mutex;
  bool on = false;
  double scale = 1;
  std::chrono::steady_clock::time_point start;
  std::shared_ptr<ThreadTaskRunner> main;
  std::vector<std::weak_ptr<ThreadTaskRunner>> queues;
  std::map<std::string, std::shared_ptr<platform::TaskRunner>> named;  // of the current mode
};

// The preference keys the monitor reads are looked up twice per ring (key list, then values);
// the parsed domain is kept while the file stays the same, as the phone's preferences daemon
// keeps it (cf_preferences.cpp).
struct PreferencesCache {
  std::mutex mutex;
  std::string path;
  struct stat identity {};
  // The file changed too close to when it was read for its timestamp to tell a rewrite from
  // no change (file systems keep coarse times): it is read again next time.
  bool racy = true;
  std::optional<platform::Dictionary> contents;  // none: the file could not be read
};

// The reason the last CFPreferencesSetValue failed, for the tools.
class LastWriteError {
 public:
  void set(std::string reason) {
    std::lock_guard lock(mutex_);
    reason_ = std::move(reason);
  }
  std::string get() const {
    std::lock_guard lock(mutex_);
    return reason_;
  }

 private:
  mutable std::mutex mutex_;
  std::string reason_;
};

// The whole simulated phone. The platform calls and the control surface act on currentPhone():
// the innermost ScopedPhone's, else the process's own. The parts are declared in the order they
// may need each other when the phone goes: queued tasks and threads go first.
class Phone {
 public:
  Phone();
  ~Phone();
  Phone(const Phone&) = delete;
  Phone& operator=(const Phone&) = delete;

  // Back to a fresh phone: threads stopped, tasks dropped, the clock at 0, the state, screen and
  // cache as new. The host's choices of where the log goes stay. Only for the current phone.
  void reset();

  PhoneState state;
  ScreenState screen;
  PreferencesCache preferencesCache;
  LastWriteError lastWriteError;
  VirtualScheduler scheduler;
  ThreadedMode threaded;
};

}  // namespace sim

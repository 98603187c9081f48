// The control surface of the simulated phone: what tests and the `tonewell` command use to set
// up the world around the monitor and to watch what it does. The deliverables never include it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core_motion.h"
#include "platform/sim/faults.h"
#include "platform/task_runner.h"
#include "platform/value.h"

namespace sim {

using platform::Duration;

struct LogLine {
  Duration time;
  std::string queue;
  std::string message;
};

// Who set a volume: the monitor, through the volume controller, or the scenario (the person).
enum class ChangedBy { monitor, scenario };

struct VolumeChange {
  Duration time;
  std::string category;
  float value;
  ChangedBy by;
};

struct CameraEvent {
  Duration time;
  bool start;
  int position;  // AVCaptureDevicePosition
};

struct FrameRecord {
  Duration time;
  int position;
  std::optional<double> brightness;  // none when the frame carried no readable brightness
};

struct RingtoneEvent {
  Duration time;
  bool ringing;
};

struct RingtoneState {
  bool ringing = false;
  std::string path;
  std::optional<platform::Value> vibrationPattern;
};

// The simulated phone: its clock and queues, screen, files cache, faults, threaded mode and
// records, in one object. The functions of this header act on the current phone.
class Phone;

// The current phone: the innermost live ScopedPhone's, else the process's own (the `tonewell`
// command's), made on first use.
Phone& currentPhone();

// Resets the current phone to a fresh one: the clock at 0 with no task pending, no fault
// (Faults{}), the scene at brightness 4.0, the phone upright, every volume at 0.5, no log, no
// observers left from earlier, the preferences folder as TONEWELL_HOME gives it.
void resetPhone();

// A fresh phone for the life of a test, as Chromium's TaskEnvironment is the test's own: made
// the current phone when the scope begins, with the log kept from standard error and its home in
// `home` (a test's temporary folder); when the scope ends its threads are stopped, its tasks
// dropped, and the phone that was current before is current again. Scopes nest; end them in the
// reverse order. The host process's observers and replaced methods start afresh with each.
class ScopedPhone {
 public:
  explicit ScopedPhone(const std::string& home);
  ~ScopedPhone();
  ScopedPhone(const ScopedPhone&) = delete;
  ScopedPhone& operator=(const ScopedPhone&) = delete;
  Phone& phone() const { return *phone_; }

 private:
  std::unique_ptr<Phone> phone_;
  Phone* previous_;
};

// The same phone with every queue on a thread of its own (useRealThreads), its threads stopped
// when it goes.
class ScopedThreadedPhone : public ScopedPhone {
 public:
  ScopedThreadedPhone(const std::string& home, double realSecondsPerSimulatedSecond);
};

// --- Time -----------------------------------------------------------------------------------
// Threaded mode, until the next reset: every queue of the phone runs on a real thread of its
// own, delays taking `scale` real seconds per simulated second. The functions below that run
// tasks (runUntilIdle, fastForwardBy, fastForwardUntilNoTasksRemain, runUntil,
// pendingTaskCount) are for virtual time only; postAt and now work in both.
void useRealThreads(double scale);
// Threaded mode: waits until no queue has a task pending or running; false at the timeout.
bool waitUntilQuiet(std::chrono::milliseconds timeout);

// The phone's clock, then the three ways to run its queues as Chromium's TaskEnvironment names
// them. `limit` bounds the number of tasks run (periodic sources never go idle on their own).
Duration now();
// Runs the tasks due now, and those they post for now, in order; no time passes, and a task due
// later stays pending.
void runUntilIdle(std::size_t limit = 1'000'000);
// Runs every task due up to now + `delta`, in due order, then sets the clock to now + `delta`.
void fastForwardBy(Duration delta);
// Runs tasks in due order, moving the clock to each task's due time, until none is left.
void fastForwardUntilNoTasksRemain(std::size_t limit = 1'000'000);
// Runs every task due up to the absolute time `time`, then sets the clock to it (if later).
void runUntil(Duration time);
std::size_t pendingTaskCount();
// Posts `task` to run at the absolute time `time` on the main run loop (or on `queue`).
void postAt(Duration time, std::function<void()> task, platform::TaskRunner* queue = nullptr);
// The same for what happens in the world outside the host process (a scenario's changes and
// the host's calls as the world makes them): these outlive endHostProcess. Virtual time only.
void postWorldAt(Duration time, std::function<void()> task);

// The host process ends at once, as a crash or a restart of SpringBoard ends it: no code of it
// runs any more. Every task pending on its queues is dropped (not those of postWorldAt), its
// ringtone stops, the media server ends its camera sessions, its notification observers and
// replaced methods are gone, and SpringBoard's class is registered afresh for the next process. The
// volume controller, the files and the preferences keep their state, as the phone's daemons and
// disk do. Virtual time only.
void endHostProcess();

// --- Scene and devices ------------------------------------------------------------------------
void setBrightness(int position, double brightness);  // EXIF BrightnessValue that camera sees
void setExifMode(ExifMode mode);
void setCameraFault(int position, CameraFault fault);
// Time between delivered frames; never below the output's minimum frame duration.
void setFrameInterval(Duration interval);
// Acceleration in g, or none for samples without data.
void setAcceleration(std::optional<platform::CMAcceleration> acceleration);
void setAccelerometerInterval(Duration interval);
// A stopped session still delivers the one frame that was on its way (after stopRunning has
// returned, on the output's queue), as a real camera queue can.
void setFrameInFlightAtStop(bool inFlight);
// Number of times a mode setter was called without the configuration lock.
int modeSettersWithoutLock();

// --- Failing calls ----------------------------------------------------------------------------
// The `use`-th use of `call` counted from the phone's reset (1 for the first) fails, that use
// only; 0 makes none fail.
void failUse(FailableCall call, long use);
// How many times `call` has been used since the phone's reset, failed uses included.
long usesOf(FailableCall call);

// --- Volume -----------------------------------------------------------------------------------
float volume(const std::string& category);
// The person changes the volume; `record` false sets it without a volume change (the volume the
// phone starts with).
void setVolume(const std::string& category, float value, bool record = true);
void setVolumeReadFails(bool fails);
std::vector<VolumeChange> volumeChanges();

// --- Cameras ----------------------------------------------------------------------------------
int runningCameraCount();
// How often a session's start took the camera from another session that held it (the first
// session then delivers nothing): zero when starts and stops are carried out in order.
int cameraTakeovers();
std::vector<CameraEvent> cameraEvents();
std::size_t framesDelivered();
std::vector<FrameRecord> frames();

// --- Log --------------------------------------------------------------------------------------
std::vector<LogLine> logLines();
std::vector<std::string> logMessages();
void clearLog();
// Forgets what the phone has recorded so far (log, volume changes, camera and ringtone events,
// frames); for long runs that only look at the present.
void clearRecords();
// A line the system itself writes (launchd's, say), from `queue`, as NSLog's lines are kept.
void recordLogLine(const std::string& queue, const std::string& message);
void setLogEcho(bool toStandardError);  // on by default
// Off by default. On, every line also goes to the system log (/dev/log) as SpringBoard's, stamped
// with the phone's clock: the moment syslog was switched on plus the simulated time since, to the
// microsecond (RFC 3339), so that a daemon that keeps the sender's stamps writes the replay's
// timeline, not the instant it took to compute it.
void setSyslog(bool toSyslog);
// The log as the phone's syslogd writes /var/log/syslog: "Dec  8 23:55:01 iPhone
// SpringBoard[52] <Warning>: ...", each line break in a message written as a line break and a
// tab, the system's lines (from "launchd") as launchd's. Simulated time zero is `start` (seconds
// since 1970); SpringBoard has a new process id after each line of launchd's (a restart).
std::string phoneSyslog(const std::vector<LogLine>& lines, double start);

// --- Telephony --------------------------------------------------------------------------------
// Posts "kCTCallStatusChangeNotification" on CoreTelephony's center (not the local one) from the
// telephony thread, after `delay`. `userInfo` none posts it without user info.
void postCallStatusChange(std::optional<platform::Dictionary> userInfo, Duration delay = {});
// Posts any notification from the telephony thread, after `delay`: CoreTelephony's ("kCT...") on
// its center, the others on the local center.
void postNotification(std::string name, std::optional<platform::Dictionary> userInfo,
                      Duration delay = {});

// --- Host -------------------------------------------------------------------------------------
RingtoneState ringtone();
// The host's ringtone starts and stops; a change of ringing state is also kept as an event.
void setRingtone(RingtoneState state);
std::vector<RingtoneEvent> ringtoneEvents();

// --- Preferences ------------------------------------------------------------------------------
// The folder that holds one property-list file per domain.
std::string preferencesFolder();
void setHomeFolder(const std::string& home);  // overrides TONEWELL_HOME until the next reset
std::string homeFolder();
// The file that holds `domain`.
std::string preferencesFile(std::string_view domain);
// Stores (or, with a null `value`, removes) one key of `domain` as CFPreferencesSetValue does,
// under a lock beside the file; false with the reason, naming the file, when it cannot: the
// file is unreadable or corrupt, another process holds the lock, a value already stored could
// not be written back exactly, or the write fails. Nothing is changed then.
bool storePreference(std::string_view key, const platform::Value* value, std::string_view domain,
                     std::string* error);
// The reason the last CFPreferencesSetValue of this process failed.
std::string lastPreferencesWriteError();
// What is wrong with the domain's file (its reader's reason, the first key that cannot be read,
// a root that is no dictionary); none when the file is missing or reads as a dictionary.
std::optional<std::string> preferencesProblem(std::string_view domain);
// Moves the domain's file aside, to "<file>.corrupt-<UTC time>" (never over another), so that the
// domain starts empty. The new name, or none with the reason.
std::optional<std::string> setDomainAside(std::string_view domain, std::string* error);
// The store hands out the key list but then fails to give the values.
void setPreferencesDictionaryFails(bool fails);

}  // namespace sim

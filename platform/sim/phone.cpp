// The simulated phone's control surface.
#include "platform/sim/phone.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "notification_center_internal.h"
#include "objc_runtime_internal.h"
#include "phone_state.h"
#include "platform/sim/springboard.h"
#include "queues.h"
#include "sessions_internal.h"
#include "thread_task_runner.h"
#include "virtual_scheduler.h"

namespace sim {

namespace {

// The innermost ScopedPhone's phone; null for the process's own. Set only by the thread that
// makes and ends the scopes, while no thread of a threaded mode runs.
std::atomic<Phone*> scopedPhone{nullptr};

Phone& processPhone() {
  static Phone phone;
  return phone;
}

// The host process's registrations, which belong to the process rather than to the phone, start
// afresh: no observers, no classes, no raising host method.
void startHostProcessAfresh() {
  resetNotificationCenter();
  resetClassRegistry();
  setRaisingHostMethod("");
}

}  // namespace

Phone& currentPhone() {
  Phone* scoped = scopedPhone.load(std::memory_order_acquire);
  return scoped != nullptr ? *scoped : processPhone();
}

Phone::Phone() = default;
Phone::~Phone() = default;

void Phone::reset() {
  endThreadedMode();
  screen.reset();
  scheduler.reset();
  state.reset();
  {
    std::lock_guard lock(preferencesCache.mutex);
    preferencesCache.path.clear();
    preferencesCache.racy = true;
    preferencesCache.contents.reset();
  }
  lastWriteError.set("");
}

std::vector<std::shared_ptr<platform::AVCaptureDevice::State>> PhoneContents::makeDevices() {
  std::vector<std::shared_ptr<platform::AVCaptureDevice::State>> made;
  for (int position :
       {platform::AVCaptureDevicePositionBack, platform::AVCaptureDevicePositionFront}) {
    auto device = std::make_shared<platform::AVCaptureDevice::State>();
    device->position = position;
    device->hasFlash = position == platform::AVCaptureDevicePositionBack;
    device->lockableFocus = position == platform::AVCaptureDevicePositionBack;
    made.push_back(std::move(device));
  }
  return made;
}

bool PhoneState::useFailsLocked(FailableCall call) {
  const long use = ++uses[call];
  const auto failing = faults.failingUse.find(call);
  return failing != faults.failingUse.end() && failing->second == use;
}

bool PhoneState::useFails(FailableCall call) {
  std::lock_guard lock(mutex);
  return useFailsLocked(call);
}

void failUse(FailableCall call, long use) {
  auto& state = currentPhone().state;
  std::lock_guard lock(state.mutex);
  if (use > 0) {
    state.faults.failingUse[call] = use;
  } else {
    state.faults.failingUse.erase(call);
  }
}

long usesOf(FailableCall call) {
  auto& state = currentPhone().state;
  std::lock_guard lock(state.mutex);
  const auto found = state.uses.find(call);
  return found == state.uses.end() ? 0 : found->second;
}

void PhoneState::reset() {
  std::lock_guard lock(mutex);
  static_cast<PhoneContents&>(*this) = PhoneContents{};
}

ScopedPhone::ScopedPhone(const std::string& home)
    : phone_(std::make_unique<Phone>()),
      previous_(scopedPhone.exchange(phone_.get(), std::memory_order_acq_rel)) {
  startHostProcessAfresh();
  setLogEcho(false);
  setHomeFolder(home);
}

ScopedPhone::~ScopedPhone() {
  if (scopedPhone.load(std::memory_order_acquire) != phone_.get()) {
    // A scope inside this one is still alive: its phone would be lost.
    std::fputs("sim::ScopedPhone: scopes ended out of order\n", stderr);
    std::abort();
  }
  // Emptied while it is still the current phone: what its tasks hold may call the platform as
  // it goes.
  phone_->reset();
  startHostProcessAfresh();
  scopedPhone.store(previous_, std::memory_order_release);
}

ScopedThreadedPhone::ScopedThreadedPhone(const std::string& home,
                                         double realSecondsPerSimulatedSecond)
    : ScopedPhone(home) {
  useRealThreads(realSecondsPerSimulatedSecond);
  setHomeFolder(home);  // the threaded mode starts from the same phone
}

void resetPhone() {
  currentPhone().reset();
  startHostProcessAfresh();
}

Duration now() {
  return phoneNow();
}

void useRealThreads(double scale) {
  startThreadedMode(scale);
}
void runUntilIdle(std::size_t limit) {
  currentPhone().scheduler.runUntilIdle(limit);
}
void fastForwardUntilNoTasksRemain(std::size_t limit) {
  currentPhone().scheduler.fastForwardUntilNoTasksRemain(limit);
}
void fastForwardBy(Duration delta) {
  currentPhone().scheduler.runUntil(now() + delta);
}
void runUntil(Duration time) {
  currentPhone().scheduler.runUntil(time);
}
std::size_t pendingTaskCount() {
  return currentPhone().scheduler.pendingTaskCount();
}

void postAt(Duration time, std::function<void()> task, platform::TaskRunner* queue) {
  if (threadedMode()) {
    TaskRunner& target = queue ? *queue : platform::mainRunLoop();
    target.postDelayedTask(std::move(task), time - now());
    return;
  }
  std::shared_ptr<TaskRunner> runner = virtualMainRunLoop();
  if (queue != nullptr) {
    if (auto* virtualQueue = dynamic_cast<VirtualTaskRunner*>(queue)) {
      runner = virtualQueue->shared_from_this();
    }
  }
  currentPhone().scheduler.postAt(std::move(runner), time, std::move(task));
}

namespace {
const char kWorldTag = 0;  // the tag of the world's tasks, which outlive the host process
}  // namespace

void postWorldAt(Duration time, std::function<void()> task) {
  currentPhone().scheduler.postAt(virtualMainRunLoop(), time, std::move(task), &kWorldTag);
}

void endHostProcess() {
  currentPhone().scheduler.cancelAllBut(&kWorldTag);
  RingtoneState silent = ringtone();  // the ringtone ends with the process that played it
  silent.ringing = false;
  setRingtone(std::move(silent));
  endCameraSessions();
  resetNotificationCenter();
  resetClassRegistry();
  setRaisingHostMethod("");
  installSpringBoard();
}

#define WITH_STATE                    \
  auto& state = currentPhone().state; \
  std::lock_guard lock(state.mutex)

void setBrightness(int position, double value) {
  WITH_STATE;
  state.brightness[position] = value;
}
void setExifMode(ExifMode mode) {
  WITH_STATE;
  state.faults.exif = mode;
}
void setCameraFault(int position, CameraFault fault) {
  WITH_STATE;
  state.faults.cameras[position] = fault;
}
void setFrameInterval(Duration interval) {
  WITH_STATE;
  state.frameInterval = interval;
}
void setAcceleration(std::optional<platform::CMAcceleration> acceleration) {
  WITH_STATE;
  state.acceleration = acceleration;
}
void setAccelerometerInterval(Duration interval) {
  WITH_STATE;
  state.accelerometerInterval = interval;
}
void setFrameInFlightAtStop(bool inFlight) {
  WITH_STATE;
  state.faults.frameInFlightAtStop = inFlight;
}
int modeSettersWithoutLock() {
  WITH_STATE;
  return state.modeSettersWithoutLock;
}

float volume(const std::string& category) {
  WITH_STATE;
  auto it = state.volumes.find(category);
  return it == state.volumes.end() ? 0.5f : it->second;
}
void setVolume(const std::string& category, float value, bool record) {
  WITH_STATE;
  state.volumes[category] = value;
  if (record) state.volumeChanges.push_back({now(), category, value, ChangedBy::scenario});
}
void setVolumeReadFails(bool fails) {
  WITH_STATE;
  state.faults.volumeReadFails = fails;
}
std::vector<VolumeChange> volumeChanges() {
  WITH_STATE;
  return state.volumeChanges;
}

int runningCameraCount() {
  WITH_STATE;
  return state.runningCameras;
}
int cameraTakeovers() {
  WITH_STATE;
  return state.cameraTakeovers;
}
std::vector<CameraEvent> cameraEvents() {
  WITH_STATE;
  return state.cameraEvents;
}
std::size_t framesDelivered() {
  WITH_STATE;
  return state.framesDelivered;
}
std::vector<FrameRecord> frames() {
  WITH_STATE;
  return state.frames;
}

std::vector<LogLine> logLines() {
  WITH_STATE;
  return state.log;
}
std::vector<std::string> logMessages() {
  WITH_STATE;
  std::vector<std::string> messages;
  messages.reserve(state.log.size());
  for (const LogLine& line : state.log) messages.push_back(line.message);
  return messages;
}
void clearLog() {
  WITH_STATE;
  state.log.clear();
}
void clearRecords() {
  WITH_STATE;
  state.log.clear();
  state.volumeChanges.clear();
  state.cameraEvents.clear();
  state.frames.clear();
  state.ringtoneEvents.clear();
}
void setLogEcho(bool toStandardError) {
  WITH_STATE;
  state.logEcho = toStandardError;
}
void setSyslog(bool toSyslog) {
  WITH_STATE;
  state.logToSyslog = toSyslog;
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  state.syslogEpoch =
      std::chrono::duration<double>(wall).count() - platform::durationToSeconds(phoneNow());
}

RingtoneState ringtone() {
  WITH_STATE;
  return state.ringtone;
}
void setRingtone(RingtoneState ringtoneState) {
  WITH_STATE;
  if (ringtoneState.ringing != state.ringtone.ringing) {
    state.ringtoneEvents.push_back({now(), ringtoneState.ringing});
  }
  state.ringtone = std::move(ringtoneState);
}
std::vector<RingtoneEvent> ringtoneEvents() {
  WITH_STATE;
  return state.ringtoneEvents;
}

std::string homeFolder() {
  {
    WITH_STATE;
    if (state.homeOverride) return *state.homeOverride;
  }
  if (const char* home = std::getenv("TONEWELL_HOME"); home && *home) return home;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    return std::string(data) + "/tonewell";
  }
  if (const char* user = std::getenv("HOME"); user && *user) {
    return std::string(user) + "/.local/share/tonewell";
  }
  return "/tmp/tonewell";
}

void setHomeFolder(const std::string& home) {
  WITH_STATE;
  state.homeOverride = home;
}

void setPreferencesDictionaryFails(bool fails) {
  WITH_STATE;
  state.faults.preferencesDictionaryFails = fails;
}

std::string preferencesFolder() {
  return homeFolder() + "/Preferences";
}

}  // namespace sim

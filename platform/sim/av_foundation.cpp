// The simulated cameras: devices at the back and front, and sessions that deliver frames whose
// EXIF dictionary carries the scene's brightness.
#include <condition_variable>
#include <functional>
#include <thread>

#include "phone_state.h"
#include "platform/av_foundation.h"
#include "platform/core_media.h"
#include "platform/sim/sample_buffer.h"
#include "queues.h"
#include "sessions_internal.h"

namespace platform {

namespace {

sim::CameraFault faultAt(int position) {
  auto& phone = sim::currentPhone().state;
  std::lock_guard lock(phone.mutex);
  auto it = phone.faults.cameras.find(position);
  return it == phone.faults.cameras.end() ? sim::CameraFault::none : it->second;
}

bool useFails(sim::FailableCall call) {
  try {
    return sim::currentPhone().state.useFails(call);
  } catch (...) {
    return true;
  }
}

void countModeSetterWithoutLock() {
  auto& phone = sim::currentPhone().state;
  std::lock_guard lock(phone.mutex);
  ++phone.modeSettersWithoutLock;
}

}  // namespace

// --- Devices ------------------------------------------------------------------------------------

AVCaptureDevice::AVCaptureDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::vector<std::shared_ptr<AVCaptureDevice>> AVCaptureDevice::devicesWithMediaType(
    std::string_view mediaType) noexcept {
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;
  if (mediaType != AVMediaTypeVideo) return devices;
  try {
    std::vector<std::shared_ptr<State>> states;
    {
      auto& phone = sim::currentPhone().state;
      std::lock_guard lock(phone.mutex);
      states = phone.devices;
    }
    for (auto& state : states) {
      if (faultAt(state->position) == sim::CameraFault::missing) continue;
      devices.push_back(std::make_shared<AVCaptureDevice>(state));
    }
  } catch (...) {
    devices.clear();
  }
  return devices;
}

AVCaptureDevicePosition AVCaptureDevice::position() const noexcept {
  return static_cast<AVCaptureDevicePosition>(state_->position);
}

bool AVCaptureDevice::lockForConfiguration(std::shared_ptr<NSError>* error) noexcept {
  const bool failing = useFails(sim::FailableCall::configurationLock);
  if (failing || faultAt(state_->position) == sim::CameraFault::lockRefused) {
    if (error) {
      try {
        *error = std::make_shared<NSError>("AVFoundationErrorDomain", -11852,
                                           "Cannot lock the device for configuration");
      } catch (...) {
      }
    }
    return false;
  }
  std::lock_guard lock(state_->mutex);
  state_->locked = true;
  return true;
}

void AVCaptureDevice::unlockForConfiguration() noexcept {
  std::lock_guard lock(state_->mutex);
  state_->locked = false;
}

bool AVCaptureDevice::isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode) const noexcept {
  return true;
}
bool AVCaptureDevice::isFocusModeSupported(AVCaptureFocusMode mode) const noexcept {
  return mode != AVCaptureFocusModeLocked || state_->lockableFocus;
}
bool AVCaptureDevice::isFlashModeSupported(AVCaptureFlashMode) const noexcept {
  return state_->hasFlash;
}

#define SET_MODE_UNDER_LOCK(field, value)      \
  do {                                         \
    bool locked = false;                       \
    {                                          \
      std::lock_guard lock(state_->mutex);     \
      locked = state_->locked;                 \
      if (locked) state_->field = (value);     \
    }                                          \
    if (!locked) countModeSetterWithoutLock(); \
  } while (false)

void AVCaptureDevice::setWhiteBalanceMode(AVCaptureWhiteBalanceMode mode) noexcept {
  SET_MODE_UNDER_LOCK(whiteBalanceMode, mode);
}
void AVCaptureDevice::setFocusMode(AVCaptureFocusMode mode) noexcept {
  SET_MODE_UNDER_LOCK(focusMode, mode);
}
void AVCaptureDevice::setFlashMode(AVCaptureFlashMode mode) noexcept {
  SET_MODE_UNDER_LOCK(flashMode, mode);
}

std::shared_ptr<AVCaptureDeviceInput> AVCaptureDeviceInput::deviceInputWithDeviceError(
    const std::shared_ptr<AVCaptureDevice>& device, std::shared_ptr<NSError>* error) noexcept {
  try {
    const bool failing = useFails(sim::FailableCall::deviceInput);
    if (failing || !device || faultAt(device->position()) == sim::CameraFault::inputFails) {
      if (error) {
        *error =
            std::make_shared<NSError>("AVFoundationErrorDomain", -11814, "Cannot use the camera");
      }
      return nullptr;
    }
    return std::make_shared<AVCaptureDeviceInput>(device);
  } catch (...) {
    return nullptr;
  }
}

// --- Sessions -----------------------------------------------------------------------------------

struct AVCaptureSession::State : std::enable_shared_from_this<AVCaptureSession::State> {
  std::mutex mutex;
  std::condition_variable deliveryDone;
  std::vector<std::shared_ptr<AVCaptureInput>> inputs;
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  bool running = false;
  bool cameraOn = false;
  int position = 0;
  std::uint64_t generation = 0;
  bool delivering = false;
  std::thread::id deliveringThread;
  std::shared_ptr<AVCaptureVideoDataOutput> videoOutput;
  AVCaptureConnection connection;

  Duration frameInterval() const {
    auto& phone = sim::currentPhone().state;
    std::lock_guard lock(phone.mutex);
    const Duration minimum = secondsToDuration(videoOutput->minFrameDuration().seconds());
    return std::max(phone.frameInterval, minimum);
  }

  void scheduleFrame(std::uint64_t forGeneration) {
    videoOutput->sampleBufferCallbackQueue()->postDelayedTask(
        [self = shared_from_this(), forGeneration] { self->deliverFrame(forGeneration); },
        frameInterval(), this);
  }

  opaqueCMSampleBuffer makeFrame() {
    auto& phone = sim::currentPhone().state;
    std::lock_guard lock(phone.mutex);
    ++phone.framesDelivered;
    const Duration time = sim::phoneNow();
    std::optional<double> brightness;
    if (phone.faults.exif == sim::ExifMode::normal) brightness = phone.brightness[position];
    phone.frames.push_back({time, position, brightness});
    opaqueCMSampleBuffer frame;
    if (phone.faults.exif == sim::ExifMode::missing) return frame;
    Dictionary exif;
    exif.setObjectForKey(Value(0.025), "ExposureTime");
    exif.setObjectForKey(Value(2.2), "FNumber");
    if (phone.faults.exif == sim::ExifMode::normal) {
      exif.setObjectForKey(Value(phone.brightness[position]), kCGImagePropertyExifBrightnessValue);
    } else if (phone.faults.exif == sim::ExifMode::notANumber) {
      exif.setObjectForKey(Value("n/a"), kCGImagePropertyExifBrightnessValue);
    }
    exif.setObjectForKey(Value(Array{Value(100)}), "ISOSpeedRatings");
    frame.attachments.setObjectForKey(Value(std::move(exif)), kCGImagePropertyExifDictionary);
    return frame;
  }

  // The process that owned the session has ended: no frame, no callback, the camera off.
  void end() {
    bool cameraWasOn = false;
    int at = 0;
    {
      std::lock_guard lock(mutex);
      if (!running) return;
      running = false;
      ++generation;
      cameraWasOn = cameraOn;
      cameraOn = false;
      at = position;
    }
    if (cameraWasOn) cameraWentOff(at);
  }

  // The media server has turned this session's camera off.
  void cameraWentOff(int at) {
    auto& phone = sim::currentPhone().state;
    std::lock_guard lock(phone.mutex);
    --phone.runningCameras;
    phone.cameraEvents.push_back({sim::phoneNow(), false, at});
    if (phone.cameraHolder.lock().get() == this) phone.cameraHolder.reset();
  }

  // The media server carries out a start, on the camera control queue. It does what it is told in
  // the order it is told: a start for a session stopped since still takes the camera (for no
  // frames), and a session that held the camera loses it, as on the phone.
  void powerOn(std::uint64_t forGeneration) {
    bool frames = false;
    int at = 0;
    {
      std::lock_guard lock(mutex);
      if (cameraOn || position == 0) return;
      cameraOn = true;
      at = position;
      frames = running && generation == forGeneration && videoOutput &&
               videoOutput->sampleBufferDelegate() && videoOutput->sampleBufferCallbackQueue();
    }
    std::shared_ptr<State> previous;
    {
      auto& phone = sim::currentPhone().state;
      std::lock_guard lock(phone.mutex);
      previous = phone.cameraHolder.lock();
      phone.cameraHolder = weak_from_this();
      ++phone.runningCameras;
      phone.cameraEvents.push_back({sim::phoneNow(), true, at});
      if (previous) ++phone.cameraTakeovers;
    }
    if (previous) previous->interrupt();
    if (frames) scheduleFrame(forGeneration);
  }

  // Carries out a stop, on the camera control queue.
  void powerOff() {
    int at = 0;
    {
      std::lock_guard lock(mutex);
      if (!cameraOn) return;
      cameraOn = false;
      at = position;
    }
    cameraWentOff(at);
  }

  // Another session took the camera: this one delivers no frame until it is started again.
  void interrupt() {
    int at = 0;
    {
      std::lock_guard lock(mutex);
      if (!cameraOn) return;
      cameraOn = false;
      ++generation;
      at = position;
    }
    cameraWentOff(at);
  }

  // A frame already on its way when the session stopped (a real camera queue can still hand
  // one over): delivered once, whatever the session's state.
  void deliverLateFrame() {
    const opaqueCMSampleBuffer frame = makeFrame();
    if (auto* delegate = videoOutput->sampleBufferDelegate()) {
      delegate->captureOutputDidOutputSampleBufferFromConnection(videoOutput.get(), &frame,
                                                                 &connection);
    }
  }

  void deliverFrame(std::uint64_t forGeneration) {
    {
      std::lock_guard lock(mutex);
      if (!running || generation != forGeneration) return;
      delivering = true;
      deliveringThread = std::this_thread::get_id();
    }
    const opaqueCMSampleBuffer frame = makeFrame();
    if (auto* delegate = videoOutput->sampleBufferDelegate()) {
      delegate->captureOutputDidOutputSampleBufferFromConnection(videoOutput.get(), &frame,
                                                                 &connection);
    }
    bool again = false;
    {
      std::lock_guard lock(mutex);
      delivering = false;
      again = running && generation == forGeneration;
    }
    deliveryDone.notify_all();
    if (again) scheduleFrame(forGeneration);
  }
};

namespace {

// The sessions the media server serves, to end them with their process.
struct SessionRegistry {
  std::mutex mutex;
  std::vector<std::weak_ptr<AVCaptureSession::State>> sessions;
};

SessionRegistry& sessionRegistry() {
  static SessionRegistry r;
  return r;
}

// Starting and stopping a camera blocks until the media server has done it, so the phone does it
// off the caller's queue: on one serial queue for every session, which keeps an old session's
// start and stop ahead of the next session's start. On the virtual clock it happens at once.
void onCameraControlQueue(std::function<void()> task) {
  if (!sim::threadedMode()) return task();
  sim::namedQueue("AVCaptureSession control")->postDelayedTask(std::move(task), Duration{0});
}

}  // namespace

AVCaptureSession::AVCaptureSession() : state_(std::make_shared<State>()) {
  try {
    auto& r = sessionRegistry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.sessions, [](const auto& weak) { return weak.expired(); });
    r.sessions.push_back(state_);
  } catch (...) {
  }
}

// A session released while running keeps its camera running, as a leaked session would.
AVCaptureSession::~AVCaptureSession() = default;

void AVCaptureSession::setSessionPreset(std::string_view) noexcept {}

namespace {

bool takesInput(const std::shared_ptr<AVCaptureInput>& input) {
  auto* deviceInput = dynamic_cast<AVCaptureDeviceInput*>(input.get());
  if (deviceInput == nullptr) return false;
  return faultAt(deviceInput->device()->position()) != sim::CameraFault::inputRefused;
}

}  // namespace

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureInput>& input) const noexcept {
  const bool failing = useFails(sim::FailableCall::addInput);
  return !failing && takesInput(input);
}

void AVCaptureSession::addInput(std::shared_ptr<AVCaptureInput> input) noexcept {
  if (!takesInput(input)) return;
  try {
    std::lock_guard lock(state_->mutex);
    state_->inputs.push_back(std::move(input));
  } catch (...) {
  }
}

namespace {

bool takesOutput(AVCaptureSession::State& state, const std::shared_ptr<AVCaptureOutput>& output) {
  if (!output) return false;
  std::lock_guard lock(state.mutex);
  for (const auto& input : state.inputs) {
    auto* deviceInput = dynamic_cast<AVCaptureDeviceInput*>(input.get());
    if (deviceInput &&
        faultAt(deviceInput->device()->position()) == sim::CameraFault::outputRefused) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const noexcept {
  const bool failing = useFails(sim::FailableCall::addOutput);
  return !failing && takesOutput(*state_, output);
}

void AVCaptureSession::addOutput(std::shared_ptr<AVCaptureOutput> output) noexcept {
  if (!takesOutput(*state_, output)) return;
  try {
    std::lock_guard lock(state_->mutex);
    state_->outputs.push_back(std::move(output));
  } catch (...) {
  }
}

void AVCaptureSession::startRunning() noexcept {
  // A session that fails to start leaves its camera off and delivers nothing.
  if (useFails(sim::FailableCall::startSession)) return;
  try {
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->running) return;
      state_->running = true;
      generation = ++state_->generation;
      for (const auto& input : state_->inputs) {
        if (auto* deviceInput = dynamic_cast<AVCaptureDeviceInput*>(input.get())) {
          state_->position = deviceInput->device()->position();
        }
      }
      for (const auto& output : state_->outputs) {
        if (auto video = std::dynamic_pointer_cast<AVCaptureVideoDataOutput>(output)) {
          state_->videoOutput = video;
        }
      }
    }
    onCameraControlQueue([state = state_, generation] { state->powerOn(generation); });
  } catch (...) {
  }
}

void AVCaptureSession::stopRunning() noexcept {
  std::shared_ptr<AVCaptureVideoDataOutput> output;
  {
    std::unique_lock lock(state_->mutex);
    if (!state_->running) return;
    state_->running = false;
    ++state_->generation;
    output = state_->videoOutput;
    // A frame being delivered on another thread finishes before this returns; from inside the
    // frame callback itself there is nothing to wait for.
    state_->deliveryDone.wait(lock, [&] {
      return !state_->delivering || state_->deliveringThread == std::this_thread::get_id();
    });
  }
  if (output && output->sampleBufferCallbackQueue()) {
    const std::size_t dropped =
        output->sampleBufferCallbackQueue()->cancelTasksWithTag(state_.get());
    bool late = false;
    {
      auto& phone = sim::currentPhone().state;
      std::lock_guard lock(phone.mutex);
      late = phone.faults.frameInFlightAtStop;
    }
    if (late && dropped > 0) {
      try {
        output->sampleBufferCallbackQueue()->postDelayedTask(
            [state = state_] { state->deliverLateFrame(); }, Duration{0});
      } catch (...) {
      }
    }
  }
  try {
    onCameraControlQueue([state = state_] { state->powerOff(); });
  } catch (...) {
  }
}

std::vector<std::shared_ptr<AVCaptureOutput>> AVCaptureSession::outputs() const {
  std::lock_guard lock(state_->mutex);
  return state_->outputs;
}

bool AVCaptureSession::isRunning() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

}  // namespace platform

namespace sim {

void endCameraSessions() {
  std::vector<std::shared_ptr<platform::AVCaptureSession::State>> live;
  {
    auto& r = platform::sessionRegistry();
    std::lock_guard lock(r.mutex);
    for (const auto& weak : r.sessions) {
      if (auto state = weak.lock()) live.push_back(std::move(state));
    }
    r.sessions.clear();
  }
  for (const auto& state : live) state->end();
}

}  // namespace sim

namespace platform {}  // namespace platform

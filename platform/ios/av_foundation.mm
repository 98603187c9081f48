#include "platform/av_foundation.h"

#import <AVFoundation/AVFoundation.h>
#import <CoreMedia/CoreMedia.h>
#include <objc/runtime.h>

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <utility>

#include "native_object.h"
#include "platform/ns_log.h"
#include "sample_buffer.h"
#include "task_runners.h"

// The AVFoundation calls the probe makes are the ones of its time; several are deprecated since.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"

// Hands each frame of one output to the output's delegate, until its session stops.
@interface TonewellSampleBufferForwarder : NSObject <AVCaptureVideoDataOutputSampleBufferDelegate> {
 @public
  // Ours, held weakly: a frame in flight keeps it alive while the delegate judges it.
  std::weak_ptr<platform::NSObject> _output;
  std::atomic<bool> _stopped;
  // The frame being handed over, if one is: stopRunning waits for it, as its contract says,
  // unless the delegate itself stops the session from inside it.
  std::mutex _deliveryMutex;
  std::condition_variable _deliveryDone;
  bool _delivering;
  pthread_t _deliveringThread;
}
// Stops forwarding; waits for a frame in delivery on another thread to be handed over.
- (void)stopAndWait;
@end

@implementation TonewellSampleBufferForwarder

- (void)captureOutput:(AVCaptureOutput*)captureOutput
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
           fromConnection:(AVCaptureConnection*)connection {
  {
    std::lock_guard lock(_deliveryMutex);
    if (_stopped.load()) return;
    _delivering = true;
    _deliveringThread = pthread_self();
  }
  [self deliver:sampleBuffer];
  {
    std::lock_guard lock(_deliveryMutex);
    _delivering = false;
  }
  _deliveryDone.notify_all();
}

- (void)stopAndWait {
  std::unique_lock lock(_deliveryMutex);
  _stopped = true;
  _deliveryDone.wait(
      lock, [&] { return !_delivering || pthread_equal(_deliveringThread, pthread_self()); });
}

- (void)deliver:(CMSampleBufferRef)sampleBuffer {
  try {
    auto output = std::dynamic_pointer_cast<platform::AVCaptureVideoDataOutput>(_output.lock());
    platform::AVCaptureVideoDataOutputSampleBufferDelegate* delegate =
        output ? output->sampleBufferDelegate() : nullptr;
    if (delegate == nullptr) return;
    platform::opaqueCMSampleBuffer frame{sampleBuffer, {}};
    platform::AVCaptureConnection frameConnection;
    delegate->captureOutputDidOutputSampleBufferFromConnection(output.get(), &frame,
                                                               &frameConnection);
  } catch (...) {
    // A frame never takes the host down.
  }
}

@end

namespace platform {

namespace {

const char kForwarderKey = 0;

void setError(std::shared_ptr<NSError>* out, ::NSError* error) {
  if (out) *out = fromNSError(error);
}

}  // namespace

// --- Devices ------------------------------------------------------------------------------------

struct AVCaptureDevice::State {
  ::AVCaptureDevice* device;
};

AVCaptureDevice::AVCaptureDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::vector<std::shared_ptr<AVCaptureDevice>> AVCaptureDevice::devicesWithMediaType(
    std::string_view mediaType) noexcept {
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;
  try {
    @autoreleasepool {
      NSString* type = mediaType == AVMediaTypeVideo ? ::AVMediaTypeVideo : toNSString(mediaType);
      for (::AVCaptureDevice* device in [::AVCaptureDevice devicesWithMediaType:type]) {
        devices.push_back(
            std::make_shared<AVCaptureDevice>(std::make_shared<State>(State{device})));
      }
    }
  } catch (...) {
    devices.clear();
  }
  return devices;
}

AVCaptureDevicePosition AVCaptureDevice::position() const noexcept {
  switch ([state_->device position]) {
    case ::AVCaptureDevicePositionBack:
      return AVCaptureDevicePositionBack;
    case ::AVCaptureDevicePositionFront:
      return AVCaptureDevicePositionFront;
    default:
      return AVCaptureDevicePositionUnspecified;
  }
}

bool AVCaptureDevice::lockForConfiguration(std::shared_ptr<NSError>* error) noexcept {
  ::NSError* failure = nil;
  const bool locked = [state_->device lockForConfiguration:&failure];
  if (!locked) setError(error, failure);
  return locked;
}

void AVCaptureDevice::unlockForConfiguration() noexcept {
  [state_->device unlockForConfiguration];
}

bool AVCaptureDevice::isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode) const noexcept {
  return [state_->device isWhiteBalanceModeSupported: ::AVCaptureWhiteBalanceModeLocked];
}

void AVCaptureDevice::setWhiteBalanceMode(AVCaptureWhiteBalanceMode) noexcept {
  @try {
    [state_->device setWhiteBalanceMode: ::AVCaptureWhiteBalanceModeLocked];
  } @catch (NSException*) {
    // Without the configuration lock the phone raises; the mode stays as it was.
  }
}

bool AVCaptureDevice::isFocusModeSupported(AVCaptureFocusMode) const noexcept {
  return [state_->device isFocusModeSupported: ::AVCaptureFocusModeLocked];
}

void AVCaptureDevice::setFocusMode(AVCaptureFocusMode) noexcept {
  @try {
    [state_->device setFocusMode: ::AVCaptureFocusModeLocked];
  } @catch (NSException*) {
  }
}

bool AVCaptureDevice::isFlashModeSupported(AVCaptureFlashMode) const noexcept {
  return [state_->device isFlashModeSupported: ::AVCaptureFlashModeOff];
}

void AVCaptureDevice::setFlashMode(AVCaptureFlashMode) noexcept {
  @try {
    [state_->device setFlashMode: ::AVCaptureFlashModeOff];
  } @catch (NSException*) {
  }
}

std::shared_ptr<AVCaptureDeviceInput> AVCaptureDeviceInput::deviceInputWithDeviceError(
    const std::shared_ptr<AVCaptureDevice>& device, std::shared_ptr<NSError>* error) noexcept {
  if (!device) return nullptr;
  try {
    @autoreleasepool {
      ::NSError* failure = nil;
      ::AVCaptureDeviceInput* native =
          [::AVCaptureDeviceInput deviceInputWithDevice:device->state()->device error:&failure];
      if (native == nil) {
        setError(error, failure);
        return nullptr;
      }
      auto input = std::make_shared<AVCaptureDeviceInput>(device);
      bindNative(*input, native);
      return input;
    }
  } catch (...) {
    return nullptr;
  }
}

// --- Sessions -----------------------------------------------------------------------------------

struct AVCaptureSession::State {
  ::AVCaptureSession* session;
  std::mutex mutex;
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  bool running = false;
};

namespace {

// Starting and stopping block until the camera has changed state, so they run off the caller's
// queue: on one queue for every session, so that an old session's start and stop are carried out
// before the next session's start, which the old start could otherwise take the camera from.
::dispatch_queue_t cameraControlQueue() {
  static ::dispatch_queue_t const queue =
      ::dispatch_queue_create("AVCaptureSession control", DISPATCH_QUEUE_SERIAL);
  return queue;
}

}  // namespace

AVCaptureSession::AVCaptureSession() : state_(std::make_shared<State>()) {
  state_->session = [[::AVCaptureSession alloc] init];
}

AVCaptureSession::~AVCaptureSession() {
  stopRunning();
}

void AVCaptureSession::setSessionPreset(std::string_view preset) noexcept {
  @autoreleasepool {
    NSString* name = preset == AVCaptureSessionPreset352x288 ? ::AVCaptureSessionPreset352x288
                                                             : toNSString(preset);
    if ([state_->session canSetSessionPreset:name]) [state_->session setSessionPreset:name];
  }
}

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureInput>& input) const noexcept {
  ::AVCaptureInput* native = nativeOf(input.get());
  return native != nil && [state_->session canAddInput:native];
}

void AVCaptureSession::addInput(std::shared_ptr<AVCaptureInput> input) noexcept {
  ::AVCaptureInput* native = nativeOf(input.get());
  if (native != nil && [state_->session canAddInput:native]) [state_->session addInput:native];
}

namespace {

// The phone's output for ours, made with its settings the first time the session sees it.
::AVCaptureVideoDataOutput* nativeOutput(AVCaptureOutput* output) {
  auto* video = dynamic_cast<AVCaptureVideoDataOutput*>(output);
  if (video == nullptr) return nil;
  if (::AVCaptureVideoDataOutput* existing = nativeOf(video)) return existing;
  auto* runner = dynamic_cast<GcdTaskRunner*>(video->sampleBufferCallbackQueue().get());
  if (runner == nullptr) return nil;
  ::AVCaptureVideoDataOutput* native = [[::AVCaptureVideoDataOutput alloc] init];
  [native setAlwaysDiscardsLateVideoFrames:video->alwaysDiscardsLateVideoFrames()];
  TonewellSampleBufferForwarder* forwarder = [[TonewellSampleBufferForwarder alloc] init];
  forwarder->_output = video->weak_from_this();
  forwarder->_stopped = false;
  forwarder->_delivering = false;
  objc_setAssociatedObject(native, &kForwarderKey, forwarder, OBJC_ASSOCIATION_RETAIN);
  [native setSampleBufferDelegate:forwarder queue:runner->queue()];
  bindNative(*video, native);
  return native;
}

void applyFrameRate(::AVCaptureVideoDataOutput* native, CMTime duration) {
  ::AVCaptureConnection* connection = [native connectionWithMediaType: ::AVMediaTypeVideo];
  if (connection == nil || duration.timescale <= 0) return;
  if ([connection respondsToSelector:@selector(isVideoMinFrameDurationSupported)] &&
      [connection isVideoMinFrameDurationSupported]) {
    [connection setVideoMinFrameDuration: ::CMTimeMake(duration.value, duration.timescale)];
  }
}

void stopForwarding(const std::shared_ptr<AVCaptureOutput>& output) {
  ::AVCaptureVideoDataOutput* native = nativeOf(output.get());
  if (native == nil) return;
  TonewellSampleBufferForwarder* forwarder = objc_getAssociatedObject(native, &kForwarderKey);
  [forwarder stopAndWait];
}

}  // namespace

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const noexcept {
  @autoreleasepool {
    ::AVCaptureVideoDataOutput* native = nativeOutput(output.get());
    return native != nil && [state_->session canAddOutput:native];
  }
}

void AVCaptureSession::addOutput(std::shared_ptr<AVCaptureOutput> output) noexcept {
  try {
    @autoreleasepool {
      ::AVCaptureVideoDataOutput* native = nativeOutput(output.get());
      if (native == nil || ![state_->session canAddOutput:native]) return;
      [state_->session addOutput:native];
      const CMTime duration =
          static_cast<AVCaptureVideoDataOutput*>(output.get())->minFrameDuration();
      {
        // Tracked first: if the frame rate raises, stopRunning still stops this output's frames.
        std::lock_guard lock(state_->mutex);
        state_->outputs.push_back(std::move(output));
      }
      applyFrameRate(native, duration);
    }
  } catch (...) {
  }
}

void AVCaptureSession::startRunning() noexcept {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->running) return;
    state_->running = true;
  }
  ::AVCaptureSession* session = state_->session;
  ::dispatch_async(cameraControlQueue(), ^{
    @try {
      [session startRunning];
    } @catch (NSException* exception) {
      // A camera the media server refuses (in use, restricted) must not end SpringBoard.
      NSLog("TW: the camera could not start: %@", fromNSString(exception.reason));
    }
  });
}

void AVCaptureSession::stopRunning() noexcept {
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->running) return;
    state_->running = false;
    outputs = state_->outputs;
  }
  // No frame reaches a delegate from here on, even before the camera has stopped.
  for (const auto& output : outputs) stopForwarding(output);
  ::AVCaptureSession* session = state_->session;
  ::dispatch_async(cameraControlQueue(), ^{
    @try {
      [session stopRunning];
    } @catch (NSException* exception) {
      NSLog("TW: the camera could not stop: %@", fromNSString(exception.reason));
    }
  });
}

bool AVCaptureSession::isRunning() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

std::vector<std::shared_ptr<AVCaptureOutput>> AVCaptureSession::outputs() const {
  std::lock_guard lock(state_->mutex);
  return state_->outputs;
}

}  // namespace platform

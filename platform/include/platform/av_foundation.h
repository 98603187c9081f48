// AVFoundation camera capture: devices, a session with an input and a video data output, and the
// output's frame receiver.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "platform/core_media.h"
#include "platform/dispatch.h"
#include "platform/ns_object.h"

namespace platform {

inline constexpr std::string_view AVMediaTypeVideo = "vide";
inline constexpr std::string_view AVCaptureSessionPreset352x288 = "AVCaptureSessionPreset352x288";

enum AVCaptureDevicePosition : int {
  AVCaptureDevicePositionUnspecified = 0,
  AVCaptureDevicePositionBack = 1,
  AVCaptureDevicePositionFront = 2,
};
enum AVCaptureWhiteBalanceMode : int { AVCaptureWhiteBalanceModeLocked = 0 };
enum AVCaptureFocusMode : int { AVCaptureFocusModeLocked = 0 };
enum AVCaptureFlashMode : int { AVCaptureFlashModeOff = 0 };

class AVCaptureDevice : public NSObject {
 public:
  struct State;
  explicit AVCaptureDevice(std::shared_ptr<State> state);
  const char* className() const override { return "AVCaptureDevice"; }

  // The devices of `mediaType` that the phone has, in a stable order.
  static std::vector<std::shared_ptr<AVCaptureDevice>> devicesWithMediaType(
      std::string_view mediaType) noexcept;

  AVCaptureDevicePosition position() const noexcept;

  // Takes the configuration lock; false (and `*error` set when given) when the device refuses.
  // The mode setters need the lock: without it they change nothing (on the phone they raise).
  bool lockForConfiguration(std::shared_ptr<NSError>* error) noexcept;
  void unlockForConfiguration() noexcept;
  bool isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode mode) const noexcept;
  void setWhiteBalanceMode(AVCaptureWhiteBalanceMode mode) noexcept;
  bool isFocusModeSupported(AVCaptureFocusMode mode) const noexcept;
  void setFocusMode(AVCaptureFocusMode mode) noexcept;
  bool isFlashModeSupported(AVCaptureFlashMode mode) const noexcept;
  void setFlashMode(AVCaptureFlashMode mode) noexcept;

  const std::shared_ptr<State>& state() const { return state_; }

 private:
  std::shared_ptr<State> state_;
};

class AVCaptureInput : public NSObject {};

class AVCaptureDeviceInput : public AVCaptureInput {
 public:
  explicit AVCaptureDeviceInput(std::shared_ptr<AVCaptureDevice> device)
      : device_(std::move(device)) {}
  const char* className() const override { return "AVCaptureDeviceInput"; }
  // An input for `device`, or null when none can be made (`*error` set when given).
  static std::shared_ptr<AVCaptureDeviceInput> deviceInputWithDeviceError(
      const std::shared_ptr<AVCaptureDevice>& device, std::shared_ptr<NSError>* error) noexcept;
  const std::shared_ptr<AVCaptureDevice>& device() const { return device_; }

 private:
  std::shared_ptr<AVCaptureDevice> device_;
};

class AVCaptureOutput : public NSObject {};
class AVCaptureConnection : public NSObject {
 public:
  const char* className() const override { return "AVCaptureConnection"; }
};

class AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  virtual ~AVCaptureVideoDataOutputSampleBufferDelegate() = default;
  // One frame, on the output's queue. Must not throw.
  virtual void captureOutputDidOutputSampleBufferFromConnection(
      AVCaptureOutput* output, CMSampleBufferRef sampleBuffer,
      AVCaptureConnection* connection) noexcept = 0;
};

class AVCaptureVideoDataOutput : public AVCaptureOutput {
 public:
  const char* className() const override { return "AVCaptureVideoDataOutput"; }
  void setAlwaysDiscardsLateVideoFrames(bool discard) noexcept { discardsLateFrames_ = discard; }
  bool alwaysDiscardsLateVideoFrames() const noexcept { return discardsLateFrames_; }
  // Frames are delivered no faster than one per `duration`.
  void setMinFrameDuration(CMTime duration) noexcept { minFrameDuration_ = duration; }
  CMTime minFrameDuration() const noexcept { return minFrameDuration_; }
  // Frames go to `delegate` on `queue`, one at a time. The output does not own the delegate: it
  // must outlive the session's running.
  void setSampleBufferDelegateQueue(AVCaptureVideoDataOutputSampleBufferDelegate* delegate,
                                    dispatch_queue_t queue) noexcept;
  AVCaptureVideoDataOutputSampleBufferDelegate* sampleBufferDelegate() const { return delegate_; }
  const dispatch_queue_t& sampleBufferCallbackQueue() const { return queue_; }

 private:
  bool discardsLateFrames_ = false;
  CMTime minFrameDuration_ = CMTimeMake(1, 30);
  AVCaptureVideoDataOutputSampleBufferDelegate* delegate_ = nullptr;
  dispatch_queue_t queue_;
};

class AVCaptureSession : public NSObject {
 public:
  AVCaptureSession();
  ~AVCaptureSession() override;
  const char* className() const override { return "AVCaptureSession"; }

  void setSessionPreset(std::string_view preset) noexcept;
  bool canAddInput(const std::shared_ptr<AVCaptureInput>& input) const noexcept;
  void addInput(std::shared_ptr<AVCaptureInput> input) noexcept;
  bool canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const noexcept;
  void addOutput(std::shared_ptr<AVCaptureOutput> output) noexcept;

  // Returns at once; the camera starts soon after and frames flow to the output's delegate
  // (when the session has a device input and a video data output with a delegate and a queue).
  // The cameras of all sessions start and stop in the order these calls were made.
  void startRunning() noexcept;
  // No frame is delivered after this returns; the camera goes off soon after, in order. It may
  // be called from inside a frame callback on the output's queue (it does not wait for that
  // frame then).
  void stopRunning() noexcept;
  bool isRunning() const noexcept;
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform

#include "scenario_player.h"

#include "platform/av_foundation.h"
#include "platform/cf_preferences.h"
#include "platform/sim/phone.h"
#include "platform/sim/springboard.h"

namespace tonewell {

namespace {

constexpr const char* kDomain = "com.example.tonewell";

void applyWorld(const WorldEntry& entry) {
  using platform::AVCaptureDevicePositionBack;
  using platform::AVCaptureDevicePositionFront;
  if (entry.brightness) {
    sim::setBrightness(AVCaptureDevicePositionFront, *entry.brightness);
    sim::setBrightness(AVCaptureDevicePositionBack, *entry.brightness);
  }
  if (entry.frontBrightness)
    sim::setBrightness(AVCaptureDevicePositionFront, *entry.frontBrightness);
  if (entry.backBrightness) sim::setBrightness(AVCaptureDevicePositionBack, *entry.backBrightness);
  if (entry.exif) sim::setExifMode(*entry.exif);
  if (entry.acceleration) sim::setAcceleration(*entry.acceleration);
}

// The host's process, as a respring ends and restarts it.
class Host {
 public:
  explicit Host(HostProcess& process) : process_(process) {}

  std::optional<std::string> start() { return process_.start(); }

  void respring() {
    sim::endHostProcess();
    sim::recordLogLine("launchd", "SpringBoard ended and was started again");
    if (auto failure = start()) {
      sim::recordLogLine("launchd", *failure);
      failure_ = std::move(failure);
    }
  }

  const std::optional<std::string>& failure() const { return failure_; }

 private:
  HostProcess& process_;
  std::optional<std::string> failure_;
};

void perform(const Event& event, Host& host) {
  if (const auto* call = std::get_if<HostCall>(&event.action)) {
    const auto& args = call->arguments;
    if (call->selector == "playRingtoneAtPath:vibrationPattern:") {
      sim::playRingtoneAtPathVibrationPattern(args.at(0), args.at(1));
    } else if (call->selector == "playRingtoneAtPath:") {
      sim::playRingtoneAtPath(args.at(0));
    } else if (call->selector == "prepareToAnswerCall") {
      sim::prepareToAnswerCall();
    } else {
      sim::stopRinging();
    }
  } else if (const auto* set = std::get_if<SetPreferences>(&event.action)) {
    for (std::size_t i = 0; i < set->values.count(); ++i) {
      platform::CFPreferencesSetValue(set->values.allKeys()[i], &set->values.valueAt(i), kDomain,
                                      platform::kCFPreferencesCurrentUser,
                                      platform::kCFPreferencesAnyHost);
    }
  } else if (const auto* remove = std::get_if<RemovePreferences>(&event.action)) {
    for (const auto& key : remove->keys) {
      platform::CFPreferencesSetValue(key, nullptr, kDomain, platform::kCFPreferencesCurrentUser,
                                      platform::kCFPreferencesAnyHost);
    }
  } else if (const auto* volume = std::get_if<SetRingtoneVolume>(&event.action)) {
    sim::setVolume("Ringtone", volume->volume);
  } else if (const auto* notify = std::get_if<Notify>(&event.action)) {
    sim::postNotification(notify->name, notify->userInfo);
  } else if (std::holds_alternative<Respring>(event.action)) {
    host.respring();
  }
}

}  // namespace

std::optional<std::string> playScenario(const Scenario& scenario, HostProcess& process) {
  const DeviceSetup& device = scenario.device;
  sim::setVolume("Ringtone", device.ringtoneVolume, /*record=*/false);
  sim::setCameraFault(platform::AVCaptureDevicePositionFront, device.frontCamera);
  sim::setCameraFault(platform::AVCaptureDevicePositionBack, device.backCamera);
  sim::setFrameInterval(platform::secondsToDuration(device.frameInterval));
  sim::setAccelerometerInterval(platform::secondsToDuration(device.accelerometerInterval));
  sim::setVolumeReadFails(device.volumeReadFails);
  sim::setAcceleration(platform::CMAcceleration{0, -1, 0});
  sim::installSpringBoard();

  Host host(process);
  if (auto failure = host.start()) return failure;

  // The scenario's own changes are queued first: at a tie they run before what the system
  // schedules later for the same moment. They are the world's: a respring leaves them.
  for (const WorldEntry& entry : scenario.world) {
    sim::postWorldAt(platform::secondsToDuration(entry.at), [entry] { applyWorld(entry); });
  }
  for (const Event& event : scenario.events) {
    sim::postWorldAt(platform::secondsToDuration(event.at),
                     [event, &host] { perform(event, host); });
  }
  sim::runUntil(platform::secondsToDuration(scenario.until));
  return host.failure();
}

}  // namespace tonewell

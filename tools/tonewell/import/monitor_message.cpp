#include "monitor_message.h"

#include <fmt/format.h>

#include <cstdint>

#include "log_lines.h"

namespace tonewell::monitor_message {

namespace log_lines = monitor::log_lines;

Classified classify(std::string_view message) {
  Classified c;
  constexpr std::string_view kHook = log_lines::leadOf(log_lines::kStopRingingHook);
  if (startsWith(message, kHook)) {
    const auto close = message.find("> ");
    if (close == std::string_view::npos || message.back() != ']') return c;
    const std::string_view call = message.substr(close + 2, message.size() - close - 3);
    if (call == "stopRinging") {
      c.kind = Kind::stopRinging;
    } else if (startsWith(call, "playRingtoneAtPath:")) {
      c.kind = Kind::play;
      c.text = call;
    }
    return c;
  }
  if (!startsWith(message, log_lines::kTag)) return c;
  const std::string_view m = message;
  auto fault = [&](const char* name) {
    c.kind = Kind::cameraFault;
    c.fault = name;
  };
  constexpr std::string_view kCallStatus = log_lines::leadOf(log_lines::kCallStatus);
  constexpr std::string_view kBrightness = log_lines::leadOf(log_lines::kBrightness);
  if (m == log_lines::kPrepareToAnswerCall) {
    c.kind = Kind::prepareToAnswerCall;
  } else if (const auto state = numberAfter<std::int32_t>(m, kCallStatus);
             state && startsWith(m, kCallStatus)) {
    c.kind = Kind::callStatus;
    c.number = *state;
  } else if (m == log_lines::kCallStatusUnknown) {
    c.kind = Kind::statusUnknown;
  } else if (startsWith(m, log_lines::kSettingsSummary)) {
    c.kind = Kind::settings;
    c.text = m.substr(log_lines::kSettingsSummary.size());
  } else if (startsWith(m, log_lines::leadOf(log_lines::kAccelerometerData))) {
    const auto x = numberAfter<double>(m, " x:"), y = numberAfter<double>(m, " y:"),
               z = numberAfter<double>(m, " z:");
    if (x && y && z) {
      c.kind = Kind::acceleration;
      c.x = *x, c.y = *y, c.z = *z;
    }
  } else if (const auto brightness = numberAfter<double>(m, kBrightness);
             brightness && startsWith(m, kBrightness)) {
    c.kind = Kind::brightness;
    c.number = *brightness;
  } else if (m == log_lines::kNoExif) {
    c.kind = Kind::noExif;
  } else if (m == log_lines::kRaised) {
    c.kind = Kind::raise;
  } else if (m == log_lines::kRestoredOutOfPocket || m == log_lines::kRestoringAtRingEnd ||
             m == log_lines::kRestoredAfterRestart) {
    c.kind = Kind::restore;
  } else if (startsWith(m, log_lines::gistOf(log_lines::kAlreadyAtLevel))) {
    c.kind = Kind::alreadyAtLevel;
  } else if (m == log_lines::kStoppingCapture) {
    c.kind = Kind::stopCapture;
  } else if (startsWith(m, log_lines::gistOf(log_lines::kNoCameraDevice))) {
    fault("missing");
  } else if (startsWith(m, log_lines::gistOf(log_lines::kNoDeviceInput))) {
    fault("inputFails");
  } else if (startsWith(m, log_lines::gistOf(log_lines::kInputRefused))) {
    fault("inputRefused");
  } else if (startsWith(m, log_lines::gistOf(log_lines::kOutputRefused))) {
    fault("outputRefused");
  }
  return c;
}

bool endsTheRing(const Classified& c) {
  return c.kind == Kind::stopRinging ||
         (c.kind == Kind::callStatus && (c.number == 1 || c.number == 5));
}

std::string endName(const Classified& c) {
  return c.kind == Kind::stopRinging ? "stopRinging"
                                     : fmt::format("call status {}", static_cast<int>(c.number));
}

}  // namespace tonewell::monitor_message

// The simulated host: SpringBoard's SBUserAgent, whose methods really start and stop the
// simulated ringtone. The host calls its methods through the class's method table, so a
// replaced method runs its replacement.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/objc_runtime.h"
#include "platform/value.h"

namespace sim {

// Registers the class "SBUserAgent" with the four ringtone methods, leaving out those named in
// `without`, and creates its one instance. A second call keeps the class as it is.
void installSpringBoard(const std::vector<std::string>& without = {});

// What the host's own implementation raises (an Objective-C exception of SpringBoard's, which
// unwinds like a C++ one): the replacements must let it pass unchanged.
struct HostException : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// From now on the host's own implementation of `selector` raises a HostException after doing
// its work; an empty selector stops that. A reset of the phone stops it too.
void setRaisingHostMethod(const std::string& selector);

// The host's SBUserAgent instance.
platform::id userAgent();

// The host calling its own methods, as SpringBoard does when a call comes in and ends. A method
// the class lacks does nothing. What the method raises reaches the caller.
void playRingtoneAtPath(const platform::Value& path);
void playRingtoneAtPathVibrationPattern(const platform::Value& path,
                                        const platform::Value& vibrationPattern);
void prepareToAnswerCall();
void stopRinging();

}  // namespace sim

// The simulated telephony: posts call-status changes from its own thread, as the phone's
// telephony server does.
#include "platform/cf_notification_center.h"
#include "platform/sim/phone.h"
#include "platform/task_runner.h"
#include "queues.h"

namespace sim {

void postNotification(std::string name, std::optional<platform::Dictionary> userInfo,
                      Duration delay) {
  namedQueue("telephony")
      ->postDelayedTask(
          [name = std::move(name), userInfo = std::move(userInfo)] {
            // The telephony server's own notifications go to CoreTelephony's center, as on the
            // phone; anything else to the local one.
            auto* center = name.starts_with("kCT") ? platform::CTTelephonyCenterGetDefault()
                                                   : platform::CFNotificationCenterGetLocalCenter();
            platform::CFNotificationCenterPostNotification(center, name, nullptr,
                                                           userInfo ? &*userInfo : nullptr, true);
          },
          delay);
}

void postCallStatusChange(std::optional<platform::Dictionary> userInfo, Duration delay) {
  postNotification("kCTCallStatusChangeNotification", std::move(userInfo), delay);
}

}  // namespace sim

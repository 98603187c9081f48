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
            platform::CFNotificationCenterPostNotification(
                platform::CFNotificationCenterGetLocalCenter(), name, nullptr,
                userInfo ? &*userInfo : nullptr, true);
          },
          delay);
}

void postCallStatusChange(std::optional<platform::Dictionary> userInfo, Duration delay) {
  postNotification("kCTCallStatusChangeNotification", std::move(userInfo), delay);
}

}  // namespace sim

#include <mutex>
#include <string>
#include <vector>

#include "notification_center_internal.h"
#include "platform/cf_notification_center.h"

struct platform::NotificationCenter {
  struct Observer {
    void* observer;
    CFNotificationCallback callback;
    std::string name;
    const void* object;
  };
  std::mutex mutex;
  std::vector<Observer> observers;
};

namespace platform {

CFNotificationCenterRef CFNotificationCenterGetLocalCenter() noexcept {
  static NotificationCenter center;
  return &center;
}

CFNotificationCenterRef CTTelephonyCenterGetDefault() noexcept {
  static NotificationCenter center;
  return &center;
}

void CTTelephonyCenterAddObserver(CFNotificationCenterRef center, void* observer,
                                  CFNotificationCallback callback, CFNotificationName name,
                                  const void* object,
                                  CFNotificationSuspensionBehavior suspensionBehavior) noexcept {
  CFNotificationCenterAddObserver(center, observer, callback, name, object, suspensionBehavior);
}

void CFNotificationCenterAddObserver(
    CFNotificationCenterRef center, void* observer, CFNotificationCallback callback,
    CFNotificationName name, const void* object,
    CFNotificationSuspensionBehavior /*suspensionBehavior*/) noexcept {
  if (center == nullptr || callback == nullptr) return;
  try {
    std::lock_guard lock(center->mutex);
    center->observers.push_back({observer, callback, std::string(name), object});
  } catch (...) {
  }
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void* object, const Dictionary* userInfo,
                                          bool /*deliverImmediately*/) noexcept {
  if (center == nullptr) return;
  std::vector<NotificationCenter::Observer> matching;
  try {
    std::lock_guard lock(center->mutex);
    for (const auto& o : center->observers) {
      if ((o.name.empty() || o.name == name) && (o.object == nullptr || o.object == object)) {
        matching.push_back(o);
      }
    }
  } catch (...) {
    return;
  }
  // Called outside the lock: an observer may add observers or post again.
  for (const auto& o : matching) o.callback(center, o.observer, name, object, userInfo);
}

}  // namespace platform

namespace sim {
void resetNotificationCenter() {
  for (auto* center :
       {platform::CFNotificationCenterGetLocalCenter(), platform::CTTelephonyCenterGetDefault()}) {
    std::lock_guard lock(center->mutex);
    center->observers.clear();
  }
}
}  // namespace sim

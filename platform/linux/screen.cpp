// The simulated screen's control surface.
#include "platform/sim/screen.h"

#include <algorithm>
#include <cstdlib>

#include "phone_state.h"

namespace sim {

ScreenState& ScreenState::instance() {
  static ScreenState state;
  return state;
}

void ScreenState::reset() {
  std::lock_guard lock(mutex);
  openedURLs.clear();
  alerts.clear();
  routes.clear();
  // TONEWELL_ROUTE="host:port=target:port[,...]" routes web requests as routeHost does, for
  // tools run by tests.
  if (const char* rules = std::getenv("TONEWELL_ROUTE")) {
    std::string all = rules;
    std::size_t start = 0;
    while (start < all.size()) {
      const std::size_t end = std::min(all.find(',', start), all.size());
      const std::string rule = all.substr(start, end - start);
      if (const auto eq = rule.find('='); eq != std::string::npos) {
        routes[rule.substr(0, eq)] = rule.substr(eq + 1);
      }
      start = end + 1;
    }
  }
  // TONEWELL_CA_FILE: certificates the phone trusts besides the system's (a test's own
  // authority, as a profile installed on a phone adds one).
  const char* authorities = std::getenv("TONEWELL_CA_FILE");
  trustedCertificates = authorities ? authorities : "";
  mailAccount = "person@example.com";
  substitutes.clear();
  paths.clear();
}

std::vector<std::string> openedURLs() {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  return s.openedURLs;
}

std::vector<std::shared_ptr<platform::UIAlertView>> alertsOnScreen() {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  return s.alerts;
}

void tapAlertButton(std::size_t alertIndex) {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  if (alertIndex < s.alerts.size())
    s.alerts.erase(s.alerts.begin() + static_cast<long>(alertIndex));
}

void routeHost(const std::string& hostAndPort, const std::string& target) {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  s.routes[hostAndPort] = target;
}

void trustCertificates(const std::string& pemFile) {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  s.trustedCertificates = pemFile;
}

void setMailAccount(std::optional<std::string> address) {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  s.mailAccount = std::move(address);
}

std::optional<std::string> mailAccount() {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  return s.mailAccount;
}

void mapPath(const std::string& from, const std::string& to) {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  s.paths[from] = to;
}

void substituteProgram(const std::string& path, const std::string& substitute) {
  auto& s = ScreenState::instance();
  std::lock_guard lock(s.mutex);
  if (substitute.empty()) {
    s.substitutes.erase(path);
  } else {
    s.substitutes[path] = substitute;
  }
}

}  // namespace sim

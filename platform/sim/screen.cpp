// The simulated screen's control surface.
#include "platform/sim/screen.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "phone_state.h"

namespace sim {

namespace {

// "host:port" with a port from 1 to 65535 and a host of letters, digits, dots and dashes.
bool hostAndPort(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = text[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-')) return false;
  }
  long port = 0;
  for (std::size_t i = colon + 1; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i])) ||
        (port = port * 10 + (text[i] - '0')) > 65535) {
      return false;
    }
  }
  return port >= 1;
}

struct Rules {
  std::vector<std::pair<std::string, std::string>> routes;
  std::optional<std::string> problem;
};

Rules readRules(const std::string& all) {
  Rules rules;
  std::size_t start = 0;
  while (start <= all.size() && !all.empty()) {
    const std::size_t end = std::min(all.find(',', start), all.size());
    const std::string rule = all.substr(start, end - start);
    const auto eq = rule.find('=');
    if (eq == std::string::npos || !hostAndPort(rule.substr(0, eq)) ||
        !hostAndPort(rule.substr(eq + 1))) {
      if (!rules.problem) {
        rules.problem = "the rule \"" + rule +
                        "\" is not host:port=target:port (for example "
                        "www.example.com:443=127.0.0.1:8443)";
      }
    } else {
      rules.routes.emplace_back(rule.substr(0, eq), rule.substr(eq + 1));
    }
    start = end + 1;
  }
  return rules;
}

std::vector<std::pair<std::string, std::string>> parseRoutes(const std::string& all) {
  return readRules(all).routes;
}

}  // namespace

std::optional<std::string> routeRulesProblem(const std::string& rules) {
  return readRules(rules).problem;
}

void ScreenState::reset() {
  std::lock_guard lock(mutex);
  openedURLs.clear();
  alerts.clear();
  routes.clear();
  // TONEWELL_ROUTE="host:port=target:port[,...]" routes web requests as routeHost does, for
  // tools run by tests.
  if (const char* rules = std::getenv("TONEWELL_ROUTE")) {
    for (const auto& [from, to] : parseRoutes(rules)) routes[from] = to;
  }
  // TONEWELL_CA_FILE: certificates the phone trusts besides the system's (a test's own
  // authority, as a profile installed on a phone adds one).
  const char* authorities = std::getenv("TONEWELL_CA_FILE");
  trustedCertificates = authorities ? authorities : "";
  webTimeoutLimit = 0;
  mailAccount = "person@example.com";
  substitutes.clear();
  paths.clear();
  taskTimeLimit = 15;
  taskMemoryLimit = 512u << 20;
  taskReports.clear();
  // TONEWELL_SYSLOG_FILE: the file that stands for the phone's "/var/log/syslog", for tools.
  if (const char* syslogFile = std::getenv("TONEWELL_SYSLOG_FILE"); syslogFile && *syslogFile) {
    paths["/var/log/syslog"] = syslogFile;
  }
}

std::vector<std::string> openedURLs() {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  return s.openedURLs;
}

std::vector<std::shared_ptr<platform::UIAlertView>> alertsOnScreen() {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  return s.alerts;
}

void tapAlertButton(std::size_t alertIndex) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  if (alertIndex < s.alerts.size())
    s.alerts.erase(s.alerts.begin() + static_cast<long>(alertIndex));
}

void routeHost(const std::string& hostAndPort, const std::string& target) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  s.routes[hostAndPort] = target;
}

void trustCertificates(const std::string& pemFile) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  s.trustedCertificates = pemFile;
}

void limitTasks(double seconds, std::size_t bytes) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  s.taskTimeLimit = seconds;
  s.taskMemoryLimit = bytes;
}

std::vector<std::string> taskReports() {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  return s.taskReports;
}

void limitWebTimeout(double seconds) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  s.webTimeoutLimit = seconds > 0 ? seconds : 0;
}

double webTimeoutLimit() {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  return s.webTimeoutLimit;
}

void setMailAccount(std::optional<std::string> address) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  s.mailAccount = std::move(address);
}

std::optional<std::string> mailAccount() {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  return s.mailAccount;
}

void mapPath(const std::string& from, const std::string& to) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  s.paths[from] = to;
}

void substituteProgram(const std::string& path, const std::string& substitute) {
  auto& s = currentPhone().screen;
  std::lock_guard lock(s.mutex);
  if (substitute.empty()) {
    s.substitutes.erase(path);
  } else {
    s.substitutes[path] = substitute;
  }
}

}  // namespace sim

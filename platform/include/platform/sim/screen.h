// The control surface of the simulated phone's screen and services around the Settings pane:
// what the person sees and does, and what the system was asked to do.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui_kit.h"

namespace sim {

// URLs handed to UIApplication's openURL:, in order.
std::vector<std::string> openedURLs();

// Alerts on the screen, oldest first; tapping a button takes the alert away.
std::vector<std::shared_ptr<platform::UIAlertView>> alertsOnScreen();
void tapAlertButton(std::size_t alertIndex = 0);

// Sends web requests for `host:port` to `target` ("127.0.0.1:8080"), as a hosts file would:
// the URL keeps its address. A reset starts from the rules in TONEWELL_ROUTE
// ("host:port=target:port,...", malformed rules left out).
void routeHost(const std::string& hostAndPort, const std::string& target);
// What is wrong with a list of such rules (the first malformed rule); none when all are fine.
std::optional<std::string> routeRulesProblem(const std::string& rules);

// The web view also trusts the certificates in `pemFile` (a test's own HTTPS server), as a
// profile installed on a phone makes it trust an authority. A reset starts from
// TONEWELL_CA_FILE; an empty name trusts only the system's authorities.
void trustCertificates(const std::string& pemFile);

// A web load, and a mail delivery in all, gives up after `seconds` at the latest (the
// platform's own default is 60 s for each); a reset takes no limit.
void limitWebTimeout(double seconds);
double webTimeoutLimit();  // 0: none

// The phone's mail account: none means the device cannot send mail.
void setMailAccount(std::optional<std::string> address);
std::optional<std::string> mailAccount();

// The phone's file system: a launched program's path and arguments name `to` wherever they name
// `from` (a test's file standing in for "/var/log/syslog").
void mapPath(const std::string& from, const std::string& to);

// A launched program, with every process it starts, runs at most `seconds` (then it is killed
// and its output ends) and may use at most `bytes` of address space. Defaults: 15 s, 512 MiB. It
// is killed too when the process that launched it ends, however that ends.
void limitTasks(double seconds, std::size_t bytes = 512u << 20);
// What went wrong with launched programs since the reset, one sentence each ("... did not
// finish within 15 s and was stopped").
std::vector<std::string> taskReports();

// Launching `path` starts `substitute` instead, with the same arguments (a stand-in shell for
// tests and benchmarks). An empty substitute removes the rule.
void substituteProgram(const std::string& path, const std::string& substitute);

}  // namespace sim

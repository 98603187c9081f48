#include "test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace testing_support {

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tonewell-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

platform::Dictionary dict(std::initializer_list<std::pair<const char*, platform::Value>> entries) {
  platform::Dictionary d;
  for (const auto& [key, value] : entries) d.setObjectForKey(value, key);
  return d;
}

platform::Duration seconds(double s) {
  return platform::Duration{std::llround(s * 1e9)};
}

int countOf(const std::vector<std::string>& messages, const std::string& message) {
  int n = 0;
  for (const auto& m : messages) n += m == message;
  return n;
}

CommandRun runCommand(const std::string& command) {
  CommandRun run{-1, {}};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string PhoneTest::preferencesPath(const std::string& domain) const {
  return sim::preferencesFolder() + "/" + domain + ".plist";
}

void PhoneTest::storePreferencesFile(const std::string& domain, std::string_view bytes) {
  std::filesystem::create_directories(sim::preferencesFolder());
  ASSERT_TRUE(sim::writeFileAtomically(preferencesPath(domain), bytes));
}

void PhoneTest::storePreferences(const std::string& domain, const platform::Dictionary& values,
                                 sim::PropertyListFormat format) {
  storePreferencesFile(domain, sim::serializePropertyList(platform::Value(values), format));
}

}  // namespace testing_support

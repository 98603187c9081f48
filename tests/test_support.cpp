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

std::string sharedContainerList(int levels) {
  // Objects: 0 the dictionary, 1 "enabled", 2 true, 3 "shared", 4 ... 4+levels-1 the arrays,
  // and last the integer. References and offsets take one byte while they fit.
  std::string objects;
  std::vector<std::size_t> offsets;
  auto begin = [&] { offsets.push_back(8 + objects.size()); };
  const std::size_t count = 5 + static_cast<std::size_t>(levels);
  const std::size_t refSize = count < 256 ? 1 : 2;
  auto ref = [&](std::size_t i) {
    if (refSize == 2) objects += static_cast<char>(i >> 8);
    objects += static_cast<char>(i & 0xFF);
  };
  begin();
  objects += '\xD2';  // a dictionary of two
  ref(1), ref(3), ref(2), ref(4);
  begin();
  objects +=
      "\x57"
      "enabled";
  begin();
  objects += '\x09';
  begin();
  objects +=
      "\x56"
      "shared";
  for (int level = 0; level < levels; ++level) {
    begin();
    objects += '\xA2';  // an array of two references to the next object
    ref(5 + static_cast<std::size_t>(level)), ref(5 + static_cast<std::size_t>(level));
  }
  begin();
  objects += "\x10\x01";
  std::string out = "bplist00" + objects;
  const std::size_t table = out.size();
  const std::size_t offsetSize = table + 2 * count < 256 ? 1 : 2;
  for (std::size_t offset : offsets) {
    if (offsetSize == 2) out += static_cast<char>(offset >> 8);
    out += static_cast<char>(offset & 0xFF);
  }
  out.append(6, '\0');
  out += static_cast<char>(offsetSize);
  out += static_cast<char>(refSize);
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((count >> shift) & 0xFF);
  out.append(8, '\0');  // the top object: 0
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((table >> shift) & 0xFF);
  return out;
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

// Preferences: one property-list file per domain, "<home>/Preferences/<domain>.plist", binary
// as the phone writes it (XML is read as well).
#include "platform/cf_preferences.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "phone_state.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"

namespace platform {

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

std::string domainPath(std::string_view domain) {
  return sim::preferencesFolder() + "/" + std::string(domain) + ".plist";
}

// Whether no file exists at `path`, a link to none included (so the domain is empty, not
// unreadable).
bool nothingAt(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// A domain name becomes a file name: it must not climb out of the preferences folder.
bool validDomain(std::string_view domain) {
  return !domain.empty() && domain.find('/') == std::string_view::npos && domain != "." &&
         domain != "..";
}

// The domain's stored keys and values: empty when there is no file, none when it cannot be read.
std::optional<Dictionary> readDomain(std::string_view domain) {
  if (!validDomain(domain)) return std::nullopt;
  const std::string path = domainPath(domain);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Dictionary{};
    return std::nullopt;
  }
  auto& c = sim::currentPhone().preferencesCache;
  {
    std::lock_guard lock(c.mutex);
    if (!c.racy && c.path == path && sameFile(c.identity, info)) return c.contents;
  }
  std::optional<Dictionary> contents;
  if (auto bytes = sim::readFile(path)) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes->data());
    if (auto value = sim::parsePropertyList({begin, bytes->size()})) {
      if (auto* dictionary = value->getIf<Dictionary>()) contents = std::move(*dictionary);
    }
  }
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  constexpr long long kGranularityNs = 50'000'000;  // coarser than any file system's clock here
  const long long modified = info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec;
  const long long read = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
  std::lock_guard lock(c.mutex);
  c.path = path;
  c.identity = info;
  c.racy = read - modified < kGranularityNs;
  c.contents = contents;
  return contents;
}

}  // namespace

std::optional<std::vector<std::string>> CFPreferencesCopyKeyList(
    std::string_view domain, std::string_view /*user*/, std::string_view /*host*/) noexcept {
  try {
    if (sim::currentPhone().state.useFails(sim::FailableCall::preferencesKeyList)) {
      return std::nullopt;
    }
    auto contents = readDomain(domain);
    if (!contents) return std::nullopt;
    return contents->allKeys();
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<Dictionary> CFPreferencesCopyMultiple(const std::vector<std::string>& keys,
                                                    std::string_view domain,
                                                    std::string_view /*user*/,
                                                    std::string_view /*host*/) noexcept {
  try {
    {
      auto& phone = sim::currentPhone().state;
      std::lock_guard lock(phone.mutex);
      const bool failing = phone.useFailsLocked(sim::FailableCall::preferencesValues);
      if (failing || phone.faults.preferencesDictionaryFails) return std::nullopt;
    }
    auto contents = readDomain(domain);
    if (!contents) return std::nullopt;
    Dictionary result;
    for (const std::string& key : keys) {
      if (const Value* value = contents->objectForKey(key)) result.setObjectForKey(*value, key);
    }
    return result;
  } catch (...) {
    return std::nullopt;
  }
}

bool CFPreferencesSetValue(std::string_view key, const Value* value, std::string_view domain,
                           std::string_view /*user*/, std::string_view /*host*/) noexcept {
  try {
    std::string why;
    const bool stored = sim::storePreference(key, value, domain, &why);
    sim::currentPhone().lastWriteError.set(why);
    return stored;
  } catch (...) {
    return false;
  }
}

}  // namespace platform

namespace sim {

using platform::Dictionary;
using platform::Value;

std::string preferencesFile(std::string_view domain) {
  return platform::domainPath(domain);
}

std::string lastPreferencesWriteError() {
  return currentPhone().lastWriteError.get();
}

bool storePreference(std::string_view key, const platform::Value* value, std::string_view domain,
                     std::string* error) {
  if (!platform::validDomain(domain)) {
    *error = "\"" + std::string(domain) + "\" is not a domain name";
    return false;
  }
  if (!makeFolders(preferencesFolder(), error)) return false;
  const std::string path = platform::domainPath(domain);
  // Read, change and write under the lock: two writers of different keys must both land.
  FileLock lock(path);
  if (!lock.held()) {
    *error = lock.error();
    return false;
  }
  Dictionary contents;
  std::string problem;
  if (auto bytes = readFile(path, &problem)) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes->data());
    auto parsed = parsePropertyList({begin, bytes->size()}, &problem);
    auto* dictionary = parsed ? parsed->getIf<Dictionary>() : nullptr;
    if (dictionary == nullptr) {
      *error = path + ": " + (parsed ? "the file holds no dictionary" : problem) +
               " (tonewell settings reset --all sets it aside and starts afresh)";
      return false;
    }
    // Writing the domain back must not change what the person stored under other keys.
    if (auto lossy = firstKeyNotKeptExactly({begin, bytes->size()}); lossy && *lossy != key) {
      *error = path + ": the value of \"" + *lossy +
               "\" cannot be written back exactly (a date outside 1901-2038 or an integer "
               "above 2^63-1)";
      return false;
    }
    contents = std::move(*dictionary);
  } else if (platform::nothingAt(path)) {
    // No file yet: an empty domain.
  } else {
    *error = path + ": " + problem;
    return false;
  }
  if (value != nullptr) {
    contents.setObjectForKey(*value, key);
  } else {
    contents.removeObjectForKey(key);
  }
  const std::string bytes =
      serializePropertyList(Value(std::move(contents)), PropertyListFormat::binary);
  std::string why;
  if (!writeFileAtomically(path, bytes, &why)) {
    *error = path + ": " + why;
    return false;
  }
  return true;
}

std::optional<std::string> preferencesProblem(std::string_view domain) {
  const std::string path = platform::domainPath(domain);
  if (platform::nothingAt(path)) return std::nullopt;
  std::string problem;
  auto bytes = readFile(path, &problem);
  if (!bytes) return path + ": " + problem;
  auto parsed = parsePropertyList(
      {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()}, &problem);
  if (!parsed) return path + ": " + problem;
  if (!parsed->getIf<Dictionary>()) return path + ": the file holds no dictionary";
  return std::nullopt;
}

std::optional<std::string> setDomainAside(std::string_view domain, std::string* error) {
  const std::string path = platform::domainPath(domain);
  FileLock lock(path);
  if (!lock.held()) {
    *error = lock.error();
    return std::nullopt;
  }
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  // Never over an earlier one: -2, -3, ... when the name is taken.
  for (int n = 1; n < 1000; ++n) {
    const std::string aside =
        path + ".corrupt-" + stamp + (n == 1 ? std::string() : "-" + std::to_string(n));
    struct stat info {};
    if (::lstat(aside.c_str(), &info) == 0) continue;
    if (::rename(path.c_str(), aside.c_str()) != 0) {
      *error = path + ": " + std::strerror(errno);
      return std::nullopt;
    }
    return aside;
  }
  *error = path + ": every name to set it aside is taken";
  return std::nullopt;
}

}  // namespace sim

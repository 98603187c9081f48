// Preferences: one property-list file per domain, "<home>/Preferences/<domain>.plist", binary
// as the phone writes it (XML is read as well).
#include "platform/cf_preferences.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <mutex>

#include "phone_state.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"

namespace platform {

namespace {

// The preference keys the monitor reads are looked up twice per ring (key list, then values);
// the parsed domain is kept while the file stays the same, as the phone's preferences daemon
// keeps it.
struct DomainCache {
  std::mutex mutex;
  std::string path;
  struct stat identity {};
  // The file changed too close to when it was read for its timestamp to tell a rewrite from
  // no change (file systems keep coarse times): it is read again next time.
  bool racy = true;
  std::optional<Dictionary> contents;  // none: the file could not be read
};

DomainCache& cache() {
  static DomainCache c;
  return c;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

std::string domainPath(std::string_view domain) {
  return sim::preferencesFolder() + "/" + std::string(domain) + ".plist";
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
  auto& c = cache();
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
      auto& phone = sim::PhoneState::instance();
      std::lock_guard lock(phone.mutex);
      if (phone.preferencesDictionaryFails) return std::nullopt;
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
    auto contents = readDomain(domain);
    if (!contents) return false;
    if (value != nullptr) {
      contents->setObjectForKey(*value, key);
    } else {
      contents->removeObjectForKey(key);
    }
    const std::string folder = sim::preferencesFolder();
    // Make the folders on first use (home, then Preferences).
    const std::string home = sim::homeFolder();
    ::mkdir(home.c_str(), 0755);
    ::mkdir(folder.c_str(), 0755);
    const std::string bytes =
        sim::serializePropertyList(Value(std::move(*contents)), sim::PropertyListFormat::binary);
    return sim::writeFileAtomically(domainPath(domain), bytes);
  } catch (...) {
    return false;
  }
}

}  // namespace platform

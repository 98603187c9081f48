// Shared set-up for tests: a fresh simulated phone with its own preferences folder, and helpers
// to store preferences and read what the phone saw.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "platform/value.h"

namespace testing_support {

// A temporary folder removed with its contents when the object goes.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Builds a dictionary from key/value pairs, in order.
platform::Dictionary dict(std::initializer_list<std::pair<const char*, platform::Value>> entries);

// Seconds to the platform's duration.
platform::Duration seconds(double s);

// Whether `messages` holds `message` exactly; how many times.
int countOf(const std::vector<std::string>& messages, const std::string& message);

// A binary property list of a few hundred bytes whose dictionary holds "enabled" = true and
// "shared": an array of two references to one array of two references to one array ... `levels`
// deep, ending in an integer: read by following every reference, it stands for 2^levels + ...
// values.
std::string sharedContainerList(int levels);

// A command run through the shell: its exit status and what it wrote to standard output.
struct CommandRun {
  int status;
  std::string output;
};
CommandRun runCommand(const std::string& command);

class PhoneTest : public ::testing::Test {
 protected:
  // A fresh phone for each test, its home in home_.
  PhoneTest() { freshPhone(); }
  // Starts over with a fresh phone (the same home folder and its files).
  void freshPhone() {
    phone_.reset();
    phone_.emplace(home_.path());
  }

  // Writes the domain's file as the phone does (binary), or as XML.
  void storePreferences(const std::string& domain, const platform::Dictionary& values,
                        sim::PropertyListFormat format = sim::PropertyListFormat::binary);
  // Writes raw bytes as the domain's file.
  void storePreferencesFile(const std::string& domain, std::string_view bytes);
  std::string preferencesPath(const std::string& domain) const;

  TemporaryFolder home_;
  std::optional<sim::ScopedPhone> phone_;
};

}  // namespace testing_support

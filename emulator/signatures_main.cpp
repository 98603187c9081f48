// Lists every method of the system's stand-ins, one JSON object per line: its class, whether it
// is a class method, its selector, its types (as written, with %I NSInteger, %U NSUInteger,
// %B BOOL, %F CGFloat) and where its signature comes from. scripts/check_stand_in_signatures.py
// checks the public ones against the SDK's headers.
#include <cstdio>
#include <string>

#include "process.h"

namespace {

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

int main() {
  emulator::Process process(emulator::Arch::arm64);
  process.defineSystem();
  for (const auto& method : process.runtime.standInMethods()) {
    std::printf(
        "{\"class\": %s, \"classMethod\": %s, \"selector\": %s, \"types\": %s, \"source\": %s}\n",
        quoted(method.cls->name).c_str(), method.classMethod ? "true" : "false",
        quoted(method.entry->selector).c_str(), quoted(method.entry->declared).c_str(),
        quoted(method.entry->source).c_str());
  }
  return 0;
}

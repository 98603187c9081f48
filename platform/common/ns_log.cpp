// NSLog's format conversions, the same on every platform.
#include "platform/ns_log.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "platform/objc_runtime.h"

namespace platform {

namespace {

bool isFlag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}
bool isLength(char c) {
  return c == 'h' || c == 'l' || c == 'q' || c == 'L' || c == 'z' || c == 'j' || c == 't';
}

std::int64_t asInteger(const LogArgument& arg) {
  if (const auto* i = std::get_if<std::int64_t>(&arg.value)) return *i;
  if (const auto* d = std::get_if<double>(&arg.value)) return static_cast<std::int64_t>(*d);
  if (const auto* p = std::get_if<const void*>(&arg.value)) {
    return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(*p));
  }
  return 0;
}

double asDouble(const LogArgument& arg) {
  if (const auto* d = std::get_if<double>(&arg.value)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&arg.value)) return static_cast<double>(*i);
  return 0.0;
}

std::string asText(const LogArgument& arg, bool describe) {
  if (const auto* s = std::get_if<std::string>(&arg.value)) return *s;
  if (const auto* p = std::get_if<const void*>(&arg.value); p && describe) {
    return describeObject(const_cast<void*>(*p));
  }
  if (const auto* i = std::get_if<std::int64_t>(&arg.value)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&arg.value)) {
    return description(Value(*d));
  }
  if (const auto* p = std::get_if<const void*>(&arg.value)) {
    if (*p == nullptr) return "(null)";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", *p);
    return buffer;
  }
  return {};
}

constexpr unsigned kMaxWidth = 256;
constexpr unsigned kMaxPrecision = 64;

// Reads the digits at `j` (advancing it) and returns them, capped at `limit`.
std::string boundedNumber(std::string_view format, std::size_t& j, unsigned limit) {
  unsigned long value = 0;
  bool any = false;
  while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
    value =
        std::min<unsigned long>(value * 10 + static_cast<unsigned long>(format[j] - '0'), limit);
    any = true;
    ++j;
  }
  return any ? std::to_string(value) : std::string();
}

template <typename T>
std::string printfOne(const std::string& directive, T value) {
  char buffer[512];
  const int n = std::snprintf(buffer, sizeof buffer, directive.c_str(), value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof buffer)
    return std::string(buffer, static_cast<std::size_t>(n));
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), directive.c_str(), value);
  big.resize(static_cast<std::size_t>(n));
  return big;
}

}  // namespace

std::string formatLogMessage(std::string_view format, std::span<const LogArgument> args) {
  std::string out;
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    // One conversion: %[flags][width][.precision][length]conversion
    std::size_t j = i + 1;
    std::string flags, width, precision;
    while (j < format.size() && isFlag(format[j])) flags += format[j++];
    // Widths and precisions are bounded so that a hostile format cannot ask for gigabytes.
    width = boundedNumber(format, j, kMaxWidth);
    if (j < format.size() && format[j] == '.') {
      ++j;
      precision.assign(1, '.').append(boundedNumber(format, j, kMaxPrecision));
    }
    while (j < format.size() && isLength(format[j])) ++j;
    if (j >= format.size()) {
      out.append(format.substr(i));  // a lone % at the end prints as it stands
      break;
    }
    const char conversion = format[j];
    i = j + 1;
    if (conversion == '%') {
      out += '%';
      continue;
    }
    const LogArgument* arg = next < args.size() ? &args[next] : nullptr;
    const std::string prefix = "%" + flags + width + precision;
    switch (conversion) {
      case 'd':
      case 'i':
        ++next;
        if (arg) out += printfOne(prefix + PRId64, asInteger(*arg));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        ++next;
        const std::string directive = prefix + (conversion == 'u'   ? PRIu64
                                                : conversion == 'x' ? PRIx64
                                                : conversion == 'X' ? PRIX64
                                                                    : PRIo64);
        if (arg) out += printfOne(directive, static_cast<std::uint64_t>(asInteger(*arg)));
        break;
      }
      case 'c':
        ++next;
        if (arg) out += printfOne(prefix + "c", static_cast<int>(asInteger(*arg)));
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        ++next;
        if (arg) out += printfOne(prefix + conversion, asDouble(*arg));
        break;
      case 'p':
        ++next;
        if (arg) {
          const void* p = nullptr;
          if (const auto* ptr = std::get_if<const void*>(&arg->value)) p = *ptr;
          if (const auto* num = std::get_if<std::int64_t>(&arg->value)) {
            p = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(*num));
          }
          out += printfOne(prefix + "p", p);
        }
        break;
      case 's':
      case '@':
        ++next;
        if (arg) out += printfOne(prefix + "s", asText(*arg, conversion == '@').c_str());
        break;
      default:
        // Not a conversion we know: print it as it stands.
        out += '%';
        out.append(flags).append(width).append(precision);
        out += conversion;
        break;
    }
  }
  return out;
}

}  // namespace platform

#include "c_format.h"

#include <cstdio>
#include <cstring>

#include "machine.h"

namespace emulator {

namespace {

// One conversion printed at whatever length it takes: a wide field or a long precision is never
// cut short.
template <typename T>
std::string printed(const std::string& conversion, T value) {
  const int length = std::snprintf(nullptr, 0, conversion.c_str(), value);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(out.data(), out.size(), conversion.c_str(), value);
  out.resize(std::strlen(out.c_str()));  // as C text: up to a NUL that %c may print
  return out;
}

}  // namespace

std::string formatVariadic(std::string_view format, NativeCall& call,
                           const std::function<std::string(Address)>& describe,
                           const std::function<std::string(Address)>& readString) {
  const Arch arch = call.machine().arch();
  const unsigned longSize = is64Bit(arch) ? 8 : 4;
  std::string out;
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out.push_back(format[i++]);
      continue;
    }
    const std::size_t start = i++;
    if (i < format.size() && format[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    std::string directive = "%";
    while (i < format.size() &&
           std::string_view("-+ #0'").find(format[i]) != std::string_view::npos) {
      directive.push_back(format[i++]);
    }
    auto number = [&] {
      if (i < format.size() && format[i] == '*') {
        ++i;
        directive += std::to_string(static_cast<int>(call.integer(4, true)));
        return;
      }
      while (i < format.size() && format[i] >= '0' && format[i] <= '9')
        directive.push_back(format[i++]);
    };
    number();
    if (i < format.size() && format[i] == '.') {
      directive.push_back(format[i++]);
      number();
    }
    unsigned size = 4;
    int longs = 0;
    while (i < format.size() &&
           std::string_view("hlqLjzt").find(format[i]) != std::string_view::npos) {
      const char m = format[i++];
      if (m == 'l') ++longs;
      if (m == 'q' || m == 'j' || m == 'L') size = 8;
      if (m == 'z' || m == 't') size = longSize;
      if (m == 'h') size = size == 2 ? 1 : 2;
    }
    if (longs == 1) size = longSize;
    if (longs >= 2) size = 8;
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    const char conversion = format[i++];
    switch (conversion) {
      case 'd':
      case 'i': {
        std::int64_t v = static_cast<std::int64_t>(call.integer(std::max(size, 4u), true));
        if (size < 4) v = size == 1 ? static_cast<std::int8_t>(v) : static_cast<std::int16_t>(v);
        out += printed(directive + "lld", static_cast<long long>(v));
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        std::uint64_t v = call.integer(std::max(size, 4u), false);
        if (size == 4) v &= 0xffffffffu;
        if (size == 2) v &= 0xffff;
        if (size == 1) v &= 0xff;
        out += printed(directive + "ll" + conversion, static_cast<unsigned long long>(v));
        break;
      }
      case 'c':
        out += printed(directive + "c", static_cast<int>(call.integer(4, true)));
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        out += printed(directive + conversion, call.f64());
        break;
      case 'p':
        out += printed("0x%llx", static_cast<unsigned long long>(call.pointer()));
        break;
      case 's':
      case '@': {
        const Address p = call.pointer();
        std::string text = conversion == '@' ? describe(p) : p ? readString(p) : "(null)";
        out += printed(directive + "s", text.c_str());
        break;
      }
      default:
        out.append(format.substr(start, i - start));
        break;
    }
  }
  return out;
}

}  // namespace emulator

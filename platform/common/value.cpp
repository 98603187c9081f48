#include "platform/value.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <utf8/unchecked.h>

namespace platform {

std::size_t Dictionary::indexOf(std::string_view key) const {
  if (!index_.empty()) {
    const auto it = index_.find(std::string(key));
    return it == index_.end() ? keys_.size() : it->second;
  }
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) return i;
  }
  return keys_.size();
}

const Value* Dictionary::objectForKey(std::string_view key) const {
  const std::size_t i = indexOf(key);
  return i < keys_.size() ? &values_[i] : nullptr;
}

void Dictionary::setObjectForKey(Value value, std::string_view key) {
  const std::size_t i = indexOf(key);
  if (i < keys_.size()) {
    values_[i] = std::move(value);
    return;
  }
  keys_.emplace_back(key);
  values_.push_back(std::move(value));
  if (!index_.empty()) {
    index_.emplace(keys_.back(), keys_.size() - 1);
  } else if (keys_.size() > kLinearLookupLimit) {
    reindex();
  }
}

void Dictionary::removeObjectForKey(std::string_view key) {
  const std::size_t i = indexOf(key);
  if (i >= keys_.size()) return;
  keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(i));
  if (!index_.empty()) reindex();
}

void Dictionary::reindex() {
  index_.clear();
  if (keys_.size() <= kLinearLookupLimit) return;
  index_.reserve(keys_.size());
  for (std::size_t i = 0; i < keys_.size(); ++i) index_.emplace(keys_[i], i);
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (count() != other.count()) return false;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    const Value* theirs = other.objectForKey(keys_[i]);
    if (theirs == nullptr || !(*theirs == values_[i])) return false;
  }
  return true;
}

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view skipSpace(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  return s.substr(i);
}

// The leading decimal number of a string, as NSString's doubleValue scans it: white space, an
// optional sign, digits with an optional fraction and exponent. 0 when there is none.
double leadingDouble(std::string_view text) {
  std::string_view s = skipSpace(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t start = i;
  bool digits = false;
  while (i < s.size() && isDigit(s[i])) ++i, digits = true;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, digits = true;
  }
  if (!digits) return 0.0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && isDigit(s[j])) {
      while (j < s.size() && isDigit(s[j])) ++j;
      i = j;
    }
  }
  // strtod reads the same syntax; the copy ends the number where the scan above ended.
  const std::string number(s.substr(start, i - start));
  errno = 0;
  double result = std::strtod(number.c_str(), nullptr);
  if (errno == ERANGE) {
    // Too large is infinite; too small is zero. Tell them apart by the exponent's sign.
    const bool tiny =
        number.find("e-") != std::string::npos || number.find("E-") != std::string::npos;
    result = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return negative ? -result : result;
}

std::int32_t saturatingInt32(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (d <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(d);
}

std::int32_t saturatingInt32(std::int64_t i) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      i, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// The leading integer of a string: white space, optional sign, digits; saturating.
std::int32_t leadingInt(std::string_view text) {
  std::string_view s = skipSpace(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::int64_t result = 0;
  while (i < s.size() && isDigit(s[i])) {
    result = std::min<std::int64_t>(result * 10 + (s[i] - '0'), std::int64_t{1} << 40);
    ++i;
  }
  return saturatingInt32(negative ? -result : result);
}

// NSString's boolValue: white space, an optional sign, any zeros, then one of "tTyY" or a digit
// 1-9 makes it true.
bool stringBool(std::string_view text) {
  std::string_view s = skipSpace(text);
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  if (i >= s.size()) return false;
  const char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace

bool hasScalarConversions(const Value& value) {
  return value.getIf<bool>() || value.getIf<std::int64_t>() || value.getIf<double>() ||
         value.getIf<std::string>();
}

bool boolValue(const Value& value) {
  if (const bool* b = value.getIf<bool>()) return *b;
  if (const std::int64_t* i = value.getIf<std::int64_t>()) return *i != 0;
  if (const double* d = value.getIf<double>()) return *d != 0.0;
  if (const std::string* s = value.getIf<std::string>()) return stringBool(*s);
  return false;
}

double doubleValue(const Value& value) {
  if (const bool* b = value.getIf<bool>()) return *b ? 1.0 : 0.0;
  if (const std::int64_t* i = value.getIf<std::int64_t>()) return static_cast<double>(*i);
  if (const double* d = value.getIf<double>()) return *d;
  if (const std::string* s = value.getIf<std::string>()) return leadingDouble(*s);
  return 0.0;
}

float floatValue(const Value& value) {
  const double d = doubleValue(value);
  if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
    return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(d);
}

bool hasLeadingInteger(const Value& value) {
  const std::string* s = value.getIf<std::string>();
  if (s == nullptr) return hasScalarConversions(value);
  std::string_view rest = skipSpace(*s);
  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) rest.remove_prefix(1);
  return !rest.empty() && isDigit(rest.front());
}

std::int32_t intValue(const Value& value) {
  if (const bool* b = value.getIf<bool>()) return *b ? 1 : 0;
  // An integer number keeps its low 32 bits, as NSNumber's intValue narrows a long long.
  if (const std::int64_t* i = value.getIf<std::int64_t>()) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(*i));
  }
  if (const double* d = value.getIf<double>()) return saturatingInt32(*d);
  if (const std::string* s = value.getIf<std::string>()) return leadingInt(*s);
  return 0;
}

std::string shortestText(double d) {
  if (!std::isfinite(d)) return std::isnan(d) ? "nan" : (d < 0 ? "-inf" : "inf");
  // The fewest significant digits that read back as the same double.
  char digits[40];
  int precision = 1;
  for (; precision < 17; ++precision) {
    std::snprintf(digits, sizeof digits, "%.*e", precision - 1, d);
    if (std::strtod(digits, nullptr) == d) break;
  }
  std::snprintf(digits, sizeof digits, "%.*e", precision - 1, d);
  const char* e = std::strchr(digits, 'e');
  const int exponent = std::atoi(e + 1);
  if (exponent < -4 || exponent >= 16) {
    // 1e+20, 1.5e-07: the exponent with at least two digits.
    std::string text(static_cast<const char*>(digits), e);
    char tail[16];
    std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return text + tail;
  }
  char fixed[48];
  std::snprintf(fixed, sizeof fixed, "%.*f", std::max(0, precision - 1 - exponent), d);
  return fixed;
}

namespace {

// A string inside a collection's description is bare when it is made only of letters, digits,
// '_' and '$'; otherwise it is quoted, with quotes, backslashes and line breaks escaped and
// every other character outside printable ASCII written as \Uxxxx (UTF-16 units).
std::string quotedIfNeeded(const std::string& text) {
  // ASCII alone, whatever the locale: the phone's rule does not follow the person's language.
  const bool bare = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$';
  });
  if (bare) return text;
  std::string out = "\"";
  char escape[16];
  auto unit = [&](unsigned u) {
    std::snprintf(escape, sizeof escape, "\\U%04x", u & 0xffffu);
    out += escape;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else if (c < 0x80) {
      unit(c);
    } else {
      // A UTF-8 sequence: its code point, as one or two UTF-16 units; a stray byte as itself.
      auto at = text.begin() + static_cast<std::ptrdiff_t>(i);
      std::uint32_t point = c;
      // The first invalid byte within the longest sequence's reach: past `at` when it starts one.
      if (utf8::find_invalid(at, at + std::min<std::ptrdiff_t>(4, text.end() - at)) != at) {
        point = utf8::unchecked::next(at);
      } else {
        ++at;
      }
      if (point >= 0x10000) {
        point -= 0x10000;
        unit(0xd800 + (point >> 10));
        unit(0xdc00 + (point & 0x3ff));
      } else {
        unit(point);
      }
      i = static_cast<std::size_t>(at - text.begin());
      continue;
    }
    ++i;
  }
  return out + "\"";
}

// "2001-01-01 00:00:00 +0000", in UTC; a date beyond the calendar's years as its seconds.
std::string dateText(const Date& d) {
  using namespace std::chrono;
  constexpr double kReferenceDate = 978307200;  // 2001-01-01 00:00:00 UTC in Unix time
  const double unixTime = std::floor(d.secondsSinceReferenceDate + kReferenceDate);
  if (!std::isfinite(unixTime) || std::fabs(unixTime) > 1e12) {
    return shortestText(d.secondsSinceReferenceDate);
  }
  const auto seconds = static_cast<long long>(unixTime);
  const long long dayNumber = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const long long inDay = seconds - dayNumber * 86400;
  const year_month_day date{sys_days{days{dayNumber}}};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld +0000",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), inDay / 3600, inDay / 60 % 60, inDay % 60);
  return text;
}

std::string dataText(const Data& d) {
  std::string out = "<";
  char hex[4];
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (i > 0 && i % 4 == 0) out += ' ';
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(d[i]));
    out += hex;
  }
  return out + ">";
}

// The description at nesting `level`, as the phone's collections write it: a collection starts
// with its own indentation, puts each member on a line of its own one level deeper, and closes
// at its own level; a member that is a collection adds its indentation after the member's.
void describe(const Value& value, std::size_t level, bool inCollection, std::string& out) {
  const std::string indent(level * 4, ' ');
  if (const auto* array = value.getIf<Array>()) {
    out += indent + "(\n";
    for (std::size_t i = 0; i < array->size(); ++i) {
      out += indent + "    ";
      describe((*array)[i], level + 1, true, out);
      out += i + 1 < array->size() ? ",\n" : "\n";
    }
    out += indent + ")";
    return;
  }
  if (const auto* dictionary = value.getIf<Dictionary>()) {
    std::vector<std::size_t> order(dictionary->count());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    const auto& keys = dictionary->allKeys();
    // Keys are unique: a plain sort is stable enough (and needs no buffer of its own).
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    out += indent + "{\n";
    for (std::size_t i : order) {
      out += indent + "    " + quotedIfNeeded(keys[i]) + " = ";
      describe(dictionary->valueAt(i), level + 1, true, out);
      out += ";\n";
    }
    out += indent + "}";
    return;
  }
  std::string text;
  if (const auto* b = value.getIf<bool>()) {
    text = *b ? "1" : "0";
  } else if (const auto* i = value.getIf<std::int64_t>()) {
    text = std::to_string(*i);
  } else if (const auto* d = value.getIf<double>()) {
    text = shortestText(*d);
  } else if (const auto* s = value.getIf<std::string>()) {
    text = *s;
  } else if (const auto* date = value.getIf<Date>()) {
    text = dateText(*date);
  } else if (const auto* data = value.getIf<Data>()) {
    out += dataText(*data);  // never quoted
    return;
  }
  out += inCollection ? quotedIfNeeded(text) : text;
}

}  // namespace

std::string description(const Value& value) {
  std::string out;
  describe(value, 0, false, out);
  return out;
}

}  // namespace platform

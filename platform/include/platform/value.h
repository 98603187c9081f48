// Property-list values: what the preferences store, the notification center and the camera's
// attachments hand over (the platform's NSNumber, NSString, NSArray, NSDictionary, NSDate and
// NSData), and the conversions the platform applies to a stored value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace platform {

class Value;

// An ordered dictionary: keys keep the order in which they were stored or read. Small ones are
// searched in order; a large one keeps an index, so look-ups stay constant-time.
class Dictionary {
 public:
  // The value stored under `key`, or null when the key is absent. The pointer stays valid until
  // the dictionary is next changed.
  const Value* objectForKey(std::string_view key) const;
  // Stores `value` under `key`, replacing an earlier value in place.
  void setObjectForKey(Value value, std::string_view key);
  void removeObjectForKey(std::string_view key);
  std::size_t count() const { return keys_.size(); }
  const std::vector<std::string>& allKeys() const { return keys_; }
  const Value& valueAt(std::size_t index) const;
  bool operator==(const Dictionary& other) const;

 private:
  static constexpr std::size_t kLinearLookupLimit = 32;
  // The position of `key`, or count() when it is absent.
  std::size_t indexOf(std::string_view key) const;
  void reindex();

  std::vector<std::string> keys_;
  std::vector<Value> values_;
  std::unordered_map<std::string, std::size_t> index_;  // empty while the dictionary is small
};

struct Date {
  double secondsSinceReferenceDate = 0;  // seconds since 2001-01-01 00:00:00 UTC
  bool operator==(const Date&) const = default;
};

using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

class Value {
 public:
  using Storage =
      std::variant<bool, std::int64_t, double, std::string, Date, Data, Array, Dictionary>;

  Value() : storage_(false) {}
  Value(bool b) : storage_(b) {}
  Value(int i) : storage_(std::int64_t{i}) {}
  Value(std::int64_t i) : storage_(i) {}
  Value(double d) : storage_(d) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(Date d) : storage_(d) {}
  Value(Data d) : storage_(std::move(d)) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Dictionary d) : storage_(std::move(d)) {}

  template <typename T>
  const T* getIf() const {
    return std::get_if<T>(&storage_);
  }
  const Storage& storage() const { return storage_; }
  bool operator==(const Value& other) const { return storage_ == other.storage_; }

 private:
  Storage storage_;
};

inline const Value& Dictionary::valueAt(std::size_t index) const {
  return values_[index];
}

// The value conversions of NSNumber and NSString. They are defined for numbers, booleans and
// strings; `hasScalarConversions` says whether a value is one of them (an array, dictionary,
// date or data object does not answer them on the platform).
bool hasScalarConversions(const Value& value);
// Numbers: non-zero is true. Strings: leading white space skipped, then "Y", "y", "T", "t" or a
// digit 1-9 after an optional sign is true.
bool boolValue(const Value& value);
// Numbers convert as C does. Strings: the leading decimal number after white space, 0 if none.
double doubleValue(const Value& value);
float floatValue(const Value& value);
// Integers keep their low 32 bits; other numbers truncate toward zero, saturating at the 32-bit
// range. Strings: the leading integer, saturating.
std::int32_t intValue(const Value& value);
// Whether intValue finds an integer: always for numbers and booleans; for a string, when a digit
// follows the leading white space and an optional sign. False for other values.
bool hasLeadingInteger(const Value& value);

// The text NSLog's %@ shows for a value, as the phone writes it: a number in its shortest
// round-trip form and a string as it is; a collection over several lines, four spaces deeper per
// level, dictionary keys sorted, and members that are not plain words quoted:
//   {
//       VibePattern =     (
//           1,
//           "0.5"
//       );
//   }
std::string description(const Value& value);

// A double in the fewest significant digits that read back as the same double ("0.8", "1e+20").
std::string shortestText(double d);

}  // namespace platform

#include "binary_property_list.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include <utf8/checked.h>
#include <utf8/unchecked.h>

namespace sim {

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Value;

namespace {

void putBigEndian(std::string& out, std::uint64_t v, std::size_t bytes) {
  for (std::size_t i = bytes; i-- > 0;) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::size_t bytesFor(std::uint64_t v) {
  return v <= 0xFF ? 1 : v <= 0xFFFF ? 2 : v <= 0xFFFFFFFF ? 4 : 8;
}

// An integer object: 1, 2, 4 or 8 bytes; negative ones always take 8.
void putInteger(std::string& out, std::int64_t i) {
  const std::size_t bytes = i < 0 ? 8 : bytesFor(static_cast<std::uint64_t>(i));
  out += static_cast<char>(0x10 | std::countr_zero(bytes));
  putBigEndian(out, static_cast<std::uint64_t>(i), bytes);
}

// A marker with its count: in the low nibble, or 0xF and an integer object after it.
void putMarker(std::string& out, std::uint8_t type, std::size_t count) {
  if (count < 15) {
    out += static_cast<char>(type | count);
  } else {
    out += static_cast<char>(type | 0x0F);
    putInteger(out, static_cast<std::int64_t>(count));
  }
}

void putDouble(std::string& out, std::uint8_t marker, double d) {
  out += static_cast<char>(marker);
  putBigEndian(out, std::bit_cast<std::uint64_t>(d), 8);
}

// UTF-8 to UTF-16 code units; a sequence that does not decode becomes U+FFFD.
std::vector<std::uint16_t> utf16(const std::string& s) {
  std::string valid;
  utf8::replace_invalid(s.begin(), s.end(), std::back_inserter(valid));
  std::vector<std::uint16_t> units;
  utf8::unchecked::utf8to16(valid.begin(), valid.end(), std::back_inserter(units));
  return units;
}

// Writes each distinct value once, as the platform's own writer does for texts and numbers, and
// each distinct container once too: a list whose containers share their contents is written
// with them shared, never expanded.
class Writer {
 public:
  std::string write(const Value& root) {
    const std::size_t top = number(root);
    refSize_ = bytesFor(objects_.size());
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (std::size_t i = 0; i < objects_.size(); ++i) {
      offsets.push_back(out.size());
      put(out, i);
    }
    const std::uint64_t tableOffset = out.size();
    const std::size_t offsetSize = bytesFor(tableOffset);
    for (std::uint64_t offset : offsets) putBigEndian(out, offset, offsetSize);
    out.append(6, '\0');
    out += static_cast<char>(offsetSize);
    out += static_cast<char>(refSize_);
    putBigEndian(out, objects_.size(), 8);
    putBigEndian(out, top, 8);
    putBigEndian(out, tableOffset, 8);
    return out;
  }

 private:
  // An object to write: a value, or a dictionary's key.
  struct Object {
    const Value* value = nullptr;
    const std::string* key = nullptr;
    std::size_t firstChild = 0;  // into children_
  };

  // What tells one object from another: its kind and contents, a container's by the numbers of
  // its children (numbered first).
  static void addBits(std::string& identity, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) identity += static_cast<char>((v >> (8 * i)) & 0xFF);
  }

  std::size_t numberObject(std::string identity, Object object,
                           const std::vector<std::size_t>& refs) {
    const auto [found, added] = unique_.try_emplace(std::move(identity), objects_.size());
    if (added) {
      object.firstChild = children_.size();
      objects_.push_back(object);
      children_.insert(children_.end(), refs.begin(), refs.end());
    }
    return found->second;
  }

  std::size_t numberKey(const std::string& key) {
    return numberObject("s" + key, {nullptr, &key, 0}, {});
  }

  std::size_t number(const Value& value) {
    std::vector<std::size_t> refs;
    std::string identity;
    if (const auto* array = value.getIf<Array>()) {
      refs.reserve(array->size());
      for (const Value& item : *array) refs.push_back(number(item));
      identity = "a";
    } else if (const auto* dictionary = value.getIf<Dictionary>()) {
      refs.reserve(2 * dictionary->count());
      for (const std::string& key : dictionary->allKeys()) refs.push_back(numberKey(key));
      for (std::size_t i = 0; i < dictionary->count(); ++i) {
        refs.push_back(number(dictionary->valueAt(i)));
      }
      identity = "o";
    } else if (const bool* b = value.getIf<bool>()) {
      identity = *b ? "T" : "F";
    } else if (const std::int64_t* i = value.getIf<std::int64_t>()) {
      identity = "i";
      addBits(identity, static_cast<std::uint64_t>(*i));
    } else if (const double* d = value.getIf<double>()) {
      identity = "r";
      addBits(identity, std::bit_cast<std::uint64_t>(*d));
    } else if (const std::string* text = value.getIf<std::string>()) {
      identity = "s" + *text;
    } else if (const Date* date = value.getIf<Date>()) {
      identity = "t";
      addBits(identity, std::bit_cast<std::uint64_t>(date->secondsSinceReferenceDate));
    } else if (const Data* data = value.getIf<Data>()) {
      identity = "d";
      identity.append(reinterpret_cast<const char*>(data->data()), data->size());
    }
    for (std::size_t ref : refs) addBits(identity, ref);
    return numberObject(std::move(identity), {&value, nullptr, 0}, refs);
  }

  void putString(std::string& out, const std::string& s) {
    bool ascii = true;
    for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      putMarker(out, 0x50, s.size());
      out += s;
      return;
    }
    const auto units = utf16(s);
    putMarker(out, 0x60, units.size());
    for (std::uint16_t unit : units) putBigEndian(out, unit, 2);
  }

  void putRefs(std::string& out, std::size_t first, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) putBigEndian(out, children_[first + i], refSize_);
  }

  void put(std::string& out, std::size_t index) {
    const Object& object = objects_[index];
    if (object.key) {
      putString(out, *object.key);
      return;
    }
    const Value& value = *object.value;
    if (const bool* b = value.getIf<bool>()) {
      out += static_cast<char>(*b ? 0x09 : 0x08);
    } else if (const std::int64_t* i = value.getIf<std::int64_t>()) {
      putInteger(out, *i);
    } else if (const double* d = value.getIf<double>()) {
      putDouble(out, 0x23, *d);
    } else if (const std::string* s = value.getIf<std::string>()) {
      putString(out, *s);
    } else if (const Date* date = value.getIf<Date>()) {
      putDouble(out, 0x33, date->secondsSinceReferenceDate);
    } else if (const Data* data = value.getIf<Data>()) {
      putMarker(out, 0x40, data->size());
      out.append(reinterpret_cast<const char*>(data->data()), data->size());
    } else if (const Array* array = value.getIf<Array>()) {
      putMarker(out, 0xA0, array->size());
      putRefs(out, object.firstChild, array->size());
    } else if (const Dictionary* dictionary = value.getIf<Dictionary>()) {
      putMarker(out, 0xD0, dictionary->count());
      putRefs(out, object.firstChild, 2 * dictionary->count());
    }
  }

  std::vector<Object> objects_;
  std::vector<std::size_t> children_;
  std::unordered_map<std::string, std::size_t> unique_;
  std::size_t refSize_ = 1;
};

}  // namespace

std::string writeBinaryPropertyList(const Value& value) {
  return Writer().write(value);
}

}  // namespace sim

#include "platform/sim/property_list_codec.h"

#include "binary_property_list.h"
#include "property_list_limits.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace sim {

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Value;

namespace {

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Calls `visit(key, item)` for each item of the dictionary node, in order, until it returns
// false. libplist hands over each key to be freed.
template <typename Visit>
void forEachItem(plist_t dictionary, Visit visit) {
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(dictionary, &iter);
  std::unique_ptr<void, FreeDeleter> iterOwner(iter);
  while (iter != nullptr) {
    char* rawKey = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(dictionary, iter, &rawKey, &item);
    std::unique_ptr<char, FreeDeleter> key(rawKey);
    if (item == nullptr || !visit(rawKey ? rawKey : "", item)) break;
  }
}

std::string xmlOf(plist_t node) {
  char* out = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &out, &length);
  std::unique_ptr<char, FreeDeleter> owner(out);
  return out ? std::string(out, length) : std::string();
}

// Nesting deeper than this is refused rather than recursed into.
constexpr int kMaxDepth = 256;

std::optional<Value> fromNode(plist_t node, int depth) {
  if (node == nullptr || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // Stored as 64-bit two's complement: negative integers come back as they were written.
      // libplist hands an unsigned integer above 2^63-1 out the same way: it is told apart by
      // how libplist writes it, and read as the number it is, as the platform's NSNumber does.
      if (static_cast<std::int64_t>(u) < 0 && xmlOf(node).find("<integer>-") == std::string::npos) {
        return Value(static_cast<double>(u));
      }
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      // By pointer and length: a string may hold NUL bytes, which the copying getter refuses.
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return Value(text ? std::string(text, length) : std::string());
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      std::unique_ptr<char, FreeDeleter> bytes(raw);
      const auto* begin = reinterpret_cast<const std::uint8_t*>(raw);
      return Value(raw ? Data(begin, begin + length) : Data{});
    }
    case PLIST_ARRAY: {
      Array array;
      const uint32_t size = plist_array_get_size(node);
      array.reserve(size);
      for (uint32_t i = 0; i < size; ++i) {
        auto item = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      }
      return Value(std::move(array));
    }
    case PLIST_DICT: {
      Dictionary dictionary;
      bool readable = true;
      forEachItem(node, [&](const char* key, plist_t item) {
        auto value = fromNode(item, depth + 1);
        if (!value) return readable = false;
        dictionary.setObjectForKey(std::move(*value), key);
        return true;
      });
      if (!readable) return std::nullopt;
      return Value(std::move(dictionary));
    }
    default:
      return std::nullopt;
  }
}

plist_t toNode(const Value& value) {
  struct Make {
    plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
    plist_t operator()(std::int64_t i) const { return plist_new_uint(static_cast<uint64_t>(i)); }
    plist_t operator()(double d) const { return plist_new_real(d); }
    plist_t operator()(const std::string& s) const { return plist_new_string(s.c_str()); }
    plist_t operator()(const Date& d) const {
      const double whole = std::floor(d.secondsSinceReferenceDate);
      return plist_new_date(static_cast<int32_t>(whole),
                            static_cast<int32_t>((d.secondsSinceReferenceDate - whole) * 1e6));
    }
    plist_t operator()(const Data& d) const {
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    plist_t operator()(const Array& a) const {
      plist_t array = plist_new_array();
      for (const Value& item : a) plist_array_append_item(array, toNode(item));
      return array;
    }
    plist_t operator()(const Dictionary& d) const {
      plist_t dict = plist_new_dict();
      for (std::size_t i = 0; i < d.count(); ++i) {
        plist_dict_set_item(dict, d.allKeys()[i].c_str(), toNode(d.valueAt(i)));
      }
      return dict;
    }
  };
  return std::visit(Make{}, value.storage());
}

}  // namespace

std::optional<Value> parsePropertyList(std::span<const std::uint8_t> bytes, std::string* error) {
  if (bytes.empty()) {
    if (error) *error = "the file is empty";
    return std::nullopt;
  }
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
    if (error) *error = "the file is too large";
    return std::nullopt;
  }
  if (auto refused = refusedBeforeParsing(bytes)) {
    if (error) *error = std::move(*refused);
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<uint32_t>(bytes.size()), &root);
  PlistPtr owner(root);
  if (root == nullptr) {
    if (error) *error = "not a property list (neither XML nor binary), or truncated";
    return std::nullopt;
  }
  auto value = fromNode(root, 0);
  if (!value && error) {
    *error = "the property list holds a value that cannot be read (nested more than " +
             std::to_string(kMaxDepth) + " deep, or of an unknown kind)";
    // Name the first key of a dictionary whose value it is.
    if (plist_get_node_type(root) == PLIST_DICT) {
      forEachItem(root, [&](const char* key, plist_t item) {
        if (fromNode(item, 1)) return true;
        *error = "the value of \"" + std::string(key) + "\" cannot be read (nested more than " +
                 std::to_string(kMaxDepth) + " deep, or of an unknown kind)";
        return false;
      });
    }
  }
  return value;
}

std::optional<std::string> firstKeyNotKeptExactly(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max() ||
      refusedBeforeParsing(bytes)) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<uint32_t>(bytes.size()), &root);
  PlistPtr owner(root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  std::optional<std::string> notKept;
  forEachItem(root, [&](const char* key, plist_t item) {
    // libplist keeps what it read in full, but hands some of it out narrowed (dates as 32-bit
    // seconds, unsigned 64-bit integers as signed): what our reading gives back must render
    // the same as what the file holds.
    const auto value = fromNode(item, 0);
    PlistPtr again(value ? toNode(*value) : nullptr);
    if (value && xmlOf(item) == xmlOf(again.get())) return true;
    notKept = key;
    return false;
  });
  return notKept;
}

std::string serializePropertyList(const Value& value, PropertyListFormat format) {
  if (format == PropertyListFormat::binary) return writeBinaryPropertyList(value);
  PlistPtr root(toNode(value));
  char* out = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &out, &length);
  std::unique_ptr<char, FreeDeleter> owner(out);
  return out ? std::string(out, length) : std::string();
}

}  // namespace sim

// Property-list objects: the host's values as the binary's NSString, NSNumber, NSArray,
// NSDictionary, NSDate and NSData, and back.
#include <cstring>
#include <iterator>

#include <utf8/checked.h>

#include "objc_runtime.h"

namespace emulator {

namespace {

// A CFString literal: isa, flags, characters, length (each pointer-sized but the flags).
constexpr std::uint32_t kLiteralUtf16 = 0x10;

// UTF-16 (as the compiler stores a literal with characters outside ASCII) to UTF-8.
std::string utf8FromUtf16(const std::vector<std::uint16_t>& units) {
  std::string out;
  utf8::utf16to8(units.begin(), units.end(), std::back_inserter(out));
  return out;
}

}  // namespace

Address Runtime::newString(std::string_view text) {
  const Address object = createInstance(classNamed("__NSCFString"));
  state<StringState>(object)->text = std::string(text);
  return object;
}

Address Runtime::constantString(std::string_view text) {
  const Address object = newString(text);
  retain(object);  // never freed: the system's constants live as long as the process
  retain(object);
  return object;
}

std::optional<std::string> Runtime::stringOf(Address object) const {
  if (object == 0) return std::nullopt;
  if (auto* s = state<StringState>(object)) return s->text;
  if (auto it = literalStrings_.find(object); it != literalStrings_.end()) return it->second;
  const ClassInfo* cls = classOf(object);
  if (cls == nullptr || cls->address != constantStringClass_) return std::nullopt;
  const unsigned p = machine_.pointerSize();
  const std::uint32_t flags = machine_.load<std::uint32_t>(object + p);
  const Address characters = machine_.loadPointer(object + 2 * p);
  const Address length = machine_.loadPointer(object + 3 * p);
  if (length > (1u << 24))
    machine_.fault("a string literal of " + std::to_string(length) + " characters");
  std::string text;
  if (flags & kLiteralUtf16) {
    std::vector<std::uint16_t> units(length);
    machine_.read(characters, units.data(), length * 2);
    text = utf8FromUtf16(units);
  } else {
    text.resize(length);
    machine_.read(characters, text.data(), length);
  }
  const_cast<Runtime*>(this)->literalStrings_.emplace(object, text);
  return text;
}

Address Runtime::newObject(const platform::Value& value) {
  if (const bool* b = value.getIf<bool>()) {
    Address& boolean = booleans_[*b ? 1 : 0];
    if (boolean == 0) {
      boolean = createInstance(classNamed("__NSCFBoolean"));
      state<NumberState>(boolean)->value = platform::Value(*b);
      retain(boolean);
    }
    return retain(boolean);
  }
  if (value.getIf<std::int64_t>() || value.getIf<double>()) {
    const Address number = createInstance(classNamed("__NSCFNumber"));
    state<NumberState>(number)->value = value;
    return number;
  }
  if (const std::string* s = value.getIf<std::string>()) return newString(*s);
  if (const platform::Date* d = value.getIf<platform::Date>()) {
    const Address date = createInstance(classNamed("__NSDate"));
    state<DateState>(date)->secondsSinceReferenceDate = d->secondsSinceReferenceDate;
    return date;
  }
  if (const platform::Data* d = value.getIf<platform::Data>()) {
    const Address data = createInstance(classNamed("NSConcreteData"));
    state<DataState>(data)->bytes = *d;
    return data;
  }
  if (const platform::Array* a = value.getIf<platform::Array>()) {
    const Address array = createInstance(classNamed("__NSArrayI"));
    auto* items = state<ArrayState>(array);
    for (const platform::Value& item : *a) items->items.push_back(newObject(item));
    return array;
  }
  const auto& d = *value.getIf<platform::Dictionary>();
  const Address dictionary = createInstance(classNamed("__NSDictionaryI"));
  for (std::size_t i = 0; i < d.count(); ++i) {
    const Address key = newString(d.allKeys()[i]);
    const Address item = newObject(d.valueAt(i));
    state<DictionaryState>(dictionary)->entries.emplace_back(key, item);
  }
  return dictionary;
}

std::optional<platform::Value> Runtime::valueOf(Address object) const {
  if (object == 0) return std::nullopt;
  if (auto text = stringOf(object)) return platform::Value(std::move(*text));
  if (auto* n = state<NumberState>(object)) return n->value;
  if (auto* d = state<DateState>(object))
    return platform::Value(platform::Date{d->secondsSinceReferenceDate});
  if (auto* d = state<DataState>(object)) return platform::Value(d->bytes);
  if (auto* a = state<ArrayState>(object)) {
    platform::Array out;
    for (Address item : a->items) {
      if (auto v = valueOf(item)) out.push_back(std::move(*v));
    }
    return platform::Value(std::move(out));
  }
  if (auto* d = state<DictionaryState>(object)) {
    platform::Dictionary out;
    for (const auto& [key, item] : d->entries) {
      auto k = stringOf(key);
      auto v = valueOf(item);
      if (k && v) out.setObjectForKey(std::move(*v), *k);
    }
    return platform::Value(std::move(out));
  }
  return std::nullopt;
}

std::string Runtime::describe(Address object) {
  if (object == 0) return "(null)";
  const Returned described = send(object, "description", {});
  auto text = stringOf(described.integer);
  return text ? *text : std::string("(null)");
}

}  // namespace emulator

#include "property_list_limits.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace sim {

namespace {

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// A binary property list's table of objects, as its trailer describes it.
class BinaryObjects {
 public:
  static constexpr std::size_t kTrailer = 32;

  // None when the bytes are no binary property list this can follow (libplist refuses those).
  static std::optional<BinaryObjects> of(std::span<const std::uint8_t> b) {
    if (b.size() < 8 + kTrailer || std::memcmp(b.data(), "bplist00", 8) != 0) return std::nullopt;
    BinaryObjects o;
    o.bytes_ = b;
    const std::uint8_t* trailer = b.data() + b.size() - kTrailer;
    o.offsetSize_ = trailer[6];
    o.refSize_ = trailer[7];
    o.count_ = readBigEndian(trailer + 8, 8);
    o.top_ = readBigEndian(trailer + 16, 8);
    o.table_ = readBigEndian(trailer + 24, 8);
    o.end_ = b.size() - kTrailer;
    if (o.offsetSize_ < 1 || o.offsetSize_ > 8 || o.refSize_ < 1 || o.refSize_ > 8 ||
        o.count_ > o.end_ || o.table_ > o.end_ || o.count_ * o.offsetSize_ > o.end_ - o.table_ ||
        o.top_ >= o.count_) {
      return std::nullopt;
    }
    return o;
  }

  std::uint64_t count() const { return count_; }
  std::uint64_t top() const { return top_; }

  // Where object `i` starts; none when outside the objects.
  std::optional<std::uint64_t> offsetOf(std::uint64_t i) const {
    const std::uint64_t at = readBigEndian(bytes_.data() + table_ + i * offsetSize_, offsetSize_);
    if (at < 8 || at >= end_) return std::nullopt;
    return at;
  }

  // The count of a marker's low nibble, or of the integer object after it (0xF); moves `pos`
  // past it. None when it runs past the objects.
  std::optional<std::uint64_t> lengthAt(std::uint64_t& pos) const {
    const std::uint64_t low = bytes_[pos] & 0x0F;
    ++pos;
    if (low != 0x0F) return low;
    if (pos >= end_ || (bytes_[pos] >> 4) != 1) return std::nullopt;
    const std::size_t n = std::size_t{1} << (bytes_[pos] & 0x0F);
    if (n > 8 || pos + 1 + n > end_) return std::nullopt;
    const std::uint64_t length = readBigEndian(bytes_.data() + pos + 1, n);
    pos += 1 + n;
    return length;
  }

  // The references a container at `at` holds (a dictionary's keys and values); empty for other
  // objects. False when they run past the objects or name no object.
  bool referencesAt(std::uint64_t at, std::vector<std::uint64_t>& refs) const {
    refs.clear();
    const int type = bytes_[at] >> 4;
    if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) return true;
    std::uint64_t pos = at;
    const auto length = lengthAt(pos);
    if (!length || *length > end_) return false;
    const std::uint64_t n = type == 0xD ? 2 * *length : *length;
    if (n > (end_ - pos) / refSize_) return false;
    refs.reserve(n);
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::uint64_t ref = readBigEndian(bytes_.data() + pos + k * refSize_, refSize_);
      if (ref >= count_) return false;
      refs.push_back(ref);
    }
    return true;
  }

  // Whether a string object (ASCII or UTF-16) at `at` holds a NUL character.
  bool stringHoldsNul(std::uint64_t at) const {
    const int type = bytes_[at] >> 4;
    if (type != 5 && type != 6) return false;
    std::uint64_t pos = at;
    const auto length = lengthAt(pos);
    if (!length || *length > end_) return false;
    const std::uint64_t width = type == 5 ? 1 : 2;
    if (*length * width > end_ - pos) return false;
    for (std::uint64_t k = 0; k < *length * width; k += width) {
      if (bytes_[pos + k] == 0 && (width == 1 || bytes_[pos + k + 1] == 0)) return true;
    }
    return false;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t offsetSize_ = 0, refSize_ = 0;
  std::uint64_t count_ = 0, top_ = 0, table_ = 0, end_ = 0;
};

enum class Walk { fine, tooMany, containsItself, broken };

// Walks the objects the top one reaches, each once, and counts the values they stand for
// (every reference followed: a shared container counts at each use) without expanding them.
// Stops as soon as the count passes `most`.
Walk walk(const BinaryObjects& objects, std::uint64_t most, bool& nulInString) {
  struct Seen {
    std::uint64_t values = 0;  // once done
    bool done = false;
  };
  std::unordered_map<std::uint64_t, Seen> seen;
  seen.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(objects.count(), 1u << 16)));
  struct Frame {
    std::uint64_t object;
    std::vector<std::uint64_t> refs;
    std::size_t next = 0;
    std::uint64_t values = 1;
  };
  std::vector<Frame> stack;
  std::vector<std::uint64_t> refs;
  // Starts object `i`: its references go on the stack, a leaf is done at once.
  auto enter = [&](std::uint64_t i) -> Walk {
    const auto at = objects.offsetOf(i);
    if (!at || !objects.referencesAt(*at, refs)) return Walk::broken;
    nulInString = nulInString || objects.stringHoldsNul(*at);
    if (seen.size() >= most) return Walk::tooMany;  // each object stands for one value at least
    seen[i] = {};
    stack.push_back({i, refs});
    return Walk::fine;
  };
  if (const Walk w = enter(objects.top()); w != Walk::fine) return w;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.refs.size()) {
      Seen& s = seen[frame.object];
      s.values = frame.values;
      s.done = true;
      const std::uint64_t values = frame.values;
      stack.pop_back();
      if (!stack.empty()) {
        stack.back().values += values;
        if (stack.back().values > most) return Walk::tooMany;
      }
      continue;
    }
    const std::uint64_t child = frame.refs[frame.next++];
    if (const auto found = seen.find(child); found != seen.end()) {
      if (!found->second.done) return Walk::containsItself;
      frame.values += found->second.values;
      if (frame.values > most) return Walk::tooMany;
      continue;
    }
    if (const Walk w = enter(child); w != Walk::fine) return w;
  }
  return Walk::fine;
}

}  // namespace

std::optional<std::string> refusedBeforeParsing(std::span<const std::uint8_t> bytes,
                                                std::uint64_t mostValues) {
  const std::string tooMany = "the property list stands for more than " +
                              std::to_string(mostValues) +
                              " values (counting each use of a value it shares), the most read";
  const auto objects = BinaryObjects::of(bytes);
  if (!objects) {
    // XML: every value takes an element, and every element a '<'.
    const auto elements = static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '<'));
    if (elements > 2 * mostValues + 16) return tooMany;
    return std::nullopt;
  }
  bool nulInString = false;
  switch (walk(*objects, mostValues, nulInString)) {
    case Walk::tooMany:
      return tooMany;
    case Walk::containsItself:
      return "the property list holds a container that contains itself";
    case Walk::broken:
      return "not a property list (neither XML nor binary), or truncated";
    case Walk::fine:
      break;
  }
  // libplist aborts the process on reading a key with a NUL character; the phone's own store
  // has no reason to write one.
  if (nulInString) return "the property list holds a text with a NUL character";
  return std::nullopt;
}

}  // namespace sim

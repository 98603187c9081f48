// The parts of libc++ the binaries import rather than inline: std::string's out-of-line
// members (on the phone's string layout), std::to_string, std::mutex, the control block of
// shared_ptr and weak_ptr, the bucket counts of unordered containers, and the library's throws.
#include <map>

#include "exceptions.h"
#include "frameworks.h"

namespace emulator {

namespace {

// A std::string in emulated memory. arm64 uses libc++'s alternate layout (data, size, capacity
// with the long flag in its top bit; short strings keep their size in the last byte); 32-bit
// ARM the standard one (capacity with the long flag in bit 0, size, data; short strings keep
// twice their size in the first byte).
class EmulatedString {
 public:
  EmulatedString(Machine& m, Address at) : m_(m), at_(at), wide_(m.pointerSize() == 8) {}

  std::size_t minCapacity() const { return wide_ ? 23 : 11; }

  bool isLong() const {
    return wide_ ? (m_.load<std::uint8_t>(at_ + 23) & 0x80) != 0
                 : (m_.load<std::uint8_t>(at_) & 1) != 0;
  }
  Address data() const {
    if (isLong()) return m_.loadPointer(wide_ ? at_ : at_ + 8);
    return wide_ ? at_ : at_ + 1;
  }
  std::uint64_t size() const {
    if (isLong()) return m_.loadPointer(wide_ ? at_ + 8 : at_ + 4);
    const std::uint8_t byte = m_.load<std::uint8_t>(wide_ ? at_ + 23 : at_);
    return wide_ ? byte : byte >> 1;
  }
  std::uint64_t capacity() const {
    if (!isLong()) return minCapacity() - 1;
    const std::uint64_t raw = m_.loadPointer(wide_ ? at_ + 16 : at_);
    return (wide_ ? raw & ~(std::uint64_t{1} << 63) : raw & ~std::uint64_t{1}) - 1;
  }
  std::string value() const {
    const std::uint64_t n = size();
    if (n > (64u << 20))
      m_.fault("a std::string of " + std::to_string(n) + " bytes at " + Machine::hex(at_));
    std::string out(n, '\0');
    if (n) m_.read(data(), out.data(), n);
    return out;
  }

  // An empty short string (what a constructor starts from).
  void clear() {
    std::vector<std::uint8_t> zeros(wide_ ? 24 : 12, 0);
    m_.write(at_, zeros.data(), zeros.size());
  }

  // Stores `text`, in place when it fits, else in a new buffer of libc++'s recommended size.
  void assign(std::string_view text) {
    const std::uint64_t n = text.size();
    if (n <= capacity()) {
      const Address d = data();
      m_.write(d, text.data(), n);
      m_.store<std::uint8_t>(d + n, 0);
      setSize(n);
      return;
    }
    const std::uint64_t cap = recommend(n);
    const Address buffer = m_.allocate(cap + 1);
    m_.write(buffer, text.data(), n);
    m_.store<std::uint8_t>(buffer + n, 0);
    if (isLong()) m_.deallocate(data());
    if (wide_) {
      m_.storePointer(at_, buffer);
      m_.storePointer(at_ + 8, n);
      m_.storePointer(at_ + 16, (cap + 1) | (std::uint64_t{1} << 63));
    } else {
      m_.storePointer(at_, (cap + 1) | 1);
      m_.storePointer(at_ + 4, n);
      m_.storePointer(at_ + 8, buffer);
    }
  }

 private:
  std::uint64_t recommend(std::uint64_t n) const {
    if (n < minCapacity()) return minCapacity() - 1;
    std::uint64_t guess = ((n + 1 + 15) & ~std::uint64_t{15}) - 1;
    if (guess == minCapacity()) ++guess;
    return guess;
  }
  void setSize(std::uint64_t n) {
    if (isLong()) {
      m_.storePointer(wide_ ? at_ + 8 : at_ + 4, n);
    } else if (wide_) {
      m_.store<std::uint8_t>(at_ + 23, static_cast<std::uint8_t>(n));
    } else {
      m_.store<std::uint8_t>(at_, static_cast<std::uint8_t>(n << 1));
    }
  }

  Machine& m_;
  Address at_;
  bool wide_;
};

constexpr std::uint64_t kNpos = ~std::uint64_t{0};

// std::string::npos at the binary's width.
Address wideNpos(const Machine& m) {
  return m.pointerSize() == 8 ? kNpos : 0xffffffffu;
}

}  // namespace

void throwLogicError(Runtime& rt, Imports& imports, const std::string& kind,
                     const std::string& message) {
  Machine& m = rt.machine();
  const unsigned p = m.pointerSize();
  const Address object = rt.exceptions().allocate(2 * p);
  const Address copy = m.allocate(message.size() + 1);
  m.write(copy, message.c_str(), message.size() + 1);
  m.storePointer(object, *imports.resolve("__ZTVSt" + kind) + 2 * p);
  m.storePointer(object + p, copy);
  throw CxxRaise{object, *imports.resolve("__ZTISt" + kind),
                 *imports.resolve("__ZNSt" + kind + "D1Ev")};
}

void defineLibcxx(Runtime& rt, Imports& imports) {
  Runtime* r = &rt;
  Imports* table = &imports;
  const bool wide = rt.machine().pointerSize() == 8;
  const std::string size = "m";  // size_t is unsigned long on every Apple architecture
  const std::string string = "__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE";
  const std::string constString =
      "__ZNKSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE";
  auto outOfRange = [r, table](const std::string& what) {
    throwLogicError(*r, *table, "12out_of_range", what);
  };

  imports.function(string + "6appendEPKc", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    EmulatedString s(m, self);
    s.assign(s.value() + m.readCString(c.pointer()));
    c.returnPointer(self);
  });
  imports.function(string + "6appendEPKc" + size, [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const Address text = c.pointer();
    const std::uint64_t n = c.pointer();
    EmulatedString s(m, self);
    std::string added(n, '\0');
    if (n) m.read(text, added.data(), n);
    s.assign(s.value() + added);
    c.returnPointer(self);
  });
  imports.function(string + "6assignEPKc", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    EmulatedString(m, self).assign(m.readCString(c.pointer()));
    c.returnPointer(self);
  });
  imports.function(string + "6assignE" + size + "c", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const std::uint64_t n = c.pointer();
    const char ch = static_cast<char>(c.integer(1));
    EmulatedString(m, self).assign(std::string(n, ch));
    c.returnPointer(self);
  });
  imports.function(string + "6insertE" + size + "PKc", [outOfRange](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const std::uint64_t pos = c.pointer();
    const std::string text = m.readCString(c.pointer());
    EmulatedString s(m, self);
    std::string value = s.value();
    if (pos > value.size()) return outOfRange("basic_string");
    value.insert(pos, text);
    s.assign(value);
    c.returnPointer(self);
  });
  imports.function(string + "6insertE" + size + "PKc" + size,
                   [outOfRange](Machine& m, NativeCall& c) {
                     const Address self = c.pointer();
                     const std::uint64_t pos = c.pointer();
                     const Address text = c.pointer();
                     const std::uint64_t n = c.pointer();
                     EmulatedString s(m, self);
                     std::string value = s.value();
                     if (pos > value.size()) return outOfRange("basic_string");
                     std::string inserted(n, '\0');
                     if (n) m.read(text, inserted.data(), n);
                     value.insert(pos, inserted);
                     s.assign(value);
                     c.returnPointer(self);
                   });
  imports.function(string + "6resizeE" + size + "c", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const std::uint64_t n = c.pointer();
    const char ch = static_cast<char>(c.integer(1));
    EmulatedString s(m, self);
    std::string value = s.value();
    value.resize(n, ch);
    s.assign(value);
  });
  imports.function(string + "9push_backEc", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const char ch = static_cast<char>(c.integer(1));
    EmulatedString s(m, self);
    s.assign(s.value() + ch);
  });
  auto copyConstruct = [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const std::string value = EmulatedString(m, c.pointer()).value();
    EmulatedString s(m, self);
    s.clear();
    s.assign(value);
    c.returnPointer(self);
  };
  imports.function(string + "C1ERKS5_", copyConstruct);
  imports.function(string + "C2ERKS5_", copyConstruct);
  auto substringConstruct = [outOfRange](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const std::string value = EmulatedString(m, c.pointer()).value();
    const std::uint64_t pos = c.pointer();
    const std::uint64_t n = c.pointer();
    c.pointer();  // the allocator
    EmulatedString s(m, self);
    s.clear();
    if (pos > value.size()) return outOfRange("basic_string");
    s.assign(value.substr(pos, n));
    c.returnPointer(self);
  };
  imports.function(string + "C1ERKS5_" + size + size + "RKS4_", substringConstruct);
  imports.function(string + "C2ERKS5_" + size + size + "RKS4_", substringConstruct);
  imports.function(string + "aSERKS5_", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const Address other = c.pointer();
    if (other != self) EmulatedString(m, self).assign(EmulatedString(m, other).value());
    c.returnPointer(self);
  });
  imports.function(constString + "5rfindEc" + size, [](Machine& m, NativeCall& c) {
    const std::string value = EmulatedString(m, c.pointer()).value();
    const char ch = static_cast<char>(c.integer(1));
    const std::uint64_t pos = c.pointer();
    const auto found = value.rfind(ch, pos >= wideNpos(m) ? std::string::npos : pos);
    c.returnPointer(found == std::string::npos ? wideNpos(m) : found);
  });
  imports.function(constString + "4findEc" + size, [](Machine& m, NativeCall& c) {
    const std::string value = EmulatedString(m, c.pointer()).value();
    const char ch = static_cast<char>(c.integer(1));
    const std::uint64_t pos = c.pointer();
    const auto found = value.find(ch, pos);
    c.returnPointer(found == std::string::npos ? wideNpos(m) : found);
  });
  imports.function(
      constString + "7compareE" + size + size + "PKc" + size,
      [outOfRange](Machine& m, NativeCall& c) {
        const std::string value = EmulatedString(m, c.pointer()).value();
        const std::uint64_t pos = c.pointer();
        const std::uint64_t n = c.pointer();
        const Address text = c.pointer();
        const std::uint64_t n2 = c.pointer();
        if (pos > value.size()) return outOfRange("basic_string");
        std::string other(n2, '\0');
        if (n2) m.read(text, other.data(), n2);
        const int result = value.compare(pos, n, other);
        c.returnInteger(static_cast<std::uint32_t>(result < 0 ? -1 : result > 0 ? 1 : 0), 4, true);
      });
  imports.function(
      "__ZNSt3__1plIcNS_11char_traitsIcEENS_9allocatorIcEEEENS_12basic_stringIT_T0_T1_EEPKS6_RKS9_",
      [](Machine& m, NativeCall& c) {
        const Address result = c.cxxResultSlot();
        const std::string left = m.readCString(c.pointer());
        const std::string right = EmulatedString(m, c.pointer()).value();
        EmulatedString s(m, result);
        s.clear();
        s.assign(left + right);
      });
  auto toString = [](bool isSigned, unsigned width) {
    return [isSigned, width](Machine& m, NativeCall& c) {
      const Address result = c.cxxResultSlot();
      const std::uint64_t raw = c.integer(width, isSigned);
      std::string text;
      if (isSigned) {
        const std::int64_t v =
            width == 4 ? static_cast<std::int32_t>(raw) : static_cast<std::int64_t>(raw);
        text = std::to_string(v);
      } else {
        text = std::to_string(width == 4 ? raw & 0xffffffffu : raw);
      }
      EmulatedString s(m, result);
      s.clear();
      s.assign(text);
    };
  };
  const unsigned longWidth = wide ? 8 : 4;
  imports.function("__ZNSt3__19to_stringEi", toString(true, 4));
  imports.function("__ZNSt3__19to_stringEj", toString(false, 4));
  imports.function("__ZNSt3__19to_stringEl", toString(true, longWidth));
  imports.function("__ZNSt3__19to_stringEm", toString(false, longWidth));
  imports.function("__ZNSt3__19to_stringEx", toString(true, 8));
  imports.function("__ZNSt3__19to_stringEy", toString(false, 8));

  imports.function("__ZNSt3__112__next_primeE" + size, [](Machine&, NativeCall& c) {
    std::uint64_t n = c.pointer();
    auto prime = [](std::uint64_t v) {
      if (v < 2) return false;
      for (std::uint64_t d = 2; d * d <= v; ++d) {
        if (v % d == 0) return false;
      }
      return true;
    };
    if (n != 0) {
      while (!prime(n)) ++n;
    }
    c.returnPointer(n);
  });

  // std::mutex: one thread runs at a time here, so a lock already held can never be given up.
  auto held = std::make_shared<std::map<Address, Address>>();
  imports.function("__ZNSt3__15mutex4lockEv", [r, held](Machine& m, NativeCall& c) {
    const Address mutex = c.pointer();
    if (auto it = held->find(mutex); it != held->end()) {
      m.fault("std::mutex at " + Machine::hex(mutex) + " locked again at " +
              r->where(m.returnAddress()) + " while held since " + r->where(it->second) +
              ": a deadlock on the phone");
    }
    (*held)[mutex] = m.returnAddress();
  });
  imports.function("__ZNSt3__15mutex8try_lockEv", [held](Machine& m, NativeCall& c) {
    const Address mutex = c.pointer();
    if (held->count(mutex)) return c.returnBool(false);
    (*held)[mutex] = m.returnAddress();
    c.returnBool(true);
  });
  imports.function("__ZNSt3__15mutex6unlockEv", [held](Machine& m, NativeCall& c) {
    const Address mutex = c.pointer();
    if (!held->erase(mutex))
      m.fault("std::mutex at " + Machine::hex(mutex) + " unlocked while not held");
  });
  imports.function("__ZNSt3__15mutexD1Ev", [held](Machine& m, NativeCall& c) {
    const Address mutex = c.pointer();
    if (held->count(mutex))
      m.fault("std::mutex at " + Machine::hex(mutex) + " destroyed while held");
  });

  // std::condition_variable: a wait here could never end, since the thread that would notify
  // cannot run while this one waits (the emulation runs one thread at a time, as a deadlock
  // on the phone would leave it).
  imports.function("__ZNSt3__118condition_variable10notify_allEv",
                   [](Machine&, NativeCall& c) { c.pointer(); });
  imports.function("__ZNSt3__118condition_variable10notify_oneEv",
                   [](Machine&, NativeCall& c) { c.pointer(); });
  imports.function("__ZNSt3__118condition_variableD1Ev",
                   [](Machine&, NativeCall& c) { c.pointer(); });
  imports.function("__ZNSt3__118condition_variable4waitERNS_11unique_lockINS_5mutexEEE",
                   [r](Machine& m, NativeCall&) {
                     m.fault("std::condition_variable::wait at " + r->where(m.returnAddress()) +
                             " waits for a notice no other thread can send now: a deadlock");
                   });

  // shared_ptr's control block: the vtable's fifth slot is __on_zero_shared_weak.
  const std::string control = "__ZNSt3__119__shared_weak_count";
  imports.function(control + "14__release_weakEv", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const unsigned p = m.pointerSize();
    const Address field = self + 2 * p;
    const std::int64_t weak = p == 8 ? m.load<std::int64_t>(field) : m.load<std::int32_t>(field);
    bool zero = weak == 0;
    if (!zero) {
      m.storePointer(field, static_cast<Address>(weak - 1));
      zero = weak - 1 == -1;
    }
    if (zero)
      m.call(m.loadPointer(m.loadPointer(self) + 4 * p), {Argument::pointer(m.arch(), self)});
  });
  imports.function(control + "4lockEv", [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const unsigned p = m.pointerSize();
    const Address field = self + p;
    const std::int64_t owners = p == 8 ? m.load<std::int64_t>(field) : m.load<std::int32_t>(field);
    if (owners == -1) return c.returnPointer(0);
    m.storePointer(field, static_cast<Address>(owners + 1));
    c.returnPointer(self);
  });
  imports.function("__ZNKSt3__119__shared_weak_count13__get_deleterERKSt9type_info",
                   [](Machine&, NativeCall& c) { c.returnPointer(0); });
  imports.function(control + "D2Ev", [](Machine&, NativeCall& c) { c.returnPointer(c.pointer()); });
  imports.function(control + "D1Ev", [](Machine&, NativeCall& c) { c.returnPointer(c.pointer()); });
  {
    Machine& m = rt.machine();
    const unsigned p = m.pointerSize();
    const Address info = m.allocateStatic(2 * p, 16);
    m.storePointer(info, *imports.resolve("__ZTVN10__cxxabiv117__class_type_infoE") + 2 * p);
    m.storePointer(info + p, m.internString("NSt3__119__shared_weak_countE"));
    imports.data("__ZTINSt3__119__shared_weak_countE", info);
  }

  // The library's throws.
  auto lengthError = [r, table](Machine&, NativeCall&) {
    throwLogicError(*r, *table, "12length_error", "vector");
  };
  imports.function("__ZNKSt3__120__vector_base_commonILb1EE20__throw_length_errorEv", lengthError);
  imports.function("__ZNKSt3__121__basic_string_commonILb1EE20__throw_length_errorEv", lengthError);
  imports.function("__ZNKSt3__120__vector_base_commonILb1EE20__throw_out_of_rangeEv",
                   [outOfRange](Machine&, NativeCall&) { outOfRange("vector"); });
  imports.function("__ZNKSt3__121__basic_string_commonILb1EE20__throw_out_of_rangeEv",
                   [outOfRange](Machine&, NativeCall&) { outOfRange("basic_string"); });
}

}  // namespace emulator

// libSystem's C functions the binaries import: memory and strings, numbers, thread keys, the
// dynamic linker's look-up, the stack guard, and file descriptors (served by the host's own).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "c_format.h"
#include "frameworks.h"
#include "platform/task_runner.h"

namespace emulator {

namespace {

constexpr std::uint64_t kStackGuard = 0x5c0ffee5deadbeefull;

// Darwin's errno values where they differ from Linux's.
int darwinErrno(int linuxErrno) {
  switch (linuxErrno) {
    case EAGAIN:
      return 35;
    case EINPROGRESS:
      return 36;
    default:
      return linuxErrno <= 34 ? linuxErrno : 5;  // the classic values are shared; else EIO
  }
}

// Darwin's fcntl commands and flags, as the binary passes them.
constexpr int kDarwinGetFd = 1, kDarwinSetFd = 2, kDarwinGetFl = 3, kDarwinSetFl = 4;
constexpr int kDarwinNonBlock = 0x4;

}  // namespace

void defineLibc(Runtime& rt, Imports& imports) {
  Machine& machine = rt.machine();
  Runtime* r = &rt;
  const Address errnoWord = machine.allocateStatic(8, 8);
  auto setErrno = [errnoWord](Machine& m, int value) {
    m.store<std::int32_t>(errnoWord, darwinErrno(value));
  };

  auto copyBytes = [](Machine& m, Address to, Address from, std::uint64_t n) {
    if (n == 0) return;
    if (n > (256u << 20)) m.fault("a copy of " + std::to_string(n) + " bytes");
    const auto bytes = m.readBytes(from, n);
    m.write(to, bytes.data(), n);
  };
  imports.function("_memcpy", [copyBytes](Machine& m, NativeCall& c) {
    const Address to = c.pointer();
    const Address from = c.pointer();
    copyBytes(m, to, from, c.pointer());
    c.returnPointer(to);
  });
  imports.function("_memmove", [copyBytes](Machine& m, NativeCall& c) {
    const Address to = c.pointer();
    const Address from = c.pointer();
    copyBytes(m, to, from, c.pointer());
    c.returnPointer(to);
  });
  imports.function("_memset", [](Machine& m, NativeCall& c) {
    const Address to = c.pointer();
    const int value = static_cast<int>(c.integer(4));
    const std::uint64_t n = c.pointer();
    std::vector<std::uint8_t> fill(n, static_cast<std::uint8_t>(value));
    m.write(to, fill.data(), n);
    c.returnPointer(to);
  });
  imports.function("_bzero", [](Machine& m, NativeCall& c) {
    const Address to = c.pointer();
    std::vector<std::uint8_t> zeros(c.pointer(), 0);
    m.write(to, zeros.data(), zeros.size());
  });
  imports.function("_memchr", [](Machine& m, NativeCall& c) {
    const Address from = c.pointer();
    const int value = static_cast<int>(c.integer(4));
    const std::uint64_t n = c.pointer();
    const auto bytes = m.readBytes(from, n);
    const void* found = std::memchr(bytes.data(), value, n);
    c.returnPointer(found ? from + (static_cast<const std::uint8_t*>(found) - bytes.data()) : 0);
  });
  imports.function("_memcmp", [](Machine& m, NativeCall& c) {
    const Address a = c.pointer();
    const Address b = c.pointer();
    const std::uint64_t n = c.pointer();
    const int result = n ? std::memcmp(m.readBytes(a, n).data(), m.readBytes(b, n).data(), n) : 0;
    c.returnInteger(static_cast<std::uint32_t>(result), 4, true);
  });
  imports.function("_strlen", [](Machine& m, NativeCall& c) {
    c.returnPointer(m.readCString(c.pointer()).size());
  });
  imports.function("_strchr", [](Machine& m, NativeCall& c) {
    const Address s = c.pointer();
    const char wanted = static_cast<char>(c.integer(4));
    const std::string text = m.readCString(s);
    if (wanted == 0) return c.returnPointer(s + text.size());
    const auto at = text.find(wanted);
    c.returnPointer(at == std::string::npos ? 0 : s + at);
  });
  imports.function("_strcmp", [](Machine& m, NativeCall& c) {
    const std::string a = m.readCString(c.pointer());
    const std::string b = m.readCString(c.pointer());
    const int result = std::strcmp(a.c_str(), b.c_str());
    c.returnInteger(static_cast<std::uint32_t>(result), 4, true);
  });
  imports.function("_strncmp", [](Machine& m, NativeCall& c) {
    const std::string a = m.readCString(c.pointer());
    const std::string b = m.readCString(c.pointer());
    const int result = std::strncmp(a.c_str(), b.c_str(), c.pointer());
    c.returnInteger(static_cast<std::uint32_t>(result), 4, true);
  });
  imports.function("_strncpy", [](Machine& m, NativeCall& c) {
    const Address to = c.pointer();
    const Address from = c.pointer();
    const std::uint64_t n = c.pointer();
    std::string text = m.readCString(from);
    std::vector<std::uint8_t> bytes(n, 0);
    std::memcpy(bytes.data(), text.data(), std::min<std::uint64_t>(n, text.size()));
    m.write(to, bytes.data(), n);
    c.returnPointer(to);
  });
  imports.function("_strtod", [](Machine& m, NativeCall& c) {
    const Address s = c.pointer();
    const Address end = c.pointer();
    const std::string text = m.readCString(s);
    char* stop = nullptr;
    const double value = std::strtod(text.c_str(), &stop);
    if (end) m.storePointer(end, s + static_cast<Address>(stop - text.c_str()));
    c.returnF64(value);
  });
  imports.function("_atoi", [](Machine& m, NativeCall& c) {
    c.returnInteger(static_cast<std::uint32_t>(std::atoi(m.readCString(c.pointer()).c_str())), 4,
                    true);
  });
  imports.function("_snprintf", [r](Machine& m, NativeCall& c) {
    const Address buffer = c.pointer();
    const std::uint64_t size = c.pointer();
    const std::string format = m.readCString(c.pointer());
    c.startVariadic();
    const std::string text = formatVariadic(
        format, c, [r](Address object) { return r->describe(object); },
        [&m](Address s) { return m.readCString(s); });
    if (size > 0) {
      const std::size_t n = std::min<std::uint64_t>(text.size(), size - 1);
      m.write(buffer, text.data(), n);
      m.store<std::uint8_t>(buffer + n, 0);
    }
    c.returnInteger(static_cast<std::uint32_t>(text.size()), 4, true);
  });

  // libm, and the compiler's runtime helpers 32-bit ARM needs (no 64-bit conversions in hardware,
  // no integer division on armv7).
  imports.function("_ceilf", [](Machine&, NativeCall& c) { c.returnF32(std::ceil(c.f32())); });
  imports.function("_ceil", [](Machine&, NativeCall& c) { c.returnF64(std::ceil(c.f64())); });
  imports.function("_floor", [](Machine&, NativeCall& c) { c.returnF64(std::floor(c.f64())); });
  imports.function("_floorf", [](Machine&, NativeCall& c) { c.returnF32(std::floor(c.f32())); });
  imports.function("_fmaxf", [](Machine&, NativeCall& c) {
    const float a = c.f32();
    c.returnF32(std::fmax(a, c.f32()));
  });
  imports.function("_fminf", [](Machine&, NativeCall& c) {
    const float a = c.f32();
    c.returnF32(std::fmin(a, c.f32()));
  });
  imports.function("_fmax", [](Machine&, NativeCall& c) {
    const double a = c.f64();
    c.returnF64(std::fmax(a, c.f64()));
  });
  imports.function("_fmin", [](Machine&, NativeCall& c) {
    const double a = c.f64();
    c.returnF64(std::fmin(a, c.f64()));
  });
  imports.function("_llround", [](Machine&, NativeCall& c) {
    c.returnInteger(static_cast<std::uint64_t>(std::llround(c.f64())), 8, true);
  });
  imports.function("_lround", [](Machine& m, NativeCall& c) {
    c.returnInteger(static_cast<std::uint64_t>(std::lround(c.f64())), m.pointerSize(), true);
  });
  imports.function("___fixdfdi", [](Machine&, NativeCall& c) {
    const double d = c.f64();
    std::int64_t v = 0;
    if (std::isnan(d))
      v = 0;
    else if (d >= 9.2233720368547758e18)
      v = INT64_MAX;
    else if (d <= -9.2233720368547758e18)
      v = INT64_MIN;
    else
      v = static_cast<std::int64_t>(d);
    c.returnInteger(static_cast<std::uint64_t>(v), 8, true);
  });
  imports.function("___fixunsdfdi", [](Machine&, NativeCall& c) {
    const double d = c.f64();
    std::uint64_t v = 0;
    if (!(d > 0))
      v = 0;
    else if (d >= 1.8446744073709552e19)
      v = UINT64_MAX;
    else
      v = static_cast<std::uint64_t>(d);
    c.returnInteger(v, 8, false);
  });
  imports.function("___floatdidf", [](Machine&, NativeCall& c) {
    c.returnF64(static_cast<double>(static_cast<std::int64_t>(c.integer(8, true))));
  });
  imports.function("___floatundidf", [](Machine&, NativeCall& c) {
    c.returnF64(static_cast<double>(c.integer(8, false)));
  });
  auto divide = [](bool isSigned, bool remainder) {
    return [isSigned, remainder](Machine& m, NativeCall& c) {
      const std::uint64_t a = c.integer(4, isSigned);
      const std::uint64_t b = c.integer(4, isSigned);
      if (static_cast<std::uint32_t>(b) == 0) m.fault("an integer division by zero");
      std::uint32_t result;
      if (isSigned) {
        const auto x = static_cast<std::int32_t>(a), y = static_cast<std::int32_t>(b);
        result = static_cast<std::uint32_t>(remainder ? x % y : x / y);
      } else {
        const auto x = static_cast<std::uint32_t>(a), y = static_cast<std::uint32_t>(b);
        result = remainder ? x % y : x / y;
      }
      c.returnInteger(result, 4, isSigned);
    };
  };
  // The 64-bit ones, as compiler-rt computes them: INT64_MIN / -1 wraps to INT64_MIN.
  auto divide64 = [](bool isSigned, bool remainder) {
    return [isSigned, remainder](Machine& m, NativeCall& c) {
      const std::uint64_t a = c.integer(8, isSigned);
      const std::uint64_t b = c.integer(8, isSigned);
      if (b == 0) m.fault("an integer division by zero");
      std::uint64_t result;
      if (isSigned) {
        const auto x = static_cast<std::int64_t>(a), y = static_cast<std::int64_t>(b);
        if (y == -1) {
          result = remainder ? 0 : 0 - a;
        } else {
          result = static_cast<std::uint64_t>(remainder ? x % y : x / y);
        }
      } else {
        result = remainder ? a % b : a / b;
      }
      c.returnInteger(result, 8, isSigned);
    };
  };
  imports.function("___udivdi3", divide64(false, false));
  imports.function("___umoddi3", divide64(false, true));
  imports.function("___divdi3", divide64(true, false));
  imports.function("___moddi3", divide64(true, true));
  imports.function("___udivsi3", divide(false, false));
  imports.function("___umodsi3", divide(false, true));
  imports.function("___divsi3", divide(true, false));
  imports.function("___modsi3", divide(true, true));
  imports.function("_malloc",
                   [](Machine& m, NativeCall& c) { c.returnPointer(m.allocate(c.pointer())); });
  imports.function("_calloc", [](Machine& m, NativeCall& c) {
    const std::uint64_t n = c.pointer();
    c.returnPointer(m.allocate(n * c.pointer()));
  });
  imports.function("_free", [](Machine& m, NativeCall& c) { m.deallocate(c.pointer()); });
  imports.function("_abort", [r](Machine& m, NativeCall&) {
    m.fault("abort() called from " + r->where(m.returnAddress()));
  });

  imports.function("___error",
                   [errnoWord](Machine&, NativeCall& c) { c.returnPointer(errnoWord); });
  const Address guard = machine.allocateStatic(8, 8);
  machine.store<std::uint64_t>(guard, kStackGuard);
  imports.data("___stack_chk_guard", guard);
  imports.function("___stack_chk_fail", [r](Machine& m, NativeCall&) {
    m.fault("the stack guard was overwritten (stack smashing), found on return to " +
            r->where(m.returnAddress()));
  });
  imports.function("dyld_stub_binder", [](Machine& m, NativeCall&) {
    m.fault("dyld_stub_binder called: a lazy symbol was left unbound");
  });

  // Thread-specific data. The emulation runs one thread at a time, but each queue's task sets
  // and restores what it uses, as on the phone.
  auto keys = std::make_shared<std::map<std::uint64_t, Address>>();
  auto nextKey = std::make_shared<std::uint64_t>(1);
  imports.function("_pthread_key_create", [keys, nextKey](Machine& m, NativeCall& c) {
    const Address out = c.pointer();
    const std::uint64_t key = (*nextKey)++;
    (*keys)[key] = 0;
    m.storePointer(out, key);
    c.returnInteger(0, 4, true);
  });
  imports.function("_pthread_getspecific", [keys](Machine&, NativeCall& c) {
    auto it = keys->find(c.pointer());
    c.returnPointer(it == keys->end() ? 0 : it->second);
  });
  imports.function("_pthread_setspecific", [keys](Machine&, NativeCall& c) {
    const std::uint64_t key = c.pointer();
    const Address value = c.pointer();
    auto it = keys->find(key);
    if (it == keys->end()) return c.returnInteger(22, 4, true);  // EINVAL
    it->second = value;
    c.returnInteger(0, 4, true);
  });

  // Threads: each of the phone's queues runs on a thread of its own, so a queue stands for its
  // thread (the host's run loop for code that runs outside any queue).
  imports.function("_pthread_self", [](Machine&, NativeCall& c) {
    platform::TaskRunner* queue = platform::TaskRunner::current();
    c.returnPointer(reinterpret_cast<std::uintptr_t>(queue ? queue : &platform::mainRunLoop()) &
                    0xfffffff0u);
  });
  imports.function("_pthread_equal", [](Machine&, NativeCall& c) {
    const Address a = c.pointer();
    c.returnInteger(a == c.pointer() ? 1 : 0, 4, true);
  });

  // The dynamic linker: what dlsym finds in the process (the injection host's functions).
  Imports* table = &imports;
  imports.function("_dlsym", [table](Machine& m, NativeCall& c) {
    c.pointer();  // the handle: every look-up searches the whole process here
    const std::string name = m.readCString(c.pointer(), 1024);
    auto found = table->resolve("_" + name);
    c.returnPointer(found ? *found : 0);
  });

  // The frameworks SpringBoard has loaded open as one handle; any other path fails.
  imports.function("_dlopen", [](Machine& m, NativeCall& c) {
    const Address path = c.pointer();
    const std::string file = path ? m.readCString(path, 1024) : std::string();
    const bool loaded = file.empty() || file.starts_with("/System/Library/Frameworks/");
    c.returnPointer(loaded ? static_cast<Address>(-2) & 0xfffffff0u : 0);
  });

  // File descriptors: the host's own, as the pane's pipes need them.
  imports.function("_pipe", [setErrno](Machine& m, NativeCall& c) {
    const Address out = c.pointer();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      setErrno(m, errno);
      return c.returnInteger(static_cast<std::uint32_t>(-1), 4, true);
    }
    m.store<std::int32_t>(out, fds[0]);
    m.store<std::int32_t>(out + 4, fds[1]);
    c.returnInteger(0, 4, true);
  });
  imports.function("_close", [setErrno](Machine& m, NativeCall& c) {
    const int result = ::close(static_cast<int>(c.integer(4, true)));
    if (result != 0) setErrno(m, errno);
    c.returnInteger(static_cast<std::uint32_t>(result), 4, true);
  });
  imports.function("_read", [setErrno](Machine& m, NativeCall& c) {
    const int fd = static_cast<int>(c.integer(4, true));
    const Address buffer = c.pointer();
    const std::uint64_t size = std::min<std::uint64_t>(c.pointer(), 1u << 20);
    std::vector<std::uint8_t> bytes(size);
    const ssize_t n = ::read(fd, bytes.data(), size);
    if (n < 0) {
      setErrno(m, errno);
    } else {
      m.write(buffer, bytes.data(), static_cast<std::size_t>(n));
    }
    c.returnPointer(static_cast<std::uint64_t>(n));
  });
  imports.function("_write", [setErrno](Machine& m, NativeCall& c) {
    const int fd = static_cast<int>(c.integer(4, true));
    const Address buffer = c.pointer();
    const auto bytes = m.readBytes(buffer, c.pointer());
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) setErrno(m, errno);
    c.returnPointer(static_cast<std::uint64_t>(n));
  });
  imports.function("_fcntl", [setErrno](Machine& m, NativeCall& c) {
    const int fd = static_cast<int>(c.integer(4, true));
    const int command = static_cast<int>(c.integer(4, true));
    c.startVariadic();
    int result = -1;
    switch (command) {
      case kDarwinGetFd:
        result = ::fcntl(fd, F_GETFD);
        break;
      case kDarwinSetFd:
        result = ::fcntl(fd, F_SETFD, static_cast<int>(c.integer(4, true)) ? FD_CLOEXEC : 0);
        break;
      case kDarwinGetFl: {
        const int flags = ::fcntl(fd, F_GETFL);
        result =
            flags < 0 ? flags : ((flags & O_NONBLOCK) ? kDarwinNonBlock : 0) | (flags & O_ACCMODE);
        break;
      }
      case kDarwinSetFl: {
        const int wanted = static_cast<int>(c.integer(4, true));
        const int flags = ::fcntl(fd, F_GETFL);
        result = flags < 0 ? flags
                           : ::fcntl(fd, F_SETFL,
                                     (wanted & kDarwinNonBlock) ? (flags | O_NONBLOCK)
                                                                : (flags & ~O_NONBLOCK));
        break;
      }
      default:
        m.fault("fcntl command " + std::to_string(command) + " is not modelled");
    }
    if (result < 0) setErrno(m, errno);
    c.returnInteger(static_cast<std::uint32_t>(result), 4, true);
  });
}

}  // namespace emulator

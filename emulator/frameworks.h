// The system as the emulated binary finds it: the imports it binds (C functions and data of
// libobjc, libSystem, libc++, CoreFoundation, Foundation, AVFoundation, CoreMedia, CoreMotion,
// Celestial, UIKit, MessageUI, Preferences) and the classes they define, all served by the
// simulated phone.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "machine.h"
#include "objc_runtime.h"

namespace platform {
class NSOperationQueue;
class TaskRunner;
}

namespace emulator {

// What the binary imports, by symbol ("_objc_msgSend", "__ZdlPv", "_kCFPreferencesAnyHost").
class Imports {
 public:
  explicit Imports(Machine& machine) : machine_(machine) {}
  void function(const std::string& symbol, NativeFunction function);
  void data(const std::string& symbol, Address address);
  // The address a bind of `symbol` gets; none when no stand-in serves it.
  std::optional<Address> resolve(const std::string& symbol);
  bool has(const std::string& symbol) const;
  // Answers symbols of a family (a class by name) that no single entry names.
  void fallback(std::function<std::optional<Address>(const std::string&)> resolver) {
    fallbacks_.push_back(std::move(resolver));
  }

 private:
  std::vector<std::function<std::optional<Address>(const std::string&)>> fallbacks_;
  Machine& machine_;
  std::unordered_map<std::string, NativeFunction> functions_;
  std::unordered_map<std::string, Address> addresses_;
};

struct ErrorState : HostState {
  std::string domain;
  std::int64_t code = 0;
  std::string description;
};

struct ExceptionState : HostState {
  std::string name;
  std::string reason;
  // A host exception that travels through the binary as this object.
  std::exception_ptr native;
};

struct OperationQueueState : HostState {
  std::shared_ptr<platform::NSOperationQueue> queue;
};

// A dispatch queue object of the binary: a serial queue of the simulated phone.
struct QueueState : HostState {
  std::shared_ptr<platform::TaskRunner> queue;
};
std::shared_ptr<platform::TaskRunner> queueRunner(Runtime& runtime, Address queue);

// Runs `work` from the host (a queue's task, a notice, a frame) in an autorelease pool of its
// own; a fault ends the emulation (see Runtime::failure) instead of reaching the host's queue.
std::function<void()> hostTask(Runtime& runtime, std::function<void()> work);

// The phone's clock in nanoseconds.
std::uint64_t phoneNanoseconds();

// A new NSError for `error` (autoreleased), or nil.
Address errorObject(Runtime& runtime, const std::string& domain, std::int64_t code,
                    const std::string& description);

void defineFoundation(Runtime& runtime);
void defineObjcImports(Runtime& runtime, Imports& imports);
void defineLibc(Runtime& runtime, Imports& imports);
void defineCxxRuntime(Runtime& runtime, Imports& imports);
void defineLibcxx(Runtime& runtime, Imports& imports);
// Throws a std::logic_error of `kind` ("12length_error", "12out_of_range") into the binary.
void throwLogicError(Runtime& runtime, Imports& imports, const std::string& kind,
                     const std::string& message);
void defineDispatch(Runtime& runtime, Imports& imports);
void defineCoreFoundation(Runtime& runtime, Imports& imports);
void defineNSLog(Runtime& runtime, Imports& imports);
void defineMediaFrameworks(Runtime& runtime, Imports& imports);  // AVFoundation, CoreMedia, ...
void defineSpringBoard(Runtime& runtime, Imports& imports);
void defineUIFrameworks(Runtime& runtime, Imports& imports);  // UIKit, MessageUI, Preferences

}  // namespace emulator

#include "frameworks.h"

#include "platform/sim/phone.h"

namespace emulator {

void Imports::function(const std::string& symbol, NativeFunction function) {
  functions_[symbol] = std::move(function);
}

void Imports::data(const std::string& symbol, Address address) {
  addresses_[symbol] = address;
}

bool Imports::has(const std::string& symbol) const {
  return functions_.count(symbol) || addresses_.count(symbol);
}

std::optional<Address> Imports::resolve(const std::string& symbol) {
  if (auto it = addresses_.find(symbol); it != addresses_.end()) return it->second;
  auto it = functions_.find(symbol);
  if (it == functions_.end()) {
    for (const auto& fallback : fallbacks_) {
      if (auto found = fallback(symbol)) return found;
    }
    return std::nullopt;
  }
  // One stub per symbol, made the first time the binary binds it.
  const Address stub =
      machine_.addNative(symbol.size() > 1 ? symbol.substr(1) : symbol, it->second);
  addresses_[symbol] = stub;
  return stub;
}

std::function<void()> hostTask(Runtime& runtime, std::function<void()> work) {
  return [&runtime, work = std::move(work)] {
    if (runtime.failure()) return;
    const Address pool = runtime.pushPool();
    try {
      work();
      runtime.popPool(pool);
    } catch (const EmulationFault& fault) {
      runtime.setFailure(fault.what());
    } catch (const std::exception& e) {
      runtime.setFailure(std::string("an exception left the binary: ") + e.what());
    } catch (...) {
      runtime.setFailure("an exception of an unknown type left the binary");
    }
  };
}

std::uint64_t phoneNanoseconds() {
  return static_cast<std::uint64_t>(sim::now().count());
}

Address errorObject(Runtime& runtime, const std::string& domain, std::int64_t code,
                    const std::string& description) {
  const Address error = runtime.createInstance(runtime.classNamed("NSError"));
  auto* state = runtime.state<ErrorState>(error);
  state->domain = domain;
  state->code = code;
  state->description = description;
  return runtime.autorelease(error);
}

}  // namespace emulator

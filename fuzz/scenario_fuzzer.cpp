// The scenario file of `tonewell`: any text either parses or gives one error with a position.
#include <cstdint>
#include <string>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto parsed = tonewell::parseScenario(text, "fuzz.yaml");
  if (auto* error = std::get_if<tonewell::ScenarioError>(&parsed)) {
    if (error->line < 1 || error->column < 1 || error->cause.empty()) __builtin_trap();
  } else {
    const auto& scenario = std::get<tonewell::Scenario>(parsed);
    double last = 0;
    for (const auto& event : scenario.events) {
      if (event.at < last) __builtin_trap();  // times never go backwards
      last = event.at;
    }
    if (scenario.until < last) __builtin_trap();
  }
  return 0;
}

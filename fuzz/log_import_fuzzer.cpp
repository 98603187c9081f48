// `tonewell import`: any text imports, and every scenario it writes is one `tonewell run` reads.
#include <cstdint>
#include <string>

#include "log_import.h"
#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto imported = tonewell::importLog(text, "fuzz");
  for (const auto& ring : imported.rings) {
    if (std::holds_alternative<tonewell::ScenarioError>(
            tonewell::parseScenario(ring.yaml, "ring.yaml"))) {
      __builtin_trap();
    }
  }
  return 0;
}

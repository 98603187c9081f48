// The scenarios built into the `tonewell` command.
#pragma once

#include <string>
#include <vector>

namespace tonewell {

struct BuiltinScenario {
  const char* name;
  const char* summary;
  const char* yaml;
};

const std::vector<BuiltinScenario>& builtinScenarios();
// The scenario named `name`, or null.
const BuiltinScenario* findBuiltinScenario(const std::string& name);

}  // namespace tonewell

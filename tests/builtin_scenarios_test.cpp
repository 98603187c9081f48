// The built-in scenarios and their copies in the fuzz corpus, which the scenario fuzzer starts
// from: the copies must stay what the command replays.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "builtin_scenarios.h"

namespace {

// The corpus's file of the scenario's name; none when the corpus keeps no copy of it.
std::optional<std::string> corpusCopy(const std::string& name) {
  std::ifstream in(std::string(TONEWELL_SCENARIO_CORPUS) + "/" + name + ".yaml", std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(BuiltinScenariosTest, TheFuzzCorpusCopiesAreTheBuiltInScenarios) {
  int copies = 0;
  for (const auto& builtin : tonewell::builtinScenarios()) {
    const auto copy = corpusCopy(builtin.name);
    if (!copy) continue;
    ++copies;
    EXPECT_EQ(*copy, builtin.yaml)
        << "fuzz/corpus/scenario/" << builtin.name << ".yaml differs from the built-in scenario";
  }
  EXPECT_GE(copies, 5) << "the corpus starts from the built-in scenarios";
}

}  // namespace

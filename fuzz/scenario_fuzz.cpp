// libFuzzer target for the scenario reader: any bytes are either a scenario
// or a refusal (ScenarioError); anything else -- a crash, another exception,
// undefined behaviour, a hang, memory without bound -- is a finding.
// Build and run with fuzz/run.sh (see fuzz/README.md).
#include <cstddef>
#include <cstdint>
#include <string>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  try {
    pelk_tool::Scenario sc = pelk_tool::parse_scenario(text, "fuzz.json");
    (void)pelk_tool::run_length_problem(sc, sc.duration_ns);
  } catch (const pelk_tool::ScenarioError &) {
  }
  return 0;
}

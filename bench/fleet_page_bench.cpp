// Speed of the fleet page (`plot --db`): a database of many phones' logs,
// made once, drawn as the fleet's page and its worst devices' pages.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fleet.h"
#include "fleet_db.h"

namespace {

namespace fs = std::filesystem;

// state.range(0) phones, each with one log of the examples' report blocks.
void BM_FleetPage(benchmark::State &state) {
  fs::path dir = fs::temp_directory_path() / ("pelk_fleet_page_bench_" + std::to_string(getpid()));
  fs::create_directories(dir / "logs");
  std::string module;
  for (const char *name : {"system_server", "app_health", "modem", "cpus", "sustained_overload"}) {
    std::ifstream in(std::string(PELK_EXPECTED_DIR) + "/" + name + ".txt", std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    module += ss.str();
  }
  for (int64_t i = 0; i < state.range(0); ++i)
    std::ofstream(dir / "logs" / ("phone" + std::to_string(i) + ".log"), std::ios::binary)
        << "[    0.000000] Kernel command line: androidboot.serialno=BENCH" << i << "\n"
        << module;
  std::ostringstream err;
  pelk_tool::FleetSummary sum;
  const std::string db = (dir / "fleet.sqlite").string();
  if (!pelk_tool::update_fleet_db({db, {(dir / "logs").string()}, 0, {}}, err, &sum))
    state.SkipWithError(err.str().c_str());
  for (auto _ : state) {
    if (!pelk_tool::write_fleet_pages(db, (dir / "fleet.html").string(), "var Chart = function () {};", err))
      state.SkipWithError(err.str().c_str());
  }
  state.counters["rows"] = (double)sum.rows;
  state.counters["page_bytes"] = (double)fs::file_size(dir / "fleet.html");
  fs::remove_all(dir);
}
BENCHMARK(BM_FleetPage)->Arg(200)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

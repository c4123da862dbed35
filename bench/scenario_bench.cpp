// Costs of `pelk_perf_util simulate` that grow with the work: reading a large
// scenario (linear in its size), a long run of the built-in phone (output
// streamed, memory flat), and a phone that starts and ends many processes
// (the simulated kernel's cost follows the live tasks).  Figures in
// docs/performance.md.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <string>

#include "scenario.h"
#include "output.h"
#include "simulate.h"

namespace {

using namespace pelk_tool;

double max_rss_mib() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (double)ru.ru_maxrss / 1024.0;
}

// N timeline events, a write to a proc file every 0.1 ms.
std::string timeline_scenario(int n) {
  std::string s = "{\"duration\": 600, \"timeline\": [";
  for (int i = 0; i < n; ++i) {
    char buf[128];
    snprintf(buf, sizeof buf, "%s{\"at\": %d.%04d, \"event\": \"proc_write\", \"path\": \"/proc/x\", \"data\": \"1\"}",
             i ? ", " : "", i / 10000, i % 10000);
    s += buf;
  }
  return s + "]}";
}

// N processes with a thread each, all ending in the first minute.
std::string process_scenario(int n) {
  std::string s = "{\"duration\": 600, \"processes\": [", tl;
  for (int i = 0; i < n; ++i) {
    s += (i ? ", " : "") + std::string("{\"pid\": ") + std::to_string(1000 + 2 * i) + ", \"comm\": \"p" +
         std::to_string(i) + "\", \"threads\": [{\"tid\": " + std::to_string(1001 + 2 * i) + "}]}";
    char buf[96];
    snprintf(buf, sizeof buf, "%s{\"at\": %d.%06d, \"event\": \"exit\", \"pid\": %d}", i ? ", " : "", 1 + i / 1000000,
             i % 1000000, 1000 + 2 * i);
    tl += buf;
  }
  return s + "], \"timeline\": [" + tl + "]}";
}

// Plays the built-in phone for a simulated time on every iteration of state
// and counts the bytes of its text output, formatted as the program writes it.
u64 play_default_phone(benchmark::State &state, u64 duration_ns) {
  Scenario sc = parse_scenario(default_scenario_json(), kDefaultScenarioName);
  sc.duration_ns = duration_ns;
  RunOptions opt;
  opt.module_path = PELK_MODULE_PATH;
  u64 bytes = 0;
  for (auto _ : state)
    simulate(sc, opt, [&](const OutEvent &e) {
      if (e.type != OutEvent::Note) bytes += format_text(e).size();
    });
  return bytes;
}

void BM_ReadTimeline(benchmark::State &state) {
  const std::string text = timeline_scenario((int)state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(parse_scenario(text, "bench.json").timeline.size());
  state.SetBytesProcessed((int64_t)(state.iterations() * text.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["max_rss_MiB"] = max_rss_mib();
}
BENCHMARK(BM_ReadTimeline)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ReadProcesses(benchmark::State &state) {
  const std::string text = process_scenario((int)state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(parse_scenario(text, "bench.json").processes.size());
  state.SetBytesProcessed((int64_t)(state.iterations() * text.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadProcesses)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond)->Iterations(2);

// The built-in phone for N simulated days, its text output formatted and
// counted as a pipe would take it.
void BM_LongRun(benchmark::State &state) {
  u64 bytes = play_default_phone(state, (u64)state.range(0) * 86400 * sim::kNsPerSec);
  state.SetBytesProcessed((int64_t)bytes);
  // The process's peak memory is the program's to measure (docs/performance.md):
  // here it is the largest of every benchmark run before this one.
  state.counters["output_MiB_per_day"] = (double)bytes / state.iterations() / state.range(0) / (1 << 20);
}
BENCHMARK(BM_LongRun)->Arg(1)->Arg(7)->Unit(benchmark::kMillisecond)->Iterations(1);

// N processes started and ended, 20 a second, each busy while it lives,
// over a ten-minute run with a cycle every second.
void BM_TaskChurn(benchmark::State &state) {
  const int n = (int)state.range(0);
  std::string s = "{\"duration\": 600, \"machine\": {\"module_params\": \"kmonitor_delay=1000\"}, \"processes\": [";
  for (int i = 0; i < 200; ++i)
    s += (i ? ", " : "") + std::string("{\"pid\": ") + std::to_string(100 + i) + ", \"comm\": \"resident\"}";
  s += "], \"timeline\": [";
  for (int i = 0; i < n; ++i) {
    const double at = 1 + i * (590.0 / n);
    char buf[256];
    snprintf(buf, sizeof buf,
             "%s{\"at\": %.6f, \"event\": \"spawn\", \"pid\": %d, \"comm\": \"app\", \"cpu\": {\"percent\": 5}}, "
             "{\"at\": %.6f, \"event\": \"exit\", \"pid\": %d}",
             i ? ", " : "", at, 1000 + i, at + 0.5 * (590.0 / n), 1000 + i);
    s += buf;
  }
  Scenario sc = parse_scenario(s + "]}", "churn.json");
  RunOptions opt;
  opt.module_path = PELK_MODULE_PATH;
  for (auto _ : state) simulate(sc, opt, [](const OutEvent &) {});
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TaskChurn)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(1);

// Simulation speed: the built-in phone (its default period, with the health
// cycle) for an hour, a day and a week, its text output formatted as the
// program writes it; `sim_s_per_s` is simulated seconds per second of CPU.
void BM_SimulationSpeed(benchmark::State &state) {
  benchmark::DoNotOptimize(play_default_phone(state, (u64)state.range(0) * sim::kNsPerSec));
  state.counters["sim_s_per_s"] = benchmark::Counter((double)state.range(0), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_SimulationSpeed)->ArgName("sim_s")->Arg(3600)->Arg(86400)->Arg(604800)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

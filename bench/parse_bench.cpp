// Speed of `pelk_perf_util parse` and `plot` over a long phone log, and proof
// that they stream: the heap each holds at its peak, and plot's page, are the
// same for a short and a long log.  And a fleet of logs put in the database
// (`parse --db`) by 1 and 2 readers, and the fleet's page drawn from it
// (`plot --db`).
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "fleet.h"
#include "fleet_db.h"
#include "log_table.h"
#include "page.h"

// Heap in use, counted by the replaced global allocator.
static std::atomic<size_t> g_heap{0}, g_peak{0};

// The bookkeeping stays out of line: inlined into a caller, g++ 12 pairs the
// free() below with that caller's new and warns of a mismatch that is not one.
__attribute__((noinline)) static void *counted_alloc(size_t n) {
  void *p = malloc(n + 16);
  if (!p) return nullptr;
  *(size_t *)p = n;
  size_t now = g_heap += n;
  for (size_t peak = g_peak; now > peak && !g_peak.compare_exchange_weak(peak, now);) {}
  return (char *)p + 16;
}
__attribute__((noinline)) static void counted_free(void *p) {
  char *base = (char *)p - 16;
  g_heap -= *(size_t *)base;
  free(base);
}

void *operator new(size_t n) {
  void *p = counted_alloc(n);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void *p) noexcept {
  if (p) counted_free(p);
}
void operator delete(void *p, size_t) noexcept { operator delete(p); }

namespace {

// Output that is thrown away, counted.
struct NullBuf : std::streambuf {
  size_t bytes = 0;
  int overflow(int c) override {
    ++bytes;
    return c;
  }
  std::streamsize xsputn(const char *, std::streamsize n) override {
    bytes += (size_t)n;
    return n;
  }
};

// A kernel log like a phone's: the module's report blocks of the examples,
// each line followed by a line of another driver.
std::string phone_log(size_t bytes) {
  std::string module;
  for (const char *name : {"system_server", "app_health", "modem", "cpus", "sustained_overload"}) {
    std::ifstream in(std::string(PELK_EXPECTED_DIR) + "/" + name + ".txt", std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    module += ss.str();
  }
  std::string log;
  log.reserve(bytes + 4096);
  size_t at = 0;
  while (log.size() < bytes) {
    size_t nl = module.find('\n', at);
    if (nl == std::string::npos) {
      at = 0;
      continue;
    }
    log.append(module, at, nl + 1 - at);
    log += "[  605.123456] binder: 1234:1250 transaction failed 29189/-22, size 0-0 line 3021\n";
    at = nl + 1;
  }
  return log;
}

void BM_ParseLog(benchmark::State &state) {
  std::string log = phone_log((size_t)state.range(0) << 20);
  NullBuf null;
  std::ostream out(&null);
  size_t peak_held = 0;
  for (auto _ : state) {
    size_t base = g_heap;
    g_peak = base;
    pelk_tool::TableWriter writer(pelk_tool::TableWhat::Processes, pelk_tool::TableFormat::Csv, out);
    pelk_tool::LogSink sink = writer.sink();
    std::ostringstream err;
    pelk_tool::LogParser parser(sink, "phone.log", err);
    for (size_t i = 0; i < log.size(); i += 1 << 20) parser.feed(log.data() + i, std::min<size_t>(1 << 20, log.size() - i));
    parser.finish();
    writer.finish();
    peak_held = g_peak - base;
    benchmark::DoNotOptimize(writer.rows());
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * log.size()));
  state.counters["peak_heap_bytes"] = (double)peak_held;
}
BENCHMARK(BM_ParseLog)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond);

// The page of the same log (without the Chart.js library): what it holds at
// its peak while reading and writing, and the page's size.
void BM_PlotLog(benchmark::State &state) {
  std::string log = phone_log((size_t)state.range(0) << 20);
  size_t peak_held = 0, page_bytes = 0;
  for (auto _ : state) {
    size_t base = g_heap;
    g_peak = base;
    NullBuf null;
    std::ostream out(&null);
    {
      pelk_tool::Page page;
      pelk_tool::LogSink sink = page.sink();
      std::ostringstream err;
      pelk_tool::LogParser parser(sink, "phone.log", err);
      for (size_t i = 0; i < log.size(); i += 1 << 20)
        parser.feed(log.data() + i, std::min<size_t>(1 << 20, log.size() - i));
      parser.finish();
      page.write(out, "phone.log", "", 0);
    }
    peak_held = g_peak - base;
    page_bytes = null.bytes;
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * log.size()));
  state.counters["peak_heap_bytes"] = (double)peak_held;
  state.counters["page_bytes"] = (double)page_bytes;
}
BENCHMARK(BM_PlotLog)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond);

// A fleet of 16 logs of 4 MiB into a new database, with state.range(0)
// readers on state.range(1) CPUs (0: all the process may use): bytes of logs
// and rows written per second of wall time.  One reader on one CPU is the
// whole run on one core, what more readers on more cores are measured against.
void BM_FleetDb(benchmark::State &state) {
  cpu_set_t all, one;
  sched_getaffinity(0, sizeof(all), &all);
  if (state.range(1) == 1) {
    // The last CPU: on the development machine the first is the one the
    // host's own work lands on.
    CPU_ZERO(&one);
    for (int c = CPU_SETSIZE - 1; c >= 0; --c)
      if (CPU_ISSET(c, &all)) {
        CPU_SET(c, &one);
        break;
      }
    sched_setaffinity(0, sizeof(one), &one);  // the run's threads inherit it
  }
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("pelk_fleet_bench_" + std::to_string(getpid()));
  fs::create_directories(dir / "logs");
  std::string log = phone_log(4 << 20);
  uint64_t bytes = 0;
  for (int i = 0; i < 16; ++i) {
    std::ofstream(dir / "logs" / ("phone" + std::to_string(i) + ".log"), std::ios::binary)
        << "[    0.000000] Kernel command line: androidboot.serialno=BENCH" << i << "\n"
        << log;
    bytes += log.size();
  }
  pelk_tool::FleetSummary sum;
  size_t peak_held = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(dir / "fleet.sqlite");
    fs::remove(dir / "fleet.sqlite-wal");
    fs::remove(dir / "fleet.sqlite-shm");
    size_t base = g_heap;
    g_peak = base;
    state.ResumeTiming();
    std::ostringstream err;
    if (!pelk_tool::update_fleet_db({(dir / "fleet.sqlite").string(), {(dir / "logs").string()},
                                     (unsigned)state.range(0), {}},
                                    err, &sum))
      state.SkipWithError(err.str().c_str());
    peak_held = g_peak - base;  // the readers' rows as they read (once stored, SQLite's memory: not counted)
  }
  sched_setaffinity(0, sizeof(all), &all);
  fs::remove_all(dir);
  state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
  state.counters["rows"] = benchmark::Counter((double)(state.iterations() * sum.rows), benchmark::Counter::kIsRate);
  state.counters["peak_heap_bytes"] = (double)peak_held;
}
BENCHMARK(BM_FleetDb)->Args({1, 1})->Args({1, 0})->Args({2, 0})->ArgNames({"readers", "cpus"})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);

// The fleet page with its 20 device pages, over a database of state.range(0)
// phones with one log of 64 KiB each, made once.
void BM_FleetPage(benchmark::State &state) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("pelk_fleet_page_bench_" + std::to_string(getpid()));
  fs::create_directories(dir / "logs");
  std::string log = phone_log(64 << 10);
  for (int64_t i = 0; i < state.range(0); ++i)
    std::ofstream(dir / "logs" / ("phone" + std::to_string(i) + ".log"), std::ios::binary)
        << "[    0.000000] Kernel command line: androidboot.serialno=BENCH" << i << "\n"
        << log;
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
BENCHMARK(BM_FleetPage)->Arg(200)->Arg(2000)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()
    ->Iterations(3);

}  // namespace

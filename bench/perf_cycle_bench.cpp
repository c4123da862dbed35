// Cost of one performance cycle and of one health cycle as the phone grows,
// and of the watched-table build at start.  Each cycle is timed alone: the
// performance cycle runs five seconds after each health cycle (its period is
// set once the module is loaded), and the clock is paused while the other one
// runs.  `per_process` is the time of a cycle divided by the processes of the
// phone, so a reader sees how the cost grows.  Figures in docs/performance.md.
#include <benchmark/benchmark.h>

#include <string>

#include "sim/sim.h"

namespace names {
#include "../drivers/misc/perf_log/app_health_names.h"
}

namespace {

constexpr sim::u64 kSec = sim::kNsPerSec;
constexpr int kFirstPid = 100;

// `processes` single-threaded processes from pid 100 on, each with some CPU
// time already used; a hundred of them busy (2 CPUs together), so that the
// top ten changes from cycle to cycle.  The first `watched` of them (at most
// one per watched name) run under a watched name in the background.
void build_phone(sim::Kernel &k, int processes, int watched) {
  for (int p = 0; p < processes; p++) {
    sim::TaskSpec t;
    t.pid = kFirstPid + p;
    t.comm = p < watched ? names::comm_list[p] : "proc" + std::to_string(p);
    t.oom_score_adj = 900;
    t.utime_ns = sim::u64(p % 1000) * 1000000;
    k.spawn(t);
    if (p % (processes / 100 > 0 ? processes / 100 : 1) == 0) {
      sim::CpuRate r;
      r.milli_cpu = 20;
      r.cpus = 1u << (p % 8);
      k.set_rate(t.pid, r);
    }
  }
}

// A system_server of `threads` threads right above the other processes,
// together busy on 1.5 CPUs: a load of about 150, so that every cycle lists
// its busiest threads and sends the loading uevent.
void add_system_server(sim::Kernel &k, int pid, int threads) {
  sim::TaskSpec ss;
  ss.pid = pid;
  ss.comm = "system_server";
  const int tgid = k.spawn(ss);
  for (int t = 0; t < threads; t++) {
    if (t > 0) {
      sim::TaskSpec th;
      th.pid = pid + t;
      th.tgid = tgid;
      th.comm = "binder:" + std::to_string(pid) + "_" + std::to_string(t);
      k.spawn(th);
    }
    sim::CpuRate r;
    r.milli_cpu = 1500 / threads + 1;
    r.cpus = 0xff;
    k.set_rate(pid + t, r);
  }
}

// Loads the module and moves the performance cycle five seconds after the
// health cycle (both are first due ten seconds after the load): the first
// performance cycle at 5 s re-arms itself with the ten seconds written before.
bool load_offset(sim::Kernel &k) {
  if (k.insmod(PELK_MODULE_PATH, "kmonitor_delay=5000") != 0) return false;
  k.run_for(1 * kSec);
  return k.param_write("pelk_perf_util", "kmonitor_delay", "10000") == 0;
}

sim::u64 alloc_calls(const sim::Kernel &k) {
  return k.alloc_stats("kmalloc").total_calls + k.alloc_stats("vmalloc").total_calls;
}

// Times the cycle due at `first` and every ten seconds after it; the clock
// runs only from one nanosecond before each such instant to the instant.
void time_cycles(benchmark::State &state, sim::Kernel &k, sim::u64 first, double processes) {
  k.run_until(first + 20 * kSec);  // the records of both cycles exist
  sim::u64 due = first + 30 * kSec;
  const sim::u64 calls_before = alloc_calls(k);
  for (auto _ : state) {
    state.PauseTiming();
    k.run_until(due - 1);
    k.drop_records();
    state.ResumeTiming();
    k.run_until(due);
    due += 10 * kSec;
  }
  state.counters["per_process"] =
      benchmark::Counter(processes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_cycle"] =
      benchmark::Counter(double(alloc_calls(k) - calls_before), benchmark::Counter::kAvgIterations);
  if (!k.violations().empty()) state.SkipWithError(k.violations().front().c_str());
  k.rmmod("pelk_perf_util");
}

// One performance cycle: processes x system_server threads.  The cycle
// scans the 32,768 pid slots once whatever the phone; above that its cost
// follows the processes (the walk, the top ten) and the system_server threads
// (the thread table, the top-thread list, whose array is the one allocation).
void BM_PerformanceCycle(benchmark::State &state) {
  sim::Kernel k;
  const int processes = static_cast<int>(state.range(0));
  build_phone(k, processes, 0);
  add_system_server(k, kFirstPid + processes, static_cast<int>(state.range(1)));
  if (!load_offset(k)) {
    state.SkipWithError("module did not load");
    return;
  }
  time_cycles(state, k, 5 * kSec, processes);
  state.counters["threads"] = double(state.range(1));
}
BENCHMARK(BM_PerformanceCycle)
    ->ArgNames({"processes", "ss_threads"})
    ->ArgsProduct({{100, 1000, 10000, 30000}, {200, 2000}})
    ->Unit(benchmark::kMicrosecond);

// One health cycle: processes x watched processes alive (at most one per
// watched name; 500 only where the phone has that many processes).
void BM_HealthCycle(benchmark::State &state) {
  const int processes = static_cast<int>(state.range(0)), watched = static_cast<int>(state.range(1));
  sim::Kernel k;
  build_phone(k, processes, watched);
  if (!load_offset(k)) {
    state.SkipWithError("module did not load");
    return;
  }
  time_cycles(state, k, 10 * kSec, processes);
}
BENCHMARK(BM_HealthCycle)
    ->ArgNames({"processes", "watched"})
    ->Args({100, 50})
    ->ArgsProduct({{1000, 10000, 30000}, {50, 500}})
    ->Unit(benchmark::kMicrosecond);

// Start and stop of the module on an empty phone, with the watched-name table
// built (arg 1) and with the table's initialisation made to fail (arg 0),
// which leaves out the build of 508 entries and the health cycle's start: the
// difference is the table build.
void BM_ModuleStart(benchmark::State &state) {
  sim::Kernel k;
  for (auto _ : state) {
    if (!state.range(0)) {
      state.PauseTiming();
      k.add_fault({"rhashtable_init", "", 1, 1, 0});
      state.ResumeTiming();
    }
    if (k.insmod(PELK_MODULE_PATH) != 0 || k.rmmod("pelk_perf_util") != 0) {
      state.SkipWithError("module did not load");
      break;
    }
    state.PauseTiming();
    k.clear_faults();
    k.drop_records();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ModuleStart)->ArgName("with_table")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

// Cost of one performance cycle and of one health cycle on a phone-sized
// process table, and proof that a cycle in steady state allocates nothing.
#include <benchmark/benchmark.h>

#include <string>

#include "sim/sim.h"

namespace names {
#include "../drivers/misc/perf_log/app_health_names.h"
}

namespace {

constexpr sim::u64 kSec = sim::kNsPerSec;

void build_phone(sim::Kernel &k, int processes, int threads_each) {
  int pid = 100;
  for (int p = 0; p < processes; p++) {
    sim::TaskSpec leader;
    leader.pid = pid++;
    leader.comm = "proc" + std::to_string(p);
    leader.utime_ns = sim::u64(p) * 1000000;
    int tgid = k.spawn(leader);
    for (int t = 1; t < threads_each; t++) {
      sim::TaskSpec th;
      th.pid = pid++;
      th.tgid = tgid;
      th.comm = "thread" + std::to_string(t);
      k.spawn(th);
      if (t == 1) {
        sim::CpuRate r;
        r.milli_cpu = 10 + p % 50;
        r.cpus = 1u << (p % 8);
        k.set_rate(th.pid, r);
      }
    }
  }
}

void BM_PerformanceCycle(benchmark::State &state) {
  sim::Kernel k;
  build_phone(k, static_cast<int>(state.range(0)), 4);
  if (k.insmod(PELK_MODULE_PATH) != 0) {
    state.SkipWithError("module did not load");
    return;
  }
  k.run_for(10 * kSec);  // first cycle
  sim::u64 calls_before = k.alloc_stats("kmalloc").total_calls + k.alloc_stats("vmalloc").total_calls;
  sim::u64 cycles = 0;
  for (auto _ : state) {
    k.run_for(10 * kSec);
    cycles++;
  }
  sim::u64 calls_after = k.alloc_stats("kmalloc").total_calls + k.alloc_stats("vmalloc").total_calls;
  state.counters["allocs_per_cycle"] = cycles ? double(calls_after - calls_before) / double(cycles) : 0;
  state.counters["processes"] = double(state.range(0));
  k.rmmod("pelk_perf_util");
}
BENCHMARK(BM_PerformanceCycle)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMicrosecond);

// A cycle with a system_server of N threads busy enough (two CPUs) for the
// loading uevent and the top-thread list in every cycle.  In steady state the
// thread records exist: the one allocation per cycle is the list's array.
void BM_SystemServerWatchCycle(benchmark::State &state) {
  sim::Kernel k;
  build_phone(k, 100, 4);  // about 3.5 CPUs busy: room for system_server
  sim::TaskSpec ss;
  ss.pid = 5000;
  ss.comm = "system_server";
  int tgid = k.spawn(ss);
  int threads = static_cast<int>(state.range(0));
  for (int t = 1; t < threads; t++) {
    sim::TaskSpec th;
    th.pid = 5000 + t;
    th.tgid = tgid;
    th.comm = "binder:5000_" + std::to_string(t);
    k.spawn(th);
    sim::CpuRate r;
    r.milli_cpu = 2000 / threads + 1;
    r.cpus = 0xff;
    k.set_rate(th.pid, r);
  }
  if (k.insmod(PELK_MODULE_PATH) != 0) {
    state.SkipWithError("module did not load");
    return;
  }
  k.run_for(10 * kSec);  // first cycle: every record is created
  sim::u64 calls_before = k.alloc_stats("kmalloc").total_calls;
  size_t uevents_before = k.uevents().size();
  sim::u64 cycles = 0;
  for (auto _ : state) {
    k.run_for(10 * kSec);
    cycles++;
  }
  sim::u64 calls_after = k.alloc_stats("kmalloc").total_calls;
  state.counters["kmallocs_per_cycle"] = cycles ? double(calls_after - calls_before) / double(cycles) : 0;
  state.counters["uevents_per_cycle"] = cycles ? double(k.uevents().size() - uevents_before) / double(cycles) : 0;
  k.rmmod("pelk_perf_util");
}
BENCHMARK(BM_SystemServerWatchCycle)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The health cycle alone (the performance cycle kept out of the way): every
// other process of the phone runs under a watched name, in the background.
void BM_HealthCycle(benchmark::State &state) {
  sim::Kernel k;
  const int processes = static_cast<int>(state.range(0));
  for (int p = 0; p < processes; p++) {
    sim::TaskSpec t;
    t.pid = 100 + p;
    t.comm = p % 2 ? names::comm_list[p % std::size(names::comm_list)] : "proc" + std::to_string(p);
    t.oom_score_adj = 900;
    k.spawn(t);
    sim::CpuRate r;
    r.milli_cpu = 1 + p % 20;
    r.cpus = 1u << (p % 8);
    k.set_rate(t.pid, r);
  }
  if (k.insmod(PELK_MODULE_PATH, "kmonitor_delay=2000000000") != 0) {
    state.SkipWithError("module did not load");
    return;
  }
  k.run_for(10 * kSec);  // first cycle: the records are made
  sim::u64 calls_before = k.alloc_stats("kmalloc").total_calls;
  sim::u64 cycles = 0;
  for (auto _ : state) {
    k.run_for(10 * kSec);
    cycles++;
  }
  state.counters["allocs_per_cycle"] =
      cycles ? double(k.alloc_stats("kmalloc").total_calls - calls_before) / double(cycles) : 0;
  state.counters["processes"] = double(processes);
  k.rmmod("pelk_perf_util");
}
BENCHMARK(BM_HealthCycle)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

// A phone that runs for a day: once both cycles have seen every process and
// thread, neither allocates again, and the module's memory after the day is
// what it was after the first hour.  The cycles' cost is measured by
// bench/perf_cycle_bench.cpp, not here.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

class SteadyState : public ModuleHarness {
 protected:
  struct Memory {
    sim::AllocStats kmalloc, vmalloc;
  };
  Memory memory() const { return {k_->alloc_stats("kmalloc"), k_->alloc_stats("vmalloc")}; }

  // Runs to the given hour, restarting the browser (a watched application,
  // new pid, same name) at the start of every hour, and counts the report
  // blocks of both cycles on the way.
  void run_to_hour(int hour) {
    while (k().monotonic_ns() < sim::u64(hour) * 3600 * kSec) {
      k().exit_task(browser_);
      browser_ = spawn(0, "ndroid.calendar", 0, 900);
      k().set_rate(browser_, {50, 1000, 1u << 3});
      k().run_for(3600 * kSec);
      perf_cycles_ += cycles().size();
      for (const auto &q : k().queue_calls()) health_cycles_ += q.wq == "app_health_info";
      k().drop_records();
    }
  }

  int browser_ = 0;
  size_t perf_cycles_ = 0, health_cycles_ = 0;
};

// Twenty processes, a system_server of ten threads at a load of about 30,
// and four watched applications in the background that use CPU.
TEST_F(SteadyState, CyclesAllocateNothingAndMemoryStaysFlatForADay) {
  boot();
  for (int p = 0; p < 20; p++) {
    spawn(200 + p, "proc" + std::to_string(p), sim::u64(p) * kSec);
    k().set_rate(200 + p, {10u + 5u * p, 900, 1u << (p % 8)});
  }
  const int ss = spawn(1000, "system_server", 50 * kSec);
  for (int t = 1; t < 10; t++) spawn(1000 + t, "binder:1000_" + std::to_string(t), 0, 0, ss);
  for (int t = 0; t < 10; t++) k().set_rate(1000 + t, {30, 700, 0xffu});
  const char *apps[] = {"com.whatsapp", "com.pinterest", "com.viber.voip", "droid.launcher3"};
  for (int a = 0; a < 4; a++) {
    spawn(2000 + a, apps[a], 0, 900);
    k().set_rate(2000 + a, {100, 1000, 1u << (4 + a)});
  }
  browser_ = spawn(3000, "ndroid.calendar", 0, 900);
  load();
  k().set_feature(kHealthFeature, 1);
  k().notify_feature_change();
  k().drop_records();  // the first arming of both cycles

  run_to_hour(1);
  const Memory hour = memory();
  run_to_hour(24);
  const Memory day = memory();

  EXPECT_EQ(8640u, perf_cycles_);
  EXPECT_EQ(8640u, health_cycles_);
  // Not one allocation, failed or not, after the first hour.
  EXPECT_EQ(hour.kmalloc.total_calls, day.kmalloc.total_calls);
  EXPECT_EQ(hour.vmalloc.total_calls, day.vmalloc.total_calls);
  // The same blocks alive: the applications' and the threads' records and
  // the health context; the monitor's context and arrays, the name table.
  EXPECT_EQ(hour.kmalloc.live_count, day.kmalloc.live_count);
  EXPECT_EQ(hour.kmalloc.live_bytes, day.kmalloc.live_bytes);
  EXPECT_EQ(hour.vmalloc.live_count, day.vmalloc.live_count);
  EXPECT_EQ(hour.vmalloc.live_bytes, day.vmalloc.live_bytes);
}

}  // namespace
}  // namespace pelk_test

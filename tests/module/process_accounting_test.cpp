// Per-process CPU accounting and the top-ten table of each report.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

class ProcessAccounting : public ModuleHarness {
 protected:
  std::vector<std::string> table_of_cycle(size_t i) {
    auto c = cycles();
    EXPECT_GT(c.size(), i);
    return c.size() > i ? top_table(c[i]) : std::vector<std::string>{};
  }
  static std::vector<std::string> table(std::vector<std::string> rows, int period = 10000, int cpus = 8) {
    rows.insert(rows.begin(), top_header(period, cpus));
    while (rows.size() < 11) rows.push_back(empty_row());
    return rows;
  }
};

// The bound is all the time 8 CPUs give in 10 s: 80 s, inclusive.
TEST_F(ProcessAccounting, FirstCycleRanksLifetimesBelowTheBound) {
  boot();
  spawn(100, "idle_daemon", 0);
  spawn(200, "old_daemon", 100 * kSec);           // older than the bound: left out
  spawn(300, "edge", 80 * kSec);                   // exactly the bound: qualifies
  spawn(301, "over_edge", 80 * kSec + 1);          // one nanosecond more: left out
  spawn(400, "surfaceflinger", 990000000, -800);   // 9, not 10
  spawn(500, "twin_b", 5 * kSec, 900);
  spawn(450, "twin_a", 5 * kSec);                  // equal delta, lower pid first
  sim::TaskSpec kt;
  kt.pid = 600;
  kt.comm = "kworker/u16:2";
  kt.kthread = true;
  kt.stime_ns = 3 * kSec;
  k().spawn(kt);
  load();
  k().run_for(10 * kSec);
  EXPECT_EQ(table({
                top_row(800, 300, "edge", 80000000000ull, 0),
                top_row(50, 450, "twin_a", 5000000000ull, 0),
                top_row(50, 500, "twin_b", 5000000000ull, 900),
                top_row(30, 600, "kworker/u16:2", 3000000000ull, 0),
                top_row(9, 400, "surfaceflinger", 990000000ull, -800),
            }),
            table_of_cycle(0));
  // The literal texts, blanks counted.
  auto t = table_of_cycle(0);
  ASSERT_EQ(11u, t.size());
  EXPECT_EQ("[K]     Usage          PID                        Name          Total:10000(ms)*8       Oom_Score_Adj", t[0]);
  EXPECT_EQ("[K]      800%          300                        edge          80000000000(ns)              0", t[1]);
  EXPECT_EQ("[K]        0%            0                        NULL                    0(ns)              0", t[10]);

  // Second cycle: only what was used in the period counts.
  k().add_cputime(200, 2 * kSec, 0);
  k().add_cputime(301, 0, kSec);
  k().run_for(10 * kSec);
  EXPECT_EQ(table({
                top_row(20, 200, "old_daemon", 2000000000ull, 0),
                top_row(10, 301, "over_edge", 1000000000ull, 0),
            }),
            table_of_cycle(1));
}

// Two of eight possible CPUs online: the bound is 20 s and the header says 2.
TEST_F(ProcessAccounting, BoundAndHeaderCountOnlineCpusOnly) {
  sim::Config cfg;
  cfg.online_cpus = 0x3;
  cfg.uptime_ns = 100 * kSec;
  boot(cfg);
  spawn(100, "edge", 20 * kSec);
  spawn(200, "over_edge", 20 * kSec + 1);
  load();
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(200, 100, "edge", 20000000000ull, 0)}, 10000, 2), table_of_cycle(0));
}

TEST_F(ProcessAccounting, ShowsExactlyTenOfMore) {
  boot();
  for (int i = 1; i <= 12; i++) spawn(1000 + i, strf("app%d", i), sim::u64(i) * kSec);
  load();
  k().run_for(10 * kSec);
  std::vector<std::string> rows;
  for (int i = 12; i >= 3; i--)
    rows.push_back(top_row(sim::u64(i) * 10, 1000 + i, strf("app%d", i).c_str(), sim::u64(i) * kSec, 0));
  EXPECT_EQ(table(rows), table_of_cycle(0));
}

TEST_F(ProcessAccounting, NoProcessesGiveTenEmptyRows) {
  boot();
  load();
  k().run_for(10 * kSec);
  EXPECT_EQ(table({}), table_of_cycle(0));
}

TEST_F(ProcessAccounting, ReusedPidsAreMeasuredFromTheirOwnTotals) {
  boot();
  spawn(500, "first", 5 * kSec);
  spawn(600, "short", 2 * kSec);
  load();
  k().run_for(10 * kSec);
  // Between two cycles both pids pass to new processes: a younger one (less
  // time than stored) and an older one (more).
  k().exit_task(500);
  spawn(500, "younger", 1 * kSec);
  k().exit_task(600);
  spawn(600, "older", 7 * kSec);
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(50, 600, "older", 5000000000ull, 0)}), table_of_cycle(1));
  // From the next cycle on the younger one is measured normally.
  k().add_cputime(500, 2 * kSec, 0);
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(20, 500, "younger", 2000000000ull, 0)}), table_of_cycle(2));
}

TEST_F(ProcessAccounting, PidsWithoutASlotAreNotAccounted) {
  boot();
  spawn(100, "small", 1 * kSec);
  spawn(32767, "last_slot", 2 * kSec);
  spawn(32768, "no_slot", 3 * kSec);
  spawn(40000, "system_server", 4 * kSec);
  load();
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(20, 32767, "last_slot", 2000000000ull, 0),
                   top_row(10, 100, "small", 1000000000ull, 0)}),
            table_of_cycle(0));
}

TEST_F(ProcessAccounting, RestartedSystemServerIsMeasuredUnderItsNewPid) {
  boot();
  spawn(1000, "system_server", 50 * kSec, -900);
  load();
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(500, 1000, "system_server", 50000000000ull, -900)}), table_of_cycle(0));
  k().exit_task(1000);
  spawn(1300, "system_server", 3 * kSec, -900);
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(30, 1300, "system_server", 3000000000ull, -900)}), table_of_cycle(1));
}

// The table runs after the walk; a top process may be gone by then, or its
// pid taken by a newcomer.  The walk's reference is never used for the name.
TEST_F(ProcessAccounting, TopProcessThatChangesBetweenWalkAndTable) {
  boot();
  spawn(500, "leaving", 5 * kSec, 900);
  spawn(600, "staying", 3 * kSec, 100);
  spawn(700, "replaced", 2 * kSec, 200);
  load();
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(50, 500, "leaving", 5000000000ull, 900),
                   top_row(30, 600, "staying", 3000000000ull, 100),
                   top_row(20, 700, "replaced", 2000000000ull, 200)}),
            table_of_cycle(0));

  k().add_cputime(500, kSec, 0);
  k().add_cputime(600, kSec, kSec);
  k().add_cputime(700, 0, kSec / 2);
  // The cycle takes my_semaphore right after the walk and the selection.
  k().on_call("down", 1, [this] {
    k().exit_task(500);
    k().exit_task(700);
    spawn(700, "newcomer", 0, 300);
  });
  k().run_for(10 * kSec);
  EXPECT_EQ(table({top_row(20, 600, "staying", 2000000000ull, 100),
                   top_row(10, 500, "NULL", 1000000000ull, 0),
                   top_row(5, 700, "newcomer", 500000000ull, 300)}),
            table_of_cycle(1));
}

TEST_F(ProcessAccounting, ThreadsCountTowardsTheirProcessIncludingEndedOnes) {
  boot();
  spawn(800, "camera", 0);
  spawn(801, "cam_worker", 0, 0, 800);
  spawn(802, "cam_encoder", 0, 0, 800);
  load();
  sim::CpuRate r;
  r.milli_cpu = 500;
  r.cpus = 0x1;
  k().set_rate(801, r);
  r.cpus = 0x2;
  k().set_rate(802, r);
  k().run_for(6 * kSec);
  k().exit_task(802);  // its 3 s stay with the process
  k().run_for(4 * kSec);
  EXPECT_EQ(table({top_row(80, 800, "camera", 8000000000ull, 0)}), table_of_cycle(0));
}

}  // namespace
}  // namespace pelk_test

// Per-CPU loads with their ring, and the split of the system's CPU time.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

class CpuLoad : public ModuleHarness {
 protected:
  void rate(int pid, unsigned milli, std::uint32_t cpus, unsigned user_permille = 1000) {
    sim::CpuRate r;
    r.milli_cpu = milli;
    r.cpus = cpus;
    r.user_permille = user_permille;
    k().set_rate(pid, r);
  }
  static std::string usage(std::vector<int> l) {
    return strf("[K]  Cpus Usage [%2d], [%2d], [%2d], [%2d], [%2d] [%2d], [%2d], [%2d]", l[0], l[1], l[2],
                l[3], l[4], l[5], l[6], l[7]);
  }
  std::vector<std::string> usage_lines() {
    std::vector<std::string> out;
    for (const auto &c : cycles())
      for (const auto &l : lines_with(c, "[K]  Cpus Usage")) out.push_back(l);
    return out;
  }
  std::vector<std::string> split_lines() {
    std::vector<std::string> out;
    for (const auto &c : cycles()) {
      auto l = lines_with(c, "[K]  user[");
      out.push_back(l.empty() ? "(none)" : l[0]);
    }
    return out;
  }
};

TEST_F(CpuLoad, LoadsOfFourOnlineOfEightPossibleCpus) {
  sim::Config cfg;
  cfg.online_cpus = 0x0f;
  boot(cfg);
  spawn(100, "render", 0);
  spawn(200, "audio", 0);
  rate(100, 500, 0x1);
  rate(200, 250, 0x2, 600);
  sim::CpuExtras irqs;
  irqs.irq = 100;
  irqs.softirq = 100;
  k().set_cpu_extras(2, irqs);
  sim::CpuExtras io;
  io.iowait = 300;  // idle time: no load
  io.nice = 100;
  k().set_cpu_extras(3, io);
  load();
  k().run_for(10 * kSec);
  auto c = last_cycle();
  ASSERT_EQ(std::vector<std::string>{usage({50, 25, 20, 10, 0, 0, 0, 0})}, lines_with(c, "[K]  Cpus Usage"));
  EXPECT_EQ("[K]  Cpus Usage [50], [25], [20], [10], [ 0] [ 0], [ 0], [ 0]", lines_with(c, "[K]  Cpus Usage")[0]);
  // Order inside the block: start, table, loads, overload line, split, done.
  ASSERT_EQ(16u, c.lines.size());
  EXPECT_EQ(usage({50, 25, 20, 10, 0, 0, 0, 0}), c.lines[12]);
  EXPECT_EQ("freeze_cpustat_zeb is effective", c.lines[13]);
  EXPECT_EQ(0u, c.lines[14].rfind("[K]  user[", 0));
  // 4 CPUs over 10 s: user 5 + 1.5 + nice 1, system 1, iowait 3, irq 2, idle the rest.
  EXPECT_EQ("[K]  user[18],system[02],iowait[07],irq[05],idle[66]", c.lines[14]);
}

TEST_F(CpuLoad, FirstLoadIsTheShareSinceBoot) {
  sim::Config cfg;
  cfg.possible_cpus = cfg.online_cpus = 0x3;
  boot(cfg);
  spawn(100, "boot_work", 0);
  rate(100, 1000, 0x2);
  k().run_for(30 * kSec);
  rate(100, 0, 0x2);
  k().run_for(60 * kSec);
  load();  // at 90 s: CPU 1 was busy for 30 of them
  k().run_for(10 * kSec);
  EXPECT_EQ((std::vector<std::string>{usage({0, 30, 0, 0, 0, 0, 0, 0})}), usage_lines());
  // The split covers only the time since loading.
  EXPECT_EQ((std::vector<std::string>{"[K]  user[00],system[00],iowait[00],irq[00],idle[100]"}), split_lines());
}

// Idle and iowait come from the idle tracking of online CPUs that answer;
// otherwise from the cumulative counters.
TEST_F(CpuLoad, IdleRuleForOfflineCpusAndFailingQueries) {
  boot();
  spawn(100, "w1", 0);
  spawn(200, "w2", 0);
  rate(100, 500, 0x4);
  rate(200, 250, 0x2);
  sim::CpuExtras io;
  io.iowait = 250;
  k().set_cpu_extras(2, io);
  k().run_for(10 * kSec);
  rate(100, 0, 0x4);
  k().set_cpu_extras(2, sim::CpuExtras());
  k().set_cpu_online(2, false);
  k().set_idle_tracking_us(2, 0, 0);  // neither query may be asked: the CPU is offline
  k().set_idle_query_fails(1, true);
  load();
  k().run_for(10 * kSec);
  // CPU 1: 5 s busy of 20; CPU 2: 5 s busy of its 10 online seconds (2.5 s
  // of the rest idle, 2.5 s iowait).
  EXPECT_EQ((std::vector<std::string>{usage({0, 25, 50, 0, 0, 0, 0, 0})}), usage_lines());
  // With no time accounted since, an offline CPU's load is 0.
  k().run_for(10 * kSec);
  EXPECT_EQ((std::vector<std::string>{usage({0, 25, 50, 0, 0, 0, 0, 0}), usage({0, 25, 0, 0, 0, 0, 0, 0})}),
            usage_lines());
}

TEST_F(CpuLoad, CyclesLessThanATickApartGiveZero) {
  boot();
  spawn(100, "spin", 0);
  rate(100, 500, 0x1);
  k().run_for(10 * kSec);
  load("kmonitor_delay=0");
  // The first cycle comes at once; each re-arms with no delay.
  k().run_for(8 * kMs);
  auto lines = usage_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(usage({50, 0, 0, 0, 0, 0, 0, 0}), lines[0]);
  EXPECT_EQ(usage({0, 0, 0, 0, 0, 0, 0, 0}), lines[1]);
}

TEST_F(CpuLoad, CpusNumberedEightAndAboveAreLeftOut) {
  sim::Config cfg;
  cfg.possible_cpus = cfg.online_cpus = 0xfff;
  boot(cfg);
  spawn(100, "low", 0);
  spawn(200, "high", 0);
  rate(100, 400, 0x2);
  rate(200, 1000, 0x800);  // CPU 11
  load();
  k().run_for(10 * kSec);
  auto c = last_cycle();
  EXPECT_EQ(std::vector<std::string>{usage({0, 40, 0, 0, 0, 0, 0, 0})}, lines_with(c, "[K]  Cpus Usage"));
  EXPECT_EQ(1u, lines_with(c, top_header(10000, 12)).size());
  // The split counts every possible CPU: 14 s of user time in 120.
  EXPECT_EQ(std::vector<std::string>{"[K]  user[11],system[00],iowait[00],irq[00],idle[88]"},
            lines_with(c, "[K]  user["));
}

// The split on one CPU whose counters the test sets right before each report.
TEST_F(CpuLoad, SplitTruncatesClampsIdleAndWrapsTheRest) {
  sim::Config cfg;
  cfg.possible_cpus = cfg.online_cpus = 0x1;
  boot(cfg);
  load();
  struct Counters {
    sim::u64 user, nice, system, softirq, irq, idle, iowait, steal, guest, guest_nice;
  };
  const Counters steps[] = {
      {1, 0, 1, 0, 0, 1, 0, 0, 0, 0},   // 1, 1 and 1 ticks
      {3, 0, 1, 0, 0, 0, 0, 0, 0, 0},   // idle steps back: counts 0
      {4, 0, 0, 0, 0, 1, 0, 0, 0, 0},   // system steps back: wraps
      {4, 1, 0, 1, 1, 1, 1, 1, 1, 5},   // nice, irqs, iowait, steal and guest
      {4, 1, 0, 1, 1, 1, 1, 1, 1, 5},   // nothing moved: no line
  };
  std::vector<std::string> reads;
  for (const auto &s : steps) {
    k().on_call("down", 1, [this, s] {
      const sim::u64 v[] = {s.user, s.nice, s.system, s.softirq, s.irq, s.idle, s.iowait, s.steal, s.guest, s.guest_nice};
      for (int i = 0; i < sim::kNrStats; i++) k().set_cpustat(0, i, v[i] * kTick);
    });
    k().run_for(10 * kSec);
    reads.push_back(proc());
  }
  EXPECT_EQ((std::vector<std::string>{
                "[K]  user[33],system[33],iowait[00],irq[00],idle[33]",
                "[K]  user[100],system[00],iowait[00],irq[00],idle[00]",
                "[K]  user[100],system[-100],iowait[00],irq[00],idle[100]",
                "[K]  user[16],system[00],iowait[16],irq[33],idle[33]",
                "(none)",
            }),
            split_lines());
  // The proc file shows the wrapped split as the log line does, signed.
  EXPECT_EQ("100, -100, 00, 00, 100, ", reads[2].substr(0, 24));
  // A cycle with no time keeps the previous split for the proc file.
  EXPECT_EQ("16, 00, 16, 33, 33, ", reads[4].substr(0, 20));
}

// Sub-tick remainders of several CPUs add up before the split converts them:
// 4 x 5 ms of user time are 2 ticks and 4 x 7.5 ms of idle 3, though no CPU
// has a whole tick of either.
TEST_F(CpuLoad, SplitSumsNanosecondsBeforeConvertingToTicks) {
  sim::Config cfg;
  cfg.possible_cpus = cfg.online_cpus = 0xf;
  boot(cfg);
  load();
  k().on_call("down", 1, [this] {
    for (int cpu = 0; cpu < 4; cpu++) {
      for (int i = 0; i < sim::kNrStats; i++) k().set_cpustat(cpu, i, 0);
      k().set_cpustat(cpu, sim::kUser, 5 * kMs);
      k().set_cpustat(cpu, sim::kIdle, 7500000);
    }
  });
  k().run_for(10 * kSec);
  EXPECT_EQ((std::vector<std::string>{"[K]  user[40],system[00],iowait[00],irq[00],idle[60]"}), split_lines());
}

// The per-CPU arithmetic on one CPU whose counters the test sets right before
// each report: busy time converted on its own, a divisor cut to 32 bits, and
// counters that step back wrapping.
TEST_F(CpuLoad, PerCpuArithmeticFollowsTheCountersExactly) {
  sim::Config cfg;
  cfg.possible_cpus = cfg.online_cpus = 0x1;
  boot(cfg);
  load();
  const sim::u64 ms = kMs;
  struct Step {
    sim::u64 user_ns, idle_ns;
    const char *load;
  } steps[] = {
      // 15 ms in all is 1 tick, the 9 busy ms are 0 ticks (not 1 - 0).
      {9 * ms, 6 * ms, " 0"},
      // 2 ticks, 2 busy: a busy delta of 2 in a total delta of 1.
      {20 * ms, 0, "200"},
      // A total delta of 2^32 + 2 ticks divides as 2.
      {30 * ms, (4294967297ull) * kTick, "50"},
      // Both step back and wrap.
      {10 * ms, 0, "4294967298"},
  };
  std::vector<std::string> expected;
  for (const auto &s : steps) {
    k().on_call("down", 1, [this, s] {
      for (int i = 0; i < sim::kNrStats; i++) k().set_cpustat(0, i, 0);
      k().set_cpustat(0, sim::kUser, s.user_ns);
      k().set_cpustat(0, sim::kIdle, s.idle_ns);
    });
    k().run_for(10 * kSec);
    expected.push_back(strf("[K]  Cpus Usage [%s], [ 0], [ 0], [ 0], [ 0] [ 0], [ 0], [ 0]", s.load));
  }
  EXPECT_EQ(expected, usage_lines());
}

}  // namespace
}  // namespace pelk_test

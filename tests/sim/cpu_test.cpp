// CPU time accounting: rates, extras, scaling, offline CPUs, idle tracking.
#include "sim_test_util.h"

namespace {
using namespace simtest;

struct RateCase {
  const char *what;
  std::vector<sim::CpuRate> threads;  // one process each
  sim::u64 run_ns;
  // per CPU 0..3: user, system, idle
  std::vector<std::array<sim::u64, 3>> cpu;
  std::vector<std::pair<sim::u64, sim::u64>> task;  // utime, stime
};

TEST(CpuAccounting, RatesGiveExactCounters) {
  const RateCase cases[] = {
      {"half a CPU, all user", {{500, 1000, 1}}, kSec,
       {{500 * kMs, 0, 500 * kMs}, {0, 0, kSec}, {0, 0, kSec}, {0, 0, kSec}}, {{500 * kMs, 0}}},
      {"user and system split", {{800, 250, 2}}, kSec,
       {{0, 0, kSec}, {200 * kMs, 600 * kMs, 200 * kMs}, {0, 0, kSec}, {0, 0, kSec}}, {{200 * kMs, 600 * kMs}}},
      {"spread over two CPUs", {{1500, 1000, 0x3}}, kSec,
       {{750 * kMs, 0, 250 * kMs}, {750 * kMs, 0, 250 * kMs}, {0, 0, kSec}, {0, 0, kSec}}, {{1500 * kMs, 0}}},
      {"over-committed CPU scales down", {{1000, 1000, 1}, {3000, 0, 1}}, kSec,
       {{250 * kMs, 750 * kMs, 0}, {0, 0, kSec}, {0, 0, kSec}, {0, 0, kSec}}, {{250 * kMs, 0}, {0, 750 * kMs}}},
      {"thirds carry their remainders", {{1000, 1000, 0x7}}, 3 * kSec,
       {{kSec, 0, 2 * kSec}, {kSec, 0, 2 * kSec}, {kSec, 0, 2 * kSec}, {0, 0, 3 * kSec}}, {{3 * kSec, 0}}},
      {"mask 0 means CPU 0", {{100, 1000, 0}}, kSec,
       {{100 * kMs, 0, 900 * kMs}, {0, 0, kSec}, {0, 0, kSec}, {0, 0, kSec}}, {{100 * kMs, 0}}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    sim::Config cfg;
    cfg.possible_cpus = cfg.online_cpus = 0xf;
    sim::Kernel kern(cfg);
    std::vector<int> pids;
    for (auto &r : c.threads) {
      int pid = kern.spawn({0, 0, "t"});
      kern.set_rate(pid, r);
      pids.push_back(pid);
    }
    kern.run_for(c.run_ns);
    for (int cpu = 0; cpu < 4; cpu++) {
      SCOPED_TRACE(cpu);
      EXPECT_EQ(c.cpu[cpu][0], kern.cpustat(cpu, sim::kUser));
      EXPECT_EQ(c.cpu[cpu][1], kern.cpustat(cpu, sim::kSystem));
      EXPECT_EQ(c.cpu[cpu][2], kern.cpustat(cpu, sim::kIdle));
    }
    k::rcu_read_lock();
    for (size_t i = 0; i < pids.size(); i++) {
      unsigned long long u, s;
      k::thread_group_cputime_adjusted(k::find_task_by_vpid(pids[i]), &u, &s);
      EXPECT_EQ(c.task[i].first, u);
      EXPECT_EQ(c.task[i].second, s);
    }
    k::rcu_read_unlock();
    EXPECT_TRUE(kern.violations().empty());
  }
}

TEST(CpuAccounting, ManySmallStepsDoNotDrift) {
  sim::Kernel kern;
  int pid = kern.spawn({0, 0, "t"});
  kern.set_rate(pid, {333, 1000, 0x7});
  for (int i = 0; i < 3000; i++) kern.run_for(kMs / 3 + (i % 3 == 0));
  // 3000 steps of 333333 or 333334 ns: exactly 1 s.
  ASSERT_EQ(kSec, kern.monotonic_ns());
  sim::u64 busy = 0, total = 0;
  for (int c = 0; c < 3; c++) {
    busy += kern.cpustat(c, sim::kUser);
    total += kern.cpustat(c, sim::kUser) + kern.cpustat(c, sim::kIdle);
  }
  EXPECT_EQ(333 * kMs, busy);
  EXPECT_GE(total, 3 * kSec - 3);
  EXPECT_LE(total, 3 * kSec);
  k::rcu_read_lock();
  unsigned long long u, s;
  k::task_cputime(k::find_task_by_vpid(pid), &u, &s);
  k::rcu_read_unlock();
  EXPECT_EQ(busy, u);
  EXPECT_EQ(0u, s);
}

TEST(CpuAccounting, ExtrasAndIdleTracking) {
  sim::Kernel kern;
  sim::CpuExtras x;
  x.irq = 100;
  x.iowait = 200;
  x.softirq = 50;
  x.steal = 10;
  kern.set_cpu_extras(1, x);
  kern.run_for(kSec);
  EXPECT_EQ(100 * kMs, kern.cpustat(1, sim::kIrq));
  EXPECT_EQ(200 * kMs, kern.cpustat(1, sim::kIowait));
  EXPECT_EQ(50 * kMs, kern.cpustat(1, sim::kSoftirq));
  EXPECT_EQ(10 * kMs, kern.cpustat(1, sim::kSteal));
  EXPECT_EQ(640 * kMs, kern.cpustat(1, sim::kIdle));
  EXPECT_EQ(640000u, k::get_cpu_idle_time_us(1, nullptr));
  EXPECT_EQ(200000u, k::get_cpu_iowait_time_us(1, nullptr));
  k::kernel_cpustat st;
  k::kcpustat_cpu_fetch(&st, 1);
  for (int i = 0; i < sim::kNrStats; i++) EXPECT_EQ(kern.cpustat(1, i), st.cpustat[i]) << i;

  kern.set_idle_tracking_us(1, 5, 6);
  EXPECT_EQ(5u, k::get_cpu_idle_time_us(1, nullptr));
  EXPECT_EQ(6u, k::get_cpu_iowait_time_us(1, nullptr));
  EXPECT_EQ(640 * kMs, kern.cpustat(1, sim::kIdle));
  kern.set_cpustat(1, sim::kIdle, 640 * kMs + 7000);
  EXPECT_EQ(12u, k::get_cpu_idle_time_us(1, nullptr));

  kern.set_idle_query_fails(2, true);
  EXPECT_EQ((sim::u64)-1, k::get_cpu_idle_time_us(2, nullptr));
  EXPECT_EQ((sim::u64)-1, k::get_cpu_iowait_time_us(2, nullptr));
  EXPECT_EQ(kSec / 1000, k::get_cpu_idle_time_us(3, nullptr));
}

TEST(CpuAccounting, OfflineCpusAccrueNothing) {
  sim::Config cfg;
  cfg.possible_cpus = 0xf;
  cfg.online_cpus = 0x5;
  sim::Kernel kern(cfg);
  EXPECT_EQ(4u, k::num_possible_cpus());
  EXPECT_EQ(2u, k::num_online_cpus());
  EXPECT_TRUE(k::cpu_possible(1));
  EXPECT_FALSE(k::cpu_online(1));
  EXPECT_FALSE(k::cpu_possible(4));
  int pid = kern.spawn({0, 0, "t"});
  kern.set_rate(pid, {1000, 1000, 0x3});  // CPU 1 offline: all on CPU 0
  kern.run_for(kSec);
  EXPECT_EQ(kSec, kern.cpustat(0, sim::kUser));
  EXPECT_EQ(0u, kern.cpustat(1, sim::kUser) + kern.cpustat(1, sim::kIdle));
  EXPECT_EQ(kSec, kern.cpustat(2, sim::kIdle));
  // Offline CPUs still answer the idle query from their (frozen) tracking.
  EXPECT_EQ(0u, k::get_cpu_idle_time_us(1, nullptr));
  kern.set_cpu_online(1, true);
  kern.run_for(kSec);
  EXPECT_EQ(1500 * kMs, kern.cpustat(0, sim::kUser));
  EXPECT_EQ(500 * kMs, kern.cpustat(1, sim::kUser));
}

TEST(CpuAccounting, AddCputimeIsImmediate) {
  sim::Kernel kern;
  int pid = kern.spawn({0, 0, "t", 0, false, 5, 6});
  kern.add_cputime(pid, 100, 200, 3);
  EXPECT_EQ(100u, kern.cpustat(3, sim::kUser));
  EXPECT_EQ(200u, kern.cpustat(3, sim::kSystem));
  k::rcu_read_lock();
  unsigned long long u, s;
  k::task_cputime(k::find_task_by_vpid(pid), &u, &s);
  k::rcu_read_unlock();
  EXPECT_EQ(105u, u);
  EXPECT_EQ(206u, s);
}

// Time a task used before it was created ran on the online CPUs instead of
// idling; guest time is user time too, as the kernel accounts it.
TEST(CpuAccounting, PastTimeComesOutOfIdleAndGuestIsUser) {
  sim::Config cfg;
  cfg.possible_cpus = 0xf;
  cfg.online_cpus = 0x7;
  cfg.uptime_ns = 100 * kSec;
  sim::Kernel kern(cfg);
  kern.spawn({0, 0, "old", 0, false, 30 * kSec + 2, 3 * kSec});
  EXPECT_EQ(10 * kSec + 2, kern.cpustat(0, sim::kUser));  // the remainder on the first CPU
  EXPECT_EQ(10 * kSec, kern.cpustat(1, sim::kUser));
  EXPECT_EQ(1 * kSec, kern.cpustat(2, sim::kSystem));
  EXPECT_EQ(89 * kSec - 2, kern.cpustat(0, sim::kIdle));
  EXPECT_EQ(89 * kSec, kern.cpustat(2, sim::kIdle));
  EXPECT_EQ(89000000u, k::get_cpu_idle_time_us(2, nullptr));
  EXPECT_EQ(0u, kern.cpustat(3, sim::kUser));
  // More than a CPU's idle time: idle stops at 0.
  kern.add_cputime(1, 0, 0, 0);
  int big = kern.spawn({0, 0, "huge", 0, false, 600 * kSec, 0});
  ASSERT_GT(big, 0);
  EXPECT_EQ(0u, kern.cpustat(0, sim::kIdle));

  sim::CpuExtras x;
  x.guest = 100;
  x.guest_nice = 50;
  kern.set_cpu_extras(2, x);
  sim::u64 user = kern.cpustat(2, sim::kUser), nice = kern.cpustat(2, sim::kNice);
  kern.run_for(kSec);
  EXPECT_EQ(100 * kMs, kern.cpustat(2, sim::kGuest));
  EXPECT_EQ(user + 100 * kMs, kern.cpustat(2, sim::kUser));
  EXPECT_EQ(50 * kMs, kern.cpustat(2, sim::kGuestNice));
  EXPECT_EQ(nice + 50 * kMs, kern.cpustat(2, sim::kNice));
}

}  // namespace

// The sustained-overload report: three overloaded cycles in a row after 101 s
// of boot time, at most three reports a day window, 600 monotonic seconds apart.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

constexpr int kHog = 3000;

class OverloadReport : public ModuleHarness {
 protected:
  // A machine whose boot-time clock starts at `boot_sec` (spent in suspend
  // before the monotonic clock starts), with a "benchmark" process that has
  // one thread per CPU.
  void start(sim::u64 boot_sec, std::uint32_t online = 0xff, const char *params = "") {
    sim::Config cfg;
    cfg.online_cpus = online;
    cfg.suspended_ns = boot_sec * kSec;
    boot(cfg);
    spawn(kHog, "benchmark");
    for (int i = 1; i < 8; i++) spawn(kHog + i, "bench", 0, 0, kHog);
    load(params);
  }
  // Each CPU i busy loads[i] per cent of the time from now on.
  void hog(const std::vector<unsigned> &loads) {
    for (int i = 0; i < 8; i++) {
      sim::CpuRate r;
      r.milli_cpu = loads[i] * 10;
      r.cpus = 1u << i;
      k().set_rate(kHog + i, r);
    }
  }
  void hog_all(unsigned load) { hog(std::vector<unsigned>(8, load)); }
  void zeb(bool on) {
    k().set_feature(kZebFeature, on ? 1 : 0);
    k().notify_feature_change();
  }
  // The reports so far: monotonic second, then the four arguments.
  std::vector<std::string> reports() const {
    std::vector<std::string> out;
    for (const auto &r : k_->event_reports())
      out.push_back(strf("%llu %s %d %d \"%s\"", (unsigned long long)(r.ts_ns / kSec), r.event_code.c_str(),
                         r.value, r.pid, r.text.c_str()));
    return out;
  }
  static std::string report(unsigned long long sec, int pid = kHog) {
    return strf("%llu 0xffffff26 33824806 %d \"\"", sec, pid);
  }
};

// Boot time 71 s at the start: the cycles at 81 and 91 s do not count; the
// one at 101 s does, so the third counted cycle is at 121 s.
TEST_F(OverloadReport, CountsFrom101SecondsOfBootTime) {
  start(71);
  zeb(true);
  hog_all(99);
  for (int i = 0; i < 4; i++) {
    k().run_for(10 * kSec);
    EXPECT_EQ(std::vector<std::string>{}, reports()) << "cycle " << i + 1;
  }
  k().run_for(10 * kSec);
  EXPECT_EQ(std::vector<std::string>{report(50)}, reports());

  // The line of every cycle, between the per-CPU loads and the split.
  for (const auto &c : cycles()) {
    ASSERT_GE(c.lines.size(), 3u);
    auto it = std::find(c.lines.begin() + 1, c.lines.end() - 1, "freeze_cpustat_zeb is effective");
    ASSERT_NE(c.lines.end() - 1, it);
    EXPECT_EQ(0u, (it - 1)->rfind("[K]  Cpus Usage", 0));
    EXPECT_EQ(0u, (it + 1)->rfind("[K]  user[", 0));
  }
  EXPECT_EQ("<6>freeze_cpustat_zeb is effective\n", logged("freeze_cpustat_zeb"));
}

// The threshold is 98 per online CPU against the sum of all eight loads.
TEST_F(OverloadReport, ThresholdPerOnlineCpu) {
  struct Case {
    std::uint32_t online;
    std::vector<unsigned> loads;
    bool reported;
  } cases[] = {
      {0xff, {100, 100, 100, 100, 100, 100, 100, 84}, true},   // 784
      {0xff, {100, 100, 100, 100, 100, 100, 100, 83}, false},  // 783
      {0x0f, {100, 100, 100, 92, 0, 0, 0, 0}, true},           // 392 of 4 online
      {0x0f, {100, 100, 100, 91, 0, 0, 0, 0}, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.loads[7] + c.loads[3]);
    start(200, c.online);
    zeb(true);
    hog(c.loads);
    k().run_for(30 * kSec);
    EXPECT_EQ(c.reported ? std::vector<std::string>{report(30)} : std::vector<std::string>{}, reports());
  }
}

TEST_F(OverloadReport, BrokenStreakStartsAgain) {
  start(200);
  zeb(true);
  struct Step {
    unsigned load;
    size_t reports;
  } steps[] = {{99, 0}, {99, 0}, {97, 0}, {99, 0}, {99, 0}, {99, 1}};
  for (const auto &s : steps) {
    hog_all(s.load);
    k().run_for(10 * kSec);
    EXPECT_EQ(s.reports, reports().size());
  }
  EXPECT_EQ(std::vector<std::string>{report(60)}, reports());
}

// Continuous overload with a 100-second period: a trigger every third cycle,
// spaced and budgeted; a day window (on boot time from the first cycle at
// 300 s) ends at the cycle of boot second 86800, which restarts the streak.
TEST_F(OverloadReport, ContinuousOverloadOverDayWindows) {
  struct Case {
    const char *name;
    sim::u64 switch_on_at;  // monotonic second
    sim::u64 run_to;
    std::vector<std::string> reports;
  } cases[] = {
      {"switch on", 0, 87000, {report(300), report(900), report(1500), report(86800)}},
      // Off at the first trigger: it uses up one of the day's three.
      {"switch on later", 600, 2500, {report(900), report(1500)}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    start(200, 0xff, "kmonitor_delay=100000");
    hog_all(99);
    if (c.switch_on_at) k().run_until(c.switch_on_at * kSec);
    zeb(true);
    k().run_until(c.run_to * kSec);
    EXPECT_EQ(c.reports, reports());
  }
}

// Cycles every second, the one at 599 s below the threshold: the trigger at
// 602 s comes 599 s after the report at 3 s and is dropped, 605 s reports;
// so does the trigger at 1205 s, 600 s after it.
TEST_F(OverloadReport, SpacingIs600MonotonicSeconds) {
  start(200, 0xff, "kmonitor_delay=1000");
  zeb(true);
  hog_all(99);
  k().run_until(598 * kSec + 1);
  hog_all(90);
  k().run_until(599 * kSec + 1);
  hog_all(99);
  k().run_until(1206 * kSec);
  EXPECT_EQ((std::vector<std::string>{report(3), report(605), report(1205)}), reports());
}

// No process takes the time (interrupts do): top[0] is 0 and so is the pid.
TEST_F(OverloadReport, EmptyTopPassesPidZero) {
  start(200);
  zeb(true);
  sim::CpuExtras x;
  x.irq = 990;
  for (int i = 0; i < 8; i++) k().set_cpu_extras(i, x);
  k().run_for(30 * kSec);
  EXPECT_EQ(std::vector<std::string>{report(30, 0)}, reports());
}

// A day in suspend after the budget is spent: the window ends at the first
// cycle after resume (boot time), but the spacing counts only monotonic
// seconds, so the trigger at 1800 s is dropped and the one at 2100 s reports.
TEST_F(OverloadReport, LongSuspendEndsTheWindowButNotTheSpacing) {
  start(200, 0xff, "kmonitor_delay=100000");
  zeb(true);
  hog_all(99);
  k().run_until(1550 * kSec);
  EXPECT_EQ((std::vector<std::string>{report(300), report(900), report(1500)}), reports());
  k().suspend(86400 * kSec);
  k().run_until(2150 * kSec);
  EXPECT_EQ((std::vector<std::string>{report(300), report(900), report(1500), report(2100)}), reports());
}

}  // namespace
}  // namespace pelk_test

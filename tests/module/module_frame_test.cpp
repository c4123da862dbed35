// Loading, the kmonitor_delay parameter, the feature switches, the timing of
// the performance cycle, set-up failures and a complete unload.
#include <algorithm>
#include <cctype>

#include "module/module_harness.h"

namespace pelk_test {
namespace {

using sim::Fault;

class ModuleFrame : public ModuleHarness {
 protected:
  // "[K] Success to create pelk_perf_monitor_wq (0x<16 hex digits>)." whatever the %p id.
  static bool is_wq_created_line(const std::string &t) {
    const std::string head = "[K] Success to create pelk_perf_monitor_wq (0x", tail = ").";
    if (t.size() != head.size() + 16 + tail.size() || t.rfind(head, 0) != 0) return false;
    if (t.compare(head.size() + 16, tail.size(), tail) != 0) return false;
    for (size_t i = head.size(); i < head.size() + 16; i++)
      if (!std::isdigit((unsigned char)t[i]) && (t[i] < 'a' || t[i] > 'f')) return false;
    return true;
  }
  std::vector<sim::WorkQueueCall> perf_queue_calls() const {
    std::vector<sim::WorkQueueCall> out;
    for (const auto &c : k_->queue_calls())
      if (c.wq == "pelk_perf_monitor_wq") out.push_back(c);
    return out;
  }
};

TEST_F(ModuleFrame, StartsInOrderWithItsLines) {
  boot();
  load();
  const auto &log = k().log();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("pelk_cpu_monitor_init", log[0].text);
  EXPECT_FALSE(log[0].newline);
  EXPECT_EQ(4, log[0].level);  // no level of its own
  // The health watch starts before the performance monitor.
  EXPECT_EQ("pelk_health init!", log[1].text);
  EXPECT_TRUE(log[1].newline);
  EXPECT_EQ(6, log[1].level);
  EXPECT_TRUE(is_wq_created_line(log[2].text)) << log[2].text;
  EXPECT_EQ(6, log[2].level);

  // Health switch asked first, the ZEB switch after the monitor.
  auto q = k().feature_queries();
  ASSERT_EQ(2u, q.size());
  EXPECT_EQ(kHealthFeature, q[0].first);
  EXPECT_EQ(kZebFeature, q[1].first);
  EXPECT_EQ(2, k().notifier_count());
  EXPECT_TRUE(k().proc_exists(kProcFile));
  EXPECT_EQ(0xFFFu, k().proc_mode(kProcFile) & 0xFFFu);

  auto pending = k().pending_works();
  ASSERT_EQ(2u, pending.size());
  EXPECT_EQ("app_health_info", pending[0].wq);
  EXPECT_EQ(0, pending[0].cpu);
  EXPECT_EQ(2500u, pending[0].expiry_jiffies);
  EXPECT_EQ("pelk_perf_monitor_wq", pending[1].wq);
  EXPECT_EQ(0, pending[1].cpu);
  EXPECT_EQ(2500u, pending[1].expiry_jiffies);
}

// The parts start in their order: the health switch, the health watch with
// its first cycle, the proc file, the monitor with its first cycle, the ZEB
// switch, and last the loading device.
TEST_F(ModuleFrame, PartsStartInOrder) {
  boot();
  std::vector<std::string> calls;
  for (const char *f : {"printk", "is_tid_enable", "register_ferrow_notifier", "alloc_workqueue",
                        "queue_delayed_work_on"})
    for (int nth : {1, 2, 3}) k().on_call(f, nth, [&calls, f] { calls.push_back(f); });
  for (const char *f : {"proc_mkdir", "proc_create", "misc_register", "kobject_uevent"})
    k().on_call(f, 1, [&calls, f] { calls.push_back(f); });
  load();
  EXPECT_EQ((std::vector<std::string>{"printk", "is_tid_enable", "register_ferrow_notifier", "printk",
                                      "alloc_workqueue", "queue_delayed_work_on", "proc_mkdir", "proc_create",
                                      "alloc_workqueue", "printk", "queue_delayed_work_on", "is_tid_enable",
                                      "register_ferrow_notifier", "misc_register", "kobject_uevent"}),
            calls);
  ASSERT_EQ(0, k().rmmod(kModule));  // no hook may outlive `calls`
}

TEST_F(ModuleFrame, SwitchesStayFalseUntilTheFirstNotification) {
  boot();
  k().set_feature(kHealthFeature, 1);
  k().set_feature(kZebFeature, 1);
  load();
  k().run_for(11 * kSec);
  for (const auto &t : texts()) EXPECT_EQ(std::string::npos, t.find("is_HEALTH_enable")) << t;

  struct Step {
    int health_answer;
    const char *line;
  } steps[] = {
      {1, "is_HEALTH_enable is true"},
      {0, "is_HEALTH_enable is false"},
      {2, "is_HEALTH_enable is false"},  // only exactly 1 is enabled
      {-1, "is_HEALTH_enable is false"},
      {1, "is_HEALTH_enable is true"},
  };
  for (const auto &s : steps) {
    size_t before = k().log().size();
    size_t queries = k().feature_queries().size();
    k().set_feature(kHealthFeature, s.health_answer);
    k().notify_feature_change(7);
    ASSERT_EQ(before + 1, k().log().size());
    EXPECT_EQ(std::string("<6>") + s.line, logged(s.line, before));
    // Each callback asks the service again for its own feature.
    auto q = k().feature_queries();
    ASSERT_EQ(queries + 2, q.size());
    EXPECT_EQ((std::pair<sim::u64, int>(kHealthFeature, s.health_answer)), q[queries + 0]);
    EXPECT_EQ(kZebFeature, q[queries + 1].first);
  }
}

// The ZEB switch too is what the service answered at its last notification,
// and only an answer of exactly 1 turns it on.  One online CPU busy all the
// time, a 100 s period: a report is due at 300 s and, 600 s later, at 900 s;
// one held back by the switch uses up its turn all the same.
TEST_F(ModuleFrame, ZebSwitchFollowsOnlyItsNotifications) {
  struct Case {
    const char *what;
    std::vector<std::pair<sim::u64, int>> answers;  // monotonic second, the service's answer then
    std::vector<sim::u64> reports;                  // monotonic seconds
  } cases[] = {
      {"enabled before loading, never notified", {}, {}},
      {"answers 2", {{50, 2}}, {}},
      {"answers 1", {{50, 1}}, {300, 900}},
      {"answers -1 before the second", {{50, 1}, {600, -1}}, {300}},
      {"answers 1 only for the second", {{50, 0}, {600, 1}}, {900}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    sim::Config cfg;
    cfg.online_cpus = 0x1;
    cfg.suspended_ns = 200 * kSec;  // boot time is past 101 s from the first cycle on
    boot(cfg);
    spawn(3000, "benchmark");
    sim::CpuRate busy;
    busy.milli_cpu = 1000;
    k().set_rate(3000, busy);
    k().set_feature(kZebFeature, 1);
    load("kmonitor_delay=100000");
    for (const auto &a : c.answers) {
      k().run_until(a.first * kSec);
      k().set_feature(kZebFeature, a.second);
      k().notify_feature_change();
    }
    k().run_until(1000 * kSec);
    std::vector<std::string> got, want;
    for (const auto &r : k().event_reports())
      got.push_back(strf("%llu %s %d %d \"%s\"", (unsigned long long)(r.ts_ns / kSec), r.event_code.c_str(),
                         r.value, r.pid, r.text.c_str()));
    for (sim::u64 at : c.reports) want.push_back(strf("%llu 0xffffff26 33824806 3000 \"\"", (unsigned long long)at));
    EXPECT_EQ(want, got);
    ASSERT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

TEST_F(ModuleFrame, FirstCycleComesOnePeriodAfterLoading) {
  sim::Config cfg;
  cfg.uptime_ns = 3600 * kSec;
  boot(cfg);
  load();
  k().run_for(10 * kSec - 1);
  EXPECT_TRUE(cycles().empty());
  k().run_for(1);
  auto c = cycles();
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(3610 * kSec, c[0].ts_ns);
  EXPECT_EQ("[K][Perf] PELK Perf Statistic done", c[0].lines.back());
  // Re-armed first: the queue call of the cycle comes before its start line.
  auto calls = perf_queue_calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(2500u, calls[1].delay);
  EXPECT_EQ(0, calls[1].cpu);
  EXPECT_EQ(3610 * kSec, calls[1].ts_ns);
  for (const auto &r : k().log())
    if (r.text.rfind("[K][Perf] PELK Perf Statistic start", 0) == 0) {
      EXPECT_LT(calls[1].seq, r.seq);
    }
}

TEST_F(ModuleFrame, StartLineShowsLocalTime) {
  struct Case {
    sim::s64 wall;
    int minutes_west;
    const char *line;
  } cases[] = {
      // 2026-12-07 23:59:50 UTC; the cycle comes 10 s later.
      {1796687990, 0, "[K][Perf] PELK Perf Statistic start (12-08 00:00:00)"},
      {1796687990, -480, "[K][Perf] PELK Perf Statistic start (12-08 08:00:00)"},
      {1796687990, 300, "[K][Perf] PELK Perf Statistic start (12-07 19:00:00)"},
      // 2028-02-29 12:34:46 UTC, a leap day.
      {1835440486, 0, "[K][Perf] PELK Perf Statistic start (02-29 12:34:56)"},
  };
  for (const auto &c : cases) {
    sim::Config cfg;
    cfg.wall_start_sec = c.wall;
    cfg.tz_minuteswest = c.minutes_west;
    boot(cfg);
    load();
    k().run_for(10 * kSec);
    EXPECT_EQ(c.line, last_cycle().lines.front());
    EXPECT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

TEST_F(ModuleFrame, PeriodChangeAppliesAtTheNextRearming) {
  boot();
  load("kmonitor_delay=5000");
  std::string v;
  ASSERT_EQ(0, k().param_read(kModule, "kmonitor_delay", &v));
  EXPECT_EQ("5000\n", v);
  k().run_for(5 * kSec);
  ASSERT_EQ(1u, cycles().size());

  // The cycle already queued keeps its delay; the one after uses the new one.
  spawn(100, "app");
  sim::CpuRate busy;
  busy.milli_cpu = 1000;
  k().set_rate(100, busy);
  ASSERT_EQ(0, k().param_write(kModule, "kmonitor_delay", "2000"));
  k().run_for(7 * kSec);
  auto c = cycles();
  ASSERT_EQ(3u, c.size());
  EXPECT_EQ(5 * kSec, c[0].ts_ns);
  EXPECT_EQ(10 * kSec, c[1].ts_ns);
  EXPECT_EQ(12 * kSec, c[2].ts_ns);
  // The period is read at every use: 5 s of CPU time in the period now in
  // force, 2000 ms, is 250%.
  auto table = top_table(c[1]);
  ASSERT_EQ(11u, table.size());
  EXPECT_EQ(top_header(2000, 8), table[0]);
  EXPECT_EQ(top_row(250, 100, "app", 5 * kSec, 0), table[1]);
}

// At insmod a negative period is refused with one warning and the load goes
// on with the default; a later write of one fails and keeps the old value.
TEST_F(ModuleFrame, NegativePeriodIsRefused) {
  boot();
  load("kmonitor_delay=-5");
  const auto &log = k().log();
  ASSERT_EQ(4u, log.size());
  EXPECT_EQ("pelk_cpu_monitor_init", log[0].text);
  EXPECT_EQ("[K] kmonitor_delay=-5 refused, using 10000", log[1].text);
  EXPECT_EQ(4, log[1].level);
  EXPECT_TRUE(log[1].newline);
  EXPECT_EQ("pelk_health init!", log[2].text);
  EXPECT_TRUE(is_wq_created_line(log[3].text)) << log[3].text;
  std::string v;
  ASSERT_EQ(0, k().param_read(kModule, "kmonitor_delay", &v));
  EXPECT_EQ("10000\n", v);
  auto perf = perf_queue_calls();
  ASSERT_EQ(1u, perf.size());
  EXPECT_EQ(2500u, perf[0].delay);

  ASSERT_EQ(0, k().param_write(kModule, "kmonitor_delay", "3000"));
  EXPECT_EQ(-22, k().param_write(kModule, "kmonitor_delay", "-1"));
  EXPECT_EQ(-22, k().param_write(kModule, "kmonitor_delay", "ten"));
  ASSERT_EQ(0, k().param_read(kModule, "kmonitor_delay", &v));
  EXPECT_EQ("3000\n", v);
  EXPECT_EQ(4u, k().log().size());
}

// Every line of the top-thread list and of the report block is written under
// my_semaphore: taken before the first line of each, released after its last.
TEST_F(ModuleFrame, ThreadListAndReportBlockAreWrittenUnderTheSemaphore) {
  boot();
  spawn(1000, "system_server", 12 * kSec);
  spawn(1001, "android.anim", 2 * kSec, 0, 1000);
  load();
  std::vector<std::pair<sim::u64, sim::u64>> held;  // from down to up, in event order
  for (int nth = 1; nth <= 4; nth++) {
    k().on_call("down", nth, [this, &held] { held.push_back({k().next_seq(), ~0ull}); });
    k().on_call("up", nth, [this, &held] {
      if (!held.empty()) held.back().second = k().next_seq();
    });
  }
  k().run_for(10 * kSec);
  EXPECT_EQ(2u, held.size());
  bool in = false;
  size_t lines = 0;
  for (const auto &r : k().log()) {
    in = in || r.text.rfind("[K]system_server TOP thread", 0) == 0;
    if (!in) continue;
    lines++;
    auto within = [&r](const auto &h) { return h.first < r.seq && r.seq < h.second; };
    EXPECT_TRUE(std::any_of(held.begin(), held.end(), within)) << "written without the semaphore: " << r.text;
    if (r.text == "[K][Perf] PELK Perf Statistic done") break;
  }
  EXPECT_EQ(4u + 16, lines);  // the list (two rows); start, table, loads, overload, split, done
  ASSERT_EQ(0, k().rmmod(kModule));  // no hook may outlive `held`
}

TEST_F(ModuleFrame, PeriodZeroRearmsWithNoDelay) {
  boot();
  spawn(100, "busy", 3 * kSec);
  load();
  ASSERT_EQ(0, k().param_write(kModule, "kmonitor_delay", "0"));
  k().run_for(10 * kSec);
  auto calls = perf_queue_calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(0u, calls[1].delay);
  auto table = top_table(last_cycle());
  ASSERT_EQ(11u, table.size());
  EXPECT_EQ(top_header(0, 8), table[0]);
  // No delta is below a bound of 0 ns: every slot is empty.
  for (size_t i = 1; i < table.size(); i++) EXPECT_EQ(empty_row(), table[i]);
  k().run_for(20 * kMs);
  EXPECT_GT(cycles().size(), 2u);
}

TEST_F(ModuleFrame, LongCycleDoesNotDelayTheNext) {
  boot();
  load();
  k().set_work_duration("pelk_perf_monitor_wq", 12 * kSec);
  k().run_for(40 * kSec);
  auto c = cycles();
  ASSERT_GE(c.size(), 3u);
  EXPECT_EQ(10 * kSec, c[0].ts_ns);
  EXPECT_EQ(22 * kSec, c[1].ts_ns);  // overdue since 20 s
  EXPECT_EQ(34 * kSec, c[2].ts_ns);
}

// Each set-up failure leaves the monitor absent and the rest running (the
// health watch, with its workqueue and its table of watched names).
TEST_F(ModuleFrame, SetupFailuresLeaveTheMonitorAbsent) {
  struct Case {
    const char *name;
    Fault fault;
    bool success_line;
    bool wq_left;    // the workqueue lives on until unloading
    sim::u64 vmalloc_live;
  } cases[] = {
      {"workqueue", {"alloc_workqueue", "pelk_perf_monitor_wq", 1, 1, 0}, false, false, 0},
      {"context", {"vmalloc", "pelk_monitor_init", 1, 1, 0}, true, false, 0},
      {"last_runtime", {"vmalloc", "pelk_monitor_init", 2, 1, 0}, true, true, 1},
      {"delta", {"vmalloc", "pelk_monitor_init", 3, 1, 0}, true, true, 1},
      {"pid_list", {"vmalloc", "pelk_monitor_init", 4, 1, 0}, true, true, 1},
      {"tasks", {"vmalloc", "pelk_monitor_init", 5, 1, 0}, true, true, 1},
      {"all arrays", {"vmalloc", "pelk_monitor_init", 2, 4, 0}, true, true, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    boot();
    k().add_fault(c.fault);
    load();
    auto t = texts();
    ASSERT_GE(t.size(), 1u);
    EXPECT_EQ("pelk_cpu_monitor_init", t[0]);
    EXPECT_EQ(c.success_line ? 3u : 2u, t.size());  // no message of their own
    ASSERT_EQ(1u, k().pending_works().size());
    EXPECT_EQ("app_health_info", k().pending_works()[0].wq);
    const std::vector<std::string> wqs = c.wq_left
        ? std::vector<std::string>{"app_health_info", "pelk_perf_monitor_wq"}
        : std::vector<std::string>{"app_health_info"};
    EXPECT_EQ(wqs, k().workqueues());
    EXPECT_EQ(c.vmalloc_live + 1, k().alloc_stats("vmalloc").live_count);  // and the watched names
    // The rest of the module runs: the proc file reads and the switches follow.
    std::string out;
    EXPECT_EQ(0, k().proc_read(kProcFile, &out));
    EXPECT_EQ(140u, out.size());
    k().set_feature(kHealthFeature, 1);
    k().notify_feature_change();
    EXPECT_EQ("is_HEALTH_enable is true", k().log().back().text);
    k().run_for(30 * kSec);
    EXPECT_TRUE(cycles().empty());
    // Unloading releases what is left and nothing twice.
    ASSERT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(0u, k().alloc_stats("vmalloc").live_count);
    EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
    EXPECT_TRUE(k().workqueues().empty());
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

TEST_F(ModuleFrame, UnloadLeavesNothingBehind) {
  boot();
  spawn(100, "app", kSec);
  spawn(101, "com.tencent.mm", kSec, 900);  // watched: the health cycle keeps a record
  load();
  k().run_for(25 * kSec);
  std::string out;
  ASSERT_EQ(0, k().proc_read(kProcFile, &out));
  ASSERT_EQ(0, k().rmmod(kModule));
  EXPECT_EQ("pelk_cpu_monitor_exit", k().log().back().text);
  EXPECT_FALSE(k().log().back().newline);
  EXPECT_EQ(0u, k().alloc_stats("vmalloc").live_count);
  EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
  EXPECT_TRUE(k().pending_works().empty());
  EXPECT_TRUE(k().workqueues().empty());
  EXPECT_FALSE(k().proc_exists(kProcFile));
  EXPECT_FALSE(k().proc_exists("/proc/cpumonitor"));
  EXPECT_EQ(0, k().notifier_count());
  size_t lines = k().log().size();
  k().run_for(60 * kSec);
  k().notify_feature_change();
  EXPECT_EQ(lines, k().log().size());  // nothing of the module runs any more
}

// Every load starts from a fresh module's state.
TEST_F(ModuleFrame, LoadsAndUnloadsManyTimes) {
  boot();
  spawn(100, "app", 2 * kSec);
  for (int i = 0; i < 20; i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(0, k().insmod(PELK_MODULE_PATH, i % 2 ? "kmonitor_delay=4000" : ""));
    std::string out;
    ASSERT_EQ(0, k().proc_read(kProcFile, &out));
    EXPECT_EQ(140u, out.size());
    EXPECT_EQ("00, 00, 00, 00, 00, ", out.substr(0, 20));  // no split before the first cycle
    k().run_for(11 * kSec);
    // The first cycle of every load sees the process's whole lifetime again.
    auto table = top_table(cycles().front());
    ASSERT_EQ(11u, table.size());
    EXPECT_EQ(top_row(i % 2 ? 50 : 20, 100, "app", 2 * kSec, 0), table[1]);
    ASSERT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(0u, k().alloc_stats("vmalloc").live_count);
    EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
    EXPECT_TRUE(k().workqueues().empty());
    EXPECT_EQ(0, k().notifier_count());
    k().clear_log();
  }
}

}  // namespace
}  // namespace pelk_test

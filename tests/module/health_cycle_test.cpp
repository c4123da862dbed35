// The application health cycle: which processes are sampled, the history
// rule, the one- and five-minute thresholds, the log line, and the report
// gate with its limits.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

class HealthCycle : public ModuleHarness {
 public:
  // Health cycles come at uptime + 10 s, + 20 s, ...; the performance
  // cycle is kept out of the way.
  void start(sim::u64 uptime_s, bool health_on, int hz = 250) {
    if (k_ && k_->module_loaded(kModule)) {
      EXPECT_EQ(0, k_->rmmod(kModule));
    }
    sim::Config cfg;
    cfg.uptime_ns = uptime_s * kSec;
    cfg.hz = hz;
    boot(cfg);
    load("kmonitor_delay=2000000000");
    if (health_on) switch_health(true);
    base_records_ = k().alloc_stats("kmalloc").live_count;
  }

  // The kernel, for the behaviour rows' steps.
  using ModuleHarness::k;

  void switch_health(bool on) {
    k().set_feature(kHealthFeature, on ? 1 : 0);
    k().notify_feature_change();
  }

  // A process with cpu_ns of CPU time already used and, optionally, a steady
  // use of milli thousandths of a CPU from now on, on one CPU.
  int app(int pid, const std::string &comm, sim::u64 cpu_ns, short oom = 900, unsigned milli = 0,
          int cpu = 0) {
    spawn(pid, comm, cpu_ns, oom);
    if (milli) k().set_rate(pid, {milli, 1000, 1u << cpu});
    return pid;
  }

  // Health lines as "second: text", second being the cycle's monotonic second.
  std::vector<std::string> health_lines() const {
    std::vector<std::string> out;
    for (const auto &r : k_->log())
      if (r.text.find(", 1min:") != std::string::npos) {
        EXPECT_EQ(6, r.level) << r.text;
        EXPECT_TRUE(r.newline) << r.text;
        out.push_back(strf("%llu: %s", (unsigned long long)(r.ts_ns / kSec), r.text.c_str()));
      }
    return out;
  }

  std::vector<std::string> reports() const {
    std::vector<std::string> out;
    for (const auto &r : k_->event_reports())
      out.push_back(strf("%llu: %s %d %d %s", (unsigned long long)(r.ts_ns / kSec),
                         r.event_code.c_str(), r.value, r.pid, r.text.c_str()));
    return out;
  }

  // Application records allocated since start().
  sim::u64 records() const { return k_->alloc_stats("kmalloc").live_count - base_records_; }

  sim::u64 base_records_ = 0;
};

// A first sighting counts the process's whole CPU time, up to 20 s.
TEST_F(HealthCycle, WhatTheFirstCycleSamples) {
  start(100, false);
  app(1000, "ndroid.systemui", 20 * kSec);           // 20 s: all of it counts
  app(1001, "com.tencent.mm", 20 * kSec + 1);         // over 20 s: counts as 0
  app(1002, "ease.cloudmusic", 20 * kSec, -1000);    // never sampled
  app(1003, "droid.launcher3", 12 * kSec);            // 20 % and 4 %: logged
  app(1004, "com.whatsapp", 12 * kSec - 1);           // 19 % and 3 %: not logged
  app(1005, "system_server", 20 * kSec);              // not watched
  sim::TaskSpec kt;
  kt.pid = 1006;
  kt.comm = "id.AlipayGphone";
  kt.kthread = true;
  kt.utime_ns = 20 * kSec;
  k().spawn(kt);                                       // a kernel thread: never sampled
  k().run_for(10 * kSec - 1);
  EXPECT_EQ(0u, records());
  k().run_for(1);
  EXPECT_EQ((std::vector<std::string>{"110: ndroid.systemui, 1min:33, 5min:6",
                                      "110: droid.launcher3, 1min:20, 5min:4"}),
            health_lines());
  EXPECT_EQ(4u, records());  // systemui, tencent.mm, launcher3, whatsapp
  EXPECT_TRUE(reports().empty());  // the first 600 s, and the switch is off
}

// oom_score_adj 0 to 199 and -800 clear the history in every cycle; every
// other value accumulates.  3 s per cycle pass both thresholds in the 4th
// accumulating cycle.
TEST_F(HealthCycle, HistoryRule) {
  struct Row {
    const char *comm;
    short oom;
    bool logged;
  } rows[] = {
      {"ndroid.systemui", 0, false},   {"com.tencent.mm", 100, false},
      {"ease.cloudmusic", 199, false}, {"id.AlipayGphone", -800, false},
      {"droid.launcher3", 200, true},  {"com.whatsapp", 900, true},
      {"com.pinterest", -900, true}, {"com.viber.voip", -700, true},
  };
  start(100, false);
  std::vector<std::string> expected;
  int pid = 1000;
  for (const auto &r : rows) {
    app(pid, r.comm, 0, r.oom, 300, pid % 8);
    pid++;
    if (r.logged) expected.push_back(strf("140: %s, 1min:20, 5min:4", r.comm));
  }
  k().run_for(40 * kSec);
  EXPECT_EQ(expected, health_lines());

  // A cleared cycle in the middle starts the count again.
  start(100, false);
  app(1000, "com.whatsapp", 0, 900, 300);
  k().run_for(35 * kSec);  // 3 accumulating cycles: 9 s
  k().set_oom_score_adj(1000, 50);
  k().run_for(10 * kSec);  // cleared at 140
  k().set_oom_score_adj(1000, 900);
  k().run_for(30 * kSec);  // 3, 6, 9 s
  EXPECT_TRUE(health_lines().empty());
  k().run_for(10 * kSec);
  EXPECT_EQ(std::vector<std::string>{"180: com.whatsapp, 1min:20, 5min:4"}, health_lines());
}

// 0.6 s per cycle: 6 % of a minute from the 6th accumulating cycle, 4 % of
// five minutes from the 20th, so first logged in the 20th; the five minutes
// are the last 30 cycles.  Logged in every cycle until it is reported, never
// after.
TEST_F(HealthCycle, SteadyUseOverTheOneAndFiveMinuteWindows) {
  start(3600, false);
  app(3400, "ease.cloudmusic", 0, 900, 60);
  k().run_for(315 * kSec);
  // Cycle n at 3600 + 10 n: n times 0.6 s, of 300 s, is n / 5 per cent.
  std::vector<std::string> lines;
  for (int n = 20; n <= 31; n++)
    lines.push_back(strf("%d: ease.cloudmusic, 1min:6, 5min:%d", 3600 + 10 * n, std::min(n, 30) / 5));
  EXPECT_EQ(lines, health_lines());
  EXPECT_TRUE(reports().empty());  // the switch is off

  switch_health(true);
  k().run_for(10 * kSec);
  EXPECT_EQ(std::vector<std::string>{"3920: 0x00501001 656 3400 ease.cloudmusic"}, reports());
  lines.push_back("3920: ease.cloudmusic, 1min:6, 5min:6");
  k().set_rate(3400, {500, 1000, 1});
  k().run_for(600 * kSec);
  EXPECT_EQ(lines, health_lines());
  EXPECT_EQ(1u, reports().size());
}

// Records are kept by name: a restarted application continues its record,
// two live processes of one name share one.
TEST_F(HealthCycle, RecordsAreKeptByName) {
  start(100, false);
  app(3700, "id.AlipayGphone", 10 * kSec);  // 10 s: 16 % and 3 %
  app(3400, "ease.cloudmusic", 30 * kSec);  // over 20 s: counts 0, last sample 30 s
  app(3100, "com.whatsapp", 30 * kSec);
  app(1450, "ndroid.systemui", 8 * kSec);   // two processes, 8 s then 6 s
  app(1460, "ndroid.systemui", 6 * kSec);
  k().run_for(10 * kSec);
  // The second process is below the record's last sample: all its 6 s count.
  EXPECT_EQ(std::vector<std::string>{"110: ndroid.systemui, 1min:23, 5min:4"}, health_lines());
  EXPECT_EQ(4u, records());

  k().exit_task(3700);
  app(3750, "id.AlipayGphone", 9 * kSec);   // below 10 s: all 9 s count, 19 s in all
  k().exit_task(3400);
  app(3450, "ease.cloudmusic", 20 * kSec);  // below 30 s: all 20 s count
  k().exit_task(3100);
  app(3150, "com.whatsapp", 25 * kSec);     // below 30 s, but over 20 s: counts 0
  k().run_for(10 * kSec);
  // Both processes of one name go on sampling into its record, each against
  // the other's last sample: 8 - 6 s, then all 6 s again.
  EXPECT_EQ((std::vector<std::string>{"110: ndroid.systemui, 1min:23, 5min:4",
                                      "120: ndroid.systemui, 1min:26, 5min:5",
                                      "120: ndroid.systemui, 1min:36, 5min:7",
                                      "120: id.AlipayGphone, 1min:31, 5min:6",
                                      "120: ease.cloudmusic, 1min:33, 5min:6"}),
            health_lines());
  EXPECT_EQ(4u, records());
}

// A record that cannot be allocated skips its process in that cycle only.
TEST_F(HealthCycle, RecordAllocationFailureIsTriedAgain) {
  start(100, false);
  k().add_fault({"kmalloc", "health_record_get", 1, 1, 0});
  app(1000, "ndroid.systemui", 20 * kSec);
  app(1001, "com.tencent.mm", 20 * kSec);
  k().run_for(20 * kSec);
  std::vector<std::string> got;
  for (const auto &r : k().log())
    if (r.text == "Memory allocation failed") {
      EXPECT_EQ(3, r.level);
      got.push_back(strf("%llu: %s", (unsigned long long)(r.ts_ns / kSec), r.text.c_str()));
    }
  EXPECT_EQ(std::vector<std::string>{"110: Memory allocation failed"}, got);
  EXPECT_EQ((std::vector<std::string>{"110: com.tencent.mm, 1min:33, 5min:6",
                                      "120: ndroid.systemui, 1min:33, 5min:6",
                                      "120: com.tencent.mm, 1min:33, 5min:6"}),
            health_lines());
}

// The report gate.  An application with 20 s of CPU time is over both
// thresholds in the first cycle after it starts and, if it is not reported,
// in the five after it.
TEST_F(HealthCycle, ReportGate) {
  struct Row {
    const char *what;
    sim::u64 uptime;
    std::function<void(HealthCycle &)> play;
    std::vector<std::string> reports;
  } rows[] = {
      {"599 s is too early", 589,
       [](HealthCycle &t) {
         t.app(1000, "com.tencent.mm", 20 * kSec);
         t.k().run_for(30 * kSec);
       },
       {"609: 0x00501001 656 1000 com.tencent.mm"}},
      {"600 s is not", 590,
       [](HealthCycle &t) {
         t.app(1000, "com.tencent.mm", 20 * kSec);
         t.k().run_for(30 * kSec);
       },
       {"600: 0x00501001 656 1000 com.tencent.mm"}},
      {"3599 s after the last report is too soon", 1000,
       [](HealthCycle &t) {
         t.app(1000, "com.tencent.mm", 20 * kSec);
         t.k().run_until(4585 * kSec);
         t.app(1001, "ndroid.systemui", 20 * kSec);
         t.k().set_work_duration("app_health_info", 19 * kSec);  // the cycle after 4590 at 4609
         t.k().run_until(4590 * kSec);
         t.k().set_work_duration("app_health_info", 0);
         t.k().run_until(4630 * kSec);
       },
       {"1010: 0x00501001 656 1000 com.tencent.mm", "4619: 0x00501001 656 1001 ndroid.systemui"}},
      {"3600 s is not", 1000,
       [](HealthCycle &t) {
         t.app(1000, "com.tencent.mm", 20 * kSec);
         t.k().run_until(4585 * kSec);
         t.app(1001, "ndroid.systemui", 20 * kSec);
         t.k().set_work_duration("app_health_info", 20 * kSec);
         t.k().run_until(4590 * kSec);
         t.k().set_work_duration("app_health_info", 0);
         t.k().run_until(4630 * kSec);
       },
       {"1010: 0x00501001 656 1000 com.tencent.mm", "4610: 0x00501001 656 1001 ndroid.systemui"}},
      {"three reports in a day window", 1000,
       [](HealthCycle &t) {
         const char *names[] = {"com.tencent.mm", "ndroid.systemui", "ease.cloudmusic",
                                "id.AlipayGphone"};
         for (int i = 0; i < 4; i++) {
           t.k().run_until((1005 + 3600 * (sim::u64)i) * kSec);
           t.app(1000 + i, names[i], 20 * kSec);
         }
         // The fourth is over the thresholds from 11810 to 11860, refused.
         t.k().run_until(87395 * kSec);
         t.app(1004, "com.whatsapp", 20 * kSec);  // 86390 s after the first: refused at 87400
         t.k().run_until(87500 * kSec);
       },
       {"1010: 0x00501001 656 1000 com.tencent.mm", "4610: 0x00501001 656 1001 ndroid.systemui",
        "8210: 0x00501001 656 1002 ease.cloudmusic", "87410: 0x00501001 656 1004 com.whatsapp"}},
      {"the switch off: not reported, considered again", 1000,
       [](HealthCycle &t) {
         t.switch_health(false);
         t.app(1000, "com.tencent.mm", 20 * kSec);
         t.k().run_until(1015 * kSec);
         t.switch_health(true);
         t.k().run_until(1100 * kSec);
       },
       {"1020: 0x00501001 656 1000 com.tencent.mm"}},
      {"suspend counts towards no limit", 1000,
       [](HealthCycle &t) {
         t.app(1000, "com.tencent.mm", 20 * kSec);
         t.k().run_until(1015 * kSec);
         t.k().suspend(7200 * kSec);
         t.app(1001, "ndroid.systemui", 20 * kSec, 900, 200);  // over both thresholds from now on
         t.k().run_until(4700 * kSec);
       },
       {"1010: 0x00501001 656 1000 com.tencent.mm", "4610: 0x00501001 656 1001 ndroid.systemui"}},
      {"a report the service fails counts as made", 1000,
       [](HealthCycle &t) {
         t.k().set_event_report_result(-5);
         // Both stay over the thresholds: only the gate holds them back.
         t.app(1000, "com.tencent.mm", 18 * kSec, 900, 200);  // 20 s at 1010
         t.k().run_until(1015 * kSec);
         t.app(1001, "ndroid.systemui", 18 * kSec, 900, 200);
         t.k().run_until(4630 * kSec);
         // Reported, so never logged again; the spacing ran from 1010.
         std::vector<std::string> mm;
         for (const auto &l : t.health_lines())
           if (l.find("com.tencent.mm") != std::string::npos) mm.push_back(l);
         EXPECT_EQ(std::vector<std::string>{"1010: com.tencent.mm, 1min:33, 5min:6"}, mm);
       },
       {"1010: 0x00501001 656 1000 com.tencent.mm", "4610: 0x00501001 656 1001 ndroid.systemui"}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    start(r.uptime, true);
    r.play(*this);
    EXPECT_EQ(r.reports, reports());
    EXPECT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

// The pause is ten seconds whatever the tick rate.
TEST_F(HealthCycle, TenSecondsAtAnyTickRate) {
  for (int hz : {250, 100, 300, 1000}) {
    SCOPED_TRACE(hz);
    start(100, false, hz);
    app(1000, "com.tencent.mm", 20 * kSec);
    k().run_for(30 * kSec);
    std::vector<unsigned long> delays;
    for (const auto &c : k().queue_calls())
      if (c.wq == "app_health_info") {
        EXPECT_EQ(0, c.cpu);
        delays.push_back(c.delay);
      }
    const unsigned long d = 10 * (unsigned long)hz;
    EXPECT_EQ((std::vector<unsigned long>{d, d, d, d}), delays);
    EXPECT_EQ((std::vector<std::string>{"110: com.tencent.mm, 1min:33, 5min:6",
                                        "120: com.tencent.mm, 1min:33, 5min:6",
                                        "130: com.tencent.mm, 1min:33, 5min:6"}),
              health_lines());
    EXPECT_EQ(0, k().rmmod(kModule));
  }
}

// Without its context or its workqueue the cycle never runs; the table is
// built all the same and goes at unloading.
TEST_F(HealthCycle, CycleSetupFailures) {
  struct Case {
    const char *name;
    sim::Fault fault;
    const char *line;
  } cases[] = {
      {"context", {"kmalloc", "health_cycle_init", 1, 1, 0}, "Failed to allocate memory for work data"},
      {"workqueue", {"alloc_workqueue", "app_health_info", 1, 1, 0}, "Failed to create workqueue"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (k_ && k_->module_loaded(kModule)) {
      EXPECT_EQ(0, k_->rmmod(kModule));
    }
    boot();
    k().add_fault(c.fault);
    app(1000, "com.tencent.mm", 20 * kSec);
    load();
    EXPECT_EQ(std::string("<3>") + c.line + "\n", logged(c.line));
    EXPECT_EQ(std::vector<std::string>{"pelk_perf_monitor_wq"}, k().workqueues());
    EXPECT_EQ(6u, k().alloc_stats("vmalloc").live_count);  // the monitor's five and the names
    switch_health(true);
    k().run_for(700 * kSec);
    EXPECT_TRUE(health_lines().empty());
    EXPECT_TRUE(reports().empty());
    ASSERT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(0u, k().alloc_stats("vmalloc").live_count);
    EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

// Unloading stops the cycle and frees the context, the records and the table.
TEST_F(HealthCycle, UnloadStopsAndFrees) {
  start(100, false);
  app(1000, "com.tencent.mm", 20 * kSec);
  app(1001, "ndroid.systemui", 0, 900, 500);
  k().run_for(25 * kSec);
  EXPECT_EQ(2u, records());
  ASSERT_EQ(0, k().rmmod(kModule));
  EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
  EXPECT_EQ(0u, k().alloc_stats("vmalloc").live_count);
  EXPECT_TRUE(k().workqueues().empty());
  EXPECT_TRUE(k().pending_works().empty());
  const size_t lines = k().log().size();
  k().run_for(60 * kSec);
  EXPECT_EQ(lines, k().log().size());
}

}  // namespace
}  // namespace pelk_test

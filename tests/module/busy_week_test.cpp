// A week of a busy phone in the simulated kernel: applications start, move
// between foreground and background and end; system_server's binder threads
// come and go, pids are reused, system_server restarts once a day, the phone
// suspends every night and the switches flip.  Checked along the way: the
// proc file always well formed, the table naming only threads of the current
// system_server, the report budget, no violation; memory flat after day one.
#include <cctype>

#include "module/module_harness.h"

namespace pelk_test {
namespace {

class BusyWeek : public ModuleHarness {};

// The proc file's shape: five two-digit split values, each with ", ", then
// forty loads of one or two digits right-aligned in two places, or 100, each
// with ",".
bool proc_well_formed(const std::string &s) {
  auto digit = [&s](size_t k) { return k < s.size() && std::isdigit((unsigned char)s[k]); };
  size_t i = 0;
  for (int n = 0; n < 5; n++, i += 4)
    if (!digit(i) || !digit(i + 1) || s.compare(i + 2, 2, ", ") != 0) return false;
  for (int n = 0; n < 40; n++) {
    if (s.compare(i, 4, "100,") == 0) {
      i += 4;
      continue;
    }
    if (i + 3 > s.size() || !(s[i] == ' ' || digit(i)) || !digit(i + 1) || s[i + 2] != ',') return false;
    i += 3;
  }
  return i == s.size();
}

TEST_F(BusyWeek, InvariantsHoldAndMemoryStaysFlat) {
  boot();
  load();  // the default period, 10 s
  k().set_feature(kHealthFeature, 1);
  k().set_feature(kZebFeature, 1);
  k().notify_feature_change();
  const char *apps[] = {"com.tencent.mm", "ndroid.systemui", "droid.launcher3", "com.whatsapp",
                        "ease.cloudmusic", "com.example.game"};
  int ss = 0;
  std::vector<int> ss_threads;
  sim::u64 day1_kmalloc = 0, day1_vmalloc = 0;
  size_t reports_seen = 0, process_rows = 0, thread_rows = 0;
  for (int day = 0; day < 7; day++) {
    // system_server (re)starts with pids that earlier processes used.
    if (ss) k().exit_task(ss);
    sim::TaskSpec s;
    s.pid = 2000 + (day % 2);  // reused every other day
    s.comm = "system_server";
    ss = k().spawn(s);
    k().set_rate(ss, {200, 600, 3});
    ss_threads.clear();
    for (int hour = 0; hour < 24; hour++) {
      if (hour == 2) {  // a night's sleep, with the switches off meanwhile
        k().set_feature(kHealthFeature, 0);
        k().notify_feature_change();
        k().suspend(4 * 3600 * kSec);
        k().set_feature(kHealthFeature, 1);
        k().notify_feature_change();
      }
      // A binder thread ends and another starts, with a pid once another's.
      if (ss_threads.size() >= 4) {
        k().exit_task(ss_threads.front());
        ss_threads.erase(ss_threads.begin());
      }
      sim::TaskSpec th;
      th.pid = 3000 + (day * 24 + hour) % 40;
      th.tgid = ss;
      th.comm = "binder:" + std::to_string(ss) + "_" + std::to_string(hour);
      ss_threads.push_back(k().spawn(th));
      k().set_rate(ss_threads.back(), {(unsigned)(100 + 150 * (hour % 6)), 500, 1u << (hour % 8)});
      // An application in the foreground for this hour, busy, then ended.
      sim::TaskSpec app;
      app.pid = 4000 + hour % 10;
      app.comm = apps[(day + hour) % 6];
      app.oom_score_adj = 0;
      int pid = k().spawn(app);
      k().set_rate(pid, {(unsigned)(600 + 100 * (hour % 5)), 900, 0xF0});
      for (int part = 0; part < 6; part++) {
        if (part == 3) k().set_oom_score_adj(pid, 900);  // to the background
        k().run_for(10 * 60 * kSec);
        std::string out;
        ASSERT_EQ(0, k().proc_read(kProcFile, &out));
        ASSERT_TRUE(proc_well_formed(out)) << out;
      }
      // The process table names live processes only; system_server's thread
      // table, once swept, only threads of the current system_server.
      for (const auto &row : texts()) {
        unsigned long long usage;
        int tid = 0;
        if (sscanf(row.c_str(), "[K] %llu%% %d", &usage, &tid) != 2 || !tid) continue;
        if (row.find("(ns)") != std::string::npos) {
          EXPECT_TRUE(k().task_alive(tid)) << row;
          process_rows++;
        } else {
          EXPECT_TRUE(tid == ss || std::find(ss_threads.begin(), ss_threads.end(), tid) != ss_threads.end())
              << row;
          thread_rows++;
        }
      }
      k().exit_task(pid);
      ASSERT_EQ(std::vector<std::string>{}, k().violations());
      k().clear_log();
    }
    // At most three reports a day, 600 s apart.
    const auto &r = k().event_reports();
    EXPECT_LE(r.size() - reports_seen, 3u * 2);  // two kinds of report
    reports_seen = r.size();
    if (day == 0) {
      day1_kmalloc = k().alloc_stats("kmalloc").live_bytes;
      day1_vmalloc = k().alloc_stats("vmalloc").live_bytes;
    } else {
      EXPECT_LE(k().alloc_stats("kmalloc").live_bytes, day1_kmalloc + 4096) << "day " << day;
      EXPECT_EQ(day1_vmalloc, k().alloc_stats("vmalloc").live_bytes) << "day " << day;
    }
  }
  EXPECT_GT(process_rows, 7u * 24 * 30);
  EXPECT_GT(thread_rows, 7u * 24 * 30);
}

}  // namespace
}  // namespace pelk_test

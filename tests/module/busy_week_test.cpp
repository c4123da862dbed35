// A week of a busy phone in the simulated kernel: applications start, move
// between foreground and background and end; system_server's binder threads
// come and go, pids are reused, system_server restarts once a day, the phone
// suspends every night, the switches flip, one burst a day overloads every
// CPU, and the modem's sleep counters advance (one hour its block is torn).
// Checked along the way: the proc file always well formed (no load over 100),
// the table naming only threads of the current system_server, the modem's
// lines and day history, each kind of report within its own budget, no
// violation; memory flat after day one.
#include <array>
#include <cctype>
#include <cstring>
#include <set>

#include "module/module_harness.h"

namespace pelk_test {
namespace {

using u64 = unsigned long long;

// One record of the modem's day history.
struct SleepDay {
  std::uint32_t year = 0, month = 0, day = 0, reserved = 0;
  u64 today[5] = {}, base[5] = {};
  std::string str() const {
    std::string s = strf("%u-%02u-%02u/%u today", year, month, day, reserved);
    for (u64 v : today) s += strf(" %llu", v);
    s += " base";
    for (u64 v : base) s += strf(" %llu", v);
    return s;
  }
};
static_assert(sizeof(SleepDay) == 96);

// The modem's side: its block, as test_modem_user holds it, and the history
// the module must keep of it.
struct Modem {
  TestModemUser user;
  std::array<u64, 5> sleep = {};
  u64 duration = 0;
  bool valid = true;
  ModemBlock block;
  std::array<SleepDay, 5> history;  // what the module must hold

  // The counters move on; a torn block has stamps that differ.
  void advance(std::uint32_t stamp, u64 us, bool torn) {
    for (int i = 0; i < 5; i++) sleep[i] += us * (5 - i) / 5;
    duration += us * 32768 / 1000000;
    valid = !torn;
    block.put(4, stamp, 4).put(40, duration, 8).sleep(sleep).put(504, stamp + (torn ? 1 : 0), 4);
    ASSERT_EQ(0, user.write(0, block.b, sizeof block.b));
  }
  // What a cycle at this UTC time (the phone keeps UTC) must log between
  // its start line and the top-ten header; a valid cycle on a new date
  // moves the records on by one.
  std::vector<std::string> cycle(const struct tm &t) {
    if (!valid) return {"[K][info] MD sleep info. is not valid"};
    const SleepDay date{(unsigned)t.tm_year + 1900, (unsigned)t.tm_mon + 1, (unsigned)t.tm_mday};
    SleepDay &d = history[0];
    if (d.year != date.year || d.month != date.month || d.day != date.day) {
      std::move_backward(history.begin(), history.end() - 1, history.end());
      history[0] = date;
      std::copy(sleep.begin(), sleep.end(), history[0].base);
    }
    for (int i = 0; i < 5; i++) history[0].today[i] = sleep[i] - history[0].base[i];
    return {strf("[K][info] md_slp_duration = %llu (32k)", duration),
            strf("[name:tpc&][K][info] SUM MD/2G/3G/4G/5G_FR1 = %6llu/%6llu/%6llu/%6llu/%6llu seconds "
                 "[UTC][%04d-%02d-%02d %02d:%02d:%02d] ",
                 sleep[0] / 1000000, sleep[1] / 1000000, sleep[2] / 1000000, sleep[3] / 1000000,
                 sleep[4] / 1000000, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                 t.tm_sec)};
  }
};

// The report budgets, per kind.  Overload reports: at most 3 per day
// window of the boot-time clock (begun by the first cycle, renewed by the
// first cycle 86401 s or more after it), 600 monotonic seconds apart.
// Health reports: at most 3 in the 86400 monotonic seconds from a window's
// first report, 3600 apart, none in the first 600, one per application.
struct ReportBudgets {
  int busiest = 0;  // the pid an overload report must name
  size_t overloads = 0, healths = 0;
  u64 zeb_window = 0, zeb_in_window = 0, last_overload = 0;
  u64 health_window = 0, health_in_window = 0, last_health = 0;
  std::set<std::string> reported_apps;

  void cycle(u64 boot_sec) {
    if (!zeb_window) zeb_window = boot_sec;
    if (boot_sec - zeb_window >= 86401) zeb_window = boot_sec, zeb_in_window = 0;
  }
  void report(const sim::EventReport &r) {
    u64 sec = r.ts_ns / kSec;
    if (r.event_code == "0xffffff26") {
      EXPECT_EQ(33824806, r.value);
      EXPECT_EQ(busiest, r.pid);
      EXPECT_EQ("", r.text);
      EXPECT_LE(++zeb_in_window, 3u) << "overload at " << sec;
      if (overloads++) {
        EXPECT_GE(sec - last_overload, 600u) << "overload at " << sec;
      }
      last_overload = sec;
      return;
    }
    EXPECT_EQ("0x00501001", r.event_code);
    EXPECT_EQ(656, r.value);
    EXPECT_GE(sec, 600u);
    if (!healths || sec - health_window >= 86400) health_window = sec, health_in_window = 0;
    EXPECT_LE(++health_in_window, 3u) << "health report at " << sec;
    if (healths++) {
      EXPECT_GE(sec - last_health, 3600u) << "health report at " << sec;
    }
    last_health = sec;
    EXPECT_TRUE(reported_apps.insert(r.text).second) << r.text << " reported twice";
  }
};

class BusyWeek : public ModuleHarness {
 protected:
  void TearDown() override {
    modem_.user.release(k_.get());
    ModuleHarness::TearDown();
  }
  Modem modem_;
};

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
  ASSERT_TRUE(modem_.user.take(k()));
  modem_.advance(1, 0, false);
  modem_.user.hand_over(0);

  const char *apps[] = {"com.tencent.mm", "ndroid.systemui", "droid.launcher3", "com.whatsapp",
                        "ease.cloudmusic", "com.example.game"};
  // A music player plays in the background all week: from the start it
  // competes with each hour's application for the health reports.
  k().set_rate(spawn(4500, "ease.cloudmusic", 0, 900), {500, 800, 0x0F});
  int ss = 0, stress = 0;
  std::vector<int> ss_threads;
  sim::u64 day1_kmalloc = 0, day1_vmalloc = 0;
  size_t reports_seen = 0, process_rows = 0, thread_rows = 0, sum_lines = 0, torn_lines = 0;
  ReportBudgets budgets;
  size_t report_index = 0;
  for (int day = 0; day < 7; day++) {
    // system_server (re)starts with pids that earlier processes used.
    if (ss) k().exit_task(ss);
    ss = spawn(2000 + (day % 2), "system_server");  // pid reused every other day
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
      // The modem slept part of the last hour (all of the night); on day 4
      // at noon its block is torn for an hour.
      modem_.advance(day * 24 + hour + 2, (hour == 2 ? 5 * 3600 : 1800 + 60 * hour) * 1000000ull,
                     day == 3 && hour == 12);
      // A binder thread ends and another starts, with a pid once another's.
      if (ss_threads.size() >= 4) {
        k().exit_task(ss_threads.front());
        ss_threads.erase(ss_threads.begin());
      }
      ss_threads.push_back(
          spawn(3000 + (day * 24 + hour) % 40, "binder:" + std::to_string(ss) + "_" + std::to_string(hour), 0, 0, ss));
      k().set_rate(ss_threads.back(), {(unsigned)(100 + 150 * (hour % 6)), 500, 1u << (hour % 8)});
      // An application in the foreground for this hour, busy, then ended.
      int pid = spawn(4000 + hour % 10, apps[(day + hour) % 6]);
      k().set_rate(pid, {(unsigned)(600 + 100 * (hour % 5)), 900, 0xF0});
      if (hour == 20) {  // every CPU busy for 40 minutes
        budgets.busiest = stress = spawn(5000, "stress");
        k().set_rate(stress, {8000, 1000, 0xFF});
      }
      for (int part = 0; part < 6; part++) {
        if (part == 3) k().set_oom_score_adj(pid, 900);  // to the background
        if (part == 4 && hour == 20) k().exit_task(stress);
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
          EXPECT_TRUE(k().task_alive(tid) || tid == stress) << row;
          process_rows++;
        } else {
          EXPECT_TRUE(tid == ss || std::find(ss_threads.begin(), ss_threads.end(), tid) != ss_threads.end())
              << row;
          thread_rows++;
        }
      }
      // Each cycle of the hour: the modem's lines between the start line
      // and the top-ten header, with the block's totals and the cycle's UTC
      // time, or the torn block's message; the history as the modem's own
      // record of what it handed over says.
      const sim::s64 wall_off = k().wall_ns() - (sim::s64)k().monotonic_ns();
      for (const auto &c : cycles()) {
        std::vector<std::string> md(c.lines.begin() + 1, c.lines.end());
        auto header = [](const std::string &l) { return l.rfind("[K]     Usage", 0) == 0; };
        md.erase(std::find_if(md.begin(), md.end(), header), md.end());
        time_t now = (time_t)(((sim::s64)c.ts_ns + wall_off) / (sim::s64)kSec);
        struct tm t;
        gmtime_r(&now, &t);
        auto want = modem_.cycle(t);
        ASSERT_EQ(want, md) << "day " << day << " hour " << hour;
        (modem_.valid ? sum_lines : torn_lines)++;
      }
      unsigned char status[512];
      std::array<SleepDay, 5> history;
      modem_.user.read(status, history.data());
      EXPECT_EQ(0, memcmp(status, modem_.block.b, sizeof status)) << "day " << day << " hour " << hour;
      for (int r = 0; r < 5; r++)
        ASSERT_EQ(modem_.history[r].str(), history[r].str())
            << "record " << r << ", day " << day << " hour " << hour;

      // The hour's reports, in order with the cycles that made them.
      const sim::u64 boot_off = k().boottime_ns() - k().monotonic_ns();
      const auto &log = k().log();
      const auto &reports = k().event_reports();
      size_t li = 0;
      auto cycles_before = [&](sim::u64 seq) {
        for (; li < log.size() && log[li].seq < seq; li++) {
          if (log[li].text == "freeze_cpustat_zeb is effective")
            budgets.cycle((log[li].ts_ns + boot_off) / kSec);
        }
      };
      for (; report_index < reports.size(); report_index++) {
        cycles_before(reports[report_index].seq);
        budgets.report(reports[report_index]);
      }
      cycles_before(~0ull);
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
  // Both kinds were reported, each past its own limits: three overloads in
  // every day's burst, which asks five times; health reports in more than
  // one window, from the five watched applications (com.example.game is not),
  // two of them waiting at once on the first day.
  EXPECT_EQ(7u * 3, budgets.overloads);
  EXPECT_GE(budgets.healths, 4u);
  // The torn hour, and every other cycle with the modem's totals.
  EXPECT_EQ(360u, torn_lines);
  EXPECT_GT(sum_lines, 7u * 24 * 300);
}

}  // namespace
}  // namespace pelk_test

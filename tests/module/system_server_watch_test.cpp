// The system_server watch: the loading uevent at a load of 150, the thread
// table, and the list of its ten busiest threads at a load of 100.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

using sim::Fault;

std::string ss_row(unsigned long long delta, int tid, const char *comm) {
  return strf("[K] %8llu%%        %5d        %20s", delta, tid, comm);
}

// The list as it must read, the time as "MM-DD hh:mm:ss".
std::vector<std::string> ss_list(const char *when, std::vector<std::string> rows) {
  rows.insert(rows.begin(), {strf("[K]system_server TOP thread (%s)", when),
                             strf("[K]     Usage          PID        %20s", "Comm")});
  return rows;
}

class SystemServerWatch : public ModuleHarness {
 protected:
  // Runs one 10-second period and returns what the watch logged in it: the
  // lines before the cycle's start line.
  std::vector<std::string> next_cycle() {
    size_t from = k().log().size();
    k().run_for(10 * kSec);
    std::vector<std::string> out;
    for (const auto &t : texts(from)) {
      if (t.rfind("[K][Perf] PELK Perf Statistic start", 0) == 0) break;
      out.push_back(t);
    }
    return out;
  }
  int thread(int tid, const char *comm, sim::u64 ns, int tgid = 1000) { return spawn(tid, comm, ns, 0, tgid); }
  std::vector<std::string> change_uevents() const {
    std::vector<std::string> out;
    for (const auto &u : k_->uevents())
      if (u.action == "change") out.push_back(u.env[3]);
    return out;
  }
};

// Loads at the edges, measured in the first cycle from the whole lifetime
// of the process and of each thread.
TEST_F(SystemServerWatch, LoadEdgesInTheFirstCycle) {
  struct Case {
    unsigned load;
    bool uevent, list;
  } cases[] = {{149, false, true}, {150, true, true}, {99, false, false}, {100, false, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.load);
    boot();
    spawn(1000, "system_server", sim::u64(c.load - 5) * 100 * kMs, -900);
    thread(1001, "android.anim", 500 * kMs);
    load();
    auto expected = c.list ? ss_list("12-07 00:00:10", {ss_row(c.load - 5, 1000, "system_server"),
                                                        ss_row(5, 1001, "android.anim")})
                           : std::vector<std::string>{};
    EXPECT_EQ(expected, next_cycle());
    EXPECT_EQ(c.uevent ? std::vector<std::string>{"SYSTEMSERVER_LOADING=200%%"} : std::vector<std::string>{},
              change_uevents());
    EXPECT_EQ(std::vector<std::string>{}, next_cycle());  // nothing used since
    EXPECT_EQ(size_t(c.uevent), change_uevents().size());
  }
  // The exact texts, blanks counted, with their level and newline.
  EXPECT_EQ("<6>[K]system_server TOP thread (12-07 00:00:10)\n", logged("[K]system_server"));
  EXPECT_EQ("<6>[K]     Usage          PID                        Comm\n",
            logged("[K]     Usage          PID                        Comm"));
  EXPECT_EQ("<6>[K]       95%         1000               system_server\n", logged("[K]       95%"));
  EXPECT_EQ("<6>[K]        5%         1001                android.anim\n", logged("[K]        5%"));
}

TEST_F(SystemServerWatch, EveryQualifyingCycleSendsTheEvent) {
  boot();
  spawn(1000, "system_server", 15 * kSec);
  load();
  for (int i = 0; i < 3; i++) {
    next_cycle();
    k().add_cputime(1000, 8 * kSec, 7 * kSec, i);
  }
  ASSERT_EQ(4u, k().uevents().size());
  EXPECT_EQ((std::vector<std::string>{"ACTION=change", "DEVPATH=/devices/virtual/misc/pelk_systemserver_loading",
                                      "SUBSYSTEM=misc", "SYSTEMSERVER_LOADING=200%%", "MAJOR=10", "MINOR=127",
                                      "DEVNAME=pelk_systemserver_loading", "SEQNUM=4"}),
            k().uevents()[3].env);
  // A failed event is logged each time and not retried; the cycle goes on.
  k().add_fault({"kobject_uevent", "pelk_systemserver_loading", 1, 2, -12});
  for (int i = 0; i < 2; i++) {
    size_t at = k().log().size();
    next_cycle();
    EXPECT_EQ("<6>kobject_uevent_env failed", logged("kobject_uevent_env", at));
    k().add_cputime(1000, 8 * kSec, 7 * kSec, i);
  }
  EXPECT_EQ(5u, cycles().size());
  EXPECT_EQ(5u, change_uevents().size());
}

TEST_F(SystemServerWatch, NoSystemServerEachCycle) {
  boot();
  spawn(500, "surfaceflinger", 20 * kSec);
  load();
  for (int i = 0; i < 2; i++) EXPECT_EQ(std::vector<std::string>{"Can't find the task of pid 0"}, next_cycle());
  EXPECT_EQ("<6>Can't find the task of pid 0\n", logged("Can't find the task"));
  EXPECT_EQ(1u, k().uevents().size());  // only the announcement
}

// Fewer than ten, more than ten, and no threads with a nonzero delta; the
// time is local (UTC+1 here), each field of two digits.
TEST_F(SystemServerWatch, ListsAtMostTenRowsUnderTheLocalTime) {
  sim::Config cfg;
  cfg.wall_start_sec = 1804133160;  // 2027-03-04 04:06:00 UTC
  cfg.tz_minuteswest = -60;
  boot(cfg);
  spawn(1000, "system_server", 0);
  for (int i = 1; i <= 12; i++) thread(1000 + i, strf("worker-%d", i).c_str(), sim::u64(i) * kSec);
  load();
  std::vector<std::string> rows;
  for (int i = 12; i >= 3; i--) rows.push_back(ss_row(10 * i, 1000 + i, strf("worker-%d", i).c_str()));
  EXPECT_EQ(ss_list("03-04 05:06:10", rows), next_cycle());

  k().add_cputime(1003, 5 * kSec, 0);
  k().add_cputime(1005, 3 * kSec, 0, 1);
  k().add_cputime(1000, 2 * kSec, 0, 2);
  EXPECT_EQ(ss_list("03-04 05:06:20", {ss_row(50, 1003, "worker-3"), ss_row(30, 1005, "worker-5"),
                                       ss_row(20, 1000, "system_server")}),
            next_cycle());

  // Time of a thread that came and went within the period counts for the
  // process, but no recorded thread moved: the headers alone.
  thread(1100, "short-lived", 11 * kSec);
  k().exit_task(1100);
  EXPECT_EQ(ss_list("03-04 05:06:30", {}), next_cycle());
}

// One table over five cycles: the second thread named system_server, tenths
// that cross no boundary, a reused tid, two threads with the same 20-character
// key, a rename, threads ending, and system_server restarting.
TEST_F(SystemServerWatch, ThreadTableFollowsTheThreads) {
  boot();
  spawn(1000, "system_server", 12 * kSec, -900);
  thread(1001, "system_server", 3 * kSec);  // not the main thread: never recorded
  thread(1002, "android.anim", 250 * kMs);
  thread(1003, "binder:1000_1", 5 * kSec);
  thread(1004, "binder:1000_2", 4 * kSec);
  thread(12345, "abcdefghijklmno", 3 * kSec);   // key abcdefghijklmno12345
  thread(123456, "abcdefghijklmno", 7 * kSec);  // the same key, cut at 20
  load();
  EXPECT_EQ(ss_list("12-07 00:00:10", {ss_row(120, 1000, "system_server"), ss_row(70, 123456, "abcdefghijklmno"),
                                       ss_row(50, 1003, "binder:1000_1"), ss_row(40, 1004, "binder:1000_2"),
                                       ss_row(2, 1002, "android.anim")}),
            next_cycle());
  EXPECT_EQ(1u, change_uevents().size());  // 342

  k().add_cputime(1000, 10 * kSec, 0);
  k().add_cputime(1002, 40 * kMs, 0);  // 0.29 s: still 2 tenths
  k().exit_task(1003);
  thread(1003, "binder:1000_1", 1 * kSec);  // below the record's 5 s: delta kept
  k().rename(1004, "binder:1000_X");
  k().add_cputime(1004, 1500 * kMs, 0, 1);
  // The shared record passes to 12345 and back to 123456, with its whole runtime.
  EXPECT_EQ(ss_list("12-07 00:00:20", {ss_row(100, 1000, "system_server"), ss_row(70, 123456, "abcdefghijklmno"),
                                       ss_row(55, 1004, "binder:1000_X"), ss_row(50, 1003, "binder:1000_1"),
                                       ss_row(40, 1004, "binder:1000_2")}),
            next_cycle());

  k().add_cputime(1000, 10 * kSec, 0);
  k().add_cputime(1003, 300 * kMs, 0);  // from the new last_runtime of 10
  k().add_cputime(1002, 60 * kMs, 0);   // 0.35 s: 3 tenths
  k().exit_task(1004);                   // both its records go, though
  spawn(1004, "surfaceflinger");         // its tid now names another process
  EXPECT_EQ(ss_list("12-07 00:00:30", {ss_row(100, 1000, "system_server"), ss_row(70, 123456, "abcdefghijklmno"),
                                       ss_row(3, 1003, "binder:1000_1"), ss_row(1, 1002, "android.anim")}),
            next_cycle());
  // Four records now (system_server, the shared one, binder:1000_1, android.anim).
  sim::u64 live = k().alloc_stats("kmalloc").live_count;

  // A new system_server whose total passes the old one's (57.15 s) by 10.85 s:
  // none of the old process's records is left.
  k().exit_task(1000);
  spawn(2000, "system_server", 60 * kSec, -900);
  thread(2001, "android.anim", 8 * kSec, 2000);
  EXPECT_EQ(ss_list("12-07 00:00:40", {ss_row(600, 2000, "system_server"), ss_row(80, 2001, "android.anim")}),
            next_cycle());
  EXPECT_EQ(live - 2, k().alloc_stats("kmalloc").live_count);
  // Unloading frees the records still in the table.
  ASSERT_EQ(0, k().rmmod(kModule));
  EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
}

// Cycles without a system_server keep the table as it is; the next
// system_server, even one whose pid has no slot in the process table, is
// watched from its first cycle, and that cycle's sweep drops the old records.
TEST_F(SystemServerWatch, GapWithoutSystemServerKeepsTheTable) {
  boot();
  spawn(1000, "system_server", 12 * kSec);
  thread(1001, "android.anim", 2 * kSec);
  load();
  EXPECT_EQ(ss_list("12-07 00:00:10", {ss_row(120, 1000, "system_server"), ss_row(20, 1001, "android.anim")}),
            next_cycle());
  const sim::u64 records = k().alloc_stats("kmalloc").live_count;

  k().exit_task(1000);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(std::vector<std::string>{"Can't find the task of pid 0"}, next_cycle());
    EXPECT_EQ(records, k().alloc_stats("kmalloc").live_count);  // no sweep
  }

  // 32 s against the stored 14 s: a load of 180.
  spawn(40000, "system_server", 30 * kSec);
  thread(40001, "android.anim", 2 * kSec, 40000);
  EXPECT_EQ(ss_list("12-07 00:00:40", {ss_row(300, 40000, "system_server"), ss_row(20, 40001, "android.anim")}),
            next_cycle());
  EXPECT_EQ(1u, change_uevents().size());
  EXPECT_EQ(records, k().alloc_stats("kmalloc").live_count);  // two gone, two new
}

TEST_F(SystemServerWatch, AllocationFailuresAreTriedAgainNextCycle) {
  struct Case {
    Fault fault;
    std::vector<std::string> first;
    std::vector<int> levels;
  } cases[] = {
      {{"kmalloc", "pelk_record_thread", 2, 1, 0},
       {"Can't allocate memory for android.anim", "Can't find the info of android.anim", "[K]system_server TOP thread (12-07 00:00:10)",
        strf("[K]     Usage          PID        %20s", "Comm"), ss_row(120, 1000, "system_server")},
       {6, 3, 6}},
      {{"kmalloc", "pelk_log_top_threads", 1, 1, 0}, {"Failed to allocate memory for tasks array"}, {3}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first[0]);
    boot();
    spawn(1000, "system_server", 12 * kSec);
    thread(1001, "android.anim", 2 * kSec);
    k().add_fault(c.fault);
    load();
    size_t from = k().log().size();
    EXPECT_EQ(c.first, next_cycle());
    std::vector<int> levels;
    for (size_t i = from; i < k().log().size() && levels.size() < c.levels.size(); i++)
      levels.push_back(k().log()[i].level);
    EXPECT_EQ(c.levels, levels);
    EXPECT_EQ(1u, cycles().size());

    k().add_cputime(1000, 10 * kSec, 0);
    auto second = next_cycle();
    if (c.fault.site == "pelk_record_thread") {
      // Recorded now, from its whole runtime.
      EXPECT_EQ(ss_list("12-07 00:00:20", {ss_row(100, 1000, "system_server"), ss_row(20, 1001, "android.anim")}),
                second);
    } else {
      EXPECT_EQ(ss_list("12-07 00:00:20", {ss_row(100, 1000, "system_server")}), second);
    }
  }
}

}  // namespace
}  // namespace pelk_test

// The live backend's proc readers on recorded proc trees (trees/t0 and its
// successor trees/t1), through the unchanged module: exact figures of a
// cycle, and the entries a walk must skip.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "host.h"
#include "task_iter.h"

namespace fs = std::filesystem;

namespace {

// Lines of the kernel log without their timestamps, as the module made them.
struct Log {
  std::mutex mu;
  std::vector<std::string> lines;
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lk(mu);
    return std::move(lines);
  }
};

class RecordedTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelk_tree_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    point_at("t0");
    host::Options opt;
    opt.proc_root = (dir_ / "root").string();
    opt.cpu_root = (dir_ / "root" / "cpu").string();
    opt.sink = [this](const host::Record &r) {
      std::lock_guard<std::mutex> lk(log_.mu);
      // Built piece by piece: g++ 12 at -O3 gives a false -Wrestrict otherwise.
      std::string line;
      if (r.kind == host::Record::Printk) {
        line = r.text;
      } else {
        line = r.kind == host::Record::Uevent ? "<uevent " : "<event ";
        line += r.kind == host::Record::Uevent ? r.action : r.code;
        line += '>';
      }
      log_.lines.push_back(line);
    };
    kernel_ = std::make_unique<host::Kernel>(opt);
    // A period far longer than the test: cycles run only when flushed.
    ASSERT_EQ(kernel_->insmod(PELK_MODULE_PATH, "kmonitor_delay=100000"), 0) << kernel_->last_load_error();
    log_.take();
  }
  void TearDown() override {
    if (kernel_) {
      EXPECT_EQ(kernel_->rmmod("pelk_perf_util"), 0);
    }
    kernel_.reset();
    fs::remove_all(dir_);
  }
  // The proc root becomes the recorded tree `name`, at once.
  void point_at(const std::string &name) {
    fs::path link = dir_ / "root.new";
    fs::create_directory_symlink(fs::path(PELK_TREES_DIR) / name, link);
    fs::rename(link, dir_ / "root");
  }
  // One cycle's report: the lines from its start line to its done line.
  std::vector<std::string> cycle() {
    kernel_->flush_pending_works();
    std::vector<std::string> all = log_.take(), block;
    bool in = false;
    for (auto &l : all) {
      if (l.rfind("[K][Perf] PELK Perf Statistic start (", 0) == 0) {
        in = true;
        block.push_back("[K][Perf] PELK Perf Statistic start");
        continue;
      }
      if (l.rfind("[K]system_server TOP thread (", 0) == 0) {
        block.push_back("[K]system_server TOP thread");
        continue;
      }
      if (in || l.find("[K]") == 0) block.push_back(l);
      if (l == "[K][Perf] PELK Perf Statistic done") in = false;
    }
    return block;
  }
  fs::path dir_;
  Log log_;
  std::unique_ptr<host::Kernel> kernel_;
};

TEST_F(RecordedTree, SuccessorCycleGivesExactDeltasLoadsSplitAndSystemServerThreads) {
  cycle();  // the first cycle measures from zero
  point_at("t1");
  std::vector<std::string> want = {
      // system_server passed 100 % of one CPU: its busiest threads, by
      // tenths of a second since the last cycle (the new thread counts whole).
      "[K]system_server TOP thread",
      "[K]     Usage          PID                        Comm",
      "[K]      400%          100               system_server",
      "[K]      330%          101                Binder:100_1",
      "[K]       10%          103              HeapTaskDaemon",
      "[K][Perf] PELK Perf Statistic start",
      "[K]     Usage          PID                        Name          Total:100000(ms)*10       Oom_Score_Adj",
      "[K]      120%          100               system_server          120000000000(ns)           -900",
      "[K]       35%          200                com.busy.app          35000000000(ns)            100",
      // a newcomer counts its whole life; pid 40000 has no slot; 300 has
      // vanished, 400's stat is unreadable, 500's is malformed
      "[K]        3%          600                 new (comer)           3000000000(ns)              0",
      "[K]        0%            2                    kthreadd             50000000(ns)              0",
      "[K]        0%            1                        init             20000000(ns)              0",
      "[K]        0%            0                        NULL                    0(ns)              0",
      "[K]        0%            0                        NULL                    0(ns)              0",
      "[K]        0%            0                        NULL                    0(ns)              0",
      "[K]        0%            0                        NULL                    0(ns)              0",
      "[K]        0%            0                        NULL                    0(ns)              0",
      // ten CPUs: the two above the eighth count in the split only
      "[K]  Cpus Usage [80], [10], [50], [ 0], [ 0] [ 0], [ 0], [ 0]",
      "freeze_cpustat_zeb is effective",
      "[K]  user[32],system[02],iowait[00],irq[00],idle[65]",
      "[K][Perf] PELK Perf Statistic done",
  };
  // A recorded tree is read file by file, whatever the machine offers.
  EXPECT_EQ(kernel_->task_source(), host::TaskSource::Proc) << kernel_->task_source_reason();
  host::ReadStats before = kernel_->read_stats();
  EXPECT_EQ(cycle(), want);
  host::ReadStats after = kernel_->read_stats();
  // One listing per work that walks (the cycle, with its ten name look-ups
  // and thread sweep, and the health watch's), and each stat file read once
  // by each: seven processes (500's malformed), and system_server's four
  // threads by the cycle alone.  Each walk skips 300 (gone), 400 and 500.
  EXPECT_EQ(after.listings - before.listings, 2u);
  EXPECT_EQ(after.stat_reads - before.stat_reads, 7u + 4u + 7u);
  EXPECT_EQ(after.skipped - before.skipped, 3u + 3u);

  std::string proc;
  ASSERT_EQ(kernel_->proc_read("/proc/cpumonitor/cpu_monitor", &proc), 0);
  // The split, then the rows of per-CPU loads: the first cycle's over the
  // tree's whole life, the second's since the first.
  EXPECT_EQ(proc.substr(0, 75), "32, 02, 00, 00, 65, 15, 4,25, 1, 1, 1, 1, 1,80,10,50, 0, 0, 0, 0, 0, 0, 0, ");
}

TEST(ProcParsers, StatLinesAndCpuLists) {
  host::StatLine s;
  const std::string kthread = "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 7 15 0 0 20 0 1 0 2 0 0";
  ASSERT_TRUE(host::parse_stat_line(kthread.data(), kthread.size(), &s));
  EXPECT_EQ(s.pid, 2);
  EXPECT_STREQ(s.comm, "kthreadd");
  EXPECT_EQ(s.flags & 0x00200000u, 0x00200000u);
  EXPECT_EQ(s.utime, 7u);
  EXPECT_EQ(s.stime, 15u);
  // A name may hold blanks and parentheses: it ends at the last ')'.
  const std::string odd = "77 (a) b (c) R 1 77 77 0 -1 4194304 0 0 0 0 100 200 0 0 20 0 1 0";
  ASSERT_TRUE(host::parse_stat_line(odd.data(), odd.size(), &s));
  EXPECT_STREQ(s.comm, "a) b (c");
  EXPECT_EQ(s.utime, 100u);
  // A longer name (a workqueue worker with its work) keeps the 15 bytes a task's name holds.
  const std::string worker = "9 (kworker/0:1-events) I 2 0 0 0 -1 69238880 0 0 0 0 3 4 0 0 20 0 1 0";
  ASSERT_TRUE(host::parse_stat_line(worker.data(), worker.size(), &s));
  EXPECT_STREQ(s.comm, "kworker/0:1-eve");
  EXPECT_EQ(s.stime, 4u);
  for (const char *bad : {"", "77", "77 (x", "77 (x) R 1 2 3", "x7 (x) R 1 77 77 0 -1 0 0 0 0 0 1 2 0",
                          "77 (x) R 1 77 77 0 -1 0 0 0 0 0 -1 2 0", "77 (x) R 1 77 77 0 -1 0 0 0 0 0 1z 2 0"})
    EXPECT_FALSE(host::parse_stat_line(bad, std::strlen(bad), &s)) << bad;

  std::uint32_t m = 0;
  EXPECT_TRUE(host::parse_cpu_list("0-3,6,8-9\n", &m));
  EXPECT_EQ(m, 0x34fu);
  EXPECT_TRUE(host::parse_cpu_list("0-63", &m));  // CPUs from 32 on have no place
  EXPECT_EQ(m, 0xffffffffu);
  for (const char *bad : {"", "\n", "a", "3-1", "0-", "1,,2", "0 1", "1,", "-1", " 1"})
    EXPECT_FALSE(host::parse_cpu_list(bad, &m)) << bad;
}

TEST(ProcParsers, ProcStatAndOomScoreAdj) {
  host::CpuTicks t[host::kProcCpus];
  // The total line and lines of other counters are not CPUs; an older
  // kernel's four fields are enough, fewer are not; CPUs from 32 on, a
  // negative or an overflowing counter leave their line out.
  const std::string stat =
      "cpu  10 20 30 40 50 60 70 80 90 100\n"
      "cpu0 1 2 3 4 5 6 7 8 9 10\n"
      "cpu1 11 12 13 14\n"
      "cpu2 1 2 3\n"
      "cpu3 1 -2 3 4\n"
      "cpu4 1 2 3 99999999999999999999\n"
      "cpu32 1 2 3 4\n"
      "intr 5 6 7 8\n"
      "cpu5  7 8 9 10 11 12 13 14 15 16 17 18";
  EXPECT_EQ(host::parse_proc_stat(stat, t), 0x23u);
  EXPECT_EQ(t[0].ticks[0], 1u);
  EXPECT_EQ(t[0].ticks[9], 10u);
  EXPECT_EQ(t[1].ticks[3], 14u);
  EXPECT_EQ(t[1].ticks[4], 0u);
  EXPECT_EQ(t[5].ticks[0], 7u);  // a doubled blank, no newline at the end
  EXPECT_EQ(t[5].ticks[9], 16u);
  EXPECT_EQ(t[3].ticks[0] + t[3].ticks[1], 0u);

  short adj = 7;
  EXPECT_TRUE(host::parse_oom_score_adj("-1000\n", &adj));
  EXPECT_EQ(adj, -1000);
  EXPECT_TRUE(host::parse_oom_score_adj("905", &adj));
  EXPECT_EQ(adj, 905);
  for (const char *bad : {"", "-", "1001\n", "-1001", "12a\n", " 5", "99999999999999999999999"}) {
    adj = 7;
    EXPECT_FALSE(host::parse_oom_score_adj(bad, &adj)) << bad;
    EXPECT_EQ(adj, 7) << bad;
  }
}

// Every input kept from fuzzing the readers goes through all of them again
// (under the sanitizers in the sanitizer build).
// The kernel's adjustment of a task's tick-sampled user and system time to
// its runtime, as /proc/PID/stat answers them (values in nanoseconds).
TEST(ProcParsers, CputimeAdjustedAsTheKernelAnswers) {
  struct Row {
    host::u64 utime, stime, runtime, prev_ut, prev_st, ut, st;
  } rows[] = {
      {30, 10, 100, 0, 0, 75, 25},     // the runtime split in the ticks' ratio
      {30, 0, 100, 0, 0, 100, 0},      // no system tick: all user
      {0, 10, 100, 0, 0, 0, 100},      // no user tick: all system
      {0, 0, 100, 0, 0, 100, 0},       // no tick at all: user
      {30, 10, 100, 20, 40, 60, 40},   // system never below its last answer
      {30, 10, 100, 80, 10, 80, 20},   // nor user
      {30, 10, 100, 70, 40, 70, 40},   // runtime not above the last answer: that answer
      {30, 10, 90, 10, 10, 68, 22},    // 10 * 90 / 40 = 22.5, rounded down
      // ticks times runtime beyond 64 bits
      {3ull << 40, 1ull << 40, 1ull << 62, 0, 0, 3ull << 60, 1ull << 60},
  };
  for (const Row &r : rows) {
    host::u64 ut = 0, st = 0;
    host::adjust_cputime(r.utime, r.stime, r.runtime, r.prev_ut, r.prev_st, &ut, &st);
    EXPECT_EQ(ut, r.ut) << r.utime << " " << r.stime << " " << r.runtime;
    EXPECT_EQ(st, r.st) << r.utime << " " << r.stime << " " << r.runtime;
  }
}

TEST(ProcParsers, FuzzCorpusStillReads) {
  int files = 0;
  for (const auto &e : fs::directory_iterator(PELK_PROC_CORPUS_DIR)) {
    std::ifstream in(e.path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    host::StatLine s;
    if (host::parse_stat_line(text.data(), text.size(), &s)) {
      EXPECT_LE(std::strlen(s.comm), 15u);
    }
    std::uint32_t m;
    host::parse_cpu_list(text, &m);
    host::CpuTicks t[host::kProcCpus];
    host::parse_proc_stat(text, t);
    short adj = 0;
    if (host::parse_oom_score_adj(text, &adj)) {
      EXPECT_LE(adj < 0 ? -adj : adj, 1000);
    }
    files++;
  }
  EXPECT_GT(files, 0);
}

}  // namespace

// /proc/cpumonitor/cpu_monitor: the last split and five rows of loads.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

class ProcFile : public ModuleHarness {
 protected:
  static std::string row(std::vector<int> l) {
    std::string out;
    for (int v : l) out += strf("%2d,", v);
    return out;
  }
  static std::string zero_rows(int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += row({0, 0, 0, 0, 0, 0, 0, 0});
    return out;
  }
  void busy(int pid, unsigned milli, std::uint32_t cpus) {
    sim::CpuRate r;
    r.milli_cpu = milli;
    r.cpus = cpus;
    k().set_rate(pid, r);
  }
};

TEST_F(ProcFile, BeforeTheFirstCycleEverythingIsZero) {
  boot();
  load();
  std::string expected = "00, 00, 00, 00, 00, ";
  for (int i = 0; i < 40; i++) expected += " 0,";
  std::string got = proc();
  EXPECT_EQ(expected, got);
  EXPECT_EQ(140u, got.size());
  EXPECT_EQ("00, 00, 00, 00, 00,  0,", got.substr(0, 23));  // two blanks before the first load
  // Read piecewise, as a small buffer would.
  std::string chunked;
  ASSERT_EQ(0, k().proc_read(kProcFile, &chunked, 7));
  EXPECT_EQ(expected, chunked);
}

TEST_F(ProcFile, ShowsTheLastSplitAndTheRing) {
  boot();
  spawn(100, "ui", 0);
  busy(100, 100, 0x1);
  load();
  std::vector<std::string> reads;
  for (int i = 1; i <= 6; i++) {
    k().run_for(10 * kSec);
    reads.push_back(proc());
    busy(100, 100 * (i + 1), 0x1);
  }
  // After two cycles: two rows, three empty ones.  2 s of user time in 80.
  EXPECT_EQ("02, 00, 00, 00, 97, " + row({10, 0, 0, 0, 0, 0, 0, 0}) + row({20, 0, 0, 0, 0, 0, 0, 0}) + zero_rows(3),
            reads[1]);
  // After five cycles every row is filled, oldest first.
  EXPECT_EQ("06, 00, 00, 00, 93, " + row({10, 0, 0, 0, 0, 0, 0, 0}) + row({20, 0, 0, 0, 0, 0, 0, 0}) +
                row({30, 0, 0, 0, 0, 0, 0, 0}) + row({40, 0, 0, 0, 0, 0, 0, 0}) + row({50, 0, 0, 0, 0, 0, 0, 0}),
            reads[4]);
  // After the sixth the oldest has fallen out and the newest is last.
  EXPECT_EQ("07, 00, 00, 00, 92, " + row({20, 0, 0, 0, 0, 0, 0, 0}) + row({30, 0, 0, 0, 0, 0, 0, 0}) +
                row({40, 0, 0, 0, 0, 0, 0, 0}) + row({50, 0, 0, 0, 0, 0, 0, 0}) + row({60, 0, 0, 0, 0, 0, 0, 0}),
            reads[5]);
  // No cycle in between: the same bytes.
  EXPECT_EQ(reads[5], proc());
}

TEST_F(ProcFile, ValuesOfAHundredWidenTheContent) {
  sim::Config cfg;
  cfg.possible_cpus = cfg.online_cpus = 0x3;  // fewer than eight CPUs: the rest read 0
  boot(cfg);
  spawn(100, "spin", 0);
  busy(100, 1000, 0x2);
  load();
  k().run_for(10 * kSec);
  EXPECT_EQ("50, 00, 00, 00, 50, " + row({0, 100, 0, 0, 0, 0, 0, 0}) + zero_rows(4), proc());
  EXPECT_EQ(141u, proc().size());
  busy(100, 0, 0x2);
  k().run_for(10 * kSec);
  std::string idle = proc();
  EXPECT_EQ("00, 00, 00, 00, 100, " + row({0, 100, 0, 0, 0, 0, 0, 0}) + row({0, 0, 0, 0, 0, 0, 0, 0}) + zero_rows(3),
            idle);
  EXPECT_EQ(142u, idle.size());
}

TEST_F(ProcFile, HasNoWriteOperation) {
  boot();
  load();
  EXPECT_EQ(-5, k().proc_write(kProcFile, "1"));
  EXPECT_EQ(140u, proc().size());
}

TEST_F(ProcFile, FollowsTheModule) {
  boot();
  k().add_fault({"proc_mkdir", "", 1, 1, 0});
  load();
  // Without its directory the file is made at the top of /proc.
  EXPECT_FALSE(k().proc_exists(kProcFile));
  EXPECT_TRUE(k().proc_exists("/proc/cpu_monitor"));
  std::string out;
  EXPECT_EQ(0, k().proc_read("/proc/cpu_monitor", &out));
  EXPECT_EQ(140u, out.size());
  ASSERT_EQ(0, k().rmmod(kModule));
  EXPECT_FALSE(k().proc_exists("/proc/cpu_monitor"));

  k().add_fault({"proc_create", "", 1, 1, 0});
  load();
  EXPECT_FALSE(k().proc_exists(kProcFile));
  EXPECT_TRUE(k().proc_exists("/proc/cpumonitor"));
  k().run_for(10 * kSec);
  EXPECT_EQ(1u, cycles().size());  // the module runs on without it
  ASSERT_EQ(0, k().rmmod(kModule));
  EXPECT_FALSE(k().proc_exists("/proc/cpumonitor"));
}

// Each open file has its own seq_file state: a reader that opened before a
// cycle finishes reading what it began with, however readers interleave.
TEST_F(ProcFile, EachOpenReadsItsOwnContent) {
  boot();
  spawn(100, "ui", 0);
  busy(100, 500, 0x1);
  load();
  std::string before = proc();
  int a = k().proc_open(kProcFile);
  ASSERT_GE(a, 0);
  std::string got_a;
  ASSERT_EQ(10, k().proc_read_some(a, &got_a, 10));
  k().run_for(10 * kSec);
  int b = k().proc_open(kProcFile);
  ASSERT_GE(b, 0);
  std::string got_b;
  while (k().proc_read_some(b, &got_b, 3) > 0) {
    ASSERT_GT(k().proc_read_some(a, &got_a, 1), -1);
  }
  while (k().proc_read_some(a, &got_a, 64) > 0) {
  }
  EXPECT_EQ(before, got_a);
  EXPECT_EQ("06, 00, 00, 00, 93, " + row({50, 0, 0, 0, 0, 0, 0, 0}) + zero_rows(4), got_b);
  EXPECT_EQ(0, k().proc_close(a));
  EXPECT_EQ(0, k().proc_close(b));
  // A file still open when the module goes is released with its entry.
  int c = k().proc_open(kProcFile);
  ASSERT_GE(c, 0);
  ASSERT_EQ(0, k().rmmod(kModule));
  std::string late;
  EXPECT_EQ(-5, k().proc_read_some(c, &late, 10));
  EXPECT_EQ(0, k().proc_close(c));
  EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
}

}  // namespace
}  // namespace pelk_test

// Virtual clocks: monotonic, boot-time, wall clock and jiffies, with suspend.
#include "sim_test_util.h"

namespace {
using namespace simtest;

struct ClockStep {
  const char *what;
  std::function<void(sim::Kernel &)> act;
  sim::u64 mono, boot;
  sim::s64 wall_sec;
  sim::u64 jiffies;
};

TEST(Clock, StepsAndSuspend) {
  sim::Config cfg;
  cfg.uptime_ns = 2 * kSec;
  cfg.suspended_ns = 3 * kSec;
  cfg.wall_start_sec = 1000;
  sim::Kernel kern(cfg);
  const ClockStep steps[] = {
      {"start", [](sim::Kernel &) {}, 2 * kSec, 5 * kSec, 1005, 500},
      {"run 5ms", [](sim::Kernel &x) { x.run_for(5 * kMs); }, 2005 * kMs, 5005 * kMs, 1005, 501},
      {"suspend 10s", [](sim::Kernel &x) { x.suspend(10 * kSec); }, 2005 * kMs, 15005 * kMs, 1015, 501},
      {"run to 3s", [](sim::Kernel &x) { x.run_until(3 * kSec); }, 3 * kSec, 16 * kSec, 1016, 750},
      {"set wall", [](sim::Kernel &x) { x.set_wall_clock(5000); }, 3 * kSec, 16 * kSec, 5000, 750},
      {"suspend after set", [](sim::Kernel &x) { x.suspend(kSec); }, 3 * kSec, 17 * kSec, 5001, 750},
  };
  for (auto &s : steps) {
    SCOPED_TRACE(s.what);
    s.act(kern);
    EXPECT_EQ(s.mono, kern.monotonic_ns());
    EXPECT_EQ(s.mono, (sim::u64)k::ktime_get());
    EXPECT_EQ(s.boot, kern.boottime_ns());
    EXPECT_EQ(s.boot, (sim::u64)k::ktime_get_with_offset(k::TK_OFFS_BOOT));
    EXPECT_EQ(s.wall_sec, k::ktime_get_real_seconds());
    EXPECT_EQ(s.jiffies, k::get_jiffies_64());
    EXPECT_EQ(s.jiffies, kern.jiffies_now());
    k::timespec64 ts;
    k::ktime_get_real_ts64(&ts);
    EXPECT_EQ(s.wall_sec, ts.tv_sec);
    EXPECT_EQ(k::ktime_get_with_offset(k::TK_OFFS_REAL), ts.tv_sec * (sim::s64)kSec + ts.tv_nsec);
  }
}

TEST(Clock, TimeZoneIsTheKernelsVariable) {
  sim::Config cfg;
  cfg.tz_minuteswest = -480;
  sim::Kernel kern(cfg);
  EXPECT_EQ(-480, sys_tz_ptr()->tz_minuteswest);
  kern.set_tz_minuteswest(60);
  EXPECT_EQ(60, sys_tz_ptr()->tz_minuteswest);
}

TEST(Clock, DefaultWallClockStartsAtTheConfiguredSecond) {
  sim::Kernel kern;
  EXPECT_EQ(sim::Config().wall_start_sec, k::ktime_get_real_seconds());
  EXPECT_EQ(sim::Config().wall_start_sec * (sim::s64)kSec, kern.wall_ns());
}

// The tick rate is the machine's: jiffies, the ms conversions (which round
// up) and the expiry of a delayed work all follow it.
TEST(Clock, TickRateIsChosenPerMachine) {
  struct {
    int hz;
    sim::u64 jiffies_at_1s;
    unsigned long ten_s, one_ms;
    unsigned to_ms_of_7;
  } rows[] = {
      {250, 250, 2500, 1, 28},
      {100, 100, 1000, 1, 70},
      {300, 300, 3000, 1, 24},
      {1000, 1000, 10000, 1, 7},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.hz);
    sim::Config cfg;
    cfg.hz = r.hz;
    cfg.uptime_ns = kSec;
    sim::Kernel kern(cfg);
    EXPECT_EQ(r.jiffies_at_1s, kern.jiffies_now());
    EXPECT_EQ((unsigned)r.hz, k::__kernel_hz());
    EXPECT_EQ(r.ten_s, k::msecs_to_jiffies(10000));
    EXPECT_EQ(r.one_ms, k::msecs_to_jiffies(1));
    EXPECT_EQ(r.to_ms_of_7, k::jiffies_to_msecs(7));
  }
}

}  // namespace

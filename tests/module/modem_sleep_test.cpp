// Modem sleep statistics, as the modem's side sees them: the test module
// test_modem_user resolves pelk_perf_util's exports, hands over its block,
// changes it between cycles and reads sum_md_sleep_status and sleep_history
// back as bytes, which are decoded here at the agreed offsets.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>

#include "module/module_harness.h"

namespace pelk_test {
namespace {

using u64 = unsigned long long;
using Sleep = std::array<u64, 5>;
using Bytes = std::vector<unsigned char>;
constexpr u64 kUs = 1000000;  // a second in microseconds

std::string mod(const char *name) { return std::string(PELK_TEST_MODULE_DIR) + "/" + name + ".so"; }

// "2026-12-08T09:00:00Z" as UTC seconds.
long long utc(const char *iso) {
  struct tm tm = {};
  strptime(iso, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return (long long)timegm(&tm);
}

u64 le(const Bytes &b, size_t off, int n) {
  u64 v = 0;
  for (int i = n - 1; i >= 0; i--) v = v << 8 | b[off + i];
  return v;
}

// A record of sleep_history: "Y-M-D today=.../... base=.../...".
std::string record(const Bytes &h, int r) {
  size_t o = 96 * (size_t)r;
  std::string s = strf("%llu-%02llu-%02llu today=", le(h, o, 4), le(h, o + 4, 4), le(h, o + 8, 4));
  for (int i = 0; i < 5; i++) s += strf(i ? "/%llu" : "%llu", le(h, o + 16 + 8 * i, 8));
  s += " base=";
  for (int i = 0; i < 5; i++) s += strf(i ? "/%llu" : "%llu", le(h, o + 56 + 8 * i, 8));
  return s;
}

std::string dates(const Bytes &h) {
  std::string s;
  for (int r = 0; r < 5; r++)
    s += strf("%s%llu-%02llu-%02llu", r ? " " : "", le(h, 96 * r, 4), le(h, 96 * r + 4, 4), le(h, 96 * r + 8, 4));
  return s;
}

using Block = ModemBlock;

std::string sum_line(const Sleep &s, const char *utc_time) {
  return strf("[name:tpc&][K][info] SUM MD/2G/3G/4G/5G_FR1 = %6llu/%6llu/%6llu/%6llu/%6llu seconds [UTC][%s] ",
              s[0] / kUs, s[1] / kUs, s[2] / kUs, s[3] / kUs, s[4] / kUs, utc_time);
}
std::string duration_line(u64 d) { return strf("[K][info] md_slp_duration = %llu (32k)\n", d); }
const std::string kNotValid = "[K][info] MD sleep info. is not valid";
const std::string kNull = "[K][info]MD shared memory is NULL";
const std::string kNoShareMem = "[name:spm&][K][info][odpm_md_sleep_init:283] - No MD share mem\n";

class ModemSleep : public ModuleHarness {
 protected:
  // A two-CPU phone in UTC+1 with pelk_perf_util and the modem's module loaded.
  void start() {
    sim::Config cfg;
    cfg.possible_cpus = cfg.online_cpus = 0x3;
    cfg.tz_minuteswest = -60;
    boot(cfg);
    load();
    ASSERT_TRUE(modem_.take(k()));
  }

  void TearDown() override {
    modem_.release(k_.get());
    ModuleHarness::TearDown();
  }

  void give(const Block &b) { ASSERT_EQ(0, modem_.write(0, b.b, sizeof b.b)); }
  // What the hand-over logged, with a newline where the record had one.
  std::vector<std::string> hand_over(bool null_address = false) {
    size_t from = k().log().size();
    modem_.hand_over(null_address);
    return lines(from, k().log().size());
  }
  Bytes status() { return read().first; }
  Bytes history() { return read().second; }
  std::pair<Bytes, Bytes> read() {
    Bytes s(512), h(480);
    modem_.read(s.data(), h.data());
    return {s, h};
  }

  // Runs to the next cycle, the wall clock then showing `at`; returns the
  // lines between the start line and the top-ten header.
  std::vector<std::string> cycle(const char *at) {
    k().set_wall_clock(utc(at) - 10);
    size_t from = k().log().size();
    k().run_for(10 * kSec);
    const auto &log = k().log();
    size_t start = from, end = from;
    while (start < log.size() && log[start].text.rfind("[K][Perf] PELK Perf Statistic start", 0) != 0) start++;
    for (end = start; end < log.size() && log[end].text.rfind("[K]     Usage", 0) != 0; end++) {
    }
    EXPECT_LT(end, log.size()) << "no cycle with a top-ten header";
    return start < end ? lines(start + 1, end) : std::vector<std::string>{};
  }

  std::vector<std::string> lines(size_t from, size_t to) {
    std::vector<std::string> out;
    for (size_t i = from; i < to; i++) {
      const auto &r = k().log()[i];
      EXPECT_EQ(6, r.level) << r.text;
      out.push_back(r.text + (r.newline ? "\n" : ""));
    }
    return out;
  }

  TestModemUser modem_;
};

TEST_F(ModemSleep, ExportsAreGplOnlyAndHeldByTheirUser) {
  boot();
  // Nothing to resolve yet: the user fails and holds nothing.
  EXPECT_EQ(-ENOENT, k().insmod(mod("test_modem_user")));
  load();
  EXPECT_EQ(-ENOENT, k().insmod(mod("test_modem_plain")));
  EXPECT_EQ("test_modem_plain: pelk_perf_util symbols not found", k().log().back().text);
  ASSERT_EQ(0, k().insmod(mod("test_modem_user")));
  EXPECT_EQ(-EWOULDBLOCK, k().rmmod(kModule));
  EXPECT_EQ(0, k().rmmod("test_modem_user"));
}

// Each block starts from a valid one; the copy is taken whatever it holds,
// and a copy that is not valid leaves the history alone.
TEST_F(ModemSleep, ValidityAndTheSumLine) {
  const Sleep sleep = {1999999, 2000000, 0, 909000000, ~0ull};
  const std::vector<std::string> valid = {duration_line(32768000), sum_line(sleep, "2026-12-08 09:00:10")};
  const std::vector<std::string> not_valid = {kNotValid};
  struct Case {
    const char *what;
    std::function<void(Block &)> edit;
    const std::vector<std::string> &lines;
  } cases[] = {
      {"valid", [](Block &) {}, valid},
      {"head magic off by one", [](Block &b) { b.put(0, kModemMagic + 1, 4); }, not_valid},
      {"head magic in the other byte order", [](Block &b) { b.put(0, 0x2E706C53, 4); }, not_valid},
      {"tail magic with a zero byte", [](Block &b) { b.b[511] = 0; }, not_valid},
      {"stamps differ", [](Block &b) { b.put(4, 41, 4).put(504, 42, 4); }, not_valid},
      {"only the tail stamp set", [](Block &b) { b.put(504, 1, 4); }, not_valid},
      {"equal stamps", [](Block &b) { b.put(4, 41, 4).put(504, 41, 4); }, valid},
      {"reserved bytes set", [](Block &b) {
         memset(b.b + 8, 0xff, 32);
         memset(b.b + 96, 0xff, 408);
       }, valid},
  };
  start();
  ASSERT_EQ(std::vector<std::string>{}, hand_over());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Block b;
    b.put(40, 32768000, 8).sleep(sleep);
    c.edit(b);
    give(b);
    Bytes before = history();
    EXPECT_EQ(c.lines, cycle("2026-12-08T09:00:10Z"));
    EXPECT_EQ(Bytes(b.b, b.b + 512), status());
    if (&c.lines == &not_valid) {
      EXPECT_EQ(before, history());
    } else {
      EXPECT_EQ("2026-12-08 today=0/0/0/0/0 base=1999999/2000000/0/909000000/18446744073709551615",
                record(history(), 0));
    }
  }
}

// The day follows the local date (UTC+1 here); one move per date seen,
// whichever way the date went; the printed time is UTC.
TEST_F(ModemSleep, DayHistoryFollowsTheLocalDate) {
  struct Step {
    const char *at;  // UTC
    Sleep sleep;
    const char *record0;
    const char *dates;
    const char *printed;
  } steps[] = {
      {"2026-12-08T09:00:00Z", {10 * kUs, 1 * kUs, 2 * kUs, 3 * kUs, 4 * kUs},
       "2026-12-08 today=0/0/0/0/0 base=10000000/1000000/2000000/3000000/4000000",
       "2026-12-08 0-00-00 0-00-00 0-00-00 0-00-00", "2026-12-08 09:00:00"},
      {"2026-12-08T22:59:59Z", {15 * kUs, 1 * kUs, 2500000, 3 * kUs, 4100000},
       "2026-12-08 today=5000000/0/500000/0/100000 base=10000000/1000000/2000000/3000000/4000000",
       "2026-12-08 0-00-00 0-00-00 0-00-00 0-00-00", "2026-12-08 22:59:59"},
      // Local midnight has passed, UTC midnight not yet.
      {"2026-12-08T23:30:00Z", {20 * kUs, 2 * kUs, 3 * kUs, 4 * kUs, 5 * kUs},
       "2026-12-09 today=0/0/0/0/0 base=20000000/2000000/3000000/4000000/5000000",
       "2026-12-09 2026-12-08 0-00-00 0-00-00 0-00-00", "2026-12-08 23:30:00"},
      {"2026-12-10T10:00:00Z", {30 * kUs, 2 * kUs, 3 * kUs, 4 * kUs, 5 * kUs},
       "2026-12-10 today=0/0/0/0/0 base=30000000/2000000/3000000/4000000/5000000",
       "2026-12-10 2026-12-09 2026-12-08 0-00-00 0-00-00", "2026-12-10 10:00:00"},
      // Days without a cycle get no record.
      {"2026-12-13T10:00:00Z", {40 * kUs, 2 * kUs, 3 * kUs, 4 * kUs, 5 * kUs},
       "2026-12-13 today=0/0/0/0/0 base=40000000/2000000/3000000/4000000/5000000",
       "2026-12-13 2026-12-10 2026-12-09 2026-12-08 0-00-00", "2026-12-13 10:00:00"},
      {"2026-12-31T23:00:00Z", {50 * kUs, 2 * kUs, 3 * kUs, 4 * kUs, 5 * kUs},
       "2027-01-01 today=0/0/0/0/0 base=50000000/2000000/3000000/4000000/5000000",
       "2027-01-01 2026-12-13 2026-12-10 2026-12-09 2026-12-08", "2026-12-31 23:00:00"},
      // The sixth date: the first falls out.
      {"2027-01-02T10:00:00Z", {60 * kUs, 2 * kUs, 3 * kUs, 4 * kUs, 5 * kUs},
       "2027-01-02 today=0/0/0/0/0 base=60000000/2000000/3000000/4000000/5000000",
       "2027-01-02 2027-01-01 2026-12-13 2026-12-10 2026-12-09", "2027-01-02 10:00:00"},
      // A year back, to the same month and day: a new record all the same.
      {"2026-01-02T10:00:00Z", {70 * kUs, 2 * kUs, 3 * kUs, 4 * kUs, 5 * kUs},
       "2026-01-02 today=0/0/0/0/0 base=70000000/2000000/3000000/4000000/5000000",
       "2026-01-02 2027-01-02 2027-01-01 2026-12-13 2026-12-10", "2026-01-02 10:00:00"},
      {"2026-01-02T10:00:10Z", {71 * kUs, 2 * kUs, 3 * kUs, 4 * kUs, 6 * kUs},
       "2026-01-02 today=1000000/0/0/0/1000000 base=70000000/2000000/3000000/4000000/5000000",
       "2026-01-02 2027-01-02 2027-01-01 2026-12-13 2026-12-10", "2026-01-02 10:00:10"},
  };
  start();
  give(Block().sleep(steps[0].sleep));
  hand_over();
  auto *exported = (unsigned char *)__symbol_get("sleep_history");
  ASSERT_NE(nullptr, exported);
  for (const Step &s : steps) {
    SCOPED_TRACE(s.at);
    // A reader's mark in record 0's reserved word, to follow it.
    exported[12] = 0xa5;
    Bytes before = history();
    give(Block().put(40, 7, 8).sleep(s.sleep));
    EXPECT_EQ((std::vector<std::string>{duration_line(7), sum_line(s.sleep, s.printed)}), cycle(s.at));
    Bytes after = history();
    EXPECT_EQ(s.record0, record(after, 0));
    EXPECT_EQ(s.dates, dates(after));
    if (dates(before).substr(0, 10) != dates(after).substr(0, 10)) {
      // Records 0 to 3 moved on whole, reserved words and all.
      EXPECT_TRUE(std::equal(before.begin(), before.begin() + 384, after.begin() + 96));
      EXPECT_EQ(0xa5, after[96 + 12]);
    }
  }
  __symbol_put("sleep_history");
}

// Nothing before a hand-over of a block; after a null address the cycle
// says so and goes on with its last copy, even while the modem's block changes.
TEST_F(ModemSleep, NoHandOverThenNullHandOvers) {
  start();
  give(Block().sleep({5 * kUs, 0, 0, 0, 0}));
  EXPECT_EQ(std::vector<std::string>{}, cycle("2026-12-08T08:59:50Z"));
  EXPECT_EQ(std::vector<std::string>{kNoShareMem}, hand_over(true));
  EXPECT_EQ(std::vector<std::string>{}, cycle("2026-12-08T09:00:00Z"));
  EXPECT_EQ(Bytes(512), status());
  EXPECT_EQ(Bytes(480), history());

  const Sleep first = {3 * kUs, 0, 0, 2 * kUs, 1 * kUs};
  give(Block().put(40, 99, 8).sleep(first));
  EXPECT_EQ(std::vector<std::string>{}, hand_over());
  EXPECT_EQ((std::vector<std::string>{duration_line(99), sum_line(first, "2026-12-08 09:00:10")}),
            cycle("2026-12-08T09:00:10Z"));

  EXPECT_EQ(std::vector<std::string>{kNoShareMem}, hand_over(true));
  give(Block().put(40, 100, 8).sleep({9 * kUs, 9 * kUs, 9 * kUs, 9 * kUs, 9 * kUs}));
  EXPECT_EQ((std::vector<std::string>{kNull, duration_line(99), sum_line(first, "2026-12-08 09:00:20")}),
            cycle("2026-12-08T09:00:20Z"));
  EXPECT_EQ("2026-12-08 today=0/0/0/0/0 base=3000000/0/0/2000000/1000000", record(history(), 0));
  // A new day on the old copy.
  EXPECT_EQ((std::vector<std::string>{kNull, duration_line(99), sum_line(first, "2026-12-09 09:00:00")}),
            cycle("2026-12-09T09:00:00Z"));
  EXPECT_EQ("2026-12-09 today=0/0/0/0/0 base=3000000/0/0/2000000/1000000", record(history(), 0));
  EXPECT_EQ("2026-12-08", record(history(), 1).substr(0, 10));
  // An invalid copy behind a null address stays invalid.
  give(Block().put(4, 1, 4));
  EXPECT_EQ(std::vector<std::string>{}, hand_over());
  cycle("2026-12-09T09:00:10Z");
  EXPECT_EQ(std::vector<std::string>{kNoShareMem}, hand_over(true));
  EXPECT_EQ((std::vector<std::string>{kNull, kNotValid}), cycle("2026-12-09T09:00:20Z"));
}

// A counter below its value at the previous valid cycle has started again:
// the day keeps what it had counted and adds the new count; base_time
// becomes 0, the value the counter started again from.  Never a wrapped
// today_time.
TEST_F(ModemSleep, CounterStartingAgainAddsToTheDay) {
  struct Step {
    const char *at;
    Sleep sleep;
    const char *record0;
  } steps[] = {
      {"2026-12-08T09:00:00Z", {100 * kUs, 50 * kUs, 7, 10 * kUs, 5 * kUs},
       "2026-12-08 today=0/0/0/0/0 base=100000000/50000000/7/10000000/5000000"},
      {"2026-12-08T10:00:00Z", {500 * kUs, 70 * kUs, 7, 10 * kUs, 5 * kUs},
       "2026-12-08 today=400000000/20000000/0/0/0 base=100000000/50000000/7/10000000/5000000"},
      // MD starts again from zero, below its base: 400 s so far, 200 s since.
      {"2026-12-08T11:00:00Z", {200 * kUs, 80 * kUs, 7, 10 * kUs, 5 * kUs},
       "2026-12-08 today=600000000/30000000/0/0/0 base=0/50000000/7/10000000/5000000"},
      {"2026-12-08T12:00:00Z", {300 * kUs, 80 * kUs, 7, 10 * kUs, 5 * kUs},
       "2026-12-08 today=700000000/30000000/0/0/0 base=0/50000000/7/10000000/5000000"},
      // 2G starts again and has already passed its base: a restart all the same.
      // 3G and 5G_FR1 start again at zero.
      {"2026-12-08T13:00:00Z", {300 * kUs, 55 * kUs, 0, 10 * kUs, 0},
       "2026-12-08 today=700000000/85000000/0/0/0 base=0/0/0/10000000/0"},
      {"2026-12-08T14:00:00Z", {301 * kUs, 56 * kUs, 1, 11 * kUs, 2},
       "2026-12-08 today=701000000/86000000/1/1000000/2 base=0/0/0/10000000/0"},
      // A new day starts from the counters as they are.
      {"2026-12-09T09:00:00Z", {302 * kUs, 57 * kUs, 1, 11 * kUs, 2},
       "2026-12-09 today=0/0/0/0/0 base=302000000/57000000/1/11000000/2"},
  };
  start();
  hand_over();
  for (const Step &s : steps) {
    SCOPED_TRACE(s.at);
    give(Block().sleep(s.sleep));
    cycle(s.at);
    EXPECT_EQ(s.record0, record(history(), 0));
  }
  EXPECT_EQ("2026-12-08 today=701000000/86000000/1/1000000/2 base=0/0/0/10000000/0", record(history(), 1));
}

}  // namespace
}  // namespace pelk_test

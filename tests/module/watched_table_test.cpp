// The watched-application table: the name list, and which process names the
// module's table finds once it is built.
#include <map>
#include <string>

#include "module/module_harness.h"

namespace names {
#include "../../drivers/misc/perf_log/app_health_names.h"
}

namespace pelk_test {
namespace {

TEST(WatchedNames, CountsOfTheList) {
  std::map<std::string, int> seen;
  int of15 = 0, of10to14 = 0;
  for (const char *name : names::comm_list) {
    const std::string n = name;
    EXPECT_LE(n.size(), 15u) << n;
    // A process name is a package name, perhaps with ":process" after it.
    EXPECT_EQ(std::string::npos,
              n.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._:-"))
        << n;
    if (n.size() == 15) of15++;
    if (n.size() >= 10 && n.size() <= 14) of10to14++;
    seen[n]++;
  }
  int repeated = 0, surplus = 0;
  for (const auto &[n, count] : seen) {
    if (count > 1) {
      repeated++;
      surplus += count - 1;
    }
  }
  EXPECT_EQ(528u, std::size(names::comm_list));
  EXPECT_EQ(510, of15);
  EXPECT_EQ(18, of10to14);
  EXPECT_EQ(16, repeated);
  EXPECT_EQ(20, surplus);
  EXPECT_EQ(508u, seen.size());
}

// A watched process that used 20 s of CPU before the first health cycle is
// logged in that cycle (a first sighting of at most 20 s counts whole):
// whether it is logged tells whether its name is watched.
class WatchedTable : public ModuleHarness {
 protected:
  static std::string line_of(const std::string &name) { return name + ", 1min:33, 5min:6"; }

  // Names of the processes the first health cycle logged.
  std::vector<std::string> logged_in_first_cycle(const std::vector<std::string> &comms) {
    int pid = 1000;
    for (const auto &c : comms) spawn(pid++, c, 20 * kSec, 900);
    k().run_for(10 * kSec);
    std::vector<std::string> out;
    for (const auto &t : texts()) {
      const size_t at = t.find(", 1min:");
      if (at != std::string::npos) out.push_back(t.substr(0, at));
    }
    return out;
  }
};

TEST_F(WatchedTable, FindsExactlyTheListedCharacters) {
  struct Case {
    const char *comm;
    bool watched;
  } cases[] = {
      {"ndroid.systemui", true},    // listed, 15 characters
      {"ndroid.systemu", false},    // a prefix of it
      {"droid.systemui", false},    // its end
      {"ndroid.systemuI", false},   // one character differs
      {"Ndroid.systemui", false},
      {"com.tencent.mm", true},     // listed whole, 14 characters
      {"com.tencent.m", false},
      {"xcom.tencent.mm", false},   // a longer name that ends in it
      {"com.android.nfc", true},    // listed whole, 15 characters
      {"android.youtube", true},    // listed four times
      {"m.android.phone", true},    // first of the list
      {"coilsw.launcher", true},    // last of the list
      {"system_server", false},
  };
  boot();
  load();
  std::vector<std::string> comms, expected;
  for (const auto &c : cases) {
    comms.push_back(c.comm);
    if (c.watched) expected.push_back(c.comm);
  }
  EXPECT_EQ(expected, logged_in_first_cycle(comms));
  // The name is read anew in every cycle: a watched process renamed to an
  // unwatched name is no longer sampled, and the other way round.  Pid 1001
  // continues the name's record (20 s so far, last sample 20 s): its 40 s
  // add 20 s, 40 s in the last minute.
  k().clear_log();
  k().rename(1000, "ndroid.systemux");
  k().rename(1001, "ndroid.systemui");
  k().add_cputime(1000, 20 * kSec, 0);
  k().add_cputime(1001, 20 * kSec, 0);
  k().run_for(10 * kSec);
  std::vector<std::string> lines;
  for (const auto &t : texts())
    if (t.rfind("ndroid.systemu", 0) == 0) lines.push_back(t);
  EXPECT_EQ(std::vector<std::string>{"ndroid.systemui, 1min:66, 5min:13"}, lines);
}

// An insertion that fails with anything but -EEXIST ends the loop with one
// warning: the names from that position on are not watched, the cycle runs.
TEST_F(WatchedTable, InsertionFailureLeavesTheLaterNamesOut) {
  struct Case {
    int nth;    // the failing insertion, 1-based: list position nth - 1
    int error;  // 0: the usual -ENOMEM
    std::vector<std::string> warnings;
    const char *watched;  // each probe below in turn: x watched, . not
  } cases[] = {
      {1, 0, {"Test failed insertion returned err -12"}, "....."},
      // Positions 198 and 199 repeat 36 and 35, inserted before the failure.
      {200, -7, {"Test failed insertion returned err -7"}, "xxx.."},
      {528, 0, {"Test failed insertion returned err -12"}, "xxxx."},
      {201, -17, {}, "xxx.x"},  // passed over: only that entry is missing
  };
  // The list's first and last names, and names around position 199.
  const std::vector<std::string> probe = {names::comm_list[0], names::comm_list[198],
                                          names::comm_list[199], names::comm_list[200],
                                          names::comm_list[527]};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.nth);
    SCOPED_TRACE(c.error);
    boot();
    k().add_fault({"rhashtable_insert", "", c.nth, 1, c.error});
    load();
    std::vector<std::string> warnings;
    for (const auto &r : k().log())
      if (r.level == 4 && r.text.rfind("Test failed", 0) == 0) warnings.push_back(r.text);
    EXPECT_EQ(c.warnings, warnings);

    std::vector<std::string> expected;
    for (size_t i = 0; i < probe.size(); i++)
      if (c.watched[i] == 'x') expected.push_back(probe[i]);
    EXPECT_EQ(expected, logged_in_first_cycle(probe));
    bool armed = false;
    for (const auto &w : k().pending_works()) armed |= w.wq == "app_health_info";
    EXPECT_TRUE(armed);
    EXPECT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

// Without the table there is never a health cycle; nothing is left behind.
TEST_F(WatchedTable, TableSetupFailuresMeanNoCycle) {
  struct Case {
    const char *name;
    sim::Fault fault;
    const char *prefix, *line;  // the line, as logged() shows it
  } cases[] = {
      {"record", {"vmalloc", "health_table_init", 1, 1, 0}, "fail", "<6>fail to malloc comm_list\n"},
      {"ht", {"rhashtable_init", "", 1, 1, 0}, "rhashtable_init", "<6>rhashtable_init:falied"},
      {"ht -EINVAL", {"rhashtable_init", "", 1, 1, -22}, "rhashtable_init", "<6>rhashtable_init:falied"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    boot();
    k().add_fault(c.fault);
    spawn(1000, "ndroid.systemui", 20 * kSec, 900);
    load();
    EXPECT_EQ(c.line, logged(c.prefix));
    EXPECT_EQ(std::vector<std::string>{"pelk_perf_monitor_wq"}, k().workqueues());
    EXPECT_EQ(5u, k().alloc_stats("vmalloc").live_count);  // the monitor's context and arrays
    k().set_feature(kHealthFeature, 1);
    k().notify_feature_change();
    k().run_for(700 * kSec);
    for (const auto &t : texts()) EXPECT_EQ(std::string::npos, t.find(", 1min:")) << t;
    EXPECT_TRUE(k().event_reports().empty());
    // Unloading destroys no table that was never set up.
    ASSERT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(0u, k().alloc_stats("vmalloc").live_count);
    EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

}  // namespace
}  // namespace pelk_test

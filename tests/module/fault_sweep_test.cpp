// Every site where the module asks the kernel for something that can fail,
// made to fail on its own: at its first call and at a later one, during the
// load and during cycles.  Whatever fails, the module logs what it must,
// the rest of it keeps running, and after the unload nothing is left: no
// memory, workqueue, proc entry or violation of the kernel's rules.
#include <algorithm>

#include "module/module_harness.h"

namespace pelk_test {
namespace {

class FaultSweep : public ModuleHarness {
 protected:
  // A small busy phone: system_server, two watched applications and a busy
  // thread of system_server, all using CPU time every cycle.
  void phone() {
    spawn(500, "system_server");
    spawn(501, "binder:500_1", 0, 0, 500);
    k().set_rate(500, {300, 500, 1});
    k().set_rate(501, {900, 700, 2});
    int pid = 1000;
    for (const char *comm : {"com.tencent.mm", "ndroid.systemui"}) {
      spawn(pid, comm, 0, 900);
      k().set_rate(pid++, {800, 900, 4});
    }
  }

  size_t done_lines(size_t from) const {
    auto t = texts(from);
    return (size_t)std::count(t.begin(), t.end(), std::string("[K][Perf] PELK Perf Statistic done"));
  }
};

TEST_F(FaultSweep, EverySiteFailsAloneAtLoadAndDuringCycles) {
  struct Case {
    sim::Fault fault;
    bool at_load;            // added before insmod; otherwise after two cycles
    const char *message;     // a line the failure logs ("" when it logs none)
    bool cycles;             // report cycles still run afterwards
  };
  const Case cases[] = {
      // The watched names' table.
      {{"vmalloc", "health_table_init", 1, 1, 0}, true, "fail to malloc comm_list", true},
      {{"rhashtable_init", "", 1, 1, 0}, true, "rhashtable_init:falied", true},
      {{"rhashtable_insert", "", 1, 1, 0}, true, "Test failed insertion returned err", true},
      {{"rhashtable_insert", "", 7, 1, 0}, true, "Test failed insertion returned err", true},
      // The health watch.
      {{"kmalloc", "health_cycle_init", 1, 1, 0}, true, "Failed to allocate memory for work data", true},
      {{"alloc_workqueue", "app_health_info", 1, 1, 0}, true, "Failed to create workqueue", true},
      {{"kmalloc", "health_record_get", 1, 1, 0}, false, "Memory allocation failed", true},
      {{"kmalloc", "health_record_get", 2, 1, 0}, false, "Memory allocation failed", true},
      // The report cycle.
      {{"alloc_workqueue", "pelk_perf_monitor_wq", 1, 1, 0}, true, "", false},
      {{"vmalloc", "pelk_monitor_init", 1, 1, 0}, true, "", false},
      {{"vmalloc", "pelk_monitor_init", 3, 1, 0}, true, "", false},
      {{"kmalloc", "pelk_record_thread", 1, 1, 0}, false, "Can't allocate memory for", true},
      {{"kmalloc", "pelk_record_thread", 3, 1, 0}, false, "Can't allocate memory for", true},
      {{"kmalloc", "pelk_log_top_threads", 1, 1, 0}, false, "Failed to allocate memory for tasks array", true},
      {{"kmalloc", "pelk_log_top_threads", 2, 1, 0}, false, "Failed to allocate memory for tasks array", true},
      // User-space outputs.
      {{"proc_mkdir", "cpumonitor", 1, 1, 0}, true, "", true},
      {{"proc_create", "cpu_monitor", 1, 1, 0}, true, "", true},
      {{"misc_register", "pelk_systemserver_loading", 1, 1, 0}, true, "register systemserver_object failed", true},
      {{"kobject_uevent", "pelk_systemserver_loading", 1, 1, 0}, true, "kobject_uevent creat failed", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault.facility + " " + c.fault.site + " #" + std::to_string(c.fault.nth) +
                 (c.at_load ? " at load" : " in cycles"));
    boot();
    phone();
    k().set_feature(kHealthFeature, 1);
    if (c.at_load) k().add_fault(c.fault);
    load("kmonitor_delay=1000");
    k().notify_feature_change();
    k().run_for(2 * kSec + kSec / 2);
    size_t from = k().log().size();
    if (!c.at_load) k().add_fault(c.fault);
    for (int tid = 502; tid <= 504; tid++) {  // new threads to record
      spawn(tid, "binder:500_" + std::to_string(tid - 500), 0, 0, 500);
      k().set_rate(tid, {100, 500, 1});
    }
    k().run_for(25 * kSec);
    auto t = texts(c.at_load ? 0 : from);
    if (*c.message) {
      EXPECT_TRUE(std::any_of(t.begin(), t.end(), [&](const std::string &l) { return l.find(c.message) == 0; }))
          << c.message;
    }
    // The rest runs: cycles go on after the failure (the next recovers), and
    // the proc file, when it exists, reads whole.
    if (c.cycles) {
      EXPECT_GE(done_lines(from), 20u);
    } else {
      EXPECT_EQ(0u, done_lines(0));
    }
    std::string out;
    if (k().proc_exists(kProcFile)) {
      EXPECT_EQ(0, k().proc_read(kProcFile, &out));
    }
    if (c.fault.facility == "kmalloc" || c.fault.facility == "vmalloc") {
      EXPECT_EQ(1u, k().alloc_stats(c.fault.facility).failed_calls);  // it did fail, once
    }
    EXPECT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(0u, k().alloc_stats("kmalloc").live_count);
    EXPECT_EQ(0u, k().alloc_stats("vmalloc").live_count);
    EXPECT_EQ(std::vector<std::string>{}, k().workqueues());
    EXPECT_FALSE(k().proc_exists(kProcFile));
    EXPECT_FALSE(k().proc_exists("/proc/cpumonitor"));
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
    k().clear_faults();
  }
}

}  // namespace
}  // namespace pelk_test

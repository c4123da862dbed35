// Module loading, parameters, exports, leftovers, devices and services,
// with the small test modules.
#include "sim_test_util.h"

namespace {
using namespace simtest;

std::string param(sim::Kernel &kern, const char *mod, const char *name) {
  std::string v;
  int rc = kern.param_read(mod, name, &v);
  return rc ? "error " + std::to_string(rc) : v;
}

struct ParamCase {
  const char *params;
  int rc;
  const char *value;    // of "value" after the load, when it succeeded
  const char *message;  // the last log line
};

TEST(Modules, ParametersAsTheKernelParsesThem) {
  const ParamCase cases[] = {
      {"", 0, "5\n", "test_param: value=5 fixed=9 strict=1"},
      {"value=12 strict=3", 0, "12\n", "test_param: value=12 fixed=9 strict=3"},
      {"  value=\"7\"  ", 0, "7\n", "test_param: value=7 fixed=9 strict=1"},
      {"\"value=8\"", 0, "8\n", "test_param: value=8 fixed=9 strict=1"},
      {"bogus=1 value=3", 0, "3\n", "test_param: value=3 fixed=9 strict=1"},
      {"strict=-5", -EINVAL, nullptr, "test_param: `-5' invalid for parameter `strict'"},
      {"strict=-5 value=2", -EINVAL, nullptr, "test_param: `-5' invalid for parameter `strict'"},
      {"value", -EINVAL, nullptr, "test_param: `' invalid for parameter `value'"},
      {"value=abc", -EINVAL, nullptr, "test_param: `abc' invalid for parameter `value'"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.params);
    sim::Kernel kern;
    EXPECT_EQ(c.rc, kern.insmod(module_path("test_param"), c.params));
    EXPECT_EQ(c.rc == 0, kern.module_loaded("test_param"));
    if (c.value) {
      EXPECT_EQ(c.value, param(kern, "test_param", "value"));
    }
    ASSERT_FALSE(kern.log().empty());
    EXPECT_EQ(c.message, kern.log().back().text);
    EXPECT_TRUE(kern.violations().empty());
  }
  sim::Kernel kern;
  kern.insmod(module_path("test_param"), "bogus=1");
  EXPECT_EQ("test_param: unknown parameter 'bogus' ignored", kern.log().front().text);
  EXPECT_EQ(4, kern.log().front().level);
}

TEST(Modules, ParametersThroughSysfs) {
  sim::Kernel kern;
  ASSERT_EQ(0, kern.insmod(module_path("test_param")));
  EXPECT_EQ(-EEXIST, kern.insmod(module_path("test_param")));
  EXPECT_EQ(0, kern.param_write("test_param", "value", "15\n"));
  EXPECT_EQ("15\n", param(kern, "test_param", "value"));
  EXPECT_EQ(-EINVAL, kern.param_write("test_param", "strict", "-1"));
  EXPECT_EQ("1\n", param(kern, "test_param", "strict"));
  EXPECT_EQ(-EACCES, kern.param_write("test_param", "fixed", "1"));
  EXPECT_EQ("9\n", param(kern, "test_param", "fixed"));
  EXPECT_EQ(-ENOENT, kern.param_write("test_param", "nothing", "1"));
  EXPECT_EQ(-ENOENT, kern.param_write("no_module", "value", "1"));
  EXPECT_EQ(0, kern.rmmod("test_param"));
  EXPECT_EQ("test_param: exit value=15", kern.log().back().text);
  EXPECT_EQ(-ENOENT, kern.rmmod("test_param"));
  ASSERT_EQ(4u, kern.module_events().size());
  EXPECT_EQ(-EEXIST, kern.module_events()[1].result);
  EXPECT_FALSE(kern.module_events()[2].load);
  // Loading again starts from the module's initial state.
  ASSERT_EQ(0, kern.insmod(module_path("test_param")));
  EXPECT_EQ("5\n", param(kern, "test_param", "value"));
  EXPECT_EQ(-ENOEXEC, kern.insmod(module_path("no_such_module")));
  EXPECT_FALSE(kern.last_load_error().empty());
}

TEST(Modules, FailingInit) {
  sim::Kernel kern;
  EXPECT_EQ(-ENODEV, kern.insmod(module_path("test_initfail")));
  EXPECT_FALSE(kern.module_loaded("test_initfail"));
  EXPECT_EQ("test_initfail: failing with -19", kern.log().back().text);
  EXPECT_TRUE(kern.violations().empty());
  EXPECT_EQ(-ENOMEM, kern.insmod(module_path("test_initfail"), "err=-12 leak=1"));
  EXPECT_EQ(std::vector<std::string>{"memory left behind by test_initfail: kmalloc from test_initfail_init "
                                     "(1 allocation, 100 bytes)"},
            kern.violations());
  // A positive result is a warning only, as in the kernel.
  EXPECT_EQ(0, kern.insmod(module_path("test_initfail"), "err=1"));
  EXPECT_TRUE(kern.module_loaded("test_initfail"));
}

struct SymbolCase {
  const char *user;
  bool with_export;
  const char *gpl, *plain;
};

TEST(Modules, SymbolGetHonoursLicences) {
  const SymbolCase cases[] = {
      {"test_gpl_user", true, "42\n", "7\n"},
      {"test_plain_user", true, "-1\n", "7\n"},
      {"test_gpl_user", false, "-1\n", "-1\n"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.user);
    sim::Kernel kern;
    if (c.with_export) {
      ASSERT_EQ(0, kern.insmod(module_path("test_export")));
    }
    ASSERT_EQ(0, kern.insmod(module_path(c.user)));
    EXPECT_EQ(c.gpl, param(kern, c.user, "gpl_answer"));
    EXPECT_EQ(c.plain, param(kern, c.user, "plain_answer"));
    if (c.with_export) {
      EXPECT_EQ(-EWOULDBLOCK, kern.rmmod("test_export"));
      EXPECT_EQ(0, kern.rmmod(c.user));
      EXPECT_EQ(0, kern.rmmod("test_export"));
    }
    EXPECT_TRUE(kern.violations().empty());
  }
  sim::Kernel kern;
  kern.insmod(module_path("test_export"));
  kern.insmod(module_path("test_gpl_user"), "keep=1");
  EXPECT_EQ(0, kern.rmmod("test_gpl_user"));
  EXPECT_TRUE(has_violation(kern, "module test_gpl_user left symbol test_gpl_answer held"));
  EXPECT_EQ(0, kern.rmmod("test_export"));
}

class Leaky : public ::testing::Test {
 protected:
  sim::Kernel kern;
  const std::string path = module_path("test_leaky");
};

TEST_F(Leaky, CleanLifecycle) {
  ASSERT_EQ(0, kern.insmod(path));
  std::string s;
  EXPECT_EQ(0, kern.proc_read("/proc/test_leaky/state", &s, 5));
  EXPECT_EQ("runs=0 notified=0 data=hello\n", s);
  EXPECT_EQ(127, kern.misc_minor("test_leaky_dev"));
  ASSERT_EQ(1u, kern.uevents().size());
  EXPECT_EQ((std::vector<std::string>{"ACTION=change", "DEVPATH=/devices/virtual/misc/test_leaky_dev",
                                      "SUBSYSTEM=misc", "LEAKY=1", "MAJOR=10", "MINOR=127",
                                      "DEVNAME=test_leaky_dev", "SEQNUM=1"}),
            kern.uevents()[0].env);
  EXPECT_EQ(std::vector<std::string>{"test_leaky_wq7"}, kern.workqueues());
  EXPECT_EQ(1, kern.notifier_count());
  kern.notify_feature_change(2);
  EXPECT_EQ("3\n", param(kern, "test_leaky", "notified"));
  kern.run_for(250 * kMs);
  EXPECT_EQ("2\n", param(kern, "test_leaky", "runs"));
  EXPECT_EQ(0, kern.rmmod("test_leaky"));
  EXPECT_TRUE(kern.violations().empty());
  EXPECT_FALSE(kern.misc_device_exists("test_leaky_dev"));
  EXPECT_TRUE(kern.proc_list().empty());
  EXPECT_TRUE(kern.workqueues().empty());
  EXPECT_EQ(0, kern.notifier_count());
  EXPECT_EQ(0u, kern.alloc_stats("kmalloc").live_count);
  ASSERT_EQ(0, kern.insmod(path));
  EXPECT_EQ("0\n", param(kern, "test_leaky", "runs"));
}

TEST_F(Leaky, WhatIsLeftBehindIsNamed) {
  const std::pair<int, std::vector<std::string>> cases[] = {
      {1, {"memory left behind by test_leaky: kmalloc from leaky_init (1 allocation, 64 bytes)"}},
      {2, {"work left pending on test_leaky_wq7 by test_leaky", "workqueue left behind: test_leaky_wq7"}},
      {4, {"workqueue left behind: test_leaky_wq7"}},
      {8, {"proc entry left behind: /proc/test_leaky", "proc entry left behind: /proc/test_leaky/state"}},
      {16, {"misc device left registered: test_leaky_dev"}},
      {32, {"notifier left registered by test_leaky"}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.first);
    kern.clear_violations();
    ASSERT_EQ(0, kern.insmod(path, "leave=" + std::to_string(c.first)));
    ASSERT_EQ(0, kern.rmmod("test_leaky"));
    EXPECT_EQ(c.second, kern.violations());
    // Nothing of the unloaded module is called afterwards.
    kern.notify_feature_change();
    kern.run_for(kSec);
    EXPECT_FALSE(kern.proc_exists("/proc/test_leaky/state"));
  }
}

TEST_F(Leaky, WorkMisbehaviour) {
  const std::pair<int, const char *> cases[] = {
      {1, "work function on test_leaky_wq7 returned inside an RCU read-side section"},
      {2, "work function on test_leaky_wq7 returned holding a semaphore"},
      {4, "sleeping allocation in atomic context: kmalloc from leaky_work_func"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.first);
    kern.clear_violations();
    ASSERT_EQ(0, kern.insmod(path, "period=1 mode=" + std::to_string(c.first)));
    kern.run_for(10 * kMs);
    kern.rmmod("test_leaky");
    EXPECT_TRUE(has_violation(kern, c.second));
  }
}

TEST_F(Leaky, ZeroDelaySelfRequeue) {
  ASSERT_EQ(0, kern.insmod(path, "period=0 mode=3"));
  kern.run_for(20 * kMs);
  EXPECT_EQ("6\n", param(kern, "test_leaky", "runs"));  // at 0, 4, ..., 20 ms
  EXPECT_EQ(0, kern.rmmod("test_leaky"));
  EXPECT_TRUE(kern.violations().empty());
}

TEST_F(Leaky, DevicesAndUeventFaults) {
  k::miscdevice other = {MISC_DYNAMIC_MINOR, "other", nullptr, nullptr, nullptr, 0, {}};
  k::miscdevice fixed = {127, "fixed", nullptr, nullptr, nullptr, 0, {}};
  k::miscdevice same = {MISC_DYNAMIC_MINOR, "test_leaky_dev", nullptr, nullptr, nullptr, 0, {}};
  kern.add_fault({"kobject_uevent", "", 1, 1, 0});
  ASSERT_EQ(0, kern.insmod(path));
  ASSERT_EQ(1u, kern.uevents().size());
  EXPECT_EQ(-ENOMEM, kern.uevents()[0].result);
  EXPECT_EQ("DEVNAME=test_leaky_dev", kern.uevents()[0].env.back());
  EXPECT_EQ(0, k::misc_register(&other));
  EXPECT_EQ(126, other.minor);
  EXPECT_EQ(-EBUSY, k::misc_register(&fixed));
  EXPECT_EQ(-EBUSY, k::misc_register(&same));
  EXPECT_EQ(0, k::kobject_uevent(k::device_kobject(other.this_device), k::KOBJ_ADD));
  EXPECT_EQ("SEQNUM=1", kern.uevents()[1].env.back());
  k::misc_deregister(&other);
  EXPECT_EQ(0, kern.rmmod("test_leaky"));
  EXPECT_EQ(0, k::misc_register(&fixed));
  k::misc_deregister(&fixed);
  kern.add_fault({"misc_register", "test_leaky_dev", 1, 1, 0});
  ASSERT_EQ(0, kern.insmod(path));
  EXPECT_FALSE(kern.misc_device_exists("test_leaky_dev"));
  EXPECT_TRUE(kern.proc_exists("/proc/test_leaky/state"));
  EXPECT_TRUE(kern.violations().empty());
}

TEST_F(Leaky, OnCallRunsBeforeTheModulesNthCall) {
  std::vector<size_t> seen;
  k::printk("from the test, not counted");
  kern.on_call("printk", 2, [&] { seen.push_back(kern.log().size()); });
  kern.on_call("queue_delayed_work_on", 1, [&] { seen.push_back(kern.queue_calls().size()); });
  ASSERT_EQ(0, kern.insmod(path, "period=1"));
  kern.run_for(8 * kMs);  // runs at 4 and 8 ms: printk calls 1 and 2
  EXPECT_EQ((std::vector<size_t>{0, 2}), seen);
  EXPECT_EQ(0, kern.rmmod("test_leaky"));
}

// A hook that adds itself again follows every call, one run per call.
TEST_F(Leaky, OnCallAddedFromAHookCountsFromTheNextCall) {
  std::vector<size_t> seen;
  std::function<void()> every = [&] {
    seen.push_back(kern.log().size());
    kern.on_call("printk", 1, every);
  };
  kern.on_call("printk", 1, every);
  ASSERT_EQ(0, kern.insmod(path, "period=1"));
  kern.run_for(8 * kMs);
  EXPECT_EQ((std::vector<size_t>{0, 1}), seen);
  EXPECT_EQ(0, kern.rmmod("test_leaky"));
}

std::vector<int> g_seen;
int seen_a(k::notifier_block *, unsigned long a, void *) { return g_seen.push_back(1 * 100 + (int)a), 0; }
int seen_b(k::notifier_block *, unsigned long a, void *) { return g_seen.push_back(2 * 100 + (int)a), 0; }
int seen_c(k::notifier_block *, unsigned long a, void *) { return g_seen.push_back(3 * 100 + (int)a), 0; }
int sleeper(k::notifier_block *, unsigned long, void *) {
  k::kfree(k::__kmalloc_site(4, GFP_KERNEL, "sleeper"));
  return 0;
}

TEST(Services, FeatureSwitchesAndReports) {
  sim::Kernel kern;
  kern.set_feature(901060000029ull, 1);
  EXPECT_EQ(1, k::is_tid_enable(901060000029ull));
  EXPECT_EQ(0, k::is_tid_enable(5));
  EXPECT_EQ((std::vector<std::pair<sim::u64, int>>{{901060000029ull, 1}, {5, 0}}), kern.feature_queries());
  EXPECT_EQ(0, k::zebk_caller_api("0xffffff26", 33824806, 12, ""));
  kern.set_event_report_result(-3);
  EXPECT_EQ(-3, k::zebk_caller_api("0x00501001", 656, 13, "com.app"));
  ASSERT_EQ(2u, kern.event_reports().size());
  EXPECT_EQ("0x00501001", kern.event_reports()[1].event_code);
  EXPECT_EQ(656, kern.event_reports()[1].value);
  EXPECT_EQ(13, kern.event_reports()[1].pid);
  EXPECT_EQ("com.app", kern.event_reports()[1].text);

  g_seen.clear();
  k::notifier_block a = {seen_a, nullptr, 0}, b = {seen_b, nullptr, 5}, c = {seen_c, nullptr, 0};
  EXPECT_EQ(0, k::register_ferrow_notifier(&a));
  EXPECT_EQ(0, k::register_ferrow_notifier(&b));
  EXPECT_EQ(0, k::register_ferrow_notifier(&c));
  EXPECT_EQ(-EEXIST, k::register_ferrow_notifier(&a));
  kern.notify_feature_change(4);
  EXPECT_EQ((std::vector<int>{204, 104, 304}), g_seen);
  EXPECT_EQ(0, k::unregister_ferrow_notifier(&b));
  EXPECT_EQ(-ENOENT, k::unregister_ferrow_notifier(&b));
  EXPECT_EQ(2, kern.notifier_count());
  k::unregister_ferrow_notifier(&a);
  k::unregister_ferrow_notifier(&c);

  k::notifier_block s = {sleeper, nullptr, 0};
  k::register_ferrow_notifier(&s);
  kern.notify_feature_change();
  EXPECT_TRUE(kern.violations().empty());
  kern.set_notifier_atomic(true);
  kern.notify_feature_change();
  EXPECT_TRUE(has_violation(kern, "sleeping allocation in atomic context: kmalloc from sleeper"));
  k::unregister_ferrow_notifier(&s);
}

std::string real_module_run(sim::u64 seed) {
  sim::Config cfg;
  cfg.seed = seed;
  sim::Kernel kern(cfg);
  int ss = kern.spawn({0, 0, "system_server"});
  kern.spawn({0, ss, "binder"});
  kern.set_rate(ss, {1700, 700, 0xf});
  kern.spawn({0, 0, "app"});
  kern.set_rate(3, {300, 500, 0x30});
  EXPECT_EQ(0, kern.insmod(PELK_MODULE_PATH));
  kern.run_for(35 * kSec);
  std::string proc;
  kern.proc_read("/proc/cpumonitor/cpu_monitor", &proc, 3);
  EXPECT_EQ(0, kern.rmmod("pelk_perf_util"));
  std::string out = kern.dmesg() + proc;
  for (auto &v : kern.violations()) out += "violation: " + v + "\n";
  return out;
}

TEST(Determinism, SameRunSameBytes) {
  std::string a = real_module_run(1), b = real_module_run(1), c = real_module_run(2);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);  // the workqueue's %p id follows the seed
  EXPECT_EQ(std::string::npos, a.find("violation"));
}

}  // namespace

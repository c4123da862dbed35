// The printk ring and memory allocation.
#include "sim_test_util.h"

namespace {
using namespace simtest;

struct LevelCase {
  const char *fmt;
  int level;
  const char *text;
  bool newline;
};

TEST(Printk, LevelPrefixesAndNewline) {
  const LevelCase cases[] = {
      {KERN_ERR "error\n", 3, "error", true},
      {"plain", 4, "plain", false},
      {KERN_INFO KERN_ERR "info wins\n", 6, "info wins", true},
      {KERN_CONT "continued", 4, "continued", false},
      {KERN_CONT KERN_DEBUG "cont then debug", 7, "cont then debug", false},
      {"\001x not a level", 4, "\001x not a level", false},
      {KERN_INFO "two newlines\n\n", 6, "two newlines\n", true},
      {KERN_INFO "\n", 6, "", true},
      {"", 4, "", false},
      {KERN_INFO "  [K] kept blanks  ", 6, "  [K] kept blanks  ", false},
  };
  sim::Kernel kern;
  for (auto &c : cases) k::printk(c.fmt);
  ASSERT_EQ(std::size(cases), kern.log().size());
  for (size_t i = 0; i < std::size(cases); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].level, kern.log()[i].level);
    EXPECT_EQ(cases[i].text, kern.log()[i].text);
    EXPECT_EQ(cases[i].newline, kern.log()[i].newline);
  }
}

TEST(Printk, FormatsWithTheKernelLibraryAndStampsTime) {
  sim::Config cfg;
  cfg.uptime_ns = 1234567891;
  sim::Kernel kern(cfg);
  k::printk(KERN_INFO "%s=%5d|%-3u|%02x\n", "v", 42, 7u, 10u);
  kern.run_for(98765432109ull);
  k::printk("later");
  ASSERT_EQ(2u, kern.log().size());
  EXPECT_EQ("v=   42|7  |0a", kern.log()[0].text);
  EXPECT_EQ(cfg.uptime_ns, kern.log()[0].ts_ns);
  EXPECT_LT(kern.log()[0].seq, kern.log()[1].seq);
  EXPECT_EQ("[    1.234567] v=   42|7  |0a\n[  100.000000] later\n", kern.dmesg());
  sim::LogRecord big;
  big.ts_ns = 123456 * kSec + 5000;
  big.text = "x";
  EXPECT_EQ("[123456.000005] x\n", sim::Kernel::dmesg_line(big));
  kern.clear_log();
  EXPECT_TRUE(kern.log().empty());
}

TEST(Printk, LongRecordsAreCut) {
  sim::Kernel kern;
  std::string s(2000, 'a');
  k::printk(KERN_INFO "%s\n", s.c_str());
  // 992 bytes reserved: 991 characters, of which the prefix takes 2.
  EXPECT_EQ(989u, kern.log()[0].text.size());
  EXPECT_FALSE(kern.log()[0].newline);
}

TEST(Memory, AccountingZeroingAndPoison) {
  sim::Kernel kern;
  auto *a = (unsigned char *)k::__kmalloc_site(32, GFP_KERNEL, "site_a");
  auto *b = (unsigned char *)k::__kmalloc_site(16, GFP_ATOMIC | __GFP_ZERO, "site_b");
  auto *v = (unsigned char *)k::__vmalloc_site(4096, GFP_KERNEL | __GFP_ZERO, "site_v");
  ASSERT_TRUE(a && b && v);
  for (int i = 0; i < 32; i++) EXPECT_NE(0, a[i]);
  for (int i = 0; i < 16; i++) EXPECT_EQ(0, b[i]);
  EXPECT_EQ(0, v[4095]);
  sim::AllocStats ks = kern.alloc_stats("kmalloc"), vs = kern.alloc_stats("vmalloc");
  EXPECT_EQ(2u, ks.live_count);
  EXPECT_EQ(48u, ks.live_bytes);
  EXPECT_EQ(1u, vs.live_count);
  EXPECT_EQ(4096u, vs.live_bytes);
  k::kfree(a);
  k::kfree(nullptr);
  k::vfree(v);
  ks = kern.alloc_stats("kmalloc");
  EXPECT_EQ(1u, ks.live_count);
  EXPECT_EQ(16u, ks.live_bytes);
  EXPECT_EQ(2u, ks.total_calls);
  EXPECT_EQ(0u, kern.alloc_stats("vmalloc").live_count);
  k::kfree(b);
  EXPECT_TRUE(kern.violations().empty());
}

TEST(Memory, MisuseIsRecorded) {
  sim::Kernel kern;
  void *a = k::__kmalloc_site(8, GFP_KERNEL, "a");
  k::kfree(a);
  k::kfree(a);
  int local;
  k::kfree(&local);
  void *b = k::__kmalloc_site(8, GFP_KERNEL, "b");
  k::vfree(b);
  k::rcu_read_lock();
  void *c = k::__kmalloc_site(8, GFP_KERNEL, "in_rcu");
  void *d = k::__kmalloc_site(8, GFP_ATOMIC, "atomic_ok");
  void *e = k::__vmalloc_site(8, GFP_KERNEL, "vm_in_rcu");
  k::rcu_read_unlock();
  k::kfree(c);
  k::kfree(d);
  k::vfree(e);
  EXPECT_EQ((std::vector<std::string>{"double free: kfree", "kfree of an unknown pointer",
                                      "vfree of memory from kmalloc (b)",
                                      "sleeping allocation in atomic context: kmalloc from in_rcu",
                                      "sleeping allocation in atomic context: vmalloc from vm_in_rcu"}),
            kern.violations());
}

struct FaultCase {
  sim::Fault fault;
  std::vector<bool> fails;  // calls 1.. of site "s" (kmalloc)
};

TEST(Memory, FaultsBySiteAndCount) {
  const FaultCase cases[] = {
      {{"kmalloc", "", 1, 1, 0}, {true, false, false, false}},
      {{"kmalloc", "s", 2, 2, 0}, {false, true, true, false}},
      {{"kmalloc", "s", 3, 0, 0}, {false, false, true, true}},
      {{"kmalloc", "other", 1, 0, 0}, {false, false, false, false}},
      {{"vmalloc", "", 1, 0, 0}, {false, false, false, false}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.fault.site + "/" + std::to_string(c.fault.nth));
    sim::Kernel kern;
    kern.add_fault(c.fault);
    std::vector<bool> got;
    for (size_t i = 0; i < c.fails.size(); i++) {
      void *p = k::__kmalloc_site(8, GFP_KERNEL, "s");
      got.push_back(p == nullptr);
      k::kfree(p);
    }
    EXPECT_EQ(c.fails, got);
    size_t n = std::count(c.fails.begin(), c.fails.end(), true);
    EXPECT_EQ(n, kern.alloc_stats("kmalloc").failed_calls);
  }
}

TEST(Memory, OtherFacilitiesFail) {
  sim::Kernel kern;
  kern.add_fault({"vmalloc", "big", 1, 1, 0});
  kern.add_fault({"rhashtable_init", "", 1, 1, -EINVAL});
  kern.add_fault({"proc_mkdir", "d", 1, 1, 0});
  kern.add_fault({"proc_create", "f", 1, 1, 0});
  EXPECT_EQ(nullptr, k::__vmalloc_site(100, GFP_KERNEL, "big"));
  EXPECT_EQ(-EINVAL, k::__kernel_fault("rhashtable_init", ""));
  EXPECT_EQ(0, k::__kernel_fault("rhashtable_init", ""));
  EXPECT_EQ(nullptr, k::proc_mkdir("d", nullptr));
  EXPECT_NE(nullptr, k::proc_mkdir("d", nullptr));
  EXPECT_EQ(nullptr, k::proc_create("f", 0444, nullptr, nullptr));
  EXPECT_FALSE(kern.proc_exists("/proc/f"));
  kern.clear_faults();
  EXPECT_NE(nullptr, k::proc_create("f", 0444, nullptr, nullptr));
}

TEST(Semaphores, CountsAndTrylock) {
  sim::Kernel kern;
  k::semaphore s;
  k::sema_init(&s, 2);
  k::down(&s);
  EXPECT_EQ(0, k::down_trylock(&s));
  EXPECT_EQ(1, k::down_trylock(&s));
  k::up(&s);
  k::down(&s);
  EXPECT_TRUE(kern.violations().empty());
  k::rcu_read_lock();
  k::up(&s);
  k::down(&s);
  k::synchronize_rcu();
  k::rcu_read_unlock();
  EXPECT_EQ((std::vector<std::string>{"down in atomic context", "synchronize_rcu in atomic context"}),
            kern.violations());
}

}  // namespace

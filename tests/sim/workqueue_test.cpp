// Workqueues and delayed works, driven directly through the facility calls.
#include "sim_test_util.h"

namespace {
using namespace simtest;

struct TestWork {
  k::delayed_work dw;  // first: the work function finds its TestWork from it
  int id = 0;
  std::function<void(TestWork &)> body;
};
std::vector<std::pair<int, sim::u64>> g_runs;  // (id, monotonic time)

void test_work_func(k::work_struct *w) {
  TestWork *tw = reinterpret_cast<TestWork *>(w);
  g_runs.push_back({tw->id, k::ktime_get()});
  if (tw->body) tw->body(*tw);
}

class Workqueues : public ::testing::Test {
 protected:
  void SetUp() override {
    g_runs.clear();
    wq = k::alloc_workqueue("wq_%s", 0, 1, "test");
    ASSERT_NE(nullptr, wq);
    for (int i = 0; i < 5; i++) {
      works[i].id = i;
      k::init_delayed_work(&works[i].dw, test_work_func);
    }
  }
  std::vector<int> ids() const {
    std::vector<int> out;
    for (auto &r : g_runs) out.push_back(r.first);
    return out;
  }
  sim::Kernel kern;
  k::workqueue_struct *wq = nullptr;
  TestWork works[5];
};

TEST_F(Workqueues, RunInExpiryThenQueueingOrder) {
  const unsigned long delays[] = {3, 1, 2, 1, 0};
  for (int i = 0; i < 5; i++) EXPECT_TRUE(k::queue_delayed_work_on(i % 2, wq, &works[i].dw, delays[i]));
  auto pw = kern.pending_works();
  ASSERT_EQ(5u, pw.size());
  EXPECT_EQ("wq_test", pw[0].wq);
  EXPECT_EQ(0u, pw[0].expiry_jiffies);
  kern.run_for(20 * kMs);
  EXPECT_EQ((std::vector<int>{4, 1, 3, 2, 0}), ids());
  EXPECT_EQ(4 * kMs, g_runs[1].second);
  EXPECT_EQ(12 * kMs, g_runs[4].second);
  EXPECT_TRUE(kern.pending_works().empty());
}

TEST_F(Workqueues, PendingWorkIsNotQueuedAgain) {
  EXPECT_TRUE(k::queue_delayed_work(wq, &works[0].dw, 10));
  EXPECT_FALSE(k::queue_delayed_work_on(1, wq, &works[0].dw, 1));
  EXPECT_TRUE(k::delayed_work_pending(&works[0].dw));
  ASSERT_EQ(2u, kern.queue_calls().size());
  EXPECT_TRUE(kern.queue_calls()[0].queued);
  EXPECT_EQ((unsigned)WORK_CPU_UNBOUND, (unsigned)kern.queue_calls()[0].cpu);
  EXPECT_FALSE(kern.queue_calls()[1].queued);
  EXPECT_EQ(1u, kern.queue_calls()[1].delay);
  kern.run_for(39 * kMs);
  EXPECT_TRUE(g_runs.empty());
  kern.run_for(kMs);
  EXPECT_EQ(std::vector<int>{0}, ids());
}

TEST_F(Workqueues, CancelAndFlush) {
  k::queue_delayed_work(wq, &works[0].dw, 5);
  k::queue_delayed_work(wq, &works[1].dw, 5);
  EXPECT_TRUE(k::cancel_delayed_work(&works[0].dw));
  EXPECT_FALSE(k::cancel_delayed_work(&works[0].dw));
  EXPECT_FALSE(k::cancel_delayed_work_sync(&works[0].dw));
  EXPECT_TRUE(k::flush_delayed_work(&works[1].dw));
  EXPECT_EQ(std::vector<int>{1}, ids());
  EXPECT_EQ(0u, g_runs[0].second);  // ran at once
  EXPECT_FALSE(k::flush_delayed_work(&works[1].dw));
  // flush_workqueue waits for what is due, not for timers still running.
  k::queue_delayed_work(wq, &works[2].dw, 0);
  k::queue_delayed_work(wq, &works[3].dw, 1);
  k::flush_workqueue(wq);
  EXPECT_EQ((std::vector<int>{1, 2}), ids());
  EXPECT_TRUE(k::cancel_delayed_work_sync(&works[3].dw));
  k::destroy_workqueue(wq);
  EXPECT_TRUE(kern.workqueues().empty());
  EXPECT_TRUE(kern.violations().empty());
}

TEST_F(Workqueues, DestroyWithPendingWorkIsAViolation) {
  k::queue_delayed_work(wq, &works[0].dw, 100);
  k::destroy_workqueue(wq);
  EXPECT_EQ(std::vector<std::string>{"destroy_workqueue: wq_test has pending work"}, kern.violations());
  kern.run_for(kSec);
  EXPECT_TRUE(g_runs.empty());
}

TEST_F(Workqueues, ZeroDelayRequeueWaitsForTheNextJiffy) {
  works[0].body = [this](TestWork &w) { k::queue_delayed_work(wq, &w.dw, 0); };
  k::queue_delayed_work(wq, &works[0].dw, 0);
  kern.run_for(40 * kMs);
  ASSERT_EQ(11u, g_runs.size());
  for (size_t i = 0; i < g_runs.size(); i++) EXPECT_EQ(i * 4 * kMs, g_runs[i].second);
  k::cancel_delayed_work_sync(&works[0].dw);
}

TEST_F(Workqueues, DurationMovesTheClockAndAccountsCpuTime) {
  int pid = kern.spawn({0, 0, "busy"});
  kern.set_rate(pid, {1000, 1000, 1});
  kern.set_work_duration("wq_test", 3 * kMs);
  std::vector<sim::u64> seen_user;
  works[0].body = [&](TestWork &) { seen_user.push_back(kern.cpustat(0, sim::kUser)); };
  works[1].body = works[0].body;
  k::queue_delayed_work(wq, &works[0].dw, 1);
  k::queue_delayed_work(wq, &works[1].dw, 1);
  kern.run_for(20 * kMs);
  // Work 0 runs at its expiry; work 1, due at the same time, after work 0's 3 ms.
  EXPECT_EQ((std::vector<sim::u64>{4 * kMs, 7 * kMs}), seen_user);
  EXPECT_EQ(7 * kMs, g_runs[1].second);
  EXPECT_EQ(20 * kMs, kern.monotonic_ns());
}

TEST_F(Workqueues, WorkRulesAreChecked) {
  static k::semaphore sem;
  k::sema_init(&sem, 1);
  works[0].body = [](TestWork &) { k::rcu_read_lock(); };
  works[1].body = [](TestWork &) { k::down(&sem); };
  k::queue_delayed_work(wq, &works[0].dw, 0);
  k::queue_delayed_work(wq, &works[1].dw, 0);
  kern.run_for(kMs);
  EXPECT_TRUE(has_violation(kern, "work function on wq_test returned inside an RCU read-side section"));
  EXPECT_TRUE(has_violation(kern, "work function on wq_test returned holding a semaphore"));
  k::down(&sem);
  EXPECT_TRUE(has_violation(kern, "down on a semaphore with count 0: deadlock"));
}

TEST_F(Workqueues, FreeingMemoryWithPendingWork) {
  auto *dw = (k::delayed_work *)k::__kmalloc_site(sizeof(k::delayed_work) + 16, GFP_KERNEL, "test");
  k::init_delayed_work(dw, test_work_func);
  k::queue_delayed_work(wq, dw, 10);
  k::kfree(dw);
  EXPECT_TRUE(has_violation(kern, "freed memory holds a pending delayed work (wq_test)"));
  EXPECT_TRUE(kern.pending_works().empty());
}

TEST(WorkqueueAlloc, NameFaultAndIds) {
  sim::Config cfg;
  cfg.seed = 7;
  sim::Kernel kern(cfg);
  kern.add_fault({"alloc_workqueue", "second", 1, 1, 0});
  k::workqueue_struct *a = k::alloc_workqueue("%s", k::WQ_UNBOUND, 0, "first");
  EXPECT_EQ(nullptr, k::alloc_workqueue("%s", 0, 0, "second"));
  k::workqueue_struct *b = k::alloc_workqueue("a_very_long_workqueue_name_indeed", 0, 0);
  ASSERT_TRUE(a && b);
  EXPECT_EQ((std::vector<std::string>{"first", "a_very_long_workqueue_n"}), kern.workqueues());
  EXPECT_NE(0u, k::__ptr_hash_id(a));
  EXPECT_NE(k::__ptr_hash_id(a), k::__ptr_hash_id(b));
  int local;
  EXPECT_EQ(0u, k::__ptr_hash_id(&local));
  k::destroy_workqueue(a);
  k::destroy_workqueue(b);
}

}  // namespace

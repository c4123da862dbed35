// Tasks: the process and thread lists, pids, names, exit and freeing.
#include "sim_test_util.h"

namespace {
using namespace simtest;

std::vector<int> walk_processes() {
  std::vector<int> out;
  k::task_struct &init_task = *init_task_ptr();
  k::task_struct *p;
  k::rcu_read_lock();
  for_each_process(p) out.push_back(k::task_pid_nr(p));
  k::rcu_read_unlock();
  return out;
}

std::vector<int> walk_threads(int tgid) {
  std::vector<int> out;
  k::rcu_read_lock();
  k::task_struct *p = k::find_task_by_vpid(tgid), *t;
  for_each_thread(p, t) out.push_back(k::task_pid_nr(t));
  k::rcu_read_unlock();
  return out;
}

TEST(Tasks, ListsInCreationOrder) {
  sim::Kernel kern;
  EXPECT_EQ(0, k::task_pid_nr(init_task_ptr()));
  EXPECT_EQ(std::vector<int>{}, walk_processes());
  int a = kern.spawn({0, 0, "a"});
  int b = kern.spawn({0, 0, "b"});
  int a1 = kern.spawn({0, a, "a1"});
  int c = kern.spawn({500, 0, "c"});
  int a2 = kern.spawn({0, a, "a2"});
  EXPECT_EQ((std::vector<int>{1, 2, 3, 500, 4}), (std::vector<int>{a, b, a1, c, a2}));  // explicit pids leave the cursor
  EXPECT_EQ((std::vector<int>{a, b, c}), walk_processes());
  EXPECT_EQ((std::vector<int>{a, b, c}), kern.processes());
  EXPECT_EQ((std::vector<int>{a, a1, a2}), walk_threads(a));
  kern.exit_task(a1);
  EXPECT_EQ((std::vector<int>{a, a2}), walk_threads(a));
  kern.exit_task(b);
  EXPECT_EQ((std::vector<int>{a, c}), walk_processes());
  EXPECT_EQ(-EEXIST, kern.spawn({c, 0, "dup"}));
  EXPECT_EQ(-ESRCH, kern.spawn({0, b, "orphan"}));
  EXPECT_EQ(-ESRCH, kern.spawn({0, a2, "not a leader"}));
  EXPECT_TRUE(kern.violations().empty());
}

TEST(Tasks, PidsWrapAndAreReused) {
  sim::Kernel kern;
  ASSERT_EQ(sim::kPidMax - 1, kern.spawn({sim::kPidMax - 1, 0, "last"}));
  EXPECT_EQ(1, kern.spawn({0, 0, "p"}));
  kern.exit_task(1);
  EXPECT_EQ(2, kern.spawn({0, 0, "q"}));  // the cursor moves on
  EXPECT_EQ(1, kern.spawn({1, 0, "again"}));
  k::rcu_read_lock();
  EXPECT_STREQ("again", k::task_comm(k::find_task_by_vpid(1)));
  k::rcu_read_unlock();
}

TEST(Tasks, FieldsOfATask) {
  sim::Kernel kern;
  int p = kern.spawn({0, 0, "a_rather_long_process_name", -900});
  int t = kern.spawn({0, p, "worker"});
  int kt = kern.spawn({0, 0, "kworker/0:1", 0, true});
  kern.set_oom_score_adj(p, 250);
  kern.rename(t, "renamed");
  k::rcu_read_lock();
  k::task_struct *tp = k::find_task_by_vpid(p), *tt = k::find_task_by_vpid(t), *tk = k::find_task_by_vpid(kt);
  EXPECT_STREQ("a_rather_long_p", k::task_comm(tp));
  EXPECT_STREQ("renamed", k::task_comm(tt));
  EXPECT_EQ(p, k::task_tgid_nr(tt));
  EXPECT_EQ(250, k::task_oom_score_adj(tt));
  EXPECT_EQ(0u, k::task_flags(tp) & PF_KTHREAD);
  EXPECT_EQ(PF_KTHREAD, k::task_flags(tk) & PF_KTHREAD);
  EXPECT_EQ(nullptr, k::find_task_by_vpid(0));
  EXPECT_EQ(nullptr, k::find_task_by_vpid(9999));
  k::rcu_read_unlock();
}

TEST(Tasks, GroupTimeKeepsEndedThreads) {
  sim::Kernel kern;
  int p = kern.spawn({0, 0, "p", 0, false, 10, 1});
  int t = kern.spawn({0, p, "t", 0, false, 100, 20});
  kern.add_cputime(t, 1000, 300);
  kern.exit_task(t);
  k::rcu_read_lock();
  unsigned long long u, s;
  k::thread_group_cputime_adjusted(k::find_task_by_vpid(p), &u, &s);
  k::rcu_read_unlock();
  EXPECT_EQ(1110u, u);
  EXPECT_EQ(321u, s);
}

TEST(Tasks, FreedOnlyAfterReadersLeave) {
  sim::Kernel kern;
  int p = kern.spawn({0, 0, "p"});
  int q = kern.spawn({0, 0, "q"});
  k::rcu_read_lock();
  k::task_struct *tp = k::find_task_by_vpid(p);
  k::rcu_read_lock();
  kern.exit_task(p);
  EXPECT_EQ(nullptr, k::find_task_by_vpid(p));
  k::rcu_read_unlock();
  // Still inside the outer section: usable, and it leads on to q.
  EXPECT_EQ(p, k::task_pid_nr(tp));
  EXPECT_EQ(q, k::task_pid_nr(k::next_task(tp)));
  k::rcu_read_unlock();
  EXPECT_TRUE(kern.violations().empty());
  EXPECT_EQ(0, k::task_pid_nr(tp));
  EXPECT_EQ(std::vector<std::string>{"task used after free: pid " + std::to_string(p)}, kern.violations());
}

TEST(Tasks, HeldTaskOutlivesItsSection) {
  sim::Kernel kern;
  int p = kern.spawn({0, 0, "p"});
  k::rcu_read_lock();
  k::task_struct *tp = k::find_task_by_vpid(p);
  k::get_task_struct(tp);
  k::rcu_read_unlock();
  kern.exit_task(p);
  EXPECT_STREQ("p", k::task_comm(tp));
  EXPECT_NE(0u, k::task_flags(tp) & PF_EXITING);
  k::put_task_struct(tp);
  EXPECT_STREQ("", k::task_comm(tp));
  EXPECT_TRUE(has_violation(kern, "task used after free: pid " + std::to_string(p)));
}

TEST(Tasks, WalksOutsideRcuAreViolations) {
  sim::Kernel kern;
  kern.spawn({0, 0, "p"});
  EXPECT_NE(nullptr, k::find_task_by_vpid(1));
  EXPECT_TRUE(has_violation(kern, "find_task_by_vpid outside an RCU read-side section"));
  k::next_task(init_task_ptr());
  EXPECT_TRUE(has_violation(kern, "next_task outside an RCU read-side section"));
  k::rcu_read_unlock();
  EXPECT_TRUE(has_violation(kern, "rcu_read_unlock without rcu_read_lock"));
}

// The lists stay whole when tasks leave at either end or in the middle, and a
// reader standing on a task that left is led on past others that left after it.
TEST(Tasks, ListsStayWholeAsTasksLeave) {
  sim::Kernel kern;
  int a = kern.spawn({0, 0, "a"}), b = kern.spawn({0, 0, "b"}), c = kern.spawn({0, 0, "c"});
  int b1 = kern.spawn({0, b, "b1"}), b2 = kern.spawn({0, b, "b2"}), b3 = kern.spawn({0, b, "b3"});
  kern.exit_task(a);  // the first
  kern.exit_task(c);  // the last
  int d = kern.spawn({0, 0, "d"});
  EXPECT_EQ((std::vector<int>{b, d}), walk_processes());
  kern.exit_task(b3);  // the last thread, then a new one after it
  int b4 = kern.spawn({0, b, "b4"});
  kern.exit_task(b1);  // the middle
  EXPECT_EQ((std::vector<int>{b, b2, b4}), walk_threads(b));

  k::rcu_read_lock();
  k::task_struct *tb = k::find_task_by_vpid(b), *tb2 = k::find_task_by_vpid(b2);
  kern.exit_task(b2);
  kern.exit_task(b4);
  EXPECT_EQ(nullptr, k::task_next_thread(tb, tb2));  // b4 left after b2
  int e = kern.spawn({0, 0, "e"});
  kern.exit_task(b);
  kern.exit_task(d);
  EXPECT_EQ(e, k::task_pid_nr(k::next_task(tb)));  // past d, which left after b
  k::rcu_read_unlock();
  EXPECT_EQ((std::vector<int>{e}), walk_processes());
  EXPECT_EQ((std::vector<int>{e}), kern.processes());
  EXPECT_TRUE(kern.violations().empty());
}

}  // namespace

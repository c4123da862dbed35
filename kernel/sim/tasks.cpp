// Tasks, RCU read-side sections and semaphores.
#include "internal.h"

namespace sim {

static void set_comm(task_struct *t, const std::string &comm) {
  std::memset(t->comm, 0, sizeof(t->comm));
  std::memcpy(t->comm, comm.data(), std::min(comm.size(), sizeof(t->comm) - 1));
}

// The kernel's cyclic pid allocation: from the last pid on, wrapping to 300
// (or to 1 while the cursor, the pid after the last one, is not past 300).
int Kernel::Impl::alloc_pid() {
  const int pid_min = last_pid + 1 > 300 ? 300 : 1;
  for (int pass = 0; pass < 2; pass++) {
    int from = pass == 0 ? last_pid + 1 : pid_min;
    int to = pass == 0 ? kPidMax : last_pid + 1;
    for (int p = from; p < to; p++)
      if (!live.count(p)) {
        last_pid = p;
        return p;
      }
  }
  return -EAGAIN;
}

bool Kernel::Impl::task_ok(const task_struct *t, const char *fn) {
  if (!t) {
    violation(std::string(fn) + " called with a NULL task");
    return false;
  }
  if (t->freed) {
    violation("task used after free: pid " + std::to_string(t->pid));
    return false;
  }
  return true;
}

void Kernel::Impl::maybe_free(task_struct *t) {
  if (t->alive || t->freed || t->gp_wait || t->refs > 0) return;
  t->freed = true;
}

void Kernel::Impl::rcu_quiescent() {
  std::vector<task_struct *> w;
  w.swap(gp_waiters);
  for (task_struct *t : w) {
    t->gp_wait = false;
    maybe_free(t);
  }
}

// A new thread goes last in its process's map and list.
static void add_thread(task_struct *leader, task_struct *t) {
  auto &th = leader->threads;
  t->thread_index = leader->threads_created++;
  if (!th.empty()) {
    t->thread_prev = th.rbegin()->second;
    t->thread_prev->thread_next = t;
  }
  th.emplace(t->thread_index, t);
  t->in_threads = true;
}

int Kernel::spawn(const TaskSpec &ts) {
  Impl &I = *impl_;
  int pid = ts.pid;
  if (pid < 0 || pid >= kPidLimit) return -EINVAL;
  if (pid && I.live.count(pid)) return -EEXIST;
  task_struct *leader = nullptr;
  if (ts.tgid) {
    auto it = I.live.find(ts.tgid);
    if (it == I.live.end() || it->second->leader != it->second) return -ESRCH;
    leader = it->second;
  }
  if (!pid) {
    pid = I.alloc_pid();
    if (pid < 0) return pid;
  }
  auto tp = std::make_unique<task_struct>();
  task_struct *t = tp.get();
  t->pid = pid;
  set_comm(t, ts.comm);
  t->flags = ts.kthread ? PF_KTHREAD : 0;
  t->utime = ts.utime_ns;
  t->stime = ts.stime_ns;
  t->seq = ++I.obj_seq;
  if (leader) {
    t->tgid = leader->tgid;
    t->leader = leader;
    t->sig = leader->sig;
    add_thread(leader, t);
  } else {
    t->tgid = pid;
    t->leader = t;
    I.signals.push_back(std::make_unique<Signal>());
    t->sig = I.signals.back().get();
    t->sig->oom_score_adj = ts.oom_score_adj;
    add_thread(t, t);
    t->proc_index = I.procs_created++;
    if (!I.procs.empty()) {
      t->proc_prev = I.procs.rbegin()->second;
      t->proc_prev->proc_next = t;
    }
    I.procs.emplace(t->proc_index, t);
    t->in_procs = true;
  }
  I.live[pid] = t;
  I.all_tasks.push_back(std::move(tp));
  I.account_past_time(ts.utime_ns, ts.stime_ns);
  return pid;
}

static void end_thread(Kernel::Impl &I, task_struct *t) {
  t->alive = false;
  t->flags |= PF_EXITING;
  t->sig->dead_utime += t->utime;
  t->sig->dead_stime += t->stime;
  I.live.erase(t->pid);
  I.busy.erase(t->seq);
  task_struct *l = t->leader;
  l->threads.erase(t->thread_index);
  if (t->thread_prev) t->thread_prev->thread_next = t->thread_next;
  if (t->thread_next) t->thread_next->thread_prev = t->thread_prev;
  t->in_threads = false;
  if (l == t) {
    I.procs.erase(t->proc_index);
    if (t->proc_prev) t->proc_prev->proc_next = t->proc_next;
    if (t->proc_next) t->proc_next->proc_prev = t->proc_prev;
    t->in_procs = false;
  }
  if (I.rcu_depth > 0) {
    t->gp_wait = true;
    I.gp_waiters.push_back(t);
  }
  I.maybe_free(t);
}

void Kernel::exit_task(int pid) {
  Impl &I = *impl_;
  auto it = I.live.find(pid);
  if (it == I.live.end()) return;
  task_struct *t = it->second;
  I.rates_dirty = true;
  if (t->leader != t) {
    end_thread(I, t);
    return;
  }
  // The whole process ends: its other threads first, the leader last.
  std::vector<task_struct *> ending;
  for (auto &[index, th] : t->threads)
    if (th != t) ending.push_back(th);
  for (task_struct *th : ending) end_thread(I, th);
  end_thread(I, t);
}

void Kernel::rename(int pid, const std::string &comm) {
  auto it = impl_->live.find(pid);
  if (it != impl_->live.end()) set_comm(it->second, comm);
}

void Kernel::set_oom_score_adj(int tgid, short value) {
  auto it = impl_->live.find(tgid);
  if (it != impl_->live.end()) it->second->sig->oom_score_adj = value;
}

void Kernel::set_rate(int pid, const CpuRate &rate) {
  auto it = impl_->live.find(pid);
  if (it == impl_->live.end()) return;
  task_struct *t = it->second;
  t->rate = rate;
  if (rate.milli_cpu) impl_->busy[t->seq] = t;
  else impl_->busy.erase(t->seq);
  impl_->rates_dirty = true;
}

void Kernel::add_cputime(int pid, u64 utime_ns, u64 stime_ns, int cpu) {
  Impl &I = *impl_;
  auto it = I.live.find(pid);
  if (it == I.live.end()) return;
  it->second->utime += utime_ns;
  it->second->stime += stime_ns;
  if (cpu >= 0 && cpu < kMaxCpus) I.account_past_time_on(I.cpus[cpu], utime_ns, stime_ns);
}

// Time a task used before the simulation saw it: the CPU ran it instead of
// idling, so it comes out of the CPU's idle time (as far as there is any).
void Kernel::Impl::account_past_time_on(Cpu &c, u64 utime_ns, u64 stime_ns) {
  u64 busy = utime_ns + stime_ns;
  c.stat[kUser] += utime_ns;
  c.stat[kSystem] += stime_ns;
  u64 from_idle = std::min(busy, c.stat[kIdle]);
  c.stat[kIdle] -= from_idle;
  c.idle_track_ns -= std::min(from_idle, c.idle_track_ns);
}

// Spread evenly over the online CPUs, the remainder on the first of them.
void Kernel::Impl::account_past_time(u64 utime_ns, u64 stime_ns) {
  if (!utime_ns && !stime_ns) return;
  std::vector<Cpu *> online;
  for (Cpu &c : cpus)
    if (c.online) online.push_back(&c);
  if (online.empty()) return;
  u64 n = online.size();
  for (size_t i = 0; i < online.size(); i++)
    account_past_time_on(*online[i], utime_ns / n + (i == 0 ? utime_ns % n : 0),
                         stime_ns / n + (i == 0 ? stime_ns % n : 0));
}

bool Kernel::task_alive(int pid) const { return impl_->live.count(pid) != 0; }

std::vector<int> Kernel::processes() const {
  std::vector<int> out;
  for (auto &[index, p] : impl_->procs) out.push_back(p->tgid);
  return out;
}

}  // namespace sim

namespace kapi {
using sim::K;

static void need_rcu(const char *fn) {
  auto &I = K();
  if (I.rcu_depth == 0) I.violation(std::string(fn) + " outside an RCU read-side section");
}

struct task_struct *next_task(struct task_struct *p) {
  auto &I = K();
  need_rcu("next_task");
  if (p != &init_task && !I.task_ok(p, "next_task")) return &init_task;
  // A process that has left the list still leads on to the ones after it,
  // as an RCU reader standing on it would see.
  task_struct *l = p->leader;
  if (p == &init_task || l->in_procs) {
    task_struct *n = p != &init_task ? l->proc_next : I.procs.empty() ? nullptr : I.procs.begin()->second;
    return n ? n : &init_task;
  }
  auto it = I.procs.upper_bound(l->proc_index);
  return it == I.procs.end() ? &init_task : it->second;
}

struct task_struct *task_first_thread(struct task_struct *p) {
  auto &I = K();
  need_rcu("task_first_thread");
  if (!I.task_ok(p, "task_first_thread")) return nullptr;
  auto &th = p->leader->threads;
  return th.empty() ? nullptr : th.begin()->second;
}

struct task_struct *task_next_thread(struct task_struct *p, struct task_struct *t) {
  auto &I = K();
  need_rcu("task_next_thread");
  if (!I.task_ok(p, "task_next_thread") || !I.task_ok(t, "task_next_thread")) return nullptr;
  if (t->in_threads) return t->thread_next;
  auto &th = t->leader->threads;
  auto it = th.upper_bound(t->thread_index);
  return it == th.end() ? nullptr : it->second;
}

struct task_struct *find_task_by_vpid(pid_t nr) {
  auto &I = K();
  I.hook("find_task_by_vpid");
  need_rcu("find_task_by_vpid");
  if (nr == 0) return nullptr;
  auto it = I.live.find(nr);
  return it == I.live.end() ? nullptr : it->second;
}

pid_t task_pid_nr(const struct task_struct *t) { return K().task_ok(t, "task_pid_nr") ? t->pid : 0; }
pid_t task_tgid_nr(const struct task_struct *t) { return K().task_ok(t, "task_tgid_nr") ? t->tgid : 0; }

const char *task_comm(const struct task_struct *t) { return K().task_ok(t, "task_comm") ? t->comm : ""; }

unsigned int task_flags(const struct task_struct *t) { return K().task_ok(t, "task_flags") ? t->flags : 0; }

short task_oom_score_adj(const struct task_struct *t) {
  return K().task_ok(t, "task_oom_score_adj") ? t->sig->oom_score_adj : 0;
}

void get_task_struct(struct task_struct *t) {
  if (t == &init_task || !K().task_ok(t, "get_task_struct")) return;
  t->refs++;
}

void put_task_struct(struct task_struct *t) {
  auto &I = K();
  if (t == &init_task || !I.task_ok(t, "put_task_struct")) return;
  if (t->refs <= 0) {
    I.violation("put_task_struct without get_task_struct: pid " + std::to_string(t->pid));
    return;
  }
  if (--t->refs == 0) I.maybe_free(t);
}

void task_cputime(struct task_struct *t, u64 *utime, u64 *stime) {
  u64 u = 0, s = 0;
  if (K().task_ok(t, "task_cputime")) {
    u = t->utime;
    s = t->stime;
  }
  if (utime) *utime = u;
  if (stime) *stime = s;
}

void task_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st) {
  u64 u = 0, s = 0;
  if (K().task_ok(p, "task_cputime_adjusted")) {
    u = p->utime;
    s = p->stime;
  }
  if (ut) *ut = u;
  if (st) *st = s;
}

void thread_group_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st) {
  u64 u = 0, s = 0;
  if (K().task_ok(p, "thread_group_cputime_adjusted")) {
    u = p->sig->dead_utime;
    s = p->sig->dead_stime;
    // The map's first is the list's first; every thread on the list is live.
    for (task_struct *t = p->leader->threads.empty() ? nullptr : p->leader->threads.begin()->second; t;
         t = t->thread_next) {
      u += t->utime;
      s += t->stime;
    }
  }
  if (ut) *ut = u;
  if (st) *st = s;
}

// ---- RCU ----------------------------------------------------------------------------

void rcu_read_lock(void) {
  auto &I = K();
  I.hook("rcu_read_lock");
  I.rcu_depth++;
}

void rcu_read_unlock(void) {
  auto &I = K();
  I.hook("rcu_read_unlock");
  if (I.rcu_depth == 0) {
    I.violation("rcu_read_unlock without rcu_read_lock");
    return;
  }
  if (--I.rcu_depth == 0) I.rcu_quiescent();
}

void synchronize_rcu(void) {
  auto &I = K();
  I.hook("synchronize_rcu");
  if (I.in_atomic()) {
    I.violation("synchronize_rcu in atomic context");
    return;
  }
  I.rcu_quiescent();
}

// ---- semaphores -------------------------------------------------------------------------

static sim::SemState *sem_state(struct semaphore *sem, const char *fn) {
  auto *s = (sim::SemState *)(void *)sem;
  if (!sem || s->magic != sim::kSemMagic) {
    K().violation(std::string(fn) + " on an uninitialised semaphore");
    return nullptr;
  }
  return s;
}

void sema_init(struct semaphore *sem, int val) {
  std::memset(sem, 0, sizeof(*sem));
  auto *s = (sim::SemState *)(void *)sem;
  s->magic = sim::kSemMagic;
  s->count = val;
}

void down(struct semaphore *sem) {
  auto &I = K();
  I.hook("down");
  sim::SemState *s = sem_state(sem, "down");
  if (!s) return;
  if (I.in_atomic()) I.violation("down in atomic context");
  if (s->count <= 0) {
    I.violation("down on a semaphore with count 0: deadlock");
    return;
  }
  s->count--;
  I.held_sems.push_back(sem);
}

int down_trylock(struct semaphore *sem) {
  auto &I = K();
  I.hook("down_trylock");
  sim::SemState *s = sem_state(sem, "down_trylock");
  if (!s || s->count <= 0) return 1;
  s->count--;
  I.held_sems.push_back(sem);
  return 0;
}

void up(struct semaphore *sem) {
  auto &I = K();
  I.hook("up");
  sim::SemState *s = sem_state(sem, "up");
  if (!s) return;
  s->count++;
  for (size_t i = I.held_sems.size(); i-- > 0;)
    if (I.held_sems[i] == sem) {
      I.held_sems.erase(I.held_sems.begin() + (long)i);
      break;
    }
}

}  // namespace kapi

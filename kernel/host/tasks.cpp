// Tasks and CPU counters, read from the proc root, or the tasks from one read
// of the task iterator per cycle (task_iter.h).
//
// Each thread that walks tasks has a view of its own: the processes listed in
// its current cycle, each read from its stat file once per cycle through a
// descriptor kept open from one cycle to the next (pread at offset 0).  Once
// a process has exited its descriptor fails, so a newcomer that takes its pid
// is opened afresh and never mistaken for it.  Views are never shared, so the
// module's workers need no lock between them; a task leaves its view only at
// the end of an RCU read-side section, once nothing holds it.
#include "internal.h"

namespace host {

namespace {

struct View {
  u64 kernel = 0;       // the Kernel it was made for (its serial)
  u64 gen = 1;          // the thread's cycle
  u64 listed_gen = 0;   // cycle of the last listing
  using Tasks = std::unordered_map<int, std::unique_ptr<kapi::task_struct>>;
  Tasks procs, threads;  // by pid, by tid
  std::vector<kapi::task_struct *> order;  // this cycle's processes, by pid
  std::vector<std::unique_ptr<kapi::task_struct>> retired;
  int rcu_depth = 0;
  // The iterator's records of this cycle, when they came from it.
  TaskIter::Buffer recs;
  bool from_iter = false;
  // CPU counters of this cycle
  u64 cpu_gen = 0;
  u32 possible = 0, online = 0;
  u64 cpustat[kMaxCpus][kapi::NR_STATS] = {};
  // /proc/stat and the possible and online lists, kept open like the stat
  // files, and the texts read from them (their room kept too).
  int cpu_fds[3] = {-1, -1, -1};
  std::string cpu_text, list_text;

  ~View() {
    for (int fd : cpu_fds)
      if (fd >= 0) close(fd);
    for (auto &p : procs)
      if (p.second->fd >= 0) close(p.second->fd);
    for (auto &t : threads)
      if (t.second->fd >= 0) close(t.second->fd);
  }
};

// The library is loaded with the program, never opened later: its
// thread-locals can sit in the static block, reached without a call.
__attribute__((tls_model("initial-exec"))) thread_local View *tl_view;
thread_local std::unique_ptr<View> tl_view_owner;

// The calling thread's view; a thread that outlives one Kernel starts afresh
// with the next (another proc root, other descriptors).
View &view() {
  u64 serial = g_host ? g_host->serial : 0;
  if (!tl_view || tl_view->kernel != serial) {
    tl_view_owner = std::make_unique<View>();
    tl_view = tl_view_owner.get();
    tl_view->kernel = serial;
  }
  return *tl_view;
}

bool is_number(const char *s) {
  if (!*s) return false;
  for (; *s; s++)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// The numeric entries of dir (pids or tids), in directory order; none when
// it cannot be opened.
std::vector<int> list_ids(const std::string &dir) {
  std::vector<int> ids;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      if (!is_number(e->d_name) || std::strlen(e->d_name) > 9) continue;
      int id = std::atoi(e->d_name);
      if (id > 0) ids.push_back(id);
    }
    closedir(d);
  }
  return ids;
}

std::string stat_path(const kapi::task_struct *t) {
  const std::string &root = H().opt.proc_root;
  if (t->thread) return root + "/" + std::to_string(t->tgid) + "/task/" + std::to_string(t->pid) + "/stat";
  return root + "/" + std::to_string(t->pid) + "/stat";
}

void drop_fd(kapi::task_struct *t) {
  if (t->fd >= 0) close(t->fd);
  t->fd = -1;
}

// Descriptors ran short with one kept per process: from now on each cycle
// opens and closes (this view's kept ones go now, the others' at their next
// read), said once on stderr.  No process is left out for it.
void stop_keeping_fds(View &v) {
  auto &I = H();
  if (I.keep_fds.exchange(false))
    std::fprintf(stderr, "pelk_perf_util: too few descriptors to keep one per process: stat files are now "
                         "opened at each cycle\n");
  for (auto *m : {&v.procs, &v.threads})
    for (auto &p : *m) drop_fd(p.second.get());
}

// Opens the stat file of t; false when it cannot (gone, not ours to read,
// not a regular file).
bool open_stat(kapi::task_struct *t) {
  auto &I = H();
  t->fd = open_proc_file(stat_path(t));
  if (t->fd < 0 && (errno == EMFILE || errno == ENFILE) && I.keep_fds) {
    stop_keeping_fds(view());
    t->fd = open_proc_file(stat_path(t));
  }
  if (t->fd < 0) return false;
  I.opens++;
  return true;
}

// Reads the stat file of t, through its kept descriptor when it has one.
// A descriptor that fails (its process has exited) is replaced once.  Only
// the buffer's worth is read: the fields wanted come first.
bool read_stat(kapi::task_struct *t) {
  auto &I = H();
  char buf[1024];
  ssize_t n = -1;
  for (int attempt = 0; attempt < 2 && n <= 0; attempt++) {
    bool kept = true;
    if (t->fd < 0) {
      if (!open_stat(t)) return false;
      kept = false;
    }
    n = pread(t->fd, buf, sizeof(buf) - 1, 0);
    if (n <= 0) {
      drop_fd(t);
      if (!kept) return false;  // a fresh descriptor failed: not readable
    }
  }
  I.stat_reads++;
  if (!I.keep_fds) drop_fd(t);
  StatLine s;
  if (!parse_stat_line(buf, (size_t)n, &s) || s.pid != t->pid) return false;
  // Times in nanoseconds, and their sum, must fit: a process whose figures
  // would wrap is left out of the cycle, never shown with a made-up one.
  u64 ut, st, sum;
  if (__builtin_mul_overflow(s.utime, I.ns_per_tick, &ut) || __builtin_mul_overflow(s.stime, I.ns_per_tick, &st) ||
      __builtin_add_overflow(ut, st, &sum)) {
    I.too_large++;
    return false;
  }
  std::memcpy(t->comm, s.comm, sizeof(t->comm));
  t->flags = s.flags;
  t->utime = ut;
  t->stime = st;
  return true;
}

void retire(View &v, View::Tasks &from, View::Tasks::iterator it) {
  drop_fd(it->second.get());
  v.retired.push_back(std::move(it->second));
  from.erase(it);
}

// The processes of this cycle from the proc root: its numeric entries whose
// stat file reads and parses.  A process that vanishes between the listing
// and the read, or whose file cannot be read or parsed, is left out this cycle.
void list_from_proc(View &v) {
  auto &I = H();
  std::vector<int> pids = list_ids(I.opt.proc_root);
  std::sort(pids.begin(), pids.end());
  for (int pid : pids) {
    auto &slot = v.procs[pid];
    if (!slot) {
      slot = std::make_unique<kapi::task_struct>();
      slot->pid = slot->tgid = pid;
    }
    if (!read_stat(slot.get())) {
      I.skipped++;
      continue;
    }
    slot->seen_gen = v.gen;
    v.order.push_back(slot.get());
  }
}

void set_from_record(kapi::task_struct *t, const TaskRecord &r) {
  std::memcpy(t->comm, r.comm, sizeof(t->comm));
  t->comm[sizeof(t->comm) - 1] = 0;
  t->flags = r.flags;
}

// The processes of this cycle from one read of the task iterator: every
// group leader, with the times /proc/PID/stat would give for the whole group
// (its ended threads' totals plus each live thread's own, adjusted as one)
// and its oom_score_adj.  False when the read failed.
bool list_from_iter(View &v) {
  if (!H().iter->read(&v.recs)) return false;
  const TaskRecord *recs = v.recs.recs.get(), *end = recs + v.recs.n;
  for (const TaskRecord *r = recs; r < end; r++) {
    if (r->pid <= 0 || r->pid != r->tgid) continue;
    auto &slot = v.procs[r->pid];
    if (!slot) {
      slot = std::make_unique<kapi::task_struct>();
      slot->pid = slot->tgid = r->pid;
    }
    kapi::task_struct *p = slot.get();
    set_from_record(p, *r);
    p->rec = r;
    p->group_ut = r->dead_utime + r->utime;
    p->group_st = r->dead_stime + r->stime;
    p->group_rt = r->dead_runtime + r->runtime;
    p->oom_score_adj = r->oom_score_adj;
    p->oom_gen = v.gen;
    p->seen_gen = v.gen;
    v.order.push_back(p);
  }
  for (const TaskRecord *r = recs; r < end; r++) {
    if (r->pid == r->tgid) continue;
    auto p = v.procs.find(r->tgid);
    if (p == v.procs.end() || p->second->seen_gen != v.gen) continue;  // its leader is not listed
    p->second->group_ut += r->utime;
    p->second->group_st += r->stime;
    p->second->group_rt += r->runtime;
  }
  // Some kernels' iterators never show pid 1 (the 6.18 kernel of the build
  // machine does not): init is then read from its stat file.  Its threads are
  // not shown either, which matters only if init is system_server.
  auto &init = v.procs[1];
  if (!init) {
    init = std::make_unique<kapi::task_struct>();
    init->pid = init->tgid = 1;
  }
  if (init->seen_gen != v.gen) {
    init->rec = nullptr;
    if (read_stat(init.get())) {
      init->seen_gen = v.gen;
      v.order.insert(v.order.begin(), init.get());
    }
  }
  for (kapi::task_struct *p : v.order)
    if (p->rec)
      adjust_cputime(p->group_ut, p->group_st, p->group_rt, p->rec->group_prev_utime, p->rec->group_prev_stime,
                     &p->utime, &p->stime);
  // The iterator walks by pid; a kernel that did not would still be listed in order.
  if (!std::is_sorted(v.order.begin(), v.order.end(), [](auto *a, auto *b) { return a->pid < b->pid; }))
    std::sort(v.order.begin(), v.order.end(), [](auto *a, auto *b) { return a->pid < b->pid; });
  return true;
}

// The processes of this cycle, from the iterator when there is one (the
// proc root when its read fails), and the tasks gone since the last cycle
// retired.
void ensure_listed(View &v) {
  if (v.listed_gen == v.gen) return;
  auto &I = H();
  v.listed_gen = v.gen;
  I.listings++;
  v.order.clear();
  v.from_iter = I.iter && list_from_iter(v);
  if (!v.from_iter) {
    v.order.clear();
    list_from_proc(v);
  }
  for (size_t i = 0; i < v.order.size(); i++) v.order[i]->order_idx = i;
  for (auto it = v.procs.begin(); it != v.procs.end();) {
    auto next = std::next(it);
    if (it->second->seen_gen != v.gen) retire(v, v.procs, it);
    it = next;
  }
  for (auto it = v.threads.begin(); it != v.threads.end();) {
    auto next = std::next(it);
    auto p = v.procs.find(it->second->tgid);
    if (p == v.procs.end()) retire(v, v.threads, it);
    it = next;
  }
}

// The threads of process p this cycle, read from its task/ directory or
// taken from the iterator's records.
void ensure_threads(View &v, kapi::task_struct *p) {
  if (p->thread || p->threads_gen == v.gen) return;
  auto &I = H();
  p->threads_gen = v.gen;
  p->threads.clear();
  std::vector<int> tids;
  std::map<int, const TaskRecord *> recs;
  if (v.from_iter) {
    for (const TaskRecord *r = v.recs.recs.get(), *end = r + v.recs.n; r < end; r++)
      if (r->tgid == p->pid && r->pid > 0) {
        tids.push_back(r->pid);
        recs[r->pid] = r;
      }
  } else {
    tids = list_ids(I.opt.proc_root + "/" + std::to_string(p->pid) + "/task");
  }
  // The leader first, then the others by tid.
  std::sort(tids.begin(), tids.end(), [&](int a, int b) {
    return (a == p->pid) != (b == p->pid) ? a == p->pid : a < b;
  });
  for (int tid : tids) {
    auto &slot = v.threads[tid];
    if (slot && slot->tgid != p->pid) {  // a tid of another process before
      drop_fd(slot.get());
      v.retired.push_back(std::move(slot));
    }
    if (!slot) {
      slot = std::make_unique<kapi::task_struct>();
      slot->pid = tid;
      slot->tgid = p->pid;
      slot->thread = true;
    }
    if (v.from_iter) {
      const TaskRecord *r = recs[tid];
      set_from_record(slot.get(), *r);
      adjust_cputime(r->utime, r->stime, r->runtime, r->prev_utime, r->prev_stime, &slot->utime, &slot->stime);
    } else if (!read_stat(slot.get())) {
      I.skipped++;
      continue;
    }
    slot->seen_gen = v.gen;
    p->threads.push_back(slot.get());
  }
}

void free_retired(View &v) {
  if (v.rcu_depth > 0) return;
  v.retired.erase(std::remove_if(v.retired.begin(), v.retired.end(), [](auto &t) { return t->refs == 0; }),
                  v.retired.end());
}

// Reads a whole small file of the proc tree as read_file does; on a real
// procfs through a descriptor kept in *fd from one cycle to the next (pread
// at offset 0 makes the kernel generate the text afresh).  A kept
// descriptor that fails is opened again once.
bool read_kept(int *fd, const std::string &path, std::string *out) {
  if (!H().keep_fds) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
    return read_file(path, out);
  }
  for (int attempt = 0; attempt < 2; attempt++) {
    if (*fd < 0 && (*fd = open_proc_file(path)) < 0) return false;
    if (read_from_start(*fd, out) == 0) return out->size() <= kProcFileBound;
    close(*fd);
    *fd = -1;
  }
  return false;
}

// "cpuN user nice system idle iowait irq softirq steal guest guest_nice" in
// clock ticks, into the kernel's counter order.
void ensure_cpustat(View &v) {
  if (v.cpu_gen == v.gen) return;
  auto &I = H();
  v.cpu_gen = v.gen;
  std::string &text = v.cpu_text, &list = v.list_text;
  u32 in_stat = 0;
  if (!read_kept(&v.cpu_fds[0], I.opt.proc_root + "/stat", &text)) {
    std::memset(v.cpustat, 0, sizeof(v.cpustat));
  } else {
    static const int order[kStatFields] = {kapi::CPUTIME_USER, kapi::CPUTIME_NICE, kapi::CPUTIME_SYSTEM,
                                           kapi::CPUTIME_IDLE, kapi::CPUTIME_IOWAIT, kapi::CPUTIME_IRQ,
                                           kapi::CPUTIME_SOFTIRQ, kapi::CPUTIME_STEAL, kapi::CPUTIME_GUEST,
                                           kapi::CPUTIME_GUEST_NICE};
    CpuTicks ticks[kMaxCpus];
    in_stat = parse_proc_stat(text, ticks);
    // Counters in nanoseconds, and their sum (the module adds them up), must
    // fit: a CPU whose would wrap keeps the last cycle's (no time passes for
    // it), never a made-up figure.
    for (int cpu = 0; cpu < kMaxCpus; cpu++) {
      u64 ns[kStatFields], sum = 0;
      bool fits = true;
      for (int i = 0; i < kStatFields; i++)
        fits = fits && !__builtin_mul_overflow(ticks[cpu].ticks[i], I.ns_per_tick, &ns[i]) &&
               !__builtin_add_overflow(sum, ns[i], &sum);
      if (!fits) {
        I.cpu_too_large++;
        continue;
      }
      for (int i = 0; i < kStatFields; i++) v.cpustat[cpu][order[i]] = ns[i];
    }
  }
  u32 mask = 0;
  v.possible = read_kept(&v.cpu_fds[1], I.opt.cpu_root + "/possible", &list) && parse_cpu_list(list, &mask) ? mask : in_stat;
  mask = 0;
  v.online = read_kept(&v.cpu_fds[2], I.opt.cpu_root + "/online", &list) && parse_cpu_list(list, &mask) ? mask : in_stat;
  v.online &= v.possible;
}

}  // namespace

void Kernel::new_cycle() { view().gen++; }

void rcu_enter() { view().rcu_depth++; }
void rcu_leave() {
  View &v = view();
  if (v.rcu_depth > 0) v.rcu_depth--;
  free_retired(v);
}

}  // namespace host

namespace kapi {
using host::view;

task_struct init_task;

struct task_struct *next_task(struct task_struct *p) {
  auto &v = view();
  if (p == &init_task) {
    host::ensure_listed(v);
    return v.order.empty() ? &init_task : v.order.front();
  }
  // A process of this cycle knows its place; another is placed by its pid.
  size_t i = p->order_idx;
  if (i < v.order.size() && v.order[i] == p) return i + 1 < v.order.size() ? v.order[i + 1] : &init_task;
  auto it = std::upper_bound(v.order.begin(), v.order.end(), p->pid,
                             [](int pid, const task_struct *t) { return pid < t->pid; });
  return it == v.order.end() ? &init_task : *it;
}

struct task_struct *task_first_thread(struct task_struct *p) {
  if (!p || p == &init_task) return nullptr;
  if (p->thread) return p;
  host::ensure_threads(view(), p);
  return p->threads.empty() ? nullptr : p->threads.front();
}

struct task_struct *task_next_thread(struct task_struct *p, struct task_struct *t) {
  if (!p || p->thread) return nullptr;
  auto it = std::find(p->threads.begin(), p->threads.end(), t);
  if (it == p->threads.end() || ++it == p->threads.end()) return nullptr;
  return *it;
}

struct task_struct *find_task_by_vpid(pid_t nr) {
  auto &v = view();
  host::ensure_listed(v);
  auto p = v.procs.find(nr);
  if (p != v.procs.end() && p->second->seen_gen == v.gen) return p->second.get();
  auto t = v.threads.find(nr);
  if (t != v.threads.end() && t->second->seen_gen == v.gen) return t->second.get();
  return nullptr;
}

pid_t task_pid_nr(const struct task_struct *t) { return t ? t->pid : 0; }
pid_t task_tgid_nr(const struct task_struct *t) { return t ? t->tgid : 0; }
const char *task_comm(const struct task_struct *t) { return t ? t->comm : ""; }
unsigned int task_flags(const struct task_struct *t) { return t ? t->flags : 0; }

short task_oom_score_adj(const struct task_struct *t) {
  if (!t || t == &init_task) return 0;
  auto &v = view();
  auto p = v.procs.find(t->tgid);
  task_struct *leader = p != v.procs.end() ? p->second.get() : const_cast<task_struct *>(t);
  if (leader->oom_gen != v.gen) {
    std::string text;
    leader->oom_gen = v.gen;
    leader->oom_score_adj = 0;
    if (host::read_file(host::H().opt.proc_root + "/" + std::to_string(t->tgid) + "/oom_score_adj", &text)) {
      host::parse_oom_score_adj(text, &leader->oom_score_adj);
    }
  }
  return leader->oom_score_adj;
}

void get_task_struct(struct task_struct *t) {
  if (t) t->refs++;
}
void put_task_struct(struct task_struct *t) {
  if (t && t->refs > 0) t->refs--;
  host::free_retired(view());
}

void task_cputime(struct task_struct *t, u64 *utime, u64 *stime) {
  if (utime) *utime = t ? t->utime : 0;
  if (stime) *stime = t ? t->stime : 0;
}
void task_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st) { task_cputime(p, ut, st); }
// A process's stat file already counts its ended threads.
void thread_group_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st) { task_cputime(p, ut, st); }

void rcu_read_lock(void) { host::rcu_enter(); }
void rcu_read_unlock(void) { host::rcu_leave(); }
void synchronize_rcu(void) {}

bool cpu_possible(unsigned int cpu) {
  auto &v = view();
  host::ensure_cpustat(v);
  return cpu < (unsigned)host::kMaxCpus && (v.possible >> cpu & 1u);
}
bool cpu_online(unsigned int cpu) {
  auto &v = view();
  host::ensure_cpustat(v);
  return cpu < (unsigned)host::kMaxCpus && (v.online >> cpu & 1u);
}
unsigned int num_online_cpus(void) {
  auto &v = view();
  host::ensure_cpustat(v);
  return (unsigned)__builtin_popcount(v.online);
}
unsigned int num_possible_cpus(void) {
  auto &v = view();
  host::ensure_cpustat(v);
  return (unsigned)__builtin_popcount(v.possible);
}

void kcpustat_cpu_fetch(struct kernel_cpustat *dst, int cpu) {
  auto &v = view();
  host::ensure_cpustat(v);
  std::memset(dst, 0, sizeof(*dst));
  if (cpu < 0 || cpu >= host::kMaxCpus || !(v.possible >> cpu & 1u)) return;
  for (int i = 0; i < NR_STATS; i++) dst->cpustat[i] = v.cpustat[cpu][i];
}

// Idle is not tracked apart from /proc/stat here: the module falls back to
// the counters.
u64 get_cpu_idle_time_us(int, u64 *) { return (u64)-1; }
u64 get_cpu_iowait_time_us(int, u64 *) { return (u64)-1; }

}  // namespace kapi

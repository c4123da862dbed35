// Internals of the simulated kernel, shared by its sources only.
//
// Every host header comes first, then the kernel-facility layer inside
// namespace kapi (kernel/lib/kapi_prelude.h says why); the definitions below,
// made inside kapi, are the ones modules bind to.  No source of this
// directory may include a host header after this one.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <link.h>

#include "sim.h"

#include "kapi_prelude.h"

namespace sim {
using u32 = std::uint32_t;
using u8 = std::uint8_t;
using kapi::umode_t;
struct Module;
struct Signal {
  short oom_score_adj = 0;
  u64 dead_utime = 0, dead_stime = 0;  // threads that have ended
};
}  // namespace sim

namespace kapi {

// A task as the simulated scheduler keeps it.  Never deleted while its
// Kernel lives: an exited task is only marked, then freed (poisoned).
struct task_struct {
  int pid = 0, tgid = 0;
  char comm[16] = {};
  unsigned flags = 0;
  sim::Signal *sig = nullptr;
  sim::u64 utime = 0, stime = 0;
  sim::CpuRate rate;
  bool alive = true;
  bool freed = false;
  bool gp_wait = false;  // exited while a reader was inside an RCU section
  int refs = 0;          // get_task_struct holds
  task_struct *leader = nullptr;
  // Leader: its live threads by creation number, so that a walk costs what
  // lives, not what has ever lived.
  std::map<sim::u64, task_struct *> threads;
  sim::u64 thread_index = 0;     // creation number among its process's threads (leader: 0)
  sim::u64 threads_created = 0;  // leader: the next thread's number
  sim::u64 proc_index = 0;    // leader: creation number among processes
  // The same two lists linked through the live tasks, so that a walk steps
  // on in constant time without chasing the maps' nodes (a list's ends are
  // its map's); a task that has left a list is found again in the map by its
  // creation number.
  task_struct *thread_prev = nullptr, *thread_next = nullptr;  // in its process
  task_struct *proc_prev = nullptr, *proc_next = nullptr;      // leaders, in the task list
  bool in_threads = false, in_procs = false;
  sim::u64 seq = 0;
};

struct workqueue_struct {
  std::string name;
  unsigned flags = 0;
  int max_active = 0;
  sim::u64 seq = 0;
  sim::Module *owner = nullptr;
  bool alive = true;
};

struct kobject {
  int unused;
};

struct device {
  struct kobject kobj;
  void *misc = nullptr;  // the sim::MiscDev it belongs to
};

struct proc_dir_entry;

struct inode {
  proc_dir_entry *pde;
};

struct file {
  void *private_data;
  inode *f_inode;
  unsigned f_mode;
  loff_t f_pos;
};

struct proc_dir_entry {
  std::string name;
  std::string path;  // "/proc/a/b"
  umode_t mode = 0;
  bool is_dir = false;
  proc_dir_entry *parent = nullptr;
  std::map<std::string, proc_dir_entry *> children;
  const proc_ops *ops = nullptr;
  void *data = nullptr;
  bool linked = true;   // reachable from /proc
  bool removed = false;  // removed and gone
  sim::u64 seq = 0;
  sim::Module *owner = nullptr;
};

}  // namespace kapi

namespace sim {

using kapi::task_struct;

struct Alloc {
  u64 seq = 0;
  size_t size = 0;
  bool vmalloc = false;
  std::string site;
  Module *mod = nullptr;
};

// One user of a CPU's time within a stretch of unchanged rates: a thread,
// an extra kind of time, or idle.  Weights are in units of 1/D of the CPU.
struct Consumer {
  task_struct *task = nullptr;
  int stat = kIdle;  // for extras and idle
  unsigned user_permille = 0;
  unsigned __int128 w = 0;
  unsigned __int128 carry = 0;
  u64 given = 0;  // within this stretch, for the user/system split
};

struct Cpu {
  bool possible = false, online = false;
  u64 stat[kNrStats] = {};
  u64 idle_track_ns = 0, iowait_track_ns = 0;
  bool idle_query_fails = false;
  CpuExtras extras;
  std::vector<Consumer> cons;
  unsigned __int128 denom = 1;
};

struct Export {
  std::string name;
  void *addr = nullptr;
  bool gpl = false;
};

struct Module {
  std::string name, path, license;
  void *handle = nullptr;
  const kapi::module_layout *layout = nullptr;
  int (*init)() = nullptr;
  void (*exit)() = nullptr;
  std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
  std::vector<Export> exports;
  int refs = 0;  // symbol_get holds by others
  std::vector<std::pair<Module *, std::string>> held;  // symbols it holds
  bool gpl_ok = false;
  bool loaded = true;
  u64 seq = 0;
  bool contains(const void *p) const {
    uintptr_t a = (uintptr_t)p;
    for (auto &r : ranges)
      if (a >= r.first && a < r.second) return true;
    return false;
  }
};

struct MiscDev {
  kapi::miscdevice *misc = nullptr;
  std::string name;
  int minor = 0;
  bool dynamic = false;
  std::unique_ptr<kapi::device> dev;
  bool registered = true;
  u64 seq = 0;
};

struct Hook {
  std::string facility;
  int remaining = 0;
  std::function<void()> fn;
};

// The state of a delayed work, kept inside the caller's struct delayed_work.
struct DwState {
  u32 magic;
  u32 pad;
  kapi::work_func_t func;
  kapi::workqueue_struct *wq;
  u64 expiry_j;       // jiffies at which its timer fires
  u64 not_before_ns;  // see the delay-0 rule in sim.h
  u64 qseq;           // queueing order
  u64 last_run_ns;
  int cpu;
  bool pending, running, has_run;
};
static_assert(sizeof(DwState) <= sizeof(kapi::delayed_work), "delayed work state must fit");
constexpr u32 kDwMagic = 0x64776b31;

struct SemState {
  u64 magic;
  long count;
};
static_assert(sizeof(SemState) <= sizeof(kapi::semaphore), "semaphore state must fit");
constexpr u64 kSemMagic = 0x73656d6170686f72ull;

struct Kernel::Impl {
  void account_past_time(u64 utime_ns, u64 stime_ns);
  void account_past_time_on(Cpu &c, u64 utime_ns, u64 stime_ns);
  Kernel *self = nullptr;
  Config cfg;
  u64 seq_counter = 0;
  u64 obj_seq = 0;  // creation numbers of objects (for %p ids)
  u64 rng_state = 0;

  // time
  u64 mono = 0, suspended = 0;
  s64 wall_base_ns = 0;  // wall = wall_base_ns + boottime
  std::map<std::string, u64> work_duration;

  // CPUs
  Cpu cpus[kMaxCpus];
  bool rates_dirty = true;
  // Live tasks with a CPU rate, by creation number: what a rebuild of the
  // rates goes over, however many tasks are idle or have ended.
  std::map<u64, task_struct *> busy;

  // tasks
  std::vector<std::unique_ptr<task_struct>> all_tasks;
  std::vector<std::unique_ptr<Signal>> signals;
  // Live processes by creation number: the task list.  A process that has
  // left it keeps its number, so a reader standing on it still finds the next.
  std::map<u64, task_struct *> procs;
  u64 procs_created = 0;
  std::unordered_map<int, task_struct *> live;
  std::vector<task_struct *> gp_waiters;
  int last_pid = 0;

  // printk
  std::vector<LogRecord> log;

  // memory
  std::map<uintptr_t, Alloc> allocs;
  std::set<uintptr_t> freed;
  std::deque<std::pair<void *, size_t>> quarantine;
  size_t quarantine_bytes = 0;
  AllocStats kstats, vstats;

  // faults
  struct FaultState {
    Fault f;
    int seen = 0;
  };
  std::vector<FaultState> faults;

  // RCU, semaphores, contexts
  int rcu_depth = 0;
  int atomic_depth = 0;
  std::vector<kapi::semaphore *> held_sems;
  std::vector<Module *> cur;  // module whose code runs, innermost last
  std::vector<Hook> hooks;

  // workqueues
  std::vector<std::unique_ptr<kapi::workqueue_struct>> wqs;
  std::vector<kapi::delayed_work *> pending;
  std::vector<WorkQueueCall> qcalls;
  u64 qseq = 0;
  int run_depth = 0;
  std::vector<kapi::workqueue_struct *> running_wqs;

  // procfs
  std::vector<std::unique_ptr<kapi::proc_dir_entry>> pdes;
  kapi::proc_dir_entry *proc_root = nullptr;
  // Files held open through Kernel::proc_open, by handle.
  struct OpenFile {
    kapi::proc_dir_entry *de = nullptr;  // none once the entry was removed
    std::unique_ptr<kapi::inode> ino;
    std::unique_ptr<kapi::file> f;
    kapi::loff_t pos = 0;
  };
  std::map<int, OpenFile> open_files;
  int next_fd = 3;

  // misc devices and uevents
  std::vector<std::unique_ptr<MiscDev>> miscs;
  std::vector<Uevent> uevents;
  u64 uevent_seqnum = 0;

  // services
  std::map<u64, int> features;
  std::vector<std::pair<u64, int>> fqueries;
  std::vector<kapi::notifier_block *> notifiers;  // chain order
  bool notifier_atomic = false;
  std::vector<EventReport> reports;
  int report_result = 0;

  // modules
  std::vector<std::unique_ptr<Module>> modules;  // load order, unloaded kept
  std::vector<ModuleEvent> mevents;
  std::string last_load_error;

  // checks
  std::vector<std::string> violations;
  std::set<std::string> violation_set;

  // ---- helpers ----
  u64 jiffies() const { return jiffies_at(mono); }
  u64 jiffies_at(u64 ns) const {
    const u64 hz = (u64)cfg.hz;
    return ns / kNsPerSec * hz + ns % kNsPerSec * hz / kNsPerSec;
  }
  // The first nanosecond of jiffy j.
  u64 jiffy_start_ns(u64 j) const {
    const u64 hz = (u64)cfg.hz;
    return j / hz * kNsPerSec + (j % hz * kNsPerSec + hz - 1) / hz;
  }
  u64 boottime() const { return mono + suspended; }
  u64 next_seq() { return ++seq_counter; }
  void violation(const std::string &msg);
  bool in_atomic() const { return rcu_depth > 0 || atomic_depth > 0; }
  Module *cur_module() const { return cur.empty() ? nullptr : cur.back(); }
  Module *module_of(const void *p) const;
  void hook(const char *facility);
  int fault(const char *facility, const std::string &site);
  void klog(int level, const std::string &text);
  u32 hash_id(u64 seq, u64 salt = 0) const;

  // time and CPU accounting
  void advance_to(u64 t);
  void rebuild_rates();
  void account(u64 dt);

  // tasks
  bool task_ok(const task_struct *t, const char *fn);
  void maybe_free(task_struct *t);
  void rcu_quiescent();
  int alloc_pid();

  // memory
  void *alloc(size_t size, kapi::gfp_t flags, const char *site, bool vm);
  void release(const void *p, bool vm);
  void on_free_range(uintptr_t a, size_t size);

  // workqueues
  static DwState *dw(const kapi::delayed_work *w) { return (DwState *)(void *)w; }
  void unpend(kapi::delayed_work *w);
  kapi::delayed_work *next_due(u64 limit, const kapi::workqueue_struct *only);
  u64 effective_ns(const DwState *s) const;
  void run_work(kapi::delayed_work *w);

  // calls into module code: current module, RCU balance
  template <class F>
  auto call_into(Module *m, const char *what, F &&f) -> decltype(f()) {
    struct Guard {
      Impl *I;
      int depth;
      const char *what;
      ~Guard() {
        I->cur.pop_back();
        if (I->rcu_depth != depth) {
          I->violation(std::string(what) + " returned inside an RCU read-side section");
          I->rcu_depth = depth;
          if (depth == 0) I->rcu_quiescent();
        }
      }
    } g{this, rcu_depth, what};
    cur.push_back(m);
    return f();
  }

  // procfs
  std::string proc_path(kapi::proc_dir_entry *parent, const std::string &name) const;
  kapi::proc_dir_entry *proc_lookup(const std::string &path) const;
  kapi::proc_dir_entry *proc_add(const char *name, kapi::umode_t mode, kapi::proc_dir_entry *parent,
                                 const kapi::proc_ops *ops, void *data, bool dir);
  void proc_unlink(kapi::proc_dir_entry *de);
  // Releases the open files of removed entries, as the kernel's rundown does.
  void proc_rundown();
  void proc_release(OpenFile &of);

  // modules
  void left_behind(Module *m);
  int param_set(Module *m, const kapi::kernel_param *kp, const char *val);
};

extern Kernel::Impl *g_impl;
// The current kernel; aborts when there is none.
Kernel::Impl &K();

}  // namespace sim

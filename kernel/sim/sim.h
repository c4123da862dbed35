// The simulated kernel: the control side that tests and the simulator program
// use to build a machine, drive virtual time and observe what a module did.
//
// Everything is deterministic: there is one virtual clock, no host time, no
// host randomness, and every iteration order is fixed (creation order for
// tasks, expiry then queueing order for works, insertion order for records).
// One Kernel exists at a time; the kernel-facility functions that a module
// calls (kernel/include) act on the current one.
//
// Where it is simpler than a phone's kernel, on purpose:
// - a delayed work fires exactly at its expiry jiffy; the kernel's timer wheel
//   may run a long timer late by up to its level's granularity (a 2500-jiffy
//   timer by up to 63 jiffies), so real cycles drift a little;
// - a work re-queued with no delay runs at the next jiffy, not at once;
// - an exited process leaves the task list at once: there are no zombies
//   waiting to be reaped;
// - one CPU's time is shared among its runnable threads in proportion to
//   their demand; there is no scheduler latency.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using u64 = std::uint64_t;
using s64 = std::int64_t;

constexpr u64 kNsPerSec = 1000000000ull;
constexpr u64 kNsPerMs = 1000000ull;
constexpr int kHz = 250;                    // jiffies per second, unless Config::hz says otherwise
constexpr u64 kNsPerJiffy = kNsPerSec / kHz;  // 4 ms at that rate
constexpr int kMaxCpus = 32;
constexpr int kPidMax = 32768;  // pids are allocated below this, as by default
constexpr int kPidLimit = 4194304;  // a pid given explicitly may go up to this (pid_max's limit)

struct Config {
  std::uint32_t possible_cpus = 0xff;  // bit i: CPU i exists
  std::uint32_t online_cpus = 0xff;    // subset of possible
  s64 wall_start_sec = 1796601600;     // UTC seconds at boot (2026-12-07 00:00:00)
  int tz_minuteswest = 0;              // sys_tz.tz_minuteswest
  u64 uptime_ns = 0;                   // monotonic clock (and jiffies) at the start;
                                       // online CPUs have idled all of it
  u64 suspended_ns = 0;                // time already spent in suspend at the start
  u64 seed = 1;                        // seeds get_random_u32 and %p ids
  int hz = kHz;                        // the tick rate (HZ), 1 to 1000 jiffies per second;
                                       // jiffy j starts at the first ns >= j s / hz
};

// cpustat indexes, as the kernel numbers them.
enum CpuStat { kUser, kNice, kSystem, kSoftirq, kIrq, kIdle, kIowait, kSteal, kGuest, kGuestNice, kNrStats };

struct LogRecord {
  u64 seq = 0;        // position in the common event order (see Kernel::next_seq)
  u64 ts_ns = 0;      // monotonic time of the printk call
  int level = 4;      // 0..7; a text without a level prefix gets 4
  std::string text;   // exact text after the level prefixes, trailing newline removed
  bool newline = false;  // whether the call's text ended in a newline
};

struct Uevent {
  u64 seq = 0;
  u64 ts_ns = 0;
  std::string action;             // "add", "remove", "change", ...
  std::vector<std::string> env;   // ACTION, DEVPATH, SUBSYSTEM, extras, MAJOR, MINOR, DEVNAME, SEQNUM
  int result = 0;                 // what kobject_uevent returned
};

struct EventReport {
  u64 seq = 0;
  u64 ts_ns = 0;
  std::string event_code;
  int value = 0;
  int pid = 0;
  std::string text;
};

struct WorkQueueCall {  // one queue_delayed_work_on call
  u64 seq = 0;
  u64 ts_ns = 0;
  std::string wq;       // the workqueue's name
  int cpu = 0;
  unsigned long delay = 0;  // jiffies
  bool queued = false;  // false when the work was already pending
};

struct PendingWork {
  std::string wq;
  int cpu = 0;
  u64 expiry_jiffies = 0;
};

struct ModuleEvent {  // insmod / rmmod
  u64 seq = 0;
  u64 ts_ns = 0;
  std::string name;
  bool load = true;
  int result = 0;
};

struct AllocStats {
  u64 live_count = 0;
  u64 live_bytes = 0;
  u64 total_calls = 0;
  u64 failed_calls = 0;
};

// A fault makes calls of a kernel facility fail.  `facility` is one of
// "kmalloc", "vmalloc", "alloc_workqueue", "rhashtable_init", "rhashtable_insert",
// "misc_register", "proc_mkdir", "proc_create", "kobject_uevent" (covers
// kobject_uevent and kobject_uevent_env).  With `site` set only calls made from
// that function count (allocations name their caller; for the others the
// site is the workqueue, proc entry or device name, or empty).  The `nth`
// matching call (1-based, counted from when the fault is added) and the
// `count - 1` matching calls after it fail; count 0 means every one from nth on.
struct Fault {
  std::string facility;
  std::string site;
  int nth = 1;
  int count = 1;
  int error = 0;  // errno to return (negative), 0: the facility's usual one
                  // (-ENOMEM; the allocators, proc and alloc_workqueue return NULL)
};

// A process or thread as the simulated scheduler runs it.
struct TaskSpec {
  int pid = 0;        // thread id; 0: the next free pid
  int tgid = 0;       // 0: a new process (tgid = pid); else the process it joins
  std::string comm;   // cut to 15 characters
  short oom_score_adj = 0;  // processes only; threads share their process's
  bool kthread = false;
  // CPU time already used at creation: taken out of the online CPUs' idle
  // time (spread evenly), so per-CPU counters and task times agree.
  u64 utime_ns = 0;
  u64 stime_ns = 0;
};

// Continuous CPU use of a thread: `milli_cpu` thousandths of one CPU
// (1000 = one CPU busy all the time), `user_permille` of it in user mode, the
// rest system, spread evenly over the online CPUs of `cpus` (bit mask; 0 means
// CPU 0).  A CPU whose demand exceeds its time scales every thread on it down,
// so per-CPU counters and task times always agree.
struct CpuRate {
  unsigned milli_cpu = 0;
  unsigned user_permille = 1000;
  std::uint32_t cpus = 1;
};

// Extra per-CPU time that belongs to no task, in thousandths of the CPU.
// Guest time also counts as user time (guest_nice as nice), as the kernel
// accounts it.
struct CpuExtras {
  unsigned nice = 0, softirq = 0, irq = 0, iowait = 0, steal = 0, guest = 0, guest_nice = 0;
};

class Kernel {
 public:
  explicit Kernel(const Config &cfg = Config());
  ~Kernel();
  Kernel(const Kernel &) = delete;
  Kernel &operator=(const Kernel &) = delete;

  static Kernel *current();

  // ---- time -------------------------------------------------------------
  u64 monotonic_ns() const;
  u64 boottime_ns() const;   // monotonic + suspended
  s64 wall_ns() const;       // UTC, ns since the epoch
  u64 jiffies_now() const;
  // Runs every work that falls due, in expiry order, accounting CPU time up to
  // each instant, until the monotonic clock reaches t (absolute).  A work
  // that is queued again with delay 0 at the very instant it ran (from its
  // own function, say) runs next at the following jiffy boundary rather than
  // at once, so that such a work cannot hold time still.
  void run_until(u64 t_ns);
  void run_for(u64 dt_ns) { run_until(monotonic_ns() + dt_ns); }
  // Suspend: boot-time and wall clock advance, monotonic time and jiffies stand
  // still, no CPU time is accounted.
  void suspend(u64 dt_ns);
  void set_wall_clock(s64 utc_sec);
  void set_tz_minuteswest(int minutes);
  // Virtual time each run of a work function takes (the clock moves on by it
  // after the function returns).  Default 0.
  void set_work_duration(const std::string &wq, u64 ns);

  // ---- CPUs -------------------------------------------------------------
  void set_cpu_online(int cpu, bool online);   // must be possible
  // get_cpu_idle_time_us / get_cpu_iowait_time_us answer (u64)-1 for cpu.
  void set_idle_query_fails(int cpu, bool fails);
  void set_cpu_extras(int cpu, const CpuExtras &x);
  // Direct access to the counters (nanoseconds); setting one moves it for
  // both the cpustat counter and, for idle/iowait, the idle tracking.
  u64 cpustat(int cpu, int index) const;
  void set_cpustat(int cpu, int index, u64 ns);
  // Moves only the idle tracking that the idle queries report.
  void set_idle_tracking_us(int cpu, u64 idle_us, u64 iowait_us);

  // ---- tasks ------------------------------------------------------------
  int spawn(const TaskSpec &ts);   // returns the pid; -EEXIST if taken
  // A thread exits; its time stays in its process's total.  Exiting a
  // process's leader ends the whole process.
  void exit_task(int pid);
  void rename(int pid, const std::string &comm);
  void set_oom_score_adj(int tgid, short value);
  void set_rate(int pid, const CpuRate &rate);
  void add_cputime(int pid, u64 utime_ns, u64 stime_ns, int cpu = 0);  // instantly accounted, out of cpu's idle time
  bool task_alive(int pid) const;
  std::vector<int> processes() const;   // tgids in task-list order

  // ---- printk -------------------------------------------------------------
  const std::vector<LogRecord> &log() const;
  // The log as `dmesg` prints it: "[%5lu.%06lu] text\n" per record.
  std::string dmesg() const;
  static std::string dmesg_line(const LogRecord &r);
  void clear_log();

  // ---- memory and faults -------------------------------------------------------
  AllocStats alloc_stats(const std::string &allocator) const;  // "kmalloc" / "vmalloc"
  void add_fault(const Fault &f);
  void clear_faults();

  // ---- procfs ---------------------------------------------------------------
  bool proc_exists(const std::string &path) const;   // "/proc/cpumonitor/cpu_monitor"
  unsigned proc_mode(const std::string &path) const;   // mode given at creation, 0 if absent
  // open, read until end of file in reads of at most `chunk` bytes, release.
  // Returns 0 or a negative errno (from open or read).
  int proc_read(const std::string &path, std::string *out, size_t chunk = 4096);
  // A file held open as a reader holds it: open (a handle, or a negative
  // errno), reads of at most `count` bytes appended to *out (bytes read, 0 at
  // the end, or a negative errno; -EIO once the entry has been removed, which
  // releases the file as the kernel does), close.
  int proc_open(const std::string &path);
  long proc_read_some(int fd, std::string *out, size_t count);
  int proc_close(int fd);
  // open for writing and write; returns bytes written or a negative errno.
  long proc_write(const std::string &path, const std::string &data);
  std::vector<std::string> proc_list() const;  // every entry, sorted

  // ---- misc devices and uevents ------------------------------------------------
  // Dynamic minors count down from 63.  Registering and deregistering send
  // no uevent by themselves: only the module's kobject_uevent calls appear.
  bool misc_device_exists(const std::string &name) const;
  int misc_minor(const std::string &name) const;   // -1 when absent
  const std::vector<Uevent> &uevents() const;

  // ---- sibling services ---------------------------------------------------
  // The feature-switch service: what is_tid_enable answers per feature id
  // (default 0), and a notification of its chain.
  void set_feature(u64 feature_id, int answer);
  void notify_feature_change(unsigned long action = 0);
  std::vector<std::pair<u64, int>> feature_queries() const;  // (id, answer) per call
  int notifier_count() const;
  // The event-report service: every zebk_caller_api call; `result` is what it returns.
  const std::vector<EventReport> &event_reports() const;
  void set_event_report_result(int result);

  // ---- workqueues ---------------------------------------------------------
  const std::vector<WorkQueueCall> &queue_calls() const;
  std::vector<PendingWork> pending_works() const;
  std::vector<std::string> workqueues() const;  // live workqueue names

  // ---- modules -----------------------------------------------------------------
  // Loads a module shared object and runs its init with "name=value ..."
  // parameters.  0, or the negative errno of a failed load.  As in the
  // kernel, a positive init result only warns and the module stays.
  int insmod(const std::string &path, const std::string &params = "");
  int rmmod(const std::string &name);
  bool module_loaded(const std::string &name) const;
  // As through /sys/module/NAME/parameters/PARAM: 0 or a negative errno.
  int param_read(const std::string &module, const std::string &param, std::string *value) const;
  int param_write(const std::string &module, const std::string &param, const std::string &value);
  const std::vector<ModuleEvent> &module_events() const;

  // ---- interleaving -----------------------------------------------------------
  // Runs fn when a module makes its nth call (counted from now, 1-based) of
  // the named kernel facility, by its C name ("rcu_read_unlock", "down",
  // "printk", ...), before the call takes effect: what another CPU might do
  // between two statements of the module.  A task that exits in fn while no
  // RCU reader is inside a section is freed at once.  A hook that fn adds
  // counts from the next call.
  void on_call(const std::string &facility, int nth, std::function<void()> fn);

  // ---- checks ---------------------------------------------------------------
  // Misuse of the kernel's rules found while the module ran: sleeping in an
  // RCU section, freeing pending work, a task used after it was freed,
  // unbalanced locks, a destroyed workqueue with work pending, ...
  const std::vector<std::string> &violations() const;
  void clear_violations();

  // Notifications of the feature-switch chain run in atomic context (no
  // sleeping allocations, no down) when set.  Default false.
  void set_notifier_atomic(bool atomic);
  // Why the last insmod failed before the module ran (dlopen error, ...).
  const std::string &last_load_error() const;

  // The next number of the common event order, shared by log records,
  // uevents, event reports, queue calls and module events.
  u64 next_seq();
  // Forgets the log records, uevents, event reports and queue calls kept so
  // far, once a long run has handed them on: its memory then stays flat.
  void drop_records();

  struct Impl;
  Impl &impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim

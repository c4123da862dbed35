// The live host backend: the kernel facilities of kernel/include served by
// the running Linux machine.  Tasks come from a BPF task iterator where one
// can be loaded, else, like the CPU counters, from a proc root (/proc by
// default, or a recorded tree), clocks are the machine's own, every
// delayed work runs on a worker thread of its own, and what the module
// reports goes to a sink.  One Kernel exists at a time.
//
// Where it differs from a phone's kernel, on purpose:
// - a walk of the task list sees the processes as they were when the walk's
//   cycle first listed them: the iterator, or the listing and every
//   process's stat file, are read once per cycle (per worker thread), so the
//   ten name look-ups of the top-ten table do not read them again;
// - the idle queries answer -1, so idle and iowait come from /proc/stat;
// - from a proc root, times come in clock ticks (USER_HZ) and are converted
//   to nanoseconds, so they are exact only to a tick.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host {

using u64 = std::uint64_t;

// One thing the module produced.
struct Record {
  enum Kind { Printk, Uevent, EventReport } kind = Printk;
  u64 ts_ns = 0;        // monotonic time
  int level = 4;        // printk
  std::string text;     // printk text (level prefixes and final newline removed); report text
  bool newline = false;
  std::string action;   // uevent
  std::vector<std::string> env;
  int result = 0;
  std::string code;     // event report
  int value = 0;
  int pid = 0;
};

// Where the facts of processes and threads come from: a BPF task iterator,
// read once per cycle (task_iter.h), or the proc root's stat files.  Auto
// takes the iterator where it can be loaded and the proc root is /proc.
enum class TaskSource { Auto, Bpf, Proc };

struct Options {
  TaskSource source = TaskSource::Auto;
  std::string proc_root = "/proc";
  std::string cpu_root = "/sys/devices/system/cpu";  // possible/online; /proc/stat when absent
  std::string out_dir;  // proc files published below it; empty: not published
  // Receives every record, one call at a time, from whichever thread made it.
  std::function<void(const Record &)> sink;
};

// Counters of the proc readers, for tests and benchmarks.
struct ReadStats {
  u64 listings = 0;     // reads of the proc root's directory, or of the task iterator
  u64 stat_reads = 0;   // process and thread stat files read
  u64 opens = 0;        // stat files opened (a kept descriptor is reused)
  u64 skipped = 0;      // entries skipped: vanished, unreadable, malformed, not regular files
  u64 too_large = 0;    // of those, processes whose times do not fit u64 nanoseconds
  u64 cpu_too_large = 0;  // reads of /proc/stat where a CPU's counters did not (it kept the last ones)
};

class Kernel {
 public:
  explicit Kernel(const Options &opt);
  ~Kernel();  // unloads every module still loaded
  Kernel(const Kernel &) = delete;
  Kernel &operator=(const Kernel &) = delete;

  // Loads a module's shared object and runs its init with "name=value ..."
  // parameters; 0 or a negative errno.
  int insmod(const std::string &path, const std::string &params = "");
  int rmmod(const std::string &name);
  const std::string &last_load_error() const;
  // A write of value to /sys/module/<module>/parameters/<name>: the
  // parameter's set operation under the parameters' lock; 0 or a negative errno.
  int param_set(const std::string &module, const std::string &name, const std::string &value);

  // The feature-switch service: what is_tid_enable answers (default 0), and
  // a notification of its chain (made on the calling thread).
  void set_feature(u64 feature_id, int answer);
  void notify_feature_change();

  // open, read to the end, release, as a reader of the proc file does.
  int proc_read(const std::string &path, std::string *out);  // "/proc/cpumonitor/cpu_monitor"
  // Where a proc file is published under out_dir ("" when not published).
  std::string published_path(const std::string &proc_path) const;

  // Every pending delayed work runs now; returns once each has run.
  void flush_pending_works();
  // Only the pending works of the workqueue named wq ("pelk_perf_monitor_wq").
  void flush_pending_works(const std::string &wq);
  // Worker threads alive.
  int worker_threads() const;
  ReadStats read_stats() const;
  // The source the tasks come from (Bpf or Proc, never Auto), and why that
  // one: for Proc under Auto, why the iterator could not be used.
  TaskSource task_source() const;
  const std::string &task_source_reason() const;

  // Starts a new cycle for the calling thread: its next walk lists the proc
  // tree again.  Worker threads do this before each work they run.
  static void new_cycle();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The proc readers alone, for tests and the fuzzer (proc_text.cpp).
//
// One stat line, "pid (comm) state ...": false when it is malformed.  Times
// stay in clock ticks.
struct StatLine {
  int pid = 0;
  char comm[16] = {};
  unsigned flags = 0;
  u64 utime = 0, stime = 0;
};
bool parse_stat_line(const char *buf, size_t len, StatLine *out);
// CPUs the backend can describe: 0 to 31.
constexpr int kProcCpus = 32;
// "0-3,6,8-9" into a bit mask of CPUs below 32; false when malformed.
bool parse_cpu_list(const std::string &s, std::uint32_t *mask);
// /proc/stat's per-CPU lines, "cpuN user nice system idle iowait irq softirq
// steal guest guest_nice", in clock ticks and in that order; fields an older
// kernel does not give stay 0, a line with fewer than four is left out.
// out has kProcCpus entries; returns the mask of the CPUs it found.
constexpr int kStatFields = 10;
struct CpuTicks {
  u64 ticks[kStatFields];
};
std::uint32_t parse_proc_stat(const std::string &text, CpuTicks *out);
// oom_score_adj's "N\n", -1000 to 1000; false otherwise.
bool parse_oom_score_adj(const std::string &text, short *out);

}  // namespace host

// Internals of the live host backend, shared by its sources only.
//
// As in the simulated kernel, every host header comes first and the
// kernel-facility layer is then read inside namespace kapi
// (kernel/lib/kapi_prelude.h); the definitions made inside kapi are the ones
// a loaded module binds to.  No source of this directory may include a
// host header after this one.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "host.h"
#include "task_iter.h"

#include "kapi_prelude.h"

namespace host {
using u32 = std::uint32_t;
using s64 = std::int64_t;
constexpr u64 kNsPerSec = 1000000000ull;
constexpr int kHz = 250;  // the platform's tick rate
constexpr u64 kNsPerJiffy = kNsPerSec / kHz;
constexpr int kMaxCpus = kProcCpus;
}  // namespace host

namespace kapi {

// A process or a thread as the proc tree showed it in the current cycle of
// the thread that read it.  Each worker thread has its own (see tasks.cpp).
struct task_struct {
  int pid = 0, tgid = 0;
  char comm[16] = {};
  unsigned flags = 0;
  host::u64 utime = 0, stime = 0;  // nanoseconds
  bool thread = false;             // an entry of a process's task/ directory
  int fd = -1;                     // its stat file, kept open between cycles
  host::u64 seen_gen = 0;          // cycle in which it was last read
  size_t order_idx = 0;            // its place in the cycle's list of processes
  short oom_score_adj = 0;
  host::u64 oom_gen = 0;
  std::vector<task_struct *> threads;  // process: its threads, leader first
  host::u64 threads_gen = 0;
  int refs = 0;  // get_task_struct holds
  // From the task iterator: the leader's record of this cycle, and the
  // group's unadjusted sums (nanoseconds)
  const host::TaskRecord *rec = nullptr;
  host::u64 group_ut = 0, group_st = 0, group_rt = 0;
};

struct workqueue_struct {
  std::string name;
  bool dying = false;
};

struct kobject {
  int unused;
};

struct device {
  struct kobject kobj;
  miscdevice *misc = nullptr;
  int minor = 0;
  bool registered = true;
};

struct proc_dir_entry {
  std::string name, path;  // path: "/proc/a/b"
  bool is_dir = false;
  const proc_ops *ops = nullptr;
  void *data = nullptr;
  bool removed = false;
  int readers = 0;  // opens in progress; removal waits for them
};

struct inode {
  proc_dir_entry *pde;
};

struct file {
  void *private_data;
  inode *f_inode;
  unsigned f_mode;
  loff_t f_pos;
};

}  // namespace kapi

namespace host {

// A delayed work's state; the caller's struct delayed_work holds a pointer to it.
struct DwHost {
  kapi::delayed_work *dw = nullptr;
  kapi::work_func_t func = nullptr;
  kapi::workqueue_struct *wq = nullptr;
  u64 due_ns = 0;  // monotonic
  bool pending = false, running = false, canceling = false, stop = false;
  u64 completed = 0;  // runs finished
  // Wakes this work's worker alone (queued, due earlier, cancelled, stopped):
  // the other works' threads sleep on.
  std::condition_variable cv;
  std::thread thread;
  std::thread::id thread_id;
};

struct Module {
  std::string name;
  void *handle = nullptr;
  const kapi::module_layout *layout = nullptr;
  int (*init)() = nullptr;
  void (*exit)() = nullptr;
  std::vector<std::pair<std::string, void *>> exports;
};

struct Kernel::Impl {
  Options opt;
  u64 serial = 0;  // which Kernel of this process, from 1
  u64 ns_per_tick = 10000000;  // of the proc tree's clock ticks
  // Stat files are kept open between cycles only on a real procfs: there a
  // descriptor fails once its process has exited; a file of a recorded tree
  // would go on giving its old content.
  // Given up for good when descriptors run short (then each cycle opens).
  std::atomic<bool> keep_fds{false};

  std::mutex sink_mu;
  void emit(const Record &r);

  // services
  std::mutex svc_mu;
  std::map<u64, int> features;
  std::vector<kapi::notifier_block *> notifiers;

  // misc devices
  std::mutex dev_mu;
  std::vector<std::unique_ptr<kapi::device>> devices;
  u64 uevent_seqnum = 0;

  // procfs
  std::mutex proc_mu;
  std::condition_variable proc_cv;
  std::vector<std::unique_ptr<kapi::proc_dir_entry>> pdes;
  std::mutex publish_mu;
  u64 publish_serial = 0;  // names of the temporary files; under publish_mu
  kapi::proc_dir_entry *find_entry(const std::string &path);
  int proc_read(kapi::proc_dir_entry *de, std::string *out);
  void publish_all();
  void unpublish(kapi::proc_dir_entry *de);
  std::string out_path(const std::string &proc_path) const;

  // workqueues
  std::mutex wq_mu;
  std::condition_variable wq_cv;  // for those who wait on a work's runs
  std::vector<std::unique_ptr<kapi::workqueue_struct>> wqs;
  std::vector<std::unique_ptr<DwHost>> dws;
  std::atomic<int> workers{0};
  void worker(DwHost *d);

  // modules
  std::vector<std::unique_ptr<Module>> modules;
  std::string last_load_error;

  // readers
  std::atomic<u64> listings{0}, stat_reads{0}, opens{0}, skipped{0}, too_large{0}, cpu_too_large{0};
  // the task source: the iterator when it is used, and why this source
  TaskSource source = TaskSource::Proc;
  std::string source_reason;
  std::unique_ptr<TaskIter> iter;
};

extern Kernel::Impl *g_host;
// The current kernel; aborts when there is none.
Kernel::Impl &H();

u64 monotonic_ns();
// Most bytes a proc file of the tree is read for: a file longer than that
// (a link to an endless device) is damaged.
constexpr size_t kProcFileBound = 1 << 20;
// Opens a file of the proc tree for reading, never blocking: -1 (errno set)
// when it cannot be opened or is not a regular file (a FIFO, a device).
int open_proc_file(const std::string &path);
// Reads a whole small file; false when it cannot be read, is not a regular
// file or is longer than kProcFileBound.
bool read_file(const std::string &path, std::string *out);
// The text of an open file from its start (pread, so a descriptor kept open
// reads the kernel's current text each time): 0 when it was read to its end,
// negative on a read error, positive when it stopped past kProcFileBound.
ssize_t read_from_start(int fd, std::string *out);

// Per-thread state of the proc readers (tasks.cpp).
void rcu_enter();
void rcu_leave();

}  // namespace host

// The live host backend on this machine: a busy process is seen as busy,
// `run` ends by itself and cleans up, and the proc file can be read while
// cycles run.  Bounds are generous: the machine may be small and loaded.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "host.h"
#include "run.h"
#include "task_iter.h"

namespace fs = std::filesystem;

namespace {

constexpr const char *kDone = "[K][Perf] PELK Perf Statistic done";

// Threads of this process named as the live kernel's workers.
int worker_threads() {
  int n = 0;
  for (auto &e : fs::directory_iterator("/proc/self/task")) {
    std::ifstream f(e.path() / "comm");
    std::string comm;
    std::getline(f, comm);
    n += comm == "pelk_kworker";
  }
  return n;
}

// utime + stime of a process, clock ticks; -1 when it cannot be read.
long long cpu_ticks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = s.rfind(')');
  if (p == std::string::npos) return -1;
  std::istringstream in(s.substr(p + 2));
  std::string field;
  long long ut = 0, st = 0;
  for (int i = 3; i <= 15 && in >> field; i++) {
    if (i == 14) ut = std::stoll(field);
    if (i == 15) st = std::stoll(field);
  }
  return ut + st;
}

fs::path temp_dir() {
  char tmpl[] = "/tmp/pelk_live_XXXXXX";
  return mkdtemp(tmpl) ? fs::path(tmpl) : fs::path();
}

// Collects the log and wakes a waiter at each finished cycle.
struct Collector {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> lines;
  int cycles = 0;
  std::function<void()> at_cycle_end;
  void add(const host::Record &r) {
    std::lock_guard<std::mutex> lk(mu);
    if (r.kind != host::Record::Printk) return;
    lines.push_back(r.text);
    if (r.text == kDone) {
      if (at_cycle_end) at_cycle_end();
      cycles++;
      cv.notify_all();
    }
  }
  bool wait_cycles(int n, int seconds) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(seconds), [&] { return cycles >= n; });
  }
};

// A live kernel publishing below out, its log into c.
host::Options collecting(const fs::path &out, Collector &c) {
  host::Options opt;
  opt.out_dir = out.string();
  opt.sink = [&c](const host::Record &r) { c.add(r); };
  return opt;
}

// The facility layer's task functions, as the module calls them.
namespace kface {
extern "C" {
struct task_struct;
task_struct *find_task_by_vpid(int nr);
task_struct *task_first_thread(task_struct *p);
task_struct *task_next_thread(task_struct *p, task_struct *t);
int task_pid_nr(const task_struct *t);
void task_cputime_adjusted(task_struct *p, host::u64 *ut, host::u64 *st);
void thread_group_cputime_adjusted(task_struct *p, host::u64 *ut, host::u64 *st);
}
}  // namespace kface

// User and system time (ns) of each process of pids as a live kernel reading
// its tasks from `source` gives them in one cycle, keyed {pid, 0}, and of each
// thread of `threaded`, keyed {pid, tid}.
using Times = std::map<std::pair<int, int>, std::pair<host::u64, host::u64>>;
Times cycle_times(host::TaskSource source, const std::vector<pid_t> &pids, pid_t threaded, host::TaskSource *used) {
  host::Options opt;
  opt.source = source;
  host::Kernel kernel(opt);
  *used = kernel.task_source();
  host::Kernel::new_cycle();
  Times out;
  for (pid_t pid : pids) {
    kface::task_struct *p = kface::find_task_by_vpid(pid);
    if (!p) continue;
    auto &group = out[{pid, 0}];
    kface::thread_group_cputime_adjusted(p, &group.first, &group.second);
    if (pid != threaded) continue;
    for (kface::task_struct *t = kface::task_first_thread(p); t; t = kface::task_next_thread(p, t)) {
      auto &own = out[{pid, kface::task_pid_nr(t)}];
      kface::task_cputime_adjusted(t, &own.first, &own.second);
    }
  }
  return out;
}

// Loads the module with a cycle every 20 ms and the health watch switched on
// (so that it walks too); insmod's result.
int load_with_health_watch(host::Kernel &kernel) {
  kernel.set_feature(901060000029ULL, 1);
  int rc = kernel.insmod(PELK_MODULE_PATH, "kmonitor_delay=20");
  if (rc == 0) kernel.notify_feature_change();
  return rc;
}

TEST(Live, BusyChildIsInTheFirstRowsWithItsRealUse) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_NAME, "pelk_busy_kid");
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) __asm__ volatile("");
  }
  Collector c;
  std::vector<long long> ticks_at_end;  // the child's CPU time at each cycle's end
  c.at_cycle_end = [&] { ticks_at_end.push_back(cpu_ticks(child)); };
  {
    host::Options opt;
    opt.sink = [&](const host::Record &r) { c.add(r); };
    host::Kernel kernel(opt);
    ASSERT_EQ(kernel.insmod(PELK_MODULE_PATH, "kmonitor_delay=2000"), 0) << kernel.last_load_error();
    EXPECT_TRUE(c.wait_cycles(5, 120));
    EXPECT_EQ(kernel.rmmod("pelk_perf_util"), 0);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  // Rows of each cycle: "[K] %8llu%%  %5d  %20s  %11llu(ns)  %5d".
  std::string me = std::to_string(child);
  long tick_ns = 1000000000L / sysconf(_SC_CLK_TCK);
  int cycle = 0, row = 0, best_row = 99, near = 0, busiest_cpu = 0;
  for (auto &l : c.lines) {
    if (l == kDone) {
      cycle++;
      row = 0;
      continue;
    }
    // The child keeps a CPU busy: counters read afresh at every cycle show it.
    if (cycle > 0 && l.find("Cpus Usage") != std::string::npos)
      for (size_t at = l.find('['); (at = l.find('[', at + 1)) != std::string::npos;)
        busiest_cpu = std::max(busiest_cpu, std::atoi(l.c_str() + at + 1));
    if (l.find("(ns)") == std::string::npos) continue;
    row++;
    unsigned long long pct = 0, ns = 0;
    int pid = 0;
    char name[32] = {};
    if (std::sscanf(l.c_str(), "[K] %llu%% %d %31s %llu(ns)", &pct, &pid, name, &ns) != 4 || pid != child) continue;
    EXPECT_STREQ(name, "pelk_busy_kid");
    if (cycle == 0 || cycle >= (int)ticks_at_end.size()) continue;  // the first cycle counts its whole life
    best_row = std::min(best_row, row);
    EXPECT_LE(pct, 110u) << l;  // one thread uses at most one CPU
    // Near what the child used between the ends of the two cycles: the walks
    // come a little before, and on a loaded machine by more, so allow a quarter
    // period and two ticks.
    long long used_ns = (ticks_at_end[cycle] - ticks_at_end[cycle - 1]) * tick_ns;
    near += std::llabs((long long)ns - used_ns) <= 500000000LL + 2 * tick_ns;
  }
  EXPECT_LE(best_row, 3) << "the busy child was never in the first three rows";
  EXPECT_GE(near, 1) << "no cycle gave the child's real use";
  EXPECT_GE(busiest_cpu, 50) << "no CPU busy after the first cycle";
}

// The task iterator gives, per process and per thread, the user and system
// time /proc/PID/stat gives: read between two reads of /proc, each figure lies
// between theirs, within one clock tick (/proc's are whole ticks, rounded down).  A busy process, an idle one, and a
// threaded one with two spinning threads, a sleeping leader and a thread that
// burned CPU and ended (its time stays in the group's).
TEST(Live, TaskIteratorGivesProcTimesWithinOneTick) {
  std::string why;
  if (!host::TaskIter::open(&why)) GTEST_SKIP() << "this machine cannot load the BPF task iterator: " << why;
  auto child = [](void (*body)()) {
    int ready[2];
    if (pipe(ready) != 0) return (pid_t)-1;
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      body();
      char c = 1;
      if (write(ready[1], &c, 1) != 1) _exit(1);
      for (;;) pause();
    }
    char c;
    close(ready[1]);
    bool ok = pid > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    return ok ? pid : (pid_t)-1;
  };
  pid_t busy = child([] { std::thread([] { for (;;) __asm__ volatile(""); }).detach(); });
  pid_t idle = child([] {});
  pid_t threaded = child([] {
    std::thread([] {  // burns 100 ms of CPU, then ends
      struct timespec ts = {};
      while (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) == 0 && ts.tv_nsec < 100000000 && ts.tv_sec == 0) {
      }
    }).join();
    for (int i = 0; i < 2; i++) std::thread([] { for (;;) __asm__ volatile(""); }).detach();
  });
  ASSERT_GT(busy, 0);
  ASSERT_GT(idle, 0);
  ASSERT_GT(threaded, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::vector<pid_t> pids = {1, getpid(), busy, idle, threaded};
  host::TaskSource used[3];
  Times before = cycle_times(host::TaskSource::Proc, pids, threaded, &used[0]);
  Times iter = cycle_times(host::TaskSource::Bpf, pids, threaded, &used[1]);
  Times after = cycle_times(host::TaskSource::Proc, pids, threaded, &used[2]);
  for (pid_t p : {busy, idle, threaded}) kill(p, SIGKILL);
  for (pid_t p : {busy, idle, threaded}) waitpid(p, nullptr, 0);
  ASSERT_EQ(used[1], host::TaskSource::Bpf);
  ASSERT_EQ(used[0], host::TaskSource::Proc);

  const host::u64 tick = 1000000000ull / (host::u64)sysconf(_SC_CLK_TCK);
  for (pid_t p : pids) EXPECT_EQ(iter.count({p, 0}), 1u) << p;
  // The threaded process's leader and two spinners (a sanitizer may add a thread of its own).
  EXPECT_GE(iter.size(), pids.size() + 3);
  for (auto &[key, t] : iter) {
    ASSERT_TRUE(before.count(key) && after.count(key)) << key.first << "/" << key.second;
    auto b = before[key], a = after[key];
    SCOPED_TRACE(std::to_string(key.first) + "/" + std::to_string(key.second));
    EXPECT_GE(t.first + tick, b.first);
    EXPECT_LE(t.first, a.first + tick);
    EXPECT_GE(t.second + tick, b.second);
    EXPECT_LE(t.second, a.second + tick);
  }
  // The ended thread's 100 ms are in the group's time, not in its live threads'.
  host::u64 group = iter[{threaded, 0}].first + iter[{threaded, 0}].second, live = 0;
  for (auto &[key, t] : iter)
    if (key.first == threaded && key.second) live += t.first + t.second;
  EXPECT_GE(group, live + 100000000 - tick);
}

TEST(Live, RunEndsAfterItsDurationAndLeavesNoThread) {
  fs::path out = temp_dir();
  std::ostringstream o, e;
  auto t0 = std::chrono::steady_clock::now();
  std::string log = (out / "log.txt").string(), events = (out / "events.txt").string(),
              fds = (out / "fds.txt").string();
  // The command also lists its shell's descriptors (ls in a child of its own).
  int rc = pelk_tool::run_live({"--duration", "1.5", "--period", "300", "--out", out.string(), "--switch",
                                "health=on,zeb=off", "--module", PELK_MODULE_PATH, "--log", log, "--on-event",
                                "echo \"$PELK_EVENT\" >> " + events + "; ls -l /proc/$$/fd >> " + fds + "; :"},
                               o, e);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(rc, 0) << e.str();
  std::string said = e.str();  // the task source, once
  EXPECT_EQ(said.rfind("pelk_perf_util: tasks from ", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_EQ(worker_threads(), 0);
  EXPECT_GE(took, 1.4);
  std::string text = o.str();
  EXPECT_NE(text.find("] is_HEALTH_enable is true\n"), std::string::npos) << text;
  EXPECT_NE(text.find(std::string("] ") + kDone + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] <uevent add> ACTION=add DEVPATH=/devices/virtual/misc/pelk_systemserver_loading"),
            std::string::npos);
  EXPECT_NE(text.find("] pelk_cpu_monitor_exit\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(out / "cpumonitor" / "cpu_monitor"));  // gone with the module
  std::ifstream lf(log), ef(events);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(lf)), std::istreambuf_iterator<char>()), text);
  // The command saw each uevent's marked line: the load's and the unload's.
  std::string ev((std::istreambuf_iterator<char>(ef)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::count(ev.begin(), ev.end(), '\n'), 2) << ev;
  EXPECT_NE(ev.find("] <uevent add> ACTION=add "), std::string::npos) << ev;
  EXPECT_NE(ev.find("] <uevent remove> ACTION=remove "), std::string::npos) << ev;
  // None of ours beyond the standard three: not the --log file, nor a kept
  // stat file (the shell has descriptors of its own).
  std::ifstream df(fds);
  int listed = 0;
  for (std::string fd; std::getline(df, fd); listed++) {
    EXPECT_EQ(fd.find(log), std::string::npos) << fd;
    EXPECT_EQ(fd.find("/stat"), std::string::npos) << fd;
  }
  EXPECT_GE(listed, 6);

  // A command that hangs, deaf to SIGTERM, with a child of its own, holds
  // neither the stop nor anything after it: its whole group is ended.
  std::string pids = (out / "pids").string();
  std::ostringstream o3, e3;
  EXPECT_EQ(pelk_tool::run_live({"--duration", "0.3", "--out", out.string(), "--module", PELK_MODULE_PATH,
                                 "--on-event", "trap '' TERM; sleep 1000 & echo $$ $! >> " + pids + "; wait"},
                                o3, e3),
            0)
      << e3.str();
  std::ifstream pf(pids);
  int hung = 0;
  for (long pid; pf >> pid; ++hung) {
    auto ended = [pid] {
      std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
      std::string line;
      return !std::getline(st, line) || line.find(") Z ") != std::string::npos;
    };
    for (int i = 0; i < 100 && !ended(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(ended()) << pid;
  }
  EXPECT_EQ(hung, 4);  // the shells and sleeps of the load's and the unload's uevents
  fs::remove_all(out);

  for (std::vector<std::string> bad : {std::vector<std::string>{"--period", "0"}, {"--format", "xml"},
                                       {"--switch", "wifi=on"}, {"--switch", "health=yes"}, {"stray"},
                                       {"--duration"}, {"--duration", "-1"}, {"--proc-root", "/nonexistent"},
                                       {"--source", "ebpf"}, {"--source", "bpf", "--proc-root", PELK_TREES_DIR}}) {
    std::ostringstream o2, e2;
    EXPECT_EQ(pelk_tool::run_live(bad, o2, e2), 2) << bad[0];
    EXPECT_TRUE(o2.str().empty());
  }
}

TEST(Live, ProcFileReadableWhileCyclesRun) {
  fs::path out = temp_dir();
  Collector c;
  host::Kernel kernel(collecting(out, c));
  ASSERT_EQ(load_with_health_watch(kernel), 0) << kernel.last_load_error();
  const std::string proc = "/proc/cpumonitor/cpu_monitor", file = kernel.published_path(proc);
  ASSERT_EQ(file, (out / "cpumonitor" / "cpu_monitor").string());

  // Every read, through the module or of the published file, gives a whole
  // content: as many fields as the first one.
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, broken{0};
  auto fields = [](const std::string &s) { return std::count(s.begin(), s.end(), ','); };
  std::thread via_module([&] {
    std::string s;
    long want = -1;
    while (!stop && kernel.proc_read(proc, &s) == 0) {
      if (want < 0) want = fields(s);
      broken += fields(s) != want || want < 40;
      reads++;
    }
  });
  std::thread via_file([&] {
    long want = -1;
    while (!stop) {
      std::ifstream f(file);
      if (!f) continue;
      std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      if (want < 0) want = fields(s);
      broken += fields(s) != want || want < 40;
      reads++;
    }
  });
  EXPECT_TRUE(c.wait_cycles(10, 120));
  EXPECT_EQ(worker_threads(), 2);  // the cycle's and the health watch's
  // Unloaded while the module's reader may be inside a read: removal waits for it.
  EXPECT_EQ(kernel.rmmod("pelk_perf_util"), 0);
  stop = true;
  via_module.join();
  via_file.join();
  EXPECT_GT(reads.load(), 10);
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(kernel.worker_threads(), 0);
  EXPECT_EQ(worker_threads(), 0);
  fs::remove_all(out);
}

// A copy of the recorded tree t0 in dir/root where process 200 has renamed
// itself to forge a log line and set a terminal's title.
const char kForger[] = "\x1b]0;t\x07\nFORGED";
fs::path hostile_tree(const fs::path &dir) {
  fs::path root = dir / "root";
  fs::copy(fs::path(PELK_TREES_DIR) / "t0", root, fs::copy_options::recursive);
  std::ofstream(root / "200" / "stat", std::ios::trunc)
      << "200 (" << kForger << ") S 1 200 200 0 -1 4194560 1200 0 3 0 20 10 0 0 20 0 1 0 1200 1 2 3\n";
  // Process 700's times overflow 64-bit nanoseconds (a wrapped figure would
  // put it in the table); 800's stat is a FIFO no one writes, 900's an
  // endless device: neither may hold a worker.
  fs::create_directories(root / "700");
  std::ofstream(root / "700" / "stat") << "700 (hog) R 1 700 700 0 -1 4194560 0 0 0 0 1844674407371 1 0 0\n";
  fs::create_directories(root / "800");
  mkfifo((root / "800" / "stat").c_str(), 0600);
  fs::create_directories(root / "900");
  fs::create_symlink("/dev/zero", root / "900" / "stat");
  // CPU 2's counters fit in nanoseconds one by one, not added up.
  std::stringstream stat;
  stat << std::ifstream(root / "stat").rdbuf();
  std::string text = stat.str();
  size_t cpu2 = text.find("cpu2 ");
  text.replace(cpu2, text.find('\n', cpu2) - cpu2, "cpu2 1844674407370 0 0 1844674407370 0 0 0 0 0 0");
  std::ofstream(root / "stat", std::ios::trunc) << text;
  return root;
}

// `run` on a tree written by hostile users: the text carries names as the
// kernel's log does, the JSON lines their exact bytes.
TEST(Live, RunOnAHostileTree) {
  fs::path dir = temp_dir();
  fs::path root = hostile_tree(dir);
  for (const char *format : {"text", "jsonl"}) {
    std::ostringstream o, e;
    std::string log = (dir / (std::string("log.") + format)).string();
    EXPECT_EQ(pelk_tool::run_live({"--duration", "0.8", "--period", "200", "--proc-root", root.string(), "--out",
                                   (dir / "out").string(), "--module", PELK_MODULE_PATH, "--format", format,
                                   "--log", log},
                                  o, e),
              0)
        << e.str();
    std::string text = o.str();
    std::ifstream lf(log);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(lf)), std::istreambuf_iterator<char>()), text);
    EXPECT_EQ(text.find("\nFORGED"), std::string::npos) << text;
    EXPECT_EQ(text.find(" hog "), std::string::npos) << text;
    EXPECT_NE(text.find("] PELK Perf Statistic done"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of("\x1b\x07"), std::string::npos) << text;
    // The first cycle's loads since boot: CPU 2's is left at 0, not made up from wrapped counters.
    EXPECT_NE(text.find("Cpus Usage [15], [ 4], [ 0], [ 1], [ 1] [ 1], [ 1], [ 1]"), std::string::npos) << text;
    if (std::string(format) == "text") {
      EXPECT_NE(text.find(" \\x1b]0;t\\x07\\x0aFORGED  "), std::string::npos) << text;
    } else {
      EXPECT_NE(text.find(" \\u001b]0;t\\u0007\\nFORGED  "), std::string::npos) << text;
    }
  }
  fs::remove_all(dir);
}

// An --out that cannot be used safely is refused at the start, before the
// module is loaded: nothing is published where someone else could have put
// a file or a link.
TEST(Live, RunRefusesAnOutItCannotTrust) {
  fs::path dir = temp_dir();
  std::ofstream(dir / "file") << "x";
  fs::create_directory(dir / "open");
  fs::permissions(dir / "open", fs::perms::all);
  fs::create_directory(dir / "xdg");
  fs::create_directory_symlink(dir / "open", dir / "xdg" / "pelk_perf_util");  // the default, planted
  fs::create_directory(dir / "theirs");
  bool root = geteuid() == 0 && chown((dir / "theirs").c_str(), 65534, 65534) == 0;
  const char *xdg = getenv("XDG_RUNTIME_DIR");
  std::string saved = xdg ? xdg : "";
  static const struct {
    const char *out;  // below dir; nullptr: the default
    const char *why;
  } rows[] = {
      {"file", "not a directory"},
      {"open", "others may write to it"},
      {nullptr, "not a directory"},
      {"theirs", "owned by user 65534"},
  };
  for (const auto &row : rows) {
    if (std::string(row.why).find("65534") != std::string::npos && !root) continue;
    std::vector<std::string> args = {"--duration", "0.1", "--module", PELK_MODULE_PATH};
    if (row.out) args.insert(args.end(), {"--out", (dir / row.out).string()});
    setenv("XDG_RUNTIME_DIR", (dir / "xdg").c_str(), 1);
    std::ostringstream o, e;
    EXPECT_EQ(pelk_tool::run_live(args, o, e), 1) << (row.out ? row.out : "default");
    EXPECT_NE(e.str().find(row.why), std::string::npos) << e.str();
    EXPECT_TRUE(o.str().empty()) << o.str();
  }
  // A pseudo-file system: nothing can be created there.
  std::ostringstream o, e;
  EXPECT_EQ(pelk_tool::run_live({"--out", "/proc/self/pelk_out", "--module", PELK_MODULE_PATH}, o, e), 1);
  EXPECT_TRUE(fs::is_empty(dir / "open"));
  if (xdg) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else unsetenv("XDG_RUNTIME_DIR");
  fs::remove_all(dir);
}

// One cycle on /proc in a child limited to `fds` descriptors (0: as is):
// what the child wrote on stderr, ending with "skipped N".
std::string cycle_with_descriptors(const fs::path &dir, rlim_t fds) {
  fs::path err = dir / ("stderr." + std::to_string(fds));
  pid_t child = fork();
  if (child == 0) {
    if (!freopen(err.c_str(), "w", stderr)) _exit(2);
    struct rlimit lim = {fds, fds};
    if (fds && setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(3);
    Collector c;
    host::Options opt = collecting(dir / "out", c);
    opt.source = host::TaskSource::Proc;  // the source that keeps a descriptor per process
    host::Kernel kernel(opt);
    if (kernel.insmod(PELK_MODULE_PATH, "kmonitor_delay=100000") != 0) _exit(4);
    kernel.flush_pending_works();
    std::fprintf(stderr, "skipped %llu\n", (unsigned long long)kernel.read_stats().skipped);
    std::fflush(stderr);
    kernel.rmmod("pelk_perf_util");
    _exit(0);
  }
  int status = -1;
  if (child > 0) waitpid(child, &status, 0);
  std::ifstream f(err);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  return status == 0 ? text : "exit status " + std::to_string(status) + ": " + text;
}

// With fewer descriptors than processes, the backend stops keeping one open
// per process rather than leaving the others out of the tables: it skips no
// more than with descriptors to spare.  In children: a limit cannot be
// raised back.
TEST(Live, FewerDescriptorsThanProcessesLoseNone) {
  int pids = 0;
  for (auto &e : fs::directory_iterator("/proc"))
    pids += std::isdigit((unsigned char)e.path().filename().string()[0]) != 0;
  if (pids < 60) GTEST_SKIP() << "only " << pids << " processes";
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not start threads in a forked child";
#endif
  fs::path dir = temp_dir();
  std::string spare = cycle_with_descriptors(dir, 0), few = cycle_with_descriptors(dir, 32);
  auto skipped = [](const std::string &t) {
    size_t p = t.rfind("skipped ");
    return p == std::string::npos ? 1000000L : std::atol(t.c_str() + p + 8);
  };
  EXPECT_LE(skipped(few), skipped(spare) + 10) << few << "\n" << spare;
  EXPECT_NE(few.find("too few descriptors to keep one per process"), std::string::npos) << few;
  EXPECT_EQ(spare.find("too few descriptors"), std::string::npos) << spare;
  fs::remove_all(dir);
}

// Everything that may run beside the cycles does so at once: proc reads,
// writes of the period (good and refused), both switches flipped and their
// notifications; then the module is unloaded with a cycle due every
// millisecond.  Under ThreadSanitizer (build-tsan) every report fails it.
TEST(Live, ParameterWritesAndSwitchFlipsWhileCyclesRun) {
  fs::path out = temp_dir();
  Collector c;
  host::Kernel kernel(collecting(out, c));
  ASSERT_EQ(load_with_health_watch(kernel), 0) << kernel.last_load_error();

  std::atomic<bool> stop_writers{false}, stop_readers{false};
  std::atomic<int> reads{0}, writes{0}, flips{0}, wrong{0};
  std::thread reader([&] {
    std::string s;
    while (!stop_readers && kernel.proc_read("/proc/cpumonitor/cpu_monitor", &s) == 0) {
      wrong += std::count(s.begin(), s.end(), ',') < 40;
      reads++;
    }
  });
  std::thread writer([&] {
    static const struct {
      const char *value;
      int rc;
    } table[] = {{"30", 0}, {"-5", -EINVAL}, {"abc", -EINVAL}, {"20", 0}};
    for (int i = 0; !stop_writers; i++) {
      const auto &w = table[i % 4];
      wrong += kernel.param_set("pelk_perf_util", "kmonitor_delay", w.value) != w.rc;
      writes++;
    }
  });
  std::thread flipper([&] {
    for (int i = 0; !stop_writers; i++) {
      kernel.set_feature(901060000029ULL, i % 2);
      kernel.set_feature(541860000033ULL, (i / 2) % 2);
      kernel.notify_feature_change();
      flips++;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_TRUE(c.wait_cycles(10, 120));
  stop_writers = true;
  writer.join();
  flipper.join();
  EXPECT_EQ(kernel.param_set("pelk_perf_util", "kmonitor_delay", "1"), 0);
  EXPECT_EQ(kernel.param_set("pelk_perf_util", "no_such", "1"), -ENOENT);
  int done;
  {
    std::lock_guard<std::mutex> lk(c.mu);
    done = c.cycles;
  }
  EXPECT_TRUE(c.wait_cycles(done + 2, 60));
  EXPECT_EQ(kernel.rmmod("pelk_perf_util"), 0);
  stop_readers = true;
  reader.join();
  EXPECT_GT(reads.load(), 10);
  EXPECT_GT(writes.load(), 10);
  EXPECT_GT(flips.load(), 2);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(kernel.worker_threads(), 0);
  std::lock_guard<std::mutex> lk(c.mu);
  EXPECT_NE(std::find(c.lines.begin(), c.lines.end(), "is_HEALTH_enable is false"), c.lines.end());
  fs::remove_all(out);
}

}  // namespace

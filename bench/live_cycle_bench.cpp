// One live performance cycle of the module on this machine, with its tasks
// from each source (the proc root's stat files, the BPF task iterator), side
// by side with one refresh of `top -b -n 1` and of `ps -e -o pid,comm,time`,
// at the machine's own process count and with extra idle processes.  Every
// figure is CPU time (user + system): the cycle's is this process's, the
// tools' is their own as their parent sees it.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host.h"

namespace {

double process_cpu_s() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

double self_sys_s() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6;
}

double children_cpu_s() {
  struct rusage ru;
  getrusage(RUSAGE_CHILDREN, &ru);
  return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int process_count() {
  int n = 0;
  if (DIR *d = opendir("/proc")) {
    while (struct dirent *e = readdir(d)) n += e->d_name[0] >= '1' && e->d_name[0] <= '9';
    closedir(d);
  }
  return n;
}

// Idle processes that stand in for a busier machine.  One pool, grown or
// shrunk to what each benchmark asks for: the benchmarks run size by size, so
// each process is forked once (forks are slow on a loaded machine).
struct IdleProcesses {
  std::vector<pid_t> pids;
  void resize(int n) {
    while ((int)pids.size() > n) {
      kill(pids.back(), SIGKILL);
      waitpid(pids.back(), nullptr, 0);
      pids.pop_back();
    }
    while ((int)pids.size() < n) {
      pid_t p = fork();
      if (p == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
      }
      if (p < 0) break;
      pids.push_back(p);
    }
  }
  ~IdleProcesses() { resize(0); }
} idle;

void run_tool(const char *const argv[]) {
  pid_t p = fork();
  if (p == 0) {
    freopen("/dev/null", "w", stdout);
    execv(argv[0], const_cast<char *const *>(argv));
    _exit(127);
  }
  int st;
  waitpid(p, &st, 0);
}

void report(benchmark::State &state, double cpu_s) {
  int procs = process_count();
  state.counters["processes"] = procs;
  state.counters["cpu_us_per_refresh"] = benchmark::Counter(cpu_s * 1e6 / (double)state.iterations());
  state.counters["cpu_us_per_process"] =
      benchmark::Counter(cpu_s * 1e6 / (double)state.iterations() / (procs ? procs : 1));
}

// Arguments: the extra idle processes, and the source (0 proc, 1 bpf).
void BM_LiveCycle(benchmark::State &state) {
  idle.resize((int)state.range(0));
  host::Options opt;  // the log goes nowhere: the cycle is measured, not printed
  opt.source = state.range(1) ? host::TaskSource::Bpf : host::TaskSource::Proc;
  host::Kernel kernel(opt);
  if (kernel.task_source() != opt.source) {
    state.SkipWithError(("no BPF task iterator: " + kernel.task_source_reason()).c_str());
    return;
  }
  state.SetLabel(state.range(1) ? "bpf" : "proc");
  if (kernel.insmod(PELK_MODULE_PATH, "kmonitor_delay=3600000") != 0) {
    state.SkipWithError("module not loaded");
    return;
  }
  kernel.flush_pending_works("pelk_perf_monitor_wq");  // descriptors opened once
  double cpu = 0, sys0 = self_sys_s();
  for (auto _ : state) {
    double t = process_cpu_s();
    kernel.flush_pending_works("pelk_perf_monitor_wq");
    double used = process_cpu_s() - t;
    cpu += used;
    state.SetIterationTime(used);
  }
  // With the proc source most of a cycle is the kernel's: making each stat
  // file's text.
  state.counters["system_share"] = cpu > 0 ? (self_sys_s() - sys0) / cpu : 0;
  kernel.rmmod("pelk_perf_util");
  report(state, cpu);
}

void tool_bench(benchmark::State &state, const char *const argv[]) {
  idle.resize((int)state.range(0));
  double cpu = 0;
  for (auto _ : state) {
    double t = children_cpu_s();
    run_tool(argv);
    double used = children_cpu_s() - t;
    cpu += used;
    state.SetIterationTime(used > 0 ? used : 1e-9);
  }
  report(state, cpu);
}

void BM_TopRefresh(benchmark::State &state) {
  static const char *const argv[] = {"/usr/bin/top", "-b", "-n", "1", nullptr};
  tool_bench(state, argv);
}

void BM_PsRefresh(benchmark::State &state) {
  static const char *const argv[] = {"/usr/bin/ps", "-e", "-o", "pid,comm,time", nullptr};
  tool_bench(state, argv);
}

// Size by size: the machine as it is, then with 2,000 and 10,000 idle
// processes more; at each, the cycle with each source, then top and ps.
const bool registered = [] {
  for (int extra : {0, 2000, 10000}) {
    benchmark::RegisterBenchmark("BM_LiveCycle", BM_LiveCycle)
        ->Args({extra, 0})
        ->Args({extra, 1})
        ->ArgNames({"extra", "bpf"})
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    using Fn = void (*)(benchmark::State &);
    for (auto [name, fn] : {std::pair<const char *, Fn>{"BM_TopRefresh", BM_TopRefresh}, {"BM_PsRefresh", BM_PsRefresh}})
      benchmark::RegisterBenchmark(name, fn)
          ->Arg(extra)
          ->ArgName("extra")
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond)
          ->Iterations(extra > 5000 ? 5 : 20);
  }
  return true;
}();

}  // namespace

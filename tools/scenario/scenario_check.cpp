// Checking a scenario as a whole, once it is read: the timeline in order,
// played on a model of the task list; every clock and cumulative time kept
// within the kernel's 64-bit nanosecond range; the work budget.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <tuple>

#include "scenario_internal.h"

namespace pelk_tool {

namespace {

using u128 = unsigned __int128;

std::string budget_text(u64 n) {
  std::string s = std::to_string(n), out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i && (s.size() - i) % 3 == 0) out += ',';
    out += s[i];
  }
  return out;
}

// The module's shortest period in the scenario: the smallest kmonitor_delay
// (milliseconds) of any load or parameter write, 10 s when none is given.
// The kernel's work runs at most once a jiffy.
u64 shortest_period_ns(const Scenario &sc) {
  u64 ms = 10000;
  auto consider = [&](const std::string &value) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(value.c_str(), &end, 0);
    if (!value.empty() && !*end && !errno && v >= 0 && (u64)v < ms) ms = (u64)v;
  };
  auto params = [&](const std::string &p) {
    std::istringstream in(p);
    for (std::string word; in >> word;)
      if (word.rfind("kmonitor_delay=", 0) == 0) consider(word.substr(strlen("kmonitor_delay=")));
  };
  params(sc.module_params);
  for (const Event &e : sc.timeline) {
    if (e.kind == EventKind::Insmod) params(e.text);
    if (e.kind == EventKind::Param && e.text == "kmonitor_delay") consider(e.data);
  }
  return std::max(ms * sim::kNsPerMs, sim::kNsPerJiffy);
}

int nr_cpus(const Scenario &sc) { return __builtin_popcount(sc.config.possible_cpus); }

// The most CPU time any counter or task can reach: the explicit times, and
// every CPU's time from boot to the end of the run.
u128 cpu_time_bound(const Scenario &sc, u64 explicit_ns, u64 duration_ns) {
  return (u128)explicit_ns + sc.config.uptime_ns + (u128)duration_ns * (u64)nr_cpus(sc);
}

const std::string kRange = "the kernel's 64-bit nanosecond range";

// What the timeline check knows of a live task.
struct LiveTask {
  int tgid = 0;
  sim::CpuRate rate;
};

class ModelCheck {
 public:
  ModelCheck(ReadModel &m, const Refuser &r) : m_(m), sc_(m.sc), r_(r) {}

  void run() {
    std::vector<Event> &tl = sc_.timeline;
    for (const Event &e : tl)
      if (e.at_ns > sc_.duration_ns)
        r_.fail(e.where + "/at", "at " + seconds_text(e.at_ns) + " is after the end of the run (duration " +
                                     seconds_text(sc_.duration_ns) + ")");
    if (std::string why = run_length_problem(sc_, sc_.duration_ns); !why.empty()) r_.fail("/duration", why);
    order();
    sc_.wall_offset_ns = sc_.wall_clock_sec * (s64)sim::kNsPerSec;
    for (size_t i = 0; i < sc_.processes.size(); ++i) {
      const TaskDef &p = sc_.processes[i];
      spawn_check(p, p.where, 0);
      for (const TaskDef &t : p.threads) spawn_check(t, p.where, 0);
    }
    for (size_t i = 0; i < tl.size(); ++i) play(tl[i], m_.origin[i]);
    if (std::string why = run_length_problem(sc_, sc_.duration_ns); !why.empty()) r_.fail("/duration", why);
  }

  // Sorts the timeline by time, then entry, then reading order, in place.
  void order() {
    std::vector<Event> &tl = sc_.timeline;
    std::vector<std::uint32_t> idx(tl.size());
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = (std::uint32_t)i;
    std::sort(idx.begin(), idx.end(), [&](std::uint32_t a, std::uint32_t b) {
      return std::tie(tl[a].at_ns, m_.origin[a], a) < std::tie(tl[b].at_ns, m_.origin[b], b);
    });
    // Place i takes event idx[i]: follow each cycle of the permutation.
    std::vector<int> origin(idx.size());
    for (size_t i = 0; i < idx.size(); ++i) origin[i] = m_.origin[idx[i]];
    m_.origin.swap(origin);
    for (size_t i = 0; i < idx.size(); ++i) {
      if (idx[i] == i) continue;
      Event held = std::move(tl[i]);
      size_t at = i;
      while (idx[at] != i) {
        size_t from = idx[at];
        tl[at] = std::move(tl[from]);
        idx[at] = (std::uint32_t)at;
        at = from;
      }
      tl[at] = std::move(held);
      idx[at] = (std::uint32_t)at;
    }
  }

 private:
  [[noreturn]] void fail_not_running(const std::string &where, int pid, u64 at) const {
    r_.fail(where + "/pid", "pid " + std::to_string(pid) + " is not running at " + seconds_text(at));
  }

  // Explicit CPU time (task times, counter moves): every counter and task
  // time must stay in range however the rest of the run adds to it.
  void add_cpu_time(u64 ns, const std::string &where) {
    const u128 total = (u128)sc_.explicit_cpu_ns + ns;
    if (total > kMaxClockNs || cpu_time_bound(sc_, (u64)total, sc_.duration_ns) > kMaxClockNs)
      r_.fail(where, "CPU time given here would take a task's or a CPU's time past " + kRange +
                         " by the end of the run (" + std::to_string(nr_cpus(sc_)) + " CPUs for " +
                         seconds_text(sc_.duration_ns) + " after " + seconds_text(sc_.config.uptime_ns) +
                         " of uptime, and the CPU times given explicitly)");
    sc_.explicit_cpu_ns += ns;
  }

  void add_task_time(const TaskDef &t, const std::string &where) {
    add_cpu_time(t.utime_ns, where + "/utime");
    add_cpu_time(t.stime_ns, where + "/stime");
  }

  void spawn_check(const TaskDef &t, const std::string &where, u64 at) {
    if (live_.count(t.pid)) {
      auto tw = m_.thread_where.find(t.pid);
      std::string w = tw != m_.thread_where.end() && t.process ? tw->second + "/tid" : where + "/pid";
      r_.fail(w, "pid " + std::to_string(t.pid) + " is already in use at " + seconds_text(at));
    }
    int tgid = t.process ? t.process : t.pid;
    live_[t.pid] = {tgid, t.rate};
    if (tgid != t.pid) threads_[tgid].push_back(t.pid);
    add_task_time(t, t.where.empty() ? where : t.where);
  }

  // Plays one event on the model: one check per kind of event that names a
  // task or moves a clock.
  void play(Event &e, int origin) {
    switch (e.kind) {
      case EventKind::Spawn: return play_spawn(e);
      case EventKind::Exit: return play_exit(e);
      case EventKind::Rename:
        running(e);
        return;
      case EventKind::Cputime:
        running(e);
        add_cpu_time(e.utime_ns, e.where + "/utime");
        add_cpu_time(e.stime_ns, e.where + "/stime");
        return;
      case EventKind::OomScoreAdj: return play_oom_score_adj(e);
      case EventKind::Cpu: return play_cpu(e, origin);
      case EventKind::Counter:
        add_cpu_time(e.counter_ns < 0 ? (u64)0 - (u64)e.counter_ns : (u64)e.counter_ns,
                     e.where + (e.counter_set ? "/set" : "/add"));
        return;
      case EventKind::Suspend: return play_suspend(e);
      case EventKind::Clock: return play_clock(e);
      default: return;
    }
  }

  // The live task the event names.
  LiveTask &running(const Event &e) {
    auto it = live_.find(e.pid);
    if (it == live_.end()) fail_not_running(e.where, e.pid, e.at_ns);
    return it->second;
  }

  void play_spawn(const Event &e) {
    if (e.task.process == -1) {  // threads joining a running process
      auto it = live_.find(e.task.pid);
      if (it == live_.end() || it->second.tgid != e.task.pid)
        r_.fail(e.where + "/process", "a thread of no process: no process " + std::to_string(e.task.pid) +
                                          " is running at " + seconds_text(e.at_ns));
    } else {
      spawn_check(e.task, e.where, e.at_ns);
    }
    for (const TaskDef &t : e.task.threads) spawn_check(t, e.where, e.at_ns);
  }

  void play_exit(const Event &e) {
    if (running(e).tgid != e.pid) {
      live_.erase(e.pid);
      return;
    }
    // The whole process ends: its threads, then its main thread.
    auto th = threads_.find(e.pid);
    if (th != threads_.end()) {
      for (int tid : th->second) {
        auto t = live_.find(tid);
        if (t != live_.end() && t->second.tgid == e.pid) live_.erase(t);
      }
      threads_.erase(th);
    }
    live_.erase(e.pid);
  }

  void play_oom_score_adj(const Event &e) {
    int tgid = running(e).tgid;
    if (tgid != e.pid)
      r_.fail(e.where + "/pid", "pid " + std::to_string(e.pid) + " is a thread of process " + std::to_string(tgid) +
                                    "; oom_score_adj belongs to the process");
  }

  void play_cpu(Event &e, int origin) {
    LiveTask &task = running(e);
    auto g = m_.rate_given.find(origin);
    if (g != m_.rate_given.end()) {  // a timeline "cpu" event: fields not given keep their value
      sim::CpuRate r = task.rate;
      if (g->second[0]) r.milli_cpu = e.rate.milli_cpu;
      if (g->second[1]) r.user_permille = e.rate.user_permille;
      if (g->second[2]) r.cpus = e.rate.cpus;
      e.rate = r;
    }
    task.rate = e.rate;
  }

  void play_suspend(const Event &e) {
    if ((u128)sc_.config.uptime_ns + sc_.config.suspended_ns + sc_.duration_ns + sc_.suspend_ns + e.duration_ns >
        kMaxClockNs)
      r_.fail(e.where + "/duration", "this suspend would take the boot-time clock past " + kRange);
    sc_.suspend_ns += e.duration_ns;
  }

  void play_clock(const Event &e) {
    if (!e.wall_sec) return;
    s64 offset = *e.wall_sec * (s64)sim::kNsPerSec - (s64)e.at_ns;
    if ((u128)std::max<s64>(offset, 0) + sc_.duration_ns + sc_.suspend_ns > kMaxClockNs)
      r_.fail(e.where + "/wall_clock", "the wall clock set here would pass " + kRange +
                                           " (2262-04-11T23:47:16Z) by the end of the run");
    sc_.wall_offset_ns = std::max(sc_.wall_offset_ns, offset);
  }

  ReadModel &m_;
  Scenario &sc_;
  const Refuser &r_;
  std::map<int, LiveTask> live_;
  std::map<int, std::vector<int>> threads_;  // tgid -> tids spawned into it (some may have ended)
};

}  // namespace

void WorkBudget::tasks(u64 n, const std::string &path) {
  if (n > kMaxTasks || tasks_ + n > kMaxTasks)
    r_.fail(path, "the scenario would create more than " + budget_text(kMaxTasks) +
                      " processes and threads in all (the work budget)");
  tasks_ += n;
}

void WorkBudget::events(u64 n, const std::string &path) {
  if (n > kMaxEvents || events_ + n > kMaxEvents)
    r_.fail(path, "the scenario would play more than " + budget_text(kMaxEvents) +
                      " timeline events in all, repeats and rate changes included (the work budget)");
  events_ += n;
}

void WorkBudget::bytes(u64 n, const std::string &path) {
  if (n > kMaxHeldBytes || bytes_ + n > kMaxHeldBytes)
    r_.fail(path, "the scenario would hold more than " + budget_text(kMaxHeldBytes >> 20) +
                      " MiB of names, paths and data, repeats included (the work budget)");
  bytes_ += n;
}

std::string run_length_problem(const Scenario &sc, u64 duration_ns) {
  const sim::Config &c = sc.config;
  if ((u128)c.uptime_ns + duration_ns > kMaxClockNs)
    return "the monotonic clock would pass " + kRange + ": " + seconds_text(c.uptime_ns) + " of uptime and a run of " +
           seconds_text(duration_ns);
  if ((u128)c.uptime_ns + c.suspended_ns + sc.suspend_ns + duration_ns > kMaxClockNs)
    return "the boot-time clock would pass " + kRange + ": " + seconds_text(c.uptime_ns) + " of uptime, " +
           seconds_text(c.suspended_ns + sc.suspend_ns) + " in suspend and a run of " + seconds_text(duration_ns);
  if ((u128)std::max<s64>(sc.wall_offset_ns, sc.wall_clock_sec * (s64)sim::kNsPerSec) + sc.suspend_ns + duration_ns >
      kMaxClockNs)
    return "the wall clock would pass " + kRange + " (2262-04-11T23:47:16Z) by the end of a run of " +
           seconds_text(duration_ns);
  if (cpu_time_bound(sc, sc.explicit_cpu_ns, duration_ns) > kMaxClockNs)
    return "a task's or a CPU's time could pass " + kRange + ": " + std::to_string(nr_cpus(sc)) + " CPUs for " +
           seconds_text(duration_ns) + " after " + seconds_text(c.uptime_ns) + " of uptime";
  const u64 period = shortest_period_ns(sc);
  if (duration_ns / period > kMaxCycles)
    return "a run of " + seconds_text(duration_ns) + " with a period of " + seconds_text(period) + " is " +
           budget_text(duration_ns / period) + " cycles of the module, more than the work budget of " +
           budget_text(kMaxCycles);
  return "";
}

void check_model(ReadModel &m, const Refuser &r) { ModelCheck(m, r).run(); }

void ModemBlockEdit::apply(unsigned char *block) const {
  auto put = [&](size_t off, u64 v, size_t n) {
    for (size_t i = 0; i < n; ++i) block[off + i] = (unsigned char)(v >> (8 * i));
  };
  if (head_magic) put(0, *head_magic, 4);
  if (head_stamp) put(4, *head_stamp, 4);
  if (md_slp_duration) put(40, *md_slp_duration, 8);
  for (size_t i = 0; i < 5; ++i)
    if (sleep_time_us[i]) put(56 + 8 * i, *sleep_time_us[i], 8);
  if (tail_stamp) put(504, *tail_stamp, 4);
  if (tail_magic) put(508, *tail_magic, 4);
  for (const auto &[off, bytes] : raw) memcpy(block + off, bytes.data(), bytes.size());
}

s64 days_from_civil(s64 y, unsigned m, unsigned d) {
  y -= m <= 2;
  const s64 era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = (unsigned)(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (s64)doe - 719468;
}

std::string set_param(const std::string &params, const std::string &name, const std::string &value) {
  std::istringstream in(params);
  std::string word, out;
  bool done = false;
  while (in >> word) {
    if (word.compare(0, name.size() + 1, name + "=") == 0 || word == name) {
      if (done) continue;
      word = name + "=" + value;
      done = true;
    }
    out += (out.empty() ? "" : " ") + word;
  }
  if (!done) out += (out.empty() ? "" : " ") + name + "=" + value;
  return out;
}

}  // namespace pelk_tool

#include "simulate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <filesystem>
#include <system_error>

#include <dlfcn.h>

extern "C" {
// The simulated kernel's lookup of a loaded module's export (linux/module.h).
void *__symbol_get(const char *name);
void __symbol_put(const char *name);
}

namespace pelk_tool {

namespace {

constexpr std::uint32_t kModemMagic = 0x536C702E;
constexpr const char *kCycleDone = "[K][Perf] PELK Perf Statistic done";

class Player {
 public:
  Player(const Scenario &sc, const RunOptions &opt, const EventSink &sink)
      : sc_(sc), opt_(opt), sink_(sink), k_(sc.config) {
    block_.fill(0);
  }

  void run() {
    start_ = k_.monotonic_ns();
    // The scenario gives the wall clock at its start, after the uptime and
    // any time in suspend, not at boot.
    k_.set_wall_clock(sc_.wall_clock_sec);
    for (const auto &[wq, ns] : sc_.work_durations_ns) k_.set_work_duration(wq, ns);
    for (const auto &[cpu, x] : sc_.cpu_extras) k_.set_cpu_extras(cpu, x);
    for (int cpu : sc_.idle_query_fails) k_.set_idle_query_fails(cpu, true);
    for (const TaskDef &p : sc_.processes) spawn(p);
    for (const sim::Fault &f : sc_.faults) k_.add_fault(f);
    if (opt_.modem_history) watch_sleep_history();
    if (sc_.load_at_start) insmod(sc_.module_params);
    flush();
    for (const Event &e : sc_.timeline) {
      if (e.at_ns > sc_.duration_ns) break;
      run_until(start_ + e.at_ns);
      play(e);
      flush();
    }
    run_until(start_ + sc_.duration_ns);
    finish();
  }

 private:
  // Runs the kernel on to t, handing on what came out a simulated minute at
  // a time, so that a long stretch without events holds little.
  void run_until(u64 t) {
    constexpr u64 kStep = 60 * sim::kNsPerSec;
    while (k_.monotonic_ns() + kStep < t) {
      k_.run_until(k_.monotonic_ns() + kStep);
      flush();
    }
    k_.run_until(t);
    flush();
  }

  void spawn(const TaskDef &t) {
    if (t.process != -1) spawn_one(t, 0);
    for (const TaskDef &th : t.threads) spawn_one(th, t.pid);
  }

  void spawn_one(const TaskDef &t, int tgid) {
    sim::TaskSpec s;
    s.pid = t.pid;
    s.tgid = tgid;
    s.comm = t.comm;
    s.oom_score_adj = t.oom_score_adj;
    s.kthread = t.kthread;
    s.utime_ns = t.utime_ns;
    s.stime_ns = t.stime_ns;
    int pid = k_.spawn(s);
    if (pid < 0) {
      note("spawn of pid " + std::to_string(t.pid) + " failed: " + std::to_string(pid));
      return;
    }
    if (t.rate.milli_cpu) k_.set_rate(pid, t.rate);
  }

  OutEvent &mark(OutEvent::Type type) {
    OutEvent o;
    o.type = type;
    o.seq = k_.next_seq();
    o.ts_ns = k_.monotonic_ns();
    own_.push_back(std::move(o));
    return own_.back();
  }

  void note(const std::string &text) { mark(OutEvent::Note).text = text; }

  void insmod(const std::string &params) {
    size_t i = own_.size();
    mark(OutEvent::Load);
    own_[i].name = kModuleName;
    own_[i].text = params;
    int r = k_.insmod(opt_.module_path, params);
    own_[i].result = r;
    if (r != 0 && !k_.last_load_error().empty()) note("insmod: " + k_.last_load_error());
  }

  void modem_handover(const Event &e) {
    void (*init)(void *) = nullptr;
    void *sym = __symbol_get("odpm_md_sleep_init");
    if (!sym) {
      note(k_.module_loaded(kModuleName) ? "modem block: module does not export odpm_md_sleep_init"
                                         : "modem block: the module is not loaded");
      return;
    }
    init = reinterpret_cast<void (*)(void *)>(sym);
    if (e.modem_null) {
      init(nullptr);
    } else {
      block_.fill(0);
      ModemBlockEdit valid;
      valid.head_magic = kModemMagic;
      valid.tail_magic = kModemMagic;
      valid.apply(block_.data());
      e.modem.apply(block_.data());
      init(block_.data());
    }
    __symbol_put("odpm_md_sleep_init");
  }

  // The day history as other modules read it, after each report block: at
  // the release of the semaphore that follows the block's done line.
  void watch_sleep_history() {
    k_.on_call("up", 1, [this] {
      if (!k_.log().empty() && k_.log().back().text == kCycleDone) {
        if (const void *h = __symbol_get("sleep_history")) {
          mark(OutEvent::SleepHistory).text.assign(static_cast<const char *>(h), kSleepHistorySize);
          __symbol_put("sleep_history");
        }
      }
      watch_sleep_history();
    });
  }

  void play(const Event &e) {
    switch (e.kind) {
      case EventKind::Spawn: spawn(e.task); break;
      case EventKind::Exit: k_.exit_task(e.pid); break;
      case EventKind::Rename: k_.rename(e.pid, e.text); break;
      case EventKind::OomScoreAdj: k_.set_oom_score_adj(e.pid, (short)e.value); break;
      case EventKind::Cpu: k_.set_rate(e.pid, e.rate); break;
      case EventKind::Cputime: k_.add_cputime(e.pid, e.utime_ns, e.stime_ns, e.cpu); break;
      case EventKind::Feature:
        k_.set_feature(e.feature_id, e.value);
        if (e.notify) k_.notify_feature_change();
        break;
      case EventKind::FeatureNotify: k_.notify_feature_change((unsigned long)e.value); break;
      case EventKind::EventReportResult: k_.set_event_report_result(e.value); break;
      case EventKind::ModemBlock: modem_handover(e); break;
      case EventKind::ModemUpdate: e.modem.apply(block_.data()); break;
      case EventKind::Param: {
        size_t i = own_.size();
        mark(OutEvent::Param);
        own_[i].name = e.text;
        own_[i].text = e.data;
        own_[i].result = k_.param_write(kModuleName, e.text, e.data);
        break;
      }
      case EventKind::Suspend:
        mark(OutEvent::Suspend).duration_ns = e.duration_ns;
        k_.suspend(e.duration_ns);
        break;
      case EventKind::ProcRead: {
        size_t i = own_.size();
        mark(OutEvent::ProcRead).name = e.text;
        std::string content;
        int r = k_.proc_read(e.text, &content, e.chunk);
        own_[i].text = content;
        own_[i].result = r;
        break;
      }
      case EventKind::ProcWrite: {
        size_t i = own_.size();
        mark(OutEvent::ProcWrite).name = e.text;
        own_[i].text = e.data;
        own_[i].result = k_.proc_write(e.text, e.data);
        break;
      }
      case EventKind::Insmod: insmod(e.text); break;
      case EventKind::Rmmod: {
        size_t i = own_.size();
        mark(OutEvent::Unload).name = kModuleName;
        own_[i].result = k_.rmmod(kModuleName);
        break;
      }
      case EventKind::CpuOnline: k_.set_cpu_online(e.cpu, true); break;
      case EventKind::CpuOffline: k_.set_cpu_online(e.cpu, false); break;
      case EventKind::IdleQuery: k_.set_idle_query_fails(e.cpu, e.fails); break;
      case EventKind::CpuExtras: k_.set_cpu_extras(e.cpu, e.extras); break;
      case EventKind::Counter: {
        u64 v = e.counter_set ? (u64)e.counter_ns : k_.cpustat(e.cpu, e.counter) + (u64)e.counter_ns;
        // A counter moved back further than it has counted stops at 0.
        if (!e.counter_set && e.counter_ns < 0 && (u64)0 - (u64)e.counter_ns > k_.cpustat(e.cpu, e.counter)) {
          note("counter: moving CPU " + std::to_string(e.cpu) + "'s counter back by more than it holds: set to 0");
          v = 0;
        }
        k_.set_cpustat(e.cpu, e.counter, v);
        break;
      }
      case EventKind::Fault: k_.add_fault(e.fault); break;
      case EventKind::ClearFaults: k_.clear_faults(); break;
      case EventKind::Clock:
        if (e.wall_sec) k_.set_wall_clock(*e.wall_sec);
        if (e.tz_minuteswest) k_.set_tz_minuteswest(*e.tz_minuteswest);
        break;
    }
  }

  // Hands on, in the kernel's event order, everything that happened since
  // the last flush: every record made so far has its number, and every later
  // one will have a larger one.
  void flush() {
    std::vector<OutEvent> out;
    out.swap(own_);
    auto add = [&out](OutEvent::Type type, u64 seq, u64 ts_ns) -> OutEvent & {
      OutEvent &o = out.emplace_back();
      o.type = type;
      o.seq = seq;
      o.ts_ns = ts_ns;
      return o;
    };
    for (const sim::LogRecord &r : k_.log()) {
      OutEvent &o = add(OutEvent::Printk, r.seq, r.ts_ns);
      o.level = r.level;
      o.text = r.text;
      o.newline = r.newline;
    }
    for (const sim::Uevent &u : k_.uevents()) {
      OutEvent &o = add(OutEvent::Uevent, u.seq, u.ts_ns);
      o.action = u.action;
      o.env = u.env;
      o.result = u.result;
    }
    for (const sim::EventReport &r : k_.event_reports()) {
      OutEvent &o = add(OutEvent::EventReport, r.seq, r.ts_ns);
      o.name = r.event_code;
      o.value = r.value;
      o.pid = r.pid;
      o.text = r.text;
    }
    k_.drop_records();
    std::stable_sort(out.begin(), out.end(), [](const OutEvent &a, const OutEvent &b) { return a.seq < b.seq; });
    for (const OutEvent &o : out) sink_(o);
  }

  // The rules the module broke come last.
  void finish() {
    flush();
    for (const std::string &v : k_.violations()) {
      OutEvent o;
      o.type = OutEvent::Violation;
      o.seq = k_.next_seq();
      o.ts_ns = k_.monotonic_ns();
      o.text = v;
      sink_(o);
    }
  }

  // The modem's shared block outlives the kernel that the module runs on.
  std::array<unsigned char, kModemBlockSize> block_;
  const Scenario &sc_;
  const RunOptions &opt_;
  const EventSink &sink_;
  sim::Kernel k_;
  u64 start_ = 0;
  std::vector<OutEvent> own_;
};

}  // namespace

void check_module(const std::string &path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec))
    throw std::runtime_error("module not found: " + path + " (give --module PATH or set PELK_MODULE)");
  if (!std::filesystem::is_regular_file(path, ec)) throw std::runtime_error(path + " is not a module: not a file");
  // Loaded and let go at once: the run loads it again on its own kernel.
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char *e = dlerror();
    throw std::runtime_error(path + " is not a module: " + (e ? e : "it cannot be loaded"));
  }
  bool has_layout = dlsym(h, "__module_layout") != nullptr;
  dlclose(h);
  if (!has_layout) throw std::runtime_error(path + " is not a module: it has no __module_layout");
}

void simulate(const Scenario &sc, const RunOptions &opt, const EventSink &sink) {
  check_module(opt.module_path);
  Player p(sc, opt, sink);
  p.run();
}

std::vector<OutEvent> simulate(const Scenario &sc, const RunOptions &opt) {
  std::vector<OutEvent> out;
  simulate(sc, opt, [&out](const OutEvent &e) { out.push_back(e); });
  return out;
}

}  // namespace pelk_tool

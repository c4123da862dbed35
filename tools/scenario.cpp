#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

namespace pelk_tool {

using json = nlohmann::json;

namespace {

constexpr u64 kHealthFeature = 901060000029ull;
constexpr u64 kZebFeature = 541860000033ull;
constexpr u64 kMaxSeconds = 1000ull * 365 * 86400;  // keeps nanoseconds far from overflow

const char *const kFacilities[] = {
    "kmalloc", "vmalloc", "alloc_workqueue", "rhashtable_init", "rhashtable_insert",
    "misc_register", "proc_mkdir", "proc_create", "kobject_uevent",
};

const char *const kCounters[sim::kNrStats] = {
    "user", "nice", "system", "softirq", "irq", "idle", "iowait", "steal", "guest", "guest_nice",
};

std::string escape_key(const std::string &key) {
  std::string out;
  for (char c : key) {
    if (c == '~') out += "~0";
    else if (c == '/') out += "~1";
    else out += c;
  }
  return out;
}

std::string child(const std::string &path, const std::string &key) { return path + "/" + escape_key(key); }
std::string child(const std::string &path, size_t index) { return path + "/" + std::to_string(index); }

std::string type_name(const json &j) {
  switch (j.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "an integer";
    case json::value_t::number_float: return "a number";
    case json::value_t::string: return "a string";
    case json::value_t::array: return "an array";
    case json::value_t::object: return "an object";
    default: return "something else";
  }
}

// Seconds as they appear in messages: "30 s", "2.5 s".
std::string seconds_text(u64 ns) {
  char buf[48];
  if (ns % sim::kNsPerSec == 0) {
    snprintf(buf, sizeof buf, "%llu s", (unsigned long long)(ns / sim::kNsPerSec));
  } else {
    snprintf(buf, sizeof buf, "%llu.%09llu", (unsigned long long)(ns / sim::kNsPerSec),
             (unsigned long long)(ns % sim::kNsPerSec));
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    return s + " s";
  }
  return buf;
}

class Parser;

// An object of the file with the keys it may have.
class Obj {
 public:
  Obj(const Parser &p, const json &j, std::string path, std::initializer_list<const char *> allowed);
  const json *get(const char *key) const {
    auto it = j_.find(key);
    return it == j_.end() ? nullptr : &*it;
  }
  bool has(const char *key) const { return get(key) != nullptr; }
  std::string path() const { return path_; }
  std::string path(const char *key) const { return child(path_, key); }
  const json &require(const char *key) const;

  s64 integer(const char *key, s64 lo, s64 hi, s64 dflt) const;
  s64 integer(const char *key, s64 lo, s64 hi) const;  // required
  u64 unsigned_integer(const char *key, u64 hi, u64 dflt) const;
  bool boolean(const char *key, bool dflt) const;
  std::string string(const char *key, const std::string &dflt) const;
  std::string string(const char *key) const;  // required
  // Seconds (a number, decimals allowed) as nanoseconds.
  u64 seconds(const char *key, u64 dflt_ns) const;
  u64 seconds(const char *key) const;  // required
  s64 signed_seconds(const char *key) const;  // required, may be negative
  // Per cent as thousandths (one decimal kept).
  unsigned permille(const char *key, double hi, unsigned dflt) const;

 private:
  const Parser &p_;
  const json &j_;
  std::string path_;
};

class Parser {
 public:
  explicit Parser(std::string file) : file_(std::move(file)) {}

  [[noreturn]] void fail(const std::string &path, const std::string &what) const {
    throw ScenarioError(file_ + ": at " + (path.empty() ? std::string("the top level") : path) + ": " + what);
  }

  s64 integer(const json &j, const std::string &path, s64 lo, s64 hi) const {
    s64 v = 0;
    if (j.is_number_unsigned()) {
      u64 u = j.get<u64>();
      if (u > (u64)INT64_MAX) fail(path, "must be at most " + std::to_string(hi) + ", got " + j.dump());
      v = (s64)u;
    } else if (j.is_number_integer()) {
      v = j.get<s64>();
    } else if (j.is_number_float() && std::isfinite(j.get<double>()) &&
               j.get<double>() == std::floor(j.get<double>()) && std::fabs(j.get<double>()) < 9e15) {
      v = (s64)j.get<double>();
    } else {
      fail(path, "expected an integer, got " + type_name(j) + " " + j.dump());
    }
    if (v < lo || v > hi)
      fail(path, "must be between " + std::to_string(lo) + " and " + std::to_string(hi) + ", got " + std::to_string(v));
    return v;
  }

  u64 unsigned_integer(const json &j, const std::string &path, u64 hi) const {
    if (j.is_number_unsigned() || (j.is_number_integer() && j.get<s64>() >= 0)) {
      u64 v = j.get<u64>();
      if (v > hi) fail(path, "must be at most " + std::to_string(hi) + ", got " + std::to_string(v));
      return v;
    }
    if (j.is_number_integer()) fail(path, "must not be negative, got " + j.dump());
    fail(path, "expected a non-negative integer, got " + type_name(j) + " " + j.dump());
  }

  double number(const json &j, const std::string &path) const {
    if (!j.is_number()) fail(path, "expected a number, got " + type_name(j) + (j.is_string() ? " " + j.dump() : ""));
    double v = j.get<double>();
    if (!std::isfinite(v)) fail(path, "expected a finite number");
    return v;
  }

  u64 seconds(const json &j, const std::string &path) const {
    if (!j.is_number())
      fail(path, "expected a time in seconds (a number), got " + type_name(j) + (j.is_string() ? " " + j.dump() : ""));
    if (j.is_number_unsigned() || j.is_number_integer()) {
      if (j.is_number_integer() && j.get<s64>() < 0) fail(path, "must not be negative, got " + j.dump());
      u64 s = j.get<u64>();
      if (s > kMaxSeconds) fail(path, "is too large: " + j.dump() + " s");
      return s * sim::kNsPerSec;
    }
    double v = j.get<double>();
    if (!(v >= 0)) fail(path, "must not be negative, got " + j.dump());
    if (v > (double)kMaxSeconds) fail(path, "is too large: " + j.dump() + " s");
    return (u64)std::llround(v * 1e9);
  }

  s64 signed_seconds(const json &j, const std::string &path) const {
    if (j.is_number() && j.get<double>() < 0) {
      json pos = -j.get<double>();
      if (j.is_number_integer()) pos = -j.get<s64>();
      return -(s64)seconds(pos, path);
    }
    return (s64)seconds(j, path);
  }

  const std::string &file() const { return file_; }

 private:
  std::string file_;
};

Obj::Obj(const Parser &p, const json &j, std::string path, std::initializer_list<const char *> allowed)
    : p_(p), j_(j), path_(std::move(path)) {
  if (!j.is_object()) p.fail(path_, "expected an object, got " + type_name(j));
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool known = false;
    for (const char *a : allowed) known |= it.key() == a;
    if (!known) {
      std::string list;
      for (const char *a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
      p.fail(child(path_, it.key()), "unknown key \"" + it.key() + "\" (known here: " + list + ")");
    }
  }
}

const json &Obj::require(const char *key) const {
  const json *v = get(key);
  if (!v) p_.fail(path_, "missing key \"" + std::string(key) + "\"");
  return *v;
}

s64 Obj::integer(const char *key, s64 lo, s64 hi, s64 dflt) const {
  const json *v = get(key);
  return v ? p_.integer(*v, path(key), lo, hi) : dflt;
}
s64 Obj::integer(const char *key, s64 lo, s64 hi) const { return p_.integer(require(key), path(key), lo, hi); }
u64 Obj::unsigned_integer(const char *key, u64 hi, u64 dflt) const {
  const json *v = get(key);
  return v ? p_.unsigned_integer(*v, path(key), hi) : dflt;
}
bool Obj::boolean(const char *key, bool dflt) const {
  const json *v = get(key);
  if (!v) return dflt;
  if (!v->is_boolean()) p_.fail(path(key), "expected true or false, got " + type_name(*v));
  return v->get<bool>();
}
std::string Obj::string(const char *key, const std::string &dflt) const {
  const json *v = get(key);
  if (!v) return dflt;
  if (!v->is_string()) p_.fail(path(key), "expected a string, got " + type_name(*v));
  return v->get<std::string>();
}
std::string Obj::string(const char *key) const {
  require(key);
  return string(key, "");
}
u64 Obj::seconds(const char *key, u64 dflt_ns) const {
  const json *v = get(key);
  return v ? p_.seconds(*v, path(key)) : dflt_ns;
}
u64 Obj::seconds(const char *key) const { return p_.seconds(require(key), path(key)); }
s64 Obj::signed_seconds(const char *key) const { return p_.signed_seconds(require(key), path(key)); }
unsigned Obj::permille(const char *key, double hi, unsigned dflt) const {
  const json *v = get(key);
  if (!v) return dflt;
  double x = p_.number(*v, path(key));
  if (x < 0 || x > hi) {
    std::ostringstream os;
    os << "must be between 0 and " << hi << " (per cent), got " << v->dump();
    p_.fail(path(key), os.str());
  }
  return (unsigned)std::llround(x * 10);
}

// What the timeline check knows of a live task.
struct LiveTask {
  int tgid = 0;
  sim::CpuRate rate;
};

class ScenarioReader {
 public:
  ScenarioReader(const std::string &file) : p_(file) { sc_.file = file; }

  Scenario read(const json &root) {
    Obj top(p_, root, "",
            {"description", "machine", "processes", "cpus", "faults", "timeline", "duration"});
    sc_.description = top.string("description", "");
    sc_.duration_ns = top.seconds("duration", 600 * sim::kNsPerSec);
    if (const json *m = top.get("machine")) read_machine(*m, top.path("machine"));
    else possible_ = sc_.config.possible_cpus;
    if (const json *c = top.get("cpus")) read_cpus(*c, top.path("cpus"));
    if (const json *f = top.get("faults")) {
      const std::string path = top.path("faults");
      for (size_t i = 0; i < array(*f, path).size(); ++i) sc_.faults.push_back(read_fault((*f)[i], child(path, i)));
    }
    if (const json *ps = top.get("processes")) {
      const std::string path = top.path("processes");
      for (size_t i = 0; i < array(*ps, path).size(); ++i) {
        TaskDef t = read_process((*ps)[i], child(path, i), -1);
        sc_.processes.push_back(std::move(t));
      }
    }
    if (const json *tl = top.get("timeline")) read_timeline(*tl, top.path("timeline"));
    order_and_check();
    return std::move(sc_);
  }

 private:
  const json &array(const json &j, const std::string &path) const {
    if (!j.is_array()) p_.fail(path, "expected an array, got " + type_name(j));
    return j;
  }

  std::uint32_t cpu_set(const json &j, const std::string &path, std::uint32_t within, const char *what) const {
    if (j.is_number()) {
      int n = (int)p_.integer(j, path, 1, sim::kMaxCpus);
      std::uint32_t m = n == 32 ? 0xffffffffu : ((1u << n) - 1);
      if ((m & within) != m) p_.fail(path, std::string("CPUs 0 to ") + std::to_string(n - 1) + " are not all " + what);
      return m;
    }
    if (!j.is_array()) p_.fail(path, "expected a CPU count or an array of CPU numbers, got " + type_name(j));
    if (j.empty()) p_.fail(path, "names no CPU");
    std::uint32_t m = 0;
    for (size_t i = 0; i < j.size(); ++i) {
      int c = (int)p_.integer(j[i], child(path, i), 0, sim::kMaxCpus - 1);
      if (!(within >> c & 1)) p_.fail(child(path, i), "CPU " + std::to_string(c) + " is not " + what);
      m |= 1u << c;
    }
    return m;
  }

  int cpu_number(const Obj &o, const char *key) const {
    int c = (int)o.integer(key, 0, sim::kMaxCpus - 1);
    if (!(possible_ >> c & 1)) p_.fail(o.path(key), "CPU " + std::to_string(c) + " is not a possible CPU");
    return c;
  }

  void read_machine(const json &j, const std::string &path) {
    Obj m(p_, j, path,
          {"possible_cpus", "online_cpus", "wall_clock", "tz_minuteswest", "uptime", "suspended", "seed",
           "module_params", "load_at_start", "work_durations"});
    sim::Config &c = sc_.config;
    if (const json *v = m.get("possible_cpus")) c.possible_cpus = cpu_set(*v, m.path("possible_cpus"), ~0u, "");
    possible_ = c.possible_cpus;
    c.online_cpus = c.possible_cpus;
    if (const json *v = m.get("online_cpus"))
      c.online_cpus = cpu_set(*v, m.path("online_cpus"), c.possible_cpus, "a possible CPU");
    if (const json *v = m.get("wall_clock")) sc_.wall_clock_sec = wall_clock(*v, m.path("wall_clock"));
    c.tz_minuteswest = (int)m.integer("tz_minuteswest", -1440, 1440, 0);
    c.uptime_ns = m.seconds("uptime", 0);
    c.suspended_ns = m.seconds("suspended", 0);
    c.seed = m.unsigned_integer("seed", UINT64_MAX, 1);
    sc_.module_params = m.string("module_params", "");
    sc_.load_at_start = m.boolean("load_at_start", true);
    if (const json *w = m.get("work_durations")) {
      const std::string wp = m.path("work_durations");
      if (!w->is_object()) p_.fail(wp, "expected an object of workqueue names and seconds, got " + type_name(*w));
      for (auto it = w->begin(); it != w->end(); ++it)
        sc_.work_durations_ns[it.key()] = p_.seconds(it.value(), child(wp, it.key()));
    }
  }

  s64 wall_clock(const json &j, const std::string &path) const {
    if (j.is_number()) return p_.integer(j, path, 0, (s64)1 << 40);
    if (j.is_string()) {
      const std::string s = j.get<std::string>();
      unsigned y, mo, d, h, mi, se;
      char z = 0, end = 0;
      if (sscanf(s.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c%c", &y, &mo, &d, &h, &mi, &se, &z, &end) == 7 && z == 'Z' &&
          s.size() == 20 && y >= 1970 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && se < 60) {
        s64 days = days_from_civil(y, mo, d);
        // A day past the end of its month would roll over: refuse it.
        if (days_from_civil(y, mo, 1) + d - 1 == days && (mo == 12 ? days < days_from_civil(y + 1, 1, 1)
                                                                    : days < days_from_civil(y, mo + 1, 1)))
          return days * 86400 + h * 3600 + mi * 60 + se;
      }
    }
    p_.fail(path, "expected a UTC time like \"2026-12-08T09:30:00Z\" or seconds since 1970, got " + j.dump());
  }

  sim::CpuExtras read_extras(const Obj &o, sim::CpuExtras x) const {
    x.nice = o.permille("nice", 100, x.nice);
    x.softirq = o.permille("softirq", 100, x.softirq);
    x.irq = o.permille("irq", 100, x.irq);
    x.iowait = o.permille("iowait", 100, x.iowait);
    x.steal = o.permille("steal", 100, x.steal);
    x.guest = o.permille("guest", 100, x.guest);
    x.guest_nice = o.permille("guest_nice", 100, x.guest_nice);
    if (x.nice + x.softirq + x.irq + x.iowait + x.steal + x.guest + x.guest_nice > 1000)
      p_.fail(o.path(), "the extra times add up to more than 100 per cent of the CPU");
    return x;
  }

  void read_cpus(const json &j, const std::string &path) {
    for (size_t i = 0; i < array(j, path).size(); ++i) {
      Obj o(p_, j[i], child(path, i),
            {"cpu", "nice", "softirq", "irq", "iowait", "steal", "guest", "guest_nice", "idle_query_fails"});
      int c = cpu_number(o, "cpu");
      if (sc_.cpu_extras.count(c)) p_.fail(o.path("cpu"), "CPU " + std::to_string(c) + " is described twice");
      sc_.cpu_extras[c] = read_extras(o, sim::CpuExtras());
      if (o.boolean("idle_query_fails", false)) sc_.idle_query_fails.push_back(c);
    }
  }

  sim::Fault read_fault(const json &j, const std::string &path) const {
    Obj o(p_, j, path, {"facility", "site", "nth", "count", "error"});
    sim::Fault f;
    f.facility = o.string("facility");
    bool known = false;
    std::string list;
    for (const char *k : kFacilities) {
      known |= f.facility == k;
      list += std::string(list.empty() ? "" : ", ") + k;
    }
    if (!known) p_.fail(o.path("facility"), "unknown facility \"" + f.facility + "\" (one of " + list + ")");
    f.site = o.string("site", "");
    f.nth = (int)o.integer("nth", 1, 1000000, 1);
    f.count = (int)o.integer("count", 0, 1000000, 1);
    f.error = (int)o.integer("error", -4095, 0, 0);
    return f;
  }

  // "cpu": {"percent", "user", "cpus", "changes"}; `base` is the rate it
  // starts from (fields not given keep their value).
  sim::CpuRate read_rate(const Obj &o, sim::CpuRate base) const {
    base.milli_cpu = o.permille("percent", 100.0 * sim::kMaxCpus, base.milli_cpu);
    base.user_permille = o.permille("user", 100, base.user_permille);
    if (const json *c = o.get("cpus")) base.cpus = cpu_set(*c, o.path("cpus"), possible_, "a possible CPU");
    return base;
  }

  sim::CpuRate default_rate() const {
    sim::CpuRate r;
    r.milli_cpu = 0;
    r.user_permille = 1000;
    r.cpus = possible_;
    return r;
  }

  // A task's "cpu" object; its "changes" go to the timeline.
  sim::CpuRate task_rate(const json *j, const std::string &path, int pid, int origin) {
    if (!j) return default_rate();
    Obj o(p_, *j, path, {"percent", "user", "cpus", "changes"});
    sim::CpuRate r = read_rate(o, default_rate());
    if (const json *ch = o.get("changes")) {
      const std::string cp = o.path("changes");
      sim::CpuRate cur = r;
      u64 prev = 0;
      for (size_t i = 0; i < array(*ch, cp).size(); ++i) {
        Obj c(p_, (*ch)[i], child(cp, i), {"at", "percent", "user", "cpus"});
        Event e;
        e.at_ns = c.seconds("at");
        if (e.at_ns < prev)
          p_.fail(c.path("at"), "time goes backwards: " + seconds_text(e.at_ns) + " is before the previous change at " +
                                    seconds_text(prev));
        prev = e.at_ns;
        e.where = c.path();
        e.kind = EventKind::Cpu;
        e.pid = pid;
        cur = read_rate(c, cur);
        e.rate = cur;
        add_event(std::move(e), origin);
      }
    }
    return r;
  }

  // A process: `origin` orders its rate changes among the timeline events.
  TaskDef read_process(const json &j, const std::string &path, int origin) {
    Obj o(p_, j, path, {"pid", "comm", "oom_score_adj", "kthread", "cpu", "utime", "stime", "threads"});
    TaskDef t;
    t.pid = (int)o.integer("pid", 1, kMaxPid);
    t.comm = o.string("comm");
    t.oom_score_adj = (short)o.integer("oom_score_adj", -1000, 1000, 0);
    t.kthread = o.boolean("kthread", false);
    t.rate = task_rate(o.get("cpu"), o.path("cpu"), t.pid, origin);
    t.utime_ns = o.seconds("utime", 0);
    t.stime_ns = o.seconds("stime", 0);
    if (const json *th = o.get("threads")) {
      const std::string tp = o.path("threads");
      for (size_t i = 0; i < array(*th, tp).size(); ++i) read_threads((*th)[i], child(tp, i), t, origin, &t.threads);
    }
    return t;
  }

  // A thread entry, possibly standing for `count` threads.
  void read_threads(const json &j, const std::string &path, const TaskDef &proc, int origin,
                    std::vector<TaskDef> *out) {
    Obj o(p_, j, path, {"process", "tid", "comm", "count", "cpu", "utime", "stime"});
    int tid = (int)o.integer("tid", 1, kMaxPid);
    int count = (int)o.integer("count", 1, 100000, 1);
    if ((s64)tid + count - 1 > kMaxPid)
      p_.fail(o.path("count"), "thread ids " + std::to_string(tid) + " to " + std::to_string((s64)tid + count - 1) +
                                   " go past the largest pid " + std::to_string(kMaxPid));
    if (proc.comm.empty()) o.require("comm");  // a thread joining a running process
    std::string comm = o.string("comm", proc.comm);
    for (int k = 0; k < count; ++k) {
      TaskDef t;
      t.pid = tid + k;
      t.process = proc.pid;
      t.comm = comm;
      for (size_t at; (at = t.comm.find("{n}")) != std::string::npos;) t.comm.replace(at, 3, std::to_string(k + 1));
      t.kthread = proc.kthread;
      t.rate = task_rate(o.get("cpu"), o.path("cpu"), t.pid, origin);
      t.utime_ns = o.seconds("utime", 0);
      t.stime_ns = o.seconds("stime", 0);
      thread_where_[t.pid] = path;
      out->push_back(std::move(t));
    }
  }

  void add_event(Event e, int origin) {
    pending_.push_back({e.at_ns, origin, (int)pending_.size()});
    events_.push_back(std::move(e));
  }

  u64 feature_id(const Obj &o) const {
    const json &v = o.require("id");
    if (v.is_string()) {
      std::string s = v.get<std::string>();
      if (s == "health") return kHealthFeature;
      if (s == "zeb") return kZebFeature;
      p_.fail(o.path("id"), "unknown feature \"" + s + "\" (use a number, \"health\" or \"zeb\")");
    }
    return p_.unsigned_integer(v, o.path("id"), UINT64_MAX);
  }

  static int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  ModemBlockEdit read_modem(const Obj &o) const {
    ModemBlockEdit m;
    auto u32 = [&](const char *k, std::optional<std::uint32_t> *dst) {
      if (o.has(k)) *dst = (std::uint32_t)o.unsigned_integer(k, UINT32_MAX, 0);
    };
    u32("head_magic", &m.head_magic);
    u32("head_stamp", &m.head_stamp);
    u32("tail_stamp", &m.tail_stamp);
    u32("tail_magic", &m.tail_magic);
    if (o.has("md_slp_duration")) m.md_slp_duration = o.unsigned_integer("md_slp_duration", UINT64_MAX, 0);
    if (const json *st = o.get("sleep_time")) {
      const std::string sp = o.path("sleep_time");
      if (!st->is_array() || st->size() != 5)
        p_.fail(sp, "expected an array of five sleep times in microseconds (MD, 2G, 3G, 4G, 5G_FR1)");
      for (size_t i = 0; i < 5; ++i)
        if (!(*st)[i].is_null()) m.sleep_time_us[i] = p_.unsigned_integer((*st)[i], child(sp, i), UINT64_MAX);
    }
    if (const json *raw = o.get("raw")) {
      const std::string rp = o.path("raw");
      for (size_t i = 0; i < array(*raw, rp).size(); ++i) {
        Obj r(p_, (*raw)[i], child(rp, i), {"offset", "hex"});
        size_t off = (size_t)r.integer("offset", 0, kModemBlockSize - 1, 0);
        std::string hex = r.string("hex"), bytes;
        hex.erase(std::remove_if(hex.begin(), hex.end(), [](char c) { return c == ' '; }), hex.end());
        if (hex.size() % 2) p_.fail(r.path("hex"), "has an odd number of hex digits");
        for (size_t k = 0; k < hex.size(); k += 2) {
          int hi = hexval(hex[k]), lo = hexval(hex[k + 1]);
          if (hi < 0 || lo < 0) p_.fail(r.path("hex"), "is not hexadecimal: \"" + hex.substr(k, 2) + "\"");
          bytes += (char)(hi * 16 + lo);
        }
        if (off + bytes.size() > kModemBlockSize)
          p_.fail(r.path("hex"), std::to_string(bytes.size()) + " bytes at offset " + std::to_string(off) +
                                     " go past the end of the 512-byte block");
        m.raw.emplace_back(off, bytes);
      }
    }
    return m;
  }

  void read_timeline(const json &j, const std::string &path) {
    u64 prev = 0;
    for (size_t i = 0; i < array(j, path).size(); ++i) {
      const std::string ep = child(path, i);
      const json &ej = j[i];
      if (!ej.is_object()) p_.fail(ep, "expected an object, got " + type_name(ej));
      auto kind_it = ej.find("event");
      if (kind_it == ej.end()) p_.fail(ep, "missing key \"event\"");
      if (!kind_it->is_string()) p_.fail(child(ep, "event"), "expected a string, got " + type_name(*kind_it));
      const std::string kind = kind_it->get<std::string>();
      Event e = read_event(kind, ej, ep, (int)i);
      if (e.at_ns < prev)
        p_.fail(child(ep, "at"), "time goes backwards: " + seconds_text(e.at_ns) + " is before the previous event at " +
                                     seconds_text(prev));
      prev = e.at_ns;
      // "repeat": {"every": S, "count": N} plays the entry N times.
      u64 every = 0;
      int count = 1;
      if (auto r = ej.find("repeat"); r != ej.end()) {
        Obj ro(p_, *r, child(ep, "repeat"), {"every", "count"});
        every = ro.seconds("every");
        if (every == 0) p_.fail(ro.path("every"), "must be more than 0");
        count = (int)ro.integer("count", 1, 100000);
      }
      for (int k = 0; k < count; ++k) {
        Event c = e;
        c.at_ns = e.at_ns + (u64)k * every;
        add_event(std::move(c), (int)i);
      }
    }
  }

  Event read_event(const std::string &kind, const json &j, const std::string &path, int origin) {
    auto keys = [&](std::initializer_list<const char *> extra) {
      std::vector<const char *> v = {"at", "event", "repeat"};
      v.insert(v.end(), extra.begin(), extra.end());
      return v;
    };
    Event e;
    e.where = path;
    auto obj = [&](std::initializer_list<const char *> extra) {
      std::vector<const char *> k = keys(extra);
      // Obj takes an initializer_list; check the keys here instead.
      if (!j.is_object()) p_.fail(path, "expected an object");
      for (auto it = j.begin(); it != j.end(); ++it)
        if (std::find_if(k.begin(), k.end(), [&](const char *a) { return it.key() == a; }) == k.end()) {
          std::string list;
          for (const char *a : k) list += std::string(list.empty() ? "" : ", ") + a;
          p_.fail(child(path, it.key()),
                  "unknown key \"" + it.key() + "\" for a \"" + kind + "\" event (known: " + list + ")");
        }
      return Obj(p_, j, path, {"at", "event", "repeat", "pid", "comm", "oom_score_adj", "kthread", "cpu", "utime",
                               "stime", "threads", "process", "tid", "count", "value", "percent", "user", "cpus",
                               "id", "answer", "notify", "action", "result", "null", "head_magic", "head_stamp",
                               "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time", "raw", "name",
                               "duration", "path", "chunk", "data", "params", "fails", "nice", "softirq", "irq",
                               "iowait", "steal", "guest", "guest_nice", "counter", "set", "add", "facility", "site",
                               "nth", "error", "wall_clock", "tz_minuteswest"});
    };
    auto at = [&](const Obj &o) { e.at_ns = o.seconds("at"); };

    if (kind == "spawn") {
      e.kind = EventKind::Spawn;
      if (j.contains("process")) {
        Obj o = obj({"process", "tid", "comm", "count", "cpu", "utime", "stime"});
        at(o);
        TaskDef proc;
        proc.pid = (int)o.integer("process", 1, kMaxPid);
        proc.process = -1;  // a marker: only threads are spawned
        json th = j;
        th.erase("at");
        th.erase("event");
        th.erase("repeat");
        th.erase("process");
        read_threads(th, path, proc, origin, &e.task.threads);
        e.task.pid = proc.pid;
        e.task.process = -1;
      } else {
        Obj o = obj({"pid", "comm", "oom_score_adj", "kthread", "cpu", "utime", "stime", "threads"});
        at(o);
        json pj = j;
        pj.erase("at");
        pj.erase("event");
        pj.erase("repeat");
        e.task = read_process(pj, path, origin);
      }
    } else if (kind == "exit") {
      Obj o = obj({"pid"});
      at(o);
      e.kind = EventKind::Exit;
      e.pid = (int)o.integer("pid", 1, kMaxPid);
    } else if (kind == "rename") {
      Obj o = obj({"pid", "comm"});
      at(o);
      e.kind = EventKind::Rename;
      e.pid = (int)o.integer("pid", 1, kMaxPid);
      e.text = o.string("comm");
    } else if (kind == "oom_score_adj") {
      Obj o = obj({"pid", "value"});
      at(o);
      e.kind = EventKind::OomScoreAdj;
      e.pid = (int)o.integer("pid", 1, kMaxPid);
      e.value = (int)o.integer("value", -1000, 1000);
    } else if (kind == "cpu") {
      Obj o = obj({"pid", "percent", "user", "cpus"});
      at(o);
      e.kind = EventKind::Cpu;
      e.pid = (int)o.integer("pid", 1, kMaxPid);
      e.rate = read_rate(o, sim::CpuRate());  // resolved against the task's rate later
      rate_given_[origin] = {o.has("percent"), o.has("user"), o.has("cpus")};
    } else if (kind == "cputime") {
      Obj o = obj({"pid", "utime", "stime", "cpu"});
      at(o);
      e.kind = EventKind::Cputime;
      e.pid = (int)o.integer("pid", 1, kMaxPid);
      e.utime_ns = o.seconds("utime", 0);
      e.stime_ns = o.seconds("stime", 0);
      e.cpu = o.has("cpu") ? cpu_number(o, "cpu") : 0;
    } else if (kind == "feature") {
      Obj o = obj({"id", "answer", "notify"});
      at(o);
      e.kind = EventKind::Feature;
      e.feature_id = feature_id(o);
      e.value = (int)o.integer("answer", INT32_MIN, INT32_MAX);
      e.notify = o.boolean("notify", false);
    } else if (kind == "feature_notify") {
      Obj o = obj({"action"});
      at(o);
      e.kind = EventKind::FeatureNotify;
      e.value = (int)o.integer("action", 0, INT32_MAX, 0);
    } else if (kind == "event_report_result") {
      Obj o = obj({"result"});
      at(o);
      e.kind = EventKind::EventReportResult;
      e.value = (int)o.integer("result", INT32_MIN, INT32_MAX);
    } else if (kind == "modem_block") {
      Obj o = obj({"null", "head_magic", "head_stamp", "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time",
                   "raw"});
      at(o);
      e.kind = EventKind::ModemBlock;
      e.modem_null = o.boolean("null", false);
      e.modem = read_modem(o);
      if (e.modem_null)
        for (const char *k : {"head_magic", "head_stamp", "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time",
                              "raw"})
          if (o.has(k)) p_.fail(o.path(k), "a null hand-over has no block fields");
    } else if (kind == "modem_update") {
      Obj o = obj({"head_magic", "head_stamp", "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time", "raw"});
      at(o);
      e.kind = EventKind::ModemUpdate;
      e.modem = read_modem(o);
    } else if (kind == "param") {
      Obj o = obj({"name", "value"});
      at(o);
      e.kind = EventKind::Param;
      e.text = o.string("name", "kmonitor_delay");
      const json &v = o.require("value");
      if (v.is_string()) e.data = v.get<std::string>();
      else if (v.is_number_integer() || v.is_number_unsigned()) e.data = v.dump();
      else p_.fail(o.path("value"), "expected a string or an integer, got " + type_name(v));
    } else if (kind == "suspend") {
      Obj o = obj({"duration"});
      at(o);
      e.kind = EventKind::Suspend;
      e.duration_ns = o.seconds("duration");
    } else if (kind == "proc_read") {
      Obj o = obj({"path", "chunk"});
      at(o);
      e.kind = EventKind::ProcRead;
      e.text = o.string("path", "/proc/cpumonitor/cpu_monitor");
      e.chunk = (size_t)o.integer("chunk", 1, 1 << 20, 4096);
    } else if (kind == "proc_write") {
      Obj o = obj({"path", "data"});
      at(o);
      e.kind = EventKind::ProcWrite;
      e.text = o.string("path", "/proc/cpumonitor/cpu_monitor");
      e.data = o.string("data");
    } else if (kind == "insmod") {
      Obj o = obj({"params"});
      at(o);
      e.kind = EventKind::Insmod;
      e.text = o.string("params", sc_.module_params);
    } else if (kind == "rmmod") {
      Obj o = obj({});
      at(o);
      e.kind = EventKind::Rmmod;
    } else if (kind == "cpu_online" || kind == "cpu_offline") {
      Obj o = obj({"cpu"});
      at(o);
      e.kind = kind == "cpu_online" ? EventKind::CpuOnline : EventKind::CpuOffline;
      e.cpu = cpu_number(o, "cpu");
    } else if (kind == "idle_query") {
      Obj o = obj({"cpu", "fails"});
      at(o);
      e.kind = EventKind::IdleQuery;
      e.cpu = cpu_number(o, "cpu");
      e.fails = o.boolean("fails", true);
    } else if (kind == "cpu_extras") {
      Obj o = obj({"cpu", "nice", "softirq", "irq", "iowait", "steal", "guest", "guest_nice"});
      at(o);
      e.kind = EventKind::CpuExtras;
      e.cpu = cpu_number(o, "cpu");
      e.extras = read_extras(o, sim::CpuExtras());
    } else if (kind == "counter") {
      Obj o = obj({"cpu", "counter", "set", "add"});
      at(o);
      e.kind = EventKind::Counter;
      e.cpu = cpu_number(o, "cpu");
      std::string name = o.string("counter"), list;
      e.counter = -1;
      for (int k = 0; k < sim::kNrStats; ++k) {
        if (name == kCounters[k]) e.counter = k;
        list += std::string(list.empty() ? "" : ", ") + kCounters[k];
      }
      if (e.counter < 0) p_.fail(o.path("counter"), "unknown counter \"" + name + "\" (one of " + list + ")");
      if (o.has("set") == o.has("add")) p_.fail(path, "give exactly one of \"set\" and \"add\"");
      e.counter_set = o.has("set");
      e.counter_ns = e.counter_set ? (s64)o.seconds("set") : o.signed_seconds("add");
    } else if (kind == "fault") {
      Obj o = obj({"facility", "site", "nth", "count", "error"});
      at(o);
      e.kind = EventKind::Fault;
      json fj = j;
      fj.erase("at");
      fj.erase("event");
      fj.erase("repeat");
      e.fault = read_fault(fj, path);
    } else if (kind == "clear_faults") {
      Obj o = obj({});
      at(o);
      e.kind = EventKind::ClearFaults;
    } else if (kind == "clock") {
      Obj o = obj({"wall_clock", "tz_minuteswest"});
      at(o);
      e.kind = EventKind::Clock;
      if (const json *w = o.get("wall_clock")) e.wall_sec = wall_clock(*w, o.path("wall_clock"));
      if (o.has("tz_minuteswest")) e.tz_minuteswest = (int)o.integer("tz_minuteswest", -1440, 1440);
      if (!e.wall_sec && !e.tz_minuteswest) p_.fail(path, "give \"wall_clock\" or \"tz_minuteswest\" or both");
    } else {
      p_.fail(child(path, "event"),
              "unknown event \"" + kind +
                  "\" (one of spawn, exit, rename, oom_score_adj, cpu, cputime, feature, feature_notify, "
                  "event_report_result, modem_block, modem_update, param, suspend, proc_read, proc_write, insmod, "
                  "rmmod, cpu_online, cpu_offline, idle_query, cpu_extras, counter, fault, clear_faults, clock)");
    }
    return e;
  }

  [[noreturn]] void fail_not_running(const std::string &where, int pid, u64 at) const {
    p_.fail(where + "/pid", "pid " + std::to_string(pid) + " is not running at " + seconds_text(at));
  }

  void spawn_check(const TaskDef &t, const std::string &where, u64 at) {
    if (live_.count(t.pid)) {
      std::string w = thread_where_.count(t.pid) && t.process ? thread_where_[t.pid] + "/tid" : where + "/pid";
      p_.fail(w, "pid " + std::to_string(t.pid) + " is already in use at " + seconds_text(at));
    }
    live_[t.pid] = {t.process ? t.process : t.pid, t.rate};
  }

  // Puts the timeline in order and plays it on a model of the task list:
  // every pid an event names must be running then, every pid spawned free.
  void order_and_check() {
    for (const Event &e : events_)
      if (e.at_ns > sc_.duration_ns)
        p_.fail(e.where + "/at", "at " + seconds_text(e.at_ns) + " is after the end of the run (duration " +
                                     seconds_text(sc_.duration_ns) + ")");
    std::vector<size_t> idx(events_.size());
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
    std::stable_sort(idx.begin(), idx.end(), [&](size_t a, size_t b) {
      return std::tie(pending_[a].at, pending_[a].origin, pending_[a].n) <
             std::tie(pending_[b].at, pending_[b].origin, pending_[b].n);
    });

    for (size_t i = 0; i < sc_.processes.size(); ++i) {
      const TaskDef &p = sc_.processes[i];
      spawn_check(p, "/processes/" + std::to_string(i), 0);
      for (const TaskDef &t : p.threads) spawn_check(t, "/processes/" + std::to_string(i), 0);
    }
    for (size_t n : idx) {
      Event &e = events_[n];
      switch (e.kind) {
        case EventKind::Spawn:
          if (e.task.process == -1) {  // threads joining a running process
            auto it = live_.find(e.task.pid);
            if (it == live_.end() || it->second.tgid != e.task.pid)
              p_.fail(e.where + "/process", "a thread of no process: no process " + std::to_string(e.task.pid) +
                                                " is running at " + seconds_text(e.at_ns));
          } else {
            spawn_check(e.task, e.where, e.at_ns);
          }
          for (const TaskDef &t : e.task.threads) spawn_check(t, e.where, e.at_ns);
          break;
        case EventKind::Exit: {
          auto it = live_.find(e.pid);
          if (it == live_.end()) fail_not_running(e.where, e.pid, e.at_ns);
          if (it->second.tgid == e.pid) {
            for (auto j = live_.begin(); j != live_.end();)
              j = j->second.tgid == e.pid ? live_.erase(j) : std::next(j);
          } else {
            live_.erase(it);
          }
          break;
        }
        case EventKind::Rename:
        case EventKind::Cputime:
          if (!live_.count(e.pid)) fail_not_running(e.where, e.pid, e.at_ns);
          break;
        case EventKind::OomScoreAdj: {
          auto it = live_.find(e.pid);
          if (it == live_.end()) fail_not_running(e.where, e.pid, e.at_ns);
          if (it->second.tgid != e.pid)
            p_.fail(e.where + "/pid", "pid " + std::to_string(e.pid) + " is a thread of process " +
                                          std::to_string(it->second.tgid) + "; oom_score_adj belongs to the process");
          break;
        }
        case EventKind::Cpu: {
          auto it = live_.find(e.pid);
          if (it == live_.end()) fail_not_running(e.where, e.pid, e.at_ns);
          auto g = rate_given_.find(pending_[n].origin);
          if (g != rate_given_.end()) {  // a timeline "cpu" event: fields not given keep their value
            sim::CpuRate r = it->second.rate;
            if (g->second[0]) r.milli_cpu = e.rate.milli_cpu;
            if (g->second[1]) r.user_permille = e.rate.user_permille;
            if (g->second[2]) r.cpus = e.rate.cpus;
            e.rate = r;
          }
          it->second.rate = e.rate;
          break;
        }
        default:
          break;
      }
      sc_.timeline.push_back(e);
    }
  }

  struct Pending {
    u64 at;
    int origin;
    int n;
  };

  Parser p_;
  Scenario sc_;
  std::uint32_t possible_ = 0xff;
  std::vector<Event> events_;
  std::vector<Pending> pending_;
  std::map<int, std::array<bool, 3>> rate_given_;  // by timeline index of a "cpu" event
  std::map<int, std::string> thread_where_;
  std::map<int, LiveTask> live_;
};

}  // namespace

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

// Follows the parser through the document, so that a key given twice, or a
// value the parser itself cannot hold, is refused with its place.
class PlaceTracker {
 public:
  explicit PlaceTracker(std::string file) : file_(std::move(file)) {}

  bool on(int, json::parse_event_t event, json &parsed) {
    switch (event) {
      case json::parse_event_t::object_start: frames_.push_back({false}); break;
      case json::parse_event_t::array_start: frames_.push_back({true}); break;
      case json::parse_event_t::key: {
        Frame &f = frames_.back();
        f.key = parsed.get<std::string>();
        if (!f.keys.insert(f.key).second)
          throw ScenarioError(file_ + ": at " + place() + ": the key \"" + f.key + "\" is given twice");
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        frames_.pop_back();
        next_element();
        break;
      case json::parse_event_t::value: next_element(); break;
    }
    return true;
  }

  // The JSON pointer of the value being read.
  std::string place() const {
    std::string path;
    for (const Frame &f : frames_) path = f.array ? child(path, f.index) : child(path, f.key);
    return path.empty() ? "/" : path;
  }

 private:
  struct Frame {
    bool array = false;
    size_t index = 0;
    std::string key;
    std::set<std::string> keys;
  };
  void next_element() {
    if (!frames_.empty() && frames_.back().array) frames_.back().index++;
  }
  std::string file_;
  std::vector<Frame> frames_;
};

Scenario parse_scenario(const std::string &text, const std::string &file) {
  json root;
  PlaceTracker tracker(file);
  try {
    root = json::parse(text, [&](int depth, json::parse_event_t event, json &parsed) {
      return tracker.on(depth, event, parsed);
    });
  } catch (const json::parse_error &e) {
    std::string what = e.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
    size_t at = what.find("parse error at ");
    what = at == std::string::npos ? what : what.substr(at + strlen("parse error "));
    throw ScenarioError(file + ": " + what);
  } catch (const json::exception &e) {
    // A number beyond what a double holds, and the like.
    std::string what = e.what();
    size_t end = what.find("] ");
    what = end == std::string::npos ? what : what.substr(end + 2);
    throw ScenarioError(file + ": at " + tracker.place() + ": " + what);
  }
  return ScenarioReader(file).read(root);
}

Scenario load_scenario(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(path + ": cannot read: " + strerror(errno));
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw ScenarioError(path + ": cannot read: " + strerror(errno));
  return parse_scenario(ss.str(), path);
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

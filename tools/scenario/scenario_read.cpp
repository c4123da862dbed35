// Reading a scenario file: the JSON document, its limits (size, depth, a key
// given twice) and every key of it, into the model that scenario_check.cpp
// then checks as a whole.  docs/scenario.md describes the format.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scenario_internal.h"

namespace pelk_tool {

namespace {

constexpr u64 kHealthFeature = 901060000029ull;
constexpr u64 kZebFeature = 541860000033ull;
// The longest time the kernel's signed 64-bit nanosecond clocks hold.
constexpr u64 kMaxSeconds = (u64)INT64_MAX / sim::kNsPerSec;

const char *const kFacilities[] = {
    "kmalloc", "vmalloc", "alloc_workqueue", "rhashtable_init", "rhashtable_insert",
    "misc_register", "proc_mkdir", "proc_create", "kobject_uevent",
};

const char *const kCounters[sim::kNrStats] = {
    "user", "nice", "system", "softirq", "irq", "idle", "iowait", "steal", "guest", "guest_nice",
};

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

}  // namespace

namespace {

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

class Parser : public Refuser {
 public:
  explicit Parser(std::string file) : Refuser(std::move(file)) {}

  s64 integer(const json &j, const std::string &path, s64 lo, s64 hi) const {
    s64 v = 0;
    if (j.is_number_unsigned()) {
      u64 u = j.get<u64>();
      if (u > (u64)INT64_MAX) fail(path, "must be at most " + std::to_string(hi) + ", got " + excerpt(j));
      v = (s64)u;
    } else if (j.is_number_integer()) {
      v = j.get<s64>();
    } else if (j.is_number_float() && std::isfinite(j.get<double>()) &&
               j.get<double>() == std::floor(j.get<double>()) && std::fabs(j.get<double>()) < 9e15) {
      v = (s64)j.get<double>();
    } else {
      fail(path, "expected an integer, got " + type_name(j) + " " + excerpt(j));
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
    if (j.is_number_integer()) fail(path, "must not be negative, got " + excerpt(j));
    fail(path, "expected a non-negative integer, got " + type_name(j) + " " + excerpt(j));
  }

  double number(const json &j, const std::string &path) const {
    if (!j.is_number()) fail(path, "expected a number, got " + type_name(j) + (j.is_string() ? " " + excerpt(j) : ""));
    double v = j.get<double>();
    if (!std::isfinite(v)) fail(path, "expected a finite number");
    return v;
  }

  // The size of a time in seconds, as nanoseconds: at most what the
  // kernel's signed 64-bit nanosecond clocks hold.
  u64 magnitude_ns(const json &j, const std::string &path) const {
    const std::string range = "is too large: " + excerpt(j) + " s (the kernel's clocks hold at most " +
                              std::to_string(kMaxSeconds) + " s)";
    if (j.is_number_unsigned() || j.is_number_integer()) {
      u64 s = j.is_number_unsigned() ? j.get<u64>() : (u64)0 - (u64)j.get<s64>();
      if (s > kMaxSeconds) fail(path, range);
      return s * sim::kNsPerSec;
    }
    double v = std::fabs(j.get<double>()) * 1e9;
    if (!(v < 9223372036854775807.0)) fail(path, range);
    return (u64)std::llround(v);
  }

  u64 seconds(const json &j, const std::string &path) const {
    if (!j.is_number())
      fail(path, "expected a time in seconds (a number), got " + type_name(j) + (j.is_string() ? " " + excerpt(j) : ""));
    if (j.is_number_float() ? !(j.get<double>() >= 0) : (!j.is_number_unsigned() && j.get<s64>() < 0))
      fail(path, "must not be negative, got " + excerpt(j));
    return magnitude_ns(j, path);
  }

  // A time that may move backwards: either sign, the same range.
  s64 signed_seconds(const json &j, const std::string &path) const {
    if (!j.is_number())
      fail(path, "expected a time in seconds (a number), got " + type_name(j) + (j.is_string() ? " " + excerpt(j) : ""));
    bool negative = j.is_number_float() ? j.get<double>() < 0 : (!j.is_number_unsigned() && j.get<s64>() < 0);
    s64 ns = (s64)magnitude_ns(j, path);
    return negative ? -ns : ns;
  }
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
      p.fail(child(path_, it.key()), "unknown key " + quote(it.key()) + " (known here: " + list + ")");
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
    os << "must be between 0 and " << hi << " (per cent), got " << excerpt(*v);
    p_.fail(path(key), os.str());
  }
  return (unsigned)std::llround(x * 10);
}

class ScenarioReader {
 public:
  ScenarioReader(const std::string &file) : p_(file), budget_(p_), sc_(m_.sc) { sc_.file = file; }

  const Parser &parser() const { return p_; }

  // Reads the document, letting go of each timeline entry once it is read.
  ReadModel read(json &root) {
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
    if (root.is_object() && root.contains("timeline")) read_timeline(root["timeline"], top.path("timeline"));
    return std::move(m_);
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
    // The boot CPU never goes offline: a machine always has a CPU online.
    if (!(c.online_cpus & 1u))
      p_.fail(m.has("online_cpus") ? m.path("online_cpus") : m.path("possible_cpus"),
              "CPU 0 must be online: it is the boot CPU, which never goes offline");
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
    if (j.is_number()) return p_.integer(j, path, 0, (s64)kMaxSeconds);
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
        {
          s64 sec = days * 86400 + h * 3600 + mi * 60 + se;
          if (sec > (s64)kMaxSeconds)
            p_.fail(path, quote(s) + " is past 2262-04-11T23:47:16Z, the end of the kernel's 64-bit nanosecond clock");
          return sec;
        }
      }
    }
    p_.fail(path, "expected a UTC time like \"2026-12-08T09:30:00Z\" or seconds since 1970, got " + excerpt(j));
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
    if (!known) p_.fail(o.path("facility"), "unknown facility " + quote(f.facility) + " (one of " + list + ")");
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

  // A task's "cpu" object; its "changes" go to *changes, for the timeline.
  sim::CpuRate task_rate(const json *j, const std::string &path, std::vector<Event> *changes) {
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
        cur = read_rate(c, cur);
        e.rate = cur;
        changes->push_back(std::move(e));
      }
    }
    return r;
  }

  void add_changes(const std::vector<Event> &changes, int pid, int origin) {
    for (const Event &c : changes) {
      Event e = c;
      e.pid = pid;
      add_event(std::move(e), origin);
    }
  }

  // A process: `origin` orders its rate changes among the timeline events.
  TaskDef read_process(const json &j, const std::string &path, int origin) {
    Obj o(p_, j, path, {"pid", "comm", "oom_score_adj", "kthread", "cpu", "utime", "stime", "threads"});
    TaskDef t;
    t.pid = (int)o.integer("pid", 1, kMaxPid);
    t.comm = o.string("comm");
    t.oom_score_adj = (short)o.integer("oom_score_adj", -1000, 1000, 0);
    t.kthread = o.boolean("kthread", false);
    std::vector<Event> changes;
    t.rate = task_rate(o.get("cpu"), o.path("cpu"), &changes);
    budget_.tasks(1, path);
    budget_.events(changes.size(), o.path("cpu"));
    add_changes(changes, t.pid, origin);
    t.utime_ns = o.seconds("utime", 0);
    t.stime_ns = o.seconds("stime", 0);
    t.where = path;
    if (const json *th = o.get("threads")) {
      const std::string tp = o.path("threads");
      for (size_t i = 0; i < array(*th, tp).size(); ++i) read_threads((*th)[i], child(tp, i), t, origin, &t.threads);
    }
    return t;
  }

  // A thread entry, possibly standing for `count` threads: checked once,
  // counted against the budget, then expanded.
  void read_threads(const json &j, const std::string &path, const TaskDef &proc, int origin,
                    std::vector<TaskDef> *out) {
    Obj o(p_, j, path, {"process", "tid", "comm", "count", "cpu", "utime", "stime"});
    int tid = (int)o.integer("tid", 1, kMaxPid);
    int count = (int)o.integer("count", 1, kMaxPid, 1);
    if ((s64)tid + count - 1 > kMaxPid)
      p_.fail(o.path("count"), "thread ids " + std::to_string(tid) + " to " + std::to_string((s64)tid + count - 1) +
                                   " go past the largest pid " + std::to_string(kMaxPid));
    if (proc.comm.empty()) o.require("comm");  // a thread joining a running process
    std::string comm = o.string("comm", proc.comm);
    // The kernel keeps 15 bytes of a name; "{n}" makes at least one of
    // three, so nothing past the first 48 can reach them.
    if (comm.size() > 48) comm.resize(48);
    std::vector<Event> changes;
    sim::CpuRate rate = task_rate(o.get("cpu"), o.path("cpu"), &changes);
    u64 utime = o.seconds("utime", 0), stime = o.seconds("stime", 0);
    budget_.tasks((u64)count, o.has("count") ? o.path("count") : path);
    budget_.events((u64)count * changes.size(), o.path("cpu"));
    for (int k = 0; k < count; ++k) {
      TaskDef t;
      t.pid = tid + k;
      t.process = proc.pid;
      t.comm = comm;
      for (size_t at = 0; (at = t.comm.find("{n}", at)) != std::string::npos;) {
        const std::string n = std::to_string(k + 1);
        t.comm.replace(at, 3, n);
        at += n.size();
      }
      t.kthread = proc.kthread;
      t.rate = rate;
      t.utime_ns = utime;
      t.stime_ns = stime;
      t.where = path;
      add_changes(changes, t.pid, origin);
      m_.thread_where[t.pid] = path;
      out->push_back(std::move(t));
    }
  }

  void add_event(Event e, int origin) {
    m_.origin.push_back(origin);
    sc_.timeline.push_back(std::move(e));
  }

  u64 feature_id(const Obj &o) const {
    const json &v = o.require("id");
    if (v.is_string()) {
      std::string s = v.get<std::string>();
      if (s == "health") return kHealthFeature;
      if (s == "zeb") return kZebFeature;
      p_.fail(o.path("id"), "unknown feature " + quote(s) + " (use a number, \"health\" or \"zeb\")");
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

  void read_timeline(json &j, const std::string &path) {
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
      // "repeat": {"every": S, "count": N} plays the entry N times: checked
      // and counted against the budget before it is expanded.
      u64 every = 0, count = 1;
      if (auto r = ej.find("repeat"); r != ej.end()) {
        Obj ro(p_, *r, child(ep, "repeat"), {"every", "count"});
        every = ro.seconds("every");
        if (every == 0) p_.fail(ro.path("every"), "must be more than 0");
        count = (u64)ro.integer("count", 1, INT64_MAX);
        budget_.events(count - 1, ro.path("count"));
        if (e.at_ns <= sc_.duration_ns && (unsigned __int128)(count - 1) * every > sc_.duration_ns - e.at_ns) {
          const u64 past = e.at_ns + ((sc_.duration_ns - e.at_ns) / every + 1) * every;
          p_.fail(child(ep, "at"), "at " + seconds_text(past) + " is after the end of the run (duration " +
                                       seconds_text(sc_.duration_ns) + ")");
        }
      }
      budget_.events(1, ep);
      if (e.kind == EventKind::Spawn)
        budget_.tasks((count - 1) * (e.task.threads.size() + (e.task.process == -1 ? 0 : 1)), ep);
      budget_.bytes(count * (e.text.size() + e.data.size() + e.task.comm.size() + 16 * e.task.threads.size()), ep);
      const u64 first = e.at_ns;
      for (u64 k = 0; k < count; ++k) {
        Event c = k + 1 < count ? e : std::move(e);
        c.at_ns = first + k * every;
        add_event(std::move(c), (int)i);
      }
      j[i] = nullptr;
    }
  }

  // What an event's reader gets: the entry (its keys checked), where it
  // is, and its place in the timeline.
  struct EventEntry {
    const Obj &o;
    const json &j;
    const std::string &path;
    const std::string &kind;
    int origin;
  };
  // One reader per kind of event: the keys it takes besides "at", "event"
  // and "repeat", and what it reads from them into the event.
  struct EventKindReader {
    const char *kind;
    const char *keys[8];
    void (ScenarioReader::*read)(const EventEntry &in, Event &e);
  };

  static const EventKindReader *reader_for(const std::string &kind, const json &j) {
    static const EventKindReader kReaders[] = {
        // A spawn of threads into a running process, or of a process.
        {"spawn", {"process", "tid", "comm", "count", "cpu", "utime", "stime"}, &ScenarioReader::read_thread_spawn},
        {"spawn", {"pid", "comm", "oom_score_adj", "kthread", "cpu", "utime", "stime", "threads"},
         &ScenarioReader::read_process_spawn},
        {"exit", {"pid"}, &ScenarioReader::read_exit},
        {"rename", {"pid", "comm"}, &ScenarioReader::read_rename},
        {"oom_score_adj", {"pid", "value"}, &ScenarioReader::read_oom_score_adj},
        {"cpu", {"pid", "percent", "user", "cpus"}, &ScenarioReader::read_cpu},
        {"cputime", {"pid", "utime", "stime", "cpu"}, &ScenarioReader::read_cputime},
        {"feature", {"id", "answer", "notify"}, &ScenarioReader::read_feature},
        {"feature_notify", {"action"}, &ScenarioReader::read_feature_notify},
        {"event_report_result", {"result"}, &ScenarioReader::read_event_report_result},
        {"modem_block",
         {"null", "head_magic", "head_stamp", "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time", "raw"},
         &ScenarioReader::read_modem_block},
        {"modem_update", {"head_magic", "head_stamp", "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time", "raw"},
         &ScenarioReader::read_modem_update},
        {"param", {"name", "value"}, &ScenarioReader::read_param},
        {"suspend", {"duration"}, &ScenarioReader::read_suspend},
        {"proc_read", {"path", "chunk"}, &ScenarioReader::read_proc_read},
        {"proc_write", {"path", "data"}, &ScenarioReader::read_proc_write},
        {"insmod", {"params"}, &ScenarioReader::read_insmod},
        {"rmmod", {}, &ScenarioReader::read_rmmod},
        {"cpu_online", {"cpu"}, &ScenarioReader::read_cpu_online},
        {"cpu_offline", {"cpu"}, &ScenarioReader::read_cpu_offline},
        {"idle_query", {"cpu", "fails"}, &ScenarioReader::read_idle_query},
        {"cpu_extras", {"cpu", "nice", "softirq", "irq", "iowait", "steal", "guest", "guest_nice"},
         &ScenarioReader::read_cpu_extras},
        {"counter", {"cpu", "counter", "set", "add"}, &ScenarioReader::read_counter},
        {"fault", {"facility", "site", "nth", "count", "error"}, &ScenarioReader::read_fault_event},
        {"clear_faults", {}, &ScenarioReader::read_clear_faults},
        {"clock", {"wall_clock", "tz_minuteswest"}, &ScenarioReader::read_clock},
    };
    if (kind == "spawn") return &kReaders[j.contains("process") ? 0 : 1];
    for (const EventKindReader &r : kReaders)
      if (kind == r.kind) return &r;
    return nullptr;
  }

  Event read_event(const std::string &kind, const json &j, const std::string &path, int origin) {
    const EventKindReader *reader = reader_for(kind, j);
    if (!reader)
      p_.fail(child(path, "event"),
              "unknown event " + quote(kind) +
                  " (one of spawn, exit, rename, oom_score_adj, cpu, cputime, feature, feature_notify, "
                  "event_report_result, modem_block, modem_update, param, suspend, proc_read, proc_write, insmod, "
                  "rmmod, cpu_online, cpu_offline, idle_query, cpu_extras, counter, fault, clear_faults, clock)");
    Obj o = event_object(*reader, j, path);
    Event e;
    e.where = path;
    e.at_ns = o.seconds("at");
    (this->*reader->read)(EventEntry{o, j, path, kind, origin}, e);
    return e;
  }

  // The entry as an object with the keys its kind takes, and no other.
  Obj event_object(const EventKindReader &reader, const json &j, const std::string &path) {
    std::vector<const char *> k = {"at", "event", "repeat"};
    for (const char *key : reader.keys)
      if (key) k.push_back(key);
    // Obj takes an initializer_list; check the keys here instead.
    if (!j.is_object()) p_.fail(path, "expected an object");
    for (auto it = j.begin(); it != j.end(); ++it)
      if (std::find_if(k.begin(), k.end(), [&](const char *a) { return it.key() == a; }) == k.end()) {
        std::string list;
        for (const char *a : k) list += std::string(list.empty() ? "" : ", ") + a;
        p_.fail(child(path, it.key()),
                "unknown key " + quote(it.key()) + " for a \"" + reader.kind + "\" event (known: " + list + ")");
      }
    return Obj(p_, j, path, {"at", "event", "repeat", "pid", "comm", "oom_score_adj", "kthread", "cpu", "utime",
                             "stime", "threads", "process", "tid", "count", "value", "percent", "user", "cpus",
                             "id", "answer", "notify", "action", "result", "null", "head_magic", "head_stamp",
                             "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time", "raw", "name",
                             "duration", "path", "chunk", "data", "params", "fails", "nice", "softirq", "irq",
                             "iowait", "steal", "guest", "guest_nice", "counter", "set", "add", "facility", "site",
                             "nth", "error", "wall_clock", "tz_minuteswest"});
  }

  // The entry without the keys every event has, for the readers of tasks
  // and faults.
  static json without_event_keys(const json &j) {
    json body = j;
    body.erase("at");
    body.erase("event");
    body.erase("repeat");
    return body;
  }

  void read_thread_spawn(const EventEntry &in, Event &e) {
    e.kind = EventKind::Spawn;
    TaskDef proc;
    proc.pid = (int)in.o.integer("process", 1, kMaxPid);
    proc.process = -1;  // a marker: only threads are spawned
    json th = without_event_keys(in.j);
    th.erase("process");
    read_threads(th, in.path, proc, in.origin, &e.task.threads);
    e.task.pid = proc.pid;
    e.task.process = -1;
  }
  void read_process_spawn(const EventEntry &in, Event &e) {
    e.kind = EventKind::Spawn;
    e.task = read_process(without_event_keys(in.j), in.path, in.origin);
  }
  void read_exit(const EventEntry &in, Event &e) {
    e.kind = EventKind::Exit;
    e.pid = (int)in.o.integer("pid", 1, kMaxPid);
  }
  void read_rename(const EventEntry &in, Event &e) {
    e.kind = EventKind::Rename;
    e.pid = (int)in.o.integer("pid", 1, kMaxPid);
    e.text = in.o.string("comm");
  }
  void read_oom_score_adj(const EventEntry &in, Event &e) {
    e.kind = EventKind::OomScoreAdj;
    e.pid = (int)in.o.integer("pid", 1, kMaxPid);
    e.value = (int)in.o.integer("value", -1000, 1000);
  }
  void read_cpu(const EventEntry &in, Event &e) {
    e.kind = EventKind::Cpu;
    e.pid = (int)in.o.integer("pid", 1, kMaxPid);
    e.rate = read_rate(in.o, sim::CpuRate());  // resolved against the task's rate later
    m_.rate_given[in.origin] = {in.o.has("percent"), in.o.has("user"), in.o.has("cpus")};
  }
  void read_cputime(const EventEntry &in, Event &e) {
    e.kind = EventKind::Cputime;
    e.pid = (int)in.o.integer("pid", 1, kMaxPid);
    e.utime_ns = in.o.seconds("utime", 0);
    e.stime_ns = in.o.seconds("stime", 0);
    e.cpu = in.o.has("cpu") ? cpu_number(in.o, "cpu") : 0;
  }
  void read_feature(const EventEntry &in, Event &e) {
    e.kind = EventKind::Feature;
    e.feature_id = feature_id(in.o);
    e.value = (int)in.o.integer("answer", INT32_MIN, INT32_MAX);
    e.notify = in.o.boolean("notify", false);
  }
  void read_feature_notify(const EventEntry &in, Event &e) {
    e.kind = EventKind::FeatureNotify;
    e.value = (int)in.o.integer("action", 0, INT32_MAX, 0);
  }
  void read_event_report_result(const EventEntry &in, Event &e) {
    e.kind = EventKind::EventReportResult;
    e.value = (int)in.o.integer("result", INT32_MIN, INT32_MAX);
  }
  void read_modem_block(const EventEntry &in, Event &e) {
    e.kind = EventKind::ModemBlock;
    e.modem_null = in.o.boolean("null", false);
    e.modem = read_modem(in.o);
    if (e.modem_null)
      for (const char *k : {"head_magic", "head_stamp", "tail_stamp", "tail_magic", "md_slp_duration", "sleep_time",
                            "raw"})
        if (in.o.has(k)) p_.fail(in.o.path(k), "a null hand-over has no block fields");
  }
  void read_modem_update(const EventEntry &in, Event &e) {
    e.kind = EventKind::ModemUpdate;
    e.modem = read_modem(in.o);
  }
  void read_param(const EventEntry &in, Event &e) {
    e.kind = EventKind::Param;
    e.text = in.o.string("name", "kmonitor_delay");
    const json &v = in.o.require("value");
    if (v.is_string()) e.data = v.get<std::string>();
    else if (v.is_number_integer() || v.is_number_unsigned()) e.data = v.dump();
    else p_.fail(in.o.path("value"), "expected a string or an integer, got " + type_name(v));
  }
  void read_suspend(const EventEntry &in, Event &e) {
    e.kind = EventKind::Suspend;
    e.duration_ns = in.o.seconds("duration");
  }
  void read_proc_read(const EventEntry &in, Event &e) {
    e.kind = EventKind::ProcRead;
    e.text = in.o.string("path", "/proc/cpumonitor/cpu_monitor");
    e.chunk = (size_t)in.o.integer("chunk", 1, 1 << 20, 4096);
  }
  void read_proc_write(const EventEntry &in, Event &e) {
    e.kind = EventKind::ProcWrite;
    e.text = in.o.string("path", "/proc/cpumonitor/cpu_monitor");
    e.data = in.o.string("data");
  }
  void read_insmod(const EventEntry &in, Event &e) {
    e.kind = EventKind::Insmod;
    e.text = in.o.string("params", sc_.module_params);
  }
  void read_rmmod(const EventEntry &, Event &e) { e.kind = EventKind::Rmmod; }
  void read_cpu_online(const EventEntry &in, Event &e) {
    e.kind = EventKind::CpuOnline;
    e.cpu = cpu_number(in.o, "cpu");
  }
  void read_cpu_offline(const EventEntry &in, Event &e) {
    e.kind = EventKind::CpuOffline;
    e.cpu = cpu_number(in.o, "cpu");
    if (e.cpu == 0) p_.fail(in.o.path("cpu"), "CPU 0 cannot go offline: it is the boot CPU");
  }
  void read_idle_query(const EventEntry &in, Event &e) {
    e.kind = EventKind::IdleQuery;
    e.cpu = cpu_number(in.o, "cpu");
    e.fails = in.o.boolean("fails", true);
  }
  void read_cpu_extras(const EventEntry &in, Event &e) {
    e.kind = EventKind::CpuExtras;
    e.cpu = cpu_number(in.o, "cpu");
    e.extras = read_extras(in.o, sim::CpuExtras());
  }
  void read_counter(const EventEntry &in, Event &e) {
    const Obj &o = in.o;
    e.kind = EventKind::Counter;
    e.cpu = cpu_number(o, "cpu");
    std::string name = o.string("counter"), list;
    e.counter = -1;
    for (int k = 0; k < sim::kNrStats; ++k) {
      if (name == kCounters[k]) e.counter = k;
      list += std::string(list.empty() ? "" : ", ") + kCounters[k];
    }
    if (e.counter < 0) p_.fail(o.path("counter"), "unknown counter " + quote(name) + " (one of " + list + ")");
    if (o.has("set") == o.has("add")) p_.fail(in.path, "give exactly one of \"set\" and \"add\"");
    e.counter_set = o.has("set");
    e.counter_ns = e.counter_set ? (s64)o.seconds("set") : o.signed_seconds("add");
  }
  void read_fault_event(const EventEntry &in, Event &e) {
    e.kind = EventKind::Fault;
    e.fault = read_fault(without_event_keys(in.j), in.path);
  }
  void read_clear_faults(const EventEntry &, Event &e) { e.kind = EventKind::ClearFaults; }
  void read_clock(const EventEntry &in, Event &e) {
    e.kind = EventKind::Clock;
    if (const json *w = in.o.get("wall_clock")) e.wall_sec = wall_clock(*w, in.o.path("wall_clock"));
    if (in.o.has("tz_minuteswest")) e.tz_minuteswest = (int)in.o.integer("tz_minuteswest", -1440, 1440);
    if (!e.wall_sec && !e.tz_minuteswest) p_.fail(in.path, "give \"wall_clock\" or \"tz_minuteswest\" or both");
  }

  Parser p_;
  WorkBudget budget_;
  ReadModel m_;
  Scenario &sc_;
  std::uint32_t possible_ = 0xff;
};

}  // namespace

namespace {

// Builds the document from the parser's events, keeping the place of the
// value being read: a key given twice and a document nested too deep are
// refused there, and so is what the parser itself cannot take.
class DocumentBuilder : public nlohmann::json_sax<json> {
 public:
  DocumentBuilder(const Refuser &r, json *root) : r_(r), root_(root) {}

  bool null() override { return put(json(nullptr)); }
  bool boolean(bool v) override { return put(json(v)); }
  bool number_integer(number_integer_t v) override { return put(json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return put(json(v)); }
  bool number_float(number_float_t v, const string_t &) override { return put(json(v)); }
  bool string(string_t &v) override { return put(json(std::move(v))); }
  bool binary(binary_t &) override { r_.fail(place(), "binary values are not JSON"); }
  bool start_object(std::size_t) override { return open(json::object()); }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t &k) override {
    Frame &f = frames_.back();
    if (f.value->contains(k)) r_.fail(child(place_of_parent(), k), "the key " + quote(k) + " is given twice");
    f.key = std::move(k);
    return true;
  }

  bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &ex) override {
    std::string what = ex.what();
    if (ex.id == 406) {  // a number beyond what a double holds
      size_t end = what.find("] ");
      r_.fail(place(), shorten(end == std::string::npos ? what : what.substr(end + 2)));
    }
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
    size_t at = what.find("parse error at ");
    what = at == std::string::npos ? what : what.substr(at + strlen("parse error "));
    throw ScenarioError(r_.file() + ": " + shorten(what));
  }

 private:
  struct Frame {
    json *value;
    std::string key;   // objects: the key being read
    size_t index = 0;  // arrays: the element being read
  };

  // The parser's messages quote the last token read, which may be a whole
  // string of the file: keep an excerpt of it.
  static std::string shorten(const std::string &what) {
    size_t open = what.find('\'');
    size_t close = what.rfind('\'');
    if (open == std::string::npos || close <= open || close - open - 1 <= kExcerptBytes) return what;
    std::string token = what.substr(open + 1, kExcerptBytes);
    while (!token.empty() && ((unsigned char)token.back() & 0xc0) == 0x80) token.pop_back();
    return what.substr(0, open + 1) + token + "..." + what.substr(close);
  }

  std::string place_of_parent() const {
    std::string path;
    for (size_t i = 0; i + 1 < frames_.size(); ++i)
      path = frames_[i].value->is_array() ? child(path, frames_[i].index) : child(path, frames_[i].key);
    return path;
  }

  // The JSON pointer of the value being read.
  std::string place() const {
    std::string path;
    for (const Frame &f : frames_) path = f.value->is_array() ? child(path, f.index) : child(path, f.key);
    return path.empty() ? "/" : path;
  }

  json *insert(json &&v) {
    if (frames_.empty()) {
      *root_ = std::move(v);
      return root_;
    }
    Frame &f = frames_.back();
    if (f.value->is_array()) {
      f.value->push_back(std::move(v));
      return &f.value->back();
    }
    json &slot = (*f.value)[f.key];
    slot = std::move(v);
    return &slot;
  }

  bool put(json &&v) {
    insert(std::move(v));
    if (!frames_.empty() && frames_.back().value->is_array()) frames_.back().index++;
    return true;
  }

  bool open(json &&v) {
    if (frames_.size() >= kMaxDepth)
      r_.fail(place(), "nested deeper than " + std::to_string(kMaxDepth) + " levels");
    frames_.push_back({insert(std::move(v)), {}, 0});
    return true;
  }

  bool close() {
    frames_.pop_back();
    if (!frames_.empty() && frames_.back().value->is_array()) frames_.back().index++;
    return true;
  }

  const Refuser &r_;
  json *root_;
  std::vector<Frame> frames_;
};

// A NUL byte would end the parser's input early and hide what follows it.
void refuse_nul(const std::string &text, const Refuser &r) {
  size_t nul = text.find('\0');
  if (nul == std::string::npos) return;
  size_t line = 1 + (size_t)std::count(text.begin(), text.begin() + (long)nul, '\n');
  size_t bol = text.rfind('\n', nul);
  size_t column = nul - (bol == std::string::npos ? 0 : bol + 1) + 1;
  throw ScenarioError(r.file() + ": at line " + std::to_string(line) + ", column " + std::to_string(column) +
                      ": a NUL byte: a scenario is JSON text");
}

}  // namespace

Scenario parse_scenario(const std::string &text, const std::string &file) {
  ScenarioReader reader(file);
  const Refuser &r = reader.parser();
  if (text.size() > kMaxScenarioBytes)
    throw ScenarioError(file + ": is too large: " + std::to_string(text.size()) + " bytes (at most " +
                        std::to_string(kMaxScenarioBytes) + ")");
  refuse_nul(text, r);
  json root;
  {
    DocumentBuilder builder(r, &root);
    // Strict: nothing but blanks may follow the document.
    json::sax_parse(text, &builder, json::input_format_t::json, true);
  }
  ReadModel m = reader.read(root);
  root = json();
  check_model(m, r);
  return std::move(m.sc);
}

Scenario load_scenario(const std::string &path) {
  auto refuse = [&](const std::string &why) -> ScenarioError { return ScenarioError(path + ": " + why); };
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw refuse(std::string("cannot read: ") + strerror(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
  } closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0) throw refuse(std::string("cannot read: ") + strerror(errno));
  if (S_ISDIR(st.st_mode)) throw refuse("is a directory, not a scenario file");
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) throw refuse("is a device, not a scenario file");
  if (S_ISFIFO(st.st_mode)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // a pipe: read to its end
  else if (!S_ISREG(st.st_mode)) throw refuse("is not a regular file");
  if ((u64)st.st_size > kMaxScenarioBytes)
    throw refuse("is too large: " + std::to_string((u64)st.st_size) + " bytes (at most " +
                 std::to_string(kMaxScenarioBytes) + ")");
  // Read at most one byte past the limit: a file that grows meanwhile is
  // refused as too large, not read without end.
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw refuse(std::string("cannot read: ") + strerror(errno));
    if (n == 0) break;
    text.append(buf, (size_t)n);
    if (text.size() > kMaxScenarioBytes)
      throw refuse("is too large: more than " + std::to_string(kMaxScenarioBytes) + " bytes");
  }
  return parse_scenario(text, path);
}

}  // namespace pelk_tool

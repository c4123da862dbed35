#include "log_parse.h"

#include <cstdio>
#include <cstring>

namespace pelk_tool {

namespace {

// Longest physical line kept; the module's longest line is well below it.
constexpr size_t kMaxLine = 4096;

bool starts(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A cursor over one message, for the fixed formats the module prints.
struct Cursor {
  std::string_view s;
  size_t i = 0;
  bool ok = true;

  bool at_end() const { return i >= s.size(); }
  void lit(std::string_view p) {
    if (ok && i <= s.size() && s.substr(i, p.size()) == p) i += p.size();
    else ok = false;
  }
  void spaces() {
    while (i < s.size() && s[i] == ' ') ++i;
  }
  uint64_t unum() {
    if (!ok || i >= s.size() || !is_digit(s[i])) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    size_t start = i;
    while (i < s.size() && is_digit(s[i])) {
      uint64_t d = (uint64_t)(s[i] - '0');
      if (v > (UINT64_MAX - d) / 10) ok = false;
      v = v * 10 + d;
      ++i;
    }
    if (i - start > 20) ok = false;
    return v;
  }
  // A field printed with a minimum width: blanks pad it on the left up to
  // the width, so a field shorter than that, or padded beyond it, is cut or
  // damaged.
  void width(size_t start, size_t w) {
    size_t len = i - start;
    if (len < w || (len > w && s[start] == ' ')) ok = false;
  }
  // A %d field: a signed 32-bit value.
  int snum(size_t w = 0) {
    size_t start = i;
    spaces();
    bool neg = i < s.size() && s[i] == '-';
    if (neg) ++i;
    uint64_t v = unum();
    if (v > (neg ? 2147483648ull : 2147483647ull)) ok = false;
    width(start, w);
    return ok ? (int)(neg ? -(int64_t)v : (int64_t)v) : 0;
  }
  uint64_t padded_unum(size_t w) {
    size_t start = i;
    spaces();
    uint64_t v = unum();
    width(start, w);
    return v;
  }
  // A %<w>s field: w bytes, the blanks that pad it on the left dropped.
  std::string_view padded_text(size_t w) {
    if (!ok || i + w > s.size()) {
      ok = false;
      return {};
    }
    std::string_view t = s.substr(i, w);
    i += w;
    while (!t.empty() && t[0] == ' ') t.remove_prefix(1);
    return t;
  }
  // A %02d/%04d field of a date.
  int two(size_t w = 2) {
    size_t start = i;
    uint64_t v = unum();
    width(start, w);
    return (int)v;
  }
  bool done() const { return ok && at_end(); }
};

bool read_time(Cursor &c, LocalTime &t) {
  t.month = c.two();
  c.lit("-");
  t.day = c.two();
  c.lit(" ");
  t.hour = c.two();
  c.lit(":");
  t.minute = c.two();
  c.lit(":");
  t.second = c.two();
  c.lit(")");
  t.set = c.done();
  return t.set;
}

// "%8llu%%        %5d        %20s": how a top-ten row and a thread row begin
// after their "[K] ".  Returns the name, its padding dropped.
std::string_view read_row_head(Cursor &c, uint64_t *usage, int *id) {
  *usage = c.padded_unum(8);
  c.lit("%        ");
  *id = c.snum(5);
  c.lit("        ");
  return c.padded_text(20);
}

// Messages of the module that carry no newline: in a console or a cat of the
// kernel buffer the next record may follow on the same line.
const std::string_view kOpenEnded[] = {
    "[K][info]MD shared memory is NULL",
    "[K][info] MD sleep info. is not valid",
    "is_HEALTH_enable is true",
    "is_HEALTH_enable is false",
    "pelk_cpu_monitor_init",
    "pelk_cpu_monitor_exit",
    "register systemserver_object failed",
    "kobject_uevent creat failed",
    "kobject_uevent_env failed",
    "rhashtable_init:falied",
};

// Other lines of the module; recognised so that they end a thread list and
// are never taken for damaged report lines.
const std::string_view kOtherLines[] = {
    "pelk_health init!",
    "freeze_cpustat_zeb is effective",  // handled by the block, listed for completeness
    "Can't find the task of pid ",
    "Can't allocate memory for ",
    "Can't find the info of ",
    "Failed to allocate memory for tasks array",
    "[K] Success to create pelk_perf_monitor_wq",
    "[K] pelk_perf_monitor_wq is unavaliable.",
    "[K] kmonitor_delay=",
    "[name:spm&][K][info][",
    "fail to malloc comm_list",
    "Test failed insertion returned err ",
    "Failed to allocate memory for work data",
    "Failed to create workqueue",
    "Memory allocation failed",
};

}  // namespace

std::string LocalTime::text() const {
  if (!set) return "";
  char tmp[32];
  snprintf(tmp, sizeof tmp, "%02d-%02d %02d:%02d:%02d", month, day, hour, minute, second);
  return tmp;
}

bool Cycle::complete() const { return missing().empty() && !damaged; }

std::string Cycle::missing() const {
  std::string m;
  auto add = [&](const char *what) {
    if (!m.empty()) m += ',';
    m += what;
  };
  if (!has_start) add("start");
  if (has_header != (top_rows > 0) || (top_rows > 0 && top_rows < 10)) {
    if (!has_header) add("top_header");
    else add("top_rows");
  }
  if (!has_cpus) add("cpus");
  if (!has_freeze) add("overload");
  if (!has_done) add("done");
  return m;
}

uint64_t Cycle::total_load() const {
  uint64_t t = 0;
  for (uint64_t c : cpu) t += c;
  return t;
}

uint64_t Cycle::overload_threshold() const {
  return has_header && online_cpus > 0 ? 98ull * (uint64_t)online_cpus : 0;
}

LogParser::LogParser(const LogSink &sink, std::string file, std::ostream &err)
    : sink_(sink), file_(std::move(file)), err_(err) {}

void LogParser::feed(const char *data, size_t n) {
  while (n > 0) {
    const char *nl = (const char *)memchr(data, '\n', n);
    size_t len = nl ? (size_t)(nl - data) : n;
    if (carry_.empty() && !carry_too_long_ && nl) {
      take_line(std::string_view(data, len));
    } else {
      size_t room = kMaxLine > carry_.size() ? kMaxLine - carry_.size() : 0;
      if (len > room) carry_too_long_ = true;
      carry_.append(data, len < room ? len : room);
      if (nl) {
        take_line(carry_);
        carry_.clear();
        carry_too_long_ = false;
      }
    }
    if (!nl) break;
    data += len + 1;
    n -= len + 1;
  }
}

void LogParser::finish() {
  if (!carry_.empty()) {
    take_line(carry_);
    carry_.clear();
  }
  flush_health();
  close_threads();
  if (cycle_open_) close_cycle();
}

std::string_view LogParser::strip_prefixes(std::string_view s, std::string_view *ts, std::string_view *stamp) {
  *ts = {};
  *stamp = {};
  if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
  for (int round = 0; round < 8 && !s.empty(); ++round) {
    size_t before = s.size();
    if (s[0] == '<') {  // <6> level prefix
      size_t k = 1;
      while (k < s.size() && k < 5 && is_digit(s[k])) ++k;
      if (k > 1 && k < s.size() && s[k] == '>') s.remove_prefix(k + 1);
      else break;  // a simulate marker or another driver's text
    } else if (s[0] == '[') {
      size_t close = s.find(']');
      if (close == std::string_view::npos) break;
      std::string_view in = s.substr(1, close - 1);
      size_t k = 0;
      while (k < in.size() && in[k] == ' ') ++k;
      std::string_view num = in.substr(k);
      size_t dot = num.find('.');
      bool seconds = !num.empty() && dot != std::string_view::npos && dot > 0;
      for (size_t j = 0; seconds && j < num.size(); ++j)
        if (j != dot && !is_digit(num[j])) seconds = false;
      bool caller = num.size() >= 2 && (num[0] == 'T' || num[0] == 'C');
      for (size_t j = 1; caller && j < num.size(); ++j)
        if (!is_digit(num[j])) caller = false;
      // dmesg -T: "[Tue Dec  8 16:48:12 2026]"
      bool date = in.size() >= 20 && in.size() <= 32 && in[3] == ' ' && in[0] >= 'A' && in[0] <= 'Z' &&
                  in.find(':') != std::string_view::npos;
      if (seconds) *ts = num;
      else if (date) *stamp = in;
      else if (!caller) break;
      s.remove_prefix(close + 1);
    } else if (s[0] == '(' && s.size() > 3) {  // "(3)[1234:kworker/3:1]"
      size_t k = 1;
      while (k < s.size() && is_digit(s[k])) ++k;
      if (k == 1 || k + 1 >= s.size() || s[k] != ')' || s[k + 1] != '[') break;
      size_t close = s.find(']', k + 2);
      if (close == std::string_view::npos || !is_digit(s[k + 2])) break;
      s.remove_prefix(close + 1);
    } else if (s.size() > 19 && is_digit(s[0]) && is_digit(s[1]) && s[2] == '-' && s[5] == ' ' && s[8] == ':' &&
               s[11] == ':' && s[14] == '.') {
      // logcat: "12-08 16:48:12.345  0  0 I TAG: text" or "12-08 16:48:12.345 I/TAG(  0): text"
      size_t k = 15;
      while (k < s.size() && is_digit(s[k])) ++k;
      *stamp = s.substr(0, k);
      std::string_view rest = s.substr(k);
      size_t colon = rest.find(": ");
      std::string_view after = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 2);
      // The kernel text follows the tag; a tag never holds the module's "[K]".
      size_t k_tag = rest.find('[');
      if (colon != std::string_view::npos && (k_tag == std::string_view::npos || k_tag > colon)) rest = after;
      while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
      s = rest;
    } else if (s[0] >= 'a' && s[0] <= 'z') {  // dmesg -x: "kern  :info  : "
      size_t c1 = s.find(':');
      if (c1 == std::string_view::npos || c1 > 8) break;
      size_t c2 = s.find(':', c1 + 1);
      if (c2 == std::string_view::npos || c2 > c1 + 9 || c2 + 1 >= s.size() || s[c2 + 1] != ' ') break;
      bool word = true;
      for (size_t j = 0; j < c2; ++j)
        if (!(s[j] == ' ' || s[j] == ':' || (s[j] >= 'a' && s[j] <= 'z'))) word = false;
      if (!word) break;
      s.remove_prefix(c2 + 1);
    } else {
      break;
    }
    while (!s.empty() && (s[0] == ' ' || s[0] == '\t')) s.remove_prefix(1);
    if (s.size() == before) break;
  }
  return s;
}

void LogParser::take_line(std::string_view line) {
  ++line_;
  raw_ = line;
  std::string_view m = strip_prefixes(line, &ts_, &stamp_);
  for (int parts = 0; parts < 16 && !m.empty(); ++parts) m = take_message(m);
}

void LogParser::damaged_line(std::string_view why) {
  ++damaged_;
  std::string_view shown = raw_.substr(0, 200);
  err_ << "pelk_perf_util: " << file_ << ":" << line_ << ": damaged " << why << " line: " << shown << "\n";
}

Cycle &LogParser::open_cycle() {
  if (!cycle_open_) {
    cycle_ = Cycle();
    cycle_.at = {line_, std::string(ts_), std::string(stamp_)};
    cycle_.loading_uevent = loading_pending_;
    loading_pending_ = false;
    cycle_open_ = true;
  }
  return cycle_;
}

void LogParser::close_cycle() {
  cycle_open_ = false;
  if (sink_.cycle) sink_.cycle(cycle_);
}

void LogParser::close_threads() {
  if (!threads_open_) return;
  threads_open_ = false;
  if (sink_.threads) sink_.threads(threads_);
}

void LogParser::flush_health() {
  if (!health_pending_) return;
  health_pending_ = false;
  if (sink_.health) sink_.health(health_);
}

// Takes one message; returns what follows it on the same line when the
// message is one that the module logs without a newline.
std::string_view LogParser::take_message(std::string_view m) {
  if (m[0] == '<') {
    take_marker(m);
    return {};
  }
  for (std::string_view open : kOpenEnded) {
    if (starts(m, open)) {
      flush_health();
      close_threads();
      std::string_view rest = m.substr(open.size());
      if (open[3] == '[') {  // the two modem texts belong to the block
        Cycle &c = open_cycle();
        if (c.top_rows || c.has_header || c.has_cpus) {
          close_cycle();
          open_cycle();
        }
        if (open[9] == 'M') cycle_.null_memory = true;
        else cycle_.modem = ModemStatus::NotValid;
        cycle_.modem_line = line_;
      }
      while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
      return rest;
    }
  }
  rest_ = {};
  if (take_block_line(m) || take_thread_line(m)) return rest_;
  if (size_t comma = m.find(", 1min:"); comma != std::string_view::npos) {
    flush_health();
    close_threads();
    Cursor c{m, comma};
    c.lit(", 1min:");
    int one = c.snum();
    c.lit(", 5min:");
    int five = c.snum();
    if (!c.done() || comma == 0 || comma > 15) {
      damaged_line("health");
      return {};
    }
    health_ = HealthLine();
    health_.at = {line_, std::string(ts_), std::string(stamp_)};
    health_.name = std::string(m.substr(0, comma));
    health_.one_min = one;
    health_.five_min = five;
    health_pending_ = true;
    return {};
  }
  for (std::string_view other : kOtherLines) {
    if (starts(m, other)) {
      flush_health();
      close_threads();
      return {};
    }
  }
  // Beginnings that only the module's report lines have: what is left of
  // such a line after the readers above is damaged.
  for (std::string_view own : {"[K][Perf]", "[K]     Usage", "[K]  Cpus", "[K]  user[", "[K]system_server",
                               "[K][info]", "[name:tpc&]", "freeze_cpustat"}) {
    if (starts(m, own)) {
      flush_health();
      close_threads();
      damaged_line("report");
      return {};
    }
  }
  take_device(m);
  return {};
}

bool LogParser::take_block_line(std::string_view m) {
  static constexpr std::string_view kStart = "[K][Perf] PELK Perf Statistic start (";
  static constexpr std::string_view kDone = "[K][Perf] PELK Perf Statistic done";
  static constexpr std::string_view kHeader = "[K]     Usage          PID                        Name          Total:";
  static constexpr std::string_view kCpus = "[K]  Cpus Usage [";
  static constexpr std::string_view kSplit = "[K]  user[";
  static constexpr std::string_view kFreeze = "freeze_cpustat_zeb is effective";
  static constexpr std::string_view kDuration = "[K][info] md_slp_duration = ";
  static constexpr std::string_view kSum = "[name:tpc&][K][info] SUM MD/2G/3G/4G/5G_FR1 = ";

  if (starts(m, kStart)) {
    flush_health();
    close_threads();
    if (cycle_open_) close_cycle();
    Cycle &cy = open_cycle();
    Cursor c{m, kStart.size()};
    if (!read_time(c, cy.time)) {
      cy.damaged = true;
      damaged_line("start");
    } else {
      cy.has_start = true;
    }
    return true;
  }
  if (starts(m, kDone)) {
    flush_health();
    close_threads();
    Cycle &cy = open_cycle();
    if (m.size() != kDone.size()) {
      cy.damaged = true;
      damaged_line("done");
    } else {
      cy.has_done = true;
    }
    close_cycle();
    return true;
  }

  enum Part { Duration, Sum, Header, Row, Cpus, Freeze, Split } part;
  if (starts(m, kDuration)) part = Duration;
  else if (starts(m, kSum)) part = Sum;
  else if (starts(m, kHeader)) part = Header;
  else if (starts(m, kCpus)) part = Cpus;
  else if (starts(m, kFreeze)) part = Freeze;
  else if (starts(m, kSplit)) part = Split;
  else if (starts(m, "[K] ") && m.find("(ns)") != std::string_view::npos) part = Row;
  else return false;

  flush_health();
  close_threads();
  // A part that the open block already has, or one that comes before a part it
  // has, starts the next block: the lines between were lost.
  if (cycle_open_) {
    const Cycle &c = cycle_;
    bool later = false;
    switch (part) {
      case Duration: later = c.has_duration || c.has_sum || c.has_header || c.top_rows || c.has_cpus; break;
      case Sum: later = c.has_sum || c.has_header || c.top_rows || c.has_cpus; break;
      case Header: later = c.has_header || c.top_rows || c.has_cpus; break;
      case Row: later = c.top_rows == 10 || c.has_cpus; break;
      case Cpus: later = c.has_cpus || c.has_freeze || c.has_split; break;
      case Freeze: later = c.has_freeze || c.has_split; break;
      case Split: later = c.has_split; break;
    }
    if (later) close_cycle();
  }
  Cycle &cy = open_cycle();

  switch (part) {
    case Duration: {
      Cursor c{m, kDuration.size()};
      uint64_t v = c.unum();
      c.lit(" (32k)");
      if (!c.done()) break;
      cy.has_duration = true;
      cy.md_slp_duration = v;
      cy.modem = ModemStatus::Ok;
      cy.modem_line = line_;
      return true;
    }
    case Sum: {
      Cursor c{m, kSum.size()};
      uint64_t v[5];
      for (int k = 0; k < 5; ++k) {
        if (k) c.lit("/");
        v[k] = c.padded_unum(6);
      }
      c.lit(" seconds [UTC][");
      int u[6];
      u[0] = c.two(4);
      c.lit("-");
      u[1] = c.two();
      c.lit("-");
      u[2] = c.two();
      c.lit(" ");
      u[3] = c.two();
      c.lit(":");
      u[4] = c.two();
      c.lit(":");
      u[5] = c.two();
      c.lit("]");
      if (!c.ok) break;
      std::string_view rest = m.substr(c.i);
      // The line ends in a blank, which some tools trim; whatever follows is
      // the next record on the same console line.
      if (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
      cy.has_sum = true;
      for (int k = 0; k < 5; ++k) cy.sleep_s[k] = v[k];
      for (int k = 0; k < 6; ++k) cy.utc[k] = u[k];
      cy.modem = ModemStatus::Ok;
      if (!cy.modem_line) cy.modem_line = line_;
      rest_ = rest;
      return true;
    }
    case Header: {
      Cursor c{m, kHeader.size()};
      int period = c.snum();
      c.lit("(ms)*");
      int cpus = c.snum();
      c.lit("       Oom_Score_Adj");
      if (!c.done()) break;
      cy.has_header = true;
      cy.period_ms = period;
      cy.online_cpus = cpus;
      return true;
    }
    case Row: {
      // "[K] %8llu%%        %5d        %20s          %11llu(ns)          %5d"
      Cursor c{m, 4};
      TopRow r;
      r.line = line_;
      std::string_view name = read_row_head(c, &r.usage, &r.pid);
      r.name = std::string(name);
      c.lit("          ");
      r.delta_ns = c.padded_unum(11);
      c.lit("(ns)          ");
      r.oom_score_adj = c.snum(5);
      if (!c.done() || name.empty()) break;
      cy.top[cy.top_rows++] = std::move(r);
      return true;
    }
    case Cpus: {
      // "[K]  Cpus Usage [%2llu], [%2llu], [%2llu], [%2llu], [%2llu] [%2llu], [%2llu], [%2llu]"
      Cursor c{m, kCpus.size()};
      uint64_t v[8];
      for (int k = 0; k < 8; ++k) {
        if (k == 5) c.lit(" [");
        else if (k) c.lit(", [");
        v[k] = c.padded_unum(2);
        c.lit("]");
      }
      if (!c.done()) break;
      cy.has_cpus = true;
      cy.cpus_line = line_;
      for (int k = 0; k < 8; ++k) cy.cpu[k] = v[k];
      return true;
    }
    case Freeze:
      if (m.size() != kFreeze.size()) break;
      cy.has_freeze = true;
      return true;
    case Split: {
      Cursor c{m, kSplit.size()};
      int v[5];
      const char *sep[] = {"],system[", "],iowait[", "],irq[", "],idle[", "]"};
      for (int k = 0; k < 5; ++k) {
        v[k] = c.two();
        c.lit(sep[k]);
      }
      if (!c.done()) break;
      cy.has_split = true;
      cy.user = v[0];
      cy.system = v[1];
      cy.iowait = v[2];
      cy.irq = v[3];
      cy.idle = v[4];
      return true;
    }
  }
  static const char *names[] = {"modem duration", "modem SUM", "top-ten header", "top-ten row",
                                "Cpus Usage", "overload", "CPU split"};
  cy.damaged = true;
  damaged_line(names[part]);
  return true;
}

bool LogParser::take_thread_line(std::string_view m) {
  static constexpr std::string_view kStart = "[K]system_server TOP thread (";
  static constexpr std::string_view kHeader = "[K]     Usage          PID                        Comm";
  auto open = [&]() -> ThreadList & {
    if (!threads_open_) {
      threads_ = ThreadList();
      threads_.at = {line_, std::string(ts_), std::string(stamp_)};
      threads_open_ = true;
    }
    return threads_;
  };
  if (starts(m, kStart)) {
    flush_health();
    close_threads();
    ThreadList &t = open();
    Cursor c{m, kStart.size()};
    if (read_time(c, t.time)) {
      t.has_start = true;
    } else {
      t.damaged = true;
      damaged_line("thread list start");
    }
    return true;
  }
  if (starts(m, kHeader)) {
    flush_health();
    if (threads_open_ && (threads_.has_header || threads_.rows)) close_threads();
    ThreadList &t = open();
    if (m.size() == kHeader.size()) {
      t.has_header = true;
    } else {
      t.damaged = true;
      damaged_line("thread list header");
    }
    return true;
  }
  // "[K] %8llu%%        %5d        %20s"; a "[K] " line with "(ns)" was a
  // top-ten row for take_block_line, which is asked first.
  if (!starts(m, "[K] ") || m.find("%        ") == std::string_view::npos) return false;
  Cursor c{m, 4};
  ThreadRow r;
  r.line = line_;
  std::string_view comm = read_row_head(c, &r.usage, &r.tid);
  if (!c.done()) comm = {};
  flush_health();
  // A row outside a list may be a top-ten row cut after its name: the two
  // cannot be told apart, so it is not taken for either.
  if (!threads_open_ || threads_.rows == 10) {
    close_threads();
    if (cycle_open_) cycle_.damaged = true;
    damaged_line("row out of place");
    return true;
  }
  ThreadList &t = open();
  if (!c.ok || comm.empty()) {
    t.damaged = true;
    damaged_line("thread row");
    return true;
  }
  r.comm = std::string(comm);
  t.row[t.rows++] = std::move(r);
  return true;
}

// Lines that `simulate` adds around the kernel log: the module's other outputs.
void LogParser::take_marker(std::string_view m) {
  if (starts(m, "<event_report> ")) {
    Cursor c{m, 15};
    bool overload = m.substr(15, 11) == "0xffffff26 ";
    bool health = m.substr(15, 11) == "0x00501001 ";
    c.i += 11;
    c.snum();
    c.lit(" ");
    int pid = c.snum();
    if (!c.ok) return;
    if (overload && cycle_open_) cycle_.overload_report_pid = pid;
    if (health && health_pending_ && m.substr(c.i) == " \"" + health_.name + "\"") health_.report_pid = pid;
    return;
  }
  if (starts(m, "<uevent change> ") && m.find(" SYSTEMSERVER_LOADING=") != std::string_view::npos) {
    if (cycle_open_) close_cycle();  // the event is sent before the block of its cycle
    loading_pending_ = true;
  }
}

// A device name in the log: the kernel command line's serial number, or a bug
// report's system properties.
void LogParser::take_device(std::string_view m) {
  if (!device_.empty() || m.size() < 14) return;
  std::string_view value;
  size_t at;
  if ((at = m.find("androidboot.serialno=")) != std::string_view::npos) {
    value = m.substr(at + 21);
    value = value.substr(0, value.find(' '));
  } else if (starts(m, "[ro.serialno]: [") || starts(m, "[ro.boot.serialno]: [")) {
    value = m.substr(m.find(": [") + 3);
    value = value.substr(0, value.find(']'));
  } else {
    return;
  }
  if (value.empty() || value.size() > 64) return;
  device_ = std::string(value);
  if (sink_.device) sink_.device(device_);
}

}  // namespace pelk_tool

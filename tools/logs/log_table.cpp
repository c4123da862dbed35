#include "log_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace pelk_tool {

namespace {

const std::vector<const char *> kCycles = {
    "file", "device", "line", "ts", "stamp", "time", "complete", "missing", "period_ms", "online_cpus",
    "top_rows", "total_load", "user", "system", "iowait", "irq", "idle", "modem", "overload_report_pid",
    "loading_uevent"};
const std::vector<const char *> kProcesses = {
    "file", "device", "line", "ts", "stamp", "cycle_line", "time", "period_ms", "rank", "usage", "pid", "name",
    "delta_ns", "oom_score_adj"};
const std::vector<const char *> kThreads = {
    "file", "device", "line", "ts", "stamp", "list_line", "time", "complete", "rank", "usage", "tid", "comm"};
const std::vector<const char *> kCpus = {
    "file", "device", "line", "ts", "stamp", "cycle_line", "time", "cpu0", "cpu1", "cpu2", "cpu3", "cpu4", "cpu5",
    "cpu6", "cpu7", "total_load", "user", "system", "iowait", "irq", "idle"};
const std::vector<const char *> kHealth = {
    "file", "device", "line", "ts", "stamp", "name", "one_min", "five_min", "report_pid"};
const std::vector<const char *> kOverload = {
    "file", "device", "line", "ts", "stamp", "time", "complete", "online_cpus", "total_load", "threshold",
    "overloaded", "streak", "report_pid"};
const std::vector<const char *> kModem = {
    "file", "device", "line", "ts", "stamp", "cycle_line", "time", "status", "null_memory", "md_slp_duration", "md_s", "g2_s",
    "g3_s", "g4_s", "g5_fr1_s", "utc"};

const char *modem_status_name(ModemStatus s) {
  static const char *const names[] = {"none", "ok", "not_valid"};
  return names[(int)s];
}

// Length of the valid UTF-8 sequence at s[i], 0 if there is none.
// The length of the UTF-8 character at s[i], 0 when it is not one: overlong
// forms, surrogates and code points beyond U+10FFFF are not.
size_t utf8_len(std::string_view s, size_t i) {
  unsigned char c = (unsigned char)s[i];
  if (c < 0x80) return 1;
  size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  unsigned char lo = 0x80, hi = 0xbf, second = (unsigned char)s[i + 1];
  if (c == 0xe0) lo = 0xa0;
  else if (c == 0xed) hi = 0x9f;
  else if (c == 0xf0) lo = 0x90;
  else if (c == 0xf4) hi = 0x8f;
  if (second < lo || second > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (((unsigned char)s[i + k] >> 6) != 2) return 0;
  return n;
}

// A kernel timestamp ("0010.5", "20.") as a JSON number: no leading zeros,
// no dot without digits after it.
std::string json_seconds(std::string_view ts) {
  size_t dot = ts.find('.');
  std::string_view whole = ts.substr(0, dot), frac = dot == std::string_view::npos ? "" : ts.substr(dot + 1);
  while (whole.size() > 1 && whole[0] == '0') whole.remove_prefix(1);
  std::string o = whole.empty() ? "0" : std::string(whole);
  if (!frac.empty()) {
    o += '.';
    o.append(frac);
  }
  return o;
}

}  // namespace

const char *table_name(TableWhat what) {
  static const char *const names[] = {"cycles", "processes", "threads", "cpus", "health", "overload", "modem"};
  return names[(int)what];
}

const std::vector<const char *> &table_columns(TableWhat what) {
  switch (what) {
    case TableWhat::Cycles: return kCycles;
    case TableWhat::Processes: return kProcesses;
    case TableWhat::Threads: return kThreads;
    case TableWhat::Cpus: return kCpus;
    case TableWhat::Health: return kHealth;
    case TableWhat::Overload: return kOverload;
    case TableWhat::Modem: return kModem;
  }
  return kCycles;
}

bool next_cell(std::string_view &cells, Cell *c) {
  if (cells.empty()) return false;
  c->kind = (Cell::Kind)cells[0];
  cells.remove_prefix(1);
  if (c->kind == Cell::Int || c->kind == Cell::Real) {
    memcpy(c->kind == Cell::Int ? (void *)&c->i : (void *)&c->r, cells.data(), 8);
    cells.remove_prefix(8);
  } else if (c->kind == Cell::Text) {
    uint32_t n;
    memcpy(&n, cells.data(), 4);
    c->text = cells.substr(4, n);
    cells.remove_prefix(4 + n);
  }
  return true;
}

TableWriter::TableWriter(TableWhat what, TableFormat format, std::ostream &out)
    : what_(what), format_(format), out_(&out), cols_(table_columns(what)) {
  buf_.reserve(1 << 17);
  if (format_ == TableFormat::Csv) {
    for (size_t i = 0; i < cols_.size(); ++i) {
      if (i) buf_ += ',';
      buf_ += cols_[i];
    }
    buf_ += '\n';
  } else if (format_ == TableFormat::Json) {
    buf_ += '[';
  }
}

TableWriter::TableWriter(TableWhat what)
    : what_(what), format_(TableFormat::Cells), out_(nullptr), cols_(table_columns(what)) {}

TableWriter::~TableWriter() = default;

std::string TableWriter::take_cells() { return std::exchange(buf_, std::string()); }

void TableWriter::cell(Cell::Kind kind, const void *bytes, size_t n) {
  buf_ += (char)kind;
  if (kind == Cell::Text) {
    uint32_t len = (uint32_t)n;
    buf_.append((const char *)&len, 4);
  }
  if (n) buf_.append((const char *)bytes, n);
}

LogSink TableWriter::sink() {
  LogSink s;
  s.cycle = [this](const Cycle &c) { put_cycle(c); };
  s.threads = [this](const ThreadList &t) { put_threads(t); };
  s.health = [this](const HealthLine &h) { put_health(h); };
  s.device = [this](const std::string &d) { set_device(d); };
  return s;
}

void TableWriter::start_file(const std::string &file) {
  file_ = file;
  device_.clear();
  streak_ = 0;
}

void TableWriter::finish() {
  if (format_ == TableFormat::Json) buf_ += rows_ ? "\n]\n" : "]\n";
  flush(true);
}

void TableWriter::flush(bool all) {
  if (format_ == TableFormat::Cells || (!all && buf_.size() < (1 << 16))) return;
  out_->write(buf_.data(), (std::streamsize)buf_.size());
  buf_.clear();
}

void TableWriter::key() {
  if (format_ == TableFormat::Cells) {
    ++col_;
    return;
  }
  if (col_) buf_ += ',';
  if (format_ != TableFormat::Csv) {
    buf_ += '"';
    buf_ += cols_[col_];
    buf_ += "\":";
  }
  ++col_;
}

void TableWriter::null() {
  key();
  if (format_ == TableFormat::Cells) return cell(Cell::Null, nullptr, 0);
  if (format_ != TableFormat::Csv) buf_ += "null";
}

void TableWriter::num(long long v) {
  key();
  if (format_ == TableFormat::Cells) {
    int64_t i = v;
    return cell(Cell::Int, &i, 8);
  }
  char tmp[24];
  int n = snprintf(tmp, sizeof tmp, "%lld", v);
  buf_.append(tmp, (size_t)n);
}

void TableWriter::unum(unsigned long long v) {
  key();
  if (format_ == TableFormat::Cells) {
    if (v <= (unsigned long long)INT64_MAX) {
      int64_t i = (int64_t)v;
      return cell(Cell::Int, &i, 8);
    }
    double r = (double)v;
    return cell(Cell::Real, &r, 8);
  }
  char tmp[24];
  int n = snprintf(tmp, sizeof tmp, "%llu", v);
  buf_.append(tmp, (size_t)n);
}

void TableWriter::boolean(bool v) {
  key();
  if (format_ == TableFormat::Cells) {
    int64_t i = v;
    return cell(Cell::Int, &i, 8);
  }
  buf_ += v ? "true" : "false";
}

void TableWriter::total(const Cycle &c) {
  if (c.total_fits()) unum(c.total_load());
  else null();
}

void TableWriter::raw(std::string_view s) {
  if (s.empty()) return null();
  key();
  if (format_ == TableFormat::Cells) {
    double r = strtod(std::string(s).c_str(), nullptr);
    return cell(Cell::Real, &r, 8);
  }
  buf_ += s;
}

void TableWriter::str(std::string_view s) {
  key();
  if (format_ == TableFormat::Cells) return cell(Cell::Text, s.data(), s.size());
  if (format_ == TableFormat::Csv) {
    // A text cell that a spreadsheet would take for a formula (a process may
    // be named "=cmd|' /c calc'!A1") gets a leading ' and is quoted.
    bool formula = !s.empty() && std::string_view("=+-@\t\r").find(s.front()) != std::string_view::npos;
    bool quote = formula || s.find_first_of(",\"\r\n") != std::string_view::npos ||
                 (!s.empty() && (s.front() == ' ' || s.back() == ' '));
    if (!quote) {
      buf_ += s;
      return;
    }
    buf_ += '"';
    if (formula) buf_ += '\'';
    for (char c : s) {
      if (c == '"') buf_ += '"';
      buf_ += c;
    }
    buf_ += '"';
    return;
  }
  buf_ += '"';
  for (size_t i = 0; i < s.size();) {
    unsigned char c = (unsigned char)s[i];
    if (c == '"' || c == '\\') {
      buf_ += '\\';
      buf_ += (char)c;
      ++i;
    } else if (c < 0x20 || c == 0x7f) {
      char tmp[8];
      snprintf(tmp, sizeof tmp, "\\u%04x", c);
      buf_ += tmp;
      ++i;
    } else if (size_t n = utf8_len(s, i)) {
      buf_.append(s.data() + i, n);
      i += n;
    } else {
      buf_ += "\\ufffd";  // a byte that is not UTF-8
      ++i;
    }
  }
  buf_ += '"';
}

void TableWriter::time(const LocalTime &t) {
  if (!t.set) return null();
  str(t.text());
}

void TableWriter::begin_row(const LogPlace &at, uint64_t line) {
  if (format_ == TableFormat::Json) buf_ += rows_ ? ",\n{" : "\n{";
  else if (format_ == TableFormat::Jsonl) buf_ += '{';
  col_ = 0;
  str(file_);
  if (device_.empty()) null();
  else str(device_);
  unum(line);
  if (at.ts.empty()) null();
  else if (format_ == TableFormat::Csv) raw(at.ts);
  else raw(json_seconds(at.ts));
  if (at.stamp.empty()) null();
  else str(at.stamp);
}

void TableWriter::end_row() {
  if (format_ == TableFormat::Csv) buf_ += '\n';
  else if (format_ == TableFormat::Jsonl) buf_ += "}\n";
  else if (format_ == TableFormat::Json) buf_ += '}';
  ++rows_;
  flush(false);
}

void TableWriter::put_cycle(const Cycle &c) {
  switch (what_) {
    case TableWhat::Cycles: return put_cycle_row(c);
    case TableWhat::Processes: return put_process_rows(c);
    case TableWhat::Cpus: return put_cpus_row(c);
    case TableWhat::Overload: return put_overload_row(c);
    case TableWhat::Modem: return put_modem_row(c);
    default: return;
  }
}

// The user/system/iowait/irq/idle split, or five nulls.
void TableWriter::split(const Cycle &c) {
  if (!c.has_split) {
    for (int k = 0; k < 5; ++k) null();
    return;
  }
  num(c.user);
  num(c.system);
  num(c.iowait);
  num(c.irq);
  num(c.idle);
}

void TableWriter::put_cycle_row(const Cycle &c) {
  begin_row(c.at, c.at.line);
  time(c.time);
  boolean(c.complete());
  std::string missing = c.missing();
  if (c.damaged) missing += missing.empty() ? "damaged" : ",damaged";
  str(missing);
  if (c.has_header) {
    num(c.period_ms);
    num(c.online_cpus);
  } else {
    null();
    null();
  }
  num(c.top_rows);
  if (c.has_cpus) total(c);
  else null();
  split(c);
  str(modem_status_name(c.modem));
  if (c.overload_report_pid >= 0) num(c.overload_report_pid);
  else null();
  boolean(c.loading_uevent);
  end_row();
}

void TableWriter::put_process_rows(const Cycle &c) {
  for (int k = 0; k < c.top_rows; ++k) {
    const TopRow &r = c.top[k];
    begin_row(c.at, r.line);
    unum(c.at.line);
    time(c.time);
    if (c.has_header) num(c.period_ms);
    else null();
    num(k + 1);
    unum(r.usage);
    num(r.pid);
    str(r.name);
    unum(r.delta_ns);
    num(r.oom_score_adj);
    end_row();
  }
}

void TableWriter::put_cpus_row(const Cycle &c) {
  if (!c.has_cpus) return;
  begin_row(c.at, c.cpus_line);
  unum(c.at.line);
  time(c.time);
  for (uint64_t v : c.cpu) unum(v);
  total(c);
  split(c);
  end_row();
}

void TableWriter::put_overload_row(const Cycle &c) {
  if (!c.has_cpus) return;
  // The module reports on the third overloaded block in a row.
  uint64_t threshold = c.overload_threshold();
  bool known = threshold > 0;
  bool over = known && c.total_load() >= threshold;
  if (known) streak_ = over ? streak_ + 1 : 0;
  begin_row(c.at, c.at.line);
  time(c.time);
  boolean(c.complete());
  if (known) {
    num(c.online_cpus);
    total(c);
    unum(threshold);
    boolean(over);
    num(streak_);
  } else {
    null();
    total(c);
    null();
    null();
    null();
  }
  if (c.overload_report_pid >= 0) num(c.overload_report_pid);
  else null();
  end_row();
}

void TableWriter::put_modem_row(const Cycle &c) {
  if (c.modem == ModemStatus::None && !c.null_memory) return;
  begin_row(c.at, c.modem_line);
  unum(c.at.line);
  time(c.time);
  str(modem_status_name(c.modem));
  boolean(c.null_memory);
  if (c.has_duration) unum(c.md_slp_duration);
  else null();
  for (int k = 0; k < 5; ++k) {
    if (c.has_sum) unum(c.sleep_s[k]);
    else null();
  }
  if (c.has_sum) {
    char tmp[48];
    snprintf(tmp, sizeof tmp, "%04d-%02d-%02d %02d:%02d:%02d", c.utc[0], c.utc[1], c.utc[2], c.utc[3], c.utc[4],
             c.utc[5]);
    str(tmp);
  } else {
    null();
  }
  end_row();
}

void TableWriter::put_threads(const ThreadList &t) {
  if (what_ != TableWhat::Threads) return;
  for (int k = 0; k < t.rows; ++k) {
    const ThreadRow &r = t.row[k];
    begin_row(t.at, r.line);
    unum(t.at.line);
    time(t.time);
    boolean(t.complete());
    num(k + 1);
    unum(r.usage);
    num(r.tid);
    str(r.comm);
    end_row();
  }
}

void TableWriter::put_health(const HealthLine &h) {
  if (what_ != TableWhat::Health) return;
  begin_row(h.at, h.at.line);
  str(h.name);
  num(h.one_min);
  num(h.five_min);
  if (h.report_pid >= 0) num(h.report_pid);
  else null();
  end_row();
}

}  // namespace pelk_tool

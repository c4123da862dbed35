#include "log_parse.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "log_texts.h"

namespace pelk_tool {

namespace {

// Longest physical line kept; the module's longest line is well below it.
constexpr size_t kMaxLine = 4096;

bool starts(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// The module's texts are its printk formats (log_texts.h); the reader takes
// what it looks for from them.
// A text up to its first conversion or its newline: how its lines begin.
constexpr std::string_view lead(std::string_view fmt) { return fmt.substr(0, std::min(fmt.find('%'), fmt.find('\n'))); }

// The k-th run of plain text of a format, between its conversions ("%%" is
// a percent sign of the text), without the newline.
std::string piece(std::string_view fmt, int k) {
  std::string run;
  int n = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '\n') continue;
    if (fmt[i] != '%') {
      run += fmt[i];
    } else if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      run += '%';
      ++i;
    } else {
      if (n++ == k) return run;
      run.clear();
      // Flags and width, length, then the conversion's letter.
      for (++i; i < fmt.size() && std::strchr("0123456789-+ #.", fmt[i]); ++i) {
      }
      while (i < fmt.size() && std::strchr("hlzjt", fmt[i])) ++i;
    }
  }
  return n == k ? run : std::string();
}

// The pieces of a format, in order.
template <int N>
std::array<std::string, N> pieces(std::string_view fmt) {
  std::array<std::string, N> p;
  for (int k = 0; k < N; ++k) p[k] = piece(fmt, k);
  return p;
}

// A header line's beginning: its text up to the name column, filled with
// `name` as "%20s" prints it, and the text after it.
std::string header_with(std::string_view fmt, std::string_view name) {
  return piece(fmt, 0) + std::string(20 - name.size(), ' ') + std::string(name) + piece(fmt, 1);
}

// How a top-ten row and a thread row begin: "[K] %8llu%%        %5d        %20s".
const std::array<std::string, 3> &row_head() {
  static const auto p = pieces<3>(PELK_TEXT_SS_TOP_ROW);
  return p;
}
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
  // A %02d/%04d field: zero-padded to the width, within what the module
  // can print there (a month from 1 to 12, any int for a percentage).
  int two(size_t w = 2, int64_t lo = 0, int64_t hi = INT32_MAX) {
    size_t start = i;
    bool neg = lo < 0 && i < s.size() && s[i] == '-';
    if (neg) ++i;
    uint64_t v = unum();
    int64_t x = v > (uint64_t)INT32_MAX + 1 ? INT64_MAX : neg ? -(int64_t)v : (int64_t)v;
    if (x < lo || x > hi) ok = false;
    width(start, w);
    return ok ? (int)x : 0;
  }
  bool done() const { return ok && at_end(); }
};

bool read_time(Cursor &c, LocalTime &t) {
  t.month = c.two(2, 1, 12);
  c.lit("-");
  t.day = c.two(2, 1, 31);
  c.lit(" ");
  t.hour = c.two(2, 0, 23);
  c.lit(":");
  t.minute = c.two(2, 0, 59);
  c.lit(":");
  t.second = c.two(2, 0, 59);
  c.lit(")");
  t.set = c.done();
  return t.set;
}

// How a top-ten row and a thread row begin after their "[K] " (row_head).
// Returns the name, its padding dropped.
std::string_view read_row_head(Cursor &c, uint64_t *usage, int *id) {
  *usage = c.padded_unum(8);
  c.lit(row_head()[1]);
  *id = c.snum(5);
  c.lit(row_head()[2]);
  return c.padded_text(20);
}

// Messages of the module that carry no newline: in a console or a cat of the
// kernel buffer the next record may follow on the same line.
constexpr std::string_view kOpenEnded[] = {
    MD_TEXT_SHARE_MEM_NULL,
    MD_TEXT_NOT_VALID,
    PELK_TEXT_HEALTH_TRUE,
    PELK_TEXT_HEALTH_FALSE,
    PELK_TEXT_INIT,
    PELK_TEXT_EXIT,
    PELK_TEXT_MISC_REGISTER_FAILED,
    PELK_TEXT_UEVENT_ADD_FAILED,
    PELK_TEXT_UEVENT_ENV_FAILED,
    PELK_TEXT_HT_INIT_FAILED,
};

// Other lines of the module; recognised so that they end a thread list and
// are never taken for damaged report lines.
constexpr std::string_view kOtherLines[] = {
    lead(PELK_TEXT_HEALTH_INIT),
    lead(PELK_TEXT_ZEB_EFFECTIVE),  // handled by the block, listed for completeness
    lead(PELK_TEXT_NO_SS_TASK),
    lead(PELK_TEXT_TASK_INFO_ALLOC_FAILED),
    lead(PELK_TEXT_TASK_INFO_MISSING),
    lead(PELK_TEXT_TASKS_ARRAY_FAILED),
    lead(PELK_TEXT_WQ_CREATED),
    lead(PELK_TEXT_WQ_UNAVAILABLE),
    lead(PELK_TEXT_DELAY_REFUSED),
    lead(MD_TEXT_NO_SHARE_MEM),
    lead(PELK_TEXT_COMM_LIST_NOMEM),
    lead(PELK_TEXT_HT_INSERT_FAILED),
    lead(PELK_TEXT_HEALTH_CTX_NOMEM),
    lead(PELK_TEXT_HEALTH_WQ_FAILED),
    lead(PELK_TEXT_HEALTH_RECORD_NOMEM),
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
  for (uint64_t c : cpu) t = __builtin_add_overflow(t, c, &t) ? UINT64_MAX : t;
  return t;
}

bool Cycle::total_fits() const {
  uint64_t t = 0;
  for (uint64_t c : cpu)
    if (__builtin_add_overflow(t, c, &t)) return false;
  return true;
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
      // A line beyond the limit is cut there, as when it comes in pieces.
      take_line(std::string_view(data, len < kMaxLine ? len : kMaxLine));
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

std::string shown(std::string_view text) {
  std::string o;
  o.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = (unsigned char)text[i];
    bool c1 = c == 0xc2 && i + 1 < text.size() && (unsigned char)text[i + 1] >= 0x80 && (unsigned char)text[i + 1] < 0xa0;
    if (c < 0x20 || c == 0x7f || c == '\\' || c1) {
      char tmp[5];
      snprintf(tmp, sizeof tmp, "\\x%02x", c);
      o += tmp;
      if (c1) snprintf(tmp, sizeof tmp, "\\x%02x", (unsigned char)text[++i]), o += tmp;
    } else {
      o += (char)c;
    }
  }
  return o;
}

void LogParser::damaged_line(std::string_view why) {
  ++damaged_;
  err_ << "pelk_perf_util: " << shown(file_) << ":" << line_ << ": damaged " << why << " line: " << shown(raw_.substr(0, 200))
       << "\n";
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

namespace {

// What the reader looks for in the lines of a report block, taken from the
// module's texts.
struct BlockTexts {
  std::string_view start = lead(PELK_TEXT_CYCLE_START);
  std::string_view done = lead(PELK_TEXT_CYCLE_DONE);
  std::string header = header_with(PELK_TEXT_TOP_HEADER, "Name");
  std::array<std::string, 4> header_parts = pieces<4>(PELK_TEXT_TOP_HEADER);
  std::array<std::string, 6> row_parts = pieces<6>(PELK_TEXT_TOP_ROW);
  std::string_view cpus = lead(PELK_TEXT_CPUS_USAGE);
  std::array<std::string, 9> cpus_parts = pieces<9>(PELK_TEXT_CPUS_USAGE);
  std::string_view split = lead(PELK_TEXT_CPU_SPLIT);
  std::array<std::string, 6> split_parts = pieces<6>(PELK_TEXT_CPU_SPLIT);
  std::string_view freeze = lead(PELK_TEXT_ZEB_EFFECTIVE);
  std::string_view duration = lead(MD_TEXT_DURATION);
  std::string duration_end = piece(MD_TEXT_DURATION, 1);
  // The SUM line is MD_TEXT_SUM and MD_TEXT_UTC printed into MD_TEXT_SUM_LINE.
  std::string sum = std::string(lead(MD_TEXT_SUM_LINE)) + std::string(lead(MD_TEXT_SUM));
  std::array<std::string, 6> sum_parts = pieces<6>(MD_TEXT_SUM);
  std::array<std::string, 7> utc_parts = pieces<7>(MD_TEXT_UTC);
};

const BlockTexts &block_texts() {
  static const BlockTexts t;
  return t;
}

// The parts of a report block after its start line, in the order the module
// prints them.
enum class Part { Duration, Sum, Header, Row, Cpus, Freeze, Split };

bool part_of(std::string_view m, Part *part) {
  const BlockTexts &t = block_texts();
  if (starts(m, t.duration)) *part = Part::Duration;
  else if (starts(m, t.sum)) *part = Part::Sum;
  else if (starts(m, t.header)) *part = Part::Header;
  else if (starts(m, t.cpus)) *part = Part::Cpus;
  else if (starts(m, t.freeze)) *part = Part::Freeze;
  else if (starts(m, t.split)) *part = Part::Split;
  else if (starts(m, t.row_parts[0]) && m.find("(ns)") != std::string_view::npos) *part = Part::Row;
  else return false;
  return true;
}

// Whether the open block already has `part`, or a part that comes after it:
// then the line starts the next block, the lines between were lost.
bool has_part_or_later(const Cycle &c, Part part) {
  switch (part) {
    case Part::Duration: return c.has_duration || c.has_sum || c.has_header || c.top_rows || c.has_cpus;
    case Part::Sum: return c.has_sum || c.has_header || c.top_rows || c.has_cpus;
    case Part::Header: return c.has_header || c.top_rows || c.has_cpus;
    case Part::Row: return c.top_rows == 10 || c.has_cpus;
    case Part::Cpus: return c.has_cpus || c.has_freeze || c.has_split;
    case Part::Freeze: return c.has_freeze || c.has_split;
    case Part::Split: return c.has_split;
  }
  return false;
}

// The readers of each part: false when the line is damaged.
bool read_duration(std::string_view m, Cycle &cy, uint64_t line) {
  const BlockTexts &t = block_texts();
  Cursor c{m, t.duration.size()};
  uint64_t v = c.unum();
  c.lit(t.duration_end);
  if (!c.done()) return false;
  cy.has_duration = true;
  cy.md_slp_duration = v;
  cy.modem = ModemStatus::Ok;
  cy.modem_line = line;
  return true;
}

// *rest: what follows the line on the same console line.
bool read_sum(std::string_view m, Cycle &cy, uint64_t line, std::string_view *rest) {
  const BlockTexts &t = block_texts();
  Cursor c{m, t.sum.size()};
  uint64_t v[5];
  for (int k = 0; k < 5; ++k) {
    if (k) c.lit(t.sum_parts[k]);
    v[k] = c.padded_unum(6);
  }
  c.lit(t.sum_parts[5] + t.utc_parts[0]);
  int u[6];
  static const int lo[6] = {0, 1, 1, 0, 0, 0}, hi[6] = {INT32_MAX, 12, 31, 23, 59, 59};
  for (int k = 0; k < 6; ++k) {
    if (k) c.lit(t.utc_parts[k]);
    u[k] = c.two(k ? 2 : 4, lo[k], hi[k]);
  }
  c.lit(t.utc_parts[6]);
  if (!c.ok) return false;
  *rest = m.substr(c.i);
  // The line ends in a blank, which some tools trim; whatever follows is
  // the next record on the same console line.
  if (!rest->empty() && (*rest)[0] == ' ') rest->remove_prefix(1);
  cy.has_sum = true;
  for (int k = 0; k < 5; ++k) cy.sleep_s[k] = v[k];
  for (int k = 0; k < 6; ++k) cy.utc[k] = u[k];
  cy.modem = ModemStatus::Ok;
  if (!cy.modem_line) cy.modem_line = line;
  return true;
}

bool read_top_header(std::string_view m, Cycle &cy) {
  const BlockTexts &t = block_texts();
  Cursor c{m, t.header.size()};
  int period = c.snum();
  c.lit(t.header_parts[2]);
  int cpus = c.snum();
  c.lit(t.header_parts[3]);
  if (!c.done()) return false;
  cy.has_header = true;
  cy.period_ms = period;
  cy.online_cpus = cpus;
  return true;
}

bool read_top_row(std::string_view m, Cycle &cy, uint64_t line) {
  const BlockTexts &t = block_texts();
  Cursor c{m, t.row_parts[0].size()};
  TopRow r;
  r.line = line;
  std::string_view name = read_row_head(c, &r.usage, &r.pid);
  r.name = std::string(name);
  c.lit(t.row_parts[3]);
  r.delta_ns = c.padded_unum(11);
  c.lit(t.row_parts[4]);
  r.oom_score_adj = c.snum(5);
  if (!c.done() || name.empty()) return false;
  cy.top[cy.top_rows++] = std::move(r);
  return true;
}

bool read_cpus(std::string_view m, Cycle &cy, uint64_t line) {
  const BlockTexts &t = block_texts();
  Cursor c{m, t.cpus.size()};
  uint64_t v[8];
  for (int k = 0; k < 8; ++k) {
    v[k] = c.padded_unum(2);
    c.lit(t.cpus_parts[k + 1]);
  }
  if (!c.done()) return false;
  cy.has_cpus = true;
  cy.cpus_line = line;
  for (int k = 0; k < 8; ++k) cy.cpu[k] = v[k];
  return true;
}

bool read_split(std::string_view m, Cycle &cy) {
  const BlockTexts &t = block_texts();
  Cursor c{m, t.split.size()};
  int v[5];
  for (int k = 0; k < 5; ++k) {
    v[k] = c.two(2, INT32_MIN, INT32_MAX);  // the module's shares wrap, cast to int
    c.lit(t.split_parts[k + 1]);
  }
  if (!c.done()) return false;
  cy.has_split = true;
  cy.user = v[0];
  cy.system = v[1];
  cy.iowait = v[2];
  cy.irq = v[3];
  cy.idle = v[4];
  return true;
}

}  // namespace

bool LogParser::take_block_line(std::string_view m) {
  const BlockTexts &t = block_texts();
  if (starts(m, t.start)) {
    flush_health();
    close_threads();
    if (cycle_open_) close_cycle();
    Cycle &cy = open_cycle();
    Cursor c{m, t.start.size()};
    if (!read_time(c, cy.time)) {
      cy.damaged = true;
      damaged_line("start");
    } else {
      cy.has_start = true;
    }
    return true;
  }
  if (starts(m, t.done)) {
    flush_health();
    close_threads();
    Cycle &cy = open_cycle();
    if (m.size() != t.done.size()) {
      cy.damaged = true;
      damaged_line("done");
    } else {
      cy.has_done = true;
    }
    close_cycle();
    return true;
  }

  Part part;
  if (!part_of(m, &part)) return false;
  flush_health();
  close_threads();
  if (cycle_open_ && has_part_or_later(cycle_, part)) close_cycle();
  Cycle &cy = open_cycle();
  bool read = false;
  switch (part) {
    case Part::Duration: read = read_duration(m, cy, line_); break;
    case Part::Sum: read = read_sum(m, cy, line_, &rest_); break;
    case Part::Header: read = read_top_header(m, cy); break;
    case Part::Row: read = read_top_row(m, cy, line_); break;
    case Part::Cpus: read = read_cpus(m, cy, line_); break;
    case Part::Freeze:
      read = m.size() == t.freeze.size();
      if (read) cy.has_freeze = true;
      break;
    case Part::Split: read = read_split(m, cy); break;
  }
  if (read) return true;
  static const char *names[] = {"modem duration", "modem SUM", "top-ten header", "top-ten row",
                                "Cpus Usage", "overload", "CPU split"};
  cy.damaged = true;
  damaged_line(names[(int)part]);
  return true;
}

bool LogParser::take_thread_line(std::string_view m) {
  static constexpr std::string_view kStart = lead(PELK_TEXT_SS_TOP_START);
  static const std::string kHeader = header_with(PELK_TEXT_SS_TOP_HEADER, "Comm");
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
  // A "[K] " line with "(ns)" was a top-ten row for take_block_line, which
  // is asked first.
  if (!starts(m, row_head()[0]) || m.find(row_head()[1]) == std::string_view::npos) return false;
  Cursor c{m, row_head()[0].size()};
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
  if (m.size() < 14) return;
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
  // A second phone's serial later in the same log labels what follows it.
  if (value.empty() || value.size() > 64 || value == device_) return;
  device_ = std::string(value);
  if (sink_.device) sink_.device(device_);
}

}  // namespace pelk_tool

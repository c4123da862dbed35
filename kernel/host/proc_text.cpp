// The texts of the proc tree, parsed.  Plain functions on bytes: they know
// nothing of the kernel layer, so the fuzzer builds them alone.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host.h"

namespace host {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal at p, no sign; false on none or on overflow.
bool read_decimal(const char *&p, const char *end, u64 *out) {
  const char *start = p;
  u64 v = 0;
  while (p < end && is_digit(*p)) {
    if (v > (~0ull - 9) / 10) return false;
    v = v * 10 + (u64)(*p++ - '0');
  }
  *out = v;
  return p != start;
}

}  // namespace

bool parse_stat_line(const char *buf, size_t len, StatLine *out) {
  // "pid (comm) state ppid ..." where comm may hold blanks and parentheses:
  // it ends at the last ')'.  Read in place: this runs for every process
  // of every cycle.
  const char *end = buf + len, *close = nullptr;
  for (const char *p = buf; p < end; p++)
    if (*p == ')') close = p;
  u64 pid = 0;
  const char *p = buf;
  while (p < end && is_digit(*p) && pid < 100000000) pid = pid * 10 + (u64)(*p++ - '0');
  if (p == buf || pid == 0 || end - p < 2 || p[0] != ' ' || p[1] != '(' || !close || close < p + 2) return false;
  const char *comm = p + 2;
  // A task's name holds 15 bytes; the file may show more (a workqueue
  // worker's current work after its name, a kernel thread's full name).
  // Keep what the task's own name would hold rather than lose the process.
  size_t comm_len = std::min((size_t)(close - comm), (size_t)15);
  // Fields 3 (state) to 15 (stime) follow, one blank apart.
  u64 field[16] = {};
  p = close + 1;
  for (int f = 3; f <= 15; f++) {
    if (p >= end || *p != ' ') return false;
    p++;
    const char *start = p;
    if (f == 3) {  // the state: one letter
      while (p < end && *p != ' ') p++;
    } else if (f == 7 || f == 8) {  // tty_nr, tpgid: may be negative
      if (p < end && *p == '-') p++;
      while (p < end && is_digit(*p)) p++;
    } else if (!read_decimal(p, end, &field[f])) {
      return false;
    }
    if (p == start || (p < end && *p != ' ' && *p != '\n')) return false;
  }
  if (field[9] > 0xffffffffull) return false;
  out->pid = (int)pid;
  std::memset(out->comm, 0, sizeof(out->comm));
  std::memcpy(out->comm, comm, comm_len);
  out->flags = (unsigned)field[9];
  out->utime = field[14];
  out->stime = field[15];
  return true;
}

bool parse_cpu_list(const std::string &s, std::uint32_t *mask) {
  // "0-3,6,8-9", up to the first newline.
  const char *p = s.data(), *end = p + s.size();
  if (const void *nl = std::memchr(p, '\n', s.size())) end = static_cast<const char *>(nl);
  if (p == end) return false;
  std::uint32_t m = 0;
  while (p < end) {
    u64 a, b;
    if (!read_decimal(p, end, &a)) return false;
    b = a;
    if (p < end && *p == '-') {
      p++;
      if (!read_decimal(p, end, &b) || b < a) return false;
    }
    for (u64 c = a; c <= b && c < (u64)kProcCpus; c++) m |= 1u << c;
    if (p < end && *p != ',') return false;
    if (p < end && ++p == end) return false;  // a trailing ','
  }
  *mask = m;
  return true;
}

std::uint32_t parse_proc_stat(const std::string &text, CpuTicks *out) {
  std::memset(out, 0, sizeof(CpuTicks) * kProcCpus);
  std::uint32_t present = 0;
  const char *p = text.data(), *end = p + text.size();
  while (p < end) {
    const char *eol = static_cast<const char *>(std::memchr(p, '\n', (size_t)(end - p)));
    if (!eol) eol = end;
    const char *q = p;
    p = eol + (eol < end);
    u64 cpu, f[kStatFields] = {};
    if (eol - q < 4 || std::memcmp(q, "cpu", 3) != 0) continue;
    q += 3;
    if (!read_decimal(q, eol, &cpu) || cpu >= (u64)kProcCpus) continue;
    int n = 0;
    while (n < kStatFields && q < eol && *q == ' ') {
      while (q < eol && *q == ' ') q++;
      if (!read_decimal(q, eol, &f[n])) break;
      n++;
    }
    // Older kernels give fewer fields; at least user to idle must be there.
    if (n < 4) continue;
    std::memcpy(out[cpu].ticks, f, sizeof(f));
    present |= 1u << cpu;
  }
  return present;
}

bool parse_oom_score_adj(const std::string &text, short *out) {
  const char *p = text.data(), *end = p + text.size();
  bool neg = p < end && *p == '-';
  p += neg;
  u64 v;
  if (!read_decimal(p, end, &v) || v > 1000 || (p < end && *p != '\n')) return false;
  *out = (short)(neg ? -(int)v : (int)v);
  return true;
}

}  // namespace host

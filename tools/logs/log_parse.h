// Reading the module's report lines back out of a kernel log.
//
// LogParser takes a log in any of the shapes engineers pull off a phone
// (dmesg with or without timestamps, `<N>` level prefixes, `dmesg -T` dates,
// `dmesg -x` facility/level columns, Android caller ids, logcat of the kernel
// buffer, a bug report's kernel section, or `pelk_perf_util simulate` text),
// picks out the module's lines wherever they stand and rebuilds the report
// blocks, the system_server thread lists and the health lines.  It streams:
// feed() takes the log in chunks of any size and every record is handed to the
// sink as soon as it is complete, so memory does not grow with the log.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace pelk_tool {

// Where a record stands in its log.
struct LogPlace {
  uint64_t line = 0;   // 1-based line number of the record's first line
  std::string ts;      // kernel timestamp in seconds as printed ("605.000000"), empty if none
  std::string stamp;   // wall-clock prefix of the line (dmesg -T, logcat), empty if none
};

// "MM-DD HH:MM:SS" of a start line, local time of the phone.
struct LocalTime {
  bool set = false;
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::string text() const;  // "MM-DD HH:MM:SS" as the line gave it, empty if not set
};

struct TopRow {
  uint64_t usage = 0;   // percent of one CPU over the period
  int pid = 0;
  std::string name;     // process name, "NULL" for an empty or vanished slot
  uint64_t delta_ns = 0;
  int oom_score_adj = 0;
  uint64_t line = 0;
};

enum class ModemStatus { None, Ok, NotValid };

// One report block, from "... Statistic start" to "... Statistic done".
struct Cycle {
  LogPlace at;
  LocalTime time;
  bool has_start = false, has_done = false;
  bool has_header = false;
  int period_ms = 0, online_cpus = 0;
  int top_rows = 0;
  TopRow top[10];
  bool has_cpus = false;
  uint64_t cpu[8] = {};
  uint64_t cpus_line = 0;
  bool has_freeze = false;
  bool has_split = false;
  int user = 0, system = 0, iowait = 0, irq = 0, idle = 0;
  // Modem sleep statistics.
  ModemStatus modem = ModemStatus::None;
  bool null_memory = false;           // "MD shared memory is NULL": the last copy was used
  bool has_duration = false;
  uint64_t md_slp_duration = 0;
  bool has_sum = false;
  uint64_t sleep_s[5] = {};           // MD, 2G, 3G, 4G, 5G_FR1 in seconds
  int utc[6] = {};                    // year, month, day, hour, minute, second
  uint64_t modem_line = 0;
  // Only in `simulate` output, which shows the module's other outputs.
  int overload_report_pid = -1;       // pid of a 0xffffff26 event report, -1 if none
  bool loading_uevent = false;        // a SYSTEMSERVER_LOADING uevent since the previous block
  bool damaged = false;               // a line of the block could not be read

  bool complete() const;
  std::string missing() const;        // "start,done", ... or empty
  // The sum of the CPUs' loads, at most UINT64_MAX: each load is a 64-bit
  // figure, so the sum may not fit (then total_fits() is false), while
  // comparing it with a threshold stays right.
  uint64_t total_load() const;
  bool total_fits() const;
  // What the module compares total_load() with: 98 per online CPU; 0 when the
  // header, and so the number of CPUs, is not known.
  uint64_t overload_threshold() const;
};

struct ThreadRow {
  uint64_t usage = 0;   // tenths of a second of CPU time in the period
  int tid = 0;
  std::string comm;
  uint64_t line = 0;
};

// One "system_server TOP thread" list.
struct ThreadList {
  LogPlace at;
  LocalTime time;
  bool has_start = false, has_header = false;
  int rows = 0;
  ThreadRow row[10];
  bool damaged = false;
  bool complete() const { return has_start && has_header && !damaged; }
};

// One "NAME, 1min:N, 5min:N" line of the health watch.
struct HealthLine {
  LogPlace at;
  std::string name;
  int one_min = 0, five_min = 0;
  int report_pid = -1;  // pid of a following 0x00501001 event report (simulate output only)
};

struct LogSink {
  std::function<void(const Cycle &)> cycle;
  std::function<void(const ThreadList &)> threads;
  std::function<void(const HealthLine &)> health;
  std::function<void(const std::string &)> device;  // the log named its device
};

// Log text or a name as a message on a terminal may show it: control bytes
// (C0, DEL, and C1 as UTF-8 writes them), backslash included, as \xNN, so a
// log line or an entry name can neither add a line of its own nor move the
// cursor or change colours.
std::string shown(std::string_view text);

class LogParser {
 public:
  // file names the log in messages; damaged lines are reported on err.
  LogParser(const LogSink &sink, std::string file, std::ostream &err);
  void feed(const char *data, size_t n);
  void finish();  // end of the log: hands over what is still open

  uint64_t damaged() const { return damaged_; }

  // Splits one physical line into its prefixes and the message; exposed for tests.
  static std::string_view strip_prefixes(std::string_view line, std::string_view *ts, std::string_view *stamp);

 private:
  void take_line(std::string_view line);
  std::string_view take_message(std::string_view m);
  bool take_block_line(std::string_view m);
  bool take_thread_line(std::string_view m);
  void take_marker(std::string_view m);
  void take_device(std::string_view m);
  void damaged_line(std::string_view why);
  Cycle &open_cycle();
  void close_cycle();
  void close_threads();
  void flush_health();

  const LogSink &sink_;
  std::string file_;
  std::ostream &err_;
  std::string carry_;       // a line cut by the end of a chunk
  bool carry_too_long_ = false;
  uint64_t line_ = 0, damaged_ = 0;
  std::string_view ts_, stamp_, raw_;  // of the line being read
  std::string_view rest_;              // text after a message on the same line
  bool cycle_open_ = false, threads_open_ = false, health_pending_ = false;
  bool loading_pending_ = false;
  Cycle cycle_;
  ThreadList threads_;
  HealthLine health_;
  std::string device_;
};

}  // namespace pelk_tool

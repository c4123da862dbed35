// Scenario files for `pelk_perf_util simulate`: the model of a machine, its
// processes and a timeline of events, read from JSON and checked before
// anything runs.  docs/scenario.md describes the format.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace pelk_tool {

using u64 = std::uint64_t;
using s64 = std::int64_t;

// Largest pid a scenario may name (the kernel's PID_MAX_LIMIT on 64-bit is
// 4194304; pids are below it).
constexpr int kMaxPid = 4194303;
constexpr size_t kModemBlockSize = 512;

// The input contract (docs/scenario.md, "Limits"): what a scenario file may
// be, and the work it may ask for, checked before anything is expanded or run.
constexpr size_t kMaxScenarioBytes = 128u << 20;  // the file
constexpr size_t kMaxDepth = 32;                 // arrays and objects inside each other
constexpr size_t kExcerptBytes = 40;             // of a bad value, quoted in a message
constexpr u64 kMaxTasks = 1000000;               // processes and threads created in all
constexpr u64 kMaxEvents = 2000000;              // timeline events, repeats and rate changes included
constexpr u64 kMaxHeldBytes = 256u << 20;        // names, paths and data held for the run
constexpr u64 kMaxCycles = 10000000;             // periodic cycles of the module in one run
// The kernel's clocks: signed 64-bit nanoseconds (KTIME_MAX).
constexpr u64 kMaxClockNs = (u64)INT64_MAX;

// A scenario that cannot be read or makes no sense.  what() is the whole
// message: "FILE: at /json/pointer: what is wrong".
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A process (with its threads) or a single thread, as created.
struct TaskDef {
  int pid = 0;        // the thread id; for a process also its tgid
  int process = 0;    // a thread: the tgid it joins; a process: 0
  std::string comm;
  short oom_score_adj = 0;
  bool kthread = false;
  sim::CpuRate rate;  // continuous use from creation on
  u64 utime_ns = 0;   // CPU time already used at creation
  u64 stime_ns = 0;
  std::vector<TaskDef> threads;  // processes only, beside the main thread
  std::string where;  // JSON pointer of its entry
};

// Fields of the modem's shared sleep block, each set only when given.
struct ModemBlockEdit {
  std::optional<std::uint32_t> head_magic, head_stamp, tail_stamp, tail_magic;
  std::optional<u64> md_slp_duration;
  std::array<std::optional<u64>, 5> sleep_time_us;  // MD, 2G, 3G, 4G, 5G_FR1
  std::vector<std::pair<size_t, std::string>> raw;  // (offset, bytes), applied last
  void apply(unsigned char *block) const;
};

enum class EventKind {
  Spawn, Exit, Rename, OomScoreAdj, Cpu, Cputime,
  Feature, FeatureNotify, EventReportResult,
  ModemBlock, ModemUpdate,
  Param, Suspend, ProcRead, ProcWrite, Insmod, Rmmod,
  CpuOnline, CpuOffline, IdleQuery, CpuExtras, Counter,
  Fault, ClearFaults, Clock,
};

// One timeline entry, resolved: every field the action needs is filled in.
struct Event {
  u64 at_ns = 0;       // simulated time since the scenario's start
  std::string where;   // JSON pointer of the entry in the file
  EventKind kind = EventKind::Spawn;

  TaskDef task;            // Spawn
  int pid = 0;             // Exit, Rename, OomScoreAdj, Cpu, Cputime
  std::string text;        // Rename: comm; ProcRead/ProcWrite: path; Insmod: params; Param: name
  std::string data;        // ProcWrite: data; Param: value
  int value = 0;           // OomScoreAdj; Feature answer; EventReportResult; FeatureNotify action
  u64 feature_id = 0;      // Feature
  bool notify = false;     // Feature: notify the chain after setting the answer
  sim::CpuRate rate;       // Cpu
  u64 utime_ns = 0, stime_ns = 0;  // Cputime
  u64 duration_ns = 0;     // Suspend
  size_t chunk = 4096;     // ProcRead
  int cpu = 0;             // Cputime, cpu events, Counter
  bool fails = false;      // IdleQuery
  sim::CpuExtras extras;   // CpuExtras
  int counter = 0;         // Counter: sim::CpuStat index
  bool counter_set = false;  // Counter: set to counter_ns, else add counter_ns
  s64 counter_ns = 0;
  ModemBlockEdit modem;    // ModemBlock, ModemUpdate
  bool modem_null = false; // ModemBlock: hand over a null address
  sim::Fault fault;        // Fault
  std::optional<s64> wall_sec;     // Clock
  std::optional<int> tz_minuteswest;
};

struct Scenario {
  std::string file;          // as named in messages
  std::string description;
  sim::Config config;
  s64 wall_clock_sec = 1796601600;  // UTC at the scenario's start (2026-12-07T00:00:00Z)
  std::string module_params;
  bool load_at_start = true;
  std::map<std::string, u64> work_durations_ns;
  std::vector<TaskDef> processes;   // present at the start
  std::map<int, sim::CpuExtras> cpu_extras;
  std::vector<int> idle_query_fails;
  std::vector<sim::Fault> faults;   // in force from the start
  std::vector<Event> timeline;      // in time order
  u64 duration_ns = 0;
  // What the run-length checks need, whatever the run's duration.
  u64 explicit_cpu_ns = 0;  // CPU and counter time given explicitly, in all
  u64 suspend_ns = 0;       // every suspend of the timeline
  s64 wall_offset_ns = 0;   // the latest wall clock set, less the time it is set at
};

// Parses and checks a scenario.  `file` names it in error messages.
Scenario parse_scenario(const std::string &text, const std::string &file);
// Reads the file and parses it: a directory, a device or a file over the
// size limit is refused.
Scenario load_scenario(const std::string &path);
// Why the scenario cannot run for `duration_ns` (a clock or a counter would
// leave the kernel's 64-bit nanosecond range, or the run would be more
// cycles than the work budget), or "" when it can.
std::string run_length_problem(const Scenario &sc, u64 duration_ns);

// The built-in scenario: its JSON text, and the name its messages use.
const std::string &default_scenario_json();
constexpr const char *kDefaultScenarioName = "<default scenario>";

// Sets NAME=VALUE in a module parameter string, replacing an earlier value of
// the same name or appending it.
std::string set_param(const std::string &params, const std::string &name, const std::string &value);

// Days since 1970-01-01 of a proleptic Gregorian date.
s64 days_from_civil(s64 y, unsigned m, unsigned d);

}  // namespace pelk_tool

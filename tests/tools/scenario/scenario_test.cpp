// Reading scenario files: what a good one turns into, and the exact message
// with which each kind of bad one is refused.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "scenario.h"

namespace pelk_tool {
namespace {

Scenario parse(const std::string &text) { return parse_scenario(text, "s.json"); }

std::string refusal(const std::string &text) {
  try {
    parse(text);
  } catch (const ScenarioError &e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ScenarioParse, EmptyScenarioTakesTheDefaults) {
  Scenario sc = parse("{}");
  EXPECT_EQ(sc.duration_ns, 600 * sim::kNsPerSec);
  EXPECT_EQ(sc.config.possible_cpus, 0xffu);
  EXPECT_EQ(sc.config.online_cpus, 0xffu);
  EXPECT_TRUE(sc.load_at_start);
  EXPECT_TRUE(sc.processes.empty());
  EXPECT_TRUE(sc.timeline.empty());
}

TEST(ScenarioParse, Machine) {
  Scenario sc = parse(R"({"machine": {"possible_cpus": 4, "online_cpus": [0, 2], "wall_clock": "2026-12-08T09:30:05Z",
      "tz_minuteswest": -480, "uptime": 3600.5, "suspended": 12, "seed": 7, "module_params": "kmonitor_delay=5000",
      "load_at_start": false, "work_durations": {"app_health_info": 0.002}}, "duration": 30})");
  EXPECT_EQ(sc.config.possible_cpus, 0xfu);
  EXPECT_EQ(sc.config.online_cpus, 0x5u);
  EXPECT_EQ(sc.wall_clock_sec, 1796688000 + 9 * 3600 + 30 * 60 + 5);  // 2026-12-08T00:00:00Z + ...
  EXPECT_EQ(sc.config.tz_minuteswest, -480);
  EXPECT_EQ(sc.config.uptime_ns, 3600500000000ull);
  EXPECT_EQ(sc.config.suspended_ns, 12 * sim::kNsPerSec);
  EXPECT_EQ(sc.config.seed, 7u);
  EXPECT_EQ(sc.module_params, "kmonitor_delay=5000");
  EXPECT_FALSE(sc.load_at_start);
  EXPECT_EQ(sc.work_durations_ns.at("app_health_info"), 2 * sim::kNsPerMs);
  EXPECT_EQ(sc.duration_ns, 30 * sim::kNsPerSec);
}

TEST(ScenarioParse, ProcessesThreadsAndRates) {
  Scenario sc = parse(R"({"machine": {"possible_cpus": 8},
    "processes": [{"pid": 1000, "comm": "system_server", "oom_score_adj": -900, "utime": 30, "stime": 10.25,
                   "cpu": {"percent": 45.5, "user": 70, "cpus": [0, 1]},
                   "threads": [{"tid": 1001, "comm": "binder:1000_{n}", "count": 3, "cpu": {"percent": 5}}]},
                  {"pid": 2, "comm": "kthreadd", "kthread": true}]})");
  ASSERT_EQ(sc.processes.size(), 2u);
  const TaskDef &ss = sc.processes[0];
  EXPECT_EQ(ss.pid, 1000);
  EXPECT_EQ(ss.oom_score_adj, -900);
  EXPECT_EQ(ss.utime_ns, 30 * sim::kNsPerSec);
  EXPECT_EQ(ss.stime_ns, 10250 * sim::kNsPerMs);
  EXPECT_EQ(ss.rate.milli_cpu, 455u);
  EXPECT_EQ(ss.rate.user_permille, 700u);
  EXPECT_EQ(ss.rate.cpus, 0x3u);
  ASSERT_EQ(ss.threads.size(), 3u);
  EXPECT_EQ(ss.threads[2].pid, 1003);
  EXPECT_EQ(ss.threads[2].process, 1000);
  EXPECT_EQ(ss.threads[2].comm, "binder:1000_3");
  EXPECT_EQ(ss.threads[0].rate.milli_cpu, 50u);
  EXPECT_EQ(ss.threads[0].rate.cpus, 0xffu) << "a rate runs on every possible CPU unless told otherwise";
  EXPECT_TRUE(sc.processes[1].kthread);
}

TEST(ScenarioParse, TimelineIsOrderedWithRepeatsAndRateChanges) {
  Scenario sc = parse(R"({"duration": 100,
    "processes": [{"pid": 500, "comm": "app", "cpu": {"percent": 10, "user": 50,
                   "changes": [{"at": 20, "percent": 80}, {"at": 40, "user": 100}]}}],
    "timeline": [{"at": 0, "event": "proc_read", "repeat": {"every": 30, "count": 3}},
                 {"at": 20, "event": "cpu", "pid": 500, "cpus": [1]},
                 {"at": 50, "event": "exit", "pid": 500}]})");
  std::vector<std::pair<u64, EventKind>> got;
  for (const Event &e : sc.timeline) got.emplace_back(e.at_ns / sim::kNsPerSec, e.kind);
  std::vector<std::pair<u64, EventKind>> want = {
      {0, EventKind::ProcRead}, {20, EventKind::Cpu}, {20, EventKind::Cpu}, {30, EventKind::ProcRead},
      {40, EventKind::Cpu},     {50, EventKind::Exit}, {60, EventKind::ProcRead}};
  EXPECT_EQ(got, want);
  // The change from the process comes first at 20 s; the timeline's "cpu"
  // event keeps the fields it does not give.
  EXPECT_EQ(sc.timeline[1].rate.milli_cpu, 800u);
  EXPECT_EQ(sc.timeline[2].rate.milli_cpu, 800u);
  EXPECT_EQ(sc.timeline[2].rate.user_permille, 500u);
  EXPECT_EQ(sc.timeline[2].rate.cpus, 0x2u);
  EXPECT_EQ(sc.timeline[4].rate.user_permille, 1000u);
  EXPECT_EQ(sc.timeline[4].rate.cpus, 0xffu) << "a process's own changes follow its own rate";
  EXPECT_EQ(sc.timeline[0].text, "/proc/cpumonitor/cpu_monitor");
}

TEST(ScenarioParse, EventsOfEveryKind) {
  Scenario sc = parse(R"({"machine": {"module_params": "kmonitor_delay=2000"},
    "processes": [{"pid": 100, "comm": "a"}],
    "timeline": [
      {"at": 1, "event": "spawn", "pid": 200, "comm": "b", "threads": [{"tid": 201}]},
      {"at": 1, "event": "spawn", "process": 100, "tid": 101, "comm": "a-worker"},
      {"at": 2, "event": "rename", "pid": 101, "comm": "a-io"},
      {"at": 2, "event": "oom_score_adj", "pid": 100, "value": 900},
      {"at": 2, "event": "cputime", "pid": 101, "utime": 1.5, "stime": 0.5, "cpu": 3},
      {"at": 3, "event": "feature", "id": "health", "answer": 1, "notify": true},
      {"at": 3, "event": "feature", "id": 541860000033, "answer": 0},
      {"at": 3, "event": "feature_notify", "action": 2},
      {"at": 3, "event": "event_report_result", "result": -5},
      {"at": 4, "event": "modem_block", "md_slp_duration": 32768, "sleep_time": [1, 2, 3, 4, 5], "head_stamp": 9},
      {"at": 4, "event": "modem_update", "raw": [{"offset": 508, "hex": "00 00 00 00"}]},
      {"at": 4, "event": "modem_block", "null": true},
      {"at": 5, "event": "param", "value": 5000},
      {"at": 5, "event": "suspend", "duration": 3600},
      {"at": 6, "event": "proc_write", "data": "x"},
      {"at": 6, "event": "rmmod"},
      {"at": 6, "event": "insmod"},
      {"at": 7, "event": "cpu_offline", "cpu": 7},
      {"at": 7, "event": "cpu_online", "cpu": 7},
      {"at": 7, "event": "idle_query", "cpu": 2},
      {"at": 7, "event": "cpu_extras", "cpu": 1, "irq": 2.5, "steal": 1},
      {"at": 7, "event": "counter", "cpu": 0, "counter": "idle", "add": -2.5},
      {"at": 7, "event": "counter", "cpu": 0, "counter": "guest_nice", "set": 1},
      {"at": 8, "event": "fault", "facility": "kmalloc", "site": "x", "nth": 2, "count": 0, "error": -12},
      {"at": 8, "event": "clear_faults"},
      {"at": 9, "event": "clock", "wall_clock": 1800000000, "tz_minuteswest": 60},
      {"at": 9, "event": "exit", "pid": 200}]})");
  const auto &t = sc.timeline;
  ASSERT_EQ(t.size(), 27u);
  EXPECT_EQ(t[0].task.threads.at(0).comm, "b") << "a thread is named after its process unless told otherwise";
  EXPECT_EQ(t[1].task.process, -1);
  EXPECT_EQ(t[1].task.threads.at(0).pid, 101);
  EXPECT_EQ(t[4].utime_ns, 1500 * sim::kNsPerMs);
  EXPECT_EQ(t[4].cpu, 3);
  EXPECT_EQ(t[5].feature_id, 901060000029ull);
  EXPECT_TRUE(t[5].notify);
  EXPECT_EQ(t[6].feature_id, 541860000033ull);
  EXPECT_EQ(t[7].value, 2);
  EXPECT_EQ(t[8].value, -5);
  unsigned char block[kModemBlockSize] = {};
  t[9].modem.apply(block);
  EXPECT_EQ(block[4], 9);
  EXPECT_EQ(block[40], 0);
  EXPECT_EQ(block[41], 0x80);
  EXPECT_EQ(block[56 + 8 * 4], 5);
  t[10].modem.apply(block);
  EXPECT_TRUE(t[11].modem_null);
  EXPECT_EQ(t[12].text, "kmonitor_delay");
  EXPECT_EQ(t[12].data, "5000");
  EXPECT_EQ(t[13].duration_ns, 3600 * sim::kNsPerSec);
  EXPECT_EQ(t[16].text, "kmonitor_delay=2000") << "insmod takes the machine's parameters unless told otherwise";
  EXPECT_TRUE(t[19].fails);
  EXPECT_EQ(t[20].extras.irq, 25u);
  EXPECT_EQ(t[20].extras.steal, 10u);
  EXPECT_EQ(t[21].counter, sim::kIdle);
  EXPECT_FALSE(t[21].counter_set);
  EXPECT_EQ(t[21].counter_ns, -2500000000ll);
  EXPECT_EQ(t[22].counter, sim::kGuestNice);
  EXPECT_EQ(t[23].fault.count, 0);
  EXPECT_EQ(t[23].fault.error, -12);
  EXPECT_EQ(*t[25].wall_sec, 1800000000);
  EXPECT_EQ(*t[25].tz_minuteswest, 60);
}

struct Bad {
  const char *text;
  const char *message;
};

TEST(ScenarioParse, RefusedWithFileWhereAndWhat) {
  const Bad cases[] = {
      {"{", "s.json: at line 1, column 2: syntax error while parsing object key - unexpected end of input; "
            "expected string literal"},
      {"[]", "s.json: at the top level: expected an object, got an array"},
      {R"({"durration": 5})",
       "s.json: at /durration: unknown key \"durration\" (known here: description, machine, processes, cpus, faults, "
       "timeline, duration)"},
      {R"({"duration": "10s"})", "s.json: at /duration: expected a time in seconds (a number), got a string \"10s\""},
      {R"({"duration": -1})", "s.json: at /duration: must not be negative, got -1"},
      {R"({"duration": 1e400})", "s.json: at /duration: number overflow parsing '1e400'"},
      {R"({"duration": 10, "duration": 20})", "s.json: at /duration: the key \"duration\" is given twice"},
      {R"({"processes": [{"pid": 5, "comm": "a"}, {"pid": 6, "comm": "b", "comm": "c"}]})",
       "s.json: at /processes/1/comm: the key \"comm\" is given twice"},
      {R"({"machine": {"possible_cpus": 4, "online_cpus": [0, 5]}})",
       "s.json: at /machine/online_cpus/1: CPU 5 is not a possible CPU"},
      {R"({"machine": {"wall_clock": "2026-02-30T00:00:00Z"}})",
       "s.json: at /machine/wall_clock: expected a UTC time like \"2026-12-08T09:30:00Z\" or seconds since 1970, got "
       "\"2026-02-30T00:00:00Z\""},
      {R"({"machine": {"tz_minuteswest": 2000}})",
       "s.json: at /machine/tz_minuteswest: must be between -1440 and 1440, got 2000"},
      {R"({"machine": {"load_at_start": 1}})", "s.json: at /machine/load_at_start: expected true or false, got an integer"},
      {R"({"processes": [{"pid": 0, "comm": "x"}]})",
       "s.json: at /processes/0/pid: must be between 1 and 4194303, got 0"},
      {R"({"processes": [{"pid": 4194304, "comm": "x"}]})",
       "s.json: at /processes/0/pid: must be between 1 and 4194303, got 4194304"},
      {R"({"processes": [{"pid": 5}]})", "s.json: at /processes/0: missing key \"comm\""},
      {R"({"processes": [{"pid": 5, "comm": "x", "oom": 1}]})",
       "s.json: at /processes/0/oom: unknown key \"oom\" (known here: pid, comm, oom_score_adj, kthread, cpu, utime, "
       "stime, threads)"},
      {R"({"processes": [{"pid": 5, "comm": 5}]})", "s.json: at /processes/0/comm: expected a string, got an integer"},
      {R"({"processes": [{"pid": 5.5, "comm": "x"}]})",
       "s.json: at /processes/0/pid: expected an integer, got a number 5.5"},
      {R"({"processes": [{"pid": 5, "comm": "x", "cpu": {"percent": 50, "user": 101}}]})",
       "s.json: at /processes/0/cpu/user: must be between 0 and 100 (per cent), got 101"},
      {R"({"machine": {"possible_cpus": 2}, "processes": [{"pid": 5, "comm": "x", "cpu": {"cpus": [2]}}]})",
       "s.json: at /processes/0/cpu/cpus/0: CPU 2 is not a possible CPU"},
      {R"({"processes": [{"pid": 5, "comm": "x"}, {"pid": 5, "comm": "y"}]})",
       "s.json: at /processes/1/pid: pid 5 is already in use at 0 s"},
      {R"({"processes": [{"pid": 5, "comm": "x", "threads": [{"tid": 6, "count": 3}]}, {"pid": 7, "comm": "y"}]})",
       "s.json: at /processes/1/pid: pid 7 is already in use at 0 s"},
      {R"({"processes": [{"pid": 5, "comm": "x", "threads": [{"tid": 4194300, "count": 5}]}]})",
       "s.json: at /processes/0/threads/0/count: thread ids 4194300 to 4194304 go past the largest pid 4194303"},
      {R"({"processes": [{"pid": 5, "comm": "x", "cpu": {"changes": [{"at": 9, "percent": 1}, {"at": 8}]}}]})",
       "s.json: at /processes/0/cpu/changes/1/at: time goes backwards: 8 s is before the previous change at 9 s"},
      {R"({"timeline": [{"at": 1, "event": "spawn", "process": 9, "tid": 10, "comm": "t"}]})",
       "s.json: at /timeline/0/process: a thread of no process: no process 9 is running at 1 s"},
      {R"({"processes": [{"pid": 5, "comm": "x", "threads": [{"tid": 6}]}],
           "timeline": [{"at": 1, "event": "spawn", "process": 6, "tid": 10, "comm": "t"}]})",
       "s.json: at /timeline/0/process: a thread of no process: no process 6 is running at 1 s"},
      {R"({"timeline": [{"at": 10, "event": "proc_read"}, {"at": 2.5, "event": "rmmod"}]})",
       "s.json: at /timeline/1/at: time goes backwards: 2.5 s is before the previous event at 10 s"},
      {R"({"duration": 60, "timeline": [{"at": 61, "event": "rmmod"}]})",
       "s.json: at /timeline/0/at: at 61 s is after the end of the run (duration 60 s)"},
      {R"({"duration": 60, "timeline": [{"at": 0, "event": "proc_read", "repeat": {"every": 30, "count": 4}}]})",
       "s.json: at /timeline/0/at: at 90 s is after the end of the run (duration 60 s)"},
      {R"({"timeline": [{"event": "rmmod"}]})", "s.json: at /timeline/0: missing key \"at\""},
      {R"({"timeline": [{"at": 1}]})", "s.json: at /timeline/0: missing key \"event\""},
      {R"({"timeline": [{"at": 1, "event": "explode"}]})",
       "s.json: at /timeline/0/event: unknown event \"explode\" (one of spawn, exit, rename, oom_score_adj, cpu, "
       "cputime, feature, feature_notify, event_report_result, modem_block, modem_update, param, suspend, proc_read, "
       "proc_write, insmod, rmmod, cpu_online, cpu_offline, idle_query, cpu_extras, counter, fault, clear_faults, "
       "clock)"},
      {R"({"timeline": [{"at": 1, "event": "exit", "pid": 5, "comm": "x"}]})",
       "s.json: at /timeline/0/comm: unknown key \"comm\" for a \"exit\" event (known: at, event, repeat, pid)"},
      {R"({"timeline": [{"at": 1, "event": "exit", "pid": 5}]})",
       "s.json: at /timeline/0/pid: pid 5 is not running at 1 s"},
      {R"({"processes": [{"pid": 5, "comm": "x", "threads": [{"tid": 6}]}],
           "timeline": [{"at": 1, "event": "exit", "pid": 5}, {"at": 2, "event": "rename", "pid": 6, "comm": "y"}]})",
       "s.json: at /timeline/1/pid: pid 6 is not running at 2 s"},
      {R"({"processes": [{"pid": 5, "comm": "x", "threads": [{"tid": 6}]}],
           "timeline": [{"at": 1, "event": "oom_score_adj", "pid": 6, "value": 0}]})",
       "s.json: at /timeline/0/pid: pid 6 is a thread of process 5; oom_score_adj belongs to the process"},
      {R"({"processes": [{"pid": 5, "comm": "x"}], "timeline": [{"at": 1, "event": "spawn", "pid": 5, "comm": "y"}]})",
       "s.json: at /timeline/0/pid: pid 5 is already in use at 1 s"},
      {R"({"timeline": [{"at": 1, "event": "feature", "id": "wifi", "answer": 1}]})",
       "s.json: at /timeline/0/id: unknown feature \"wifi\" (use a number, \"health\" or \"zeb\")"},
      {R"({"timeline": [{"at": 1, "event": "modem_block", "sleep_time": [1, 2]}]})",
       "s.json: at /timeline/0/sleep_time: expected an array of five sleep times in microseconds (MD, 2G, 3G, 4G, "
       "5G_FR1)"},
      {R"({"timeline": [{"at": 1, "event": "modem_block", "head_magic": 4294967296}]})",
       "s.json: at /timeline/0/head_magic: must be at most 4294967295, got 4294967296"},
      {R"({"timeline": [{"at": 1, "event": "modem_block", "raw": [{"offset": 510, "hex": "010203"}]}]})",
       "s.json: at /timeline/0/raw/0/hex: 3 bytes at offset 510 go past the end of the 512-byte block"},
      {R"({"timeline": [{"at": 1, "event": "modem_update", "raw": [{"hex": "0g"}]}]})",
       "s.json: at /timeline/0/raw/0/hex: is not hexadecimal: \"0g\""},
      {R"({"timeline": [{"at": 1, "event": "modem_block", "null": true, "head_stamp": 1}]})",
       "s.json: at /timeline/0/head_stamp: a null hand-over has no block fields"},
      {R"({"timeline": [{"at": 1, "event": "param", "value": true}]})",
       "s.json: at /timeline/0/value: expected a string or an integer, got a boolean"},
      {R"({"machine": {"possible_cpus": [0, 1]}, "timeline": [{"at": 1, "event": "cpu_offline", "cpu": 3}]})",
       "s.json: at /timeline/0/cpu: CPU 3 is not a possible CPU"},
      {R"({"timeline": [{"at": 1, "event": "counter", "cpu": 0, "counter": "idle"}]})",
       "s.json: at /timeline/0: give exactly one of \"set\" and \"add\""},
      {R"({"timeline": [{"at": 1, "event": "counter", "cpu": 0, "counter": "busy", "set": 1}]})",
       "s.json: at /timeline/0/counter: unknown counter \"busy\" (one of user, nice, system, softirq, irq, idle, "
       "iowait, steal, guest, guest_nice)"},
      {R"({"cpus": [{"cpu": 0, "irq": 60, "softirq": 50}]})",
       "s.json: at /cpus/0: the extra times add up to more than 100 per cent of the CPU"},
      {R"({"cpus": [{"cpu": 0}, {"cpu": 0}]})", "s.json: at /cpus/1/cpu: CPU 0 is described twice"},
      {R"({"faults": [{"facility": "kfree"}]})",
       "s.json: at /faults/0/facility: unknown facility \"kfree\" (one of kmalloc, vmalloc, alloc_workqueue, "
       "rhashtable_init, rhashtable_insert, misc_register, proc_mkdir, proc_create, kobject_uevent)"},
      {R"({"faults": [{"facility": "kmalloc", "error": 12}]})",
       "s.json: at /faults/0/error: must be between -4095 and 0, got 12"},
      {R"({"timeline": [{"at": 1, "event": "proc_read", "repeat": {"every": 0, "count": 2}}]})",
       "s.json: at /timeline/0/repeat/every: must be more than 0"},
      {R"({"timeline": [{"at": 1, "event": "clock"}]})",
       "s.json: at /timeline/0: give \"wall_clock\" or \"tz_minuteswest\" or both"},
      {R"({"machine": {"work_durations": {"a/b": "x"}}})",
       "s.json: at /machine/work_durations/a~1b: expected a time in seconds (a number), got a string \"x\""},
  };
  for (const Bad &b : cases) EXPECT_EQ(refusal(b.text), b.message) << b.text;
}

TEST(ScenarioLoad, UnreadableFile) {
  try {
    load_scenario("/nonexistent/dir/x.json");
    FAIL() << "accepted";
  } catch (const ScenarioError &e) {
    EXPECT_STREQ(e.what(), "/nonexistent/dir/x.json: cannot read: No such file or directory");
  }
}

TEST(ScenarioParse, SetParam) {
  EXPECT_EQ(set_param("", "kmonitor_delay", "5"), "kmonitor_delay=5");
  EXPECT_EQ(set_param("a=1 kmonitor_delay=10000 b=2", "kmonitor_delay", "5"), "a=1 kmonitor_delay=5 b=2");
  EXPECT_EQ(set_param("kmonitor_delayx=1", "kmonitor_delay", "5"), "kmonitor_delayx=1 kmonitor_delay=5");
}

TEST(ScenarioParse, DefaultScenarioIsAccepted) {
  Scenario sc = parse_scenario(default_scenario_json(), kDefaultScenarioName);
  EXPECT_EQ(sc.duration_ns, 600 * sim::kNsPerSec);
}

}  // namespace
}  // namespace pelk_tool

namespace pelk_tool {
namespace {

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// The input contract: hostile, huge and out-of-range scenarios are refused
// with the place and a short message, before anything is expanded or run.
TEST(ScenarioContract, RefusedBeforeAnythingRuns) {
  const std::string huge(1 << 20, 'x');
  const struct {
    std::string text, message;
  } cases[] = {
      // The document: depth, NUL bytes, trailing data, excerpts of bad values and keys.
      {"{\"duration\": " + nested(100000) + "}",
       "s.json: at /duration" + [] { std::string p; for (int i = 0; i < 31; ++i) p += "/0"; return p; }() +
           ": nested deeper than 32 levels"},
      {std::string("{\"duration\": 10}\0garbage", 25), "s.json: at line 1, column 17: a NUL byte: a scenario is JSON text"},
      {"{\"duration\": 10} {}", "s.json: at line 1, column 18: syntax error while parsing value - unexpected '{'; "
                               "expected end of input"},
      {"{\"duration\": \"" + huge + "\"}",
       "s.json: at /duration: expected a time in seconds (a number), got a string \"" + std::string(40, 'x') + "...\""},
      {"{\"duration\": \"" + huge, "s.json: at line 1, column 1048591: syntax error while parsing value - invalid string: "
                                  "missing closing quote; last read: '\"" + std::string(39, 'x') + "...'"},
      {"{\"a\\nb" + huge + "\": 1}", "s.json: at /a\\x0ab" + std::string(37, 'x') + "...: unknown key \"a\\nb" +
                                         std::string(37, 'x') + "...\" (known here: description, machine, processes, "
                                         "cpus, faults, timeline, duration)"},
      // Times: each within the kernel's 64-bit nanosecond range, and every sum of them.
      {R"({"duration": 9223372037})", "s.json: at /duration: is too large: 9223372037 s (the kernel's clocks hold at most "
                                      "9223372036 s)"},
      {R"({"duration": 1e12})", "s.json: at /duration: is too large: 1000000000000.0 s (the kernel's clocks hold at most "
                                "9223372036 s)"},
      {R"({"machine": {"uptime": 9000000000}, "duration": 300000000})",
       "s.json: at /duration: the monotonic clock would pass the kernel's 64-bit nanosecond range: 9000000000 s of uptime "
       "and a run of 300000000 s"},
      {R"({"machine": {"possible_cpus": 32}, "duration": 300000000})",
       "s.json: at /duration: a task's or a CPU's time could pass the kernel's 64-bit nanosecond range: 32 CPUs for "
       "300000000 s after 0 s of uptime"},
      {R"({"duration": 100, "timeline": [{"at": 1, "event": "suspend", "duration": 5000000000},
                                         {"at": 2, "event": "suspend", "duration": 5000000000}]})",
       "s.json: at /timeline/1/duration: this suspend would take the boot-time clock past the kernel's 64-bit nanosecond "
       "range"},
      {R"({"machine": {"wall_clock": "2263-01-01T00:00:00Z"}})",
       "s.json: at /machine/wall_clock: \"2263-01-01T00:00:00Z\" is past 2262-04-11T23:47:16Z, the end of the kernel's "
       "64-bit nanosecond clock"},
      {R"({"machine": {"wall_clock": "2262-04-11T00:00:00Z"}, "duration": 86400})",
       "s.json: at /duration: the wall clock would pass the kernel's 64-bit nanosecond range (2262-04-11T23:47:16Z) by "
       "the end of a run of 86400 s"},
      {R"({"timeline": [{"at": 1, "event": "clock", "wall_clock": 9223372000}]})",
       "s.json: at /timeline/0/wall_clock: the wall clock set here would pass the kernel's 64-bit nanosecond range "
       "(2262-04-11T23:47:16Z) by the end of the run"},
      {R"({"timeline": [{"at": 1, "event": "counter", "cpu": 0, "counter": "idle", "add": -9223372036854775808}]})",
       "s.json: at /timeline/0/add: is too large: -9223372036854775808 s (the kernel's clocks hold at most 9223372036 s)"},
      {R"({"processes": [{"pid": 5, "comm": "a", "utime": 9000000000}],
           "timeline": [{"at": 1, "event": "cputime", "pid": 5, "utime": 9000000000}]})",
       "s.json: at /timeline/0/utime: CPU time given here would take a task's or a CPU's time past the kernel's 64-bit "
       "nanosecond range by the end of the run (8 CPUs for 600 s after 0 s of uptime, and the CPU times given "
       "explicitly)"},
      // The work budget, counted before anything is expanded.
      {R"({"timeline": [{"at": 0, "event": "proc_read", "repeat": {"every": 0.000001, "count": 10000000000}}]})",
       "s.json: at /timeline/0/repeat/count: the scenario would play more than 2,000,000 timeline events in all, "
       "repeats and rate changes included (the work budget)"},
      {R"({"timeline": [{"at": 0, "event": "proc_read", "repeat": {"every": 1, "count": 9223372036854775807}}]})",
       "s.json: at /timeline/0/repeat/count: the scenario would play more than 2,000,000 timeline events in all, "
       "repeats and rate changes included (the work budget)"},
      {R"({"timeline": [{"at": 0, "event": "proc_read", "repeat": {"every": 1, "count": 1000}}]})",
       "s.json: at /timeline/0/at: at 601 s is after the end of the run (duration 600 s)"},
      {R"({"processes": [{"pid": 5, "comm": "a", "threads": [{"tid": 6, "count": 4000000}]}]})",
       "s.json: at /processes/0/threads/0/count: the scenario would create more than 1,000,000 processes and threads "
       "in all (the work budget)"},
      {R"({"machine": {"module_params": "kmonitor_delay=1"}, "duration": 86400})",
       "s.json: at /duration: a run of 86400 s with a period of 0.004 s is 21,600,000 cycles of the module, more than "
       "the work budget of 10,000,000"},
      // A CPU online at every moment: the boot CPU never goes offline.
      {R"({"machine": {"online_cpus": [1, 2]}})",
       "s.json: at /machine/online_cpus: CPU 0 must be online: it is the boot CPU, which never goes offline"},
      {R"({"timeline": [{"at": 1, "event": "cpu_offline", "cpu": 0}]})",
       "s.json: at /timeline/0/cpu: CPU 0 cannot go offline: it is the boot CPU"},
  };
  for (const auto &c : cases) EXPECT_EQ(refusal(c.text), c.message) << c.text.substr(0, 200);
}

TEST(ScenarioContract, FilesThatAreNoScenario) {
  const std::string big = testing::TempDir() + "pelk_too_large.json";
  std::ofstream(big).close();
  ASSERT_EQ(truncate(big.c_str(), (off_t)kMaxScenarioBytes + 1), 0);
  const struct {
    std::string path, message;
  } cases[] = {
      {"/", "/: is a directory, not a scenario file"},
      {"/dev/zero", "/dev/zero: is a device, not a scenario file"},
      {big, big + ": is too large: 134217729 bytes (at most 134217728)"},
  };
  for (const auto &c : cases) {
    try {
      load_scenario(c.path);
      ADD_FAILURE() << c.path << " accepted";
    } catch (const ScenarioError &e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  std::remove(big.c_str());
}

}  // namespace
}  // namespace pelk_tool

// `pelk_perf_util simulate` end to end: each example scenario against the
// exact output it must give, the command line's options and refusals, and
// byte-identical output from run to run.
//
// After a deliberate change of the module's output, regenerate the expected
// files with PELK_UPDATE_EXPECTED=1 and review the difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "output.h"
#include "scenario.h"
#include "simulate.h"

namespace pelk_tool {
namespace {

namespace fs = std::filesystem;

const std::string kExpectedDir = PELK_EXPECTED_DIR;

struct CliRun {
  int status;
  std::string out, err;
};

CliRun cli(std::vector<std::string> args, bool with_module = true) {
  if (with_module && !args.empty() && args[0] == "simulate") {
    args.push_back("--module");
    args.push_back(PELK_MODULE_PATH);
  }
  std::ostringstream out, err;
  int status = run_cli(args, out, err);
  return {status, out.str(), err.str()};
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string example(const std::string &name) { return std::string(PELK_EXAMPLES_DIR) + "/" + name; }

void expect_output(const std::string &expected_name, const std::string &got) {
  const std::string path = kExpectedDir + "/" + expected_name;
  if (getenv("PELK_UPDATE_EXPECTED")) {
    std::ofstream(path, std::ios::binary) << got;
    return;
  }
  ASSERT_TRUE(fs::exists(path)) << path << " is missing; run with PELK_UPDATE_EXPECTED=1 to write it";
  const std::string want = read_file(path);
  if (want == got) return;
  // Point at the first line that differs rather than dumping both.
  std::istringstream a(want), b(got);
  std::string la, lb;
  for (int line = 1;; ++line) {
    bool ea = !std::getline(a, la), eb = !std::getline(b, lb);
    if (ea || eb || la != lb) {
      ADD_FAILURE() << expected_name << ": first difference at line " << line << "\n  expected: " << (ea ? "(end)" : la)
                    << "\n  got:      " << (eb ? "(end)" : lb);
      return;
    }
  }
}

// One scenario per group of behaviours, with the exact output it gives.
TEST(SimulateExamples, GiveTheirExpectedOutput) {
  for (const char *name : {"minimal", "system_server", "sustained_overload", "app_health", "modem", "cpus",
                           "lifecycle"}) {
    SCOPED_TRACE(name);
    CliRun r = cli({"simulate", example(std::string(name) + ".json")});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ("", r.err) << "every step plays";
    expect_output(std::string(name) + ".txt", r.out);
    // A second run in the same process: nothing of the first load may leak
    // into it, not even the %p ids.
    EXPECT_EQ(cli({"simulate", example(std::string(name) + ".json")}).out, r.out) << "not byte-identical";
  }
}

std::string first_line_with(const std::string &text, const std::string &what) {
  size_t at = text.find(what);
  if (at == std::string::npos) return "";
  size_t begin = text.rfind('\n', at);
  begin = begin == std::string::npos ? 0 : begin + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

// The scenario's wall clock is the one at its start, whatever the uptime and
// the time already spent in suspend before it; the first cycle comes one
// period later, in local time.
TEST(SimulateClock, WallClockIsTheOneAtTheStart) {
  struct Case {
    const char *machine;
    const char *start_line;
  } cases[] = {
      {R"({"wall_clock": "2026-12-08T09:00:00Z"})", "[   10.000000] [K][Perf] PELK Perf Statistic start (12-08 09:00:10)"},
      {R"({"wall_clock": "2026-12-08T09:00:00Z", "uptime": 3600, "suspended": 1800})",
       "[ 3610.000000] [K][Perf] PELK Perf Statistic start (12-08 09:00:10)"},
      {R"({"wall_clock": "2026-12-08T23:59:55Z", "tz_minuteswest": -60, "uptime": 0.5})",
       "[   10.500000] [K][Perf] PELK Perf Statistic start (12-09 01:00:05)"},
      {R"({"uptime": 7200, "suspended": 50})", "[ 7210.000000] [K][Perf] PELK Perf Statistic start (12-07 00:00:10)"},
  };
  const std::string path = testing::TempDir() + "pelk_clock_scenario.json";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.machine);
    std::ofstream(path) << "{\"machine\": " << c.machine << ", \"duration\": 10}";
    CliRun r = cli({"simulate", path});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(first_line_with(r.out, "Statistic start"), c.start_line);
  }
  fs::remove(path);
}

TEST(SimulateExamples, JsonLinesCarryEveryByte) {
  CliRun r = cli({"simulate", example("lifecycle.json"), "--format", "jsonl"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  expect_output("lifecycle.jsonl", r.out);
  std::istringstream in(r.out);
  std::string line;
  unsigned long long last_seq = 0;
  int lines = 0;
  while (std::getline(in, line)) {
    nlohmann::json j = nlohmann::json::parse(line);
    ASSERT_TRUE(j.contains("seq") && j.contains("ts_ns") && j.contains("type")) << line;
    if (lines++) {
      EXPECT_GT(j["seq"].get<unsigned long long>(), last_seq) << line;
    }
    last_seq = j["seq"].get<unsigned long long>();
  }
  EXPECT_GT(lines, 0);
}

// The exported day history after each report block, as other modules read
// it: examples/modem.json ends on the day that began at local midnight.
TEST(SimulateExamples, ModemHistoryAfterEachBlock) {
  CliRun r = cli({"simulate", example("modem.json"), "--format", "jsonl", "--modem-history"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  std::istringstream in(r.out);
  std::vector<nlohmann::json> histories;
  std::string previous;
  int blocks = 0;
  for (std::string line; std::getline(in, line); previous = line) {
    nlohmann::json j = nlohmann::json::parse(line);
    if (j["type"] == "printk" && j["text"] == "[K][Perf] PELK Perf Statistic done") ++blocks;
    if (j["type"] != "sleep_history") continue;
    EXPECT_NE(previous.find("PELK Perf Statistic done"), std::string::npos) << previous;
    histories.push_back(j["days"]);
  }
  ASSERT_EQ(histories.size(), 7u);
  EXPECT_EQ(blocks, 7);
  auto day = [](int y, int m, int d, std::vector<u64> today, std::vector<u64> base) {
    return nlohmann::json{{"year", y}, {"month", m}, {"day", d}, {"today_time", today}, {"base_time", base}};
  };
  const nlohmann::json unused = day(0, 0, 0, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0});
  const nlohmann::json dec8 = day(2026, 12, 8, {10000000, 0, 0, 9000000, 0}, {1999999, 1000000, 0, 900000000, 0});
  EXPECT_EQ(histories[3], (nlohmann::json{dec8, unused, unused, unused, unused}));  // after two invalid copies
  EXPECT_EQ(histories[6], (nlohmann::json{day(2026, 12, 9, {40000000, 0, 0, 40000000, 0},
                                              {31999999, 1000000, 0, 929000000, 0}),
                                          dec8, unused, unused, unused}));
  CliRun text = cli({"simulate", example("modem.json"), "--modem-history"});
  EXPECT_NE(text.out.find("[  130.000000] <sleep_history> 2026-12-09 today=40000000/0/0/40000000/0 "
                          "base=31999999/1000000/0/929000000/0; 2026-12-08 today=10000000/0/0/9000000/0 "
                          "base=1999999/1000000/0/900000000/0; 0000-00-00 today=0/0/0/0/0 base=0/0/0/0/0; "),
            std::string::npos);
  EXPECT_EQ(cli({"simulate", example("modem.json")}).out.find("sleep_history"), std::string::npos);
}

TEST(SimulateExamples, EveryExampleParsesAndRunsCleanly) {
  int count = 0;
  for (const auto &entry : fs::directory_iterator(PELK_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    ++count;
    SCOPED_TRACE(entry.path().string());
    CliRun r = cli({"simulate", entry.path().string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_NE(r.out.find("<insmod pelk_perf_util"), std::string::npos);
    EXPECT_EQ(r.out.find("<violation>"), std::string::npos) << "the module broke a kernel rule";
  }
  EXPECT_GE(count, 7);
}

TEST(SimulateDefault, IsTheSameOnEveryRun) {
  CliRun a = cli({"simulate"}), b = cli({"simulate"});
  ASSERT_EQ(a.status, kExitOk) << a.err;
  EXPECT_EQ(a.out, b.out);
  CliRun ja = cli({"simulate", "--format", "jsonl"}), jb = cli({"simulate", "--format", "jsonl"});
  EXPECT_EQ(ja.out, jb.out);
  EXPECT_EQ(a.out.find("<violation>"), std::string::npos);
  // Every step of the built-in phone plays.
  EXPECT_EQ(a.out.find("<note>"), std::string::npos);
  EXPECT_EQ("", a.err);
  // The phone it plays: the proc file read now and then, and a stretch in
  // which every CPU is overloaded.
  size_t reads = 0;
  for (size_t at = 0; (at = a.out.find("<proc_read /proc/cpumonitor/cpu_monitor> ", at)) != std::string::npos; ++at)
    ++reads;
  EXPECT_GE(reads, 3u);
  bool overloaded = false;
  std::istringstream lines(a.out);
  for (std::string line; std::getline(lines, line) && !overloaded;) {
    unsigned v[8];
    size_t at = line.find("Cpus Usage ");
    if (at == std::string::npos ||
        sscanf(line.c_str() + at, "Cpus Usage [%u], [%u], [%u], [%u], [%u] [%u], [%u], [%u]", &v[0], &v[1], &v[2], &v[3],
               &v[4], &v[5], &v[6], &v[7]) != 8)
      continue;
    overloaded = std::all_of(v, v + 8, [](unsigned x) { return x >= 98; });
  }
  EXPECT_TRUE(overloaded) << "no cycle with every CPU at 98 or more";
  // The music player in the background, 0.6 s every ten seconds from the
  // start: logged first in its 20th health cycle and reported there, once.
  std::vector<std::string> health;
  std::istringstream all(a.out);
  for (std::string line; std::getline(all, line);)
    if (line.find(", 1min:") != std::string::npos || line.find("<event_report> 0x00501001") != std::string::npos)
      health.push_back(line);
  EXPECT_EQ((std::vector<std::string>{"[ 3800.000000] ease.cloudmusic, 1min:6, 5min:4",
                                      "[ 3800.000000] <event_report> 0x00501001 656 3400 \"ease.cloudmusic\""}),
            health);
}

TEST(SimulateDefault, PrintsItsScenario) {
  CliRun r = cli({"simulate", "--print-default"});
  ASSERT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out, default_scenario_json());
  EXPECT_NO_THROW(parse_scenario(r.out, "printed"));
}

TEST(SimulateOptions, DurationParamAndOutputFile) {
  const std::string out = testing::TempDir() + "pelk_simulate_out.txt";
  CliRun r = cli({"simulate", example("minimal.json"), "--duration", "12.5", "--param", "kmonitor_delay=5000", "--output",
               out});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string text = read_file(out);
  EXPECT_NE(text.find("<insmod pelk_perf_util kmonitor_delay=5000> 0"), std::string::npos) << text;
  // Cycles every five seconds from the load at 120 s; the run ends at 132.5 s.
  size_t starts = 0;
  for (size_t at = 0; (at = text.find("PELK Perf Statistic start", at)) != std::string::npos; ++at) ++starts;
  EXPECT_EQ(starts, 2u) << text;
  EXPECT_EQ(text.find("[  133."), std::string::npos);
  fs::remove(out);
}

struct Refusal {
  std::vector<std::string> args;
  std::string err_start;
};

TEST(SimulateOptions, UsageErrorsExitWithTwo) {
  const std::string bad = testing::TempDir() + "pelk_bad_scenario.json";
  std::ofstream(bad) << "{\"timeline\": [{\"at\": 3, \"event\": \"exit\", \"pid\": 77}]}";
  const Refusal cases[] = {
      {{}, "pelk_perf_util: no command given\n"},
      {{"simulat"}, "pelk_perf_util: unknown command \"simulat\"\n"},
      {{"simulate", "--format", "xml"}, "pelk_perf_util: unknown format \"xml\" (text or jsonl)\n"},
      {{"simulate", "--duration", "10s"}, "pelk_perf_util: --duration wants a number of seconds, got \"10s\"\n"},
      {{"simulate", "--duration"}, "pelk_perf_util: option --duration needs a value\n"},
      {{"simulate", "--param", "kmonitor_delay"}, "pelk_perf_util: --param wants NAME=VALUE, got \"kmonitor_delay\"\n"},
      {{"simulate", "--verbose"}, "pelk_perf_util: unknown option --verbose\n"},
      {{"simulate", "a.json", "b.json"}, "pelk_perf_util: more than one scenario given\n"},
      {{"simulate", bad}, "pelk_perf_util: " + bad + ": at /timeline/0/pid: pid 77 is not running at 3 s\n"},
      {{"simulate", "/nonexistent.json"},
       "pelk_perf_util: /nonexistent.json: cannot read: No such file or directory\n"},
  };
  for (const Refusal &c : cases) {
    std::ostringstream out, err;
    EXPECT_EQ(run_cli(c.args, out, err), kExitUsage) << c.err_start;
    EXPECT_EQ(err.str().substr(0, c.err_start.size()), c.err_start);
    EXPECT_EQ(out.str(), "");
  }
  fs::remove(bad);
}

TEST(SimulateOptions, MissingModuleAndHelp) {
  CliRun r = cli({"simulate", "--module", "/nonexistent/pelk_perf_util.so"}, false);
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.err.rfind("pelk_perf_util: module not found: /nonexistent/pelk_perf_util.so (give --module PATH or set PELK_MODULE)\n", 0), 0u) << r.err;
  CliRun h = cli({"--help"}, false);
  EXPECT_EQ(h.status, kExitOk);
  EXPECT_NE(h.out.find("simulate [SCENARIO.json]"), std::string::npos);
  CliRun sh = cli({"simulate", "--help"}, false);
  EXPECT_EQ(sh.status, kExitOk);
  EXPECT_NE(sh.out.find("--format text|jsonl"), std::string::npos);
  EXPECT_NE(sh.out.find("--modem-history"), std::string::npos);
  CliRun v = cli({"--version"}, false);
  EXPECT_EQ(v.status, kExitOk);
  EXPECT_EQ(v.out, "pelk_perf_util " PELK_VERSION_EXPECTED "\n");
}

TEST(OutputFormat, MarkedLinesAndJson) {
  OutEvent e;
  e.type = OutEvent::EventReport;
  e.ts_ns = 3610123456789ull;
  e.name = "0x00501001";
  e.value = 656;
  e.pid = 3400;
  e.text = "a\"b\\c\n";
  EXPECT_EQ(format_text(e), "[ 3610.123456] <event_report> 0x00501001 656 3400 \"a\\\"b\\\\c\\n\"\n");
  EXPECT_EQ(format_jsonl(e),
            "{\"seq\":0,\"ts_ns\":3610123456789,\"type\":\"event_report\",\"event_code\":\"0x00501001\","
            "\"value\":656,\"pid\":3400,\"text\":\"a\\\"b\\\\c\\n\"}\n");
  OutEvent p;
  p.type = OutEvent::Printk;
  p.level = 6;
  p.text = std::string("bad \xff byte");
  EXPECT_EQ(format_jsonl(p), "{\"seq\":0,\"ts_ns\":0,\"type\":\"printk\",\"level\":6,\"text\":\"bad \xef\xbf\xbd byte\","
                             "\"text_hex\":\"62616420ff2062797465\",\"newline\":false}\n");
  OutEvent u;
  u.type = OutEvent::Uevent;
  u.action = "change";
  u.env = {"ACTION=change", "SYSTEMSERVER_LOADING=200%%"};
  u.result = -12;
  EXPECT_EQ(format_text(u), "[    0.000000] <uevent change error -12> ACTION=change SYSTEMSERVER_LOADING=200%%\n");
  OutEvent r;
  r.type = OutEvent::ProcRead;
  r.name = "/proc/x";
  r.result = -2;
  EXPECT_EQ(format_text(r), "[    0.000000] <proc_read /proc/x error -2>\n");
}

// Exit statuses: 1 when the run cannot be made or its output not written,
// found before the run starts; 2 for a refused run length.
TEST(SimulateOptions, FailuresExitWithOneBeforeTheRun) {
  const std::string out = testing::TempDir() + "pelk_never_written.txt";
  const Refusal cases[] = {
      {{"simulate", "--module", "/etc/hostname"}, "pelk_perf_util: /etc/hostname is not a module: "},
      {{"simulate", "--module", PELK_EXAMPLES_DIR}, std::string("pelk_perf_util: ") + PELK_EXAMPLES_DIR +
                                                        " is not a module: not a file\n"},
      {{"simulate", "--print-default", "--output", "/dev/full"}, "pelk_perf_util: cannot write /dev/full\n"},
      {{"simulate", example("minimal.json"), "--output", "/dev/full", "--module", PELK_MODULE_PATH},
       "pelk_perf_util: cannot write /dev/full\n"},
      {{"simulate", example("minimal.json"), "--output", "/nonexistent/dir/out.txt", "--module", PELK_MODULE_PATH},
       "pelk_perf_util: cannot write /nonexistent/dir/out.txt: No such file or directory\n"},
      // The module is checked before the output is opened: nothing is written.
      {{"simulate", "--module", "/etc/hostname", "--output", out}, "pelk_perf_util: /etc/hostname is not a module: "},
  };
  for (const Refusal &c : cases) {
    std::ostringstream o, e;
    EXPECT_EQ(run_cli(c.args, o, e), kExitFailure) << c.err_start;
    EXPECT_EQ(e.str().substr(0, c.err_start.size()), c.err_start);
    EXPECT_EQ(o.str(), "");
  }
  EXPECT_FALSE(fs::exists(out));
  CliRun r = cli({"simulate", example("minimal.json"), "--duration", "9223372036"});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_EQ(r.err, "pelk_perf_util: " + example("minimal.json") +
                       ": with --duration: the monotonic clock would pass the kernel's 64-bit nanosecond range: 120 s of "
                       "uptime and a run of 9223372036 s\n");
}

// A parameter, a path or a name cannot forge a line of its own: marked
// lines escape them, and JSON lines keep the bytes of what is not UTF-8.
TEST(OutputFormat, EveryMarkedTextIsEscaped) {
  OutEvent load;
  load.type = OutEvent::Load;
  load.name = "pelk_perf_util";
  load.text = "a=1\n[    1.000000] forged \xff";
  EXPECT_EQ(format_text(load), "[    0.000000] <insmod pelk_perf_util a=1\\n[    1.000000] forged \xff> 0\n");
  EXPECT_EQ(format_jsonl(load), "{\"seq\":0,\"ts_ns\":0,\"type\":\"load\",\"module\":\"pelk_perf_util\",\"params\":"
                                "\"a=1\\n[    1.000000] forged \xef\xbf\xbd\",\"params_hex\":"
                                "\"613d310a5b20202020312e3030303030305d20666f7267656420ff\",\"result\":0}\n");
  OutEvent param;
  param.type = OutEvent::Param;
  param.name = "kmonitor_delay";
  param.text = "5\r\n";
  param.result = -22;
  EXPECT_EQ(format_text(param), "[    0.000000] <param kmonitor_delay=5\\r\\n> -22\n");
  OutEvent read;
  read.type = OutEvent::ProcRead;
  read.name = "/proc/a\nb";
  read.result = -2;
  EXPECT_EQ(format_text(read), "[    0.000000] <proc_read /proc/a\\nb error -2>\n");
  OutEvent write;
  write.type = OutEvent::ProcWrite;
  write.name = "/proc/\t";
  write.text = "\x01";
  EXPECT_EQ(format_text(write), "[    0.000000] <proc_write /proc/\\t \"\\x01\"> 0\n");
  OutEvent uevent;
  uevent.type = OutEvent::Uevent;
  uevent.action = "change";
  uevent.env = {"A=\xfe", "B=ok"};
  EXPECT_EQ(format_jsonl(uevent), "{\"seq\":0,\"ts_ns\":0,\"type\":\"uevent\",\"action\":\"change\",\"env\":"
                                  "[\"A=\xef\xbf\xbd\",\"B=ok\"],\"env_hex\":[\"413dfe\",\"423d6f6b\"],\"result\":0}\n");
}

// A counter moved back further than it has counted stops at 0 instead of
// wrapping to an enormous value, and says so.
TEST(SimulateClock, CounterMovedBackStopsAtZero) {
  const std::string path = testing::TempDir() + "pelk_counter_scenario.json";
  std::ofstream(path) << R"({"duration": 1, "machine": {"load_at_start": false},
    "timeline": [{"at": 0.5, "event": "counter", "cpu": 0, "counter": "idle", "add": -100000},
                 {"at": 0.5, "event": "proc_read", "path": "/proc/none"}]})";
  CliRun r = cli({"simulate", path});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.err, "pelk_perf_util: warning: [    0.500000] counter: moving CPU 0's counter back by more than it "
                   "holds: set to 0\n");
  fs::remove(path);
}

// The run is handed on as it is made: a long run gives the same bytes
// whether it is collected or streamed, and streams in order.
TEST(SimulateStreaming, GivesTheEventsInOrderAsTheyAreMade) {
  Scenario sc = load_scenario(example("system_server.json"));
  sc.duration_ns = 3 * 3600 * sim::kNsPerSec;
  RunOptions opt;
  opt.module_path = PELK_MODULE_PATH;
  std::string streamed;
  u64 last_seq = 0, events = 0;
  bool ordered = true;
  simulate(sc, opt, [&](const OutEvent &e) {
    ordered = ordered && e.seq > last_seq;
    last_seq = e.seq;
    ++events;
    if (e.type != OutEvent::Note) streamed += format_text(e);
  });
  EXPECT_TRUE(ordered);
  EXPECT_GT(events, 1000u);
  EXPECT_EQ(streamed, format_all(simulate(sc, opt), Format::Text));
}

}  // namespace
}  // namespace pelk_tool

// Reading the module's lines back out of kernel logs: the figures parsed back
// from `simulate`'s logs, printed again with the module's own formats, must
// give exactly the lines the module printed; the same holds for the common
// shapes of real logs, and damage is reported, never mis-read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "../../../drivers/misc/perf_log/log_texts.h"
#include "commands.h"
#include "log_parse.h"
#include "output.h"
#include "scenario.h"
#include "simulate.h"


namespace pelk_tool {
namespace {

namespace fs = std::filesystem;

// A line as the module prints it, with its own format (log_texts.h).
template <typename... A>
std::string line(const char *format, A... a) {
  char buf[512];
  snprintf(buf, sizeof buf, format, a...);
  std::string s = buf;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

using Rendered = std::vector<std::pair<uint64_t, std::vector<std::string>>>;  // (first line, lines)

// Prints parsed records again with the module's formats.
struct Renderer {
  Rendered out;
  std::vector<Cycle> cycles;
  std::vector<ThreadList> lists;
  LogSink sink() {
    LogSink s;
    s.cycle = [this](const Cycle &c) {
      cycles.push_back(c);
      std::vector<std::string> l;
      const LocalTime &t = c.time;
      if (c.has_start) l.push_back(line(PELK_TEXT_CYCLE_START, t.month, t.day, t.hour, t.minute, t.second));
      if (c.null_memory) l.push_back(line(MD_TEXT_SHARE_MEM_NULL));
      if (c.modem == ModemStatus::NotValid) l.push_back(line(MD_TEXT_NOT_VALID));
      if (c.has_duration) l.push_back(line(MD_TEXT_DURATION, (unsigned long long)c.md_slp_duration));
      if (c.has_sum) {
        std::string sum = line(MD_TEXT_SUM, (unsigned long long)c.sleep_s[0], (unsigned long long)c.sleep_s[1],
                               (unsigned long long)c.sleep_s[2], (unsigned long long)c.sleep_s[3],
                               (unsigned long long)c.sleep_s[4]);
        sum += line(MD_TEXT_UTC, c.utc[0], c.utc[1], c.utc[2], c.utc[3], c.utc[4], c.utc[5]) + " ";
        l.push_back(line(MD_TEXT_SUM_LINE, sum.c_str()));
      }
      if (c.has_header) l.push_back(line(PELK_TEXT_TOP_HEADER, "Name", c.period_ms, c.online_cpus));
      for (int k = 0; k < c.top_rows; ++k)
        l.push_back(line(PELK_TEXT_TOP_ROW, (unsigned long long)c.top[k].usage, c.top[k].pid, c.top[k].name.c_str(),
                         (unsigned long long)c.top[k].delta_ns, c.top[k].oom_score_adj));
      if (c.has_cpus)
        l.push_back(line(PELK_TEXT_CPUS_USAGE, (unsigned long long)c.cpu[0], (unsigned long long)c.cpu[1],
                         (unsigned long long)c.cpu[2], (unsigned long long)c.cpu[3], (unsigned long long)c.cpu[4],
                         (unsigned long long)c.cpu[5], (unsigned long long)c.cpu[6], (unsigned long long)c.cpu[7]));
      if (c.has_freeze) l.push_back(line(PELK_TEXT_ZEB_EFFECTIVE));
      if (c.has_split) l.push_back(line(PELK_TEXT_CPU_SPLIT, c.user, c.system, c.iowait, c.irq, c.idle));
      if (c.has_done) l.push_back(line(PELK_TEXT_CYCLE_DONE));
      out.emplace_back(c.at.line, l);
    };
    s.threads = [this](const ThreadList &t) {
      lists.push_back(t);
      std::vector<std::string> l;
      if (t.has_start)
        l.push_back(line(PELK_TEXT_SS_TOP_START, t.time.month, t.time.day, t.time.hour, t.time.minute, t.time.second));
      if (t.has_header) l.push_back(line(PELK_TEXT_SS_TOP_HEADER, "Comm"));
      for (int k = 0; k < t.rows; ++k)
        l.push_back(line(PELK_TEXT_SS_TOP_ROW, (unsigned long long)t.row[k].usage, t.row[k].tid, t.row[k].comm.c_str()));
      out.emplace_back(t.at.line, l);
    };
    s.health = [this](const HealthLine &h) {
      out.push_back({h.at.line, {line(PELK_TEXT_HEALTH_LINE, h.name.c_str(), h.one_min, h.five_min)}});
    };
    return s;
  }
  std::vector<std::string> lines() {
    std::stable_sort(out.begin(), out.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::string> all;
    for (auto &[at, l] : out) all.insert(all.end(), l.begin(), l.end());
    return all;
  }
};

struct Parsed {
  std::vector<std::string> lines;
  std::vector<Cycle> cycles;
  std::vector<ThreadList> lists;
  std::string err;
  uint64_t damaged;
};

Parsed parse(const std::string &log, size_t chunk = 0) {
  Renderer r;
  LogSink sink = r.sink();
  std::ostringstream err;
  LogParser p(sink, "log", err);
  if (!chunk) chunk = log.size() ? log.size() : 1;
  for (size_t i = 0; i < log.size(); i += chunk) p.feed(log.data() + i, std::min(chunk, log.size() - i));
  p.finish();
  return {r.lines(), r.cycles, r.lists, err.str(), p.damaged()};
}

// The module's report texts among a run's printk records.
bool report_text(const std::string &t) {
  for (const char *p : {"[K][Perf]", "[K]     Usage", "[K]  Cpus", "[K]  user[", "freeze_cpustat_zeb", "[K]system_server",
                        "[K][info]", "[name:tpc&]"})
    if (t.rfind(p, 0) == 0) return true;
  return (t.rfind("[K] ", 0) == 0 && t.find("%        ") != std::string::npos) || t.find(", 1min:") != std::string::npos;
}

struct SimRun {
  std::string text;                  // the log as `simulate` prints it
  std::vector<std::string> printed;  // the module's report lines, in order
};

SimRun run(const std::string &example) {
  Scenario sc = example.empty() ? parse_scenario(default_scenario_json(), kDefaultScenarioName)
                                : load_scenario(std::string(PELK_EXAMPLES_DIR) + "/" + example + ".json");
  RunOptions opt;
  opt.module_path = PELK_MODULE_PATH;
  std::vector<OutEvent> events = simulate(sc, opt);
  SimRun r;
  r.text = format_all(events, Format::Text);
  for (const OutEvent &e : events) {
    if (e.type != OutEvent::Printk) continue;
    std::string t = e.text;
    if (!t.empty() && t.back() == '\n') t.pop_back();
    if (report_text(t)) r.printed.push_back(t);
  }
  return r;
}

std::vector<std::string> split_lines(const std::string &s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

std::string join(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &l : v) s += l + "\n";
  return s;
}

// Rewrites every "[  ts] text" line of a log.
template <typename F>
std::string reshape(const std::string &log, F f) {
  std::vector<std::string> out;
  for (const std::string &l : split_lines(log)) {
    size_t close = l.find("] ");
    out.push_back(l[0] == '[' && close != std::string::npos ? f(l.substr(1, close - 1), l.substr(close + 2)) : l);
  }
  return join(out);
}

TEST(ParseRoundTrip, ExamplesGiveBackExactlyWhatTheModulePrinted) {
  for (const char *name : {"", "minimal", "system_server", "sustained_overload", "app_health", "modem", "cpus",
                           "lifecycle"}) {
    SCOPED_TRACE(*name ? name : "built-in");
    SimRun r = run(name);
    ASSERT_FALSE(r.printed.empty());
    Parsed p = parse(r.text);
    EXPECT_EQ(p.lines, r.printed);
    EXPECT_EQ(p.damaged, 0u) << p.err;
    for (const Cycle &c : p.cycles) EXPECT_TRUE(c.complete()) << "block at line " << c.at.line << ": " << c.missing();
    // Fed in small pieces, the stream gives the same records.
    EXPECT_EQ(parse(r.text, 7).lines, p.lines);
  }
}

TEST(ParseRoundTrip, EveryLogShapeGivesTheSameRecords) {
  SimRun r = run("system_server");
  SimRun m = run("modem");
  for (const SimRun *base : {&r, &m}) {
    Parsed plain = parse(base->text);
    ASSERT_EQ(plain.lines, base->printed);
    const std::pair<const char *, std::function<std::string(std::string, std::string)>> shapes[] = {
        {"level prefix", [](auto ts, auto t) { return "<6>[" + ts + "] " + t; }},
        {"no timestamp", [](auto, auto t) { return t; }},
        {"level, no timestamp", [](auto, auto t) { return "<6>" + t; }},
        {"dmesg -T", [](auto, auto t) { return "[Tue Dec  8 16:48:12 2026] " + t; }},
        {"dmesg -x", [](auto ts, auto t) { return "kern  :info  : [" + ts + "] " + t; }},
        {"caller id", [](auto ts, auto t) { return "[" + ts + "][  T1234] " + t; }},
        {"cpu and task", [](auto ts, auto t) { return "<6>[" + ts + "]  (2)[123:kworker/0:1]" + t; }},
        {"logcat", [](auto, auto t) { return "12-08 16:48:12.345     0     0 I         : " + t; }},
        {"bug report CRLF", [](auto ts, auto t) { return "[" + ts + "] " + t + "\r"; }},
    };
    for (const auto &[what, f] : shapes) {
      SCOPED_TRACE(what);
      Parsed p = parse(reshape(base->text, f));
      EXPECT_EQ(p.lines, base->printed);
      EXPECT_EQ(p.damaged, 0u) << p.err;
    }
    // Other drivers' lines between every two lines change nothing.
    std::string noisy = reshape(base->text, [](auto ts, auto t) {
      return "[" + ts + "] binder: 1234:1250 transaction failed 29189/-22\n[" + ts + "] " + t +
             "\n[" + ts + "] healthd: battery l=50 v=3900 t=25.0 h=2 st=3 [K] chg=u";
    });
    Parsed p = parse(noisy);
    EXPECT_EQ(p.lines, base->printed);
    EXPECT_EQ(p.damaged, 0u) << p.err;
  }
}

TEST(ParseRoundTrip, LinesWithoutNewlineFollowedOnTheSameLine) {
  // A console shows a record without a newline and the next one on one line.
  std::string log =
      "[   70.000000] [K][Perf] PELK Perf Statistic start (12-08 23:59:25)\n"
      "[   70.000000] [K][info]MD shared memory is NULL[K][info] md_slp_duration = 32768000 (32k)\n"
      "[   70.000000] [name:tpc&][K][info] SUM MD/2G/3G/4G/5G_FR1 =      1/     1/     0/   900/     0 seconds "
      "[UTC][2026-12-08 22:59:25] [K]     Usage          PID                        Name          Total:10000(ms)*8"
      "       Oom_Score_Adj\n";
  Parsed p = parse(log);
  ASSERT_EQ(p.cycles.size(), 1u);
  const Cycle &c = p.cycles[0];
  EXPECT_TRUE(c.null_memory);
  EXPECT_EQ(c.md_slp_duration, 32768000u);
  EXPECT_EQ(c.sleep_s[3], 900u);
  EXPECT_EQ(c.utc[5], 25);
  EXPECT_TRUE(c.has_header);
  EXPECT_EQ(c.period_ms, 10000);
  EXPECT_EQ(c.missing(), "top_rows,cpus,overload,done");
  EXPECT_EQ(p.damaged, 0u) << p.err;
}

TEST(ParseRoundTrip, CutAndDamagedBlocksAreKeptAsFarAsTheyGoAndMarked) {
  SimRun r = run("system_server");
  std::vector<std::string> lines = split_lines(r.text);
  Parsed whole = parse(r.text);
  ASSERT_GE(whole.cycles.size(), 5u);

  // Cut inside the second block at both ends.
  uint64_t first = whole.cycles[1].at.line, last = whole.cycles[2].at.line;
  std::vector<std::string> cut(lines.begin() + (long)first + 2, lines.begin() + (long)last + 5);
  Parsed p = parse(join(cut));
  ASSERT_EQ(p.cycles.size(), 2u);
  EXPECT_FALSE(p.cycles[0].complete());
  EXPECT_EQ(p.cycles[0].missing(), "start,top_header");
  EXPECT_EQ(p.cycles[0].top_rows, 9);
  EXPECT_EQ(p.cycles[1].missing(), "top_rows,cpus,overload,done");
  EXPECT_EQ(p.cycles[1].top_rows, 4);
  EXPECT_EQ(p.damaged, 0u);

  // Damaged lines: reported with their line numbers, their block marked, the
  // other figures unchanged.
  std::vector<std::string> bad = lines;
  const Cycle &c = whole.cycles[2];
  size_t cpus = c.cpus_line - 1, row = c.top[0].line - 1;
  bad[cpus] = bad[cpus].substr(0, bad[cpus].size() - 12);
  bad[row].replace(bad[row].find('%') - 1, 1, "x");
  size_t start = whole.cycles[3].at.line - 1;
  bad[start] = bad[start].substr(0, bad[start].size() - 4);
  p = parse(join(bad));
  EXPECT_EQ(p.damaged, 3u);
  EXPECT_NE(p.err.find("log:" + std::to_string(cpus + 1) + ": damaged Cpus Usage line: "), std::string::npos) << p.err;
  EXPECT_NE(p.err.find("log:" + std::to_string(row + 1) + ": damaged top-ten row line: "), std::string::npos) << p.err;
  EXPECT_NE(p.err.find("log:" + std::to_string(start + 1) + ": damaged start line: "), std::string::npos) << p.err;
  ASSERT_EQ(p.cycles.size(), whole.cycles.size());
  EXPECT_FALSE(p.cycles[2].complete());
  EXPECT_FALSE(p.cycles[2].has_cpus);
  EXPECT_EQ(p.cycles[2].top_rows, 9);
  EXPECT_FALSE(p.cycles[3].complete());
  EXPECT_FALSE(p.cycles[3].has_start);
  EXPECT_TRUE(p.cycles[1].complete());
  EXPECT_EQ(p.cycles[4].top[0].delta_ns, whole.cycles[4].top[0].delta_ns);
}

TEST(ParseRoundTrip, ALineCutAnywhereIsNeverReadAsAFigure) {
  // Every report line of a run with modem lines and thread lists, cut after
  // each of its characters: no cut line gives back a line of figures.
  SimRun r = run("modem");
  SimRun s = run("system_server");
  std::vector<std::string> lines = r.printed;
  lines.insert(lines.end(), s.printed.begin(), s.printed.begin() + 40);
  size_t reported = 0;
  for (const std::string &l : lines) {
    if (l.find(", 1min:") != std::string::npos) continue;  // its last figure has no width
    for (size_t n = 1; n < l.size(); ++n) {
      std::string cut = l.substr(0, n);
      if (l.rfind("[name:tpc&]", 0) == 0 && n == l.size() - 1) continue;  // only the trailing blank
      Parsed p = parse("[   10.000000] " + cut + "\n");
      EXPECT_TRUE(p.lines.empty()) << "read figures from \"" << cut << "\"";
      reported += p.damaged;
    }
  }
  // Beyond their first characters, cut lines are reported.
  EXPECT_GT(reported, lines.size() * 20);
}

TEST(ParseRoundTrip, GarbledLogsNeverStopTheReader) {
  // Bytes flipped, dropped and lines spliced at random: the reader goes on,
  // and gives the same records whatever pieces the stream comes in.
  std::string log = run("system_server").text;
  log = reshape(log, [](auto ts, auto t) { return "<6>[" + ts + "][ T12] " + t; }) +
        "12-08 16:48:12.345     0     0 I         : [K]  Cpus Usage [ 1\n(3)[12:a]\n[ 1.0] <9>\n" +
        // Beyond the line limit whole, cut the same way in one piece or many.
        "[" + std::string(5000, ' ') + "2.5] com.app, 1min:5, 5min:3\n";
  uint32_t seed = 12345;
  auto next = [&]() { return seed = seed * 1103515245u + 12345u, (seed >> 8) % log.size(); };
  for (int round = 0; round < 20; ++round) {
    std::string g = log;
    for (int k = 0; k < 200; ++k) {
      size_t at = next() % g.size();
      switch (k % 4) {
        case 0: g[at] = (char)(next() & 0xff); break;
        case 1: g.erase(at, next() % 40); break;
        case 2: g.insert(at, g.substr(next() % g.size(), 60)); break;
        default: g[at] = "[]<>(): %\n\r"[next() % 11]; break;
      }
      if (g.empty()) g = log;
    }
    Parsed whole = parse(g);
    EXPECT_EQ(parse(g, 1 + round).lines, whole.lines);
  }
}

std::string cli(std::vector<std::string> args, int want_status = 0) {
  std::ostringstream out, err;
  int status = run_cli(args, out, err);
  EXPECT_EQ(status, want_status) << err.str();
  return out.str();
}

TEST(ParseCommand, ManyFilesBecomeOneTableWithFileAndDevice) {
  fs::path dir = fs::temp_directory_path() / ("pelk_parse_" + std::to_string(getpid()));
  fs::create_directories(dir / "b");
  SimRun r = run("minimal");
  std::ofstream(dir / "a.log") << "[    0.000000] Kernel command line: console=ttyS0 androidboot.serialno=ABC123 quiet\n"
                               << r.text;
  std::ofstream(dir / "b" / "c.log") << reshape(r.text, [](auto, auto t) { return "<6>" + t; });
  size_t blocks = parse(r.text).cycles.size();

  std::string csv = cli({"parse", dir.string(), "--what", "cpus", "--format", "csv"});
  std::vector<std::string> rows = split_lines(csv);
  ASSERT_EQ(rows.size(), 1 + 2 * blocks);
  EXPECT_EQ(rows[0],
            "file,device,line,ts,stamp,cycle_line,time,cpu0,cpu1,cpu2,cpu3,cpu4,cpu5,cpu6,cpu7,total_load,user,system,"
            "iowait,irq,idle");
  EXPECT_EQ(rows[1].rfind((dir / "a.log").string() + ",ABC123,", 0), 0u) << rows[1];
  EXPECT_EQ(rows.back().rfind((dir / "b" / "c.log").string() + ",,", 0), 0u) << rows.back();

  for (const char *what : {"cycles", "processes", "threads", "cpus", "health", "overload", "modem"}) {
    SCOPED_TRACE(what);
    nlohmann::json j = nlohmann::json::parse(cli({"parse", (dir / "a.log").string(), "--what", what}));
    ASSERT_TRUE(j.is_array());
    std::string jsonl = cli({"parse", (dir / "a.log").string(), "--what", what, "--format=jsonl"});
    std::vector<std::string> objs = split_lines(jsonl);
    ASSERT_EQ(objs.size(), j.size());
    for (size_t i = 0; i < objs.size(); ++i) EXPECT_EQ(nlohmann::json::parse(objs[i]), j[i]);
  }
  nlohmann::json j = nlohmann::json::parse(cli({"parse", (dir / "a.log").string(), "--what", "processes"}));
  ASSERT_EQ(j.size(), 10 * blocks);
  EXPECT_EQ(j[0]["device"], "ABC123");
  EXPECT_EQ(j[0]["rank"], 1);

  cli({"parse", "--what", "nothing"}, 2);
  cli({"parse", (dir / "missing.log").string()}, 1);
  fs::remove_all(dir);
}

// What a hostile user or an unlucky operator may hand `parse` and `plot`, and
// the sound answer: the status, a piece of the message, and the logs intact.
// run_cli in a child that mode bits hold back (nobody, when run as root):
// what a refused listing gives.  -1 when the child cannot drop root.
int run_cli_unprivileged(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  FILE *files[2] = {tmpfile(), tmpfile()};
  if (!files[0] || !files[1]) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                           setresuid(65534, 65534, 65534) != 0))
      _exit(100);
    std::ostringstream o, e;
    int rc = run_cli(args, o, e);
    fputs(o.str().c_str(), files[0]);
    fputs(e.str().c_str(), files[1]);
    fflush(nullptr);
    _exit(rc);
  }
  int st = -1;
  if (pid < 0 || waitpid(pid, &st, 0) != pid) st = -1;
  for (int i = 0; i < 2; ++i) {
    rewind(files[i]);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, files[i])) > 0;) (i ? err : out).write(buf, (std::streamsize)n);
    fclose(files[i]);
  }
  return WIFEXITED(st) && WEXITSTATUS(st) != 100 ? WEXITSTATUS(st) : -1;
}

TEST(ParseCommand, HostileInputsGetASoundAnswer) {
  fs::path dir = fs::temp_directory_path() / ("pelk_hostile_" + std::to_string(getpid()));
  fs::create_directories(dir / "in");
  const std::string log = run("sustained_overload").text;
  std::ofstream(dir / "in" / "a.log") << log;
  std::ofstream(dir / "lib.js") << "var Chart = function () {};";
  fs::create_symlink(dir / "in" / "a.log", dir / "link.log");
  fs::create_hard_link(dir / "in" / "a.log", dir / "hard.log");
  fs::create_symlink(dir / "in", dir / "in_link");
  std::string formula = log;
  for (size_t at = 0; (at = formula.find("      benchmark", at)) != std::string::npos;)
    formula.replace(at, 15, "  =HYPERLINK(1)");
  std::ofstream(dir / "formula.log") << formula;
  std::ofstream(dir / "escape.log") << "[K]  Cpus Usage [\x1b]0;owned\x07\n";
  // A subdirectory that cannot be listed, beside a log that can be read.
  fs::create_directories(dir / "tree" / "locked");
  std::ofstream(dir / "tree" / "b.log") << log;
  fs::permissions(dir / "tree" / "locked", fs::perms::none);
  // Figures the module cannot print, odd timestamps, names that are not
  // UTF-8, and a second phone's serial later in the log.
  std::string odd = log;
  auto swap = [&](const std::string &from, const std::string &to, bool all) {
    for (size_t at = 0; (at = odd.find(from, at)) != std::string::npos; at += to.size()) {
      odd.replace(at, from.size(), to);
      if (!all) break;
    }
  };
  swap("[ 2], [ 2], [ 2], [ 2]", "[18446744073709551615], [ 2], [ 2], [ 2]", false);
  swap("(12-07 00:00:06)", "(13-07 00:00:06)", false);
  swap("user[100]", "user[4294967312]", false);
  swap("[   99.000000]", "[0099.]", true);
  swap("[  101.000000]", "[00101.50]", true);
  swap("      benchmark", "\xc0\xaf\xed\xa0\x80\xf5" "benchmark", false);
  std::ofstream(dir / "odd.log") << "[    0.000000] Kernel command line: androidboot.serialno=ONE\n"
                                 << odd << "[  999.000000] Kernel command line: androidboot.serialno=TWO\n"
                                 << log;
  const std::string a = (dir / "in" / "a.log").string(), in = (dir / "in").string();
  auto at = [&](const char *name) { return (dir / name).string(); };
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // a piece of the message
    std::string out = "";  // a piece of the output
    bool unprivileged = false;
  };
  const std::string lib = "--chartjs=" + at("lib.js");
  const Case cases[] = {
      {{"parse", a, "-o", a}, 2, "the output " + a + " is also an input"},
      {{"parse", a, "-o", at("link.log")}, 2, "is also an input (" + a + ")"},
      {{"parse", at("hard.log"), "--output", a}, 2, "is also an input"},
      {{"parse", in, "-o", at("in/new.json")}, 2, "is inside an input directory (" + in + ")"},
      {{"parse", in, "-o", at("in_link/new.json")}, 2, "is inside an input directory"},
      {{"plot", a, "-o", at("link.log"), lib}, 2, "is also an input"},
      {{"plot", "--db", a, "-o", at("link.log"), lib}, 2, "is also an input"},
      {{"parse", a, "-o", "/dev/null"}, 0, ""},
      {{"parse", at("formula.log"), "--what=processes", "--format=csv"}, 0, "", ",\"'=HYPERLINK(1)\","},
      {{"parse", at("escape.log")}, 0, ":1: damaged Cpus Usage line: [K]  Cpus Usage [\\x1b]0;owned\\x07\n"},
      {{"parse", at("no\nsuch\x1b[2J.log")}, 1, "cannot read " + at("no\\x0asuch\\x1b[2J.log") + ": "},
      {{"parse", at("odd.log")}, 0, "damaged start line: [  103.000000] [K][Perf] PELK Perf Statistic start (13-07", "\"ts\":99,"},
      {{"parse", at("odd.log")}, 0, "damaged CPU split line: [0099.] [K]  user[4294967312]", "\"ts\":101.50,"},
      {{"parse", at("odd.log"), "--what=overload"}, 0, "", "\"online_cpus\":4,\"total_load\":null"},
      {{"parse", at("odd.log"), "--what=processes"}, 0, "", "\"name\":\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffdbenchmark\""},
      {{"parse", at("odd.log"), "--format=csv"}, 0, "", "odd.log,TWO,"},
      {{"parse", at("tree"), "--format=csv"}, 1, "cannot list " + at("tree/locked") + ": Permission denied", "b.log,", true},
      // The fleet database: never one of the logs, nor where they are read from.
      {{"parse", a, "--db", a}, 2, "the output " + a + " is also an input"},
      {{"parse", in, "--db", at("in_link/fleet.sqlite")}, 2, "is inside an input directory"},
      {{"parse", "-", "--db", at("fleet.sqlite")}, 2, "--db reads files, not standard input"},
      {{"parse", a, "--db", at("fleet.sqlite"), "--format=csv"}, 2, "--what, --format and -o do not go with it"},
      {{"parse", a, "-j", "2"}, 2, "-j goes with --db"},
      {{"parse", a, "--db", at("lib.js")}, 1, "cannot write " + at("lib.js") + ": file is not a database"},
  };
  for (const Case &c : cases) {
    std::string line;
    for (const std::string &w : c.args) line += w + " ";
    SCOPED_TRACE(line);
    std::ostringstream out, err;
    int status = c.unprivileged ? run_cli_unprivileged(c.args, out, err) : run_cli(c.args, out, err);
    if (status < 0) {
      std::cout << "row left out: the child cannot give up root to meet mode bits\n";
      continue;
    }
    EXPECT_EQ(status, c.status) << err.str();
    EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
    EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
    if (out.str().starts_with("[")) {
      EXPECT_TRUE(nlohmann::json::accept(out.str()));
    }
    for (char ch : err.str()) ASSERT_TRUE(ch == '\n' || ((unsigned char)ch >= 0x20 && ch != 0x7f)) << err.str();
    std::stringstream kept;
    kept << std::ifstream(a).rdbuf();
    ASSERT_EQ(kept.str(), log);
  }
  EXPECT_FALSE(fs::exists(dir / "in" / "new.json"));
  fs::permissions(dir / "tree" / "locked", fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(dir / "in" / "fleet.sqlite"));
  EXPECT_FALSE(fs::exists(dir / "fleet.sqlite"));
  fs::remove_all(dir);
}

TEST(PlotCommand, WritesOneSelfContainedPageWithTheLibraryAndItsLicence) {
  fs::path dir = fs::temp_directory_path() / ("pelk_plot_" + std::to_string(getpid()));
  fs::create_directories(dir);
  // A name that would end or change the page's script, were it not escaped.
  std::string log = run("sustained_overload").text;
  for (size_t at = 0; (at = log.find("      benchmark", at)) != std::string::npos;)
    log.replace(at, 15, "<!--<script>\xe2\x80\xa8");  // as wide
  std::ofstream(dir / "phone.log") << log;
  std::ofstream(dir / "lib.js") << "var Chart = function () {}; // </script> inside";
  std::string page_path = (dir / "page.html").string();
  cli({"plot", (dir / "phone.log").string(), "-o", page_path, "--chartjs", (dir / "lib.js").string()});
  std::ifstream in(page_path);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string page = ss.str();
  EXPECT_NE(page.find("var Chart = function () {}; // <\\/script> inside"), std::string::npos);
  EXPECT_NE(page.find("\\u003c!--\\u003cscript\\u003e\\u2028"), std::string::npos);
  EXPECT_EQ(page.find("<!--"), std::string::npos);
  EXPECT_EQ(page.find("\xe2\x80\xa8"), std::string::npos);
  EXPECT_NE(page.find("Permission is hereby granted, free of charge"), std::string::npos);
  EXPECT_EQ(page.find(" src="), std::string::npos);
  EXPECT_EQ(page.find("http://"), std::string::npos);
  // The overload streak reaches the third block, reported by the module.
  EXPECT_NE(page.find("total load 400 \\u003e= 392 (3 in a row), reported with pid 3000"), std::string::npos);
  // A log of more blocks than the page keeps point for point: each series
  // thinned, never past 1000 points, its one peak kept; the first events
  // listed and the rest counted.
  std::string longer;
  for (int copy = 0; copy < 120; ++copy) {
    std::string one = run("sustained_overload").text;
    if (copy == 61) one.replace(one.find("Cpus Usage [ 2]"), 15, "Cpus Usage [977]");
    longer += one;
  }
  std::ofstream(dir / "long.log") << longer;
  cli({"plot", (dir / "long.log").string(), "-o", page_path, "--chartjs", (dir / "lib.js").string()});
  std::stringstream long_page;
  long_page << std::ifstream(page_path).rdbuf();
  size_t from = long_page.str().find("const DATA = ") + 13;
  nlohmann::json data = nlohmann::json::parse(long_page.str().substr(from, long_page.str().find(";\n", from) - from));
  const nlohmann::json &cpu0 = data["cpus"][0]["points"];
  EXPECT_LE(cpu0.size(), 1000u);
  uint64_t peak = 0;
  for (const auto &p : cpu0) peak = std::max(peak, p["y"].get<uint64_t>());
  EXPECT_EQ(peak, 977u);
  EXPECT_EQ(data["events"].size(), 500u);
  EXPECT_GT(data["events_total"].get<uint64_t>(), 500u);
  cli({"plot", (dir / "phone.log").string()}, 2);
  cli({"plot", (dir / "phone.log").string(), "-o", page_path, "--chartjs", (dir / "none.js").string()}, 1);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pelk_tool

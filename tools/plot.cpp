#include "plot.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "log_table.h"
#include "option_arg.h"

#ifndef PELK_CHARTJS_PATH
#define PELK_CHARTJS_PATH "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace pelk_tool {

namespace {

using nlohmann::json;

const char kPlotUsage[] =
    "usage: pelk_perf_util plot [LOG] -o PAGE.html [OPTIONS]\n"
    "\n"
    "Reads one kernel log (standard input when none or \"-\" is given; a compressed\n"
    "log, or a bug report zip whose text entries are drawn together) and writes one\n"
    "self-contained HTML page with charts of its reports: per-CPU loads, the CPU\n"
    "time split, the busiest processes, system_server, and the overload, loading\n"
    "and health events.  The page needs no network access.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE      the page to write (required)\n"
    "  --chartjs FILE         the Chart.js library to inline (default: $PELK_CHARTJS,\n"
    "                         or " PELK_CHARTJS_PATH ")\n"
    "  --help                 show this help\n";

// Chart.js's licence, shipped with the page that inlines it.
const char kChartJsLicence[] =
    "Chart.js - https://www.chartjs.org - Copyright (c) 2014-2022 Chart.js Contributors\n"
    "\n"
    "Permission is hereby granted, free of charge, to any person obtaining a copy of this\n"
    "software and associated documentation files (the \"Software\"), to deal in the Software\n"
    "without restriction, including without limitation the rights to use, copy, modify, merge,\n"
    "publish, distribute, sublicense, and/or sell copies of the Software, and to permit persons\n"
    "to whom the Software is furnished to do so, subject to the following conditions:\n"
    "\n"
    "The above copyright notice and this permission notice shall be included in all copies or\n"
    "substantial portions of the Software.\n"
    "\n"
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED,\n"
    "INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR\n"
    "PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE\n"
    "FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR\n"
    "OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER\n"
    "DEALINGS IN THE SOFTWARE.\n";

const char kPageScript[] = R"JS(// Draws the charts of a pelk_perf_util plot page from DATA.
(function () {
  const D = DATA;
  const status = document.getElementById('status');
  const palette = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2', '#7f7f7f',
                   '#bcbd22', '#17becf'];
  const xTitle = D.x_is_time ? 'kernel time (s)' : 'report block';
  function base(yTitle, extra) {
    const o = {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: {mode: 'nearest', axis: 'x', intersect: false},
      plugins: {legend: {position: 'right', labels: {boxWidth: 12}},
                decimation: {enabled: true, algorithm: 'min-max'}},
      scales: {x: {type: 'linear', title: {display: true, text: xTitle}, min: D.x_min, max: D.x_max},
               y: {beginAtZero: true, title: {display: true, text: yTitle}}},
      elements: {point: {radius: 0}, line: {borderWidth: 1.5}}
    };
    return Object.assign(o, extra || {});
  }
  function line(label, points, i, more) {
    return Object.assign({label: label, data: points, borderColor: palette[i % palette.length],
                          backgroundColor: palette[i % palette.length]}, more || {});
  }
  // A y range that the first block's figures do not squash: the first block
  // after loading counts each process's whole lifetime.  Its taller points are clipped.
  const firstX = D.cycles.length ? D.cycles[0].x : null;
  function yMax(sets) {
    let m = 100;
    sets.forEach(s => s.data.forEach(p => { if (p.x !== firstX && p.y > m) m = p.y; }));
    return Math.ceil(m * 1.1 / 50) * 50;
  }
  const charts = [];
  function chart(id, cfg) { charts.push(new Chart(document.getElementById(id), cfg)); }

  // Per-CPU loads.
  const cpuSets = [];
  for (let c = 0; c < 8; c++) {
    if (!D.cycles.some(k => k.cpu && k.cpu[c] > 0)) continue;
    cpuSets.push(line('cpu' + c, D.cycles.filter(k => k.cpu).map(k => ({x: k.x, y: k.cpu[c]})), c));
  }
  chart('cpus', {type: 'line', data: {datasets: cpuSets}, options: base('% of one CPU')});

  // The split, stacked.
  const parts = ['user', 'system', 'iowait', 'irq', 'idle'];
  const splitSets = parts.map((p, i) => line(p, D.cycles.filter(k => k.split).map(k => ({x: k.x, y: k.split[i]})),
                                             i, {fill: true, stack: 's'}));
  const so = base('% of CPU time');
  so.scales.y.stacked = true;
  so.scales.y.max = 100;
  chart('split', {type: 'line', data: {datasets: splitSets}, options: so});

  // The busiest processes: the names with the most usage over the whole log.
  const procSets = D.processes.map((p, i) => line(p.name, p.points, i));
  const po = base('% of one CPU');
  po.scales.y.max = yMax(procSets);
  chart('procs', {type: 'line', data: {datasets: procSets}, options: po});

  // system_server: its usage in the top ten and its busiest thread.
  const ssSets = [line('system_server (top ten)', D.system_server, 0),
                  line('busiest thread (tenths of a second)', D.top_thread, 1, {showLine: false, pointRadius: 3}),
                  line('uevent threshold 150', [{x: D.x_min, y: 150}, {x: D.x_max, y: 150}], 3,
                       {borderDash: [6, 4], borderWidth: 1}),
                  line('thread list threshold 100', [{x: D.x_min, y: 100}, {x: D.x_max, y: 100}], 7,
                       {borderDash: [2, 3], borderWidth: 1})];
  const sso = base('% of one CPU');
  sso.scales.y.max = yMax(ssSets.slice(0, 2));
  chart('ss', {type: 'line', data: {datasets: ssSets}, options: sso});

  // Events on one time line.
  const kinds = ['overload', 'loading', 'health', 'incomplete'];
  const evSets = kinds.map((k, i) => ({
    label: k, data: D.events.filter(e => e.kind === k).map(e => ({x: e.x, y: i + 1, t: e.text})),
    backgroundColor: palette[[3, 1, 2, 7][i]], pointRadius: 5, pointStyle: ['triangle', 'rectRot', 'circle', 'crossRot'][i]
  }));
  const eo = base('');
  eo.scales.y = {min: 0, max: kinds.length + 1,
                 ticks: {stepSize: 1, autoSkip: false, callback: v => kinds[v - 1] || ''}};
  eo.plugins.tooltip = {callbacks: {label: c => c.raw.t}};
  eo.interaction = {mode: 'nearest', intersect: true};
  chart('events', {type: 'scatter', data: {datasets: evSets}, options: eo});

  const list = document.getElementById('eventlist');
  D.events.slice(0, 500).forEach(e => {
    const tr = document.createElement('tr');
    [String(e.x), e.kind, e.text].forEach(v => {
      const td = document.createElement('td');
      td.textContent = v;
      tr.appendChild(td);
    });
    list.appendChild(tr);
  });
  status.textContent = 'charts drawn: ' + charts.length;
})();
)JS";

const char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:12px 20px;color:#222}"
    "h1{font-size:18px;margin:4px 0}h2{font-size:14px;margin:14px 0 4px}"
    ".chart{position:relative;height:230px;max-width:1400px}"
    "#status{font-size:12px;color:#666}#errors{color:#b00;white-space:pre-wrap}"
    "table{border-collapse:collapse;font-size:12px}td{padding:1px 8px;border-bottom:1px solid #eee}"
    "p{font-size:13px;margin:2px 0}";

struct Collected {
  json cycles = json::array();
  json events = json::array();
  json system_server = json::array();
  json top_thread = json::array();
  std::map<std::string, std::vector<std::pair<double, uint64_t>>> usage;  // name -> (x, usage)
  std::map<std::string, uint64_t> usage_sum;
  size_t blocks = 0, incomplete = 0, thread_lists = 0, health = 0;
  bool any_ts = false, all_ts = true;
  double index = 0;
  int streak = 0;
  std::string device;
};

double x_of(Collected &c, const LogPlace &at) {
  c.index += 1;
  if (at.ts.empty()) {
    c.all_ts = false;
    return c.index;
  }
  c.any_ts = true;
  return strtod(at.ts.c_str(), nullptr);
}

LogSink collector(Collected &c) {
  LogSink s;
  s.cycle = [&c](const Cycle &k) {
    double x = x_of(c, k.at);
    ++c.blocks;
    json j = {{"x", x}, {"time", k.time.text()}};
    if (k.has_cpus) j["cpu"] = std::vector<uint64_t>(k.cpu, k.cpu + 8);
    if (k.has_split) j["split"] = {k.user, k.system, k.iowait, k.irq, k.idle};
    c.cycles.push_back(std::move(j));
    uint64_t ss = 0;
    bool have_ss = false;
    for (int r = 0; r < k.top_rows; ++r) {
      const TopRow &row = k.top[r];
      if (row.pid == 0) continue;
      c.usage[row.name].emplace_back(x, row.usage);
      c.usage_sum[row.name] += row.usage;
      if (row.name == "system_server" && !have_ss) ss = row.usage, have_ss = true;
    }
    // Out of the top ten, system_server's load is not known: a gap.
    if (k.top_rows) c.system_server.push_back({{"x", x}, {"y", have_ss ? json(ss) : json(nullptr)}});
    if (!k.complete()) {
      ++c.incomplete;
      c.events.push_back({{"x", x}, {"kind", "incomplete"},
                          {"text", "block at line " + std::to_string(k.at.line) + " lacks " + k.missing()}});
    }
    if (uint64_t threshold = k.overload_threshold(); k.has_cpus && threshold) {
      c.streak = k.total_load() >= threshold ? c.streak + 1 : 0;
      if (c.streak) {
        std::string text = "total load " + std::to_string(k.total_load()) + " >= " + std::to_string(threshold) +
                           " (" + std::to_string(c.streak) + " in a row)";
        if (k.overload_report_pid >= 0) text += ", reported with pid " + std::to_string(k.overload_report_pid);
        c.events.push_back({{"x", x}, {"kind", "overload"}, {"text", text}});
      }
    }
    if (k.loading_uevent)
      c.events.push_back({{"x", x}, {"kind", "loading"}, {"text", "SYSTEMSERVER_LOADING uevent"}});
  };
  s.threads = [&c](const ThreadList &t) {
    double x = x_of(c, t.at);
    ++c.thread_lists;
    std::string text = "system_server thread list";
    if (t.rows) {
      text += ", busiest " + t.row[0].comm + " " + std::to_string(t.row[0].usage);
      c.top_thread.push_back({{"x", x}, {"y", t.row[0].usage}});
    }
    c.events.push_back({{"x", x}, {"kind", "loading"}, {"text", text}});
  };
  s.health = [&c](const HealthLine &h) {
    double x = x_of(c, h.at);
    ++c.health;
    std::string text = h.name + " 1min " + std::to_string(h.one_min) + "% 5min " + std::to_string(h.five_min) + "%";
    if (h.report_pid >= 0) text += ", reported";
    c.events.push_back({{"x", x}, {"kind", "health"}, {"text", text}});
  };
  s.device = [&c](const std::string &d) { c.device = d; };
  return s;
}

std::string html_escape(const std::string &s) {
  std::string o;
  for (char ch : s) {
    if (ch == '<') o += "&lt;";
    else if (ch == '>') o += "&gt;";
    else if (ch == '&') o += "&amp;";
    else if (ch == '"') o += "&quot;";
    else o += ch;
  }
  return o;
}

// Text that is safe inside a <script> element.
std::string script_safe(std::string s) {
  for (size_t at = 0; (at = s.find("</", at)) != std::string::npos; at += 3) s.replace(at, 2, "<\\/");
  return s;
}

}  // namespace

int plot_command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  std::optional<std::string> output, chartjs;
  std::vector<std::string> paths;
  auto bad = [&](const std::string &msg) {
    err << "pelk_perf_util: " << msg << "\n\n" << kPlotUsage;
    return 2;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    OptionArg opt_arg = split_option(args[i]);
    const std::string &a = opt_arg.name;
    if (a == "--help" || a == "-h") {
      out << kPlotUsage;
      return 0;
    }
    if (a == "-o" || a == "--output" || a == "--chartjs") {
      std::optional<std::string> v = option_value(opt_arg, args, i);
      if (!v) return bad("option " + a + " needs a value");
      const std::string &value = *v;
      (a == "--chartjs" ? chartjs : output) = value;
    } else if (a.size() > 1 && a[0] == '-') {
      return bad("unknown option " + a);
    } else {
      paths.push_back(a);
    }
  }
  if (!output) return bad("plot needs -o PAGE.html");
  if (paths.size() > 1) return bad("plot draws one log at a time");
  if (paths.empty()) paths.push_back("-");
  if (!chartjs) {
    const char *env = getenv("PELK_CHARTJS");
    chartjs = env && *env ? env : PELK_CHARTJS_PATH;
  }
  std::ifstream lib(*chartjs, std::ios::binary);
  std::stringstream lib_text;
  lib_text << lib.rdbuf();
  if (!lib || lib_text.str().empty()) {
    err << "pelk_perf_util: cannot read the Chart.js library " << *chartjs
        << " (Debian package libjs-chart.js, or --chartjs FILE)\n";
    return 1;
  }

  Collected c;
  uint64_t damaged = 0;
  bool ok = read_logs(paths, [&](const std::string &) { return collector(c); }, err, &damaged);
  if (!ok) return 1;
  if (damaged) err << "pelk_perf_util: " << damaged << " damaged line(s) left out\n";

  // With timestamps on every record the x axis is kernel time; otherwise it
  // counts the records in log order.
  bool time_axis = c.any_ts && c.all_ts;
  double x_min = 0, x_max = 1;
  bool first = true;
  for (const json *points : {&c.cycles, &c.events}) {
    for (const json &p : *points) {
      double x = p["x"].get<double>();
      if (first || x < x_min) x_min = x;
      if (first || x > x_max) x_max = x;
      first = false;
    }
  }
  if (x_max <= x_min) x_max = x_min + 1;

  std::vector<std::pair<uint64_t, std::string>> ranked;
  for (const auto &[name, sum] : c.usage_sum) ranked.emplace_back(sum, name);
  std::sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  json processes = json::array();
  for (size_t i = 0; i < ranked.size() && i < 8; ++i) {
    json pts = json::array();
    for (const auto &[x, u] : c.usage[ranked[i].second]) pts.push_back({{"x", x}, {"y", u}});
    processes.push_back({{"name", ranked[i].second}, {"points", pts}});
  }

  json data = {{"x_is_time", time_axis}, {"x_min", x_min}, {"x_max", x_max}, {"cycles", c.cycles},
               {"processes", processes}, {"system_server", c.system_server}, {"top_thread", c.top_thread},
               {"events", c.events}};
  std::string title = paths[0] == "-" ? "standard input" : paths[0];

  std::ofstream page(*output, std::ios::binary | std::ios::trunc);
  if (!page) {
    err << "pelk_perf_util: cannot write " << *output << ": " << strerror(errno) << "\n";
    return 1;
  }
  page << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>pelk_perf_util: "
       << html_escape(title) << "</title>\n<style>" << kStyle << "</style>\n"
       << "<script>window.addEventListener('error',function(e){document.getElementById('errors').textContent+="
          "'script error: '+e.message+'; ';});</script>\n"
       << "<script>\n/*\n" << kChartJsLicence << "*/\n" << script_safe(lib_text.str()) << "\n</script>\n</head>\n<body>\n"
       << "<h1>pelk_perf_util: " << html_escape(title) << "</h1>\n"
       << "<p>" << c.blocks << " report blocks (" << c.incomplete << " incomplete), " << c.thread_lists
       << " system_server thread lists, " << c.health << " health lines" << (damaged ? ", " : "")
       << (damaged ? std::to_string(damaged) + " damaged lines" : std::string())
       << (c.device.empty() ? std::string() : ", device " + html_escape(c.device)) << ".</p>\n"
       << "<div id=\"status\">charts not drawn</div><div id=\"errors\"></div>\n"
       << "<h2>Per-CPU load, % of one CPU</h2><div class=\"chart\"><canvas id=\"cpus\"></canvas></div>\n"
       << "<h2>CPU time split, %</h2><div class=\"chart\"><canvas id=\"split\"></canvas></div>\n"
       << "<h2>Busiest processes, % of one CPU</h2><div class=\"chart\"><canvas id=\"procs\"></canvas></div>\n"
       << "<h2>system_server</h2><div class=\"chart\"><canvas id=\"ss\"></canvas></div>\n"
       << "<h2>Events</h2><div class=\"chart\" style=\"height:170px\"><canvas id=\"events\"></canvas></div>\n"
       << "<table><tbody id=\"eventlist\"></tbody></table>\n"
       << "<script>\nconst DATA = "
       << script_safe(data.dump(-1, ' ', false, json::error_handler_t::replace)) << ";\n"
       << kPageScript << "\n</script>\n</body></html>\n";
  page.flush();
  if (!page) {
    err << "pelk_perf_util: cannot write " << *output << "\n";
    return 1;
  }
  return 0;
}

}  // namespace pelk_tool

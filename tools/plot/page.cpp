#include "page.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

#include "page_text.h"

namespace pelk_tool {

using nlohmann::json;

struct Page::Collected {
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

namespace {

double x_of(Page::Collected &c, const LogPlace &at) {
  c.index += 1;
  if (at.ts.empty()) {
    c.all_ts = false;
    return c.index;
  }
  c.any_ts = true;
  return strtod(at.ts.c_str(), nullptr);
}

LogSink collector(Page::Collected &c) {
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

}  // namespace

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

// JSON that can neither end the <script> it stands in nor open a comment or a
// tag there, nor end a line of the script: <, >, & and U+2028, U+2029 (which
// only ever stand inside strings) written as \u escapes.
std::string script_json(const json &j) {
  std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace), o;
  o.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char ch = s[i];
    if (ch == '<') o += "\\u003c";
    else if (ch == '>') o += "\\u003e";
    else if (ch == '&') o += "\\u0026";
    else if (ch == '\xe2' && i + 2 < s.size() && s[i + 1] == '\x80' && (s[i + 2] == '\xa8' || s[i + 2] == '\xa9'))
      o += s[i + 2] == '\xa8' ? "\\u2028" : "\\u2029", i += 2;
    else o += ch;
  }
  return o;
}

Page::Page() : c_(std::make_unique<Collected>()) {}
Page::~Page() = default;

LogSink Page::sink() { return collector(*c_); }

void Page::write(std::ostream &out, const std::string &title, const std::string &chartjs, uint64_t damaged) const {
  const Collected &c = *c_;
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
    for (const auto &[x, u] : c.usage.at(ranked[i].second)) pts.push_back({{"x", x}, {"y", u}});
    processes.push_back({{"name", ranked[i].second}, {"points", pts}});
  }

  json data = {{"x_is_time", time_axis}, {"x_min", x_min}, {"x_max", x_max}, {"cycles", c.cycles},
               {"processes", processes}, {"system_server", c.system_server}, {"top_thread", c.top_thread},
               {"events", c.events}};
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>pelk_perf_util: "
       << html_escape(title) << "</title>\n<style>" << page_style() << "</style>\n"
       << "<script>window.addEventListener('error',function(e){document.getElementById('errors').textContent+="
          "'script error: '+e.message+'; ';});</script>\n"
       << "<script>\n/*\n" << kChartJsLicence << "*/\n" << script_safe(chartjs) << "\n</script>\n</head>\n<body>\n"
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
       << script_json(data) << ";\n"
       << page_script() << "\n</script>\n</body></html>\n";
}

}  // namespace pelk_tool

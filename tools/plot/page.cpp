#include "page.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "page_text.h"

namespace pelk_tool {

using nlohmann::json;

namespace {

// What the page holds does not grow with the log: each series is kept as at
// most kBuckets buckets of consecutive records (one record a bucket until the
// log has more, then two, four, ...), each with its lowest and its highest
// point, so a peak is never lost to the thinning.  The busiest process names
// are followed kTracked at a time (the busiest found so far, Space-Saving:
// a new name takes the place of the least busy one and starts from its sum),
// and kDrawn of them are drawn, the rest summed as "other".
constexpr uint64_t kBuckets = 500;
constexpr size_t kTracked = 256;
constexpr size_t kDrawn = 8;
constexpr size_t kListed = 500;  // events listed in full below the charts

struct Point {
  uint64_t seq = 0;  // the record's place in the log
  double x = 0;
  double y = 0;  // a chart's figure: exact up to 2^53, which no load nears
};

struct Bucket {
  uint64_t id = 0;
  Point lo, hi;      // the lowest and highest point (the first of equals)
  double sum = 0;    // of the points' y
  uint64_t n = 0;    // points; none for a stretch where the value is not known (a gap)
};

// A figure as JSON: an integer when it is one.
json number(double v) {
  if (v == (double)(int64_t)v && v > -9e15 && v < 9e15) return (int64_t)v;
  return v;
}

// One series, thinned to its lows and highs per bucket.
class Series {
 public:
  void add(uint64_t id, const Point &p) {
    Bucket *b = at(id, p);
    if (b->n == 0) b->lo = b->hi = p;
    else if (p.y < b->lo.y) b->lo = p;
    else if (p.y > b->hi.y) b->hi = p;
    b->sum += p.y;
    ++b->n;
  }
  // A record where the value is not known: a gap, unless the bucket has a value.
  void gap(uint64_t id, const Point &p) { at(id, p); }
  // Buckets twice as wide: ids halved, neighbours merged.
  void widen() {
    size_t out = 0;
    for (size_t i = 0; i < b_.size(); ++i) {
      Bucket k = b_[i];
      k.id /= 2;
      if (out && b_[out - 1].id == k.id) {
        Bucket &m = b_[out - 1];
        if (m.n == 0) {
          if (k.n) m.lo = k.lo, m.hi = k.hi;
        } else if (k.n) {
          if (k.lo.y < m.lo.y) m.lo = k.lo;
          if (k.hi.y > m.hi.y) m.hi = k.hi;
        }
        m.sum += k.sum;
        m.n += k.n;
      } else {
        b_[out++] = k;
      }
    }
    b_.resize(out);
  }
  bool empty() const { return b_.empty(); }
  const std::vector<Bucket> &buckets() const { return b_; }
  // Chart.js points, in log order: a bucket's low and high (one point when
  // they are the same record), null for a gap.
  json points() const {
    json a = json::array();
    for (const Bucket &k : b_) {
      if (k.n == 0) {
        a.push_back({{"x", k.lo.x}, {"y", nullptr}});
        continue;
      }
      const Point &first = k.lo.seq <= k.hi.seq ? k.lo : k.hi, &last = k.lo.seq <= k.hi.seq ? k.hi : k.lo;
      a.push_back({{"x", first.x}, {"y", number(first.y)}});
      if (last.seq != first.seq) a.push_back({{"x", last.x}, {"y", number(last.y)}});
    }
    return a;
  }

 private:
  Bucket *at(uint64_t id, const Point &p) {
    if (b_.empty() || b_.back().id != id) {
      Bucket k;
      k.id = id;
      k.lo = k.hi = p;
      b_.push_back(k);
    }
    return &b_.back();
  }
  std::vector<Bucket> b_;
};

// The events of one kind on the time line: the first of each bucket, with
// how many it stands for.
const char *const kKinds[] = {"overload", "loading", "health", "incomplete"};
struct Mark {
  uint64_t id = 0, count = 0;
  double x = 0;
  std::string text;
};

}  // namespace

struct Page::Collected {
  uint64_t seq = 0, width = 1;  // records so far; records a bucket
  Series cpu[8], split[5], system_server, top_thread;
  struct Tracked {
    uint64_t sum = 0;
    Series usage;
  };
  std::map<std::string, Tracked> names;
  std::set<std::pair<uint64_t, std::string>> by_sum;  // the followed names, least busy first
  uint64_t names_dropped = 0;
  // Per bucket: all top-ten usage, and the blocks that had a top ten.
  struct Total {
    uint64_t id = 0, sum = 0, blocks = 0;
    double x = 0;
  };
  std::vector<Total> totals;
  std::vector<Mark> marks[4];  // overload, loading, health, incomplete
  json listed = json::array();
  uint64_t events = 0;
  size_t blocks = 0, incomplete = 0, thread_lists = 0, health = 0;
  int streak = 0;
  bool any_ts = false, all_ts = true, have_x = false, have_first = false;
  double x_min = 0, x_max = 1, first_x = 0;
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

// The next record's place: its x (kernel time, or its order in the log),
// and the bucket it falls in, the buckets widened when the log outgrows them.
struct Place {
  Point p;
  uint64_t id;
};

void widen(Page::Collected &c) {
  c.width *= 2;
  for (Series &s : c.cpu) s.widen();
  for (Series &s : c.split) s.widen();
  c.system_server.widen();
  c.top_thread.widen();
  for (auto &[name, t] : c.names) t.usage.widen();
  size_t out = 0;
  for (size_t i = 0; i < c.totals.size(); ++i) {
    Page::Collected::Total t = c.totals[i];
    t.id /= 2;
    if (out && c.totals[out - 1].id == t.id) c.totals[out - 1].sum += t.sum, c.totals[out - 1].blocks += t.blocks;
    else c.totals[out++] = t;
  }
  c.totals.resize(out);
  for (std::vector<Mark> &kind : c.marks) {
    out = 0;
    for (size_t i = 0; i < kind.size(); ++i) {
      Mark m = std::move(kind[i]);
      m.id /= 2;
      if (out && kind[out - 1].id == m.id) kind[out - 1].count += m.count;
      else kind[out++] = std::move(m);
    }
    kind.resize(out);
  }
}

Place next(Page::Collected &c, const LogPlace &at) {
  Place pl;
  pl.p.seq = c.seq++;
  if (at.ts.empty()) {
    c.all_ts = false;
    pl.p.x = (double)c.seq;
  } else {
    c.any_ts = true;
    pl.p.x = strtod(at.ts.c_str(), nullptr);
  }
  if (!c.have_x || pl.p.x < c.x_min) c.x_min = pl.p.x;
  if (!c.have_x || pl.p.x > c.x_max) c.x_max = pl.p.x;
  c.have_x = true;
  while (pl.p.seq / c.width >= kBuckets) widen(c);
  pl.id = pl.p.seq / c.width;
  return pl;
}

Point with_y(Point p, double y) {
  p.y = y;
  return p;
}

void event(Page::Collected &c, const Place &pl, int kind, std::string text) {
  ++c.events;
  std::vector<Mark> &marks = c.marks[kind];
  if (!marks.empty() && marks.back().id == pl.id) ++marks.back().count;
  else marks.push_back({pl.id, 1, pl.p.x, text});
  if (c.listed.size() < kListed) c.listed.push_back({{"x", pl.p.x}, {"kind", kKinds[kind]}, {"text", std::move(text)}});
}

// A process's usage in a block: followed under its name, the least busy
// name making room for a new one when kTracked are followed.
void usage(Page::Collected &c, const Place &pl, const std::string &name, uint64_t u) {
  auto it = c.names.find(name);
  uint64_t base = 0;
  if (it == c.names.end()) {
    if (c.names.size() >= kTracked) {
      auto least = c.by_sum.begin();
      base = least->first;
      c.names.erase(least->second);
      c.by_sum.erase(least);
      ++c.names_dropped;
    }
    it = c.names.emplace(name, Page::Collected::Tracked{base, {}}).first;
  } else {
    c.by_sum.erase({it->second.sum, name});
  }
  Page::Collected::Tracked &t = it->second;
  t.sum = t.sum + u < t.sum ? UINT64_MAX : t.sum + u;
  c.by_sum.insert({t.sum, name});
  t.usage.add(pl.id, with_y(pl.p, (double)u));
}

LogSink collector(Page::Collected &c) {
  LogSink s;
  s.cycle = [&c](const Cycle &k) {
    Place pl = next(c, k.at);
    ++c.blocks;
    if (!c.have_first) c.first_x = pl.p.x, c.have_first = true;
    if (k.has_cpus)
      for (int i = 0; i < 8; ++i) c.cpu[i].add(pl.id, with_y(pl.p, (double)k.cpu[i]));
    if (k.has_split) {
      const int parts[] = {k.user, k.system, k.iowait, k.irq, k.idle};
      for (int i = 0; i < 5; ++i) c.split[i].add(pl.id, with_y(pl.p, parts[i]));
    }
    uint64_t ss = 0, total = 0;
    bool have_ss = false;
    for (int r = 0; r < k.top_rows; ++r) {
      const TopRow &row = k.top[r];
      if (row.pid == 0) continue;
      usage(c, pl, row.name, row.usage);
      total = total + row.usage < total ? UINT64_MAX : total + row.usage;
      if (row.name == "system_server" && !have_ss) ss = row.usage, have_ss = true;
    }
    if (k.top_rows) {
      if (c.totals.empty() || c.totals.back().id != pl.id) c.totals.push_back({pl.id, 0, 0, pl.p.x});
      Page::Collected::Total &t = c.totals.back();
      t.sum = t.sum + total < t.sum ? UINT64_MAX : t.sum + total;
      ++t.blocks;
      // Out of the top ten, system_server's load is not known: a gap.
      if (have_ss) c.system_server.add(pl.id, with_y(pl.p, (double)ss));
      else c.system_server.gap(pl.id, pl.p);
    }
    if (!k.complete()) {
      ++c.incomplete;
      event(c, pl, 3, "block at line " + std::to_string(k.at.line) + " lacks " + k.missing());
    }
    if (uint64_t threshold = k.overload_threshold(); k.has_cpus && threshold) {
      c.streak = k.total_load() >= threshold ? c.streak + 1 : 0;
      if (c.streak) {
        std::string text = "total load " + std::to_string(k.total_load()) + " >= " + std::to_string(threshold) +
                           " (" + std::to_string(c.streak) + " in a row)";
        if (k.overload_report_pid >= 0) text += ", reported with pid " + std::to_string(k.overload_report_pid);
        event(c, pl, 0, std::move(text));
      }
    }
    if (k.loading_uevent) event(c, pl, 1, "SYSTEMSERVER_LOADING uevent");
  };
  s.threads = [&c](const ThreadList &t) {
    Place pl = next(c, t.at);
    ++c.thread_lists;
    std::string text = "system_server thread list";
    if (t.rows) {
      text += ", busiest " + t.row[0].comm + " " + std::to_string(t.row[0].usage);
      c.top_thread.add(pl.id, with_y(pl.p, (double)t.row[0].usage));
    }
    event(c, pl, 1, std::move(text));
  };
  s.health = [&c](const HealthLine &h) {
    Place pl = next(c, h.at);
    ++c.health;
    std::string text = h.name + " 1min " + std::to_string(h.one_min) + "% 5min " + std::to_string(h.five_min) + "%";
    if (h.report_pid >= 0) text += ", reported";
    event(c, pl, 2, std::move(text));
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
  double x_min = c.x_min, x_max = c.x_max;
  if (x_max <= x_min) x_max = x_min + 1;

  // The busiest names over the log drawn, the rest of the top ten summed as
  // "other" (per bucket, the mean of its blocks: a sum of many names has no
  // one peak to keep).
  std::vector<std::pair<uint64_t, std::string>> ranked;
  for (const auto &[name, t] : c.names) ranked.emplace_back(t.sum, name);
  std::sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  json processes = json::array();
  std::vector<double> drawn(c.totals.size(), 0.0);
  for (size_t i = 0; i < ranked.size() && i < kDrawn; ++i) {
    const Series &s = c.names.at(ranked[i].second).usage;
    processes.push_back({{"name", ranked[i].second}, {"points", s.points()}});
    size_t at = 0;
    for (const Bucket &k : s.buckets()) {
      while (at < c.totals.size() && c.totals[at].id < k.id) ++at;
      if (at < c.totals.size() && c.totals[at].id == k.id) drawn[at] += k.sum;
    }
  }
  json other = json::array();
  if (ranked.size() > kDrawn || c.names_dropped)
    for (size_t i = 0; i < c.totals.size(); ++i) {
      const Collected::Total &t = c.totals[i];
      double rest = (double)t.sum - drawn[i];
      other.push_back({{"x", t.x}, {"y", number(rest > 0 ? rest / (double)t.blocks : 0)}});
    }
  json cpus = json::array(), split = json::array(), marks = json::object();
  for (int i = 0; i < 8; ++i) {
    bool busy = false;
    for (const Bucket &k : c.cpu[i].buckets()) busy = busy || (k.n && k.hi.y > 0);
    if (busy) cpus.push_back({{"cpu", i}, {"points", c.cpu[i].points()}});
  }
  for (const Series &s : c.split) split.push_back(s.points());
  for (int i = 0; i < 4; ++i) {
    json a = json::array();
    for (const Mark &m : c.marks[i])
      a.push_back({{"x", m.x},
                   {"t", m.count > 1 ? m.text + " (and " + std::to_string(m.count - 1) + " more)" : m.text}});
    marks[kKinds[i]] = std::move(a);
  }

  json data = {{"x_is_time", time_axis}, {"x_min", x_min}, {"x_max", x_max}, {"first_x", c.have_first ? json(c.first_x) : json(nullptr)},
               {"cpus", cpus}, {"split", split}, {"processes", processes}, {"other", other},
               {"system_server", c.system_server.points()}, {"top_thread", c.top_thread.points()},
               {"marks", marks}, {"events", c.listed}, {"events_total", c.events}};
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

bool open_page_file(std::ofstream &file, const std::string &output, std::ostream &err) {
  file.open(output, std::ios::binary | std::ios::trunc);
  if (file) return true;
  err << "pelk_perf_util: cannot write " << shown(output) << ": " << strerror(errno) << "\n";
  return false;
}

bool close_page_file(std::ofstream &file, const std::string &output, std::ostream &err) {
  file.flush();
  if (file) return true;
  err << "pelk_perf_util: cannot write " << shown(output) << "\n";
  return false;
}

}  // namespace pelk_tool

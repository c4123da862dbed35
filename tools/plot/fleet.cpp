#include "fleet.h"

#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <vector>

#include <nlohmann/json.hpp>

#include "log_parse.h"
#include "page.h"
#include "page_text.h"

namespace pelk_tool {

using nlohmann::json;

namespace {

// A read-only connection: a run of `parse --db` may be writing (the database
// is in WAL mode, so this reader sees the files committed when it starts).
class Db {
 public:
  Db(const std::string &path, std::ostream &err) : path_(path), err_(err) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) fail();
    else sqlite3_busy_timeout(db_, 10000);
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db &) = delete;
  Db &operator=(const Db &) = delete;
  explicit operator bool() const { return ok_; }

  // Runs sql, the ?s bound to texts in order, calling row for each row.
  bool query(const std::string &sql, const std::vector<std::string> &texts,
             const std::function<void(sqlite3_stmt *)> &row) {
    if (!ok_) return false;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return fail();
    for (size_t i = 0; i < texts.size(); ++i)
      sqlite3_bind_text(st, (int)i + 1, texts[i].data(), (int)texts[i].size(), SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) row(st);
    sqlite3_finalize(st);
    return rc == SQLITE_DONE || fail();
  }

  // A statement stepped by hand, for reading several tables side by side.
  sqlite3_stmt *prepare(const std::string &sql, const std::string &text) {
    sqlite3_stmt *st = nullptr;
    if (!ok_ || sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      fail();
      return nullptr;
    }
    sqlite3_bind_text(st, 1, text.data(), (int)text.size(), SQLITE_TRANSIENT);
    return st;
  }
  bool fail() {
    if (ok_)
      err_ << "pelk_perf_util: cannot read the fleet database " << shown(path_) << ": "
           << (db_ ? sqlite3_errmsg(db_) : "out of memory") << "\n";
    ok_ = false;
    return false;
  }

 private:
  std::string path_;
  std::ostream &err_;
  sqlite3 *db_ = nullptr;
  bool ok_ = true;
};

json column(sqlite3_stmt *st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL: return nullptr;
    case SQLITE_INTEGER: return (int64_t)sqlite3_column_int64(st, i);
    case SQLITE_FLOAT: return sqlite3_column_double(st, i);
    default: return std::string((const char *)sqlite3_column_text(st, i), (size_t)sqlite3_column_bytes(st, i));
  }
}

std::string text(sqlite3_stmt *st, int i) {
  const unsigned char *t = sqlite3_column_text(st, i);
  return t ? std::string((const char *)t, (size_t)sqlite3_column_bytes(st, i)) : std::string();
}

int64_t integer(sqlite3_stmt *st, int i) { return sqlite3_column_int64(st, i); }
bool is_null(sqlite3_stmt *st, int i) { return sqlite3_column_type(st, i) == SQLITE_NULL; }

// The figures of each device ("" stands for the rows without a serial):
//   seen_ms, over_ms  the blocks whose overload check is known (a top-ten
//                     header gives the online CPUs), their periods summed,
//                     all of them and the overloaded ones;
//   tops, ss100/150   the blocks with a top ten, and those where system_server
//                     shows 100 or 150 (% of one CPU) or more, the module's
//                     thresholds for the thread list and the loading uevent
//                     (out of the top ten it counts as below);
//   sleep_s, span_s   modem sleep (the MD counter's growth) and the UTC time
//                     it grew over, between consecutive valid modem lines of
//                     the same UTC day, duplicates of the same line (logs that
//                     overlap) taken once; a counter that went back restarted
//                     and counts from 0.
const char kDays[] = R"sql(
CREATE TEMP TABLE days AS
WITH md AS (SELECT DISTINCT IFNULL(device, '') AS dev, utc, md_s FROM modem
            WHERE status = 'ok' AND utc IS NOT NULL AND md_s IS NOT NULL),
mdd AS (SELECT dev, utc, md_s, LAG(md_s) OVER w AS prev, LAG(utc) OVER w AS prev_utc
        FROM md WINDOW w AS (PARTITION BY dev ORDER BY utc, md_s))
SELECT dev, substr(utc, 1, 10) AS day, SUM(CASE WHEN md_s >= prev THEN md_s - prev ELSE md_s END) AS sleep_s,
       SUM(CAST(strftime('%s', utc) AS INTEGER) - CAST(strftime('%s', prev_utc) AS INTEGER)) AS span_s
FROM mdd WHERE substr(prev_utc, 1, 10) = substr(utc, 1, 10) GROUP BY 1, 2
)sql";

const char kFigures[] = R"sql(
CREATE TEMP TABLE fig AS
WITH devs AS (SELECT IFNULL(device, '') AS dev, COUNT(*) AS blocks, COUNT(DISTINCT file) AS files
              FROM cycles GROUP BY 1),
ov AS (SELECT IFNULL(o.device, '') AS dev, SUM(c.period_ms) AS seen_ms,
              SUM(CASE WHEN o.overloaded THEN c.period_ms ELSE 0 END) AS over_ms
       FROM overload o JOIN cycles c ON c.file = o.file AND c.line = o.line
       WHERE o.overloaded IS NOT NULL GROUP BY 1),
ssu AS (SELECT file, cycle_line, MAX(usage) AS u FROM processes WHERE name = 'system_server' GROUP BY 1, 2),
ss AS (SELECT IFNULL(c.device, '') AS dev, COUNT(*) AS tops, SUM(IFNULL(ssu.u, 0) >= 100) AS ss100,
              SUM(IFNULL(ssu.u, 0) >= 150) AS ss150
       FROM cycles c LEFT JOIN ssu ON ssu.file = c.file AND ssu.cycle_line = c.line
       WHERE c.top_rows > 0 GROUP BY 1),
hl AS (SELECT IFNULL(device, '') AS dev, COUNT(*) AS lines FROM health GROUP BY 1),
mdev AS (SELECT dev, SUM(sleep_s) AS sleep_s, SUM(span_s) AS span_s FROM days GROUP BY 1)
SELECT d.dev, d.files, d.blocks, IFNULL(ov.seen_ms, 0) AS seen_ms, IFNULL(ov.over_ms, 0) AS over_ms,
       IFNULL(ss.tops, 0) AS tops, IFNULL(ss.ss100, 0) AS ss100, IFNULL(ss.ss150, 0) AS ss150,
       IFNULL(hl.lines, 0) AS health, mdev.sleep_s, mdev.span_s
FROM devs d LEFT JOIN ov USING (dev) LEFT JOIN ss USING (dev) LEFT JOIN hl USING (dev) LEFT JOIN mdev USING (dev)
)sql";

// The worst devices: the longest overloaded, then the largest shares of
// blocks with system_server at 150 and at 100.
const char kWorstOrder[] =
    "over_ms DESC, ss150 * 1.0 / MAX(tops, 1) DESC, ss100 * 1.0 / MAX(tops, 1) DESC, dev";

// The first n of a ranking by name, and the rest as one group (dev null).
std::string ranked(const std::string &select, const std::string &order, int n) {
  return "SELECT CASE WHEN rn <= " + std::to_string(n) + " THEN dev END AS d, COUNT(*), " + select +
         " FROM (SELECT *, ROW_NUMBER() OVER (ORDER BY " + order + ") AS rn FROM fig) GROUP BY d ORDER BY MIN(rn)";
}

const char kHealthApps[] = R"sql(
WITH a AS (SELECT name, COUNT(DISTINCT IFNULL(device, '')) AS devices, COUNT(*) AS lines FROM health GROUP BY name),
r AS (SELECT name, devices, lines, ROW_NUMBER() OVER (ORDER BY devices DESC, lines DESC, name) AS rn FROM a)
SELECT * FROM (
  SELECT name, devices, lines, 1 AS apps, rn FROM r WHERE rn <= ?1
  UNION ALL
  SELECT NULL, COUNT(DISTINCT IFNULL(h.device, '')), COUNT(*), COUNT(DISTINCT h.name), ?1 + 1
  FROM health h JOIN r ON r.name = h.name AND r.rn > ?1)
WHERE lines > 0 ORDER BY rn
)sql";

// Per-CPU loads in bins of 10 (the last, 100 and more), for the CPUs that
// were busy at some time on the device; the devices of highest mean load
// first, the others together.
const char kCpuLoads[] = R"sql(
WITH v AS (SELECT IFNULL(device, '') AS dev, 0 AS k, cpu0 AS l FROM cpus
           UNION ALL SELECT IFNULL(device, ''), 1, cpu1 FROM cpus UNION ALL SELECT IFNULL(device, ''), 2, cpu2 FROM cpus
           UNION ALL SELECT IFNULL(device, ''), 3, cpu3 FROM cpus UNION ALL SELECT IFNULL(device, ''), 4, cpu4 FROM cpus
           UNION ALL SELECT IFNULL(device, ''), 5, cpu5 FROM cpus UNION ALL SELECT IFNULL(device, ''), 6, cpu6 FROM cpus
           UNION ALL SELECT IFNULL(device, ''), 7, cpu7 FROM cpus),
busy AS (SELECT dev, k FROM v GROUP BY 1, 2 HAVING MAX(l) > 0),
b AS (SELECT v.dev, v.l FROM v JOIN busy ON busy.dev = v.dev AND busy.k = v.k),
r AS (SELECT dev, ROW_NUMBER() OVER (ORDER BY AVG(l) DESC, dev) AS rn FROM b GROUP BY dev)
SELECT CASE WHEN r.rn <= ?1 THEN r.dev END AS d, MIN(CAST(b.l AS INTEGER) / 10, 10) AS bin, COUNT(*),
       (SELECT COUNT(*) FROM r WHERE rn > ?1)
FROM b JOIN r USING (dev) GROUP BY d, bin ORDER BY MIN(MIN(r.rn, ?1 + 1)), bin
)sql";

// Modem sleep by UTC day over the last 90 days of the fleet, the devices
// that slept the least first, the others together.
const char kModemDays[] = R"sql(
WITH last AS (SELECT * FROM days WHERE day >= (SELECT date(MAX(day), '-89 days') FROM days)),
r AS (SELECT dev, ROW_NUMBER() OVER (ORDER BY SUM(sleep_s) * 1.0 / MAX(SUM(span_s), 1), dev) AS rn
      FROM last GROUP BY dev)
SELECT CASE WHEN r.rn <= ?1 THEN r.dev END AS d, day, SUM(sleep_s), SUM(span_s),
       (SELECT COUNT(*) FROM r WHERE rn > ?1)
FROM last JOIN r USING (dev) GROUP BY d, day ORDER BY MIN(MIN(r.rn, ?1 + 1)), day
)sql";

// sql with n written for each ?1 (the queries bind only texts).
std::string with_n(const char *sql, int n) {
  std::string s, number = std::to_string(n);
  for (const char *p = sql; *p; ++p) {
    if (p[0] == '?' && p[1] == '1') s += number, ++p;
    else s += *p;
  }
  return s;
}

// Groups the rows of a "first n and the rest" query (device or null first)
// into series: {device, devices, points}.
void add_point(json &series, sqlite3_stmt *st, json point, int64_t devices) {
  json d = column(st, 0);
  if (series.empty() || series.back()["device"] != d)
    series.push_back({{"device", d}, {"devices", d.is_null() ? devices : 1}, {"points", json::array()}});
  series.back()["points"].push_back(std::move(point));
}

}  // namespace

std::string fleet_device_page_name(const std::string &output, const std::string &serial) {
  size_t slash = output.find_last_of('/');
  std::string dir = slash == std::string::npos ? "" : output.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
  if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0) name.resize(name.size() - 5);
  name += '-';
  for (unsigned char ch : serial) {
    if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '.' || ch == '-') {
      name += (char)ch;
    } else {
      char tmp[4];
      snprintf(tmp, sizeof tmp, "_%02x", ch);
      name += tmp;
    }
  }
  return dir + name + ".html";
}

bool write_fleet_pages(const std::string &db_path, const std::string &output, const std::string &chartjs,
                       std::ostream &err) {
  Db db(db_path, err);
  json data = {{"top", kFleetTop}, {"series", kFleetSeries}};
  json &worst = data["worst"] = json::array();
  std::vector<std::string> paged;
  // One read transaction: every figure of the page from the same files, while
  // a run of `parse --db` may be adding more.  Each device's figures are
  // computed once.
  db.query("BEGIN", {}, [](sqlite3_stmt *) {});
  db.query(kDays, {}, [](sqlite3_stmt *) {});
  db.query(kFigures, {}, [](sqlite3_stmt *) {});
  db.query(std::string("SELECT * FROM fig ORDER BY ") + kWorstOrder + " LIMIT " +
               std::to_string(kFleetTop),
           {}, [&](sqlite3_stmt *st) {
             std::string dev = text(st, 0);
             json page;
             if (!dev.empty()) {
               std::string file = fleet_device_page_name(output, dev);
               page = file.substr(file.find_last_of('/') + 1);
               paged.push_back(dev);
             }
             worst.push_back({{"device", dev}, {"page", page}, {"files", integer(st, 1)},
                              {"blocks", integer(st, 2)}, {"seen_ms", integer(st, 3)}, {"over_ms", integer(st, 4)},
                              {"tops", integer(st, 5)}, {"ss100", integer(st, 6)}, {"ss150", integer(st, 7)},
                              {"health", integer(st, 8)}, {"sleep_s", column(st, 9)}, {"span_s", column(st, 10)}});
           });
  db.query("SELECT COUNT(*), SUM(files), SUM(blocks) FROM fig", {}, [&](sqlite3_stmt *st) {
    data["devices"] = integer(st, 0), data["files"] = integer(st, 1), data["blocks"] = integer(st, 2);
  });
  data["damaged"] = 0;
  db.query("SELECT COUNT(*) FROM files WHERE status <> 'ok'", {},
           [&](sqlite3_stmt *st) { data["damaged"] = integer(st, 0); });
  json &over = data["overload"] = json::array();
  db.query(ranked("SUM(over_ms), SUM(seen_ms)", "over_ms DESC, dev", kFleetTop), {},
           [&](sqlite3_stmt *st) {
             over.push_back({{"device", column(st, 0)}, {"devices", integer(st, 1)}, {"over_ms", integer(st, 2)},
                             {"seen_ms", integer(st, 3)}});
           });
  json &ss = data["system_server"] = json::array();
  db.query(ranked("SUM(tops), SUM(ss100), SUM(ss150)",
                      "ss150 * 1.0 / MAX(tops, 1) DESC, ss100 * 1.0 / MAX(tops, 1) DESC, dev", kFleetTop),
           {}, [&](sqlite3_stmt *st) {
             ss.push_back({{"device", column(st, 0)}, {"devices", integer(st, 1)}, {"tops", integer(st, 2)},
                           {"ss100", integer(st, 3)}, {"ss150", integer(st, 4)}});
           });
  json &apps = data["health"] = json::array();
  db.query(with_n(kHealthApps, kFleetTop), {}, [&](sqlite3_stmt *st) {
    apps.push_back({{"name", column(st, 0)}, {"devices", integer(st, 1)}, {"lines", integer(st, 2)},
                    {"apps", integer(st, 3)}});
  });
  json &loads = data["cpu_loads"] = json::array();
  db.query(with_n(kCpuLoads, kFleetSeries), {}, [&](sqlite3_stmt *st) {
    add_point(loads, st, {integer(st, 1), integer(st, 2)}, integer(st, 3));
  });
  json &modem = data["modem"] = json::array();
  db.query(with_n(kModemDays, kFleetSeries), {}, [&](sqlite3_stmt *st) {
    add_point(modem, st, {text(st, 1), integer(st, 2), integer(st, 3)}, integer(st, 4));
  });
  db.query("COMMIT", {}, [](sqlite3_stmt *) {});
  if (!db) return false;

  std::ofstream file;
  if (!open_page_file(file, output, err)) return false;
  std::string title = "fleet " + db_path;
  file << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>pelk_perf_util: "
       << html_escape(title) << "</title>\n<style>" << page_style()
       << "th{font-size:12px;text-align:left;padding:1px 8px}</style>\n"
       << "<script>window.addEventListener('error',function(e){document.getElementById('errors').textContent+="
          "'script error: '+e.message+'; ';});</script>\n"
       << "<script>\n/*\n" << kChartJsLicence << "*/\n" << script_safe(chartjs) << "\n</script>\n</head>\n<body>\n"
       << "<h1>pelk_perf_util: " << html_escape(title) << "</h1>\n<p id=\"summary\"></p>\n"
       << "<div id=\"status\">charts not drawn</div><div id=\"errors\"></div>\n"
       << "<h2>Devices with the worst figures</h2><table id=\"worst\"></table>\n"
       << "<h2>Time overloaded</h2><div class=\"chart\"><canvas id=\"overload\"></canvas></div>\n"
       << "<h2>system_server at 100 and 150 or more, share of the blocks</h2>"
          "<div class=\"chart\"><canvas id=\"ss\"></canvas></div>\n"
       << "<h2>Applications the health watch reported, by devices</h2>"
          "<div class=\"chart\"><canvas id=\"health\"></canvas></div>\n"
       << "<h2>Per-CPU load, share of the samples</h2><div class=\"chart\"><canvas id=\"cpus\"></canvas></div>\n"
       << "<h2>Modem sleep by UTC day, % of the time logged</h2>"
          "<div class=\"chart\"><canvas id=\"modem\"></canvas></div>\n"
       << "<script>\nconst DATA = " << script_json(data) << ";\n"
       << fleet_script() << "\n</script>\n</body></html>\n";
  if (!close_page_file(file, output, err)) return false;

  for (const std::string &dev : paged)
    if (!write_device_page(db_path, dev, fleet_device_page_name(output, dev), chartjs, err)) return false;
  return true;
}

namespace {

// One device's rows read back into the records the log reader makes, in
// order of file and line: blocks with their top ten, CPU and modem lines,
// thread lists and health lines.
class DeviceRecords {
 public:
  DeviceRecords(Db &db, const std::string &serial) : db_(db), serial_(serial) {}
  ~DeviceRecords() {
    for (sqlite3_stmt *st : {cycles_, procs_, cpus_, modem_, threads_, health_}) sqlite3_finalize(st);
  }
  DeviceRecords(const DeviceRecords &) = delete;
  DeviceRecords &operator=(const DeviceRecords &) = delete;

  // Hands every record to sink; the number of logs read.
  bool read(const LogSink &sink, uint64_t *files);

 private:
  // Rows of table whose device is the serial (null for ""), in file and
  // line order.
  sqlite3_stmt *rows(const std::string &columns, const char *table, const char *line) {
    std::string where = serial_.empty() ? "device IS NULL AND ?1 = ''" : "device = ?1";
    return db_.prepare("SELECT file, " + std::string(line) + ", " + columns + " FROM " + table + " WHERE " + where +
                           " ORDER BY file, " + line + ", line",
                       serial_);
  }
  static bool step(sqlite3_stmt *st) { return st && sqlite3_step(st) == SQLITE_ROW; }
  // Whether st's row belongs to the record at (file, line).
  static bool at(sqlite3_stmt *st, bool live, const std::string &file, int64_t line) {
    return live && text(st, 0) == file && integer(st, 1) == line;
  }
  // Moves st past the rows of records before (file, line): rows of a block
  // whose own row is not the device's.
  static bool catch_up(sqlite3_stmt *st, bool live, const std::string &file, int64_t line) {
    while (live) {
      int f = text(st, 0).compare(file);
      if (f > 0 || (f == 0 && integer(st, 1) >= line)) break;
      live = step(st);
    }
    return live;
  }
  static void place(sqlite3_stmt *st, int i, LogPlace *p) {
    p->line = (uint64_t)integer(st, 1);
    p->ts = text(st, i);
    p->stamp = text(st, i + 1);
  }
  static void local_time(sqlite3_stmt *st, int i, LocalTime *t) {
    std::string s = text(st, i);
    t->set = sscanf(s.c_str(), "%d-%d %d:%d:%d", &t->month, &t->day, &t->hour, &t->minute, &t->second) == 5;
  }
  void fill_cycle(Cycle *c);

  Db &db_;
  std::string serial_;
  sqlite3_stmt *cycles_ = nullptr, *procs_ = nullptr, *cpus_ = nullptr, *modem_ = nullptr, *threads_ = nullptr,
               *health_ = nullptr;
  bool procs_live_ = false, cpus_live_ = false, modem_live_ = false;
};

void DeviceRecords::fill_cycle(Cycle *c) {
  sqlite3_stmt *st = cycles_;
  std::string file = text(st, 0);
  place(st, 2, &c->at);
  local_time(st, 4, &c->time);
  // The parts a block lacks, as the reader named them.
  // (Appended, not "," + text: g++ 12 at -O3 sees a false overlap there.)
  std::string missing = ",";
  missing.append(text(st, 5)).append(",");
  auto lacks = [&](const char *part) {
    std::string key = ",";
    key.append(part).append(",");
    return missing.find(key) != std::string::npos;
  };
  c->has_start = !lacks("start");
  c->has_done = !lacks("done");
  c->has_freeze = !lacks("overload");
  c->damaged = lacks("damaged");
  c->has_header = !is_null(st, 6);
  c->period_ms = (int)integer(st, 6);
  c->online_cpus = (int)integer(st, 7);
  c->has_split = !is_null(st, 8);
  c->user = (int)integer(st, 8), c->system = (int)integer(st, 9), c->iowait = (int)integer(st, 10);
  c->irq = (int)integer(st, 11), c->idle = (int)integer(st, 12);
  std::string modem = text(st, 13);
  c->modem = modem == "ok" ? ModemStatus::Ok : modem == "not_valid" ? ModemStatus::NotValid : ModemStatus::None;
  c->overload_report_pid = is_null(st, 14) ? -1 : (int)integer(st, 14);
  c->loading_uevent = integer(st, 15) != 0;
  int64_t line = integer(st, 1);
  procs_live_ = catch_up(procs_, procs_live_, file, line);
  cpus_live_ = catch_up(cpus_, cpus_live_, file, line);
  modem_live_ = catch_up(modem_, modem_live_, file, line);
  for (; at(procs_, procs_live_, file, line); procs_live_ = step(procs_)) {
    if (c->top_rows == 10) continue;
    TopRow &r = c->top[c->top_rows++];
    r.line = (uint64_t)integer(procs_, 2);
    r.usage = (uint64_t)integer(procs_, 3);
    r.pid = (int)integer(procs_, 4);
    r.name = text(procs_, 5);
    r.delta_ns = (uint64_t)integer(procs_, 6);
    r.oom_score_adj = (int)integer(procs_, 7);
  }
  if (at(cpus_, cpus_live_, file, line)) {
    c->has_cpus = true;
    c->cpus_line = (uint64_t)integer(cpus_, 2);
    for (int k = 0; k < 8; ++k) c->cpu[k] = (uint64_t)integer(cpus_, 3 + k);
  }
  if (at(modem_, modem_live_, file, line)) {
    c->modem_line = (uint64_t)integer(modem_, 2);
    c->null_memory = integer(modem_, 3) != 0;
    c->has_duration = !is_null(modem_, 4);
    c->md_slp_duration = (uint64_t)integer(modem_, 4);
    c->has_sum = !is_null(modem_, 5);
    for (int k = 0; k < 5; ++k) c->sleep_s[k] = (uint64_t)integer(modem_, 5 + k);
    std::string utc = text(modem_, 10);
    sscanf(utc.c_str(), "%d-%d-%d %d:%d:%d", &c->utc[0], &c->utc[1], &c->utc[2], &c->utc[3], &c->utc[4], &c->utc[5]);
  }
}

bool DeviceRecords::read(const LogSink &sink, uint64_t *files) {
  cycles_ = rows("ts, stamp, time, missing, period_ms, online_cpus, user, system, iowait, irq, idle, modem, "
                 "overload_report_pid, loading_uevent",
                 "cycles", "line");
  procs_ = rows("line, usage, pid, name, delta_ns, oom_score_adj", "processes", "cycle_line");
  cpus_ = rows("line, cpu0, cpu1, cpu2, cpu3, cpu4, cpu5, cpu6, cpu7", "cpus", "cycle_line");
  modem_ = rows("line, null_memory, md_slp_duration, md_s, g2_s, g3_s, g4_s, g5_fr1_s, utc", "modem", "cycle_line");
  threads_ = rows("ts, stamp, time, complete, line, usage, tid, comm", "threads", "list_line");
  health_ = rows("ts, stamp, name, one_min, five_min, report_pid", "health", "line");
  if (!db_) return false;
  bool cyc = step(cycles_), thr = step(threads_), hea = step(health_);
  procs_live_ = step(procs_), cpus_live_ = step(cpus_), modem_live_ = step(modem_);
  std::string last_file;
  bool first = true;
  *files = 0;
  // The record that comes first: least file, then least line.
  auto before = [](sqlite3_stmt *a, bool la, sqlite3_stmt *b, bool lb) {
    if (!la) return false;
    if (!lb) return true;
    int f = text(a, 0).compare(text(b, 0));
    return f != 0 ? f < 0 : integer(a, 1) < integer(b, 1);
  };
  while (cyc || thr || hea) {
    sqlite3_stmt *next = before(cycles_, cyc, threads_, thr)
                             ? (before(cycles_, cyc, health_, hea) ? cycles_ : health_)
                             : (before(threads_, thr, health_, hea) ? threads_ : health_);
    std::string file = text(next, 0);
    if (first || file != last_file) {
      ++*files;
      last_file = file, first = false;
      if (!serial_.empty()) sink.device(serial_);
    }
    if (next == cycles_) {
      Cycle c;
      fill_cycle(&c);
      sink.cycle(c);
      cyc = step(cycles_);
    } else if (next == threads_) {
      ThreadList t;
      int64_t line = integer(threads_, 1);
      place(threads_, 2, &t.at);
      local_time(threads_, 4, &t.time);
      t.has_start = t.has_header = integer(threads_, 5) != 0;
      for (; at(threads_, thr, file, line); thr = step(threads_)) {
        if (t.rows == 10) continue;
        ThreadRow &r = t.row[t.rows++];
        r.line = (uint64_t)integer(threads_, 6);
        r.usage = (uint64_t)integer(threads_, 7);
        r.tid = (int)integer(threads_, 8);
        r.comm = text(threads_, 9);
      }
      sink.threads(t);
    } else {
      HealthLine h;
      place(health_, 2, &h.at);
      h.name = text(health_, 4);
      h.one_min = (int)integer(health_, 5);
      h.five_min = (int)integer(health_, 6);
      h.report_pid = is_null(health_, 7) ? -1 : (int)integer(health_, 7);
      sink.health(h);
      hea = step(health_);
    }
  }
  return (bool)db_;
}

}  // namespace

bool write_device_page(const std::string &db_path, const std::string &serial, const std::string &output,
                       const std::string &chartjs, std::ostream &err) {
  Db db(db_path, err);
  Page page;
  uint64_t files = 0;
  {
    DeviceRecords records(db, serial);
    LogSink sink = page.sink();
    if (!records.read(sink, &files)) return false;
  }
  if (!files) {
    err << "pelk_perf_util: no rows of device " << shown(serial) << " in " << shown(db_path) << "\n";
    return false;
  }
  std::ofstream file;
  if (!open_page_file(file, output, err)) return false;
  std::string title = "device " + (serial.empty() ? std::string("without a serial") : serial) + ", " +
                      std::to_string(files) + (files == 1 ? " log" : " logs") + " in " + db_path;
  page.write(file, title, chartjs, 0);
  return close_page_file(file, output, err);
}

}  // namespace pelk_tool

// `pelk_perf_util plot`: one kernel log's reports drawn as a self-contained HTML page.
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "commands.h"
#include "fleet.h"
#include "log_input.h"
#include "log_parse.h"
#include "page.h"

#ifndef PELK_CHARTJS_PATH
#define PELK_CHARTJS_PATH "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace pelk_tool {

namespace {

const char kPlotUsage[] =
    "usage: pelk_perf_util plot [LOG] -o PAGE.html [OPTIONS]\n"
    "       pelk_perf_util plot --db FLEET.sqlite [--device SERIAL] -o PAGE.html [OPTIONS]\n"
    "\n"
    "Reads one kernel log (standard input when none or \"-\" is given; a compressed\n"
    "log, or a bug report zip whose text entries are drawn together) and writes one\n"
    "self-contained HTML page with charts of its reports: per-CPU loads, the CPU\n"
    "time split, the busiest processes, system_server, and the overload, loading\n"
    "and health events.  The page needs no network access.\n"
    "\n"
    "With --db, draws the database `parse --db` wrote: the fleet's page (time\n"
    "overloaded, system_server, the health watch's applications, per-CPU loads\n"
    "and modem sleep by device), with the page of each of its worst devices\n"
    "written beside it (PAGE-SERIAL.html); with --device too, that one device's\n"
    "page alone.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE      the page to write (required)\n"
    "  --db FILE              draw a fleet database instead of a log\n"
    "  --device SERIAL        with --db: the page of one device (\"\" for the\n"
    "                         logs that name none)\n"
    "  --chartjs FILE         the Chart.js library to inline (default: $PELK_CHARTJS,\n"
    "                         or " PELK_CHARTJS_PATH ")\n"
    PELK_INPUT_LIMITS_HELP
    "  --help                 show this help\n";


}  // namespace

int plot_command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  std::optional<std::string> output, chartjs, db, device;
  std::vector<std::string> paths;
  InputLimits limits;
  auto bad = [&](const std::string &msg) { return usage_error(err, msg, kPlotUsage); };
  Words w(args);
  while (w.next()) {
    const std::string &a = w.name();
    if (w.is_help()) {
      out << kPlotUsage;
      return kExitOk;
    }
    std::string wrong;
    if (input_limit_option(w, limits, &wrong)) {
      if (!wrong.empty()) return bad(wrong);
    } else if (a == "-o" || a == "--output" || a == "--chartjs" || a == "--db" || a == "--device") {
      std::optional<std::string> v = w.value();
      if (!v) return bad("option " + a + " needs a value");
      const std::string &value = *v;
      (a == "--chartjs" ? chartjs : a == "--db" ? db : a == "--device" ? device : output) = value;
    } else if (a.size() > 1 && a[0] == '-') {
      return bad("unknown option " + a);
    } else {
      paths.push_back(a);
    }
  }
  if (!output) return bad("plot needs -o PAGE.html");
  if (device && !db) return bad("--device needs --db");
  if (db && !paths.empty()) return bad("plot draws a log or a database, not both");
  if (paths.size() > 1) return bad("plot draws one log at a time");
  if (paths.empty()) paths.push_back(db ? *db : "-");
  if (output_is_an_input(*output, paths, err)) return kExitUsage;
  if (!chartjs) {
    const char *env = getenv("PELK_CHARTJS");
    chartjs = env && *env ? env : PELK_CHARTJS_PATH;
  }
  std::ifstream lib(*chartjs, std::ios::binary);
  std::stringstream lib_text;
  lib_text << lib.rdbuf();
  if (!lib || lib_text.str().empty()) {
    err << "pelk_perf_util: cannot read the Chart.js library " << shown(*chartjs)
        << " (Debian package libjs-chart.js, or --chartjs FILE)\n";
    return kExitFailure;
  }

  if (db) {
    bool ok = device ? write_device_page(*db, *device, *output, lib_text.str(), err)
                     : write_fleet_pages(*db, *output, lib_text.str(), err);
    return ok ? kExitOk : kExitFailure;
  }

  Page page;
  uint64_t damaged = 0;
  bool ok = read_logs(paths, [&](const std::string &) { return page.sink(); }, err, &damaged, limits);
  if (!ok) return kExitFailure;
  if (damaged) err << "pelk_perf_util: " << damaged << " damaged line(s) left out\n";

  std::string title = paths[0] == "-" ? "standard input" : paths[0];

  std::ofstream file;
  if (!open_page_file(file, *output, err)) return kExitFailure;
  page.write(file, title, lib_text.str(), damaged);
  return close_page_file(file, *output, err) ? kExitOk : kExitFailure;
}

}  // namespace pelk_tool

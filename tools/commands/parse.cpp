// `pelk_perf_util parse`: the module's report lines of kernel logs as tables.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "commands.h"
#include "fleet_db.h"
#include "log_input.h"
#include "log_parse.h"
#include "log_table.h"

namespace pelk_tool {

namespace {

const char kParseUsage[] =
    "usage: pelk_perf_util parse [LOG...] [OPTIONS]\n"
    "\n"
    "Reads kernel logs (files, directories, or standard input when none or \"-\" is\n"
    "given) and writes the module's reports as one table (see docs/parse.md).\n"
    "A file may be compressed (gzip, xz, bzip2, zstd, lz4) or a zip or tar archive,\n"
    "such as a bug report, whose text entries are read one by one.\n"
    "\n"
    "Options:\n"
    "  --what KIND            cycles (default), processes, threads, cpus, health,\n"
    "                         overload or modem\n"
    "  --format FORMAT        json (default), jsonl or csv\n"
    "  -o, --output FILE      write the table to FILE instead of standard output\n"
    PELK_INPUT_LIMITS_HELP
    "  --db FLEET.sqlite      write every table into a SQLite database instead,\n"
    "                         reading only the files that are new or changed\n"
    "  -j, --jobs N           with --db, files read at once (default: the CPUs\n"
    "                         it may run on)\n"
    "  --help                 show this help\n"
    "\n"
    "Lines that look like the module's but cannot be read are reported on standard\n"
    "error with their file and line number.  Exit status: 0 on success, 1 when a\n"
    "log cannot be read or is refused, or the output cannot be written, 2 for bad\n"
    "options or an output that is one of the inputs.\n";

// --db: every table of the logs into the database, the files new or changed
// since the last run only.
int parse_into_db(const std::string &db, const std::vector<std::string> &paths, unsigned jobs,
                  const InputLimits &limits, bool table_options, std::ostream &out, std::ostream &err) {
  auto bad = [&](const std::string &msg) { return usage_error(err, msg, kParseUsage); };
  if (table_options) return bad("--db writes every table: --what, --format and -o do not go with it");
  if (paths.empty()) return bad("--db needs the logs as files or directories");
  for (const std::string &p : paths)
    if (p == "-") return bad("--db reads files, not standard input");
  if (output_is_an_input(db, paths, err)) return kExitUsage;
  FleetSummary sum;
  bool ok = update_fleet_db({db, paths, jobs, limits}, err, &sum);
  out << shown(db) << ": " << sum.read << " file(s) read, " << sum.unchanged << " unchanged, " << sum.failed
      << " not read whole, " << sum.rows << " row(s) written\n";
  return ok ? kExitOk : kExitFailure;
}

}  // namespace

int parse_command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  TableFormat format = TableFormat::Json;
  TableWhat what = TableWhat::Cycles;
  std::optional<std::string> output;
  std::vector<std::string> paths;
  InputLimits limits;
  std::optional<std::string> db;
  unsigned jobs = 0;
  bool table_options = false;
  auto bad = [&](const std::string &msg) { return usage_error(err, msg, kParseUsage); };
  Words w(args);
  while (w.next()) {
    const std::string &a = w.name();
    if (w.is_help()) {
      out << kParseUsage;
      return kExitOk;
    }
    std::string wrong;
    if (input_limit_option(w, limits, &wrong)) {
      if (!wrong.empty()) return bad(wrong);
    } else if (a == "--what" || a == "--format" || a == "--output" || a == "-o" || a == "--db" || a == "-j" ||
               a == "--jobs") {
      std::optional<std::string> v = w.value();
      if (!v) return bad("option " + a + " needs a value");
      const std::string &value = *v;
      table_options |= a == "--what" || a == "--format" || a == "--output" || a == "-o";
      if (a == "--db") {
        db = value;
      } else if (a == "-j" || a == "--jobs") {
        char *end = nullptr;
        unsigned long n = value.empty() || value[0] == '-' ? 0 : strtoul(value.c_str(), &end, 10);
        if (!end || *end || n == 0 || n > 1024) return bad("option " + a + " needs a count from 1 to 1024");
        jobs = (unsigned)n;
      } else if (a == "--format") {
        if (value == "json") format = TableFormat::Json;
        else if (value == "jsonl") format = TableFormat::Jsonl;
        else if (value == "csv") format = TableFormat::Csv;
        else return bad("unknown format \"" + value + "\" (json, jsonl or csv)");
      } else if (a == "--what") {
        static const std::pair<const char *, TableWhat> kinds[] = {
            {"cycles", TableWhat::Cycles},     {"processes", TableWhat::Processes}, {"threads", TableWhat::Threads},
            {"cpus", TableWhat::Cpus},         {"health", TableWhat::Health},       {"overload", TableWhat::Overload},
            {"modem", TableWhat::Modem}};
        bool found = false;
        for (const auto &[name, kind] : kinds)
          if (value == name) what = kind, found = true;
        if (!found) return bad("unknown kind \"" + value + "\" for --what");
      } else {
        output = value;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      return bad("unknown option " + a);
    } else {
      paths.push_back(a);
    }
  }
  if (db) return parse_into_db(*db, paths, jobs, limits, table_options, out, err);
  if (jobs) return bad("-j goes with --db: a table is written by one reader, in the order of its logs");
  if (paths.empty()) paths.push_back("-");

  if (output && output_is_an_input(*output, paths, err)) return kExitUsage;
  std::ofstream file;
  std::ostream *sink = &out;
  if (output) {
    file.open(*output, std::ios::binary | std::ios::trunc);
    if (!file) {
      err << "pelk_perf_util: cannot write " << shown(*output) << ": " << strerror(errno) << "\n";
      return kExitFailure;
    }
    sink = &file;
  }
  TableWriter writer(what, format, *sink);
  uint64_t damaged = 0;
  bool ok = read_logs(
      paths,
      [&](const std::string &f) {
        writer.start_file(f);
        return writer.sink();
      },
      err, &damaged, limits);
  writer.finish();
  sink->flush();
  if (!*sink) {
    err << "pelk_perf_util: cannot write " << (output ? *output : "the output") << "\n";
    return kExitFailure;
  }
  if (damaged) err << "pelk_perf_util: " << damaged << " damaged line(s) left out\n";
  return ok ? kExitOk : kExitFailure;
}

}  // namespace pelk_tool

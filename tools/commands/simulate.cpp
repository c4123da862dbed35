// `pelk_perf_util simulate`: a scenario played on the simulated kernel with
// the module loaded, and what came of it printed.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "commands.h"
#include "output.h"
#include "program_path.h"
#include "scenario.h"
#include "simulate.h"

namespace pelk_tool {

namespace {

// The module installed with the program; a program run from its build folder
// falls back to the module it was built with.
std::string default_module_path() { return beside_program({PELK_MODULE_RELATIVE_PATH}, PELK_MODULE_DEFAULT_PATH); }

const char kSimulateUsage[] =
    "usage: pelk_perf_util simulate [SCENARIO.json] [OPTIONS]\n"
    "\n"
    "Plays SCENARIO.json (see docs/scenario.md), or the built-in default scenario:\n"
    "a phone up for an hour, for ten simulated minutes.\n"
    "\n"
    "Options:\n"
    "  --format text|jsonl    text (default): the kernel log as dmesg prints it, with\n"
    "                         the other events as <marked> lines; jsonl: one JSON\n"
    "                         object per event\n"
    "  --modem-history        after each report block, also print the module's\n"
    "                         exported sleep_history (the modem's day history)\n"
    "  --duration SECONDS     run for this long instead of the scenario's duration\n"
    "  --param NAME=VALUE     set a module parameter for every load (for example\n"
    "                         kmonitor_delay=5000); may be repeated\n"
    "  --output FILE          write the output to FILE instead of standard output\n"
    "  --module PATH          the module's shared object (default: $PELK_MODULE, or\n"
    "                         the one installed or built with this program)\n"
    "  --print-default        print the built-in scenario and exit\n"
    "  --help                 show this help\n"
    "\n"
    "Exit status: 0 on success, 1 when the run cannot be made, 2 for bad options\n"
    "or a scenario that is refused.\n";

// What the command line asks of a simulation.
struct SimulateOptions {
  std::optional<std::string> scenario_path, output_path, module_path;
  std::optional<u64> duration;
  std::vector<std::pair<std::string, std::string>> params;
  Format format = Format::Text;
  bool print_default = false;
  bool modem_history = false;
};

// The value of one of simulate's options that take one into o; a usage
// error's status, or -1.
int read_option_value(const std::string &a, const std::string &v, SimulateOptions &o, std::ostream &err) {
  if (a == "--format") {
    if (!format_named(v, &o.format))
      return usage_error(err, "unknown format \"" + v + "\" (text or jsonl)", kSimulateUsage);
  } else if (a == "--duration") {
    char *end = nullptr;
    errno = 0;
    double s = strtod(v.c_str(), &end);
    if (v.empty() || *end || errno || !std::isfinite(s) || s < 0 || !(s * 1e9 < 9223372036854775807.0))
      return usage_error(err, "--duration wants a number of seconds, got \"" + v + "\"", kSimulateUsage);
    o.duration = (u64)std::llround(s * 1e9);
  } else if (a == "--param") {
    size_t eq = v.find('=');
    if (eq == std::string::npos || eq == 0 || v.find(' ') != std::string::npos)
      return usage_error(err, "--param wants NAME=VALUE, got \"" + v + "\"", kSimulateUsage);
    o.params.emplace_back(v.substr(0, eq), v.substr(eq + 1));
  } else if (a == "--output") {
    o.output_path = v;
  } else {
    o.module_path = v;
  }
  return -1;
}

// Reads the words into o: -1 when the command goes on, else the exit status
// (after --help, or a usage error).
int read_options(const std::vector<std::string> &args, SimulateOptions &o, std::ostream &out, std::ostream &err) {
  Words w(args);
  while (w.next()) {
    const std::string &a = w.name();
    if (w.is_help()) {
      out << kSimulateUsage;
      return kExitOk;
    } else if (a == "--print-default") {
      o.print_default = true;
    } else if (a == "--modem-history") {
      o.modem_history = true;
    } else if (a == "--format" || a == "--duration" || a == "--param" || a == "--output" || a == "--module") {
      std::optional<std::string> v = w.value();
      if (!v) return usage_error(err, "option " + a + " needs a value", kSimulateUsage);
      if (int status = read_option_value(a, *v, o, err); status >= 0) return status;
    } else if (a.rfind("-", 0) == 0 && a != "-") {
      return usage_error(err, "unknown option " + a, kSimulateUsage);
    } else if (o.scenario_path) {
      return usage_error(err, "more than one scenario given", kSimulateUsage);
    } else {
      o.scenario_path = a;
    }
  }
  return -1;
}

// The scenario to play, with --duration and --param applied: false when it
// is refused (reported on err).
bool scenario_to_play(const SimulateOptions &o, Scenario &sc, std::ostream &err) {
  const std::string name = o.scenario_path ? *o.scenario_path : kDefaultScenarioName;
  try {
    sc = o.scenario_path ? load_scenario(*o.scenario_path)
                         : parse_scenario(default_scenario_json(), kDefaultScenarioName);
  } catch (const ScenarioError &e) {
    err << "pelk_perf_util: " << e.what() << "\n";
    return false;
  }
  if (o.duration) {
    if (std::string why = run_length_problem(sc, *o.duration); !why.empty()) {
      err << "pelk_perf_util: " << name << ": with --duration: " << why << "\n";
      return false;
    }
    sc.duration_ns = *o.duration;
  }
  for (const auto &[pname, value] : o.params) {
    sc.module_params = set_param(sc.module_params, pname, value);
    for (Event &e : sc.timeline)
      if (e.kind == EventKind::Insmod) e.text = set_param(e.text, pname, value);
  }
  if (!o.params.empty()) {
    if (std::string why = run_length_problem(sc, sc.duration_ns); !why.empty()) {
      err << "pelk_perf_util: " << name << ": with --param: " << why << "\n";
      return false;
    }
  }
  return true;
}

// Where the output goes: standard output, or the --output file.
class Output {
 public:
  Output(const std::optional<std::string> &path, std::ostream &out, std::ostream &err)
      : path_(path), sink_(&out), err_(err) {}
  bool open() {
    if (!path_) return true;
    file_.open(*path_, std::ios::binary | std::ios::trunc);
    if (!file_) {
      err_ << "pelk_perf_util: cannot write " << *path_ << ": " << strerror(errno) << "\n";
      return false;
    }
    sink_ = &file_;
    return true;
  }
  std::ostream &stream() { return *sink_; }
  int cannot_write() {
    err_ << "pelk_perf_util: cannot write " << (path_ ? *path_ : "the output") << "\n";
    return kExitFailure;
  }
  // The status once everything is written.
  int finish() {
    sink_->flush();
    return *sink_ ? kExitOk : cannot_write();
  }

 private:
  const std::optional<std::string> &path_;
  std::ofstream file_;
  std::ostream *sink_;
  std::ostream &err_;
};

// Plays sc, writing each event as it comes.  Steps that could not be played
// are the user's concern, not the module's output: they go to the error
// stream as warnings.
int play(const Scenario &sc, const RunOptions &opt, Format format, Output &output, std::ostream &err) {
  struct WriteFailed {};
  std::ostream &sink = output.stream();
  try {
    simulate(sc, opt, [&](const OutEvent &e) {
      if (e.type == OutEvent::Note) {
        err << "pelk_perf_util: warning: " << timestamp(e.ts_ns) << " " << escape_text(e.text) << "\n";
        return;
      }
      sink << (format == Format::Text ? format_text(e) : format_jsonl(e));
      if (!sink) throw WriteFailed();
    });
  } catch (const WriteFailed &) {
    return output.cannot_write();
  } catch (const std::exception &e) {
    err << "pelk_perf_util: " << e.what() << "\n";
    return kExitFailure;
  }
  return output.finish();
}

}  // namespace

int simulate_command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  SimulateOptions o;
  if (int status = read_options(args, o, out, err); status >= 0) return status;
  Output output(o.output_path, out, err);
  if (o.print_default) {
    if (!output.open()) return kExitFailure;
    output.stream() << default_scenario_json();
    return output.finish();
  }

  Scenario sc;
  if (!scenario_to_play(o, sc, err)) return kExitUsage;
  RunOptions opt;
  opt.modem_history = o.modem_history;
  if (o.module_path) opt.module_path = *o.module_path;
  else if (const char *env = getenv("PELK_MODULE"); env && *env) opt.module_path = env;
  else opt.module_path = default_module_path();

  // Everything that can stop the run is found before it starts.
  try {
    check_module(opt.module_path);
  } catch (const std::exception &e) {
    err << "pelk_perf_util: " << e.what() << "\n";
    return kExitFailure;
  }
  if (!output.open()) return kExitFailure;
  return play(sc, opt, o.format, output, err);
}

}  // namespace pelk_tool

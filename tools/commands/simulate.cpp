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

}  // namespace

int simulate_command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  std::optional<std::string> scenario_path, output_path, module_path;
  std::optional<u64> duration;
  std::vector<std::pair<std::string, std::string>> params;
  Format format = Format::Text;
  bool print_default = false;
  bool modem_history = false;

  Words w(args);
  while (w.next()) {
    const std::string &a = w.name();
    if (w.is_help()) {
      out << kSimulateUsage;
      return kExitOk;
    } else if (a == "--print-default") {
      print_default = true;
    } else if (a == "--modem-history") {
      modem_history = true;
    } else if (a == "--format" || a == "--duration" || a == "--param" || a == "--output" || a == "--module") {
      std::optional<std::string> v = w.value();
      if (!v) return usage_error(err, "option " + a + " needs a value", kSimulateUsage);
      if (a == "--format") {
        if (*v == "text") format = Format::Text;
        else if (*v == "jsonl") format = Format::Jsonl;
        else return usage_error(err, "unknown format \"" + *v + "\" (text or jsonl)", kSimulateUsage);
      } else if (a == "--duration") {
        char *end = nullptr;
        errno = 0;
        double s = strtod(v->c_str(), &end);
        if (v->empty() || *end || errno || !std::isfinite(s) || s < 0 || !(s * 1e9 < 9223372036854775807.0))
          return usage_error(err, "--duration wants a number of seconds, got \"" + *v + "\"", kSimulateUsage);
        duration = (u64)std::llround(s * 1e9);
      } else if (a == "--param") {
        size_t eq = v->find('=');
        if (eq == std::string::npos || eq == 0 || v->find(' ') != std::string::npos)
          return usage_error(err, "--param wants NAME=VALUE, got \"" + *v + "\"", kSimulateUsage);
        params.emplace_back(v->substr(0, eq), v->substr(eq + 1));
      } else if (a == "--output") {
        output_path = *v;
      } else {
        module_path = *v;
      }
    } else if (a.rfind("-", 0) == 0 && a != "-") {
      return usage_error(err, "unknown option " + a, kSimulateUsage);
    } else if (scenario_path) {
      return usage_error(err, "more than one scenario given", kSimulateUsage);
    } else {
      scenario_path = a;
    }
  }

  std::ofstream file;
  std::ostream *sink = &out;
  const std::string sink_name = output_path ? *output_path : "the output";
  auto open_output = [&]() -> bool {
    if (!output_path) return true;
    file.open(*output_path, std::ios::binary | std::ios::trunc);
    if (!file) {
      err << "pelk_perf_util: cannot write " << *output_path << ": " << strerror(errno) << "\n";
      return false;
    }
    sink = &file;
    return true;
  };
  auto cannot_write = [&]() {
    err << "pelk_perf_util: cannot write " << sink_name << "\n";
    return kExitFailure;
  };

  if (print_default) {
    if (!open_output()) return kExitFailure;
    *sink << default_scenario_json();
    sink->flush();
    return *sink ? kExitOk : cannot_write();
  }

  Scenario sc;
  const std::string name = scenario_path ? *scenario_path : kDefaultScenarioName;
  try {
    sc = scenario_path ? load_scenario(*scenario_path) : parse_scenario(default_scenario_json(), kDefaultScenarioName);
  } catch (const ScenarioError &e) {
    err << "pelk_perf_util: " << e.what() << "\n";
    return kExitUsage;
  }
  if (duration) {
    if (std::string why = run_length_problem(sc, *duration); !why.empty()) {
      err << "pelk_perf_util: " << name << ": with --duration: " << why << "\n";
      return kExitUsage;
    }
    sc.duration_ns = *duration;
  }
  for (const auto &[pname, value] : params) {
    sc.module_params = set_param(sc.module_params, pname, value);
    for (Event &e : sc.timeline)
      if (e.kind == EventKind::Insmod) e.text = set_param(e.text, pname, value);
  }
  if (!params.empty()) {
    if (std::string why = run_length_problem(sc, sc.duration_ns); !why.empty()) {
      err << "pelk_perf_util: " << name << ": with --param: " << why << "\n";
      return kExitUsage;
    }
  }

  RunOptions opt;
  opt.modem_history = modem_history;
  if (module_path) opt.module_path = *module_path;
  else if (const char *env = getenv("PELK_MODULE"); env && *env) opt.module_path = env;
  else opt.module_path = default_module_path();

  // Everything that can stop the run is found before it starts.
  try {
    check_module(opt.module_path);
  } catch (const std::exception &e) {
    err << "pelk_perf_util: " << e.what() << "\n";
    return kExitFailure;
  }
  if (!open_output()) return kExitFailure;

  // The output is written as it is produced.  Steps that could not be
  // played are the user's concern, not the module's output: they go to the
  // error stream as warnings.
  struct WriteFailed {};
  try {
    simulate(sc, opt, [&](const OutEvent &e) {
      if (e.type == OutEvent::Note) {
        err << "pelk_perf_util: warning: " << timestamp(e.ts_ns) << " " << escape_text(e.text) << "\n";
        return;
      }
      *sink << (format == Format::Text ? format_text(e) : format_jsonl(e));
      if (!*sink) throw WriteFailed();
    });
  } catch (const WriteFailed &) {
    return cannot_write();
  } catch (const std::exception &e) {
    err << "pelk_perf_util: " << e.what() << "\n";
    return kExitFailure;
  }
  sink->flush();
  if (!*sink) return cannot_write();
  return kExitOk;
}

}  // namespace pelk_tool

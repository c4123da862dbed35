// The table of commands, and the hand-over of `run` to the live program.
#include "commands.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "log_parse.h"
#include "program_path.h"

#ifndef PELK_RUN_DEFAULT_PATH
#define PELK_RUN_DEFAULT_PATH "pelk_perf_run"
#endif
#ifndef PELK_RUN_RELATIVE_PATH
#define PELK_RUN_RELATIVE_PATH "../lib/pelk_perf_util/pelk_perf_run"
#endif

namespace pelk_tool {

bool output_is_an_input(const std::string &output, const Args &inputs, std::ostream &err) {
  namespace fs = std::filesystem;
  auto same = [](const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; };
  struct stat out_st;
  // Writing to a device or a pipe destroys nothing (`-o /dev/null`).
  bool exists = stat(output.c_str(), &out_st) == 0 && S_ISREG(out_st.st_mode);
  // The directories the output is (or would be) in, up to the root, links
  // resolved.
  std::vector<struct stat> dirs;
  std::error_code ec;
  fs::path dir = fs::weakly_canonical(fs::absolute(output, ec), ec).parent_path();
  for (int depth = 0; !ec && depth < 4096; ++depth) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) dirs.push_back(st);
    if (!dir.has_relative_path()) break;
    dir = dir.parent_path();
  }
  for (const std::string &in : inputs) {
    struct stat st;
    if (in == "-" ? fstat(STDIN_FILENO, &st) != 0 : stat(in.c_str(), &st) != 0) continue;
    const char *how = nullptr;
    if (exists && same(st, out_st)) how = "is also an input";
    else if (S_ISDIR(st.st_mode))
      for (const struct stat &d : dirs)
        if (same(d, st)) how = "is inside an input directory";
    if (how) {
      err << "pelk_perf_util: the output " << shown(output) << " " << how << " ("
          << (in == "-" ? std::string("standard input") : shown(in)) << "); nothing was written\n";
      return true;
    }
  }
  return false;
}

bool input_limit_option(Words &w, InputLimits &limits, std::string *error) {
  const std::string a = w.name();
  if (a != "--max-decompressed" && a != "--max-ratio") return false;
  std::optional<std::string> v = w.value();
  if (!v) {
    *error = "option " + a + " needs a value";
    return true;
  }
  // A count, with K, M or G for binary multiples.
  const std::string &value = *v;
  char *end = nullptr;
  errno = 0;
  unsigned long long n = value.empty() || value[0] == '-' ? 0 : strtoull(value.c_str(), &end, 10);
  int shift = !end ? 0 : *end == 'K' ? 10 : *end == 'M' ? 20 : *end == 'G' ? 30 : 0;
  if (end && shift) ++end;
  if (!end || *end || errno || n == 0 || (shift && n > (UINT64_MAX >> shift)))
    *error = "option " + a + " needs a positive count (K, M or G allowed)";
  else
    (a == "--max-ratio" ? limits.max_ratio : limits.max_bytes) = (uint64_t)n << shift;
  return true;
}

namespace {

const char kUsage[] =
    "usage: pelk_perf_util COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  simulate [SCENARIO.json]   load the module on the simulated kernel, play the\n"
    "                             scenario (the built-in phone when none is given)\n"
    "                             and print what the module produced\n"
    "  run [OPTIONS]              load the module on this machine's live kernel\n"
    "                             facts and print its reports as they come\n"
    "  parse [LOG...]             read the module's reports out of kernel logs\n"
    "                             into a table (JSON, JSON lines or CSV)\n"
    "  plot [LOG] -o PAGE.html    draw a log's reports as one self-contained page\n"
    "\n"
    "Run 'pelk_perf_util COMMAND --help' for its options, 'pelk_perf_util --version'\n"
    "for the version.\n";

struct Command {
  const char *name;
  int (*run)(const Args &args, std::ostream &out, std::ostream &err);
};

const Command kCommands[] = {
    {"simulate", simulate_command},
    {"run", run_command},
    {"parse", parse_command},
    {"plot", plot_command},
};

}  // namespace

std::string run_program_path() { return beside_program({PELK_RUN_RELATIVE_PATH}, PELK_RUN_DEFAULT_PATH); }

int run_command(const Args &args, std::ostream &out, std::ostream &err) {
  std::string prog = run_program_path();
  std::vector<char *> argv{const_cast<char *>(prog.c_str()), const_cast<char *>("run")};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  out.flush();
  err.flush();
  execv(prog.c_str(), argv.data());
  err << "pelk_perf_util: cannot start " << prog << ": " << std::strerror(errno) << "\n";
  return kExitFailure;
}

int run_cli(const Args &args, std::ostream &out, std::ostream &err) {
  if (args.empty()) return usage_error(err, "no command given", kUsage);
  const std::string &cmd = args[0];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    out << kUsage;
    return kExitOk;
  }
  if (cmd == "--version") {
    out << "pelk_perf_util " PELK_VERSION "\n";
    return kExitOk;
  }
  for (const Command &c : kCommands)
    if (cmd == c.name) return c.run({args.begin() + 1, args.end()}, out, err);
  return usage_error(err, "unknown command \"" + cmd + "\"", kUsage);
}

}  // namespace pelk_tool

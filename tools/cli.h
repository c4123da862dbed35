// The command line of `pelk_perf_util`.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pelk_tool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the run could not be made (module missing, output not writable)
constexpr int kExitUsage = 2;    // bad arguments or a scenario that was refused

// Runs the program with args (without the program name); normal output goes
// to out unless --output names a file, messages to err.
int run_cli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

// The program that serves `run` (pelk_perf_run): installed next to the module,
// or the one built with this program.
std::string run_program_path();

}  // namespace pelk_tool

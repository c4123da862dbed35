// `pelk_perf_util run`: the module, unchanged, on the live host backend.  A
// program of its own (pelk_perf_run), since a process holds one kernel: the
// simulated one or the live one.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pelk_tool {

// Runs `run` with args (without "run"): loads the module, prints what it
// produces until SIGINT/SIGTERM or the duration's end, unloads it.  Exit
// statuses as the other commands'.
int run_live(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace pelk_tool

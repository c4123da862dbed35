// `pelk_perf_util plot`: one kernel log's reports drawn as a self-contained HTML page.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pelk_tool {

int plot_command(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace pelk_tool

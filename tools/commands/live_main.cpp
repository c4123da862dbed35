// pelk_perf_run: `pelk_perf_util run`, which pelk_perf_util hands the process
// over to (the words it is given are pelk_perf_util's, without the program).
#include <iostream>

#include "run.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "run") args.erase(args.begin());
  return pelk_tool::run_live(args, std::cout, std::cerr);
}

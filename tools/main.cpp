#include <cerrno>
#include <cstring>
#include <iostream>

#include <unistd.h>

#include "cli.h"

int main(int argc, char **argv) {
  // `run` becomes its own program (with the live kernel), in this process.
  if (argc > 1 && std::strcmp(argv[1], "run") == 0) {
    std::string prog = pelk_tool::run_program_path();
    execv(prog.c_str(), argv);
    std::cerr << "pelk_perf_util: cannot start " << prog << ": " << std::strerror(errno) << "\n";
    return pelk_tool::kExitFailure;
  }
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = pelk_tool::run_cli(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}

// pelk_perf_util: the command line over the program's libraries (commands.cpp
// holds the table of commands).
#include <iostream>

#include "commands.h"

int main(int argc, char **argv) {
  std::ios::sync_with_stdio(false);
  int status = pelk_tool::run_cli({argv + 1, argv + argc}, std::cout, std::cerr);
  std::cout.flush();
  return status;
}

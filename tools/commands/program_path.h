// Files installed with the program, found from where the program itself is,
// so that an installed or moved program runs from anywhere.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>

// The build names the module it made and where it is installed from the
// programs' directory; these stand in for a build that does not.
#ifndef PELK_MODULE_DEFAULT_PATH
#define PELK_MODULE_DEFAULT_PATH "pelk_perf_util.so"
#endif
#ifndef PELK_MODULE_RELATIVE_PATH
#define PELK_MODULE_RELATIVE_PATH "../lib/pelk_perf_util/pelk_perf_util.so"
#endif

namespace pelk_tool {

// The first of relatives (from the running program's directory) that is a
// regular file, else otherwise.
inline std::string beside_program(std::initializer_list<const char *> relatives, const char *otherwise) {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const char *rel : relatives) {
      std::filesystem::path p = (exe.parent_path() / rel).lexically_normal();
      if (std::filesystem::is_regular_file(p, ec)) return p.string();
    }
  }
  return otherwise;
}

}  // namespace pelk_tool

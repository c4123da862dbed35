// Helpers of the simulated-kernel tests: the kernel-facility functions, as
// a module would call them, next to the host's C++ library (read inside
// namespace k, after every host header, as the simulated kernel itself does).
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>

#include "sim/sim.h"

#undef __always_inline
namespace k {
#include "kernel_api.inc"
}  // namespace k
#undef jiffies
#undef __init
#undef __exit

namespace simtest {

// The kernel's data symbols, looked up rather than linked: a reference from
// the test executable would move them into it (copy relocations).
inline k::task_struct *init_task_ptr() { return (k::task_struct *)dlsym(RTLD_DEFAULT, "init_task"); }
inline k::timezone *sys_tz_ptr() { return (k::timezone *)dlsym(RTLD_DEFAULT, "sys_tz"); }

constexpr sim::u64 kSec = sim::kNsPerSec;
constexpr sim::u64 kMs = sim::kNsPerMs;

inline std::string module_path(const char *name) {
  return std::string(PELK_TEST_MODULE_DIR) + "/" + name + ".so";
}

inline bool has_violation(const sim::Kernel &kern, const std::string &part) {
  for (auto &v : kern.violations())
    if (v.find(part) != std::string::npos) return true;
  return false;
}

inline std::vector<std::string> texts(const sim::Kernel &kern) {
  std::vector<std::string> out;
  for (auto &r : kern.log()) out.push_back(r.text);
  return out;
}

}  // namespace simtest

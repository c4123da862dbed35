// What the commands print: one thing the module did or that happened to it,
// from either kernel (the simulated one or the live one).  Neither backend's
// program needs the other's headers for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelk_tool {

using u64 = std::uint64_t;

// One thing that happened, in the order of the kernel's sequence numbers.
struct OutEvent {
  enum Type {
    Printk,       // level, text, newline
    Uevent,       // action, env, result
    EventReport,  // code, value, pid, text
    ProcRead,     // path, text (content), result
    ProcWrite,    // path, text (data), result (bytes or -errno)
    Load,         // name, text (params), result
    Unload,       // name, result
    Param,        // name, text (value), result
    Suspend,      // duration_ns
    Note,         // text: a scenario step that could not be played
    Violation,    // text: a kernel rule the module broke
    SleepHistory, // text: the module's exported sleep_history, its 480 bytes
  };
  Type type = Printk;
  u64 seq = 0;
  u64 ts_ns = 0;       // monotonic time
  int level = 0;
  bool newline = false;
  std::string text;
  std::string name;    // module or parameter name; event code
  std::string action;  // uevent action
  std::vector<std::string> env;
  long result = 0;
  int value = 0;
  int pid = 0;
  u64 duration_ns = 0;
};

// The module's name, as both kernels load it and unload it.
constexpr const char *kModuleName = "pelk_perf_util";

}  // namespace pelk_tool

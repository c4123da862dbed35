// Plays a scenario on the simulated kernel with the module loaded, and
// collects what came out of it in the kernel's common event order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

namespace pelk_tool {

// One thing that happened, in the order of sim::Kernel's sequence numbers.
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

struct RunOptions {
  std::string module_path;  // the module's shared object
  bool modem_history = false;  // a SleepHistory event after each report block
};

using EventSink = std::function<void(const OutEvent &)>;

// Throws std::runtime_error when `path` is missing or is not a module that
// the simulated kernel can load.
void check_module(const std::string &path);
// Plays `sc` from start to end, handing every event to `sink` as soon as its
// place in the order is known (notes included); the run's memory does not
// grow with its length.  Throws std::runtime_error as check_module does.
void simulate(const Scenario &sc, const RunOptions &opt, const EventSink &sink);
// The same, every event collected.
std::vector<OutEvent> simulate(const Scenario &sc, const RunOptions &opt);

constexpr const char *kModuleName = "pelk_perf_util";
// The module's exported sleep_history: five day records of 96 bytes.
constexpr size_t kSleepHistorySize = 480;

}  // namespace pelk_tool

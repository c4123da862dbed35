// Plays a scenario on the simulated kernel with the module loaded, and
// collects what came out of it in the kernel's common event order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "out_event.h"
#include "scenario.h"

namespace pelk_tool {

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

// The module's exported sleep_history: five day records of 96 bytes.
constexpr size_t kSleepHistorySize = 480;

}  // namespace pelk_tool

// Shared by the two halves of the scenario reader: scenario_read.cpp turns
// the JSON document into a model, scenario_check.cpp checks the model as a
// whole (the task list over time, the clocks' range, the work budget).
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "refusal.h"
#include "scenario.h"

namespace pelk_tool {

// Counts the work a scenario asks for while it is read, before anything is
// expanded, and refuses it at the place that goes past the budget.
class WorkBudget {
 public:
  explicit WorkBudget(const Refuser &r) : r_(r) {}
  // `n` more tasks created (a process, a thread, `count` threads, a spawn
  // `repeat`ed), asked for at `path`.
  void tasks(u64 n, const std::string &path);
  // `n` more timeline events (an entry and its repeats, a rate change).
  void events(u64 n, const std::string &path);
  // `n` more bytes of names, paths and data held for the run.
  void bytes(u64 n, const std::string &path);

 private:
  const Refuser &r_;
  u64 tasks_ = 0, events_ = 0, bytes_ = 0;
};

// What the JSON half hands to the model half.
struct ReadModel {
  Scenario sc;  // sc.timeline: the events in reading order, not yet in time order
  // Per event, the timeline entry it came from (-1: a process's rate change):
  // events are ordered by time, then entry, then reading order.
  std::vector<int> origin;
  std::map<int, std::string> thread_where;  // tid -> JSON pointer of its entry
  // Timeline "cpu" events, by entry: which of percent, user and cpus they
  // give (the others keep the task's value).
  std::map<int, std::array<bool, 3>> rate_given;
};

// Puts the timeline in order and plays it on a model of the task list and
// the clocks: every pid an event names must be running then, every pid
// spawned free, every time and cumulative time within the kernel's 64-bit
// nanosecond range.  Fills sc.timeline.
void check_model(ReadModel &m, const Refuser &r);

}  // namespace pelk_tool

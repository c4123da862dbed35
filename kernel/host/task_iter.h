// The task-iterator source of the live backend (task_iter.cpp): every task of
// the machine, each thread of each process, from one read of a BPF task
// iterator, where /proc would take one stat file per process.  It needs root,
// a kernel with BTF and task iterators (5.8 and later), and a build that found
// clang, libbpf and bpftool; elsewhere open() says why it cannot be used.
//
// Plain host code: it knows nothing of the kernel-facility layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host.h"

namespace host {

// The record's field types under the kernel's own names, for the layout the
// BPF program shares.
typedef unsigned long long __u64;
typedef unsigned int __u32;
typedef int __s32;
typedef unsigned short __u16;
typedef short __s16;
#include "bpf/task_record.h"

using TaskRecord = pelk_task_record;

// The user and system time the kernel answers for a task (or a thread group)
// in /proc/PID/stat: its runtime, split between user and system in the
// proportion of the tick-sampled times, and never below what it answered the
// last time (prev).  The kernel then keeps its answer as the next prev; here
// prev is only read.  Nanoseconds.
void adjust_cputime(u64 utime, u64 stime, u64 runtime, u64 prev_utime, u64 prev_stime, u64 *ut, u64 *st);

class TaskIter {
 public:
  // The loaded and attached iterator, or nullptr with the reason in *why.
  static std::unique_ptr<TaskIter> open(std::string *why);
  ~TaskIter();
  TaskIter(const TaskIter &) = delete;
  TaskIter &operator=(const TaskIter &) = delete;

  // A reader's records, kept from one read to the next so that a read does
  // not allocate once the buffer has grown to the machine's task count.
  struct Buffer {
    std::unique_ptr<TaskRecord[]> recs;
    size_t cap = 0, n = 0;
  };
  // One pass of the iterator into buf: every task, in pid order.  False when
  // the read failed (buf->n is then 0).  Threads may read at the same time.
  bool read(Buffer *buf) const;

 private:
  struct Impl;
  explicit TaskIter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace host

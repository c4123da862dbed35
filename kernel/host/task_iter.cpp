// The task-iterator source: the BPF program of bpf/task_iter.bpf.c, loaded
// through the skeleton bpftool generated for it at build time.  Without the
// BPF toolchain at build time (PELK_HAVE_BPF unset) only the adjustment is
// built, and open() says so.
#include "task_iter.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#ifdef PELK_HAVE_BPF
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include "task_iter.skel.h"
#endif

namespace host {

void adjust_cputime(u64 utime, u64 stime, u64 runtime, u64 prev_utime, u64 prev_stime, u64 *ut, u64 *st) {
  // Runtime that went backwards, or a reader that raced ahead: the last
  // answer stands.
  if (prev_utime + prev_stime >= runtime) {
    *ut = prev_utime;
    *st = prev_stime;
    return;
  }
  // A task with ticks on one side only has all its runtime there; once both
  // sides have ticks the split converges to their ratio.
  if (stime == 0) {
    utime = runtime;
  } else if (utime == 0) {
    stime = runtime;
  } else {
    stime = (u64)((unsigned __int128)stime * runtime / (stime + utime));
    if (stime > runtime) stime = runtime;
  }
  // Neither side goes backwards: runtime grows, so one floor keeps both.
  if (stime < prev_stime) stime = prev_stime;
  utime = runtime - stime;
  if (utime < prev_utime) {
    utime = prev_utime;
    stime = runtime - utime;
  }
  *ut = utime;
  *st = stime;
}

#ifdef PELK_HAVE_BPF

namespace {

// libbpf's messages would go to stderr; the last warning is kept instead, to
// say why a load failed.
std::string *g_libbpf_last;

int keep_libbpf_message(enum libbpf_print_level level, const char *fmt, va_list ap) {
  if (level == LIBBPF_DEBUG || !g_libbpf_last) return 0;
  char line[512];
  int n = vsnprintf(line, sizeof(line), fmt, ap);
  std::string s(line, n < 0 ? 0 : std::min((size_t)n, sizeof(line) - 1));
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  if (!s.empty()) *g_libbpf_last = s;
  return 0;
}

}  // namespace

struct TaskIter::Impl {
  task_iter_bpf *skel = nullptr;
  bpf_link *link = nullptr;
  ~Impl() {
    if (link) bpf_link__destroy(link);
    if (skel) task_iter_bpf__destroy(skel);
  }
};

std::unique_ptr<TaskIter> TaskIter::open(std::string *why) {
  if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
    *why = "the kernel has no BTF (/sys/kernel/btf/vmlinux)";
    return nullptr;
  }
  // The iterator gives the initial namespace's pids: in a pid namespace of
  // its own the program would name processes by other numbers than /proc.
  std::string status;
  if (FILE *f = fopen("/proc/self/status", "re")) {
    char line[256];
    while (fgets(line, sizeof(line), f))
      if (std::strncmp(line, "NSpid:", 6) == 0) status = line + 6;
    fclose(f);
  }
  if (status.find_first_of(" \t", status.find_first_not_of(" \t")) < status.find('\n')) {
    *why = "running in a pid namespace of its own";
    return nullptr;
  }
  if (geteuid() != 0) {
    *why = "not running as root";
    return nullptr;
  }
  std::string last;
  g_libbpf_last = &last;
  libbpf_print_fn_t old = libbpf_set_print(keep_libbpf_message);
  auto impl = std::make_unique<Impl>();
  const char *step = nullptr;
  impl->skel = task_iter_bpf__open_and_load();
  if (!impl->skel) {
    step = "the kernel refused the BPF program";
  } else {
    impl->link = bpf_program__attach_iter(impl->skel->progs.pelk_task_records, nullptr);
    if (!impl->link) step = "the kernel refused the task iterator";
  }
  int err = errno;
  libbpf_set_print(old);
  g_libbpf_last = nullptr;
  if (step) {
    *why = std::string(step) + " (" + std::strerror(err) + (last.empty() ? "" : ": " + last) + ")";
    return nullptr;
  }
  std::unique_ptr<TaskIter> it(new TaskIter(std::move(impl)));
  // One read proves the whole path: a kernel may load the program and then
  // refuse to run it.
  Buffer probe;
  if (!it->read(&probe) || probe.n == 0) {
    *why = "the task iterator gave no tasks";
    return nullptr;
  }
  return it;
}

bool TaskIter::read(Buffer *buf) const {
  buf->n = 0;
  int fd = bpf_iter_create(bpf_link__fd(impl_->link));
  if (fd < 0) return false;
  if (buf->cap == 0) {
    buf->cap = 1024;
    buf->recs.reset(new TaskRecord[buf->cap]);
  }
  size_t bytes = 0;
  bool ok = true;
  for (;;) {
    if (bytes == buf->cap * sizeof(TaskRecord)) {  // full: double it
      std::unique_ptr<TaskRecord[]> bigger(new TaskRecord[buf->cap * 2]);
      std::memcpy(bigger.get(), buf->recs.get(), bytes);
      buf->recs = std::move(bigger);
      buf->cap *= 2;
    }
    ssize_t got = ::read(fd, reinterpret_cast<char *>(buf->recs.get()) + bytes, buf->cap * sizeof(TaskRecord) - bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    bytes += (size_t)got;
  }
  close(fd);
  if (!ok || bytes % sizeof(TaskRecord) != 0) return false;
  buf->n = bytes / sizeof(TaskRecord);
  return true;
}

#else

struct TaskIter::Impl {};

std::unique_ptr<TaskIter> TaskIter::open(std::string *why) {
  *why = "this build has no BPF support (PELK_BPF=OFF, or clang, libbpf, bpftool or the BTF were missing)";
  return nullptr;
}

bool TaskIter::read(Buffer *buf) const {
  buf->n = 0;
  return false;
}

#endif

TaskIter::TaskIter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TaskIter::~TaskIter() = default;

}  // namespace host

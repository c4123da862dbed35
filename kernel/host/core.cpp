// The live kernel's clocks, printk, memory, semaphores, sibling services,
// misc devices and uevents, and the control side (host.h).
#include "internal.h"
#include "../lib/printk_text.h"

namespace host {

Kernel::Impl *g_host;

Kernel::Impl &H() {
  if (!g_host) {
    std::fprintf(stderr, "pelk_perf_util: kernel facility used with no live kernel\n");
    std::abort();
  }
  return *g_host;
}

static u64 clock_ns(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return (u64)ts.tv_sec * kNsPerSec + (u64)ts.tv_nsec;
}

u64 monotonic_ns() { return clock_ns(CLOCK_MONOTONIC); }

int open_proc_file(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

bool read_file(const std::string &path, std::string *out) {
  int fd = open_proc_file(path);
  if (fd < 0) return false;
  ssize_t n = read_from_start(fd, out);
  close(fd);
  return n == 0 && out->size() <= kProcFileBound;
}

ssize_t read_from_start(int fd, std::string *out) {
  out->clear();
  char buf[4096];
  ssize_t n;
  off_t off = 0;
  while ((n = pread(fd, buf, sizeof(buf), off)) > 0 && out->size() <= kProcFileBound) {
    out->append(buf, (size_t)n);
    off += n;
  }
  return n;
}

void Kernel::Impl::emit(const Record &r) {
  if (!opt.sink) return;
  std::lock_guard<std::mutex> lk(sink_mu);
  opt.sink(r);
}

// sys_tz from the local time zone, as the platform's init sets it at boot.
static void set_sys_tz();

Kernel::Kernel(const Options &opt) : impl_(std::make_unique<Impl>()) {
  if (g_host) {
    std::fprintf(stderr, "pelk_perf_util: a live kernel exists already\n");
    std::abort();
  }
  static std::atomic<u64> kernels{0};
  impl_->opt = opt;
  impl_->serial = ++kernels;
  long tck = sysconf(_SC_CLK_TCK);
  if (tck > 0 && (long)kNsPerSec % tck == 0) impl_->ns_per_tick = kNsPerSec / (u64)tck;
  // Stat files are kept open between cycles: one descriptor per process.
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  struct statfs fs;
  impl_->keep_fds = statfs(opt.proc_root.c_str(), &fs) == 0 && fs.f_type == 0x9fa0;  // PROC_SUPER_MAGIC
  if (opt.source == TaskSource::Proc) {
    impl_->source_reason = "asked for";
  } else if (opt.proc_root != "/proc") {
    impl_->source_reason = "the proc root is " + opt.proc_root + ", not the machine's own";
  } else {
    impl_->iter = TaskIter::open(&impl_->source_reason);
    if (impl_->iter) {
      impl_->source = TaskSource::Bpf;
      impl_->source_reason = "one read of a BPF task iterator per cycle";
    }
  }
  set_sys_tz();
  g_host = impl_.get();
}

Kernel::~Kernel() {
  // Newest first; rmmod erases the entry, so the walk goes by index (the
  // ones before it stay where they are).
  for (size_t i = impl_->modules.size(); i-- > 0;) rmmod(impl_->modules[i]->name);
  // Works a module left behind: their threads must not outlive the kernel.
  std::vector<std::thread> joins;
  {
    std::lock_guard<std::mutex> lk(impl_->wq_mu);
    for (auto &d : impl_->dws) {
      d->stop = true;
      d->cv.notify_all();
      if (d->thread.joinable()) joins.push_back(std::move(d->thread));
    }
    impl_->wq_cv.notify_all();
  }
  for (auto &t : joins) t.join();
  g_host = nullptr;
}

void Kernel::set_feature(u64 feature_id, int answer) {
  std::lock_guard<std::mutex> lk(impl_->svc_mu);
  impl_->features[feature_id] = answer;
}

void Kernel::notify_feature_change() {
  std::vector<kapi::notifier_block *> chain;
  {
    std::lock_guard<std::mutex> lk(impl_->svc_mu);
    chain = impl_->notifiers;
  }
  new_cycle();
  for (auto *nb : chain)
    if (nb->notifier_call) nb->notifier_call(nb, 0, nullptr);
  impl_->publish_all();
}

ReadStats Kernel::read_stats() const {
  return {impl_->listings.load(), impl_->stat_reads.load(), impl_->opens.load(), impl_->skipped.load(),
          impl_->too_large.load(), impl_->cpu_too_large.load()};
}

TaskSource Kernel::task_source() const { return impl_->source; }
const std::string &Kernel::task_source_reason() const { return impl_->source_reason; }

const std::string &Kernel::last_load_error() const { return impl_->last_load_error; }

}  // namespace host

namespace kapi {
using host::H;

struct timezone sys_tz = {0, 0};

ktime_t ktime_get(void) { return (ktime_t)host::monotonic_ns(); }

ktime_t ktime_get_with_offset(enum tk_offsets offs) {
  switch (offs) {
    case TK_OFFS_BOOT: return (ktime_t)host::clock_ns(CLOCK_BOOTTIME);
    case TK_OFFS_REAL:
    case TK_OFFS_TAI: return (ktime_t)host::clock_ns(CLOCK_REALTIME);
    default: return (ktime_t)host::monotonic_ns();
  }
}

void ktime_get_real_ts64(struct timespec64 *ts) {
  struct ::timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  ts->tv_sec = t.tv_sec;
  ts->tv_nsec = t.tv_nsec;
}

time64_t ktime_get_real_seconds(void) {
  struct timespec64 ts;
  ktime_get_real_ts64(&ts);
  return ts.tv_sec;
}

unsigned int __kernel_hz(void) { return host::kHz; }
u64 get_jiffies_64(void) { return host::monotonic_ns() / host::kNsPerJiffy; }

u32 get_random_u32(void) {
  static std::atomic<u64> state{host::clock_ns(CLOCK_REALTIME) ^ 0x9e3779b97f4a7c15ull};
  u64 z = state.fetch_add(0x9e3779b97f4a7c15ull) + 0x9e3779b97f4a7c15ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return (u32)((z ^ (z >> 31)) >> 32);
}

void might_sleep(void) {}

void **__file_private_data(struct file *file) { return &file->private_data; }
u32 __ptr_hash_id(const void *ptr) {
  u64 z = (u64)(uintptr_t)ptr * 0x9e3779b97f4a7c15ull;
  return (u32)(z >> 32);
}
int __kernel_fault(const char *, const char *) { return 0; }

// ---- printk ------------------------------------------------------------------

int printk(const char *fmt, ...) {
  char buf[PRINTK_TEXT_MAX];
  struct printk_text t;
  va_list ap;
  va_start(ap, fmt);
  vprintk_text(buf, sizeof(buf), fmt, ap, &t);
  va_end(ap);
  host::Record r;
  r.kind = host::Record::Printk;
  r.ts_ns = host::monotonic_ns();
  r.level = t.level;
  r.newline = t.newline;
  r.text.assign(buf + t.start, t.len);
  int ret = (int)r.text.size();
  if (host::g_host) H().emit(r);
  return ret;
}

// ---- memory ------------------------------------------------------------------

#define ZERO_SIZE_PTR ((void *)16)

void *__kmalloc_site(size_t size, gfp_t flags, const char *) {
  if (size == 0) return ZERO_SIZE_PTR;
  return (flags & __GFP_ZERO) ? std::calloc(1, size) : std::malloc(size);
}
void kfree(const void *objp) {
  if (objp && objp != ZERO_SIZE_PTR) std::free(const_cast<void *>(objp));
}
void *__vmalloc_site(unsigned long size, gfp_t flags, const char *) {
  if (size == 0) return nullptr;
  return (flags & __GFP_ZERO) ? std::calloc(1, size) : std::malloc(size);
}
void vfree(const void *addr) { std::free(const_cast<void *>(addr)); }

// ---- semaphores ----------------------------------------------------------------

namespace {
std::mutex sem_mu;
std::condition_variable sem_cv;
long &sem_count(struct semaphore *sem) { return *(long *)(void *)&sem->__opaque[0]; }
}  // namespace

void sema_init(struct semaphore *sem, int val) {
  std::lock_guard<std::mutex> lk(sem_mu);
  std::memset((void *)sem, 0, sizeof(*sem));
  sem_count(sem) = val;
}
void down(struct semaphore *sem) {
  std::unique_lock<std::mutex> lk(sem_mu);
  sem_cv.wait(lk, [&] { return sem_count(sem) > 0; });
  sem_count(sem)--;
}
int down_trylock(struct semaphore *sem) {
  std::lock_guard<std::mutex> lk(sem_mu);
  if (sem_count(sem) <= 0) return 1;
  sem_count(sem)--;
  return 0;
}
void up(struct semaphore *sem) {
  {
    std::lock_guard<std::mutex> lk(sem_mu);
    sem_count(sem)++;
  }
  sem_cv.notify_all();
}

// ---- sibling services ----------------------------------------------------------------

int is_tid_enable(unsigned long long feature_id) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.svc_mu);
  auto it = I.features.find(feature_id);
  return it == I.features.end() ? 0 : it->second;
}

int register_ferrow_notifier(struct notifier_block *nb) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.svc_mu);
  if (std::find(I.notifiers.begin(), I.notifiers.end(), nb) != I.notifiers.end()) return -EEXIST;
  I.notifiers.push_back(nb);
  return 0;
}

int unregister_ferrow_notifier(struct notifier_block *nb) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.svc_mu);
  auto it = std::find(I.notifiers.begin(), I.notifiers.end(), nb);
  if (it == I.notifiers.end()) return -ENOENT;
  I.notifiers.erase(it);
  return 0;
}

int zebk_caller_api(const char *event_code, int value, int pid, const char *text) {
  host::Record r;
  r.kind = host::Record::EventReport;
  r.ts_ns = host::monotonic_ns();
  r.code = event_code ? event_code : "";
  r.value = value;
  r.pid = pid;
  r.text = text ? text : "";
  H().emit(r);
  return 0;
}

// ---- misc devices and uevents ------------------------------------------------------------

int misc_register(struct miscdevice *misc) {
  auto &I = H();
  if (!misc || !misc->name) return -EINVAL;
  std::lock_guard<std::mutex> lk(I.dev_mu);
  auto taken = [&](int minor) {
    for (auto &d : I.devices)
      if (d->registered && d->minor == minor) return true;
    return false;
  };
  for (auto &d : I.devices)
    if (d->registered && (d->misc == misc || std::strcmp(d->misc->name, misc->name) == 0)) return -EBUSY;
  int minor = misc->minor;
  if (minor == MISC_DYNAMIC_MINOR) {
    minor = -1;
    // From 127 down, as the kernel's misc class hands out its 128 dynamic minors.
    for (int c = 127; c >= 0 && minor < 0; c--)
      if (!taken(c)) minor = c;
    if (minor < 0) return -EBUSY;
  } else if (taken(minor)) {
    return -EBUSY;
  }
  I.devices.push_back(std::make_unique<device>());
  device *d = I.devices.back().get();
  d->misc = misc;
  d->minor = minor;
  misc->minor = minor;
  misc->this_device = d;
  return 0;
}

void misc_deregister(struct miscdevice *misc) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.dev_mu);
  for (auto &d : I.devices)
    if (d->registered && d->misc == misc) {
      d->registered = false;
      misc->this_device = nullptr;
    }
}

struct kobject *device_kobject(struct device *dev) { return dev ? &dev->kobj : nullptr; }

static const char *action_name(enum kobject_action a) {
  static const char *const names[] = {"add", "remove", "change", "move", "online", "offline", "bind", "unbind"};
  return (unsigned)a < sizeof(names) / sizeof(names[0]) ? names[a] : nullptr;
}

static int uevent(struct kobject *kobj, enum kobject_action action, char *envp_ext[]) {
  auto &I = H();
  host::Record r;
  {
    std::lock_guard<std::mutex> lk(I.dev_mu);
    device *d = nullptr;
    for (auto &x : I.devices)
      if (kobj && &x->kobj == kobj) d = x.get();
    const char *act = action_name(action);
    if (!d || !act) return -EINVAL;
    std::string name = d->misc->name;
    r.kind = host::Record::Uevent;
    r.ts_ns = host::monotonic_ns();
    r.action = act;
    r.env.push_back(std::string("ACTION=") + act);
    r.env.push_back("DEVPATH=/devices/virtual/misc/" + name);
    r.env.push_back("SUBSYSTEM=misc");
    for (char **e = envp_ext; e && *e; e++) r.env.push_back(*e);
    r.env.push_back("MAJOR=10");
    r.env.push_back("MINOR=" + std::to_string(d->minor));
    r.env.push_back("DEVNAME=" + std::string(d->misc->nodename ? d->misc->nodename : name.c_str()));
    if (d->misc->mode) {
      char m[16];
      std::snprintf(m, sizeof(m), "%#o", (unsigned)d->misc->mode);
      r.env.push_back(std::string("DEVMODE=") + m);
    }
    r.env.push_back("SEQNUM=" + std::to_string(++I.uevent_seqnum));
  }
  I.emit(r);
  return 0;
}

int kobject_uevent(struct kobject *kobj, enum kobject_action action) { return uevent(kobj, action, nullptr); }
int kobject_uevent_env(struct kobject *kobj, enum kobject_action action, char *envp_ext[]) {
  return uevent(kobj, action, envp_ext);
}

}  // namespace kapi

namespace host {

static void set_sys_tz() {
  tzset();
  time_t now = time(nullptr);
  struct ::tm local;
  if (localtime_r(&now, &local)) {
    kapi::sys_tz.tz_minuteswest = (int)(-local.tm_gmtoff / 60);
    kapi::sys_tz.tz_dsttime = 0;
  }
}

}  // namespace host

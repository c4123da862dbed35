// The simulated kernel's core: the Kernel object, virtual time, CPU time
// accounting, checks, faults, hooks and the clock and CPU facilities.
#include "internal.h"

namespace sim {

Kernel::Impl *g_impl = nullptr;
static Kernel *g_kernel = nullptr;

Kernel::Impl &K() {
  if (!g_impl) {
    std::fprintf(stderr, "pelk_sim: kernel facility called with no simulated kernel\n");
    std::abort();
  }
  return *g_impl;
}

static u64 splitmix(u64 &x) {
  u64 z = (x += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

u32 Kernel::Impl::hash_id(u64 seq, u64 salt) const {
  u64 x = seq * 0x100000001b3ull ^ cfg.seed * 0x9e3779b97f4a7c15ull ^ salt * 0xc2b2ae3d27d4eb4full;
  u32 v = (u32)(splitmix(x) >> 16);
  return v ? v : 1;
}

void Kernel::Impl::violation(const std::string &msg) {
  if (violation_set.insert(msg).second) violations.push_back(msg);
}

Module *Kernel::Impl::module_of(const void *p) const {
  if (!p) return nullptr;
  for (auto &m : modules)
    if (m->loaded && m->contains(p)) return m.get();
  return nullptr;
}

void Kernel::Impl::hook(const char *facility) {
  if (hooks.empty() || cur.empty()) return;
  // The hooks due are taken out first: one that its function adds (to
  // follow every call, say) counts from the next call, not this one.
  std::vector<std::function<void()>> due;
  for (size_t i = 0; i < hooks.size();) {
    if (hooks[i].facility == facility && --hooks[i].remaining <= 0) {
      due.push_back(std::move(hooks[i].fn));
      hooks.erase(hooks.begin() + (long)i);
    } else {
      i++;
    }
  }
  for (auto &fn : due) fn();
}

int Kernel::Impl::fault(const char *facility, const std::string &site) {
  int err = 0;
  for (auto &fs : faults) {
    if (fs.f.facility != facility) continue;
    if (!fs.f.site.empty() && fs.f.site != site) continue;
    int k = ++fs.seen;
    if (k >= fs.f.nth && (fs.f.count == 0 || k < fs.f.nth + fs.f.count) && !err)
      err = fs.f.error ? fs.f.error : -ENOMEM;
  }
  return err;
}

void Kernel::Impl::klog(int level, const std::string &text) {
  LogRecord r;
  r.seq = next_seq();
  r.ts_ns = mono;
  r.level = level;
  r.text = text;
  r.newline = true;
  log.push_back(std::move(r));
}

// ---- CPU time accounting ------------------------------------------------------

static unsigned __int128 gcd128(unsigned __int128 a, unsigned __int128 b) {
  while (b) {
    unsigned __int128 t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// Rebuilds, for every online CPU, who uses its time and in which shares.
// Shares are integers over a per-CPU denominator so that accounting is
// exact: each consumer gets dt * w / D per step with the remainder carried.
void Kernel::Impl::rebuild_rates() {
  rates_dirty = false;
  u32 online = 0;
  for (int c = 0; c < kMaxCpus; c++)
    if (cpus[c].online) online |= 1u << c;
  // One pass over the busy tasks, not over every task there has been: each
  // joins the CPUs it runs on.
  struct T {
    task_struct *t;
    unsigned n;
  };
  std::vector<T> on_cpu[kMaxCpus];
  for (auto &[seq, t] : busy) {
    u32 mask = t->rate.cpus ? t->rate.cpus : 1u;
    u32 on = mask & online;
    unsigned n = (unsigned)__builtin_popcount(on);
    for (u32 m = on; m; m &= m - 1) on_cpu[__builtin_ctz(m)].push_back({t, n});
  }
  for (int c = 0; c < kMaxCpus; c++) {
    Cpu &cpu = cpus[c];
    cpu.cons.clear();
    cpu.denom = 1;
    if (!cpu.online) continue;
    const std::vector<T> &ts = on_cpu[c];
    unsigned __int128 L = 1;
    for (auto &x : ts) L = L / gcd128(L, x.n) * x.n;
    unsigned __int128 sum = 0;
    for (auto &x : ts) {
      Consumer k;
      k.task = x.t;
      k.user_permille = std::min(x.t->rate.user_permille, 1000u);
      k.w = (unsigned __int128)x.t->rate.milli_cpu * (L / x.n);
      sum += k.w;
      cpu.cons.push_back(k);
    }
    const CpuExtras &e = cpu.extras;
    const std::pair<unsigned, int> ex[] = {{e.nice, kNice},     {e.softirq, kSoftirq}, {e.irq, kIrq},
                                           {e.iowait, kIowait}, {e.steal, kSteal},     {e.guest, kGuest},
                                           {e.guest_nice, kGuestNice}};
    for (auto &x : ex) {
      if (!x.first) continue;
      Consumer k;
      k.stat = x.second;
      k.w = (unsigned __int128)x.first * L;
      sum += k.w;
      cpu.cons.push_back(k);
    }
    unsigned __int128 cap = (unsigned __int128)1000 * L;
    if (sum >= cap) {
      cpu.denom = sum ? sum : 1;
    } else {
      cpu.denom = cap;
      Consumer k;
      k.stat = kIdle;
      k.w = cap - sum;
      cpu.cons.push_back(k);
    }
  }
}

// n / d and n % d, in 64 bits when both fit (nearly always: a stretch of
// hours times a weight of a million or so), which is many times faster than
// the 128-bit division.
static inline u64 div_rem(unsigned __int128 n, unsigned __int128 d, unsigned __int128 *rem) {
  if (!(n >> 64) && !(d >> 64)) {
    *rem = (u64)n % (u64)d;
    return (u64)n / (u64)d;
  }
  *rem = n % d;
  return (u64)(n / d);
}

// The user part of `given` ns at `permille` user.
static inline u64 user_part(u64 given, u64 permille) {
  if (given < (~0ull) / 1000) return given * permille / 1000;
  return (u64)((unsigned __int128)given * permille / 1000);
}

void Kernel::Impl::account(u64 dt) {
  if (rates_dirty) rebuild_rates();
  for (int c = 0; c < kMaxCpus; c++) {
    Cpu &cpu = cpus[c];
    if (!cpu.online) continue;
    for (Consumer &k : cpu.cons) {
      unsigned __int128 num = (unsigned __int128)dt * k.w + k.carry;
      u64 give = div_rem(num, cpu.denom, &k.carry);
      if (!give) continue;
      if (k.task) {
        u64 u0 = user_part(k.given, k.user_permille);
        k.given += give;
        u64 u1 = user_part(k.given, k.user_permille);
        u64 ud = u1 - u0, sd = give - ud;
        cpu.stat[kUser] += ud;
        cpu.stat[kSystem] += sd;
        k.task->utime += ud;
        k.task->stime += sd;
      } else {
        cpu.stat[k.stat] += give;
        // Guest time is user time as well, as the kernel accounts it.
        if (k.stat == kGuest) cpu.stat[kUser] += give;
        if (k.stat == kGuestNice) cpu.stat[kNice] += give;
        if (k.stat == kIdle) cpu.idle_track_ns += give;
        if (k.stat == kIowait) cpu.iowait_track_ns += give;
      }
    }
  }
}

void Kernel::Impl::advance_to(u64 t) {
  if (t <= mono) return;
  account(t - mono);
  mono = t;
}

// ---- Kernel ---------------------------------------------------------------------

Kernel::Kernel(const Config &cfg) : impl_(new Impl) {
  if (g_impl) {
    std::fprintf(stderr, "pelk_sim: only one Kernel may exist at a time\n");
    std::abort();
  }
  Impl &I = *impl_;
  I.self = this;
  if (cfg.hz < 1 || cfg.hz > 1000) {
    std::fprintf(stderr, "pelk_sim: tick rate %d is not 1 to 1000 Hz\n", cfg.hz);
    std::abort();
  }
  I.cfg = cfg;
  I.rng_state = cfg.seed;
  I.mono = cfg.uptime_ns;
  I.suspended = cfg.suspended_ns;
  I.wall_base_ns = cfg.wall_start_sec * (s64)kNsPerSec;
  kapi::sys_tz.tz_minuteswest = cfg.tz_minuteswest;
  kapi::sys_tz.tz_dsttime = 0;
  for (int c = 0; c < kMaxCpus; c++) {
    Cpu &cpu = I.cpus[c];
    cpu.possible = (cfg.possible_cpus >> c) & 1u;
    cpu.online = cpu.possible && ((cfg.online_cpus >> c) & 1u);
    if (cpu.online) {
      // The CPU idled from boot until the machine is handed over.
      cpu.stat[kIdle] = cfg.uptime_ns;
      cpu.idle_track_ns = cfg.uptime_ns;
    }
  }
  // init_task: pid 0, head of the task list.
  kapi::init_task.pid = 0;
  kapi::init_task.tgid = 0;
  std::memset(kapi::init_task.comm, 0, sizeof(kapi::init_task.comm));
  std::strcpy(kapi::init_task.comm, "swapper/0");
  kapi::init_task.flags = PF_KTHREAD;
  static Signal init_signal;
  init_signal = Signal();
  kapi::init_task.sig = &init_signal;
  kapi::init_task.alive = true;
  kapi::init_task.freed = false;
  kapi::init_task.leader = &kapi::init_task;
  kapi::init_task.threads.clear();
  kapi::init_task.threads.emplace(0, &kapi::init_task);
  kapi::init_task.utime = kapi::init_task.stime = 0;
  // proc root
  auto root = std::make_unique<kapi::proc_dir_entry>();
  root->name = "/proc";
  root->path = "/proc";
  root->is_dir = true;
  root->mode = 0555;
  I.proc_root = root.get();
  I.pdes.push_back(std::move(root));
  g_impl = impl_.get();
  g_kernel = this;
}

Kernel::~Kernel() {
  Impl &I = *impl_;
  // Unload what is still loaded, latest first, so that the next Kernel
  // starts with fresh module state.
  for (auto it = I.modules.rbegin(); it != I.modules.rend(); ++it) {
    Module *m = it->get();
    if (!m->loaded) continue;
    m->refs = 0;
    rmmod(m->name);
  }
  for (auto &q : I.quarantine) std::free(q.first);
  for (auto &a : I.allocs) std::free((void *)a.first);
  g_impl = nullptr;
  g_kernel = nullptr;
}

Kernel *Kernel::current() { return g_kernel; }

u64 Kernel::next_seq() { return impl_->next_seq(); }

u64 Kernel::monotonic_ns() const { return impl_->mono; }
u64 Kernel::boottime_ns() const { return impl_->boottime(); }
s64 Kernel::wall_ns() const { return impl_->wall_base_ns + (s64)impl_->boottime(); }
u64 Kernel::jiffies_now() const { return impl_->jiffies(); }

void Kernel::suspend(u64 dt_ns) { impl_->suspended += dt_ns; }

void Kernel::set_wall_clock(s64 utc_sec) {
  impl_->wall_base_ns = utc_sec * (s64)kNsPerSec - (s64)impl_->boottime();
}

void Kernel::set_tz_minuteswest(int minutes) {
  impl_->cfg.tz_minuteswest = minutes;
  kapi::sys_tz.tz_minuteswest = minutes;
}

void Kernel::set_work_duration(const std::string &wq, u64 ns) { impl_->work_duration[wq] = ns; }

void Kernel::run_until(u64 t_ns) {
  Impl &I = *impl_;
  I.run_depth++;
  while (kapi::delayed_work *w = I.next_due(t_ns, nullptr)) {
    I.advance_to(I.effective_ns(Impl::dw(w)));
    I.run_work(w);
  }
  I.advance_to(t_ns);
  I.run_depth--;
}

// ---- CPUs -------------------------------------------------------------------------

void Kernel::set_cpu_online(int cpu, bool online) {
  if (cpu < 0 || cpu >= kMaxCpus || !impl_->cpus[cpu].possible) return;
  impl_->cpus[cpu].online = online;
  impl_->rates_dirty = true;
}

void Kernel::set_idle_query_fails(int cpu, bool fails) {
  if (cpu >= 0 && cpu < kMaxCpus) impl_->cpus[cpu].idle_query_fails = fails;
}

void Kernel::set_cpu_extras(int cpu, const CpuExtras &x) {
  if (cpu < 0 || cpu >= kMaxCpus) return;
  impl_->cpus[cpu].extras = x;
  impl_->rates_dirty = true;
}

u64 Kernel::cpustat(int cpu, int index) const {
  if (cpu < 0 || cpu >= kMaxCpus || index < 0 || index >= kNrStats) return 0;
  return impl_->cpus[cpu].stat[index];
}

void Kernel::set_cpustat(int cpu, int index, u64 ns) {
  if (cpu < 0 || cpu >= kMaxCpus || index < 0 || index >= kNrStats) return;
  Cpu &c = impl_->cpus[cpu];
  if (index == kIdle) c.idle_track_ns += ns - c.stat[index];
  if (index == kIowait) c.iowait_track_ns += ns - c.stat[index];
  c.stat[index] = ns;
}

void Kernel::set_idle_tracking_us(int cpu, u64 idle_us, u64 iowait_us) {
  if (cpu < 0 || cpu >= kMaxCpus) return;
  impl_->cpus[cpu].idle_track_ns = idle_us * 1000;
  impl_->cpus[cpu].iowait_track_ns = iowait_us * 1000;
}

// ---- faults, hooks, checks ---------------------------------------------------------

void Kernel::add_fault(const Fault &f) { impl_->faults.push_back({f, 0}); }
void Kernel::clear_faults() { impl_->faults.clear(); }

void Kernel::on_call(const std::string &facility, int nth, std::function<void()> fn) {
  impl_->hooks.push_back({facility, nth < 1 ? 1 : nth, std::move(fn)});
}

const std::vector<std::string> &Kernel::violations() const { return impl_->violations; }

void Kernel::set_notifier_atomic(bool atomic) { impl_->notifier_atomic = atomic; }
const std::string &Kernel::last_load_error() const { return impl_->last_load_error; }
void Kernel::clear_violations() {
  impl_->violations.clear();
  impl_->violation_set.clear();
}

}  // namespace sim

// ---- kernel facilities ----------------------------------------------------------------

namespace kapi {
using sim::K;

struct timezone sys_tz = {0, 0};
task_struct init_task;

ktime_t ktime_get(void) { return (ktime_t)K().mono; }

ktime_t ktime_get_with_offset(enum tk_offsets offs) {
  auto &I = K();
  switch (offs) {
    case TK_OFFS_BOOT:
      return (ktime_t)I.boottime();
    case TK_OFFS_REAL:
    case TK_OFFS_TAI:
      return I.wall_base_ns + (s64)I.boottime();
    default:
      return (ktime_t)I.mono;
  }
}

void ktime_get_real_ts64(struct timespec64 *ts) {
  s64 w = ktime_get_with_offset(TK_OFFS_REAL);
  s64 sec = w / (s64)sim::kNsPerSec, ns = w % (s64)sim::kNsPerSec;
  if (ns < 0) {
    ns += (s64)sim::kNsPerSec;
    sec--;
  }
  ts->tv_sec = sec;
  ts->tv_nsec = (long)ns;
}

time64_t ktime_get_real_seconds(void) {
  struct timespec64 ts;
  ktime_get_real_ts64(&ts);
  return ts.tv_sec;
}

u64 get_jiffies_64(void) { return K().jiffies(); }

// Asked for outside a simulated kernel too (by library tests): the default rate then.
unsigned int __kernel_hz(void) { return sim::g_impl ? (unsigned)sim::g_impl->cfg.hz : (unsigned)sim::kHz; }

bool cpu_possible(unsigned int cpu) { return cpu < (unsigned)sim::kMaxCpus && K().cpus[cpu].possible; }
bool cpu_online(unsigned int cpu) { return cpu < (unsigned)sim::kMaxCpus && K().cpus[cpu].online; }

unsigned int num_online_cpus(void) {
  unsigned n = 0;
  for (auto &c : K().cpus) n += c.online;
  return n;
}

unsigned int num_possible_cpus(void) {
  unsigned n = 0;
  for (auto &c : K().cpus) n += c.possible;
  return n;
}

void kcpustat_cpu_fetch(struct kernel_cpustat *dst, int cpu) {
  auto &I = K();
  if (cpu < 0 || cpu >= sim::kMaxCpus || !I.cpus[cpu].possible) {
    std::memset(dst, 0, sizeof(*dst));
    return;
  }
  for (int i = 0; i < NR_STATS; i++) dst->cpustat[i] = I.cpus[cpu].stat[i];
}

static u64 idle_query(int cpu, u64 *last_update_time, bool iowait) {
  auto &I = K();
  if (cpu < 0 || cpu >= sim::kMaxCpus || !I.cpus[cpu].possible || I.cpus[cpu].idle_query_fails)
    return (u64)-1;
  if (last_update_time) *last_update_time = I.mono / 1000;
  const sim::Cpu &c = I.cpus[cpu];
  return (iowait ? c.iowait_track_ns : c.idle_track_ns) / 1000;
}

u64 get_cpu_idle_time_us(int cpu, u64 *last_update_time) { return idle_query(cpu, last_update_time, false); }
u64 get_cpu_iowait_time_us(int cpu, u64 *last_update_time) { return idle_query(cpu, last_update_time, true); }

u32 get_random_u32(void) { return (u32)(sim::splitmix(K().rng_state) >> 32); }

void might_sleep(void) {
  auto &I = K();
  if (I.in_atomic()) I.violation("might_sleep in atomic context");
}

void **__file_private_data(struct file *file) { return &file->private_data; }

int __kernel_fault(const char *facility, const char *site) { return K().fault(facility, site ? site : ""); }

}  // namespace kapi

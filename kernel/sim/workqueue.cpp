// Workqueues and delayed works.  Works run one at a time, in the order of
// the instant they fall due, then of their timers' expiry, then of queueing.
#include "internal.h"

namespace sim {

constexpr size_t kWqNameLen = 24;  // the kernel's WQ_NAME_LEN

u64 Kernel::Impl::effective_ns(const DwState *s) const {
  u64 t = jiffy_start_ns(s->expiry_j);
  return std::max({t, s->not_before_ns, mono});
}

kapi::delayed_work *Kernel::Impl::next_due(u64 limit, const kapi::workqueue_struct *only) {
  kapi::delayed_work *best = nullptr;
  u64 be = 0;
  for (kapi::delayed_work *w : pending) {
    const DwState *s = dw(w);
    if (only && s->wq != only) continue;
    u64 e = effective_ns(s);
    if (e > limit) continue;
    if (!best) {
      best = w;
      be = e;
      continue;
    }
    const DwState *b = dw(best);
    if (std::tie(e, s->expiry_j, s->qseq) < std::tie(be, b->expiry_j, b->qseq)) {
      best = w;
      be = e;
    }
  }
  return best;
}

void Kernel::Impl::unpend(kapi::delayed_work *w) {
  dw(w)->pending = false;
  pending.erase(std::remove(pending.begin(), pending.end(), w), pending.end());
}

void Kernel::Impl::run_work(kapi::delayed_work *w) {
  DwState *s = dw(w);
  unpend(w);
  s->running = true;
  s->has_run = true;
  s->last_run_ns = mono;
  kapi::workqueue_struct *wq = s->wq;
  std::string name = wq ? wq->name : "?";
  Module *m = module_of((const void *)s->func);
  if (!m && wq) m = wq->owner;
  size_t held0 = held_sems.size();
  std::string what = "work function on " + name;
  running_wqs.push_back(wq);
  call_into(m, what.c_str(), [&] { s->func(&w->work); });
  running_wqs.pop_back();
  if (held_sems.size() > held0) {
    violation(what + " returned holding a semaphore");
    held_sems.resize(held0);
  }
  // The work's storage may have been freed by its own function; look at it
  // only if it is still in use.
  s->running = false;
  auto it = work_duration.find(name);
  if (it != work_duration.end() && it->second) advance_to(mono + it->second);
}

std::vector<PendingWork> Kernel::pending_works() const {
  Impl &I = *impl_;
  std::vector<kapi::delayed_work *> v = I.pending;
  std::sort(v.begin(), v.end(), [&](kapi::delayed_work *a, kapi::delayed_work *b) {
    const DwState *x = Impl::dw(a), *y = Impl::dw(b);
    u64 ex = I.effective_ns(x), ey = I.effective_ns(y);
    return std::tie(ex, x->expiry_j, x->qseq) < std::tie(ey, y->expiry_j, y->qseq);
  });
  std::vector<PendingWork> out;
  for (auto *w : v) {
    const DwState *s = Impl::dw(w);
    out.push_back({s->wq ? s->wq->name : std::string(), s->cpu, s->expiry_j});
  }
  return out;
}

const std::vector<WorkQueueCall> &Kernel::queue_calls() const { return impl_->qcalls; }

std::vector<std::string> Kernel::workqueues() const {
  std::vector<std::string> out;
  for (auto &w : impl_->wqs)
    if (w->alive) out.push_back(w->name);
  return out;
}

}  // namespace sim

namespace kapi {
using sim::DwState;
using sim::K;

static DwState *dw_state(const struct delayed_work *dwork, const char *fn) {
  auto *s = (DwState *)(void *)dwork;
  if (!dwork || s->magic != sim::kDwMagic) {
    K().violation(std::string(fn) + " on an uninitialised delayed work");
    return nullptr;
  }
  return s;
}

static void sleeping(const char *fn) {
  auto &I = K();
  if (I.in_atomic()) I.violation(std::string(fn) + " in atomic context");
}

struct workqueue_struct *alloc_workqueue(const char *fmt, unsigned int flags, int max_active, ...) {
  auto &I = K();
  I.hook("alloc_workqueue");
  char name[sim::kWqNameLen];
  va_list ap;
  va_start(ap, max_active);
  vsnprintf(name, sizeof(name), fmt, ap);
  va_end(ap);
  sleeping("alloc_workqueue");
  if (I.fault("alloc_workqueue", name)) return nullptr;
  auto wq = std::make_unique<workqueue_struct>();
  wq->name = name;
  wq->flags = flags;
  wq->max_active = max_active;
  wq->seq = ++I.obj_seq;
  wq->owner = I.cur_module();
  I.wqs.push_back(std::move(wq));
  return I.wqs.back().get();
}

static bool check_wq(struct workqueue_struct *wq, const char *fn) {
  auto &I = K();
  if (!wq) {
    I.violation(std::string(fn) + " on a NULL workqueue");
    return false;
  }
  if (!wq->alive) {
    I.violation(std::string(fn) + " on destroyed workqueue " + wq->name);
    return false;
  }
  return true;
}

void flush_workqueue(struct workqueue_struct *wq) {
  auto &I = K();
  I.hook("flush_workqueue");
  if (!check_wq(wq, "flush_workqueue")) return;
  sleeping("flush_workqueue");
  // Works already due are on the worklist: run them, but only those queued
  // before the flush.
  sim::u64 limit = I.qseq;
  while (delayed_work *w = I.next_due(I.mono, wq)) {
    if (I.dw(w)->qseq > limit) break;
    I.run_work(w);
  }
}

void destroy_workqueue(struct workqueue_struct *wq) {
  auto &I = K();
  I.hook("destroy_workqueue");
  if (!check_wq(wq, "destroy_workqueue")) return;
  sleeping("destroy_workqueue");
  // Drain what is already due (chains included, as the kernel does).
  for (int n = 0; n < 1000; n++) {
    delayed_work *w = I.next_due(I.mono, wq);
    if (!w) break;
    I.run_work(w);
  }
  bool busy = false;
  for (size_t i = 0; i < I.pending.size();) {
    DwState *s = I.dw(I.pending[i]);
    if (s->wq == wq) {
      busy = true;
      s->pending = false;
      I.pending.erase(I.pending.begin() + (long)i);
    } else {
      i++;
    }
  }
  if (busy) I.violation("destroy_workqueue: " + wq->name + " has pending work");
  // A work of this queue that is running now (the caller is inside it).
  if (std::find(I.running_wqs.begin(), I.running_wqs.end(), wq) != I.running_wqs.end())
    I.violation("destroy_workqueue: " + wq->name + " has running work");
  wq->alive = false;
}

void init_delayed_work(struct delayed_work *dwork, work_func_t func) {
  auto &I = K();
  auto *s = (DwState *)(void *)dwork;
  if (s->magic == sim::kDwMagic && s->pending) {
    I.violation("init_delayed_work on a pending work");
    I.unpend(dwork);
  }
  std::memset(dwork, 0, sizeof(*dwork));
  s->magic = sim::kDwMagic;
  s->func = func;
}

bool queue_delayed_work_on(int cpu, struct workqueue_struct *wq, struct delayed_work *dwork,
                           unsigned long delay) {
  auto &I = K();
  I.hook("queue_delayed_work_on");
  DwState *s = dw_state(dwork, "queue_delayed_work_on");
  if (!s || !check_wq(wq, "queue_delayed_work_on")) return false;
  sim::WorkQueueCall c;
  c.seq = I.next_seq();
  c.ts_ns = I.mono;
  c.wq = wq->name;
  c.cpu = cpu;
  c.delay = delay;
  c.queued = !s->pending;
  I.qcalls.push_back(c);
  if (s->pending) return false;
  s->pending = true;
  s->wq = wq;
  s->cpu = cpu;
  s->expiry_j = I.jiffies() + delay;
  s->not_before_ns = 0;
  if (delay == 0 && s->has_run && s->last_run_ns == I.mono)
    s->not_before_ns = I.jiffy_start_ns(I.jiffies() + 1);
  s->qseq = ++I.qseq;
  I.pending.push_back(dwork);
  return true;
}

bool cancel_delayed_work(struct delayed_work *dwork) {
  auto &I = K();
  I.hook("cancel_delayed_work");
  DwState *s = dw_state(dwork, "cancel_delayed_work");
  if (!s || !s->pending) return false;
  I.unpend(dwork);
  return true;
}

bool cancel_delayed_work_sync(struct delayed_work *dwork) {
  auto &I = K();
  I.hook("cancel_delayed_work_sync");
  DwState *s = dw_state(dwork, "cancel_delayed_work_sync");
  if (!s) return false;
  sleeping("cancel_delayed_work_sync");
  if (!s->pending) return false;
  I.unpend(dwork);
  return true;
}

bool flush_delayed_work(struct delayed_work *dwork) {
  auto &I = K();
  I.hook("flush_delayed_work");
  DwState *s = dw_state(dwork, "flush_delayed_work");
  if (!s) return false;
  sleeping("flush_delayed_work");
  if (!s->pending) return false;
  I.run_work(dwork);
  return true;
}

bool delayed_work_pending(const struct delayed_work *dwork) {
  DwState *s = dw_state(dwork, "delayed_work_pending");
  return s && s->pending;
}

}  // namespace kapi

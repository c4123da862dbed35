// Workqueues: each delayed work runs on a worker thread of its own at its due
// time.  Cancelling, flushing and destroying wait for a running work as the
// kernel's do, so that a module's exit never returns while its work runs.
// One lock guards every work's state; a work's function runs without it.
// Each worker sleeps on its work's own condition: waking a module's cycle
// does not wake its other works' threads.
#include "internal.h"

namespace host {

namespace {

constexpr u64 kDwMagic = 0x686f737464776b31ull;

struct DwSlot {  // what the caller's struct delayed_work holds
  u64 magic;
  DwHost *state;
};
static_assert(sizeof(DwSlot) <= sizeof(kapi::delayed_work), "delayed work state must fit");

// The state of dwork, or nullptr when it was never initialised.  The caller
// holds wq_mu.  The magic alone is not trusted: uninitialised memory could
// carry it, so the state must also be one this kernel made.
DwHost *state_of(Kernel::Impl &I, const kapi::delayed_work *dwork) {
  const DwSlot *s = (const DwSlot *)(const void *)dwork;
  if (!dwork || s->magic != kDwMagic) return nullptr;
  for (auto &d : I.dws)
    if (d.get() == s->state && d->dw == dwork) return d.get();
  return nullptr;
}

// Waits, with wq_mu held in lk, until d has finished `want` runs in all, or
// is stopped, or has nothing left to run (cancelled meanwhile).
void wait_runs(Kernel::Impl &I, std::unique_lock<std::mutex> &lk, DwHost *d, u64 want) {
  I.wq_cv.wait(lk, [&] { return d->completed >= want || d->stop || (!d->pending && !d->running); });
}

void warn(const std::string &what) { std::fprintf(stderr, "pelk_perf_util: kernel warning: %s\n", what.c_str()); }

}  // namespace

void Kernel::Impl::worker(DwHost *d) {
  // Named as the kernel's workers are, so that they can be told apart in top.
  pthread_setname_np(pthread_self(), "pelk_kworker");
  std::unique_lock<std::mutex> lk(wq_mu);
  for (;;) {
    if (d->stop) break;
    if (!d->pending) {
      d->cv.wait(lk);
      continue;
    }
    u64 now = monotonic_ns();
    if (now < d->due_ns) {
      d->cv.wait_for(lk, std::chrono::nanoseconds(d->due_ns - now));
      continue;
    }
    d->pending = false;
    d->running = true;
    kapi::work_func_t fn = d->func;
    kapi::delayed_work *dw = d->dw;
    lk.unlock();
    Kernel::new_cycle();
    fn(&dw->work);
    // What the proc files show may have changed with this run.
    publish_all();
    lk.lock();
    d->running = false;
    d->completed++;
    // Woken after the lock is let go, a waiter does not block on it at once.
    lk.unlock();
    wq_cv.notify_all();
    lk.lock();
  }
  workers--;
}

}  // namespace host

namespace kapi {
using host::DwHost;
using host::H;

struct workqueue_struct *alloc_workqueue(const char *fmt, unsigned int flags, int max_active, ...) {
  (void)flags;
  auto &I = H();
  char name[64];
  va_list ap;
  va_start(ap, max_active);
  vsnprintf(name, sizeof(name), fmt, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lk(I.wq_mu);
  I.wqs.push_back(std::make_unique<workqueue_struct>());
  I.wqs.back()->name = name;
  return I.wqs.back().get();
}

void init_delayed_work(struct delayed_work *dwork, work_func_t func) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.wq_mu);
  DwHost *d = host::state_of(I, dwork);
  if (d && (d->pending || d->running)) {
    host::warn("init_delayed_work on a pending or running work");
    return;
  }
  if (!d) {
    I.dws.push_back(std::make_unique<DwHost>());
    d = I.dws.back().get();
    d->dw = dwork;
  }
  d->func = func;
  std::memset((void *)dwork, 0, sizeof(*dwork));
  auto *slot = (host::DwSlot *)(void *)dwork;
  slot->magic = host::kDwMagic;
  slot->state = d;
}

bool queue_delayed_work_on(int, struct workqueue_struct *wq, struct delayed_work *dwork, unsigned long delay) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.wq_mu);
  DwHost *d = host::state_of(I, dwork);
  if (!d || !wq) {
    host::warn("queue_delayed_work_on with an uninitialised work");
    return false;
  }
  if (d->pending || d->canceling) return false;
  if (wq->dying) {
    host::warn("work queued on workqueue " + wq->name + " while it is destroyed");
    return false;
  }
  if (d->wq && d->wq != wq && d->thread.joinable() && d->running) {
    host::warn("work moved to another workqueue while it runs");
  }
  d->wq = wq;
  d->pending = true;
  d->due_ns = host::monotonic_ns() + (host::u64)delay * host::kNsPerJiffy;
  if (!d->thread.joinable()) {
    d->stop = false;
    I.workers++;
    d->thread = std::thread([&I, d] { I.worker(d); });
    d->thread_id = d->thread.get_id();
  }
  d->cv.notify_one();
  return true;
}

bool cancel_delayed_work(struct delayed_work *dwork) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.wq_mu);
  DwHost *d = host::state_of(I, dwork);
  if (!d) return false;
  bool was = d->pending;
  d->pending = false;
  d->cv.notify_one();
  I.wq_cv.notify_all();
  return was;
}

// While it waits, the work cannot be queued again (not even by its own
// running function), as the kernel's cancel holds the work's pending bit.
bool cancel_delayed_work_sync(struct delayed_work *dwork) {
  auto &I = H();
  std::unique_lock<std::mutex> lk(I.wq_mu);
  DwHost *d = host::state_of(I, dwork);
  if (!d) return false;
  bool was = d->pending;
  d->pending = false;
  d->canceling = true;
  if (std::this_thread::get_id() != d->thread_id) I.wq_cv.wait(lk, [&] { return !d->running; });
  else host::warn("cancel_delayed_work_sync from the work itself");
  d->canceling = false;
  d->pending = false;
  d->cv.notify_one();
  I.wq_cv.notify_all();
  return was;
}

bool flush_delayed_work(struct delayed_work *dwork) {
  auto &I = H();
  std::unique_lock<std::mutex> lk(I.wq_mu);
  DwHost *d = host::state_of(I, dwork);
  if (!d || std::this_thread::get_id() == d->thread_id) return false;
  bool was = d->pending;
  host::u64 want = d->completed + (d->running ? 1 : 0) + (was ? 1 : 0);
  if (was) d->due_ns = 0;
  d->cv.notify_one();
  host::wait_runs(I, lk, d, want);
  return was;
}

bool delayed_work_pending(const struct delayed_work *dwork) {
  auto &I = H();
  std::lock_guard<std::mutex> lk(I.wq_mu);
  DwHost *d = host::state_of(I, dwork);
  return d && d->pending;
}

// Waits for the works of wq that are running or already due; a delayed work
// whose timer has not fired yet is not waited for.
void flush_workqueue(struct workqueue_struct *wq) {
  auto &I = H();
  std::unique_lock<std::mutex> lk(I.wq_mu);
  host::u64 now = host::monotonic_ns();
  std::vector<std::pair<DwHost *, host::u64>> wait;
  for (auto &d : I.dws)
    if (d->wq == wq && std::this_thread::get_id() != d->thread_id &&
        (d->running || (d->pending && d->due_ns <= now)))
      wait.push_back({d.get(), d->completed + (d->running ? 1 : 0) + (d->pending && d->due_ns <= now ? 1 : 0)});
  for (auto &[d, want] : wait) host::wait_runs(I, lk, d, want);
}

void destroy_workqueue(struct workqueue_struct *wq) {
  auto &I = H();
  std::vector<std::thread> joins;
  {
    std::unique_lock<std::mutex> lk(I.wq_mu);
    wq->dying = true;
    for (auto &d : I.dws) {
      if (d->wq != wq) continue;
      if (std::this_thread::get_id() != d->thread_id) I.wq_cv.wait(lk, [&] { return !d->running; });
      if (d->pending) host::warn("workqueue " + wq->name + " destroyed with work pending");
      d->pending = false;
      d->stop = true;
      d->wq = nullptr;
      if (d->thread.joinable()) {
        if (std::this_thread::get_id() == d->thread_id) d->thread.detach();
        else joins.push_back(std::move(d->thread));
      }
      d->thread_id = std::thread::id();
      d->cv.notify_one();
    }
    I.wq_cv.notify_all();
  }
  for (auto &t : joins) t.join();
  std::lock_guard<std::mutex> lk(I.wq_mu);
  I.wqs.erase(std::remove_if(I.wqs.begin(), I.wqs.end(), [&](auto &w) { return w.get() == wq; }), I.wqs.end());
}

}  // namespace kapi

namespace host {

static void flush_matching(Kernel::Impl &I, const std::string *wq) {
  std::vector<kapi::delayed_work *> works;
  {
    std::lock_guard<std::mutex> lk(I.wq_mu);
    for (auto &d : I.dws)
      if (d->pending && (!wq || (d->wq && d->wq->name == *wq))) works.push_back(d->dw);
  }
  for (auto *w : works) kapi::flush_delayed_work(w);
}

void Kernel::flush_pending_works() { flush_matching(*impl_, nullptr); }
void Kernel::flush_pending_works(const std::string &wq) { flush_matching(*impl_, &wq); }

int Kernel::worker_threads() const { return impl_->workers.load(); }

}  // namespace host

// The printk ring and memory allocation.
#include "internal.h"
#include "../lib/printk_text.h"

namespace sim {

// Freed blocks stay poisoned this long before going back to the host, so
// that a double free is recognised as one.
constexpr size_t kQuarantineBytes = 64u << 20;
constexpr u8 kPoisonFree = 0x6b;
constexpr u8 kPoisonInit = 0x6b;
#define ZERO_SIZE_PTR ((void *)16)
constexpr size_t kKmallocMax = 4u << 20;
constexpr size_t kVmallocMax = 1u << 30;

const std::vector<LogRecord> &Kernel::log() const { return impl_->log; }

std::string Kernel::dmesg_line(const LogRecord &r) {
  char head[64];
  std::snprintf(head, sizeof(head), "[%5llu.%06llu] ", (unsigned long long)(r.ts_ns / kNsPerSec),
                (unsigned long long)(r.ts_ns % kNsPerSec / 1000));
  return head + r.text + "\n";
}

std::string Kernel::dmesg() const {
  std::string out;
  for (auto &r : impl_->log) out += dmesg_line(r);
  return out;
}

void Kernel::clear_log() { impl_->log.clear(); }

void Kernel::drop_records() {
  Impl &I = *impl_;
  I.log.clear();
  I.uevents.clear();
  I.reports.clear();
  I.qcalls.clear();
}

AllocStats Kernel::alloc_stats(const std::string &allocator) const {
  if (allocator == "kmalloc") return impl_->kstats;
  if (allocator == "vmalloc") return impl_->vstats;
  return AllocStats();
}

void *Kernel::Impl::alloc(size_t size, kapi::gfp_t flags, const char *site, bool vm) {
  AllocStats &st = vm ? vstats : kstats;
  st.total_calls++;
  const char *what = vm ? "vmalloc" : "kmalloc";
  if ((vm || (flags & __GFP_DIRECT_RECLAIM)) && in_atomic())
    violation(std::string("sleeping allocation in atomic context: ") + what + " from " + (site ? site : "?"));
  if (fault(what, site ? site : "")) {
    st.failed_calls++;
    return nullptr;
  }
  if (size == 0) {
    if (vm) {
      st.failed_calls++;
      return nullptr;
    }
    return ZERO_SIZE_PTR;
  }
  if (size > (vm ? kVmallocMax : kKmallocMax)) {
    st.failed_calls++;
    return nullptr;
  }
  void *p = std::malloc(size);
  if (!p) {
    st.failed_calls++;
    return nullptr;
  }
  std::memset(p, (flags & __GFP_ZERO) ? 0 : kPoisonInit, size);
  freed.erase((uintptr_t)p);
  Alloc a;
  a.seq = ++obj_seq;
  a.size = size;
  a.vmalloc = vm;
  a.site = site ? site : "";
  a.mod = cur_module();
  allocs[(uintptr_t)p] = a;
  st.live_count++;
  st.live_bytes += size;
  return p;
}

// What must not live in memory that goes away: pending works, registered
// devices and notifiers.
void Kernel::Impl::on_free_range(uintptr_t a, size_t size) {
  auto inside = [&](const void *p) { return (uintptr_t)p >= a && (uintptr_t)p < a + size; };
  for (size_t i = 0; i < pending.size();) {
    if (inside(pending[i])) {
      DwState *s = dw(pending[i]);
      violation("freed memory holds a pending delayed work (" + (s->wq ? s->wq->name : std::string("?")) + ")");
      s->pending = false;
      pending.erase(pending.begin() + (long)i);
    } else {
      i++;
    }
  }
  for (auto &m : miscs)
    if (m->registered && inside(m->misc)) violation("freed memory holds a registered misc device: " + m->name);
  for (auto *nb : notifiers)
    if (inside(nb)) violation("freed memory holds a registered notifier block");
}

void Kernel::Impl::release(const void *p, bool vm) {
  if (!p || p == ZERO_SIZE_PTR) return;
  const char *what = vm ? "vfree" : "kfree";
  auto it = allocs.find((uintptr_t)p);
  if (it == allocs.end()) {
    if (freed.count((uintptr_t)p))
      violation(std::string("double free: ") + what);
    else
      violation(std::string(what) + " of an unknown pointer");
    return;
  }
  Alloc a = it->second;
  if (a.vmalloc != vm)
    violation(std::string(what) + " of memory from " + (a.vmalloc ? "vmalloc" : "kmalloc") + " (" + a.site + ")");
  on_free_range((uintptr_t)p, a.size);
  AllocStats &st = a.vmalloc ? vstats : kstats;
  st.live_count--;
  st.live_bytes -= a.size;
  allocs.erase(it);
  std::memset((void *)p, kPoisonFree, a.size);
  freed.insert((uintptr_t)p);
  quarantine.push_back({(void *)p, a.size});
  quarantine_bytes += a.size;
  while (quarantine_bytes > kQuarantineBytes && !quarantine.empty()) {
    auto q = quarantine.front();
    quarantine.pop_front();
    quarantine_bytes -= q.second;
    freed.erase((uintptr_t)q.first);
    std::free(q.first);
  }
}

}  // namespace sim

namespace kapi {
using sim::K;

int printk(const char *fmt, ...) {
  auto &I = K();
  I.hook("printk");
  char buf[PRINTK_TEXT_MAX];
  struct printk_text t;
  va_list ap;
  va_start(ap, fmt);
  vprintk_text(buf, sizeof(buf), fmt, ap, &t);
  va_end(ap);
  sim::LogRecord r;
  r.seq = I.next_seq();
  r.ts_ns = I.mono;
  r.level = t.level;
  r.newline = t.newline;
  r.text.assign(buf + t.start, t.len);
  int ret = (int)r.text.size();
  I.log.push_back(std::move(r));
  return ret;
}

void *__kmalloc_site(size_t size, gfp_t flags, const char *site) {
  auto &I = K();
  I.hook("kmalloc");
  return I.alloc(size, flags, site, false);
}

void kfree(const void *objp) {
  auto &I = K();
  I.hook("kfree");
  I.release(objp, false);
}

void *__vmalloc_site(unsigned long size, gfp_t flags, const char *site) {
  auto &I = K();
  I.hook("vmalloc");
  return I.alloc(size, flags | __GFP_DIRECT_RECLAIM, site, true);
}

void vfree(const void *addr) {
  auto &I = K();
  I.hook("vfree");
  I.release(addr, true);
}

u32 __ptr_hash_id(const void *ptr) {
  auto &I = K();
  if (!ptr) return 0;
  uintptr_t a = (uintptr_t)ptr;
  for (auto &w : I.wqs)
    if (w.get() == ptr) return I.hash_id(w->seq);
  for (auto &m : I.miscs)
    if ((void *)m->dev.get() == ptr || (void *)&m->dev->kobj == ptr) return I.hash_id(m->seq);
  for (auto &p : I.pdes)
    if (p.get() == ptr) return I.hash_id(p->seq);
  auto it = I.allocs.upper_bound(a);
  if (it != I.allocs.begin()) {
    --it;
    if (a < it->first + it->second.size) return I.hash_id(it->second.seq, a - it->first);
  }
  return 0;
}

}  // namespace kapi
